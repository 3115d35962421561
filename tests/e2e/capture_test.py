"""End-to-end tests of brindlewock-capture: the files it writes as ffprobe
and a decoder see them, determinism, and every way it refuses or fails.
Captures run side by side: a short one costs little more than its start-up."""
import filecmp
import json
import mmap
import operator
import os
import re
import shlex
import shutil
import signal
import struct
import subprocess
import time
import unittest
import wave
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import damage
import showrun as sr

BIN = os.path.abspath(os.path.join(sr.BUILDDIR, "brindlewock-capture"))
RATE = 48000
KEPT = b"an earlier capture"
# the shared show: two frames a second up to 29 s, past the fire's lighting at 28 s, so the seed shows
SHOW = ["--fps", "2", "--scale", "1", "--until", "29000"]
# a second of the test music, left and right: distinct, never silent
TUNE = b"".join(struct.pack("<hh", ((i * 37) % 20000) - 10000 + 1, ((i * 53) % 16000) - 8000 + 1)
                for i in range(RATE))


def start(cwd, *args, tty=False, **extra):
    """A capture started with args, without display or SDL drivers (it needs neither); with tty, on
    script's terminal, which passes on all it prints as its stdout."""
    cmd = ["script", "-qec", shlex.join([BIN, *args]), "/dev/null"] if tty else [BIN, *args]
    return subprocess.Popen(cmd, cwd=cwd, env=sr.env(SDL_VIDEODRIVER=None, SDL_AUDIODRIVER=None, **extra),
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def capture(cwd, *args, timeout=60, tty=False, **extra):
    """Runs a capture to its end: (status, stdout, stderr)."""
    return sr.finish(start(cwd, *args, tty=tty, **extra), timeout)


def each(f, items):
    """f of every item, three at a time."""
    with ThreadPoolExecutor(3) as pool:
        return list(pool.map(f, items))


def assets(d, seconds, ogg=False):
    """A picture and music of the given length in d; the music as Ogg Vorbis, or the
    test music as a WAV named musa.ogg, which the mixer loads as it is."""
    sr.picture(d, 300, 200, lambda x, y: (0, 0, 0) if 100 <= x < 200 and 60 <= y < 140 else (255, y, 0))
    if ogg:
        return sr.music(d, seconds)
    with wave.open(os.path.join(d, "musa.ogg"), "wb") as w:
        w.setparams((2, 2, RATE, 0, "NONE", None))
        w.writeframes(TUNE[:4 * int(seconds * RATE)])


def probe(path):
    j = json.loads(subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_streams", "-show_format", "-of",
                                   "json", path], capture_output=True, check=True, timeout=60).stdout)
    return {s["codec_type"]: s for s in j["streams"]}, j["format"]


def decoded(path, *fmt):
    return subprocess.run(["ffmpeg", "-v", "error", "-i", path, *fmt, "-"], capture_output=True, check=True).stdout


def y4m(path):
    """The header line and the frames (views of it, mapped) of a YUV4MPEG2 4:4:4 file."""
    with open(path, "rb") as f:
        data = memoryview(mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ))
    head = str(data[:data.obj.find(b"\n")], "ascii")
    size = 6 + 3 * int(head.split(" W")[1].split()[0]) * int(head.split(" H")[1].split()[0])
    starts = range(len(head) + 1, len(data), size)
    assert (len(data) - len(head) - 1) % size == 0 and all(data[i:i + 6] == b"FRAME\n" for i in starts), head
    return head, [data[i + 6:i + size] for i in starts]


def spoil(name, data=None):
    """A set-up that puts data in the place of the named file, or removes it."""
    return lambda d: Path(d, name).write_bytes(data) if data else os.unlink(os.path.join(d, name))


def folder(name):
    """A set-up that takes the name with a folder that holds a file."""
    return lambda d: (os.mkdir(os.path.join(d, name)), Path(d, name, "taken").touch())


