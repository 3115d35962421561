"""The page in headless Chromium, as a viewer meets it. From file://, the
single file brindlewock.html: its stills against the native ones, the
viewer's own picture, a show played through with the clock stepping the
still schedule, the music and the picture together after a freeze, and the
start screen in a small window, a large one and on a touch screen, and over
a slow line. Served over HTTP, build/web as it is put on a server: Play
starts a show that moves, a held Escape goes on with it, its release ends
it, and the end screen plays it again. Everyday runs in Firefox too."""
import base64
import json
import math
import os
import subprocess
import tempfile
import time
import unittest

import chromium
import ownfiles
import savedvideo
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
TYPE, FINGER = 12, 44  # px: the menu's smallest text, and button on a touch screen
PHOTO = (3024, 4032)   # a phone's upright photo ...
PHOTOAT = 27520        # ... at rest at this ms, before the fire
BOX = (544, 304)       # the box a viewer's picture is fitted into
# the photo's parts: (what, its rectangle in quarters of the photo's sides,
# its colour, on the screen too, or None where it is transparent)
PARTS = [("top left", (0, 0, 1, 1), "#ff0000", (255, 0, 0)), ("top right", (3, 0, 4, 1), "#0000ff", (0, 0, 255)),
         ("black", (1.5, 2.5, 2.5, 3.5), "#000000", (1, 1, 1)), ("alpha 0", (0, 3, 1, 4), "#00ff0000", None)]
NEAR = 8           # levels a resampled part's colour may differ by
GREY = 20         # levels a fitted picture of fine stripes may be from mid-grey
CMYKNEAR, CMYKSHARE = 3, 0.99  # levels a CMYK JPEG's pixels may differ by, at this share
SONG, LONGSONG = 3, 90  # s: a short song, and one longer than the show
PLAYED = (75, 80)  # s of a long song decoded: what the show plays and a little more
STATUSES = 8       # texts the status may take while a video is made, all told
SLOWLINE = 100000  # bytes a second of the line the single file comes over


# whether the page was built with "Save video" (web/node_modules from npm)
SAVE = os.path.exists(os.path.join(webrun.WEB, "save.js"))

