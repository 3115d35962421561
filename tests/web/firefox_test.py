"""The single-file page, brindlewock.html, opened from file:// in headless
Firefox over Marionette: the still matches the native one, Play starts a
show whose screen moves, what a viewer does every day as in Chromium
(page_test.Everyday), and "Save video" where Firefox's WebCodecs can encode
video."""
import os
import shutil
import tempfile
import time
import unittest

import marionette
import page_test
import webrun


class FirefoxPage(page_test.Everyday, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.downloads = tempfile.mkdtemp(prefix="brindlewock-saved-")
        cls.addClassCleanup(shutil.rmtree, cls.downloads, ignore_errors=True)
        cls.browser = marionette.Firefox(webrun.SCRW, webrun.SCRH, downloads=cls.downloads)
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

    def test_save_video(self):
        page_test.savable(self)
        b = self.browser
        b.open(page_test.PAGE + "?seed=%d" % page_test.SAVESEED)
        b.state("ready")
        if not b.js("typeof VideoEncoder === 'function'"):
            self.skipTest("this Firefox has no WebCodecs")
        b.until("!document.getElementById('save').disabled", "Save video ready")
        start = time.monotonic()
        b.click("#save")
        b.until("document.documentElement.dataset.save !== 'saving'", "the video made",
                wait=page_test.SAVETIME * 2)
        self.assertEqual(b.js("document.documentElement.dataset.save"), "saved")
        # Firefox writes the file under a name of its own until it is whole
        path = os.path.join(self.downloads, b.js("brindlewock.saved.name"))
        size = b.js("brindlewock.saved.bytes")
        deadline = time.monotonic() + b.WAIT
        while not (os.path.exists(path) and os.path.getsize(path) == size):
            self.assertLess(time.monotonic(), deadline, "the saved file never came whole")
            time.sleep(0.1)
        page_test.checkvideo(self, path, time.monotonic() - start, page_test.SAVESEED)


if __name__ == "__main__":
    unittest.main()
