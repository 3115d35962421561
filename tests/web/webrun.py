"""What the web build's tests share: where the build is, PNG files, test
pictures, and stills of the show drawn natively by tools/mkstill."""
import functools
import http.server
import json
import os
import random
import subprocess
import tempfile
import threading
import time

import damage

BUILDDIR = os.environ.get("BUILDDIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
WEB = os.path.abspath(os.path.join(BUILDDIR, "web"))
MKSTILL = os.path.abspath(os.path.join(BUILDDIR, "tools", "mkstill"))
SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SANITIZE = os.environ.get("BRINDLEWOCK_SANITIZE", "0") in ("1", "ON", "TRUE", "true")
SLACK = 4 if SANITIZE else 1
SCRW, SCRH = 640, 480
TOLERANCE = 2      # levels per channel a browser's JPEG decoder may differ by ...
SHARE = 0.99       # ... at this share of pixels or more


def env():
    e = dict(os.environ)
    if SANITIZE:
        e["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0:abort_on_error=0"
        e["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1"
    return e


def pngwrite(path, w, h, rgb):
    """An 8-bit RGB PNG of w x h pixels from rows of rgb without gaps."""
    with open(path, "wb") as f:
        f.write(damage.pngrgb(w, h, rgb))


def rgb(png):
    """The RGB bytes of a PNG of the screen's size, as ImageMagick reads it."""
    p = subprocess.run(["convert", "png:-", "-depth", "8", "rgb:-"], input=png, capture_output=True,
                       check=True, timeout=60)
    assert len(p.stdout) == 3 * SCRW * SCRH, "a PNG of %d bytes of RGB" % len(p.stdout)
    return p.stdout


def picture(path, w, h, seed):
    """A test picture as an RGB PNG: noise, with exactly black pixels (which
    the show leaves out) in blocks and scattered, and nearly black ones (which
    it draws) beside them."""
    r = random.Random(seed)
    rgb = bytearray(r.randbytes(w * h * 3))
    for y in range(h):
        row = y * w * 3
        if (y // 16) % 3 == 0:
            # a band of blocks: black, then each nearly black colour
            for bx, colour in enumerate([(0, 0, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1), (1, 1, 1)]):
                x0 = (bx * 2 + (y // 48) % 2) * 24
                for x in range(x0, min(x0 + 24, w)):
                    rgb[row + x * 3:row + x * 3 + 3] = bytes(colour)
        for x in range(y % 7, w, 7):
            rgb[row + x * 3:row + x * 3 + 3] = b"\0\0\0"
    pngwrite(path, w, h, bytes(rgb))


def mkstill(seed, picture, stills, cwd):
    """Draws the stills {ms: out.png} natively along one run of the still schedule."""
    subprocess.run([MKSTILL, "--seed", str(seed), "--picture", picture]
                   + ["%d:%s" % (ms, out) for ms, out in sorted(stills.items())],
                   cwd=cwd, env=env(), check=True, timeout=120 * SLACK)


def nativestill(seed, picture, ms):
    """The RGB bytes of the still at ms that tools/mkstill draws."""
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "still.png")
        mkstill(seed, picture, {ms: out}, d)
        with open(out, "rb") as f:
            return rgb(f.read())


def nearshare(got, want):
    """(share of pixels within TOLERANCE levels, share equal) of two screens' RGB bytes."""
    d = [abs(a - b) for a, b in zip(got, want)]
    worst = list(map(max, d[0::3], d[1::3], d[2::3]))
    return sum(x <= TOLERANCE for x in worst) / len(worst), worst.count(0) / len(worst)


class Waits:
    """What a browser's driver with js(expression) gets: waits on the page."""
    WAIT = 60      # s: the longest any step of the page may take

    def until(self, condition, what, wait=None):
        """Waits until a JavaScript condition holds in the page, checked on
        each frame it draws, for WAIT s or wait s."""
        deadline = time.monotonic() + (wait or self.WAIT)
        ok = False
        # in turns of at most WAIT s, each one call of the driver's
        while not ok and time.monotonic() < deadline:
            ok = self.js("""new Promise(done => {
                const give = setTimeout(() => done(false), %d);
                const look = () => { if (%s) { clearTimeout(give); done(true); } else requestAnimationFrame(look); };
                look();
            })""" % (1000 * min(self.WAIT, deadline - time.monotonic()), condition))
        if not ok:
            raise TimeoutError("the page never came to: " + what + "; its state: "
                               + str(self.js("document.documentElement.dataset.state")))

    def state(self, state):
        self.until("document.documentElement.dataset.state === %s" % json.dumps(state), state)


class Server:
    """build/web on a free port of 127.0.0.1, served from a thread."""

    def __init__(self, root):
        class Quiet(http.server.SimpleHTTPRequestHandler):
            def log_message(self, *args):
                pass
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory=root))
        self.url = "http://127.0.0.1:%d/" % self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
