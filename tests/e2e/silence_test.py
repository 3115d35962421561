"""The show prints nothing when its audio driver can't open a device: ALSA
asked for a card that isn't there prints why, from SDL's start and from the
mixer's opening, on both SDL 1.2 runtimes."""
import unittest

import showrun as sr


class Silence(unittest.TestCase):
    def test_no_sound_card_prints_nothing(self):
        for runtime in sr.RUNTIMES:
            with self.subTest(runtime=runtime), sr.workdir() as d:
                sr.picture(d)
                sr.music(d, seconds=1)
                got = sr.run(d, speed=50, runtime=runtime, SDL_AUDIODRIVER="alsa", ALSA_CARD="nosuchcard")
                self.assertEqual(got, (0, b"", b""))
                self.assertEqual(sr.loaded(d), {runtime})


if __name__ == "__main__":
    unittest.main()
