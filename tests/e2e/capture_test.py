"""End-to-end tests of brindlewock-capture: the files it writes as ffprobe
and a decoder see them, determinism, and every way it refuses or fails."""
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
import showrun as sr

BIN = os.path.abspath(os.path.join(sr.BUILDDIR, "brindlewock-capture"))
SLACK = sr.SLACK
RATE = 48000
KEPT = b"an earlier capture"


def env(**extra):
    """No display and no SDL drivers asked for: the capture needs neither."""
    return sr.env(SDL_VIDEODRIVER=None, SDL_AUDIODRIVER=None, **extra)


def capture(cwd, *args, timeout=60):
    return subprocess.run([BIN, *args], cwd=cwd, env=env(), capture_output=True, timeout=timeout * SLACK)


def music(n):
    """The test music's first n samples, left and right: distinct, never silent."""
    return b"".join(struct.pack("<hh", ((i * 37) % 20000) - 10000 + 1, ((i * 53) % 16000) - 8000 + 1)
                    for i in range(n))


def assets(d, seconds=2.0, ogg=False):
    """A picture and music of the given length in d; the music as Ogg
    Vorbis, or as a WAV named musa.ogg, which the mixer loads as it is."""
    sr.picture(d, 300, 200, lambda x, y: (0, 0, 0) if 100 <= x < 200 and 60 <= y < 140 else (255, y, 0))
    if ogg:
        return sr.music(d, seconds)
    with wave.open(os.path.join(d, "musa.ogg"), "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(music(int(seconds * RATE)))


def probe(path):
    p = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_streams", "-show_format",
                        "-of", "json", path], capture_output=True, check=True, timeout=60)
    j = json.loads(p.stdout)
    return {s["codec_type"]: s for s in j["streams"]}, j["format"]


def y4m(path):
    """The header line and the frames of a YUV4MPEG2 4:4:4 file."""
    with open(path, "rb") as f:
        data = f.read()
    end = data.index(b"\n")
    head = data[:end].decode()
    size = 3 * int(head.split(" W")[1].split()[0]) * int(head.split(" H")[1].split()[0])
    frames, pos = [], end + 1
    while pos < len(data):
        assert data[pos:pos + 6] == b"FRAME\n", pos
        frames.append(data[pos + 6:pos + 6 + size])
        pos += 6 + size
    assert pos == len(data)
    return head, frames


def lumadiff(a, b, w, h):
    """Mean absolute difference of two frames' luma, on a sample of pixels."""
    x, y = a[:w * h:13], b[:w * h:13]
    return sum(abs(p - q) for p, q in zip(x, y)) / len(x)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def ontty(cwd, *args):
    """Runs a capture with a terminal for its stderr; returns (status, what it printed)."""
    master, slave = pty.openpty()
    p = subprocess.Popen([BIN, *args], cwd=cwd, env=env(), stdout=subprocess.DEVNULL, stderr=slave)
    os.close(slave)
    out = b""
    while select.select([master], [], [], 60 * SLACK)[0]:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        out += chunk
    os.close(master)
    return p.wait(timeout=30 * SLACK), out.decode(errors="replace")


def hide(name):
    return lambda d: os.rename(os.path.join(d, name), os.path.join(d, name + ".keep"))


def spoil(name, data):
    return lambda d: write(os.path.join(d, name), data)


def folder(name):
    def make(d):
        os.mkdir(os.path.join(d, name))
        open(os.path.join(d, name, "taken"), "w").close()
    return make


def underdir(d):
    """The picture in show/, the music only in the folder above, where --dir
    must not look for it."""
    os.mkdir(os.path.join(d, "show"))
    shutil.move(os.path.join(d, "galleri.jpg"), os.path.join(d, "show"))


