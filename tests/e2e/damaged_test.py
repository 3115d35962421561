"""Damaged pictures, end to end on both SDL runtimes: the pictures that held
the show in its decoder for ever, crashed it, or made the PNG library print
end it at once with status 2, quietly, with SDL shut down."""
import os
import time
import unittest

import damage
import showrun as sr


class Damaged(unittest.TestCase):
    def test_pictures_that_hung_crashed_or_printed_end_the_show_with_status_2(self):
        cases = {name: make() for name, make in damage.HANGING.items()}
        cases["gif 16384 wide, which crashed the gif reader"] = damage.gifwide()
        cases["png that made the PNG library print"] = damage.pngtalks()
        # the GIF's crash comes of SDL's limit on surfaces, which each runtime has
        for rt in sr.RUNTIMES:
            for name, data in cases.items():
                with self.subTest(runtime=rt, picture=name), sr.workdir() as d:
                    with open(os.path.join(d, "galleri.jpg"), "wb") as f:
                        f.write(data)
                    log = os.path.join(d, "calls.log")
                    t = time.time()
                    ended = sr.finish(sr.spied(d, log, runtime=rt), timeout=5)
                    self.assertLess(time.time() - t, 5 * sr.SLACK)
                    self.assertEqual(ended, (2, b"", b""))
                    self.assertEqual(sr.calls(log)[-1:], ["SDL_Quit"])
                    self.assertEqual(sr.loaded(d), {rt})


if __name__ == "__main__":
    unittest.main()
