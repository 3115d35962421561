"""End-to-end tests of brindlewock-capture's refusals and failures: every
way it refuses or fails, each in one line that leaves nothing behind, the
files of one's own it can't read, and its files put in place or kept
whole when their names are taken. What it writes is capture_test's."""
import os
import re
import shutil
import signal
import subprocess
import time
import unittest
from pathlib import Path

import damage
import showrun as sr
from caprun import BIN, KEPT, assets, capture, each, start, y4m


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


class Refusals(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        assert os.path.exists(BIN), BIN + " is not built: are FFmpeg's -dev packages missing?"

    def setUp(self):
        self.d = self.enterContext(sr.workdir())

    def files(self, d=None):
        return sorted(os.listdir(d or self.d))

    def test_refusals_say_why_in_one_line_and_leave_nothing(self):
        # the picture and the 2 s of music capture_test's shared show reads
        base = os.path.join(self.d, "base")
        os.mkdir(base)
        assets(base, 2.0, ogg=True)
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
