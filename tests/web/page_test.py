"""The single-file page, brindlewock.html, opened from file:// in headless
Chromium: its stills against the native ones, the viewer's own picture, a
show played through with the clock stepping the still schedule, the music
and the picture together after a freeze, and the start screen in a small
window."""
import json
import os
import tempfile
import time
import unittest

import webpage
import webrun

PAGE = "file://" + os.path.join(webrun.WEB, "brindlewock.html")
GALLERI = os.path.join(webrun.SOURCE, "assets", "galleri.jpg")
SHOWLEN = 75000    # ms: the show's last frame
HELD = 40000       # ms: the frame a stepped show is held at to be compared
STEP = 400         # ms of show time a frame in the stepped shows
SPEED = 4          # the synced show's clock and music run this many times as fast
FREEZE = 4         # s the page is frozen for
SYNC = 100         # ms by which the music and the show's clock may differ
# (address, seed and time of the native still it shows): the largest seed
# as itself, and a time past the show's end as the end
STILLS = [("?t=30000&seed=7", 7, 30000), ("?t=99999&seed=4294967295", 4294967295, SHOWLEN)]
# window sizes the start screen must fit
SCREENS = [(320, 240), (3840, 2160)]


class PageFile(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.browser = webpage.Chromium()

    @classmethod
    def tearDownClass(cls):
        cls.browser.close()

    def setUp(self):
        self.browser.resize(webrun.SCRW, webrun.SCRH)

    def match(self, seed, picture, ms):
        close, equal = webrun.nearshare(self.browser.screenshot(), webrun.nativestill(seed, picture, ms))
        print("seed %d, %d ms: %.4f %% within %d levels, %.4f %% equal"
              % (seed, ms, 100 * close, webrun.TOLERANCE, 100 * equal))
        self.assertGreaterEqual(close, webrun.SHARE)

    def test_stills_match_native(self):
        for query, seed, ms in STILLS:
            with self.subTest(query=query):
                self.browser.open(PAGE + query)
                self.browser.state("still")
                self.match(seed, GALLERI, ms)

    def held(self, button, seed, picture):
        """Plays a stepped show from the button, compares its frame at HELD
        with the native still, and lets it run to its end."""
        b = self.browser
        b.js("brindlewock.hold = %d" % HELD)
        b.click(button)
        b.until("brindlewock.elapsed === %d" % HELD, "the held frame")
        self.match(seed, picture, HELD)
        b.js("brindlewock.hold = Infinity")
        b.state("ended")
        self.assertEqual(b.js("brindlewock.elapsed"), SHOWLEN)

    def test_own_picture_and_play_again(self):
        b = self.browser
        with tempfile.TemporaryDirectory() as d:
            broken = os.path.join(d, "broken.png")
            with open(broken, "wb") as f:
                f.write(b"\x89PNG\r\n\x1a\nnot a picture at all")
            own = os.path.join(d, "own.png")
            webrun.picture(own, 500, 420, 3)
            b.open(PAGE + "?seed=7&step=%d" % STEP)
            b.state("ready")
            # an undecodable picture is refused and the default one stays
            b.upload("#picfile", broken)
            b.until("/broken.png can't be read as a picture/.test(document.getElementById('status').textContent)",
                    "the message on broken.png")
            self.held("#play", 7, GALLERI)
            # the viewer's own picture, burnt by a show that begins as a new one
            b.upload("#picfile", own)
            b.until("!document.getElementById('picpreview').hidden", "the picture's preview")
            self.held("#again", 7, own)

    def test_music_follows_freeze(self):
        b = self.browser
        b.open(PAGE + "?speed=%d" % SPEED)
        b.state("ready")
        b.click("#play")
        b.until("brindlewock.sound === 'started' && brindlewock.elapsed >= 10000", "10 s of show with music")
        b.page("Page.setWebLifecycleState", state="frozen")
        time.sleep(FREEZE)  # the freeze itself, not a wait for the page
        b.page("Page.setWebLifecycleState", state="active")
        b.page("Emulation.setFocusEmulationEnabled", enabled=True)
        shown = b.js("brindlewock.elapsed")
        b.until("brindlewock.elapsed >= %d" % (shown + 1000 * SPEED), "a second after the freeze")
        lag = b.js("brindlewock.lag()")
        print("after a %d s freeze: clock %.0f ms, music %.0f ms" % (FREEZE, lag["clock"], lag["music"]))
        self.assertLess(abs(lag["clock"] - lag["music"]) / SPEED, SYNC)
        b.state("ended")
        last = b.js("brindlewock.last")
        print("at the end: clock %.0f ms, music %.0f ms" % (last["clock"], last["music"]))
        self.assertGreaterEqual(b.js("brindlewock.elapsed"), SHOWLEN)
        self.assertLess(abs(last["clock"] - last["music"]) / SPEED, SYNC)

    def test_start_screen_fits(self):
        b = self.browser
        for w, h in SCREENS:
            with self.subTest(size="%d x %d" % (w, h)):
                b.resize(w, h)
                b.open(PAGE)
                b.state("ready")
                # every element shown inside the window, none cutting its
                # text, and the corner button over none of them
                out = b.js("""(() => {
                    const shown = [...document.querySelectorAll('#start *, #full')]
                        .filter(e => e.getClientRects().length && !e.children.length);
                    const full = document.getElementById('full').getBoundingClientRect();
                    return shown.filter(e => {
                        const r = e.getBoundingClientRect();
                        const under = e.id !== 'full' && r.left < full.right && full.left < r.right
                            && r.top < full.bottom && full.top < r.bottom;
                        return r.left < 0 || r.top < 0 || r.right > innerWidth || r.bottom > innerHeight
                            || e.scrollWidth > e.clientWidth + 1 || under;
                    }).map(e => e.id || e.outerHTML.slice(0, 60));
                })()""")
                self.assertEqual(out, [])


if __name__ == "__main__":
    unittest.main()
