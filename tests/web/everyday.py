"""What a viewer does every day with the page, in whichever browser
self.browser is: a phone's photo fitted and shown upright, their own photos
and songs taken or refused in words, the show stopped every way and the
end screen, Play waiting for a file being read, and Save video."""
import json
import math
import os
import subprocess
import tempfile

import ownfiles
import savedvideo
import showrun
import webrun
from pagecheck import (BOX, CMYKNEAR, CMYKSHARE, GREY, LONGSONG, LOOK, NEAR, PAGE, PARTS, PHOTO, PHOTOAT, PLAYED,
                       SAVE, SHOWLEN, SONG, STATUSES, STEP, checkvideo, drop, photo, photos, picked, shown, status)


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
            b.key("keyDown", "f")
            b.key("keyUp", "f")
            b.until("document.fullscreenElement", "fullscreen")
            b.js("document.exitFullscreen()")
        ways = [("Stop, shown by the mouse", lambda: (b.move(100, 100), b.click("#stop"))),
                ("Escape", lambda: (b.key("keyDown", "Escape"), b.key("keyUp", "Escape"))),
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
