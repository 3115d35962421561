"""The single-file page, brindlewock.html, opened from file:// in headless
Firefox over Marionette: the still matches the native one, and Play starts
a show whose screen moves."""
import unittest

import marionette
import page_test
import webrun


class FirefoxPage(unittest.TestCase):
    def test_still_and_play(self):
        b = marionette.Firefox(webrun.SCRW, webrun.SCRH)
        self.addCleanup(b.close)
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