# Every refusal: (case, set-up, arguments, signal sent once it runs,
# status, words its one line must have). Each leaves the folder as it was
# and an earlier show.mp4 untouched.
OUT = ["--until", "100", "show.mp4"]
REFUSALS = [("--help", None, ["--help"], None, 0, ("--fps", "--seed", "--scale", "--until", "--raw", "OUTPUT"))]
REFUSALS += [("bad " + " ".join(a), None, a, None, 2, (w,)) for a, w in (
    (["--fps", "0", "o.mp4"], "--fps"), (["--fps", "1001", "o.mp4"], "--fps"), (["--fps", "6x", "o.mp4"], "--fps"),
    (["--seed", "-1", "o.mp4"], "--seed"), (["--seed", "4294967296", "o.mp4"], "--seed"),
    (["--scale", "0", "o.mp4"], "--scale"), (["--scale", "9", "o.mp4"], "--scale"),
    (["--until", "75001", "o.mp4"], "--until"), (["--until", "", "o.mp4"], "--until"),
    (["--bogus", "o.mp4"], "--bogus"), (["--raw=1", "o.mp4"], "--raw=1"), (["o.mp4", "--fps"], "--fps"),
    ([], "OUTPUT"), (["o.mp4", "p.mp4"], "p.mp4"), (["."], "OUTPUT"))]
REFUSALS += [
    ("no picture", hide("galleri.jpg"), OUT, None, 1, ('"galleri.jpg"',)),
    ("a picture no decoder takes", spoil("galleri.jpg", b"\xff\xd8\xff\xe0 not really a JPEG" * 10), OUT,
     None, 1, ('"galleri.jpg"',)),
    ("no music", hide("musa.ogg"), OUT, None, 1, ('"musa.ogg"',)),
    ("music no decoder takes", spoil("musa.ogg", b"OggS and then nothing a decoder would take" * 10), OUT,
     None, 1, ('"musa.ogg"',)),
    ("music cut inside its headers", lambda d: os.truncate(os.path.join(d, "musa.ogg"), 1000), OUT,
     None, 1, ('"musa.ogg"',)),
    ("raw, music no decoder takes", spoil("musa.ogg", b"OggS" + bytes(range(256)) * 8), ["--raw", "show.y4m"],
     None, 1, ('"musa.ogg"',)),
    ("--dir's music missing", underdir, ["--dir", "show/", *OUT], None, 1, ('"show/musa.ogg"',)),
    ("--dir that is not there", None, ["--dir", "/nowhere", *OUT], None, 1, ('"/nowhere/galleri.jpg"', "No such file")),
    ("unwritable video", None, ["--until", "100", "nowhere/show.mp4"], None, 1, ("nowhere/show.mp4",)),
    ("unwritable raw video", None, ["--until", "100", "--raw", "nowhere/show.y4m"], None, 1, ("nowhere/show.y4m",)),
    ("the WAV's name taken by a folder", folder("x.wav"), ["--until", "100", "--raw", "x.y4m"], None, 1, ("x.wav",)),
]
REFUSALS += [(name, None, ["--seed", "1", "show.mp4"], getattr(signal, name), 1, ("interrupted",))
             for name in ("SIGINT", "SIGTERM", "SIGHUP")]
# damaged pictures are the loader's, the same for the show: one smoke run
REFUSALS += [("a picture that hung its decoder", spoil("galleri.jpg", damage.cutafterheader()), OUT, None, 1,
              ('"galleri.jpg"',))]

