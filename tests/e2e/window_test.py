"""The show in a real X window, on both SDL 1.2 runtimes: its name and size,
the screen at chosen show times (the blue interference, the picture at
rest, the flames eating it from below), and Escape and the window-close
request ending it."""
import concurrent.futures
import ctypes
import glob
import os
import signal
import socket
import subprocess
import time
import unittest

import showrun as sr
from contextlib import nullcontext

XCLOSE = os.path.join(sr.BUILDDIR, "tests", "xclose")
# the show's clock in the burning test; the screen is looked at again and
# again through a stretch of show time, counted from the first frame seen
# (so never early), until it shows what is checked
SPEED = 4
# the picture at rest: its fade ends at 26 s; the flames of the swinging
# source (28 to 31 s) rise over its top from about 32 s to 38 s
REST = (26.5, 45)
BURNING = (46, 58)       # the flames of the edge line under the picture
COLOUR = (200, 40, 10)   # no background, flame or smoke pixel has this red
# the whole frame on a larger screen: the show's clock, and the photo, its
# corners marked by 20 x 20 blocks of their own colours, at rest at the
# top of the frame (170, 20) from 26 s; its bottom corners are under the
# fire's flames from about 30 s, and it is cut away from below from 34 s,
# so a screen seen later than WHOLE[1] can't show it whole any more. The
# real clock: on a busy machine a look at a large screen takes seconds.
WHOLE_SPEED = 1
WHOLE = (26.5, 45)
MARKS = {(0, 0): (255, 0, 0), (1, 0): (0, 255, 0), (0, 1): (0, 0, 255), (1, 1): (255, 255, 0)}