def photo(path):
    """The phone photo as an RGBA PNG: grey, with PARTS drawn in."""
    w, h = PHOTO
    cmd = ["convert", "-size", "%dx%d" % PHOTO, "xc:#808080", "-alpha", "set"]
    for _, (x0, y0, x1, y1), colour, _ in PARTS:
        cmd += ["(", "-size", "%dx%d" % ((x1 - x0) * w // 4, (y1 - y0) * h // 4), "xc:" + colour, ")",
                "-geometry", "+%d+%d" % (x0 * w // 4, y0 * h // 4), "-compose", "copy", "-composite"]
    subprocess.run(cmd + ["PNG32:" + path], check=True, timeout=120)


def drop(b, path, kind, then="", pad=0):
    """Drops the file on the page, as a drag from a file manager, and runs
    the JavaScript then at once; with pad zero bytes after its own."""
    with open(path, "rb") as f:
        data = base64.b64encode(f.read()).decode()
    b.js("""(() => {
        const files = new DataTransfer();
        files.items.add(new File([Uint8Array.from(atob(%s), c => c.charCodeAt(0)), new Uint8Array(%d)], %s, { type: %s }));
        document.body.dispatchEvent(new DragEvent('drop', { dataTransfer: files, bubbles: true }));
        %s;
        return true;
    })()""" % (json.dumps(data), pad, json.dumps(os.path.basename(path)), json.dumps(kind), then))


def picked(b, name, what="picture"):
    """Waits until the page has taken the file named or said why not, and
    returns what the status says."""
    b.until("""(s => s === %s || s.startsWith(%s) && s.endsWith('keeps its %s.'))(
        document.getElementById('status').textContent) && !document.getElementById('play').disabled"""
            % (json.dumps("%s: %s" % (what.capitalize(), name)), json.dumps(name), what), name)
    return b.js("document.getElementById('status').textContent")


# the fitted picture's name and size, its darkest and lightest channel, and
# its RGB at the points given as shares of its sides
LOOK = """((points) => {
    const p = brindlewock.picture;
    let lo = 255, hi = 0;
    for (let i = 0; i < p.rgba.length; i += 4)
        for (let k = 0; k < 3; k++) {
            lo = Math.min(lo, p.rgba[i + k]);
            hi = Math.max(hi, p.rgba[i + k]);
        }
    const at = ([fx, fy]) => {
        const i = (Math.min(p.h - 1, Math.floor(fy * p.h)) * p.w + Math.min(p.w - 1, Math.floor(fx * p.w))) * 4;
        return [p.rgba[i], p.rgba[i + 1], p.rgba[i + 2]];
    };
    return { name: p.name, w: p.w, h: p.h, lo, hi, at: points.map(at) };
})(%s)"""


def photos(d):
    """The table of a viewer's photos: (file, how it is made, the fitted
    size or the words it is refused in, [(x, y as shares of the fitted
    sides, its colour there or None where transparent)]). Each EXIF
    orientation has the marked corners land where they are upright."""
    red, blue = [(0.25, 0.5, (255, 0, 0))], [(0.75, 0.5, (0, 0, 255))]
    corners = [((cx * 6 + 1) / 8, (cy * 6 + 1) / 8, colour) for _, (cx, cy), colour in ownfiles.CORNERS]
    big = "%s: %d x %d pixels is too large (at most 8192 on its long side)"
    rows = [("exif%d.jpg" % n, lambda p, n=n: ownfiles.oriented(p, n), (544, 272), corners) for n in range(1, 9)]
    rows += [
        ("exif6.png", lambda p: ownfiles.oriented(p, 6, "png"), (544, 272), corners),
        ("panorama.jpg", lambda p: ownfiles.halves(p + ".png", 8000, 300) or ownfiles.convert(p + ".png", p), (544, 20), red + blue),
        # the rounding boundary, and a wide one held by its width
        ("boundary.png", lambda p: ownfiles.halves(p, 1000, 600), (507, 304), red + blue),
        ("wide.png", lambda p: ownfiles.halves(p, 2000, 200), (544, 54), red + blue),
        ("longest.png", lambda p: ownfiles.halves(p, 8192, 100), (544, 7), red + blue),
        ("tallest.png", lambda p: ownfiles.png(p, 100, 8192, "red"), (4, 304), red),
        ("over.png", lambda p: ownfiles.png(p, 8193, 100), big % ("over.png", 8193, 100), []),
        ("overtall.png", lambda p: ownfiles.png(p, 100, 8193), big % ("overtall.png", 100, 8193), []),
        ("keyed.gif", ownfiles.keyed, (60, 40), red + [(0.75, 0.5, None)]),
        ("keyed.png", ownfiles.keyed, (60, 40), red + [(0.75, 0.5, None)]),
        ("vertical.png", lambda p: ownfiles.stripes(p, True), (405, 304), "grey"),
        ("horizontal.png", lambda p: ownfiles.stripes(p, False), (405, 304), "grey"),
        ("cmyk.jpg", None, (200, 100), "cmyk"),
        ("junk.png", lambda p: ownfiles.write(p, b"not a picture"),
         "junk.png is no picture of a kind the page reads (JPEG, PNG, GIF, BMP, WebP, AVIF or HEIC, "
         "as far as this browser decodes them)", [])]
    # headers that claim more than the limit, refused before any decoding
    for kind, w, h in [("png", 100000, 100000), ("jpg", 60000, 60000), ("gif", 65535, 1), ("bmp", 9000, 9000),
                       ("webp", 16384, 16384), ("avif", 8193, 4000)]:
        name = "claims.%s" % kind
        rows.append((name, lambda p, kind=kind, w=w, h=h: ownfiles.claims(p, kind, w, h), big % (name, w, h), []))
    return rows


def shown(b, selector):
    return b.js("document.querySelector(%s).getClientRects().length > 0" % json.dumps(selector))


def status(b, text):
    b.until("document.getElementById('status').textContent === %s" % json.dumps(text), text)


def checkvideo(test, saved, h264, sound=True, psnr=True):
    """A video the page saved of seed 7: MP4 with H.264 where the browser
    encodes H.264, else WebM; music where there was music, and the page's
    word for it naming what ffprobe finds; its video stream 640 x 480, 30
    frames a second and the show's 2251 frames long, read from the
    stream's own packets; and with psnr, decoded whole without an error,
    its frames at 10, 30 and 50 s as close to the native ones on the same
    schedule as savedvideo.PSNRAT asks."""
    got = savedvideo.probe(saved["path"])
    db = savedvideo.psnrs(saved["path"], 7, GALLERI) if psnr else {}
    print("%s: %s (%s), %s and %s, %d frames, %.3f s, %.3f fps, %.1f MB, made in %.1f s, PSNR %s" % (
        saved["name"], saved["format"], got["format"], got["video"], got["audio"], got["frames"], got["length"],
        got["fps"], got["bytes"] / 1e6, saved["seconds"], " ".join("%.2f dB at %d s" % (db[s], s) for s in sorted(db))))
    mp4 = "mp4" in got["format"]
    test.assertEqual((mp4, got["video"] in ("h264",) if h264 else got["video"] in ("vp8", "vp9"), saved["name"][-4:]),
                     (h264, True, ".mp4" if h264 else "webm"))
    test.assertEqual((got["audio"] is not None, got["streams"]), (sound, 2 if sound else 1))
    test.assertEqual(saved["format"], "%s, %s%s" % ("MP4" if mp4 else "WebM", {"h264": "H.264"}.get(got["video"], got["video"].upper()),
                                                   " and " + {"aac": "AAC"}.get(got["audio"], "Opus") if sound else ", without sound"))
    test.assertEqual((got["size"], got["rate"], got["frames"]), ((webrun.SCRW, webrun.SCRH), "30/1", savedvideo.FRAMES))
    test.assertAlmostEqual(got["length"], savedvideo.FRAMES / savedvideo.FPS, delta=0.002)
    test.assertAlmostEqual(got["fps"], savedvideo.FPS, delta=0.01)
    if psnr:
        subprocess.run(["ffmpeg", "-v", "error", "-xerror", "-i", saved["path"], "-f", "null", "-"], check=True, timeout=300)
        for s, least in savedvideo.PSNRAT.items():
            test.assertGreaterEqual(db[s], least, "at %d s" % s)


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
            photo(os.path.join(d, "photo.png"))
            b.open(PAGE + "?seed=7&step=%d" % STEP)
            b.state("ready")
            drop(b, os.path.join(d, "photo.png"), "image/png")
            status(b, "Picture: photo.png")
        b.js("brindlewock.hold = %d" % PHOTOAT)
        b.click("#play")
        b.until("brindlewock.elapsed === %d" % PHOTOAT, "the photo at rest")
        screen = b.screenshot()
        # each part where the fitting puts it, inside by the 2 pixels the
        # picture circles by and 1 for the resampling
        w, h = (round(side * min(BOX[0] / PHOTO[0], BOX[1] / PHOTO[1])) for side in PHOTO)
        left, top = (webrun.SCRW - w) // 2, 20
        for what, (x0, y0, x1, y1), _, colour in PARTS:
            with self.subTest(part=what):
                got = [tuple(screen[3 * (y * webrun.SCRW + x):3 * (y * webrun.SCRW + x) + 3])
                       for y in range(top + math.ceil(y0 * h / 4) + 3, top + math.floor(y1 * h / 4) - 3)
                       for x in range(left + math.ceil(x0 * w / 4) + 3, left + math.floor(x1 * w / 4) - 3)]
                near = [max(abs(a - c) for a, c in zip(p, colour or (0, 255, 0))) <= NEAR for p in got]
                self.assertEqual(near.count(True), len(got) if colour else 0, what)
        b.js("brindlewock.hold = Infinity")
        b.state("ended")

    def test_own_photos(self):
        b = self.browser
        b.open(PAGE)
        b.state("ready")
        with tempfile.TemporaryDirectory() as d:
            expected = {}
            taken = "galleri.jpg"
            for name, make, fitted, checks in photos(d):
                with self.subTest(photo=name):
                    path = os.path.join(d, name)
                    if name == "cmyk.jpg":
                        expected = ownfiles.cmyk(path)
                    else:
                        make(path)
                    drop(b, path, "")
                    said = picked(b, name)
                    if isinstance(fitted, str):
                        self.assertEqual(said, fitted + "; the show keeps its picture.")
                        self.assertEqual(b.js("brindlewock.picture.name"), taken)
                        continue
                    self.assertEqual(said, "Picture: " + name)
                    taken = name
                    points = checks if isinstance(checks, list) else []
                    got = b.js(LOOK % json.dumps([(x, y) for x, y, _ in points]))
                    self.assertEqual((got["name"], got["w"], got["h"]), (name, *fitted))
                    for (x, y, colour), rgb in zip(points, got["at"]):
                        if colour is None:
                            self.assertEqual(rgb, [0, 0, 0], "transparent at %g, %g" % (x, y))
                        else:
                            self.assertLessEqual(max(abs(a - c) for a, c in zip(rgb, colour)), NEAR,
                                                 "%s at %g, %g" % (rgb, x, y))
                    if checks == "grey":
                        print("%s fitted: %d to %d" % (name, got["lo"], got["hi"]))
                        self.assertLessEqual(max(128 - got["lo"], got["hi"] - 128), GREY)
                    if checks == "cmyk":
                        rgb = bytes(b.js("[...brindlewock.picture.rgba].filter((_, i) => i % 4 < 3)"))
                        far = [max(abs(p - q) for p, q in zip(rgb[i:i + 3], expected[i:i + 3]))
                               for i in range(0, len(rgb), 3)]
                        print("cmyk.jpg: %.4f %% within %d levels, at most %d off"
                              % (100 * sum(x <= CMYKNEAR for x in far) / len(far), CMYKNEAR, max(far)))
                        self.assertGreaterEqual(sum(x <= CMYKNEAR for x in far) / len(far), CMYKSHARE)
            # the file's size at the limit, and a byte over it
            small = os.path.join(d, "padded.png")
            ownfiles.png(small, 10, 10)
            for pad, said in [(ownfiles.MAXFILE - os.path.getsize(small), "Picture: padded.png"),
                              (ownfiles.MAXFILE + 1 - os.path.getsize(small),
                               "padded.png: %d bytes is too large (at most 64 MiB); the show keeps its picture."
                               % (ownfiles.MAXFILE + 1))]:
                with self.subTest(pad=pad):
                    drop(b, small, "", pad=pad)
                    self.assertEqual(picked(b, "padded.png"), said)
            # a large picture chosen, then a small one: the small one stands
            drop(b, os.path.join(d, "vertical.png"), "")
            drop(b, os.path.join(d, "keyed.gif"), "")
            picked(b, "keyed.gif")
            b.until("!document.getElementById('play').disabled", "both read")
            self.assertEqual([b.js("brindlewock.picture.name"), b.js("document.getElementById('status').textContent")],
                             ["keyed.gif", "Picture: keyed.gif"])

    def test_own_songs(self):
        b = self.browser
        b.open(PAGE)
        b.state("ready")
        with tempfile.TemporaryDirectory() as d:
            for name, options in ownfiles.SONGS:
                for seconds in (SONG, LONGSONG):
                    with self.subTest(song=name, seconds=seconds):
                        path = os.path.join(d, "%d%s" % (seconds, name))
                        ownfiles.song(path, seconds, options)
                        drop(b, path, "")
                        said = picked(b, os.path.basename(path), "music")
                        music = b.js("brindlewock.music")
                        print("%s: %s, %s" % (os.path.basename(path), said, music))
                        self.assertEqual(said, "Music: " + os.path.basename(path))
                        if seconds == SONG:
                            self.assertAlmostEqual(music["seconds"], SONG, delta=SONG / 100)
                        else:
                            self.assertTrue(PLAYED[0] <= music["seconds"] <= PLAYED[1], music)
            junk = os.path.join(d, "junk.mp3")
            with open(junk, "wb") as f:
                f.write(b"not music at all" * 100)
            drop(b, junk, "")
            self.assertEqual(picked(b, "junk.mp3", "music"), "junk.mp3 can't be read as music: the page reads MP3, "
                             "AAC (M4A), Opus, Vorbis, FLAC and WAV, as far as this browser decodes them; "
                             "the show keeps its music.")

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
        # what each show's music gives, heard beside the speakers
        b.js("""(() => {
            window.taps = [];
            const make = AudioContext.prototype.createBufferSource;
            AudioContext.prototype.createBufferSource = function () {
                const voice = make.call(this), tap = this.createAnalyser(), mute = this.createGain();
                mute.gain.value = 0;
                voice.connect(tap);
                tap.connect(mute).connect(this.destination);
                taps.push(tap);
                return voice;
            };
            window.loudest = () => {
                const tap = taps[taps.length - 1], d = new Float32Array(tap.fftSize);
                tap.getFloatTimeDomainData(d);
                return Math.max(...d.map(Math.abs));
            };
            return true;
        })()""")
        for (way, stop), button in zip(ways, ("#play", "#again", "#again")):
            with self.subTest(way=way):
                b.click(button)
                b.state("running")
                if self.sounds:
                    b.until("brindlewock.sound === 'started' && loudest() > 0.01", "the music heard")
                self.assertIn("has begun", b.js("document.getElementById('announce').textContent"))
                self.assertFalse(shown(b, "#stop"), "Stop shown before the mouse moved")
                stop()
                b.state("ended")
                self.assertLess(b.js("brindlewock.elapsed"), SHOWLEN)
                if self.sounds:
                    # silent once the tap's window has gone by since the end
                    b.js("window.endedat = taps[taps.length - 1].context.currentTime")
                    b.until("taps[taps.length - 1].context.currentTime > endedat + 0.2", "0.2 s after the end")
                    self.assertEqual(b.js("loudest()"), 0, "music after the end")
                # the start screen's choices, Play again for Play, the end announced
                self.assertEqual(b.js("""[...document.querySelectorAll('#menu button')].filter(e =>
                    e.getClientRects().length && !e.disabled).map(e => e.id).join(' ') + ': '
                    + document.getElementById('announce').textContent"""),
                    "again picchoose musicchoose %sfull: The show has ended." % ("save " if SAVE else ""))

    def test_play_waits_for_a_file_read(self):
        b = self.browser
        with tempfile.TemporaryDirectory() as d:
            subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=d=80", "-ar", "8000",
                            os.path.join(d, "long.wav")], check=True, timeout=60)
            photo(os.path.join(d, "photo.png"))
            b.open(PAGE + "?step=%d" % (STEP * 10))
            b.state("ready")
            # the single file's bytes counted to the last
            size = os.path.getsize(os.path.join(webrun.WEB, "brindlewock.html"))
            b.until("brindlewock.loaded.got === %d%s" % (size, " && !document.getElementById('save').disabled"
                                                         if SAVE else ""), "all in")
            self.assertEqual(b.js("brindlewock.loaded"), {"got": size, "total": size})
            # what the status said and whether Play was disabled, at each change
            b.js("""(() => {
                const status = document.getElementById('status'), play = document.getElementById('play');
                window.seen = [];
                new MutationObserver(() => seen.push([status.textContent, play.disabled])).observe(
                    document.getElementById('menu'),
                    { subtree: true, childList: true, characterData: true, attributes: true });
                return true;
            })()""")
            for name, kind, what in [("long.wav", "audio/wav", "music"), ("photo.png", "image/png", "picture")]:
                with self.subTest(file=name):
                    # Play pressed at once does nothing
                    drop(b, os.path.join(d, name), kind, "seen.length = 0; document.getElementById('play').click()")
                    self.assertEqual(b.js("document.documentElement.dataset.state"), "ready")
                    status(b, "%s: %s" % (what.capitalize(), name))
                    self.assertEqual(b.js("seen"), [["Reading %s…" % what, True], ["%s: %s" % (what.capitalize(), name), False]])
        b.click("#play")
        b.state("ended")
        self.assertEqual(b.js("brindlewock.playing"), {"picture": "photo.png", "music": "long.wav"})

    def test_save_video(self):
        """Save video cancelled, then made with the tab hidden behind
        another and again in sight: two whole files of their own names,
        the first true to the show, the status said a few times."""
        b = self.browser
        b.open(PAGE + "?seed=7")
        b.state("ready")
        if not SAVE or not b.js("typeof VideoEncoder === 'function'"):
            showrun.skip(self, "no Save video: the page is built without web/node_modules (tools/setup test "
                               "installs them), or the browser lacks WebCodecs")
        b.until("!document.getElementById('save').disabled", "Save video ready")
        h264 = b.js("VideoEncoder.isConfigSupported({ codec: 'avc1.42001f', width: 640, height: 480, bitrate: 1e6 })"
                    ".then(r => r.supported, () => false)")
        # cancelled on its way, nothing is saved and Save video is back
        b.click("#save")
        b.until("document.getElementById('progress').value > 0.1", "a tenth of the video")
        b.click("#cancel")
        b.until("document.documentElement.dataset.save === 'cancelled'", "the video cancelled")
        self.assertEqual((os.listdir(b.downloads), shown(b, "#save")), ([], True))
        first = savedvideo.save(b, hidden=True)
        self.assertIn("hidden", first["states"])
        second = savedvideo.save(b)
        self.assertNotEqual(first["name"], second["name"])
        self.assertEqual(sorted(os.listdir(b.downloads)), sorted([first["name"], second["name"]]))
        for saved in first, second:
            with self.subTest(file=saved["name"]):
                checkvideo(self, saved, h264, psnr=saved is first)
                # a screen reader hears a few steps of it; the bar has a name
                print("the status said:", saved["said"])
                self.assertLessEqual(len(saved["said"]), STATUSES)
                self.assertTrue(saved["said"][-1].startswith("Saved " + saved["name"] + ": " + saved["format"]))
        self.assertTrue(b.js("document.getElementById('progress').getAttribute('aria-label')"))


class Page(Everyday, unittest.TestCase):
    sounds = True  # headless Chromium plays sound
    @classmethod
    def setUpClass(cls):
        cls.browser = chromium.Chromium(downloads=True)
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
        # every report of the files' progress, as the status and the bar show it
        script = b.page("Page.addScriptToEvaluateOnNewDocument", source="""
            window.reports = [];
            // from the document's first node on: a file may be in before the
            // page has finished loading
            new MutationObserver(() => {
                const status = document.getElementById('status'), bar = document.getElementById('progress');
                if (status && bar)
                    reports.push([status.textContent, bar.value]);
            }).observe(document, { subtree: true, childList: true, characterData: true, attributes: true });""")["identifier"]
        self.addCleanup(b.page, "Page.removeScriptToEvaluateOnNewDocument", identifier=script)
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
            server = chromium.Server(d)
            self.addCleanup(server.close)
            b = self.browser
            b.open(server.url + "index.html?seed=7")
            b.state("ready")
            b.until("/^Without sound: musa.ogg/.test(document.getElementById('status').textContent)", "no music")
            h264 = b.js("VideoEncoder.isConfigSupported({ codec: 'avc1.42001f', width: 640, height: 480, bitrate: 1e6 })"
                        ".then(r => r.supported, () => false)")
            checkvideo(self, savedvideo.save(b), h264, sound=False, psnr=False)

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