# Every refusal: (case, set-up, arguments, signal sent once it runs,
# status, words its one line must have). Each leaves the folder as it was
# and an earlier show.mp4 untouched.
OUT = ["--until", "100", "show.mp4"]
REFUSALS = [("--help", None, ["--help"], None, 0, ("--fps", "--seed", "--scale", "--until", "--raw", "OUTPUT"))]
REFUSALS += [("bad " + " ".join(a), None, a, None, 2, (w,)) for a, w in (
    (["--fps", "0", "o.mp4"], "--fps"), (["--fps", "1001", "o.mp4"], "--fps"), (["--fps", "6x", "o.mp4"], "--fps"),
    (["--seed", "-1", "o.mp4"], "--seed"), (["--seed", "4294967296", "o.mp4"], "--seed"),
    (["--scale", "0", "o.mp4"], "--scale"), (["--scale", "9", "o.mp4"], "--scale"),
    (["--until", "75001", "o.mp4"], "--until"), (["--until", "-1", "o.mp4"], "--until"),
    (["--until", "", "o.mp4"], "--until"),
    (["--bogus", "o.mp4"], "--bogus"), (["--raw=1", "o.mp4"], "--raw=1"), (["o.mp4", "--fps"], "--fps"),
    ([], "OUTPUT"), (["o.mp4", "p.mp4"], "p.mp4"), (["."], "OUTPUT"))]
REFUSALS += [(case, setup, args, None, 1, words) for case, setup, args, words in (
    ("no picture", spoil("galleri.jpg"), OUT, ('"galleri.jpg"',)),
    ("a picture no decoder takes", spoil("galleri.jpg", b"\xff\xd8\xff\xe0 not really a JPEG" * 10), OUT,
     ('"galleri.jpg"',)),
    # damaged pictures are the loader's, the same for the show: one smoke run
    ("a picture that hung its decoder", spoil("galleri.jpg", damage.cutafterheader()), OUT, ('"galleri.jpg"',)),
    ("no music", spoil("musa.ogg"), OUT, ('"musa.ogg"',)),
    ("music no decoder takes", spoil("musa.ogg", b"OggS and then nothing a decoder would take" * 10), OUT,
     ('"musa.ogg"',)),
    ("music cut inside its headers", lambda d: os.truncate(os.path.join(d, "musa.ogg"), 1000), OUT, ('"musa.ogg"',)),
    ("raw, music no decoder takes", spoil("musa.ogg", b"OggS" + bytes(range(256)) * 8), ["--raw", "show.y4m"],
     ('"musa.ogg"',)),
    # the picture in show/, the music only in the folder above, where --dir must not look for it
    ("--dir's music missing", lambda d: os.renames(d + "/galleri.jpg", d + "/show/galleri.jpg"),
     ["--dir", "show/", *OUT], ('"show/musa.ogg"',)),
    ("--dir that is not there", None, ["--dir", "/nowhere", *OUT], ('"/nowhere/galleri.jpg"', "No such file")),
    ("unwritable video", None, ["--until", "100", "nowhere/show.mp4"], ('"nowhere/show.mp4"',)),
    ("unwritable raw video", None, ["--until", "100", "--raw", "nowhere/show.y4m"], ('"nowhere/show.y4m"',)),
    # a whole show, told before it even reads the picture: the output's
    # folder is written before the work starts
    ("a file in the folder's place", lambda d: (Path(d, "file").touch(), spoil("galleri.jpg")(d)),
     ["file/show.mp4"], ('"file/show.mp4"', "Not a directory")),
    ("the WAV's name taken by a folder", lambda d: (folder("x.wav")(d), spoil("galleri.jpg")(d)),
     ["--raw", "x.y4m"], ('"x.wav"', "Is a directory")))]
REFUSALS += [(name, None, ["--seed", "1", "show.mp4"], getattr(signal, name), 1, ("interrupted",))
             for name in ("SIGINT", "SIGTERM", "SIGHUP")]