class Capture(unittest.TestCase):
    def setUp(self):
        self.assertTrue(os.path.exists(BIN), BIN + " is not built: are FFmpeg's -dev packages missing?")
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.d = tmp.name

    def files(self, d=None):
        return sorted(os.listdir(d or self.d))

    def started(self, d, *args):
        """A capture started with args, once it writes its temporary file."""
        before = self.files(d)
        p = subprocess.Popen([BIN, *args], cwd=d, env=env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            parts = sr.until("its temporary file", lambda: [f for f in self.files(d)
                                                            if f.endswith(".part") and f not in before], p, 30)
        except AssertionError:
            p.kill()
            raise
        self.assertRegex(parts[0], r"^show\.mp4\.......\.part$")
        return p

    def held(self, *args):
        """A capture started with args, once it has stopped itself before it
        renames its finished files (the spy's SPY_HOLDRENAME); send it SIGCONT."""
        p = subprocess.Popen([BIN, *args], cwd=self.d, env=env(LD_PRELOAD=sr.SPY, SPY_HOLDRENAME="1"),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)

        def stopped():
            with open("/proc/%d/stat" % p.pid) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
            if state == "Z":
                raise AssertionError("the capture ended before it held: %r" % p.communicate()[1][-2000:])
            return state == "T"
        sr.until("a capture held before renaming", stopped, None, 60)
        return p

    def test_refusals_say_why_in_one_line_and_leave_nothing(self):
        base = os.path.join(self.d, "base")
        os.mkdir(base)
        assets(base, ogg=True)
        write(os.path.join(base, "show.mp4"), KEPT)
        for case, setup, args, sig, status, words in REFUSALS:
            with self.subTest(case):
                d = os.path.join(self.d, str(len(os.listdir(self.d))))
                shutil.copytree(base, d)
                if setup:
                    setup(d)
                before = self.files(d)
                t = time.time()
                if sig:
                    p = self.started(d, *args)
                    p.send_signal(sig)
                    out, err = p.communicate(timeout=30 * SLACK)
                    p = subprocess.CompletedProcess(args, p.returncode, out, err)
                else:
                    p = capture(d, *args, timeout=10)
                self.assertEqual(p.returncode, status, p.stderr)
                said = (p.stdout if status == 0 else p.stderr).decode()
                if status:
                    self.assertTrue(said.startswith("brindlewock-capture: "), said)
                    self.assertEqual(said.count("\n"), 1, said)
                    if not sig:
                        self.assertLess(time.time() - t, 5 * SLACK)
                for w in words:
                    self.assertIn(w, said)
                self.assertEqual(self.files(d), before)
                self.assertEqual(read(os.path.join(d, "show.mp4")), KEPT)

    def test_video_as_ffprobe_sees_it_and_a_progress_bar_only_on_a_terminal(self):
        # music shorter than the capture: the rest is silence, the track as long as the video
        assets(self.d, seconds=2.0, ogg=True)
        out = os.path.join(self.d, "show.mp4")
        for args, w, h, fps, frames in ((["--until", "3000"], 1280, 960, 60, 181),
                                        (["--until", "3000", "--fps", "25", "--scale", "1"], 640, 480, 25, 76),
                                        (["--until", "990", "--fps", "30", "--scale", "3"], 1920, 1440, 30, 31)):
            with self.subTest(args=args):
                if fps == 60:
                    status, text = ontty(self.d, "--seed", "3", *args, "show.mp4")
                    self.assertEqual(status, 0, text)
                    for word in ("181/181 frames", "fps", "left", "seed 3"):
                        self.assertIn(word, text)
                else:
                    p = capture(self.d, "--seed", "3", *args, "show.mp4")
                    self.assertEqual((p.returncode, p.stderr), (0, b""))  # not a terminal: no progress bar
                s, f = probe(out)
                v, a = s["video"], s["audio"]
                self.assertIn("mp4", f["format_name"])
                self.assertEqual((v["codec_name"], v["pix_fmt"], v["width"], v["height"], v["r_frame_rate"]),
                                 ("h264", "yuv420p", w, h, "%d/1" % fps))
                self.assertEqual(int(v["nb_read_frames"]), frames)
                self.assertAlmostEqual(float(v["duration"]), frames / fps, delta=0.002)
                self.assertEqual((a["codec_name"], int(a["sample_rate"]), a["channels"]), ("aac", RATE, 2))
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

    def test_raw_video_and_wav_hold_the_frames_and_the_music_exactly(self):
        # every frame of the show, then the largest and scaled shapes: the
        # music from its first sample at show time 0, as loaded, then silence
        assets(self.d, seconds=0.7)
        mask = os.umask(0o027)
        self.addCleanup(os.umask, mask)
        for args, name, w, h, rate, frames in ((["--fps", "1", "--until", "75000"], "all.y4m", 640, 480, 1, 76),
                                               (["--fps", "1000", "--until", "5"], "big.y4m", 640, 480, 1000, 6),
                                               # a name without .y4m gets .wav added
                                               (["--scale", "2", "--fps", "10", "--until", "500"], "plain",
                                                1280, 960, 10, 6),
                                               (["--scale", "8", "--until", "0"], "big.y4m", 5120, 3840, 60, 1)):
            with self.subTest(args=args):
                p = capture(self.d, "--raw", "--seed", "1", "--scale", "1", *args, name, timeout=120)
                self.assertEqual(p.returncode, 0, p.stderr)
                wav = os.path.join(self.d, name.replace(".y4m", "") + ".wav")
                # the finished files have the mode any new file gets under the umask
                for f in (wav, os.path.join(self.d, name)):
                    self.assertEqual(os.stat(f).st_mode & 0o777, 0o640, f)
                head, got = y4m(os.path.join(self.d, name))
                self.assertTrue(head.startswith("YUV4MPEG2 W%d H%d F%d:1 " % (w, h, rate)) and " C444" in head, head)
                self.assertEqual(len(got), frames)
                with wave.open(wav) as f:
                    self.assertEqual((f.getnchannels(), f.getsampwidth(), f.getframerate()), (2, 2, RATE))
                    self.assertEqual(f.getnframes(), frames * RATE // rate)
                    data = f.readframes(f.getnframes())
                n = min(int(0.7 * RATE), len(data) // 4)
                self.assertTrue(data[:4 * n] == music(n))
                self.assertTrue(data[4 * n:] == bytes(len(data) - 4 * n), "the silence after the music is not silent")
                # nearest-neighbour: every s x s block of every plane is one value
                f, s = got[-1], w // 640
                for plane in range(3):
                    for y in range(0, h, 97 * s):
                        for x in range(0, w, s * 7):
                            i = plane * w * h + y * w + x
                            self.assertEqual({f[i + dy * w + dx] for dy in range(s) for dx in range(s)}, {f[i]},
                                             (plane, x, y))
        self.assertEqual(self.files(), ["all.wav", "all.y4m", "big.wav", "big.y4m", "galleri.jpg", "musa.ogg",
                                        "plain", "plain.wav"])

    def test_same_seed_same_frames_and_videos_wherever_the_files_are_named(self):
        # two frames a second up to 29 s: the fire is lit at 28 s, so the seed shows
        show = os.path.join(self.d, "show")
        os.mkdir(show)
        assets(show, seconds=1.0)
        opts = ["--fps", "2", "--scale", "1", "--until", "29000"]
        runs = {}
        for name, seed in (("a.y4m", "7"), ("b.y4m", "7"), ("c.y4m", "8")):
            p = capture(show, "--raw", "--seed", seed, *opts, name, timeout=120)
            self.assertEqual(p.returncode, 0, p.stderr)
            runs[name] = y4m(os.path.join(show, name))[1]
        a, b, c = runs["a.y4m"], runs["b.y4m"], runs["c.y4m"]
        self.assertEqual(len(a), 59)
        for k in range(59):
            self.assertTrue(a[k] == b[k], "frame %d differs under the same seed" % k)
        # another seed: the same frames until the first that shows the fire
        # (the frame at 28500 ms shows what the steps of the frame at 28000 seeded)
        self.assertTrue(all(a[k] == c[k] for k in range(57)))
        self.assertFalse(a[57] == c[57] or a[58] == c[58])
        # the video: each decoded frame is nearest to the raw frame of its number
        p = capture(show, "--seed", "7", *opts, "a.mp4", timeout=120)
        self.assertEqual(p.returncode, 0, p.stderr)
        dec = subprocess.run(["ffmpeg", "-v", "error", "-i", os.path.join(show, "a.mp4"), "-f", "rawvideo",
                              "-pix_fmt", "yuv444p", "-"], capture_output=True, check=True).stdout
        size = 640 * 480 * 3
        self.assertEqual(len(dec), 59 * size)
        for k in range(0, 59, 3):
            got = dec[k * size:(k + 1) * size]
            d = lumadiff(got, a[k], 640, 480)
            self.assertLess(d, 3, k)
            for j in (k - 1, k + 1):
                if 0 <= j < 59:
                    self.assertLess(d, lumadiff(got, a[j], 640, 480), (k, j))
        # the same video again from the folder above, by --dir, and by
        # --picture and --music with files of any name, over --dir's;
        # the output stays where it was typed
        odd = os.path.join(self.d, "Bilder för mig")
        os.mkdir(odd)
        shutil.copy(os.path.join(show, "galleri.jpg"), os.path.join(odd, "-kät ☃.jpg"))
        shutil.copy(os.path.join(show, "musa.ogg"), os.path.join(odd, "sång -1.ogg"))
        for name, where in (("dir.mp4", ["--dir", "show"]),
                            ("named.mp4", ["--dir", "nowhere", "--picture", "Bilder för mig/-kät ☃.jpg",
                                           "--music", os.path.join(odd, "sång -1.ogg")])):
            p = capture(self.d, "--seed", "7", *opts, *where, name, timeout=120)
            self.assertEqual((p.returncode, p.stderr), (0, b""))
            self.assertTrue(read(os.path.join(self.d, name)) == read(os.path.join(show, "a.mp4")), name)

    def test_held_before_renaming_it_keeps_or_replaces_whole_files(self):
        # held, its files complete, before it renames them, while another
        # capture to the same name finishes beside it (each writes its own),
        # or the name is taken by what the video can't be renamed over: a
        # folder, or an older file made immutable (root only); the older
        # WAV, which the WAV is renamed over first, must be there as it was
        assets(self.d, seconds=0.5)
        wav, out = os.path.join(self.d, "x.wav"), os.path.join(self.d, "x.y4m")
        args = ["--raw", "--fps", "10", "--scale", "1", "--until", "1000", "x.y4m"]
        for taken in ("another capture", "folder", "immutable file"):
            with self.subTest(taken=taken):
                write(wav, b"the older music")
                p = self.held("--seed", "1", *args)
                try:
                    if taken == "another capture":
                        b = capture(self.d, "--seed", "2", *args)
                        self.assertEqual(b.returncode, 0, b.stderr)
                    elif taken == "folder":
                        folder("x.y4m")(self.d)
                    else:
                        write(out, b"the older video")
                        if subprocess.run(["chattr", "+i", out], capture_output=True).returncode != 0:
                            os.unlink(out)
                            self.skipTest("chattr +i is not allowed here")
                finally:
                    p.send_signal(signal.SIGCONT)
                try:
                    _, err = p.communicate(timeout=60 * SLACK)
                finally:
                    subprocess.run(["chattr", "-i", out], capture_output=True)
                self.assertEqual(self.files(), ["galleri.jpg", "musa.ogg", "x.wav", "x.y4m"])
                if taken == "another capture":
                    self.assertEqual(p.returncode, 0, err)
                    self.assertEqual(len(y4m(out)[1]), 11)
                    os.unlink(out)
                    continue
                self.assertEqual(p.returncode, 1, err)
                self.assertIn(b"x.y4m", err)
                self.assertEqual(read(wav), b"the older music")
                if taken == "folder":
                    self.assertEqual(os.listdir(out), ["taken"])
                    shutil.rmtree(out)
                else:
                    self.assertEqual(read(out), b"the older video")


if __name__ == "__main__":
    unittest.main()
