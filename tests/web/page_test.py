"""The page in headless Chromium, as a viewer meets it: what a viewer
does every day (everyday.Everyday), and besides, from file://, the single
file brindlewock.html's stills against the native ones, the viewer's own
picture in a show played through with the clock stepping the still
schedule, the music and the picture together after a freeze, the start
screen in a small window, a large one and on a touch screen, and over a
slow line. Served over HTTP, build/web as it is put on a server: Play
starts a show that moves, a held Escape goes on with it, its release ends
it, and the end screen plays it again."""
import os
import subprocess
import tempfile
import time
import unittest

import bidi
import savedvideo
import showrun
import webrun
from everyday import Everyday
from pagecheck import BOX, GALLERI, PAGE, SAVE, SHOWLEN, STEP, STILLS, checkvideo, match, moves, shown, status

HELD = 40000       # ms: the frame a stepped show is held at to be compared
SPEED = 16         # the synced show's clock and music run this many times as fast
FREEZE = 2         # s the page is frozen for
SYNC = 100         # ms by which the music and the show's clock may differ
# window sizes the start screen must fit, and whether on a touch screen
SCREENS = [(320, 240, False), (3840, 2160, False), (320, 240, True)]
TYPE, FINGER = 12, 44  # px: the menu's smallest text, and button on a touch screen
SLOWLINE = 100000  # bytes a second of the line the single file comes over


