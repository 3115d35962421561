"""The web build's page in a real browser: headless Chromium, driven over the
DevTools protocol on a pipe, against a static server on 127.0.0.1. The still
of the default picture matches the native one; a click on play starts a show
that moves; a release of Escape ends it, and the end screen plays it again."""
import base64
import functools
import http.server
import json
import os
import select
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

import webrun

CHROMIUM = os.environ.get("CHROMIUM") or "/usr/bin/chromium"
WAIT = 60          # s: the longest any step of the page may take
TOLERANCE = 2      # levels per channel the browser's JPEG decoder may differ by ...
SHARE = 0.99       # ... at this share of pixels or more


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


class Chromium:
    """Headless Chromium on the DevTools pipe (it reads commands from its fd 3
    and writes replies and events to its fd 4, each a JSON text ended by a
    NUL), with one page of 640 x 480 CSS pixels at one device pixel each."""

    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix="brindlewock-chromium-")
        tochrome, self.out = os.pipe()
        self.inp, fromchrome = os.pipe()
        # above the numbers the child needs, so that moving them there clobbers nothing
        high = [os.dup2(fd, 100 + i, inheritable=False) for i, fd in enumerate((tochrome, fromchrome))]
        os.close(tochrome)
        os.close(fromchrome)

        def pipes():
            os.dup2(high[0], 3)
            os.dup2(high[1], 4)
        self.proc = subprocess.Popen(
            [CHROMIUM, "--headless=new", "--no-sandbox", "--force-color-profile=srgb", "--disable-gpu",
             "--disable-quic", "--no-first-run", "--disable-background-networking",
             "--disable-component-update", "--disable-sync", "--user-data-dir=" + self.profile,
             "--remote-debugging-pipe", "--window-size=640,480", "--autoplay-policy=user-gesture-required",
             "about:blank"],
            preexec_fn=pipes, close_fds=False, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for fd in high:
            os.close(fd)
        self.buf = b""
        self.id = 0
        self.events = []
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        self.page("Page.enable")
        self.page("Runtime.enable")
        self.page("Emulation.setDeviceMetricsOverride", width=webrun.SCRW, height=webrun.SCRH,
                  deviceScaleFactor=1, mobile=False)

    def close(self):
        try:
            self.call("Browser.close")
            self.proc.wait(timeout=WAIT)
        except Exception:
            self.proc.kill()
            self.proc.wait()
        os.close(self.out)
        os.close(self.inp)
        shutil.rmtree(self.profile, ignore_errors=True)

    def send(self, method, session=None, **params):
        self.id += 1
        msg = {"id": self.id, "method": method, "params": params}
        if session:
            msg["sessionId"] = session
        os.write(self.out, json.dumps(msg).encode() + b"\0")
        return self.id

    def receive(self, what, deadline):
        """The next message from Chromium."""
        while b"\0" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.inp], [], [], left)[0]:
                raise TimeoutError("no " + what)
            chunk = os.read(self.inp, 1 << 20)
            if not chunk:
                raise EOFError("Chromium closed its pipe")
            self.buf += chunk
        msg, self.buf = self.buf.split(b"\0", 1)
        return json.loads(msg)

    def call(self, method, session=None, **params):
        """Sends a command and returns its result; events that come
        meanwhile are kept for event()."""
        want = self.send(method, session, **params)
        deadline = time.monotonic() + WAIT
        while True:
            msg = self.receive("answer to " + method, deadline)
            if msg.get("id") == want:
                if "error" in msg:
                    raise RuntimeError("%s: %s" % (method, msg["error"]))
                return msg["result"]
            if "method" in msg:
                self.events.append(msg)

    def event(self, method):
        """Waits for the page's next event of the kind, dropping those before it."""
        deadline = time.monotonic() + WAIT
        while True:
            msg = self.events.pop(0) if self.events else self.receive("event " + method, deadline)
            if msg.get("method") == method and msg.get("sessionId") == self.session:
                return msg["params"]

    def page(self, method, **params):
        return self.call(method, self.session, **params)

    def js(self, expression):
        """The value of a JavaScript expression in the page, promises awaited."""
        r = self.page("Runtime.evaluate", expression=expression, awaitPromise=True, returnByValue=True)
        if "exceptionDetails" in r:
            raise RuntimeError(json.dumps(r["exceptionDetails"]))
        return r["result"].get("value")

    def until(self, condition, what):
        """Waits until a JavaScript condition holds in the page, checked on
        each change of the page's state and each frame it draws."""
        ok = self.js("""new Promise(done => {
            const give = setTimeout(() => done(false), %d);
            const look = () => { if (%s) { clearTimeout(give); done(true); } else requestAnimationFrame(look); };
            look();
        })""" % (WAIT * 1000, condition))
        if not ok:
            raise TimeoutError("the page never came to: " + what + "; its state: "
                               + str(self.js("document.documentElement.dataset.state")))

    def state(self, state):
        self.until("document.documentElement.dataset.state === %s" % json.dumps(state), state)

    def open(self, url):
        """Loads the page, waiting for its load event."""
        self.events.clear()
        self.page("Page.navigate", url=url)
        self.event("Page.loadEventFired")

    def screenshot(self):
        """The page's 640 x 480 pixels as RGB bytes."""
        png = base64.b64decode(self.page("Page.captureScreenshot", format="png")["data"])
        w, h, rgb = webrun.pngread(png)
        assert (w, h) == (webrun.SCRW, webrun.SCRH), "screenshot of %d x %d" % (w, h)
        return rgb

    def click(self, selector):
        box = self.js("(() => { const r = document.querySelector(%s).getBoundingClientRect();"
                      " return [r.x + r.width / 2, r.y + r.height / 2, r.width * r.height]; })()"
                      % json.dumps(selector))
        assert box[2] > 0, selector + " is not shown"
        for kind in ("mouseMoved", "mousePressed", "mouseReleased"):
            self.page("Input.dispatchMouseEvent", type=kind, x=box[0], y=box[1], button="left", clickCount=1)

    def key(self, kind, key, vk):
        self.page("Input.dispatchKeyEvent", type=kind, key=key, code=key, windowsVirtualKeyCode=vk)


class WebPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server(webrun.WEB)
        cls.browser = Chromium()

    @classmethod
    def tearDownClass(cls):
        cls.browser.close()
        cls.server.close()

    def test_still_matches_native(self):
        b = self.browser
        b.open(self.server.url + "index.html?t=30000&seed=7")
        b.state("still")
        got = b.screenshot()
        with tempfile.TemporaryDirectory() as d:
            out = os.path.join(d, "still.png")
            webrun.mkstill(7, os.path.join(webrun.SOURCE, "assets", "galleri.jpg"), {30000: out}, d)
            with open(out, "rb") as f:
                _, _, want = webrun.pngread(f.read())
        n = webrun.SCRW * webrun.SCRH
        close = equal = 0
        for i in range(0, 3 * n, 3):
            d = max(abs(got[i] - want[i]), abs(got[i + 1] - want[i + 1]), abs(got[i + 2] - want[i + 2]))
            close += d <= TOLERANCE
            equal += d == 0
        print("still at 30000 ms, seed 7: %.4f %% of pixels within %d levels, %.4f %% equal"
              % (100 * close / n, TOLERANCE, 100 * equal / n))
        self.assertGreaterEqual(close / n, SHARE)

    def test_play_and_escape(self):
        b = self.browser
        b.open(self.server.url + "index.html")
        b.state("ready")
        for again in (False, True):
            b.click("#again" if again else "#play")
            b.state("running")
            b.until("brindlewock.elapsed >= 300", "300 ms into the show")
            first = b.screenshot()
            shown = b.js("brindlewock.elapsed")
            b.until("brindlewock.elapsed >= %d" % (shown + 1000), "a second later")
            later = b.screenshot()
            self.assertNotEqual(first, later, "the screen stands still")
            self.assertGreater(len(set(first[i:i + 3] for i in range(0, len(first), 3 * 97))), 8,
                               "the screen is nearly one colour")
            # holding Escape goes on with the show; releasing it ends the show
            b.key("keyDown", "Escape", 27)
            self.assertEqual(b.js("document.documentElement.dataset.state"), "running")
            b.key("keyUp", "Escape", 27)
            b.state("ended")
            self.assertTrue(b.js("!document.getElementById('end').hidden"))
            self.assertLess(b.js("brindlewock.elapsed"), 75000)


if __name__ == "__main__":
    unittest.main()
