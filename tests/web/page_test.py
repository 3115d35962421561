"""The page in headless Chromium, as a viewer meets it. From file://, the
single file brindlewock.html: its stills against the native ones, the
viewer's own picture, a show played through with the clock stepping the
still schedule, the music and the picture together after a freeze, and the
start screen in a small window, a large one and on a touch screen. Served
over HTTP, build/web as it is put on a server: Play starts a show that
moves, a held Escape goes on with it, its release ends it, and the end
screen plays it again; the single file over a slow line shows its menu and
its progress before its data is in. What a viewer does every day, in
Chromium here and in Firefox (firefox_test): a phone photo fitted, the show
stopped by the mouse, the end screen's choices, Play waiting for a file
being read, a dropped file, the page's bytes counted to the last, and
"Save video"."""
import base64
import json
import math
import os
import subprocess
import tempfile
import time
import unittest
import wave

import chromium
import showrun
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
# window sizes the start screen must fit, and whether on a touch screen
SCREENS = [(320, 240, False), (3840, 2160, False), (320, 240, True)]
TYPE = 12          # px: the smallest text on the menu
FINGER = 44        # px: the smallest button on a touch screen
PHOTO = (3024, 4032)   # a phone's upright photo
PHOTOAT = 27520    # ms: the photo shown at rest, before the fire
BOX = (544, 304)   # the box a viewer's picture is fitted into
# the photo's parts: (what, its rectangle in quarters of the photo's width
# and height, its colour in the file, its colour on the screen, or None for
# one never seen): its top corners, its own black, and a corner of alpha 0
PARTS = [("top left", (0, 0, 1, 1), "#ff0000", (255, 0, 0)),
         ("top right", (3, 0, 4, 1), "#0000ff", (0, 0, 255)),
         ("black", (1.5, 2.5, 2.5, 3.5), "#000000", (1, 1, 1)),
         ("transparent", (0, 3, 1, 4), "#00ff0000", None)]
NEAR = 8           # levels a resampled part's colour may differ by
SAVESEED = 7
SAVEFPS = 30
SAVEDLEN = 74.5    # s: the saved video's shortest length
SAVEAT = 30000     # ms: the saved frame compared with the native still ...
PSNR = 23          # ... at this PSNR in dB or more: 4:2:0 chroma alone costs
                   # that still 29.3 dB, a frame a second off scores 17.6
SAVETIME = 75      # s: the longest the video may take to make
SLOWLINE = 100000  # bytes a second of the line the single file comes over


