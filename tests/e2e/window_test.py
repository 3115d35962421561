"""The show in a real X window, on both SDL 1.2 runtimes: its name and size,
Escape and the window-close request, and what the screen shows."""
import os
import subprocess
import unittest

import showrun as sr

XCLOSE = os.path.join(sr.BUILDDIR, "tests", "xclose")


def startx(d, display, runtime, speed=None):
    return sr.start(d, speed=speed, SDL_VIDEODRIVER=None, DISPLAY=display, runtime=runtime)


def xdotool(display, *args):
    subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=display), check=True)


class Window(unittest.TestCase):
    def each_runtime(self, body):
        """body(d, display, runtime) on each runtime, which must be the one
        the show loaded."""
        for rt in sr.RUNTIMES:
            with self.subTest(runtime=rt), sr.workdir() as d, sr.xvfb() as display:
                sr.picture(d)
                body(d, display, rt)
                self.assertEqual(sr.loaded(d), {rt})

    def ends_the_show(self, action):
        """Starts the show in a window on each runtime, runs
        action(display, window, process), and checks that the show then ends
        quietly with status 0."""
        def body(d, display, rt):
            p = startx(d, display, rt)
            try:
                win = sr.findwindow(display, p)
                sr.shown(display, p)
                action(display, win, p)
                rc, out, err = sr.finish(p, timeout=10)
            finally:
                if p.poll() is None:
                    p.kill()
            self.assertEqual((rc, out, err), (0, b"", b""))
        self.each_runtime(body)

    def test_named_640_by_480_and_ends_on_escape_release_not_press(self):
        def action(display, win, p):
            info = subprocess.run(["xwininfo", "-id", str(win)], capture_output=True,
                                  text=True, env=dict(os.environ, DISPLAY=display)).stdout
            self.assertIn("Width: 640", info)
            self.assertIn("Height: 480", info)
            xdotool(display, "keydown", "Escape")
            # two frames shown after the press: the show has read it
            sr.frames(display, 2, p)
            self.assertIsNone(p.poll(), "a held Escape ended the show")
            xdotool(display, "keyup", "Escape")
        self.ends_the_show(action)

    def test_window_close_request_ends_the_show(self):
        def action(display, win, p):
            subprocess.run([XCLOSE, str(win)], check=True, env=dict(os.environ, DISPLAY=display))
        self.ends_the_show(action)

    def test_screen_shows_the_blue_interference(self):
        def body(d, display, rt):
            p = startx(d, display, rt)
            try:
                sr.findwindow(display, p)
                sr.shown(display, p)
                shot = sr.screenshot(display)
            finally:
                p.terminate()
                sr.finish(p)
            self.assertEqual(shot[:2], (640, 480))
            seen = set()
            for y in range(0, 480, 16):
                for x in range(0, 640, 16):
                    r, g, b = sr.pixel(shot, x, y)
                    self.assertTrue(b >= g >= r, (x, y, r, g, b))
                    self.assertLessEqual(b, 127)
                    seen.add(b)
            self.assertGreater(len(seen), 32, "not the interference pattern")
        self.each_runtime(body)


if __name__ == "__main__":
    unittest.main()
