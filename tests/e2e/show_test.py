"""The real show end to end, headless: how every kind of run ends (its status,
silence on the terminal, SDL shut down, and the SDL calls start-up makes in
their order), the ends that each SDL 1.2 runtime must reach on its own (no
video mode, no sound card, pictures that hung, crashed or made a library
print), the music reaching the audio output, and odd pictures."""
import array
import os
import pathlib
import re
import signal
import subprocess
import time
import unittest

import damage
import showrun as sr

# start-up's calls as the spy logs them, in order, as patterns; a run must
# make these in this order, with other calls allowed between them
START = [r"SDL_Init 48", r"SDL_SetVideoMode 640 480 32 0x80000000 -> screen", r"SDL_ShowCursor 0",
         r"Mix_OpenAudio 48000 0x8010 2 1024", r"SDL_PauseAudio 1", r"SDL_WM_SetCaption brindlewock \(null\)"]
PICTURE = [r"SDL_ConvertSurface \S+ screenformat 0x0", r"SDL_SetColorKey 0x1000 black", r"SDL_FreeSurface \S+"]
SHOW = [r"SDL_Delay 500", r"SDL_PauseAudio 0", r"SDL_GetTicks", r"SDL_Flip screen"]
NOVIDEO = [r"SDL_Init 48", r"SDL_SetVideoMode 640 480 32 0x80000000 -> null"]


def playing(music):
    return [r"Mix_PlayChannelTimed -1 %s 0 -1" % music]


def inorder(want, got):
    """The first pattern of want that does not match a line of got after the
    line the pattern before it matched; None when all match in order."""
    at = 0
    for w in want:
        while at < len(got) and not re.fullmatch(w, got[at]):
            at += 1
        if at == len(got):
            return w
        at += 1
    return None


def ends(sig):
    """Ends a running show with a signal once its frame loop runs."""
    def act(p, log):
        sr.until("a first frame", lambda: "SDL_Flip screen" in sr.calls(log), p)
        p.send_signal(sig)
    return act


