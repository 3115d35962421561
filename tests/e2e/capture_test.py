"""End-to-end tests of brindlewock-capture's files: the video and the WAV
as ffprobe and a decoder see them, determinism, and the pictures and music
of one's own it reads. Its refusals and failures, and how it puts its files
in place, are capture_refusals_test's. Captures run side by side: a short
one costs little more than its start-up."""
import filecmp
import json
import operator
import os
import shutil
import subprocess
import unittest
import wave
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import showrun as sr
from caprun import BIN, KEPT, RATE, TUNE, assets, capture, each, start, y4m

# the shared show: two frames a second up to 29 s, past the fire's lighting at 28 s, so the seed shows
SHOW = ["--fps", "2", "--scale", "1", "--until", "29000"]


def probe(path):
    j = json.loads(subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_streams", "-show_format", "-of",
                                   "json", path], capture_output=True, check=True, timeout=60).stdout)
    return {s["codec_type"]: s for s in j["streams"]}, j["format"]


def decoded(path, *fmt):
    return subprocess.run(["ffmpeg", "-v", "error", "-i", path, *fmt, "-"], capture_output=True, check=True).stdout


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


if __name__ == "__main__":
    unittest.main()
