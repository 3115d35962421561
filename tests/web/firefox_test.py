"""The single-file page, brindlewock.html, opened from file:// in headless
Firefox over Marionette: the still matches the native one, Play starts a
show whose screen moves, what a viewer does every day as in Chromium
(page_test.Everyday), and "Save video" where Firefox's WebCodecs can encode
video."""
import unittest

import marionette
import page_test
import webrun


class FirefoxPage(page_test.Everyday, unittest.TestCase):
    sounds = False  # headless Firefox here has no audio device
    @classmethod
    def setUpClass(cls):
        cls.browser = marionette.Firefox(webrun.SCRW, webrun.SCRH, downloads=True)
        cls.addClassCleanup(cls.browser.close)

    def test_still_and_play(self):
        b = self.browser
        query, seed, ms = page_test.STILLS[0]
        b.open(page_test.PAGE + query)
        b.state("still")
        page_test.match(self, b.screenshot(), seed, page_test.GALLERI, ms)
        b.open(page_test.PAGE)
        b.state("ready")
        b.click("#play")
        page_test.moves(self, b, 1000)


if __name__ == "__main__":
    unittest.main()
