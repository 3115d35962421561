"""The single-file page, brindlewock.html, opened from file:// in headless
Firefox over WebDriver BiDi: the still matches the native one, Play starts a
show whose screen moves, what a viewer does every day as in Chromium
(everyday.Everyday), and "Save video" where Firefox's WebCodecs can encode
video."""
import unittest

import bidi
import pagecheck
from everyday import Everyday


class FirefoxPage(Everyday, unittest.TestCase):
    sounds = False  # headless Firefox here has no audio device
    @classmethod
    def setUpClass(cls):
        cls.browser = bidi.Browser("firefox", downloads=True)
        cls.addClassCleanup(cls.browser.close)

    def test_still_and_play(self):
        b = self.browser
        query, seed, ms = pagecheck.STILLS[0]
        b.open(pagecheck.PAGE + query)
        b.state("still")
        pagecheck.match(self, b.screenshot(), seed, pagecheck.GALLERI, ms)
        b.open(pagecheck.PAGE)
        b.state("ready")
        b.click("#play")
        pagecheck.moves(self, b, 1000)


if __name__ == "__main__":
    unittest.main()
