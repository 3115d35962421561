"""The show end to end, headless: exit statuses, silence on the terminal, and
the music reaching the audio output."""
import array
import os
import subprocess
import time
import unittest

import showrun as sr


class Statuses(unittest.TestCase):
    def assertQuiet(self, out, err):
        self.assertEqual(out, b"")
        self.assertEqual(err, b"")

    def test_no_video_mode_is_status_1(self):
        with sr.workdir() as d:
            sr.picture(d)
            for rt in sr.RUNTIMES:
                with self.subTest(runtime=rt):
                    rc, out, err = sr.run(d, SDL_VIDEODRIVER="nosuchdriver", runtime=rt)
                    self.assertEqual(rc, 1)
                    self.assertQuiet(out, err)
                    self.assertEqual(sr.loaded(d), {rt})

    def test_bad_picture_is_status_2(self):
        cases = {
            "missing": None,
            "empty": b"",
            "garbage": bytes((i * 37 + 11) % 256 for i in range(5000)),
            "truncated jpeg": b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00\xff\xdb",
            "a directory": "dir",
        }
        for name, content in cases.items():
            with self.subTest(picture=name), sr.workdir() as d:
                sr.music(d, seconds=0.5)
                path = os.path.join(d, "galleri.jpg")
                if content == "dir":
                    os.mkdir(path)
                elif content is not None:
                    with open(path, "wb") as f:
                        f.write(content)
                rc, out, err = sr.run(d)
                self.assertEqual(rc, 2)
                self.assertQuiet(out, err)

    def test_full_show_without_music_ends_by_itself(self):
        with sr.workdir() as d:
            sr.picture(d)
            t = time.time()
            rc, out, err = sr.run(d, speed=10)
            took = time.time() - t
            self.assertEqual(rc, 0)
            self.assertQuiet(out, err)
            # 75 s of show time at ten times the speed, plus start-up
            self.assertGreater(took, 7.0)
            self.assertLess(took, 20.0 * sr.SLACK)

    def test_odd_pictures_run_the_whole_show(self):
        # made with ImageMagick; the name is the show's, the format any
        cases = {
            "1 x 1": ["-size", "1x1", "xc:orange"],
            "all black": ["-size", "300x200", "xc:black"],
            "larger than the screen": ["-size", "2000x2000", "xc:orange"],
            "taller than the screen": ["-size", "1x3000", "xc:orange"],
            "wider than the screen": ["-size", "3000x1", "xc:orange"],
            "png": ["-size", "300x200", "xc:orange", "png:"],
            "truncated jpeg": ["-size", "300x200", "xc:gray", "+noise", "Random", "jpg:"],
        }
        for name, args in cases.items():
            with self.subTest(picture=name), sr.workdir() as d:
                path = os.path.join(d, "galleri.jpg")
                out = args[-1] + path if args[-1].endswith(":") else path
                args = args[:-1] if args[-1].endswith(":") else args
                subprocess.run(["convert", *args, out], check=True)
                if name == "truncated jpeg":
                    with open(path, "rb") as f:
                        data = f.read()
                    with open(path, "wb") as f:
                        f.write(data[:len(data) // 2])
                rc, out, err = sr.run(d, speed=20)
                self.assertEqual(rc, 0)
                self.assertQuiet(out, err)

    def test_signals_end_the_show_with_status_0(self):
        for name, sig in sr.SIGNALS.items():
            with self.subTest(signal=name), sr.workdir() as d:
                sr.picture(d)
                sr.music(d, seconds=1)
                log = os.path.join(d, "calls.log")
                p = sr.spied(d, log)
                sr.framing(p, log)
                sr.interrupt(p, sig)
                rc, out, err = sr.finish(p, timeout=10)
                self.assertEqual(rc, 0)
                self.assertQuiet(out, err)


def heard(raw):
    """Frames of the disk driver's output from the first loud one on."""
    pcm = array.array("h")
    if not os.path.exists(raw):
        return 0
    with open(raw, "rb") as f:
        data = f.read()
    pcm.frombytes(data[:len(data) // 4 * 4])
    left = pcm[0::2]
    start = next((i for i, v in enumerate(left) if abs(v) > 3000), None)
    return 0 if start is None else len(left) - start


class Music(unittest.TestCase):
    def test_music_reaches_the_audio_output_in_stereo_at_48000(self):
        for rt in sr.RUNTIMES:
            with self.subTest(runtime=rt), sr.workdir() as d:
                sr.picture(d)
                sr.music(d, seconds=4, left=1000, right=375)
                raw = os.path.join(d, "out.raw")
                p = sr.start(d, SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=raw,
                             SDL_DISKAUDIODELAY="10", runtime=rt)
                sr.until("half a second of music in the output",
                         lambda: heard(raw) >= 24000, p)
                sr.interrupt(p, sr.SIGNALS["SIGTERM"])
                rc, out, err = sr.finish(p)
                self.assertEqual(sr.loaded(d), {rt})
                self.assertEqual(rc, 0)
                self.assertEqual(out, b"")
                # the disk driver, a testing aid of SDL's, warns that it is in
                # use; nothing else may appear
                said = [l for l in err.decode().splitlines()
                        if "disk" not in l and "Writing to file" not in l]
                self.assertEqual(said, [])
                pcm = array.array("h")
                with open(raw, "rb") as f:
                    pcm.frombytes(f.read())
                left, right = pcm[0::2], pcm[1::2]
                # only the stretch where the music plays: the device may
                # start with silence while the audio is held
                start = next((i for i, v in enumerate(left) if abs(v) > 3000), None)
                self.assertIsNotNone(start, "only silence reached the output")
                left, right = left[start:start + 24000], right[start:start + 24000]
                self.assertGreater(len(left), 4800, "less than 0.1 s of music")
                self.assertGreater(max(map(abs, left)), 8000)
                self.assertGreater(max(map(abs, right)), 8000)
                # a sine's sign changes twice per period: the frequencies
                # heard are those of the file only at 48000 frames per second
                seconds = len(left) / 48000
                for chan, hz in ((left, 1000), (right, 375)):
                    changes = sum(1 for a, b in zip(chan, chan[1:]) if (a < 0) != (b < 0))
                    self.assertAlmostEqual(changes / seconds / 2, hz, delta=hz * 0.03)


if __name__ == "__main__":
    unittest.main()
