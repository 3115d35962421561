"""End-to-end tests of brindlewock-capture: the command line, the files it
writes as ffprobe and a decoder see them, determinism, and its failures."""
import json
import os
import pty
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest
import wave

import damage

BUILDDIR = os.environ.get("BUILDDIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
BIN = os.path.abspath(os.path.join(BUILDDIR, "brindlewock-capture"))
SPY = os.path.abspath(os.path.join(BUILDDIR, "tests", "libspy.so"))
SANITIZE = os.environ.get("BRINDLEWOCK_SANITIZE", "0") in ("1", "ON", "TRUE", "true")
SLACK = 4 if SANITIZE else 1
RATE = 48000


def env():
    """No display and no SDL drivers asked for: the capture needs neither."""
    e = dict(os.environ)
    for k in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER", "SDL_AUDIODRIVER", "LD_LIBRARY_PATH"):
        e.pop(k, None)
    if SANITIZE:
        e["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0:abort_on_error=0"
        e["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1"
    return e


def capture(cwd, *args, timeout=60):
    return subprocess.run([BIN, *args], cwd=cwd, env=env(), capture_output=True,
                          timeout=timeout * SLACK)


def music(i):
    """Sample i of the test music, left and right: distinct, never silent."""
    return ((i * 37) % 20000) - 10000 + 1, ((i * 53) % 16000) - 8000 + 1


def writewav(path, seconds):
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        n = int(seconds * RATE)
        w.writeframes(b"".join(struct.pack("<hh", *music(i)) for i in range(n)))


def assets(d, seconds=2.0, ogg=False):
    """A JPEG picture and music of the given length in d; the music as Ogg
    Vorbis, or as a WAV named musa.ogg, which the mixer loads as it is."""
    subprocess.run(["convert", "-size", "300x200", "gradient:red-yellow", "-fill", "black",
                    "-draw", "rectangle 100,60 200,140", os.path.join(d, "galleri.jpg")], check=True)
    if ogg:
        writewav(os.path.join(d, "m.wav"), seconds)
        subprocess.run(["oggenc", "-Q", "-o", os.path.join(d, "musa.ogg"), os.path.join(d, "m.wav")],
                       check=True)
        os.remove(os.path.join(d, "m.wav"))
    else:
        writewav(os.path.join(d, "musa.ogg"), seconds)


def probe(path):
    p = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_streams", "-show_format",
                        "-of", "json", path], capture_output=True, check=True, timeout=60)
    j = json.loads(p.stdout)
    kinds = {s["codec_type"]: s for s in j["streams"]}
    return kinds, j["format"]


def y4m(path):
    """The header line and the frames of a YUV4MPEG2 4:4:4 file."""
    with open(path, "rb") as f:
        data = f.read()
    end = data.index(b"\n")
    head = data[:end].decode()
    w = int(next(t[1:] for t in head.split() if t[0] == "W"))
    h = int(next(t[1:] for t in head.split() if t[0] == "H"))
    size = w * h * 3
    frames, pos = [], end + 1
    while pos < len(data):
        assert data[pos:pos + 6] == b"FRAME\n", pos
        frames.append(data[pos + 6:pos + 6 + size])
        pos += 6 + size
    assert pos == len(data)
    return head, frames


def lumadiff(a, b, w, h):
    """Mean absolute difference of two frames' luma, on a sample of pixels."""
    step = 13
    x, y = a[:w * h:step], b[:w * h:step]
    return sum(abs(p - q) for p, q in zip(x, y)) / len(x)


class Capture(unittest.TestCase):
    def setUp(self):
        self.assertTrue(os.path.exists(BIN), BIN + " is not built: are FFmpeg's -dev packages missing?")
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.d = tmp.name

    def files(self):
        return sorted(os.listdir(self.d))

    def started(self, *args, others=()):
        """A capture started with args, once it writes temporary files of its
        own, not among others; returns the process and their names."""
        p = subprocess.Popen([BIN, *args], cwd=self.d, env=env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        end = time.time() + 30 * SLACK
        while p.poll() is None and time.time() < end:
            parts = [f for f in self.files() if f.endswith(".part") and f not in others]
            if len(parts) == (2 if "--raw" in args else 1):
                return p, parts
            time.sleep(0.02)
        p.kill()
        p.communicate()
        self.fail("the capture never wrote its temporary files")


    def held(self, *args):
        """A capture started with args, once it has stopped itself before it
        renames its finished files (the spy's SPY_HOLDRENAME); send it SIGCONT."""
        p = subprocess.Popen([BIN, *args], cwd=self.d, env=dict(env(), LD_PRELOAD=SPY, SPY_HOLDRENAME="1"),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        end = time.time() + 60 * SLACK
        while time.time() < end:
            with open("/proc/%d/stat" % p.pid) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
            if state == "T":
                return p
            if state == "Z":
                break
            time.sleep(0.02)
        p.kill()
        out, err = p.communicate()
        self.fail("the capture never held before renaming: %r" % err[-2000:])


class CommandLine(Capture):
    def test_help_documents_every_option(self):
        p = capture(self.d, "--help")
        self.assertEqual(p.returncode, 0)
        out = p.stdout.decode()
        for opt in ("--fps", "--seed", "--scale", "--until", "--raw", "OUTPUT"):
            self.assertIn(opt, out)
        self.assertEqual(self.files(), [])

    def test_bad_command_lines_say_why_with_status_2(self):
        assets(self.d)
        for args, word in ((["--fps", "0", "o.mp4"], "--fps"), (["--fps", "1001", "o.mp4"], "--fps"),
                           (["--fps", "6x", "o.mp4"], "--fps"), (["--seed", "-1", "o.mp4"], "--seed"),
                           (["--seed", "4294967296", "o.mp4"], "--seed"),
                           (["--scale", "0", "o.mp4"], "--scale"), (["--scale", "9", "o.mp4"], "--scale"),
                           (["--until", "75001", "o.mp4"], "--until"), (["--until", "", "o.mp4"], "--until"),
                           (["--bogus", "o.mp4"], "--bogus"), (["--raw=1", "o.mp4"], "--raw=1"),
                           (["o.mp4", "--fps"], "--fps"),
                           ([], "OUTPUT"), (["o.mp4", "p.mp4"], "p.mp4"), (["."], "OUTPUT")):
            with self.subTest(args=args):
                p = capture(self.d, *args)
                self.assertEqual(p.returncode, 2)
                err = p.stderr.decode()
                self.assertTrue(err.startswith("brindlewock-capture: "), err)
                self.assertEqual(err.count("\n"), 1, err)
                self.assertIn(word, err)
        self.assertEqual(self.files(), ["galleri.jpg", "musa.ogg"])


class Video(Capture):
    def test_short_capture_as_ffprobe_sees_it(self):
        # music shorter than the capture: the rest is silence, the track as long as the video
        assets(self.d, seconds=2.0, ogg=True)
        for args, w, h, fps, frames in ((["--until", "3000"], 1280, 960, 60, 181),
                                        (["--until", "3000", "--fps", "25", "--scale", "1"], 640, 480, 25, 76),
                                        (["--until", "990", "--fps", "30", "--scale", "3"], 1920, 1440, 30, 31)):
            with self.subTest(args=args):
                out = os.path.join(self.d, "show.mp4")
                p = capture(self.d, "--seed", "3", *args, "show.mp4")
                self.assertEqual(p.returncode, 0, p.stderr)
                self.assertEqual(p.stderr, b"")  # not a terminal: no progress bar
                s, f = probe(out)
                v, a = s["video"], s["audio"]
                self.assertIn("mp4", f["format_name"])
                self.assertEqual(v["codec_name"], "h264")
                self.assertEqual(v["pix_fmt"], "yuv420p")
                self.assertEqual((v["width"], v["height"]), (w, h))
                self.assertEqual(v["r_frame_rate"], "%d/1" % fps)
                self.assertEqual(int(v["nb_read_frames"]), frames)
                self.assertAlmostEqual(float(v["duration"]), frames / fps, delta=0.002)
                self.assertEqual(a["codec_name"], "aac")
                self.assertEqual((int(a["sample_rate"]), a["channels"]), (RATE, 2))
                self.assertAlmostEqual(float(a["duration"]), frames / fps, delta=0.005)
                self.assertAlmostEqual(float(a.get("start_time", 0)), 0, delta=0.001)
                self.assertAlmostEqual(float(v.get("start_time", 0)), 0, delta=0.001)
                self.assertEqual(self.files(), ["galleri.jpg", "musa.ogg", "show.mp4"])
                if frames / fps < 3:
                    continue
                # the music is heard for its 2 s, then silence
                pcm = subprocess.run(["ffmpeg", "-v", "error", "-i", out, "-f", "s16le", "-ac", "1", "-"],
                                     capture_output=True, check=True).stdout
                sm = struct.unpack("<%dh" % (len(pcm) // 2), pcm)
                rms = lambda a, b: (sum(x * x for x in sm[int(a * RATE):int(b * RATE)]) / ((b - a) * RATE)) ** 0.5
                self.assertGreater(rms(0.0, 0.5), 1000)
                self.assertGreater(rms(1.4, 1.9), 1000)
                self.assertLess(rms(2.2, 2.95), 50)

    def test_raw_stream_and_wav_hold_the_frames_and_the_music_exactly(self):
        assets(self.d, seconds=0.7)
        mask = os.umask(0o027)
        try:
            p = capture(self.d, "--raw", "--fps", "10", "--scale", "2", "--until", "1000", "--seed", "1", "out.y4m")
        finally:
            os.umask(mask)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(self.files(), ["galleri.jpg", "musa.ogg", "out.wav", "out.y4m"])
        # the finished files have the mode any new file gets under the umask
        for f in ("out.wav", "out.y4m"):
            self.assertEqual(os.stat(os.path.join(self.d, f)).st_mode & 0o777, 0o640, f)
        head, frames = y4m(os.path.join(self.d, "out.y4m"))
        self.assertTrue(head.startswith("YUV4MPEG2 W1280 H960 F10:1 "), head)
        self.assertIn(" C444", head)
        self.assertEqual(len(frames), 11)
        # nearest-neighbour: every 2 x 2 block of every plane is one value
        f = frames[5]
        for plane in range(3):
            base = plane * 1280 * 960
            for y in range(0, 960, 97 * 2):
                for x in range(0, 1280, 2):
                    i = base + y * 1280 + x
                    self.assertEqual({f[i], f[i + 1], f[i + 1280], f[i + 1281]}, {f[i]}, (plane, x, y))
        # the music from its first sample at show time 0, as loaded, then silence,
        # for exactly as long as the 11 frames last
        with wave.open(os.path.join(self.d, "out.wav")) as w:
            self.assertEqual((w.getnchannels(), w.getsampwidth(), w.getframerate()), (2, 2, RATE))
            self.assertEqual(w.getnframes(), 11 * RATE // 10)
            data = w.readframes(w.getnframes())
        n = int(0.7 * RATE)
        want = b"".join(struct.pack("<hh", *music(i)) for i in range(n))
        self.assertTrue(data[:4 * n] == want)
        self.assertEqual(data[4 * n:], bytes(len(data) - 4 * n))
        # a name without .y4m gets .wav added
        p = capture(self.d, "--raw", "--until", "0", "--scale", "1", "plain")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertIn("plain.wav", self.files())
        self.assertEqual(len(y4m(os.path.join(self.d, "plain"))[1]), 1)

    def test_same_seed_same_frames_and_the_video_shows_them(self):
        # two frames a second up to 29 s: the fire is lit at 28 s, so the seed shows
        assets(self.d, seconds=1.0)
        opts = ["--fps", "2", "--scale", "1", "--until", "29000"]
        runs = {}
        for name, seed in (("a.y4m", "7"), ("b.y4m", "7"), ("c.y4m", "8")):
            p = capture(self.d, "--raw", "--seed", seed, *opts, name, timeout=120)
            self.assertEqual(p.returncode, 0, p.stderr)
            runs[name] = y4m(os.path.join(self.d, name))[1]
        a, b, c = runs["a.y4m"], runs["b.y4m"], runs["c.y4m"]
        self.assertEqual(len(a), 59)
        for k in range(59):
            self.assertTrue(a[k] == b[k], "frame %d differs under the same seed" % k)
        # another seed: the same frames until the first that shows the fire
        # (the frame at 28500 ms shows what the steps of the frame at 28000 seeded)
        self.assertTrue(all(a[k] == c[k] for k in range(57)))
        self.assertFalse(a[57] == c[57])
        self.assertFalse(a[58] == c[58])
        # the video: each decoded frame is nearest to the raw frame of its number
        p = capture(self.d, "--seed", "7", *opts, "a.mp4", timeout=120)
        self.assertEqual(p.returncode, 0, p.stderr)
        dec = subprocess.run(["ffmpeg", "-v", "error", "-i", os.path.join(self.d, "a.mp4"), "-f", "rawvideo",
                              "-pix_fmt", "yuv444p", "-"], capture_output=True, check=True).stdout
        size = 640 * 480 * 3
        self.assertEqual(len(dec), 59 * size)
        p = capture(self.d, "--seed", "7", *opts, "again.mp4", timeout=120)
        self.assertEqual(p.returncode, 0, p.stderr)
        with open(os.path.join(self.d, "a.mp4"), "rb") as f1, open(os.path.join(self.d, "again.mp4"), "rb") as f2:
            self.assertTrue(f1.read() == f2.read(), "two videos under the same seed differ")
        for k in range(0, 59, 3):
            got = dec[k * size:(k + 1) * size]
            d = lumadiff(got, a[k], 640, 480)
            self.assertLess(d, 3, k)
            for j in (k - 1, k + 1):
                if 0 <= j < 59:
                    self.assertLess(d, lumadiff(got, a[j], 640, 480), (k, j))

    def test_progress_bar_on_a_terminal(self):
        assets(self.d)
        master, slave = pty.openpty()
        p = subprocess.Popen([BIN, "--until", "500", "--seed", "4", "o.mp4"], cwd=self.d, env=env(),
                             stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        out = b""
        while True:
            r, _, _ = select.select([master], [], [], 30 * SLACK)
            if not r:
                break
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
        os.close(master)
        self.assertEqual(p.wait(timeout=30 * SLACK), 0)
        text = out.decode(errors="replace")
        self.assertIn("31/31 frames", text)
        self.assertIn("fps", text)
        self.assertIn("left", text)
        self.assertIn("seed 4", text)


class Failures(Capture):
    def check(self, p, *words):
        self.assertEqual(p.returncode, 1, p.stderr)
        err = p.stderr.decode()
        self.assertTrue(err.startswith("brindlewock-capture: "), err)
        self.assertEqual(err.count("\n"), 1, err)
        for w in words:
            self.assertIn(w, err)

    def test_missing_or_bad_files_leave_no_output(self):
        assets(self.d)
        old = os.path.join(self.d, "show.mp4")
        with open(old, "w") as f:
            f.write("an earlier capture")
        pic = os.path.join(self.d, "galleri.jpg")
        mus = os.path.join(self.d, "musa.ogg")
        os.rename(pic, pic + ".keep")
        self.check(capture(self.d, "show.mp4"), '"galleri.jpg"')
        with open(pic, "wb") as f:
            f.write(b"\xff\xd8\xff\xe0 not really a JPEG" * 10)
        self.check(capture(self.d, "show.mp4"), '"galleri.jpg"')
        os.replace(pic + ".keep", pic)
        os.rename(mus, mus + ".keep")
        self.check(capture(self.d, "show.mp4"), '"musa.ogg"')
        with open(mus, "wb") as f:
            f.write(b"OggS and then nothing an Ogg Vorbis decoder would take" * 10)
        self.check(capture(self.d, "show.mp4"), '"musa.ogg"')
        self.check(capture(self.d, "--raw", "show.y4m"), '"musa.ogg"')
        with open(old) as f:
            self.assertEqual(f.read(), "an earlier capture")
        self.assertEqual(self.files(), ["galleri.jpg", "musa.ogg", "musa.ogg.keep", "show.mp4"])

    def test_unwritable_output(self):
        assets(self.d)
        self.check(capture(self.d, "--until", "100", "nowhere/show.mp4"), "nowhere/show.mp4")
        self.check(capture(self.d, "--until", "100", "--raw", "nowhere/show.y4m"), "nowhere/show.y4m")
        # the raw video can be written, its WAV not given its name: neither is left
        os.mkdir(os.path.join(self.d, "x.wav"))
        open(os.path.join(self.d, "x.wav", "taken"), "w").close()
        self.check(capture(self.d, "--until", "100", "--raw", "x.y4m"), "x.wav")
        self.assertEqual(self.files(), ["galleri.jpg", "musa.ogg", "x.wav"])

    def test_interrupted_or_hung_up_capture_leaves_nothing(self):
        assets(self.d)
        for name, sig in (("SIGINT", signal.SIGINT), ("SIGTERM", signal.SIGTERM), ("SIGHUP", signal.SIGHUP)):
            with self.subTest(signal=name):
                p, parts = self.started("--seed", "1", "show.mp4")
                self.assertRegex(parts[0], r"^show\.mp4\.......\.part$")
                p.send_signal(sig)
                out, err = p.communicate(timeout=30 * SLACK)
                self.assertEqual(p.returncode, 1, err)
                self.assertIn(b"interrupted", err)
                self.assertEqual(self.files(), ["galleri.jpg", "musa.ogg"])

    def test_two_captures_to_one_name_each_write_their_own(self):
        assets(self.d, seconds=0.5)
        args = ["--raw", "--fps", "10", "--scale", "1", "--until", "1000", "same.y4m"]
        # the first is held, its files complete, until the second has
        # finished beside it
        a = self.held("--seed", "1", *args)
        try:
            b = subprocess.Popen([BIN, "--seed", "2", *args], cwd=self.d, env=env(),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            out, err = b.communicate(timeout=60 * SLACK)
            self.assertEqual(b.returncode, 0, err)
        finally:
            a.send_signal(signal.SIGCONT)
        out, err = a.communicate(timeout=60 * SLACK)
        self.assertEqual(a.returncode, 0, err)
        self.assertEqual(self.files(), ["galleri.jpg", "musa.ogg", "same.wav", "same.y4m"])
        self.assertEqual(len(y4m(os.path.join(self.d, "same.y4m"))[1]), 11)

class Dir(Capture):
    check = Failures.check

    def test_dir_names_the_files_and_output_stays_where_typed(self):
        # the picture and music in show/, the capture typed in the folder above
        show = os.path.join(self.d, "show")
        os.mkdir(show)
        assets(show)
        args = ["--seed", "5", "--fps", "10", "--scale", "1", "--until", "1000"]
        p = capture(self.d, *args, "--dir", "show", "out.mp4")
        self.assertEqual((p.returncode, p.stderr), (0, b""))
        p = capture(show, *args, "in.mp4")
        self.assertEqual((p.returncode, p.stderr), (0, b""))
        with open(os.path.join(self.d, "out.mp4"), "rb") as a, open(os.path.join(show, "in.mp4"), "rb") as b:
            self.assertEqual(a.read(), b.read())
        # the folder's files are the ones read, even where the current
        # directory has its own; a failure names the path tried
        os.rename(os.path.join(show, "musa.ogg"), os.path.join(self.d, "musa.ogg"))
        self.check(capture(self.d, *args, "--dir", "show/", "again.mp4"), '"show/musa.ogg"')
        self.check(capture(self.d, *args, "--dir", self.d + "/nowhere", "again.mp4"),
                   '"%s/nowhere/galleri.jpg"' % self.d, "No such file")
        self.assertEqual(self.files(), ["musa.ogg", "out.mp4", "show"])
        # --picture and --music: files of any name, over --dir's
        odd = os.path.join(self.d, "Bilder för mig")
        os.mkdir(odd)
        shutil.copy(os.path.join(show, "galleri.jpg"), os.path.join(odd, "-kät ☃.jpg"))
        os.rename(os.path.join(self.d, "musa.ogg"), os.path.join(odd, "sång -1.ogg"))
        p = capture(self.d, *args, "--dir", "nowhere", "--picture", "Bilder för mig/-kät ☃.jpg",
                    "--music", os.path.join(odd, "sång -1.ogg"), "named.mp4")
        self.assertEqual((p.returncode, p.stderr), (0, b""))
        with open(os.path.join(self.d, "out.mp4"), "rb") as a, open(os.path.join(self.d, "named.mp4"), "rb") as b:
            self.assertEqual(a.read(), b.read())


class Damaged(Capture):
    check = Failures.check

    def test_damaged_picture_or_music_ends_it_at_once(self):
        assets(self.d, seconds=1.0, ogg=True)
        pic = os.path.join(self.d, "galleri.jpg")
        mus = os.path.join(self.d, "musa.ogg")
        with open(pic, "rb") as f:
            good = f.read()
        cases = {name: make() for name, make in damage.HANGING.items()}
        cases["gif 16384 wide"] = damage.gifwide()
        cases["png the PNG library prints about"] = damage.pngtalks()
        for name, data in cases.items():
            with self.subTest(picture=name):
                with open(pic, "wb") as f:
                    f.write(data)
                t = time.time()
                self.check(capture(self.d, "--until", "100", "show.mp4", timeout=5), '"galleri.jpg"')
                self.assertLess(time.time() - t, 5 * SLACK)
        with open(pic, "wb") as f:
            f.write(good)
        with open(mus, "rb") as f:
            ogg = f.read()
        with open(mus, "wb") as f:
            f.write(ogg[:1000])   # cut inside its headers
        self.check(capture(self.d, "--until", "100", "show.mp4"), '"musa.ogg"')
        self.assertEqual(self.files(), ["galleri.jpg", "musa.ogg"])


class Edges(Capture):
    def test_short_music_over_the_whole_show_is_padded_with_silence(self):
        # the largest --until: every frame of the show, music then silence to its end
        assets(self.d, seconds=0.7)
        p = capture(self.d, "--raw", "--fps", "1", "--scale", "1", "--until", "75000", "--seed", "2", "all.y4m",
                    timeout=120)
        self.assertEqual(p.returncode, 0, p.stderr)
        head, frames = y4m(os.path.join(self.d, "all.y4m"))
        self.assertTrue(head.startswith("YUV4MPEG2 W640 H480 F1:1 "), head)
        self.assertEqual(len(frames), 76)
        with wave.open(os.path.join(self.d, "all.wav")) as w:
            self.assertEqual(w.getnframes(), 76 * RATE)
            data = w.readframes(w.getnframes())
        n = int(0.7 * RATE)
        self.assertTrue(data[:4 * n] == b"".join(struct.pack("<hh", *music(i)) for i in range(n)))
        self.assertTrue(data[4 * n:] == bytes(len(data) - 4 * n), "the silence after the music is not silent")

    def test_largest_fps_and_scale_give_output_of_their_shape(self):
        assets(self.d, seconds=0.7)
        for args, w, h, rate, frames in ((["--fps", "1000", "--until", "5", "--scale", "1"], 640, 480, 1000, 6),
                                         (["--scale", "8", "--until", "0"], 5120, 3840, 60, 1)):
            with self.subTest(args=args):
                p = capture(self.d, "--raw", *args, "big.y4m")
                self.assertEqual(p.returncode, 0, p.stderr)
                head, got = y4m(os.path.join(self.d, "big.y4m"))
                self.assertTrue(head.startswith("YUV4MPEG2 W%d H%d F%d:1 " % (w, h, rate)), head)
                self.assertEqual(len(got), frames)
                with wave.open(os.path.join(self.d, "big.wav")) as wav:
                    self.assertEqual(wav.getnframes(), frames * RATE // rate)

    def test_failed_rename_of_the_video_leaves_the_older_files_as_they_were(self):
        # held before it renames while the output's name is taken by what
        # the video can't be renamed over: a folder, or an older file made
        # immutable (root only); the older WAV beside it, which the WAV is
        # renamed over first, must be there after as it was
        assets(self.d, seconds=0.5)
        wav = os.path.join(self.d, "x.wav")
        for taken in ("folder", "immutable file"):
            with self.subTest(taken=taken):
                with open(wav, "wb") as f:
                    f.write(b"the older music")
                p = self.held("--raw", "--fps", "10", "--scale", "1", "--until", "1000", "x.y4m")
                out = os.path.join(self.d, "x.y4m")
                try:
                    if taken == "folder":
                        os.mkdir(out)
                        open(os.path.join(out, "taken"), "w").close()
                    else:
                        with open(out, "wb") as f:
                            f.write(b"the older video")
                        if subprocess.run(["chattr", "+i", out], capture_output=True).returncode != 0:
                            os.unlink(out)
                            self.skipTest("chattr +i is not allowed here")
                finally:
                    p.send_signal(signal.SIGCONT)
                try:
                    out_, err = p.communicate(timeout=60 * SLACK)
                finally:
                    subprocess.run(["chattr", "-i", out], capture_output=True)
                self.assertEqual(p.returncode, 1, err)
                self.assertIn(b"x.y4m", err)
                self.assertEqual(self.files(), ["galleri.jpg", "musa.ogg", "x.wav", "x.y4m"])
                with open(wav, "rb") as f:
                    self.assertEqual(f.read(), b"the older music")
                if taken == "folder":
                    self.assertEqual(os.listdir(out), ["taken"])
                    shutil.rmtree(out)
                else:
                    with open(out, "rb") as f:
                        self.assertEqual(f.read(), b"the older video")


if __name__ == "__main__":
    unittest.main()