class Capture(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # the shared show, raw and as a video (2 s of music, then silence), made while the first tests run
        assert os.path.exists(BIN), BIN + " is not built: are FFmpeg's -dev packages missing?"
        cls.top = cls.enterClassContext(sr.workdir())
        cls.show = os.path.join(cls.top, "show")
        os.mkdir(cls.show)
        assets(cls.show, 2.0, ogg=True)
        runs = [start(cls.show, "--seed", "7", *SHOW, *a) for a in (["--raw", "a.y4m"], ["a.mp4"])]
        cls.shown = ThreadPoolExecutor(1).submit(lambda: [sr.finish(p, 120) for p in runs])
        cls.addClassCleanup(cls.shown.result)

    def setUp(self):
        self.d = self.enterContext(sr.workdir())

    def files(self, d=None):
        return sorted(os.listdir(d or self.d))

    def test_refusals_say_why_in_one_line_and_leave_nothing(self):
        base = os.path.join(self.d, "base")
        shutil.copytree(self.show, base, ignore=lambda _, names: set(names) - {"galleri.jpg", "musa.ogg"})
        Path(base, "show.mp4").write_bytes(KEPT)

        def refuse(case):
            """Runs a case in a copy of base: (folder, files before, (status, out, err), seconds, temporary files)."""
            name, setup, args, sig, _, _ = case
            d = os.path.join(self.d, name)
            shutil.copytree(base, d)
            if setup:
                setup(d)
            before, t, p = self.files(d), time.time(), start(d, *args)
            try:  # signalled once it writes its temporary file
                part = sig and sr.until("its temporary file", lambda: [f for f in os.listdir(d)
                                                                       if f.endswith(".part")], p, 30)
            finally:
                if sig:
                    p.send_signal(sig)
            return d, before, sr.finish(p, 120), time.time() - t, part

        for (case, _, _, sig, status, words), (d, before, got, took, part) in zip(REFUSALS, each(refuse, REFUSALS)):
            with self.subTest(case):
                said = (got[2] if status else got[1]).decode()
                self.assertEqual(got[0], status, said)
                if status:
                    self.assertRegex(said, r"\Abrindlewock-capture: [^\n]*\n\Z")
                self.assertEqual([w for w in words if w not in said], [], said)
                self.assertNotIn(".part", said, "a temporary name, not the file asked for")
                if sig:
                    self.assertRegex(part[0], r"^show\.mp4\.......\.part$")
                self.assertEqual((self.files(d), Path(d, "show.mp4").read_bytes()), (before, KEPT))

    def test_video_as_ffprobe_sees_it_and_a_progress_bar_only_on_a_terminal(self):
        # at the default size and rate on a terminal; off one, three times the size with a last
        # frame past the end, over an older file where the file system can't exchange two files
        # (the spy refuses it as vfat, exFAT, NFS and SMB do); the seeds at both ends of their
        # range; and the shared show, its music heard for 2 s, then silence to the end
        assets(self.d, 0.5)
        Path(self.d, "big.mp4").write_bytes(KEPT)
        tty, big = each(lambda a: capture(self.d, *a[1:], tty=a[0], LD_PRELOAD=sr.SPY, SPY_NOEXCHANGE="1"),
                        ((True, "--seed", "4294967295", "--until", "200", "tty.mp4"),
                         (False, "--seed", "0", "--until", "90", "--fps", "30", "--scale", "3", "big.mp4")))
        self.assertEqual(tty[0], 0, tty[1])
        self.assertTrue(all(w in tty[1] for w in (b"13/13 frames", b"fps", b"left", b"seed 4294967295")), tty[1])
        # off a terminal, no progress bar
        self.assertEqual([p[0::2] for p in (big, self.shown.result()[1])], [(0, b"")] * 2)
        self.assertEqual(self.files(), ["big.mp4", "galleri.jpg", "musa.ogg", "tty.mp4"])
        videos = ((self.d + "/tty.mp4", 1280, 960, 60, 13), (self.d + "/big.mp4", 1920, 1440, 30, 4),
                  (self.show + "/a.mp4", 640, 480, 2, 59))
        for (path, w, h, fps, frames), (s, f) in zip(videos, each(probe, [v[0] for v in videos])):
            with self.subTest(path=path):
                v, a = s["video"], s["audio"]
                self.assertIn("mp4", f["format_name"])
                self.assertEqual(f["tags"]["comment"], "seed %d" % {"tty": 4294967295, "big": 0, "a": 7}[Path(path).stem])
                self.assertEqual((v["codec_name"], v["pix_fmt"], v["width"], v["height"], v["r_frame_rate"],
                                  int(v["nb_read_frames"]), a["codec_name"], int(a["sample_rate"]), a["channels"]),
                                 ("h264", "yuv420p", w, h, "%d/1" % fps, frames, "aac", RATE, 2))
                # both as long as the frames, within a video and an audio frame's rounding, from 0
                for x, key, want, delta in ((v, "duration", frames / fps, 0.002), (a, "duration", frames / fps, 0.005),
                                            (v, "start_time", 0, 0.001), (a, "start_time", 0, 0.001)):
                    self.assertAlmostEqual(float(x.get(key, 0)), want, delta=delta, msg=key)
        sm = memoryview(decoded(self.show + "/a.mp4", "-f", "s16le", "-ac", "1")).cast("h")
        rms = lambda a, b: (sum(x * x for x in sm[int(a * RATE):int(b * RATE)]) / ((b - a) * RATE)) ** 0.5
        self.assertGreater(min(rms(0.0, 0.5), rms(1.4, 1.9)), 1000)
        self.assertLess(rms(2.2, 29.45), 50)

    def test_raw_video_and_wav_hold_the_frames_and_the_music_exactly(self):
        # every frame of the show, then the largest and scaled shapes: the
        # music from its first sample at show time 0, as loaded, then silence
        assets(self.d, 0.7)
        mask = os.umask(0o027)
        self.addCleanup(os.umask, mask)
        rows = ((["--fps", "1", "--until", "75000"], "all.y4m", 640, 480, 1, 76),
                (["--fps", "1000", "--until", "5"], "fast.y4m", 640, 480, 1000, 6),
                # a name without .y4m gets .wav added
                (["--scale", "2", "--fps", "10", "--until", "500"], "plain", 1280, 960, 10, 6),
                (["--scale", "8", "--until", "0"], "big.y4m", 5120, 3840, 60, 1))
        runs = each(lambda r: capture(self.d, "--raw", "--seed", "1", "--scale", "1", *r[0], r[1], timeout=120), rows)
        for (args, name, w, h, rate, frames), p in zip(rows, runs):
            with self.subTest(args=args):
                self.assertEqual(p[0], 0, p[2])
                wav = os.path.join(self.d, name.replace(".y4m", "") + ".wav")
                # the finished files have the mode any new file gets under the umask
                self.assertEqual([os.stat(f).st_mode & 0o777 for f in (wav, os.path.join(self.d, name))], [0o640] * 2)
                head, got = y4m(os.path.join(self.d, name))
                self.assertTrue(head.startswith("YUV4MPEG2 W%d H%d F%d:1 " % (w, h, rate)) and " C444" in head
                                and len(got) == frames, (head, len(got)))
                with wave.open(wav) as f:
                    self.assertEqual((f.getnchannels(), f.getsampwidth(), f.getframerate(), f.getnframes()),
                                     (2, 2, RATE, frames * RATE // rate))
                    data = f.readframes(f.getnframes())
                n = min(4 * int(0.7 * RATE), len(data))
                self.assertTrue(data[:n] == TUNE[:n] and data.count(0, n) == len(data) - n, "not music, then silence")
                # nearest-neighbour: every s x s block of every plane is one value
                f, s = got[-1], w // 640
                blocks = [c * w * h + y * w + x
                          for c in range(3) for y in range(0, h, 97 * s) for x in range(0, w, 7 * s)]
                self.assertEqual([i for i in blocks if len({f[i + y * w + x] for y in range(s) for x in range(s)}) > 1],
                                 [], "the first bytes of blocks of more than one value")
        self.assertEqual(self.files(), ["all.wav", "all.y4m", "big.wav", "big.y4m", "fast.wav", "fast.y4m",
                                        "galleri.jpg", "musa.ogg", "plain", "plain.wav"])

    def test_same_seed_same_frames_and_videos_wherever_the_files_are_named(self):
        # the shared show under another seed; under its own, its video from
        # the folder above by --dir, and its raw video and WAV by --picture
        # and --music with files of any name, over --dir's; the output stays
        # where it was typed. A picture named by --picture is one's own, whose
        # black is lifted (1, 1, 1) rather than transparent, so it is the
        # shared one so lifted, and held to that one's show by --dir
        odd, lifted = os.path.join(self.top, "Bilder för mig"), os.path.join(self.top, "lifted")
        os.mkdir(odd)
        os.mkdir(lifted)
        sr.picture(lifted, 300, 200, lambda x, y: (1, 1, 1) if 100 <= x < 200 and 60 <= y < 140 else (255, y, 0))
        shutil.copy(lifted + "/galleri.jpg", odd + "/-kät ☃.jpg")
        shutil.copy(self.show + "/musa.ogg", odd + "/sång -1.ogg")
        runs = ((self.show, "8", "--raw", "c.y4m"), (self.top, "7", "--dir", "show", "dir.mp4"),
                (self.top, "7", "--dir", "lifted", "--music", odd + "/sång -1.ogg", "--raw", "lifted.y4m"),
                (self.top, "7", "--dir", "nowhere", "--picture", "Bilder för mig/-kät ☃.jpg",
                 "--music", odd + "/sång -1.ogg", "--raw", "named"))
        for p in self.shown.result() + each(lambda r: capture(r[0], "--seed", r[1], *SHOW, *r[2:], timeout=120), runs):
            self.assertEqual(p[0::2], (0, b""))
        for mine, shown in (("dir.mp4", "show/a.mp4"), ("named", "lifted.y4m"), ("named.wav", "show/a.wav")):
            self.assertTrue(filecmp.cmp(os.path.join(self.top, mine), os.path.join(self.top, shown), False), mine)
        a, c = y4m(self.show + "/a.y4m")[1], y4m(self.show + "/c.y4m")[1]
        # another seed: the same frames until the first that shows the fire
        # (the frame at 28500 ms shows what the steps of the frame at 28000 seeded)
        self.assertEqual((len(a), [k for k in range(59) if a[k] != c[k]]), (59, [57, 58]))
        # each decoded frame is nearest to the raw frame of its number, by
        # the mean difference of a sample of their luma (the decoder's ahead
        # of each frame's quarter-size chroma, as it was coded)
        dec, n = decoded(self.show + "/a.mp4", "-f", "rawvideo"), 640 * 480
        self.assertEqual(len(dec), 59 * n * 3 // 2)
        diff = lambda x, y: sum(map(abs, map(operator.sub, x[:n:13], y[:n:13]))) / len(range(0, n, 13))
        for k in range(0, 59, 3):
            got = dec[k * n * 3 // 2:k * n * 3 // 2 + n]
            self.assertLess(diff(got, a[k]), min([3] + [diff(got, a[j]) for j in (k - 1, k + 1) if 0 <= j < 59]), k)

    def test_a_photo_named_is_shown_whole(self):
        # camera photos, wide and tall, with a block of red and of green a
        # quarter of their size in their top corners: both blocks are on the
        # screen at 27 s, the picture fitted into its place (405 x 304 at
        # x 117, 228 x 304 at x 206, its top near row 20)
        def one(photo):
            name, (w, h) = photo[:2]
            subprocess.run(["convert", "-size", "%dx%d" % (w, h), "xc:#808080",
                            "-fill", "#e01010", "-draw", "rectangle 0,0 %d,%d" % (w // 4, h // 4),
                            "-fill", "#10e010", "-draw", "rectangle %d,0 %d,%d" % (w - w // 4, w, h // 4),
                            os.path.join(self.d, name)], check=True)
            p = capture(self.d, "--picture", name, "--music", self.show + "/musa.ogg", "--fps", "1",
                        "--scale", "1", "--until", "27000", "--raw", name + ".y4m", timeout=120)
            self.assertEqual(p[0::2], (0, b""))
            return y4m(os.path.join(self.d, name + ".y4m"))[1][-1]
        photos = [("IMG_1234.jpg", (4032, 3024), (140, 50), (500, 50)),
                  ("IMG_1235.jpg", (3024, 4032), (225, 50), (415, 50))]
        for photo, last in zip(photos, each(one, photos)):
            with self.subTest(photo=photo[1]):
                # 4:4:4 planes: red and green told apart by their chroma
                u, v = (lambda x, y: last[640 * 480 + y * 640 + x]), (lambda x, y: last[2 * 640 * 480 + y * 640 + x])
                self.assertGreater(v(*photo[2]), 180, "no red in the top left corner")
                self.assertLess(max(u(*photo[3]), v(*photo[3])), 100, "no green in the top right corner")

    def test_photos_people_have_are_shown_upright(self):
        # at 27 s, each photo fitted into its place (centred, its top near
        # row 20): red an eighth into it from its top left corner, green
        # from its top right, told apart by their chroma in the 4:4:4 planes
        sr.music(self.d, seconds=1)

        def one(photo):
            name, _ = photo
            p = capture(self.d, "--picture", name, "--fps", "1", "--scale", "1", "--until", "27000",
                        "--raw", name + ".y4m", timeout=120)
            self.assertEqual(p[0::2], (0, b""))
            last = bytes(y4m(os.path.join(self.d, name + ".y4m"))[1][-1])
            for f in (name + ".y4m", name + ".wav"):
                os.unlink(os.path.join(self.d, f))
            return last
        photos = sr.photos(self.d)
        for (name, (w, h)), last in zip(photos, each(one, photos)):
            with self.subTest(photo=name):
                at = lambda c, x: last[c * 640 * 480 + (20 + h // 8) * 640 + (640 - w) // 2 + x]
                red, green = (at(1, w // 8), at(2, w // 8)), (at(1, w - w // 8), at(2, w - w // 8))
                self.assertTrue(red[1] > 180 and max(green) < 100, (red, green))

    def test_own_files_that_cant_be_read_are_named_with_the_kinds_read(self):
        # the command's files, before anything is encoded, nothing written
        sr.unread(self.d)
        before = self.files()
        runs = [("picture", "IMG_1.heic", ["--picture", "IMG_1.heic"]),
                ("picture", "wide.jpg", ["--picture", "wide.jpg"]),
                ("music", "song.mp3", ["--picture", "p.png", "--music", "song.mp3"])]
        for (kind, name, _), (args, words), got in zip(runs, sr.UNREAD, each(
                lambda r: capture(self.d, *r[2], "--until", "1000", "out.mp4"), runs)):
            with self.subTest(name=name):
                self.assertEqual(got[:2], (1, b""))
                self.assertRegex(got[2].decode(), r'\Abrindlewock-capture: can\'t load the %s "%s": %s\n\Z'
                                 % (kind, re.escape(name), words.split(": ", 1)[1]))
        self.assertEqual(self.files(), before)

    def test_a_long_song_costs_no_more_memory_than_a_short_one(self):
        # 3 minutes of an 8 kbit/s MP3, and 2 hours as 40 of it one after
        # another; a capture holds the file whole while it sends it, and then
        # at most 80 s of samples, as its decoder makes them: peak memory of
        # the capture and its decoder (the children it waits for)
        sr.picture(self.d)
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                        "sine=frequency=440:duration=180:sample_rate=8000", "-c:a", "libmp3lame", "-b:a", "8k",
                        "-write_xing", "0", "-id3v2_version", "0", "short.mp3"], cwd=self.d, check=True)
        Path(self.d, "long.mp3").write_bytes(Path(self.d, "short.mp3").read_bytes() * 40)

        def peak(song):
            p = start(self.d, "--music", song, "--until", "0", "--raw", song + ".y4m")
            with p.stdout, p.stderr:
                err = p.stderr.read() + p.stdout.read()
            _, status, usage = os.wait4(p.pid, 0)
            p.returncode = os.waitstatus_to_exitcode(status)
            self.assertEqual((p.returncode, err), (0, b""))
            return usage.ru_maxrss
        short, long = peak("short.mp3"), peak("long.mp3")
        self.assertLessEqual(long, short + (os.path.getsize(os.path.join(self.d, "long.mp3")) >> 10) + 4096,
                             "KiB at most, the 2-hour song's over the 3-minute one's")

    def test_held_before_renaming_it_keeps_or_replaces_whole_files(self):
        # held, its files complete, before it renames them, while another
        # capture to the same name finishes beside it (each writes its own),
        # or the name is taken by what the video can't be renamed over: a
        # folder, or an older file made immutable (root only); the older
        # WAV, which is put in place first, must be there as it was, and the
        # new files kept under the names the message gives; on a file system
        # that can exchange two files and on one that can't (the spy refuses)
        assets(self.d, 0.5)
        wav, out = Path(self.d, "x.wav"), Path(self.d, "x.y4m")
        args = ["--raw", "--fps", "10", "--scale", "1", "--until", "1000", "x.y4m"]
        self.addCleanup(subprocess.run, ["chattr", "-i", out], capture_output=True)
        for exchange, taken in [(e, t) for e in ("exchanged", "refused")
                                for t in ("another capture", "folder", "immutable file")]:
            with self.subTest(taken=taken, exchange=exchange):
                # what the case before left
                subprocess.run(["chattr", "-i", out], capture_output=True)
                for f in Path(self.d).glob("x.*"):
                    shutil.rmtree(f) if f.is_dir() else f.unlink()
                wav.write_bytes(b"the older music")
                p = start(self.d, "--seed", "1", *args, LD_PRELOAD=sr.SPY, SPY_HOLDRENAME="1",
                          SPY_NOEXCHANGE="1" if exchange == "refused" else None)
                held = lambda: Path("/proc/%d/stat" % p.pid).read_text().rsplit(")", 1)[1].split()[0] == "T"
                try:  # stopped by the spy at its rename
                    sr.until("a capture held before renaming", held, p, 60)
                    if taken == "another capture":
                        self.assertEqual(capture(self.d, "--seed", "2", *args)[0::2], (0, b""))
                    elif taken == "folder":
                        folder("x.y4m")(self.d)
                    elif out.write_bytes(b"the older video") and subprocess.run(["chattr", "+i", out],
                                                                                 capture_output=True).returncode:
                        out.unlink()
                        sr.skip(self, "chattr +i is not allowed here (not root, or a file system without it)")
                finally:
                    p.send_signal(signal.SIGCONT)
                    status, _, err = sr.finish(p, 60)
                if taken == "another capture":
                    self.assertEqual(self.files(), ["galleri.jpg", "musa.ogg", "x.wav", "x.y4m"])
                    self.assertEqual((status, len(y4m(out)[1]), wav.read_bytes()[:4]), (0, 11, b"RIFF"), err)
                    continue
                kept = re.findall(r'"(x\.(?:y4m|wav)\.\w{6}\.part)"', err.decode())
                self.assertEqual((status, len(kept)), (1, 2), err)
                self.assertRegex(err.decode(), r'\Abrindlewock-capture: can\'t put "x\.y4m" in place: [^\n]*\n\Z')
                self.assertEqual(self.files(), sorted(["galleri.jpg", "musa.ogg", "x.wav", "x.y4m", *kept]))
                self.assertEqual((len(y4m(Path(self.d, kept[0]))[1]), Path(self.d, kept[1]).read_bytes()[:4],
                                  wav.read_bytes()), (11, b"RIFF", b"the older music"))
                if taken == "folder":
                    self.assertEqual(os.listdir(out), ["taken"])
                else:
                    self.assertEqual(out.read_bytes(), b"the older video")


if __name__ == "__main__":
    unittest.main()