def photo(path):
    """The phone photo as an RGBA PNG: grey, with PARTS drawn in."""
    w, h = PHOTO
    cmd = ["convert", "-size", "%dx%d" % PHOTO, "xc:#808080", "-alpha", "set"]
    for _, (x0, y0, x1, y1), colour, _ in PARTS:
        cmd += ["(", "-size", "%dx%d" % ((x1 - x0) * w // 4, (y1 - y0) * h // 4), "xc:" + colour, ")",
                "-geometry", "+%d+%d" % (x0 * w // 4, y0 * h // 4), "-compose", "copy", "-composite"]
    subprocess.run(cmd + ["PNG32:" + path], check=True, timeout=120)


def music(path, seconds):
    """A WAV of a tone, 8000 Hz mono, seconds long."""
    with wave.open(path, "wb") as f:
        f.setnchannels(1)
        f.setsampwidth(2)
        f.setframerate(8000)
        f.writeframes(b"".join(int(8000 * math.sin(i / 5)).to_bytes(2, "little", signed=True)
                               for i in range(8000 * seconds)))


def drop(b, path, kind, then=""):
    """Drops the file on the page, as a viewer's drag from a file manager,
    and runs the JavaScript then at once."""
    with open(path, "rb") as f:
        data = base64.b64encode(f.read()).decode()
    b.js("""(() => {
        const bytes = Uint8Array.from(atob(%s), c => c.charCodeAt(0));
        const files = new DataTransfer();
        files.items.add(new File([bytes], %s, { type: %s }));
        document.body.dispatchEvent(new DragEvent('drop', { dataTransfer: files, bubbles: true, cancelable: true }));
        %s;
        return true;
    })()""" % (json.dumps(data), json.dumps(os.path.basename(path)), json.dumps(kind), then))


def shown(b, selector):
    return b.js("document.querySelector(%s).getClientRects().length > 0" % json.dumps(selector))


def psnr(a, b):
    """The PSNR in dB of two screens' RGB bytes."""
    mse = sum((x - y) ** 2 for x, y in zip(a, b)) / len(a)
    return 10 * math.log10(255 ** 2 / mse) if mse else math.inf


def savable(test):
    """Skips a test of Save video where the page was built without it."""
    if not os.path.exists(os.path.join(webrun.WEB, "save.js")):
        showrun.skip(test, "the page is built without Save video: web/node_modules lacks its npm "
                           "packages (tools/setup test installs them)")


def checkvideo(test, path, took, seed):
    """The video the page saved: a picture of the screen's size or more and
    sound, the whole show long, its frame at SAVEAT close to the native still
    of the seed, made in less than SAVETIME s."""
    probe = json.loads(subprocess.run(
        ["ffprobe", "-v", "error", "-show_streams", "-show_format", "-of", "json", path],
        capture_output=True, check=True, timeout=120).stdout)
    kinds = {s["codec_type"]: s for s in probe["streams"]}
    print("%s: %s, %s and %s, %.2f s, %.1f MB, made in %.1f s" % (
        os.path.basename(path), probe["format"]["format_name"], kinds.get("video", {}).get("codec_name"),
        kinds.get("audio", {}).get("codec_name"), float(probe["format"]["duration"]),
        os.path.getsize(path) / 1e6, took))
    test.assertIn("audio", kinds)
    test.assertGreaterEqual(kinds["video"]["width"], webrun.SCRW)
    test.assertGreaterEqual(kinds["video"]["height"], webrun.SCRH)
    test.assertGreaterEqual(float(probe["format"]["duration"]), SAVEDLEN)
    frame = subprocess.run(
        ["ffmpeg", "-v", "error", "-i", path, "-vf", "select=eq(n\\,%d),scale=%d:%d" % (
            SAVEAT * SAVEFPS // 1000, webrun.SCRW, webrun.SCRH),
         "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
        capture_output=True, check=True, timeout=120).stdout
    db = psnr(frame, webrun.nativestill(seed, GALLERI, SAVEAT))
    print("its frame at %d ms against the native still: %.2f dB" % (SAVEAT, db))
    test.assertGreaterEqual(db, PSNR)
    test.assertLess(took, SAVETIME)


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


class Everyday:
    """What a viewer does every day, in the browser of self.browser."""

    def test_photo_fitted(self):
        b = self.browser
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "photo.png")
            photo(path)
            b.open(PAGE + "?seed=7&step=%d" % STEP)
            b.state("ready")
            drop(b, path, "image/png")
            b.until("document.getElementById('status').textContent === 'Picture: photo.png'", "the photo taken")
        b.js("brindlewock.hold = %d" % PHOTOAT)
        b.click("#play")
        b.until("brindlewock.elapsed === %d" % PHOTOAT, "the photo at rest")
        screen = b.screenshot()
        # the photo fitted to the box: where each part is on the screen, the
        # picture's top left corner being on its circle of 1.5 pixels about
        # its place
        scale = min(BOX[0] / PHOTO[0], BOX[1] / PHOTO[1])
        w = round(PHOTO[0] * scale)
        left, top = (webrun.SCRW - w) // 2, 20
        for what, (x0, y0, x1, y1), _, colour in PARTS:
            with self.subTest(part=what):
                xs = range(left + 2 + math.ceil(x0 * w / 4) + 1, left - 2 + math.floor(x1 * w / 4) - 1)
                ys = range(top + 2 + math.ceil(y0 * PHOTO[1] * scale / 4) + 1,
                           top - 2 + math.floor(y1 * PHOTO[1] * scale / 4) - 1)
                got = [screen[3 * (y * webrun.SCRW + x):3 * (y * webrun.SCRW + x) + 3] for y in ys for x in xs]
                self.assertGreater(len(got), 100)
                if colour:
                    far = [tuple(p) for p in got if max(abs(a - c) for a, c in zip(p, colour)) > NEAR]
                    self.assertEqual(far, [], "%s: %d pixels not %s" % (what, len(far), colour))
                else:
                    self.assertEqual(len([p for p in got if p[1] > 200 and p[0] < 50 and p[2] < 50]), 0,
                                     "the transparent corner shows its colour")
                    self.assertGreater(len(set(got)), 20, "the transparent corner shows no background")
        b.js("brindlewock.hold = Infinity")
        b.state("ended")

    def test_stop_and_end_screen(self):
        b = self.browser
        def unfull():
            # F makes the page fullscreen; the browser leaving it, as it
            # does on Escape, ends the show too
            b.key("keyDown", "f", 70)
            b.key("keyUp", "f", 70)
            b.until("document.fullscreenElement", "fullscreen")
            b.js("document.exitFullscreen()")
        ways = [("Stop, shown by the mouse", lambda: (b.move(100, 100), b.click("#stop"))),
                ("Escape", lambda: (b.key("keyDown", "Escape", 27), b.key("keyUp", "Escape", 27))),
                ("fullscreen left", unfull)]
        b.open(PAGE)
        b.state("ready")
        for (way, stop), button in zip(ways, ("#play", "#again", "#again")):
            with self.subTest(way=way):
                self.assertFalse(shown(b, "#stop"))
                b.click(button)
                b.state("running")
                self.assertFalse(shown(b, "#stop"), "Stop shown before the mouse moved")
                stop()
                b.state("ended")
                self.assertLess(b.js("brindlewock.elapsed"), SHOWLEN)
                # the end screen: everything the start screen offers, Play again for Play
                for control in ("#again", "#picchoose", "#musicchoose", "#save", "#full"):
                    self.assertTrue(shown(b, control), control)
                    self.assertFalse(b.js("document.querySelector(%s).disabled" % json.dumps(control)), control)
                for gone in ("#play", "#flashing"):
                    self.assertFalse(shown(b, gone), gone)
                self.assertEqual(b.js("document.getElementById('announce').textContent"), "The show has ended.")

    def test_play_waits_for_a_file_read(self):
        b = self.browser
        with tempfile.TemporaryDirectory() as d:
            files = [("long.wav", "audio/wav", "music"), ("photo.png", "image/png", "picture")]
            music(os.path.join(d, "long.wav"), 80)
            photo(os.path.join(d, "photo.png"))
            b.open(PAGE + "?step=%d" % (STEP * 10))
            b.state("ready")
            b.until("!document.getElementById('save').disabled", "the music in")
            # what the status said and whether Play was disabled, at each change
            b.js("""(() => {
                const status = document.getElementById('status'), play = document.getElementById('play');
                window.seen = [];
                new MutationObserver(() => seen.push([status.textContent, play.disabled])).observe(
                    document.getElementById('menu'),
                    { subtree: true, childList: true, characterData: true, attributes: true });
                return true;
            })()""")
            for name, kind, what in files:
                with self.subTest(file=name):
                    b.js("seen.length = 0")
                    # Play pressed at once does nothing
                    drop(b, os.path.join(d, name), kind, "document.getElementById('play').click()")
                    self.assertEqual(b.js("document.documentElement.dataset.state"), "ready")
                    done = "%s: %s" % (what.capitalize(), name)
                    b.until("document.getElementById('status').textContent === %s" % json.dumps(done), done)
                    seen = b.js("seen")
                    reading = "Reading %s…" % what
                    self.assertIn([reading, True], seen)
                    self.assertNotIn([reading, False], seen)
                    self.assertFalse(b.js("document.getElementById('play').disabled"))
        b.click("#play")
        b.state("ended")
        self.assertEqual(b.js("brindlewock.playing"), {"picture": "photo.png", "music": "long.wav"})

    def test_progress_to_the_last_byte(self):
        b = self.browser
        b.open(PAGE)
        b.state("ready")
        size = os.path.getsize(os.path.join(webrun.WEB, "brindlewock.html"))
        b.until("brindlewock.loaded.got === %d" % size, "the page's last byte")
        self.assertEqual(b.js("brindlewock.loaded"), {"got": size, "total": size})
        self.assertEqual(b.js("document.getElementById('progress').value"), 1)


class Page(Everyday, unittest.TestCase):
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
            webrun.picture(own, *BOX, 3)
            # as the show takes a viewer's picture of the box's size: as it
            # is, its own black drawn as (1, 1, 1)
            rgb = bytearray(subprocess.run(["convert", own, "-depth", "8", "rgb:-"], capture_output=True,
                                           check=True, timeout=60).stdout)
            for i in range(0, len(rgb), 3):
                if not any(rgb[i:i + 3]):
                    rgb[i:i + 3] = b"\1\1\1"
            lifted = os.path.join(d, "lifted.png")
            webrun.pngwrite(lifted, *BOX, bytes(rgb))
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
        for w, h, touch in SCREENS:
            with self.subTest(size="%d x %d" % (w, h), touch=touch):
                b.resize(w, h)
                b.page("Emulation.setTouchEmulationEnabled", enabled=touch, maxTouchPoints=1)
                self.addCleanup(b.page, "Emulation.setTouchEmulationEnabled", enabled=False)
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
            self.assertTrue(shown(b, "#again"))
            self.assertLess(b.js("brindlewock.elapsed"), SHOWLEN)
        # the progress counted every byte of the files beside the page
        size = sum(os.path.getsize(os.path.join(webrun.WEB, f))
                   for f in ("brindlewock.wasm", "galleri.jpg", "musa.ogg"))
        b.until("brindlewock.loaded.got === %d" % size, "the files' last byte")
        self.assertEqual(b.js("brindlewock.loaded"), {"got": size, "total": size})

    def test_single_file_over_a_slow_line(self):
        server = chromium.Server(webrun.WEB)
        self.addCleanup(server.close)
        b = self.browser
        b.page("Network.enable")
        self.addCleanup(b.page, "Network.emulateNetworkConditions", offline=False, latency=0,
                        downloadThroughput=-1, uploadThroughput=-1)
        b.page("Network.emulateNetworkConditions", offline=False, latency=0,
               downloadThroughput=SLOWLINE, uploadThroughput=SLOWLINE)
        size = os.path.getsize(os.path.join(webrun.WEB, "brindlewock.html"))
        b.page("Page.navigate", url=server.url + "brindlewock.html")
        # the menu and its progress bar, before the page's own script has
        # come: every control disabled
        b.until("window.brindlewockloaded && brindlewockloaded.got > 0", "the first part")
        early = b.js("""({ state: document.documentElement.dataset.state, got: brindlewockloaded.got,
            bar: getComputedStyle(document.getElementById('progress')).visibility,
            enabled: [...document.querySelectorAll('#menu button')].filter(e => !e.disabled && e.getClientRects().length).map(e => e.id) })""")
        print("first seen at %d of %d bytes" % (early["got"], size))
        self.assertLess(early["got"], size / 2)
        self.assertEqual((early["state"], early["bar"], early["enabled"]), ("loading", "visible", []))
        b.state("ready")
        b.until("brindlewock.loaded.got === %d" % size, "the page's last byte", wait=size / SLOWLINE * 4 + 60)
        self.assertEqual(b.js("brindlewock.loaded"), {"got": size, "total": size})

    def test_save_video(self):
        savable(self)
        b = self.browser
        with tempfile.TemporaryDirectory() as d:
            b.call("Browser.setDownloadBehavior", behavior="allow", downloadPath=d, eventsEnabled=True)
            b.open(PAGE + "?seed=%d" % SAVESEED)
            b.state("ready")
            b.until("!document.getElementById('save').disabled", "Save video ready")
            # cancelled on its way, nothing is saved and Save video is back
            b.click("#save")
            b.until("document.getElementById('progress').value > 0.1", "a tenth of the video")
            b.click("#cancel")
            b.until("document.documentElement.dataset.save === 'cancelled'", "the video cancelled")
            self.assertEqual((os.listdir(d), shown(b, "#save"), shown(b, "#cancel")), ([], True, False))
            start = time.monotonic()
            b.click("#save")
            b.until("document.documentElement.dataset.save !== 'saving'", "the video made", wait=SAVETIME * 2)
            self.assertEqual(b.js("document.documentElement.dataset.save"), "saved")
            while b.event("Browser.downloadProgress", browser=True)["state"] != "completed":
                pass
            took = time.monotonic() - start
            name = b.js("brindlewock.saved.name")
            checkvideo(self, os.path.join(d, name), took, SAVESEED)

    def test_save_video_without_webcodecs(self):
        b = self.browser
        script = b.page("Page.addScriptToEvaluateOnNewDocument", source="delete window.VideoEncoder")
        self.addCleanup(b.page, "Page.removeScriptToEvaluateOnNewDocument", identifier=script["identifier"])
        b.open(PAGE)
        b.state("ready")
        b.until("brindlewock.loaded.got === brindlewock.loaded.total && !document.getElementById('play').disabled",
                "the music in")
        self.assertEqual(b.js("[document.getElementById('save').disabled, document.getElementById('save').textContent]"),
                         [True, "Save video (this browser can't encode video)"])


if __name__ == "__main__":
    unittest.main()
