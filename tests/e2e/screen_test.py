"""What the real show puts on the screen in a window, at chosen show times: the
picture at rest, the flames eating it from below, and nothing of it once cut
away. The show's clock runs fast under faketime, counted from the first
frame seen; the show time of each screenshot is known to a fraction of a
second, so each check holds over a window of several seconds of show time."""
import os
import time
import unittest

import showrun as sr

SPEED = 5
COLOUR = (200, 40, 10)   # no background, flame or smoke pixel has this red


class Screen(unittest.TestCase):
    def test_picture_burns_away_over_the_show(self):
        shots = os.environ.get("BRINDLEWOCK_SHOTS")
        with sr.workdir() as d, sr.xvfb() as display:
            sr.picture(d, w=300, h=200, pixel=lambda x, y: COLOUR)
            p = sr.start(d, speed=SPEED, SDL_VIDEODRIVER=None, DISPLAY=display)
            try:
                sr.findwindow(display, p)
                # the first frame is shown at show time 0
                clock = sr.shown(display, p)

                def at(showtime):
                    time.sleep(max(0.0, clock + showtime / SPEED - time.time()))
                    png = os.path.join(shots, "show-%d.png" % showtime) if shots else None
                    return sr.screenshot(display, png)

                rest, burning, gone = at(29.5), at(45), at(66)
                rc, out, err = sr.finish(p, timeout=30)
            finally:
                if p.poll() is None:
                    p.kill()
        self.assertEqual((rc, out, err), (0, b"", b""))

        # at rest and opaque: the top rows are the picture's own pixels,
        # centred ((640 - 300) / 2 = 170) with its top on rows 18 to 21
        for y in range(22, 60):
            for x in range(173, 467):
                self.assertEqual(sr.pixel(rest, x, y), COLOUR, (x, y))
        self.assertNotEqual(sr.pixel(rest, 100, 40), COLOUR)
        self.assertNotEqual(sr.pixel(rest, 320, 15), COLOUR)

        # flames (red 240) under the shrinking picture, whose top still shows
        flames = sum(1 for y in range(60, 200) for x in range(170, 470)
                     if sr.pixel(burning, x, y)[0] == 240)
        self.assertGreater(flames, 1000)
        self.assertEqual(sr.pixel(burning, 320, 23), COLOUR)

        # cut away: not one pixel of the picture left
        self.assertFalse(any(sr.pixel(gone, x, y) == COLOUR
                             for y in range(0, 240) for x in range(160, 480)))


if __name__ == "__main__":
    unittest.main()