def marked(x, y):
    return MARKS.get((x // 280, y // 180) if x % 280 < 20 and y % 180 < 20 else None, COLOUR)


def whole(shot):
    """What is wrong with the frame on this screen, empty where the whole
    640 x 480 frame is there, centred, at its own size or scaled with its
    shape kept: nothing lit around it, the photo's marked corners where the
    frame puts them, and the background's colours (blue >= green >= red,
    blue at most 127) at the frame's own four corners."""
    w, h, rgb = shot
    lit = lambda px: max(px) > 8
    rows = [y for y in range(h) if lit(rgb[y * w * 3:(y + 1) * w * 3])]
    cols = [x for x in range(w) if lit(rgb[x * 3::w * 3]) or lit(rgb[x * 3 + 1::w * 3]) or lit(rgb[x * 3 + 2::w * 3])]
    if not rows:
        return ["nothing on the screen"]
    x0, y0, fw, fh = cols[0], rows[0], cols[-1] + 1 - cols[0], rows[-1] + 1 - rows[0]
    k = min(w / 640, h / 480)
    places = [((w - 640) // 2, (h - 480) // 2, 640, 480),
              ((w - round(640 * k)) // 2, (h - round(480 * k)) // 2, round(640 * k), round(480 * k))]
    if not any(all(abs(a - b) <= 2 for a, b in zip((x0, y0, fw, fh), place)) for place in places):
        return ["the lit part of the screen is %d x %d at (%d, %d), neither centred nor fitted: %s"
                % (fw, fh, x0, y0, places)]
    k = fw / 640
    at = lambda fx, fy: sr.pixel(shot, min(w - 1, x0 + int(fx * k)), min(h - 1, y0 + int(fy * k)))
    faults = []
    for (i, j), colour in MARKS.items():
        got = at(170 + 10 + 280 * i, 20 + 10 + 180 * j)
        if any(abs(a - b) > 24 for a, b in zip(got, colour)):
            faults.append("photo corner %s: %s, not %s" % ((i, j), got, colour))
    for cx, cy in ((0, 0), (632, 0), (0, 472), (632, 472)):
        block = [at(cx + x + 0.5, cy + y + 0.5) for y in range(8) for x in range(8)]
        if not any(map(lit, block)) or any(not (b + 2 >= g and g + 2 >= r and b <= 130) for r, g, b in block):
            faults.append("frame corner (%d, %d): %s" % (cx, cy, block[:4]))
    return faults


def sdl2():
    """The version of the SDL 2 the compat runtime runs on."""
    v = (ctypes.c_uint8 * 3)()
    ctypes.CDLL("libSDL2-2.0.so.0").SDL_GetVersion(v)
    return tuple(v)


# the runtimes' shows side by side, but one at a time under the sanitizers,
# where a frame takes long enough as it is
AT_ONCE = 1 if sr.SANITIZE else len(sr.RUNTIMES)


def rest(shot):
    """The picture at rest and opaque: the top rows are its own pixels,
    centred ((640 - 300) / 2 = 170) with its top on rows 18 to 21."""
    return (all(sr.pixel(shot, x, y) == COLOUR for y in range(22, 60) for x in range(173, 467))
            and sr.pixel(shot, 100, 40) != COLOUR and sr.pixel(shot, 320, 15) != COLOUR)


def burning(shot):
    """Flames (red 240) under the shrinking picture, whose top still shows."""
    flames = sum(1 for y in range(60, 200) for x in range(170, 470) if sr.pixel(shot, x, y)[0] == 240)
    return flames > 1000 and sr.pixel(shot, 320, 23) == COLOUR


def xdo(display, *args, tool="xdotool"):
    return subprocess.run([tool, *args], env=dict(os.environ, DISPLAY=display), check=True,
                          capture_output=True, text=True).stdout


class Window(unittest.TestCase):
    def each_runtime(self, body, speed=None, **screen):
        """body(display, show, window, clock) on each runtime, AT_ONCE at a
        time, each in a window of its own, once the show's first frame is on the
        screen; the show must then end quietly with status 0, on the
        runtime asked for. screen: the X server's size and openbox on it
        (wm), the photo's pixels."""
        with concurrent.futures.ThreadPoolExecutor(AT_ONCE) as pool:
            runs = {rt: pool.submit(self.one, rt, body, speed, **screen) for rt in sr.each_runtime(self)}
        for rt, run in runs.items():
            with self.subTest(runtime=rt):
                run.result()

    def one(self, rt, body, speed, size=(640, 480), wm=False, photo=lambda x, y: COLOUR):
        with sr.workdir() as d, sr.xvfb(size) as display, (sr.openbox(display) if wm else nullcontext()):
            sr.picture(d, w=300, h=200, pixel=photo)
            p = sr.start(d, speed=speed, SDL_VIDEODRIVER=None, DISPLAY=display, runtime=rt)
            try:
                win = sr.findwindow(display, p)
                clock = sr.shown(display, p)
                body(display, p, win, clock)
                rc, out, err = sr.finish(p, timeout=10)
            finally:
                if p.poll() is None:
                    p.kill()
            self.assertEqual((rc, out, err), (0, b"", b""))
            self.assertEqual(sr.loaded(d), {rt})

    def test_named_640_by_480_blue_and_ends_on_escape_release_not_press(self):
        def body(display, p, win, clock):
            info = xdo(display, "-id", str(win), tool="xwininfo")
            self.assertIn("Width: 640", info)
            self.assertIn("Height: 480", info)
            shot = sr.screenshot(display)
            self.assertEqual(shot[:2], (640, 480))
            seen = set()
            for y in range(0, 480, 16):
                for x in range(0, 640, 16):
                    r, g, b = sr.pixel(shot, x, y)
                    self.assertTrue(b >= g >= r, (x, y, r, g, b))
                    self.assertLessEqual(b, 127)
                    seen.add(b)
            self.assertGreater(len(seen), 32, "not the interference pattern")
            xdo(display, "keydown", "Escape")
            # two frames shown after the press: the show has read it
            sr.frames(display, 2, p)
            self.assertIsNone(p.poll(), "a held Escape ended the show")
            xdo(display, "keyup", "Escape")
        self.each_runtime(body)

    def test_picture_burns_away_then_the_close_request_ends_the_show(self):
        shots = os.environ.get("BRINDLEWOCK_SHOTS")

        def body(display, p, win, clock):
            # the first frame is shown at show time 0; the clock runs fast
            for what, check, (start, end) in (("at rest", rest, REST), ("burning", burning, BURNING)):
                time.sleep(max(0.0, clock + start / SPEED - time.time()))
                while True:
                    png = os.path.join(shots, "show-%s-%s.png" % (display[1:], what)) if shots else None
                    if check(sr.screenshot(display, png)):
                        break
                    self.assertLess((time.time() - clock) * SPEED, end, "the picture never showed " + what)
            self.assertIsNone(p.poll(), "the show ended early")
            subprocess.run([XCLOSE, str(win)], check=True, env=dict(os.environ, DISPLAY=display))
            # it ends at the request, long before its own end at 75 s
            p.wait(timeout=10 * sr.SLACK)
            self.assertLess((time.time() - clock) * SPEED, 65, "the close request did not end it")
        self.each_runtime(body, speed=SPEED)

    def look(self, shoot, clock, what):
        """Shoots the screen from the picture's rest on, on the show's
        clock from clock on, until whole() finds nothing wrong; fails with
        what it last found once the picture is surely gone from its rest."""
        time.sleep(max(0.0, clock + WHOLE[0] / WHOLE_SPEED - time.time()))
        while True:
            faults = whole(shoot())
            if not faults:
                return
            if (time.time() - clock) * WHOLE_SPEED > WHOLE[1]:
                self.fail("%s: %s" % (what, "; ".join(faults)))

    def test_the_whole_frame_on_any_screen(self):
        """Screens larger than the frame, without a window manager and with
        one: at 27 s the whole frame is seen, centred or fitted to the
        screen, on both runtimes; the close request then ends the show."""
        shots = os.environ.get("BRINDLEWOCK_SHOTS")
        for size, wm in (((1024, 768), False), ((1280, 1024), False), ((1024, 768), True)):
            def body(display, p, win, clock):
                png = os.path.join(shots, "whole-%dx%d-%s-%s.png" % (*size, wm, display[1:])) if shots else None
                self.look(lambda: sr.screenshot(display, png), clock, "%dx%d" % size)
                subprocess.run([XCLOSE, str(win)], check=True, env=dict(os.environ, DISPLAY=display))
            with self.subTest(screen=size, wm=wm):
                self.each_runtime(body, speed=WHOLE_SPEED, size=size, wm=wm, photo=marked)

    def test_the_whole_frame_under_a_wayland_compositor(self):
        """Weston's kiosk shell on a 1024 x 768 output, the show on SDL 2's
        Wayland driver (the compat runtime): at 27 s the whole frame is seen,
        and the show plays to its end with status 0. Weston runs headless
        where SDL 2 starts on a compositor without a seat (2.30 on; before,
        its Wayland driver crashes with no input device), else on its X11
        output in an X server, which gives it a seat."""
        if "compat" not in sr.RUNTIMES:
            sr.skip(self, sr.LACKING["compat"])
        if not os.path.exists("/usr/bin/weston"):
            sr.skip(self, "Weston is not installed (tools/setup test)")
        headless = sdl2() >= (2, 30, 0)
        with sr.workdir() as d, sr.workdir() as run, (nullcontext() if headless else sr.xvfb((1024, 768))) as display:
            os.chmod(run, 0o700)
            wayland = dict(os.environ, XDG_RUNTIME_DIR=run, WAYLAND_DISPLAY="wayland-show")
            if display:
                wayland["DISPLAY"] = display
            weston = subprocess.Popen(
                ["weston", "--backend=%s-backend.so" % ("headless" if headless else "x11"), "--use-pixman",
                 "--shell=kiosk-shell.so", "--socket=wayland-show", "--width=1024", "--height=768",
                 "--no-config", "--debug", "--log=" + os.path.join(run, "weston.log")],
                env=wayland, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                def listening():
                    with socket.socket(socket.AF_UNIX) as c:
                        return c.connect_ex(os.path.join(run, "wayland-show")) == 0
                sr.until("Weston's socket", listening, weston)
                sr.picture(d, w=300, h=200, pixel=marked)
                p = sr.start(d, speed=WHOLE_SPEED, runtime="compat", SDL_VIDEODRIVER="wayland",
                             XDG_RUNTIME_DIR=run, WAYLAND_DISPLAY="wayland-show")

                def shoot():
                    # the compositor's own screenshot, of its whole output
                    subprocess.run(["weston-screenshooter"], cwd=run, env=wayland, check=True)
                    png = glob.glob(os.path.join(run, "wayland-screenshot-*.png"))
                    with open(png[0], "rb") as f:
                        data = f.read()
                    os.unlink(png[0])
                    return sr.image(data, "png")
                clock = sr.until("a frame on the screen", lambda: len(set(shoot()[2][::97])) > 8 and time.time(), p)
                self.look(shoot, clock, "Weston %s" % ("headless" if headless else "on X11"))
                self.assertEqual(sr.finish(p, timeout=120), (0, b"", b""))
            finally:
                weston.terminate()
                weston.wait()

    def test_the_show_ends_with_its_x_server(self):
        """The X server killed during start-up (SDL started, its display
        open, the show stopped as it asks for its video mode and let go once
        the server is gone) and while the picture is shown (30 s into the
        show, on its fast clock): the show ends with status 1 and prints
        nothing, before its own end could come."""
        for when in ("start-up", 30):
            for rt in sr.each_runtime(self, killed=when):
                with self.subTest(runtime=rt, killed=when), sr.workdir() as d, sr.xvfb() as display:
                    sr.picture(d, w=300, h=200, pixel=lambda x, y: COLOUR)
                    early = {"LD_PRELOAD": sr.SPY, "SPY_STOPVIDEO": "1"} if when == "start-up" else {}
                    p = sr.start(d, speed=SPEED, SDL_VIDEODRIVER=None, DISPLAY=display, runtime=rt, **early)
                    try:
                        if early:
                            got = os.waitid(os.P_PID, p.pid, os.WSTOPPED | os.WEXITED | os.WNOWAIT)
                            self.assertEqual(got.si_code, os.CLD_STOPPED, "the show never asked for its mode")
                        else:
                            clock = sr.shown(display, p)
                            time.sleep(max(0.0, clock + when / SPEED - time.time()))
                        self.assertIsNone(p.poll(), "the show ended before its X server")
                        sr.SERVERS[display].kill()
                        sr.SERVERS[display].wait()
                        os.kill(p.pid, signal.SIGCONT)
                        self.assertEqual(sr.finish(p), (1, b"", b""))
                    finally:
                        if p.poll() is None:
                            p.kill()
                        p.communicate()


if __name__ == "__main__":
    unittest.main()