def convert(*args, fmt="", cut=False):
    """Writes "galleri.jpg" with ImageMagick, in any format (fmt "png:"...),
    cut to its first half when asked."""
    def make(d):
        out = os.path.join(d, "galleri.jpg")
        subprocess.run(["convert", *args, fmt + out], check=True)
        if cut:
            os.truncate(out, os.path.getsize(out) // 2)
    return make


def writes(name, data):
    """Writes name in the run's folder; a folder when data is None."""
    def make(d):
        path = pathlib.Path(d, name)
        if data is None:
            path.mkdir()
        else:
            path.write_bytes(data)
    return make


GOOD = lambda d: sr.picture(d)
MUSIC = lambda d: sr.music(d, seconds=1)
FAST = 200  # a whole show in about 0.4 s: enough frames for every stage

# (what, set-up, extra environment, clock speed, action while it runs,
#  status, the calls that must appear in order, seconds of real time it
#  must take at least)
RUNS = [
    ("no video mode", [GOOD], dict(SDL_VIDEODRIVER="nosuchdriver"), None, None, 1, NOVIDEO, 0),
    ("no picture", [MUSIC], {}, None, None, 2, START, 0),
    ("an empty picture", [writes("galleri.jpg", b"")], {}, None, None, 2, START, 0),
    ("a picture of garbage", [writes("galleri.jpg", bytes((i * 37 + 11) % 256 for i in range(5000)))],
     {}, None, None, 2, START, 0),
    ("a folder named as the picture", [writes("galleri.jpg", None)], {}, None, None, 2, START, 0),
    ("a JPEG header alone", [writes("galleri.jpg", b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00"
                                                   b"\x01\x00\x00\xff\xdb")], {}, None, None, 2, START, 0),
    ("no memory for the heat field", [GOOD], dict(SPY_NOFIELD="1"), None, None, 3, START, 0),
    # the whole show to its own end, silent: 75 s at twenty times the speed
    ("the whole show without music", [GOOD], {}, 20, None, 0,
     START + PICTURE + playing("null") + SHOW, 3.5),
    ("SIGINT", [GOOD, MUSIC], {}, None, ends(signal.SIGINT), 0,
     START + PICTURE + playing("music") + SHOW, 0),
    ("SIGTERM", [GOOD, MUSIC], {}, None, ends(signal.SIGTERM), 0,
     START + PICTURE + playing("music") + SHOW, 0),
    # any format and size SDL_image reads runs the whole show
    ("a 1 x 1 picture", [convert("-size", "1x1", "xc:orange")], {}, FAST, None, 0, START + PICTURE + SHOW, 0),
    ("an all black picture", [convert("-size", "300x200", "xc:black")], {}, FAST, None, 0, START + PICTURE, 0),
    ("a picture larger than the screen", [convert("-size", "2000x2000", "xc:orange")], {}, FAST, None, 0,
     START + PICTURE, 0),
    ("a picture taller than the screen", [convert("-size", "1x3000", "xc:orange")], {}, FAST, None, 0,
     START + PICTURE, 0),
    ("a picture wider than the screen", [convert("-size", "3000x1", "xc:orange")], {}, FAST, None, 0,
     START + PICTURE, 0),
    ("a PNG named galleri.jpg", [convert("-size", "300x200", "xc:orange", fmt="png:")], {}, FAST, None, 0,
     START + PICTURE, 0),
    ("a truncated JPEG", [convert("-size", "300x200", "xc:gray", "+noise", "Random", fmt="jpg:", cut=True)],
     {}, FAST, None, 0, START + PICTURE, 0),
]


# on each runtime: (what, set-up, extra environment, clock speed, status);
# each ends within ONCE s, quietly, with SDL shut down
ONCE = 5
EACH = [
    ("no video mode", [GOOD], dict(SDL_VIDEODRIVER="nosuchdriver"), None, 1),
    # ALSA, asked for a card that isn't there, says why from SDL's start
    # and from the mixer's opening
    ("no sound card", [GOOD, MUSIC], dict(SDL_AUDIODRIVER="alsa", ALSA_CARD="nosuchcard"), 50, 0),
    # the GIF's crash comes of SDL's limit on surfaces, which each runtime has
    ("a GIF 16384 wide, which crashed the GIF reader", [writes("galleri.jpg", damage.gifwide())], {}, None, 2),
    ("a PNG that made the PNG library print", [writes("galleri.jpg", damage.pngtalks())], {}, None, 2),
] + [("a " + name, [writes("galleri.jpg", make())], {}, None, 2) for name, make in damage.HANGING.items()]


class Runs(unittest.TestCase):
    def test_every_way_a_run_ends(self):
        for what, setup, extra, speed, act, status, calls, least in RUNS:
            if sr.SANITIZE and "SPY_NOFIELD" in extra:
                continue  # the sanitizers' allocator can't be failed from outside
            with self.subTest(what), sr.workdir() as d:
                for make in setup:
                    make(d)
                log = os.path.join(d, "calls.log")
                t = time.time()
                p = sr.spied(d, log, speed=speed, **extra)
                if act:
                    act(p, log)
                rc, out, err = sr.finish(p, timeout=60)
                took = time.time() - t
                got = sr.calls(log)
                self.assertEqual((rc, out, err), (status, b"", b""))
                self.assertEqual(got[-1:], ["SDL_Quit"], "SDL was not shut down")
                self.assertIsNone(inorder(calls, got), got)
                self.assertEqual(got.count("SDL_Quit"), 1)
                self.assertGreaterEqual(took, least)
                # the fire's seed: the time in whole seconds at start-up,
                # somewhere between the start and the end of the run (a fast
                # clock runs ahead from the moment the show starts)
                seed = [int(l.split()[1]) for l in got if l.startswith("srand ")]
                self.assertEqual(len(seed), 1, got)
                self.assertTrue(int(t) <= seed[0] <= t + took * (speed or 1) + 1, (seed[0], t, took))

    def test_ends_each_runtime_reaches_on_its_own(self):
        for rt in sr.each_runtime(self):
            for what, setup, extra, speed, status in EACH:
                with self.subTest(runtime=rt, what=what), sr.workdir() as d:
                    for make in setup:
                        make(d)
                    log = os.path.join(d, "calls.log")
                    t = time.time()
                    ended = sr.finish(sr.spied(d, log, speed=speed, runtime=rt, **extra), timeout=30)
                    self.assertEqual(ended, (status, b"", b""))
                    self.assertLess(time.time() - t, ONCE * sr.SLACK)
                    self.assertEqual(sr.calls(log)[-1:], ["SDL_Quit"])
                    self.assertEqual(sr.loaded(d), {rt})


def heard(raw):
    """The disk driver's output, left and right, from the first loud frame on."""
    pcm = array.array("h")
    if os.path.exists(raw):
        with open(raw, "rb") as f:
            data = f.read()
        pcm.frombytes(data[:len(data) // 4 * 4])
    left = pcm[0::2]
    start = next((i for i, v in enumerate(left) if abs(v) > 3000), len(left))
    return left[start:], pcm[1::2][start:]


class Music(unittest.TestCase):
    def test_music_reaches_the_audio_output_in_stereo_at_48000(self):
        for rt in sr.each_runtime(self):
            with self.subTest(runtime=rt), sr.workdir() as d:
                sr.picture(d)
                sr.music(d, seconds=4, left=1000, right=375)
                raw = os.path.join(d, "out.raw")
                p = sr.start(d, SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=raw,
                             SDL_DISKAUDIODELAY="10", runtime=rt)
                sr.until("half a second of music in the output",
                         lambda: len(heard(raw)[0]) >= 24000, p)
                p.send_signal(signal.SIGTERM)
                rc, out, err = sr.finish(p)
                self.assertEqual(sr.loaded(d), {rt})
                self.assertEqual(rc, 0)
                self.assertEqual(out, b"")
                # the disk driver, a testing aid of SDL's, warns that it is in
                # use; nothing else may appear
                said = [l for l in err.decode().splitlines()
                        if "disk" not in l and "Writing to file" not in l]
                self.assertEqual(said, [])
                # only the stretch where the music plays: the device may
                # start with silence while the audio is held
                left, right = (c[:24000] for c in heard(raw))
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
