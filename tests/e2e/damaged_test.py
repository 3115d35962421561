"""Damaged files, end to end: the pictures that held the show in its decoder
for ever, crashed it, or made the PNG library print end it at once with
status 2, quietly, with SDL shut down; damaged music leaves the whole show,
silent."""
import os
import time
import unittest

import damage
import showrun as sr

SPEED = 25


def damaged(d, name, data, timeout, **extra):
    """Runs the show, spied on, with data as the file name in d; returns
    (status, stdout, stderr), the SDL calls and the seconds it took."""
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)
    log = os.path.join(d, "calls.log")
    t = time.time()
    rc, out, err = sr.finish(sr.spied(d, log, **extra), timeout=timeout)
    return (rc, out, err), sr.calls(log), time.time() - t


class Damaged(unittest.TestCase):
    def test_pictures_that_hung_crashed_or_printed_end_the_show_with_status_2(self):
        cases = {name: make() for name, make in damage.HANGING.items()}
        cases["gif 16384 wide, which crashed the gif reader"] = damage.gifwide()
        cases["png that made the PNG library print"] = damage.pngtalks()
        # the GIF's crash comes of SDL's limit on surfaces, which each runtime has
        for rt in sr.RUNTIMES:
            for name, data in cases.items():
                with self.subTest(runtime=rt, picture=name), sr.workdir() as d:
                    ended, calls, took = damaged(d, "galleri.jpg", data, 5, runtime=rt)
                    self.assertLess(took, 5 * sr.SLACK)
                    self.assertEqual(ended, (2, b"", b""))
                    self.assertEqual(calls[-1:], ["SDL_Quit"])
                    self.assertEqual(sr.loaded(d), {rt})

    def test_damaged_music_leaves_the_whole_show_silent(self):
        with sr.workdir() as d:
            sr.music(d, seconds=1, name="good.ogg")
            with open(os.path.join(d, "good.ogg"), "rb") as f:
                good = f.read()
            setup = good.index(b"\x05vorbis")
            cases = {
                "cut inside its headers": good[:1000],
                "its codebooks zeroed": good[:setup] + bytes(200) + good[setup + 200:],
                "no Ogg after its first four bytes": b"OggS" + bytes(range(256)) * 8,
            }
            sr.picture(d)
            for name, data in cases.items():
                with self.subTest(music=name):
                    ended, got, took = damaged(d, "musa.ogg", data, 60, speed=SPEED)
                    self.assertEqual(ended, (0, b"", b""))
                    # to its end by itself: 75 s of show time
                    self.assertGreater(took, 75 / SPEED)
                    self.assertIn("Mix_PlayChannelTimed -1 null 0 -1", got)
                    self.assertEqual(got[-1:], ["SDL_Quit"])


if __name__ == "__main__":
    unittest.main()
