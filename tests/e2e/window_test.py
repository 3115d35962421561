"""The show in a real X window, on both SDL 1.2 runtimes: its name and size,
the screen at chosen show times (the blue interference, the picture at
rest, the flames eating it from below), and Escape and the window-close
request ending it."""
import concurrent.futures
import os
import subprocess
import time
import unittest

import showrun as sr

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
    def each_runtime(self, body, speed=None):
        """body(display, show, window, clock) on each runtime, AT_ONCE at a
        time, each in a window of its own, once the show's first frame is on the
        screen; the show must then end quietly with status 0, on the
        runtime asked for."""
        with concurrent.futures.ThreadPoolExecutor(AT_ONCE) as pool:
            runs = {rt: pool.submit(self.one, rt, body, speed) for rt in sr.each_runtime(self)}
        for rt, run in runs.items():
            with self.subTest(runtime=rt):
                run.result()

    def one(self, rt, body, speed):
        with sr.workdir() as d, sr.xvfb() as display:
            sr.picture(d, w=300, h=200, pixel=lambda x, y: COLOUR)
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

    def test_the_show_ends_with_its_x_server(self):
        """The X server killed during start-up (1 s after the start) and
        while the picture is shown (30 s into the show, on its fast clock):
        the show is gone within 2 s of the kill, with status 1, and prints
        nothing of its own."""
        for when in (1, 30):
            for rt in sr.each_runtime(self, killed=when):
                with self.subTest(runtime=rt, killed=when), sr.workdir() as d, sr.xvfb() as display:
                    sr.picture(d, w=300, h=200, pixel=lambda x, y: COLOUR)
                    p = sr.start(d, speed=SPEED, SDL_VIDEODRIVER=None, DISPLAY=display, runtime=rt)
                    try:
                        if when == 1:
                            time.sleep(1)
                        else:
                            clock = sr.shown(display, p)
                            time.sleep(max(0.0, clock + when / SPEED - time.time()))
                        self.assertIsNone(p.poll(), "the show ended before its X server")
                        sr.SERVERS[display].kill()
                        killed = time.time()
                        p.wait(timeout=10 * sr.SLACK)
                        self.assertLess(time.time() - killed, 2 * sr.SLACK, "the show outlived its display")
                        self.assertEqual(p.returncode, 1)
                    finally:
                        if p.poll() is None:
                            p.kill()
                        p.communicate()


if __name__ == "__main__":
    unittest.main()
