"""Runs the real show binary for the end-to-end tests: headless with SDL's
dummy drivers, under faketime, or in a real window under Xvfb, and makes the
files it reads."""
import array
import contextlib
import math
import os
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import wave

BUILDDIR = os.environ.get("BUILDDIR", os.path.join(os.path.dirname(__file__), "..", "build"))
BIN = os.path.abspath(os.path.join(BUILDDIR, "brindlewock"))
SANITIZE = os.environ.get("BRINDLEWOCK_SANITIZE", "0") in ("1", "ON", "TRUE", "true")
COMPAT = "/usr/lib/x86_64-linux-gnu/sdl12-compat"
RUNTIMES = {"classic": None, "compat": COMPAT}
# a slower build needs more patience
SLACK = 4 if SANITIZE else 1


def env(runtime=None, **extra):
    """The environment for a headless run; extra variables override."""
    e = dict(os.environ)
    for k in ("DISPLAY", "WAYLAND_DISPLAY", "LD_LIBRARY_PATH", "FAKETIME"):
        e.pop(k, None)
    e["SDL_VIDEODRIVER"] = "dummy"
    e["SDL_AUDIODRIVER"] = "dummy"
    if runtime:
        e["LD_LIBRARY_PATH"] = runtime
    if SANITIZE:
        e["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0:abort_on_error=0"
        e["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1"
    for k, v in extra.items():
        if v is None:
            e.pop(k, None)
        else:
            e[k] = v
    return e


def command(speed=None):
    """The show, under faketime at the given clock speed when one is given."""
    if speed:
        return ["faketime", "-f", "+0 x%d" % speed, BIN]
    return [BIN]


def run(cwd, speed=None, timeout=120, **extra):
    """Runs the show to its end; returns (status, stdout, stderr)."""
    p = subprocess.run(command(speed), cwd=cwd, env=env(**extra), capture_output=True,
                       timeout=timeout * SLACK)
    return p.returncode, p.stdout, p.stderr


def start(cwd, speed=None, **extra):
    return subprocess.Popen(command(speed), cwd=cwd, env=env(**extra),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def finish(p, timeout=30):
    """Waits for a started show; returns (status, stdout, stderr)."""
    out, err = p.communicate(timeout=timeout * SLACK)
    return p.returncode, out, err


def bmp(path, w, h, pixel):
    """Writes a 24-bit BMP; pixel(x, y) gives (r, g, b)."""
    row = (w * 3 + 3) & ~3
    data = bytearray()
    for y in range(h - 1, -1, -1):
        line = bytearray()
        for x in range(w):
            r, g, b = pixel(x, y)
            line += bytes((b, g, r))
        data += line + bytes(row - len(line))
    head = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(head + info + data)


def picture(cwd, w=200, h=100, pixel=lambda x, y: (200, 40, 10), name="galleri.jpg"):
    bmp(os.path.join(cwd, name), w, h, pixel)


def music(cwd, seconds=3.0, left=1000.0, right=500.0, name="musa.ogg"):
    """An Ogg Vorbis file: a sine on each channel at its own frequency."""
    rate = 48000
    wav = os.path.join(cwd, "music.wav")
    samples = array.array("h")
    for i in range(int(seconds * rate)):
        t = i / rate
        samples.append(int(12000 * math.sin(2 * math.pi * left * t)))
        samples.append(int(12000 * math.sin(2 * math.pi * right * t)))
    with wave.open(wav, "wb") as f:
        f.setnchannels(2)
        f.setsampwidth(2)
        f.setframerate(rate)
        f.writeframes(samples.tobytes())
    subprocess.run(["oggenc", "-Q", "-q", "6", "-o", os.path.join(cwd, name), wav], check=True)
    os.unlink(wav)


@contextlib.contextmanager
def workdir():
    d = tempfile.mkdtemp(prefix="brindlewock-")
    try:
        yield d
    finally:
        shutil.rmtree(d, ignore_errors=True)


@contextlib.contextmanager
def xvfb():
    """A virtual X server the size of the show's screen on a display number
    it picks itself; yields its DISPLAY."""
    r, w = os.pipe()
    x = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "640x480x24",
                          "-nolisten", "tcp"], pass_fds=(w,),
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    try:
        with os.fdopen(r) as f:
            n = f.readline().strip()
        if not n:
            raise RuntimeError("Xvfb did not start")
        yield ":" + n
    finally:
        x.terminate()
        x.wait()


def findwindow(display, show=None, name="brindlewock", timeout=20):
    """The id of the window with exactly this name, once it exists; fails
    at once if the show has ended before."""
    end = time.time() + timeout * SLACK
    while time.time() < end:
        if show is not None and show.poll() is not None:
            out, err = show.communicate()
            raise AssertionError("the show ended with status %d before its window came: %r"
                                 % (show.returncode, err[-2000:]))
        p = subprocess.run(["xdotool", "search", "--name", "^%s$" % name],
                           env=dict(os.environ, DISPLAY=display), capture_output=True, text=True)
        ids = p.stdout.split()
        if ids:
            return int(ids[0])
        time.sleep(0.1)
    raise AssertionError("no window named %r" % name)


def screenshot(display, png=None):
    """The whole screen as (width, height, rgb bytes); also saved as png if asked."""
    xwd = subprocess.run(["xwd", "-root", "-silent", "-display", display],
                         capture_output=True, check=True).stdout
    ppm = subprocess.run(["convert", "xwd:-", "-depth", "8", "ppm:-"], input=xwd, capture_output=True,
                         check=True).stdout
    if png:
        subprocess.run(["convert", "xwd:-", png], input=xwd, check=True)
    fields, pos = [], 0
    while len(fields) < 4:
        while ppm[pos:pos + 1].isspace():
            pos += 1
        if ppm[pos:pos + 1] == b"#":
            pos = ppm.index(b"\n", pos)
            continue
        end = pos
        while not ppm[end:end + 1].isspace():
            end += 1
        fields.append(ppm[pos:end])
        pos = end
    magic, w, h, maxv = fields[0], int(fields[1]), int(fields[2]), fields[3]
    assert magic == b"P6" and maxv == b"255", fields
    return w, h, ppm[pos + 1:pos + 1 + w * h * 3]


def pixel(shot, x, y):
    w, _, rgb = shot
    i = (y * w + x) * 3
    return tuple(rgb[i:i + 3])


def interrupt(p, sig):
    p.send_signal(sig)


SIGNALS = {"SIGTERM": signal.SIGTERM, "SIGINT": signal.SIGINT}
