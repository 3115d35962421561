"""Runs the real show binary for the end-to-end tests: headless with SDL's
dummy drivers, on a fast clock, or in a real window under Xvfb; makes the
files it reads and waits on what it does."""
import array
import contextlib
import glob
import math
import os
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import wave

BUILDDIR = os.environ.get("BUILDDIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
BIN = os.path.abspath(os.path.join(BUILDDIR, "brindlewock"))
SPY = os.path.abspath(os.path.join(BUILDDIR, "tests", "libspy.so"))
MKSTILL = os.path.abspath(os.path.join(BUILDDIR, "tools", "mkstill"))
SANITIZE = os.environ.get("BRINDLEWOCK_SANITIZE", "0") in ("1", "ON", "TRUE", "true")
COMPAT = os.environ["SDLCOMPATDIR"]  # the build says where


def runtimes():
    """The SDL 1.2 runtimes this machine has, each with the folder that
    LD_LIBRARY_PATH names to pick it (None: the one linked by default), and
    the reasons for those it lacks. Debian 12 links the classic library and
    keeps the SDL-2-based one in its own folder; from Debian 13 on, the
    SDL-2-based one is the only one. Which one a program links by default
    the show's own test of it says, through tools/mkstill."""
    e = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "LD_PRELOAD", "FAKETIME")}
    e["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0"
    linked = subprocess.run([MKSTILL, "--runtime"], env=e, capture_output=True, text=True, check=True,
                            timeout=120).stdout.strip()
    if linked == "compat":
        return {"compat": None}, {"classic": "the classic SDL 1.2 runtime is not installed: this release "
                                  "ships only the SDL-2-based one"}
    if os.path.isdir(COMPAT):
        return {"classic": None, "compat": COMPAT}, {}
    return {"classic": None}, {"compat": "the SDL-2-based SDL 1.2 runtime is not installed "
                                         "(libsdl1.2-compat, in %s)" % COMPAT}


RUNTIMES, LACKING = runtimes()


def skip(test, reason):
    """Skips the test, or its subtest, for what the machine lacks, saying so;
    a failure where BRINDLEWOCK_NOSKIP is set (CI's own machine lacks
    nothing)."""
    if os.environ.get("BRINDLEWOCK_NOSKIP"):
        test.fail("skipped, which BRINDLEWOCK_NOSKIP forbids: " + reason)
    test.skipTest(reason)


def each_runtime(test, **subtest):
    """The runtimes this machine has, by name; each one it lacks is a
    skipped subtest with its reason."""
    for rt in ("classic", "compat"):
        if rt in RUNTIMES:
            yield rt
        else:
            with test.subTest(runtime=rt, **subtest):
                skip(test, LACKING[rt])
# the fast clock, preloaded itself: the faketime wrapper keeps a semaphore
# named after its process id that outlives it when it is killed, and a later
# wrapper that gets the same id fails
FAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
# a slower build needs more patience
SLACK = 4 if SANITIZE else 1


def env(runtime=None, speed=None, **extra):
    """The environment for a headless run, on the named SDL runtime, with
    the show's clock speed times as fast when speed is given; extra
    variables override."""
    e = dict(os.environ)
    for k in ("DISPLAY", "WAYLAND_DISPLAY", "LD_LIBRARY_PATH", "LD_PRELOAD", "FAKETIME"):
        e.pop(k, None)
    e["SDL_VIDEODRIVER"] = "dummy"
    e["SDL_AUDIODRIVER"] = "dummy"
    if RUNTIMES.get(runtime):
        e["LD_LIBRARY_PATH"] = RUNTIMES[runtime]
    if SANITIZE:
        e["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0:abort_on_error=0"
        e["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1"
    for k, v in extra.items():
        if v is None:
            e.pop(k, None)
        else:
            e[k] = v
    if speed:
        e["LD_PRELOAD"] = " ".join([FAKETIME] + ([e["LD_PRELOAD"]] if "LD_PRELOAD" in e else []))
        e["FAKETIME"] = "+0 x%d" % speed
    return e


def loader(cwd, runtime):
    """Variables that make the dynamic loader log into cwd the libraries a
    run on the named runtime loads, for loaded() to read."""
    return {"LD_DEBUG": "files", "LD_DEBUG_OUTPUT": os.path.join(cwd, "loader")} if runtime else {}


def loaded(cwd):
    """The SDL 1.2 runtimes that the runs logged by loader() loaded, by name
    ("compat" from the compat folder, else the one linked by default), and
    their logs removed."""
    seen = set()
    for log in glob.glob(os.path.join(cwd, "loader.*")):
        with open(log, errors="replace") as f:
            sdl = {l.split("calling init:", 1)[1].strip() for l in f
                   if "calling init:" in l and "/libSDL-1.2.so" in l}
        os.unlink(log)
        if len(sdl) != 1:
            seen.add("unknown: %s" % sorted(sdl))
        elif os.path.dirname(sdl.pop()) == COMPAT:
            seen.add("compat")
        else:
            seen.add(next(rt for rt, folder in RUNTIMES.items() if folder is None))
    return seen


def run(cwd, speed=None, timeout=120, runtime=None, **extra):
    """Runs the show to its end; returns (status, stdout, stderr)."""
    return finish(start(cwd, speed, runtime, **extra), timeout)


def start(cwd, speed=None, runtime=None, **extra):
    return subprocess.Popen([BIN], cwd=cwd, env=env(runtime, speed, **loader(cwd, runtime), **extra),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def finish(p, timeout=30):
    """Waits for a started show; returns (status, stdout, stderr)."""
    try:
        out, err = p.communicate(timeout=timeout * SLACK)
    finally:
        if p.poll() is None:
            # the whole group when it leads one: its children hold its pipes too
            (os.killpg if os.getpgid(p.pid) == p.pid else os.kill)(p.pid, signal.SIGKILL)
            p.communicate()
    return p.returncode, out, err


def until(what, ready, p=None, timeout=20):
    """Polls ready() until it returns something true and returns that; fails
    when timeout seconds (times the build's slack) pass first, or at once
    when the show p ends first."""
    end = time.time() + timeout * SLACK
    while time.time() < end:
        got = ready()
        if got:
            return got
        if p is not None and p.poll() is not None:
            out, err = p.communicate()
            raise AssertionError("the show ended with status %d before %s: %r"
                                 % (p.returncode, what, err[-2000:]))
        time.sleep(0.02)
    raise AssertionError("no %s in %d s" % (what, timeout * SLACK))


def spied(cwd, log, speed=None, **extra):
    """Starts the show with the spy library logging its SDL calls to log."""
    if os.path.exists(log):
        os.unlink(log)
    return start(cwd, speed=speed, LD_PRELOAD=SPY, SPY_LOG=log, **extra)


def calls(log):
    """The calls the spy has logged so far."""
    try:
        with open(log) as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


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
    """An Ogg Vorbis file: a sine on each channel at its own frequency; the
    same bytes every time."""
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
    subprocess.run(["oggenc", "-Q", "-q", "6", "--serial", "1", "-o", os.path.join(cwd, name), wav], check=True)
    os.unlink(wav)


def exif(path, o):
    """Puts an EXIF segment holding orientation o right after a JPEG's start,
    where a camera writes it."""
    tiff = b"MM\0*\0\0\0\x08\0\x01" + struct.pack(">HHIHH", 0x0112, 3, 1, o, 0) + bytes(4)
    seg = b"Exif\0\0" + tiff
    with open(path, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(data[:2] + b"\xff\xe1" + struct.pack(">H", len(seg) + 2) + seg + data[2:])


def photos(d):
    """The photos people have, made in d from one upright picture of 1200 x
    800 with a red block in its top left quarter and a green one in its
    top right: stored turned or mirrored as each EXIF orientation 1 to 8
    says, as HEIC, AVIF and a CMYK JPEG; and a panorama of 8000 x 300 marked
    alike. Each as (name, the size it is fitted to, w x h); shown upright,
    red lands top left and green top right."""
    def marked(w, h, out, *conv):
        subprocess.run(["convert", "-size", "%dx%d" % (w, h), "xc:#808080",
                        "-fill", "#e01010", "-draw", "rectangle 0,0 %d,%d" % (w // 4 - 1, h // 4 - 1),
                        "-fill", "#10e010", "-draw", "rectangle %d,0 %d,%d" % (w - w // 4, w - 1, h // 4 - 1),
                        *conv, "-quality", "95", out], cwd=d, check=True)
    made = []
    # how each orientation stores the upright picture
    for o, turn in enumerate(([], ["-flop"], ["-rotate", "180"], ["-flip"], ["-transpose"], ["-rotate", "-90"],
                              ["-transverse"], ["-rotate", "90"]), 1):
        marked(1200, 800, "IMG_%d.jpg" % o, *turn)
        exif(os.path.join(d, "IMG_%d.jpg" % o), o)
        made.append(("IMG_%d.jpg" % o, (456, 304)))
    marked(1200, 800, "PNG24:marked.png")
    for name, make in (("IMG_9.heic", ["heif-enc", "-q", "90"]), ("IMG_10.avif", ["heif-enc", "-A", "-q", "90"]),
                       ("cmyk.jpg", ["convert", "-colorspace", "CMYK", "-quality", "95"])):
        subprocess.run([make[0], os.path.join(d, "marked.png"), *make[1:],
                        *(["-o"] if make[0] == "heif-enc" else []), os.path.join(d, name)],
                       check=True, capture_output=True)
        made.append((name, (456, 304)))
    os.unlink(os.path.join(d, "marked.png"))
    marked(8000, 300, "pano.jpg")
    return made + [("pano.jpg", (544, 20))]


def unread(d):
    """Files of one's own in d that can't be read: a HEIC cut short, a
    panorama a pixel wider than the largest side, and a song that is words."""
    subprocess.run(["convert", "-size", "64x48", "gradient:red-blue", "PNG24:p.png"], cwd=d, check=True)
    subprocess.run(["heif-enc", "-q", "50", "p.png", "-o", "IMG_1.heic"], cwd=d, check=True, capture_output=True)
    os.truncate(os.path.join(d, "IMG_1.heic"), os.path.getsize(os.path.join(d, "IMG_1.heic")) // 2)
    subprocess.run(["convert", "-size", "8193x300", "xc:#808080", os.path.join(d, "wide.jpg")], check=True)
    with open(os.path.join(d, "song.mp3"), "w") as f:
        f.write("not a song, though named as one\n" * 20)


# every kind read, as the words say them
PHOTOKINDS = "JPEG, PNG, GIF, WebP, HEIC, AVIF, TIFF, BMP"
SONGKINDS = r"MP3, AAC \(M4A\), Opus, Vorbis, FLAC, WAV, AIFF"
# (the command's arguments, the words of its line after the program's name)
# for unread()'s files
UNREAD = [(["IMG_1.heic"], r"IMG_1\.heic: can't be read as a picture \([^\n]+\); kinds read: " + PHOTOKINDS),
          (["wide.jpg"], r"wide\.jpg: can't be read as a picture \(8193 x 300 pixels, larger than 8192 on a side\); "
                         r"kinds read: " + PHOTOKINDS),
          (["p.png", "song.mp3"], r"song\.mp3: can't be read as music \([^\n]+\); kinds read: " + SONGKINDS)]


@contextlib.contextmanager
def workdir():
    d = tempfile.mkdtemp(prefix="brindlewock-")
    try:
        yield d
    finally:
        shutil.rmtree(d, ignore_errors=True)


# the running virtual X servers by DISPLAY, for a test that kills one
SERVERS = {}


@contextlib.contextmanager
def xvfb(size=(640, 480)):
    """A virtual X server of the given size, the show's screen unless told,
    on a display number it picks itself; yields its DISPLAY (its process is
    SERVERS[DISPLAY]). -noreset: a server that resets when
    its last client leaves drops a client that connects during the reset,
    and classic SDL 1.2 opens a probing connection and closes it just before
    it connects for good."""
    r, w = os.pipe()
    x = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "%dx%dx24" % size,
                          "-nolisten", "tcp", "-noreset"], pass_fds=(w,),
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    try:
        with os.fdopen(r) as f:
            n = f.readline().strip()
        if not n:
            raise RuntimeError("Xvfb did not start")
        SERVERS[":" + n] = x
        yield ":" + n
    finally:
        SERVERS.pop(":" + n, None)
        x.terminate()
        x.wait()


@contextlib.contextmanager
def openbox(display):
    """A window manager on the display, once it has taken the screen (it
    names itself on the root window)."""
    wm = subprocess.Popen(["openbox"], env=dict(os.environ, DISPLAY=display),
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        until("the window manager", lambda: "window id" in subprocess.run(
            ["xprop", "-root", "-display", display, "_NET_SUPPORTING_WM_CHECK"],
            capture_output=True, text=True).stdout, wm)
        yield
    finally:
        wm.terminate()
        wm.wait()


def findwindow(display, show=None, name="brindlewock", timeout=20):
    """The id of the window with exactly this name, once it exists and is
    mapped; fails at once if the show has ended before."""
    def mapped():
        p = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % name],
                           env=dict(os.environ, DISPLAY=display), capture_output=True, text=True)
        ids = p.stdout.split()
        return int(ids[0]) if ids else None
    return until("its window", mapped, show, timeout)


def xwd(display):
    """The whole screen as xwd writes it: a header, then the pixels."""
    return subprocess.run(["xwd", "-root", "-silent", "-display", display],
                          capture_output=True, check=True).stdout


def shown(display, show=None, timeout=20):
    """Waits until the screen shows a frame of the show, the many colours of
    the interference where the window was black; returns the time of the
    look that saw it."""
    def frame():
        t = time.time()
        raw = xwd(display)
        # the pixels follow the header and its colour map of 12-byte entries
        head, colours = struct.unpack(">I", raw[:4])[0], struct.unpack(">I", raw[76:80])[0]
        return t if len(set(raw[head + 12 * colours::97])) > 8 else None
    return until("a frame on the screen", frame, show, timeout)


def frames(display, n, show=None, timeout=20):
    """Waits until the screen has changed n times from now: the show has
    flipped, and so read its events, since."""
    seen = [xwd(display)]

    def changed():
        now = xwd(display)
        if now != seen[-1]:
            seen.append(now)
        return len(seen) > n
    until("%d new frames" % n, changed, show, timeout)


def screenshot(display, png=None):
    """The whole screen as (width, height, rgb bytes); also saved as png if asked."""
    raw = xwd(display)
    if png:
        subprocess.run(["convert", "xwd:-", png], input=raw, check=True)
    return image(raw, "xwd")


def image(data, kind):
    """An image file's bytes as (width, height, rgb bytes)."""
    size = subprocess.run(["identify", "-format", "%w %h", kind + ":-"], input=data, capture_output=True,
                          check=True).stdout
    w, h = map(int, size.split())
    rgb = subprocess.run(["convert", kind + ":-", "-depth", "8", "rgb:-"], input=data, capture_output=True,
                         check=True).stdout
    assert len(rgb) == w * h * 3, (w, h, len(rgb))
    return w, h, rgb


def pixel(shot, x, y):
    w, _, rgb = shot
    i = (y * w + x) * 3
    return tuple(rgb[i:i + 3])

