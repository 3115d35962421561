"""The page in headless Chromium, as a viewer meets it. From file://, the
single file brindlewock.html: its stills against the native ones, the
viewer's own picture, a show played through with the clock stepping the
still schedule, the music and the picture together after a freeze, and the
start screen in a small window and a large one. Served over HTTP, build/web
as it is put on a server: Play starts a show that moves, a held Escape goes
on with it, its release ends it, and the end screen plays it again."""
import os
import tempfile
import time
import unittest

import chromium
import webrun

PAGE = "file://" + os.path.join(webrun.WEB, "brindlewock.html")
GALLERI = os.path.join(webrun.SOURCE, "assets", "galleri.jpg")
SHOWLEN = 75000    # ms: the show's last frame
HELD = 40000       # ms: the frame a stepped show is held at to be compared
STEP = 1000        # ms of show time a frame in the stepped shows
SPEED = 16         # the synced show's clock and music run this many times as fast
FREEZE = 2         # s the page is frozen for
SYNC = 100         # ms by which the music and the show's clock may differ
# (address, seed and time of the native still it shows): the largest seed
# as itself, and a time past the show's end as the end
STILLS = [("?t=30000&seed=7", 7, 30000), ("?t=99999&seed=4294967295", 4294967295, SHOWLEN)]
# window sizes the start screen must fit
SCREENS = [(320, 240), (3840, 2160)]


def match(test, screen, seed, picture, ms):
    """The screen is the native still of the seed, picture and time."""
    close, equal = webrun.nearshare(screen, webrun.nativestill(seed, picture, ms))
    print("seed %d, %d ms: %.4f %% within %d levels, %.4f %% equal"
          % (seed, ms, 100 * close, webrun.TOLERANCE, 100 * equal))
    test.assertGreaterEqual(close, webrun.SHARE)


def moves(test, b, ms):
    """From ms into the running show, a second later the screen differs,
    and it is no plain colour."""
    b.until("brindlewock.elapsed >= %d" % ms, "%d ms into the show" % ms)
    first = b.screenshot()
    b.until("brindlewock.elapsed >= %d" % (b.js("brindlewock.elapsed") + 1000), "a second later")
    test.assertNotEqual(first, b.screenshot(), "the screen stands still")
    test.assertGreater(len(set(first[i:i + 3] for i in range(0, len(first), 3 * 97))), 8,
                       "the screen is nearly one colour")


class Page(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.browser = chromium.Chromium()
        cls.addClassCleanup(cls.browser.close)

    def setUp(self):
        self.browser.resize(webrun.SCRW, webrun.SCRH)

    def test_stills_match_native(self):
        for query, seed, ms in STILLS:
            with self.subTest(query=query):
                self.browser.open(PAGE + query)
                self.browser.state("still")
                match(self, self.browser.screenshot(), seed, GALLERI, ms)

    def held(self, button, seed, picture):
        """Plays a stepped show from the button, compares its frame at HELD
        with the native still, and lets it run to its end."""
        b = self.browser
        b.js("brindlewock.hold = %d" % HELD)
        b.click(button)
        b.until("brindlewock.elapsed === %d" % HELD, "the held frame")
        match(self, b.screenshot(), seed, picture, HELD)
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
        lags = {"after a %d s freeze" % FREEZE: b.js("brindlewock.lag()")}
        b.state("ended")
        lags["at the end"] = b.js("brindlewock.last")
        for when, lag in lags.items():
            print("%s: clock %.0f ms, music %.0f ms" % (when, lag["clock"], lag["music"]))
            self.assertLess(abs(lag["clock"] - lag["music"]) / SPEED, SYNC, when)
        self.assertGreaterEqual(b.js("brindlewock.elapsed"), SHOWLEN)

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

    def test_served_play_escape_and_again(self):
        server = chromium.Server(webrun.WEB)
        self.addCleanup(server.close)
        b = self.browser
        b.open(server.url + "index.html")
        b.state("ready")
        for button in ("#play", "#again"):
            b.click(button)
            b.state("running")
            moves(self, b, 300)
            # holding Escape goes on with the show; releasing it ends the show
            b.key("keyDown", "Escape", 27)
            self.assertEqual(b.js("document.documentElement.dataset.state"), "running")
            b.key("keyUp", "Escape", 27)
            b.state("ended")
            self.assertTrue(b.js("!document.getElementById('end').hidden"))
            self.assertLess(b.js("brindlewock.elapsed"), SHOWLEN)


if __name__ == "__main__":
    unittest.main()
