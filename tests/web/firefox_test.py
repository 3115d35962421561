"""The single-file page, brindlewock.html, opened from file:// in headless
Firefox over Marionette: the still matches the native one, and Play starts
a show whose screen moves."""
import os
import unittest

import marionette
import webrun

PAGE = "file://" + os.path.join(webrun.WEB, "brindlewock.html")


class FirefoxPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.browser = marionette.Firefox(webrun.SCRW, webrun.SCRH)

    @classmethod
    def tearDownClass(cls):
        cls.browser.close()

    def screen(self):
        w, h, rgb = webrun.pngread(self.browser.screenshot())
        self.assertEqual((w, h), (webrun.SCRW, webrun.SCRH))
        return rgb

    def test_still_and_play(self):
        b = self.browser
        b.open(PAGE + "?t=30000&seed=7")
        b.state("still")
        close, equal = webrun.nearshare(
            self.screen(), webrun.nativestill(7, os.path.join(webrun.SOURCE, "assets", "galleri.jpg"), 30000))
        print("still at 30000 ms, seed 7: %.4f %% within %d levels, %.4f %% equal"
              % (100 * close, webrun.TOLERANCE, 100 * equal))
        self.assertGreaterEqual(close, webrun.SHARE)
        b.open(PAGE)
        b.state("ready")
        b.click("#play")
        b.until("brindlewock.elapsed >= 1000", "a second into the show")
        first = self.screen()
        shown = b.js("brindlewock.elapsed")
        b.until("brindlewock.elapsed >= %d" % (shown + 1000), "a second later")
        self.assertNotEqual(first, self.screen(), "the screen stands still")


if __name__ == "__main__":
    unittest.main()
