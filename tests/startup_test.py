"""Start-up and shutdown of the real show, watched through a preloaded library
that logs the SDL calls the show makes: every step in its order and with its
arguments, and SDL shut down on every way out."""
import os
import time
import unittest

import showrun as sr

START = [
    "SDL_Init 48",
    "SDL_SetVideoMode 640 480 32 0x80000000 -> screen",
    "SDL_ShowCursor 0",
    "Mix_OpenAudio 48000 0x8010 2 1024",
    "SDL_PauseAudio 1",
    "SDL_WM_SetCaption brindlewock (null)",
]
# the picture's decoder runs in a process of its own, which the spy does not
# log; the show builds the picture from its answer
PICTURE = [
    "SDL_CreateRGBSurface 200 100 24 -> picture",
    "SDL_ConvertSurface picture screenformat 0x0",
    "SDL_SetColorKey 0x1000 black",
    "SDL_FreeSurface picture",
]
SHOW = [
    "SDL_Delay 500",
    "SDL_PauseAudio 0",
    "SDL_GetTicks",
    "SDL_Flip screen",
]


def spied(d, speed=None, **extra):
    """Runs the show with the spy; returns (status, stdout, stderr, calls, seed)."""
    log = os.path.join(d, "calls.log")
    t = time.time()
    p = sr.spied(d, log, speed=speed, **extra)
    rc, out, err = sr.finish(p, timeout=60)
    return rc, out, err, sr.calls(log), int(t)


class Startup(unittest.TestCase):
    def strip_seed(self, got, started):
        self.assertTrue(got and got[0].startswith("srand "), got[:1])
        seed = int(got[0].split()[1])
        # the time in whole seconds at start-up
        self.assertLessEqual(abs(seed - started), 2)
        return got[1:]

    def test_every_step_in_order(self):
        # with music, ended by a signal; without, to the show's own end
        for name, music in (("with music", True), ("without music", False)):
            with self.subTest(name), sr.workdir() as d:
                sr.picture(d)
                if music:
                    sr.music(d, seconds=1)
                    started = int(time.time())
                    log = os.path.join(d, "calls.log")
                    p = sr.spied(d, log)
                    sr.framing(p, log)
                    sr.interrupt(p, sr.SIGNALS["SIGINT"])
                    rc, out, err = sr.finish(p)
                    got = sr.calls(log)
                else:
                    rc, out, err, got, started = spied(d, speed=10)
                self.assertEqual((rc, out, err), (0, b"", b""))
                got = self.strip_seed(got, started)
                loaded = "music" if music else "null"
                want = START + PICTURE + ["Mix_QuickLoad_RAW -> music"] * music + [
                    "Mix_PlayChannelTimed -1 %s 0 -1" % loaded,
                ] + SHOW + ["SDL_Quit"]
                self.assertEqual(got, want)

    def test_sdl_shut_down_on_every_failure(self):
        with sr.workdir() as d:
            rc, out, err, got, started = spied(d, SDL_VIDEODRIVER="nosuchdriver")
            self.assertEqual((rc, out, err), (1, b"", b""))
            self.assertEqual(self.strip_seed(got, started), [
                "SDL_Init 48", "SDL_SetVideoMode 640 480 32 0x80000000 -> null", "SDL_Quit"])

            # no picture: status 2 after the video mode was set
            rc, out, err, got, started = spied(d)
            self.assertEqual((rc, out, err), (2, b"", b""))
            self.assertEqual(self.strip_seed(got, started), START + ["SDL_Quit"])

    @unittest.skipIf(sr.SANITIZE, "the sanitizers' allocator can't be failed from outside")
    def test_no_memory_for_the_heat_field_is_status_3(self):
        with sr.workdir() as d:
            sr.picture(d)
            rc, out, err, got, started = spied(d, SPY_NOFIELD="1")
            self.assertEqual((rc, out, err), (3, b"", b""))
            self.assertEqual(self.strip_seed(got, started), START + ["SDL_Quit"])


if __name__ == "__main__":
    unittest.main()