class Page(Everyday, unittest.TestCase):
    sounds = True  # headless Chromium plays sound
    @classmethod
    def setUpClass(cls):
        cls.browser = bidi.Browser("chromium", downloads=True)
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
            webrun.picture(own, *BOX, 3)
            # as the show takes a viewer's picture of the box's size: as it
            # is, its own black drawn as (1, 1, 1)
            lifted = os.path.join(d, "lifted.png")
            subprocess.run(["convert", own, "-fill", "#010101", "-opaque", "#000000", lifted], check=True, timeout=60)
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
            self.held("#again", 7, lifted)

    def test_music_follows_freeze(self):
        b = self.browser
        b.open(PAGE + "?speed=%d" % SPEED)
        b.state("ready")
        b.click("#play")
        b.until("brindlewock.sound === 'started' && brindlewock.elapsed >= 10000", "10 s of show with music")
        b.cdp("Page.setWebLifecycleState", state="frozen")
        time.sleep(FREEZE)  # the freeze itself, not a wait for the page
        b.cdp("Page.setWebLifecycleState", state="active")
        # a page brought back from a freeze stays hidden, drawing nothing,
        # until it has the focus: given it for the test, and at the end
        # shown again as a tab is, by a viewer going to another and back
        b.cdp("Emulation.setFocusEmulationEnabled", enabled=True)

        def unfocus():
            b.cdp("Emulation.setFocusEmulationEnabled", enabled=False)
            b.tab()()
        self.addCleanup(unfocus)
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
        for w, h, touch in SCREENS:
            with self.subTest(size="%d x %d" % (w, h), touch=touch):
                b.resize(w, h)
                b.cdp("Emulation.setTouchEmulationEnabled", enabled=touch, maxTouchPoints=1)
                self.addCleanup(b.cdp, "Emulation.setTouchEmulationEnabled", enabled=False)
                b.open(PAGE)
                b.state("ready")
                # every element shown inside the window across, within the
                # menu's height as it scrolls, its text whole and 12 px or
                # larger, and on a touch screen every button large enough
                # for a finger and no word of dropping files; Play and the
                # warning of flashes in sight at once; the menu scrolls only
                # where the window is too low for it
                out = b.js("""(() => {
                    const menu = document.getElementById('menu');
                    const leaves = [...document.querySelectorAll('#menu *')]
                        .filter(e => e.getClientRects().length && !e.children.length);
                    const bad = leaves.filter(e => {
                        const r = e.getBoundingClientRect();
                        const small = e.tagName === 'BUTTON' && %s && (r.width < %d || r.height < %d);
                        return r.left < 0 || r.top < 0 || r.right > innerWidth || r.bottom > menu.scrollHeight
                            || e.scrollWidth > e.clientWidth + 1 || small
                            || (e.textContent.trim() && parseFloat(getComputedStyle(e).fontSize) < %d);
                    }).map(e => e.id || e.outerHTML.slice(0, 60));
                    const inview = ['play', 'flashing'].filter(id =>
                        document.getElementById(id).getBoundingClientRect().bottom > innerHeight);
                    return { bad, inview, scrolls: menu.scrollHeight > menu.clientHeight,
                             drop: document.querySelector('.drop').getClientRects().length > 0 };
                })()""" % ("true" if touch else "false", FINGER, FINGER, TYPE))
                self.assertEqual(out, {"bad": [], "inview": [], "scrolls": h < 400, "drop": not touch})

    def test_served_play_escape_and_again(self):
        server = webrun.Server(webrun.WEB)
        self.addCleanup(server.close)
        b = self.browser
        # every report of the files' progress, as the status and the bar show it
        self.addCleanup(b.preload("""
            window.reports = [];
            // from the document's first node on: a file may be in before the
            // page has finished loading
            new MutationObserver(() => {
                const status = document.getElementById('status'), bar = document.getElementById('progress');
                if (status && bar)
                    reports.push([status.textContent, bar.value]);
            }).observe(document, { subtree: true, childList: true, characterData: true, attributes: true });"""))
        b.open(server.url + "index.html")
        b.state("ready")
        for button in ("#play", "#again"):
            b.click(button)
            b.state("running")
            moves(self, b, 300)
            # holding Escape goes on with the show; releasing it ends the show
            b.key("keyDown", "Escape")
            self.assertEqual(b.js("document.documentElement.dataset.state"), "running")
            b.key("keyUp", "Escape")
            b.state("ended")
            self.assertTrue(shown(b, "#again"))
            self.assertLess(b.js("brindlewock.elapsed"), SHOWLEN)
        # the progress counted every byte of the files beside the page
        size = sum(os.path.getsize(os.path.join(webrun.WEB, f))
                   for f in ("brindlewock.wasm", "galleri.jpg", "musa.ogg"))
        b.until("brindlewock.loaded.got === %d" % size, "the files' last byte")
        self.assertEqual(b.js("brindlewock.loaded"), {"got": size, "total": size})
        # each file's last report is its whole size
        reports = b.js("reports")
        for name in ("brindlewock.wasm", "galleri.jpg", "musa.ogg"):
            with self.subTest(progress=name):
                kb = round(os.path.getsize(os.path.join(webrun.WEB, name)) / 1024)
                last = [r for r in reports if r[0].startswith("Loading %s:" % name)][-1]
                self.assertEqual(last, ["Loading %s: %d of %d KB" % (name, kb, kb), 1])

    def test_save_video_without_music(self):
        """Served where its music is missing, the page saves a video with
        no audio track, and says so."""
        if not SAVE:
            showrun.skip(self, "no Save video: the page is built without web/node_modules (tools/setup test installs them)")
        with tempfile.TemporaryDirectory() as d:
            for f in os.listdir(webrun.WEB):
                if f != "musa.ogg":
                    os.symlink(os.path.join(webrun.WEB, f), os.path.join(d, f))
            server = webrun.Server(d)
            self.addCleanup(server.close)
            b = self.browser
            b.open(server.url + "index.html?seed=7")
            b.state("ready")
            b.until("/^Without sound: musa.ogg/.test(document.getElementById('status').textContent)", "no music")
            h264 = b.js("VideoEncoder.isConfigSupported({ codec: 'avc1.42001f', width: 640, height: 480, bitrate: 1e6 })"
                        ".then(r => r.supported, () => false)")
            checkvideo(self, savedvideo.save(b), h264, sound=False, psnr=False)

    def test_single_file_over_a_slow_line(self):
        server = webrun.Server(webrun.WEB)
        self.addCleanup(server.close)
        b = self.browser
        b.cdp("Network.enable")
        self.addCleanup(b.cdp, "Network.emulateNetworkConditions", offline=False, latency=0,
                        downloadThroughput=-1, uploadThroughput=-1)
        b.cdp("Network.emulateNetworkConditions", offline=False, latency=0,
               downloadThroughput=SLOWLINE, uploadThroughput=SLOWLINE)
        size = os.path.getsize(os.path.join(webrun.WEB, "brindlewock.html"))
        b.open(server.url + "brindlewock.html", wait="none")
        # the menu and its progress bar before half the page is in, every
        # control disabled
        b.until("window.brindlewockloaded && brindlewockloaded.got > 0", "the first part")
        self.assertEqual(b.js("""[document.documentElement.dataset.state, brindlewockloaded.got < %d,
            getComputedStyle(document.getElementById('progress')).visibility, [...document.querySelectorAll('#menu button')]
            .filter(e => !e.disabled && e.getClientRects().length).length]""" % (size / 2)),
            ["loading", True, "visible", 0])
        b.state("ready")
        b.until("brindlewock.loaded.got === %d" % size, "the page's last byte", wait=size / SLOWLINE * 4 + 60)
        self.assertEqual(b.js("brindlewock.loaded"), {"got": size, "total": size})


if __name__ == "__main__":
    unittest.main()
