"""The installed command, brindlewock [PICTURE [MUSIC]], from an install tree
in a scratch folder, watched through the spy library's log of the show's SDL
calls: files of any name, the private folder's places and its clean-up, and
the signals that end it."""
import os
import shutil
import signal
import subprocess
import tempfile
import unittest

import showrun as sr

CMAKE = os.environ.get("CMAKE", "cmake")
SPEED = 100   # a whole show in under a second


class Command(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="command-", dir=sr.BUILDDIR)
        subprocess.run([CMAKE, "--install", sr.BUILDDIR, "--component", "show", "--prefix", "/usr"],
                       env=dict(os.environ, DESTDIR=cls.root), check=True, capture_output=True, timeout=120)
        cls.command = os.path.join(cls.root, "usr/games/brindlewock")
        data = os.path.join(cls.root, "usr/share/games/brindlewock")
        cls.picture = subprocess.run(["identify", "-format", "%wx%h", os.path.join(data, "galleri.jpg")],
                                     capture_output=True, text=True, check=True).stdout
        # the installed music's samples, as the mixer holds them: 16-bit stereo
        samples = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a", "-show_entries",
                                  "stream=duration_ts", "-of", "csv=p=0", os.path.join(data, "musa.ogg")],
                                 capture_output=True, text=True, check=True).stdout
        cls.music = str(int(samples) * 4)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def start(self, cwd, args, log, speed=SPEED, prefix=(), **extra):
        # a session of its own, so that Ctrl-C can be sent to its whole
        # process group as a terminal sends it
        return subprocess.Popen([*prefix, self.command, *args], cwd=cwd, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, start_new_session=True,
                                env=sr.env(speed=speed, LD_PRELOAD=sr.SPY, SPY_LOG=log, **extra))

    def loaded(self, log):
        """The size of the picture and the music the show loaded, from the
        spy's log."""
        got = []
        for l in sr.calls(log):
            w = l.split()
            if w[0].startswith("SDL_CreateRGBSurface") and w[-1] == "picture":
                got.append("%sx%s" % (w[1], w[2]))
            elif w[0] == "Mix_QuickLoad_RAW" and w[-1] == "music":
                got.append(w[1])
        return got

    def test_pictures_and_music_of_any_name(self):
        with sr.workdir() as d, sr.workdir() as run:
            os.mkdir(os.path.join(d, "Bilder för mig"))
            # the arguments as given, the picture's size, and whether music of
            # one's own plays (a second of it) or the installed music; a TGA,
            # which has no signature, is known by its name alone, a name
            # taken as a pattern would match the other two beside it, and a
            # camera's photo is shown whole, fitted to the picture's place;
            # with none named, the installed picture, not one's own
            cases = [
                (["-my cat.bmp"], "37x23", False),
                (["--", "--help"], "41x29", False),
                ([os.path.join(d, "Bilder för mig", "kät ☃.bmp"), "sång -1.ogg"], "53x31", True),
                (["photo.tga"], "43x27", False),
                (["pic?*[1].bmp"], "29x19", False),
                (["IMG_1234.JPG"], "405x304", False),
                ([], None, False),
            ]
            sr.music(d, seconds=1, name="sång -1.ogg")
            for other in ("pic11.bmp", "pic?*1.bmp"):
                sr.picture(d, w=11, h=11, name=other)
            for args, size, music in cases:
                with self.subTest(args=args):
                    size = size or self.picture
                    w, h = map(int, size.split("x"))
                    name = os.path.join(d, args[-2 if music else -1] if args else "none.bmp")
                    if not args:
                        pass
                    elif name.endswith(".JPG"):
                        subprocess.run(["convert", "-size", "4032x3024", "xc:#808080", name], check=True)
                    else:
                        sr.picture(d, w=w, h=h, name=name)
                    if name.endswith(".tga"):
                        subprocess.run(["convert", "bmp:" + name, "tga:" + name], check=True)
                    log = os.path.join(run, "calls.log")
                    if os.path.exists(log):
                        os.unlink(log)
                    p = self.start(d, args, log, XDG_RUNTIME_DIR=run)
                    rc, out, err = sr.finish(p, timeout=60)
                    self.assertEqual((rc, out, err), (0, b"", b""))
                    self.assertEqual(self.loaded(log), [size, "192000" if music else self.music])
                    self.assertIn("BRINDLEWOCK_OWNPICTURE " + ("1" if args else "unset"), sr.calls(log))
                    self.assertEqual(os.listdir(run), ["calls.log"], "the private folder is left")

    def test_photos_people_have_are_shown_upright(self):
        # each fitted, its red corner top left and its green one top right
        # in the pixels the show is handed
        with sr.workdir() as d:
            for name, size in sr.photos(d):
                with self.subTest(photo=name), sr.workdir() as run:
                    log = os.path.join(run, "calls.log")
                    self.assertEqual(sr.finish(self.start(d, [name], log, XDG_RUNTIME_DIR=run), timeout=60),
                                     (0, b"", b""))
                    corners = [l.split()[2:] for l in sr.calls(log) if l.startswith("picture corners ")]
                    self.assertEqual((self.loaded(log)[0], len(corners)), ("%dx%d" % size, 1))
                    (r, g, _), (r2, g2, _) = (bytes.fromhex(c) for c in corners[0])
                    self.assertTrue(r > 0xc0 and g < 0x40 and g2 > 0xc0 and r2 < 0x40, corners)

    def test_own_files_that_cant_be_read_are_named_with_the_kinds_read(self):
        # a HEIC cut short, a panorama a pixel over the largest side, and a
        # song that is not one: one line, before the show's first frame
        with sr.workdir() as d:
            sr.unread(d)
            for args, words in sr.UNREAD:
                with self.subTest(args=args), sr.workdir() as run:
                    log = os.path.join(run, "calls.log")
                    rc, out, err = sr.finish(self.start(d, args, log, XDG_RUNTIME_DIR=run), timeout=60)
                    self.assertEqual((rc, out, os.listdir(run)), (2, b"", ["calls.log"]), err)
                    self.assertRegex(err.decode(), r"\Abrindlewock: %s\n\Z" % words)
                    self.assertNotIn("SDL_Flip screen", sr.calls(log))

    def test_refusals_say_why_in_one_line(self):
        # (arguments, variables, words of the one line), none starting the
        # show; each name holds pattern characters that match another file
        cases = [(["--bogus"], {}, "unknown option --bogus"), (["a.bmp", "b.ogg", "c*"], {}, "not also c*"),
                 ([""], {}, '"": no such file'), (["pic?.bmp"], {}, "pic?.bmp: no such file"),
                 (["Bilder*"], {}, "Bilder*: a folder, not a file"),
                 (["pic1.bmp", "Bilder*"], {}, "Bilder*: a folder, not a file"),
                 (["pipe?.png"], {}, "pipe?.png: a FIFO, not a file"),
                 # root opens any file: the spy refuses this one
                 (["secret?.png"], {"SPY_NOREAD": "secret?.png"}, "secret?.png: can't be read: Permission denied"),
                 (["pic1.bmp"], {"XDG_RUNTIME_DIR": None, "TMPDIR": "none", "SPY_NOMKDIR": "/tmp"},
                  "pic1.bmp: can't be shown: no private folder for it can be made in /tmp")]
        with sr.workdir() as d:
            for name in ("pic1.bmp", "secret?.png", "secret1.png", "pipe1.png", "Bilder1"):
                sr.picture(d, name=name)
            os.mkdir(os.path.join(d, "Bilder*"))
            os.mkfifo(os.path.join(d, "pipe?.png"))
            for args, extra, words in cases:
                with self.subTest(args=args, **extra), sr.workdir() as run:
                    p = self.start(d, args, os.path.join(run, "calls.log"), **{"XDG_RUNTIME_DIR": run, **extra})
                    rc, out, err = sr.finish(p, timeout=30)
                    self.assertEqual((rc, out, os.listdir(run)), (2, b"", []), "%r, or the show started" % err)
                    self.assertRegex(err.decode(), r"\Abrindlewock: [^\n]*\n\Z")
                    self.assertIn(words, err.decode())

    def test_no_private_folder_runs_the_installed_picture(self):
        # only music here, TMPDIR no folder, no XDG_RUNTIME_DIR and no folder
        # to be made in /tmp
        with sr.workdir() as d, sr.workdir() as run:
            sr.music(d, seconds=1)
            log = os.path.join(run, "calls.log")
            p = self.start(d, [], log, TMPDIR=os.path.join(d, "none"), XDG_RUNTIME_DIR=None, SPY_NOMKDIR="/tmp")
            rc, out, err = sr.finish(p, timeout=60)
            self.assertEqual((rc, out, err), (0, b"", b""))
            self.assertEqual(self.loaded(log), [self.picture, self.music])

    def held(self, cwd, run, name, **extra):
        """A command with a picture of its own whose show is held before SDL
        starts, once the show is there; its log."""
        log = os.path.join(cwd, name + ".log")
        p = self.start(cwd, ["own.bmp"], log, speed=None, SPY_HOLD=os.path.join(cwd, "never"),
                       XDG_RUNTIME_DIR=run, **extra)
        sr.until("the show of " + name, lambda: any(l.startswith("srand") for l in sr.calls(log)), p)
        return p

    def test_killed_commands_folder_goes_at_the_next_start(self):
        with sr.workdir() as d, sr.workdir() as top:
            # a place whose name, taken as a pattern, would be its sibling's
            run = os.path.join(top, "r[u]n")
            for f in (run, os.path.join(top, "run")):
                os.mkdir(f)
            sr.picture(d, name="own.bmp")
            killed = self.held(d, run, "killed")
            with open("/proc/%d/task/%d/children" % (killed.pid, killed.pid)) as f:
                show = int(f.read().split()[0])
            running = self.held(d, run, "running")
            try:
                folders = {p.pid: [f for f in os.listdir(run) if f.startswith("brindlewock.%d." % p.pid)]
                           for p in (killed, running)}
                self.assertEqual([len(f) for f in folders.values()], [1, 1], os.listdir(run))
                killed.kill()
                killed.wait()
                os.kill(show, signal.SIGKILL)
                sr.finish(killed)
                self.assertEqual(sorted(os.listdir(run)), sorted(sum(folders.values(), [])))
                p = self.start(d, ["own.bmp"], os.path.join(d, "next.log"), XDG_RUNTIME_DIR=run)
                self.assertEqual(sr.finish(p, timeout=60), (0, b"", b""))
                self.assertEqual(os.listdir(run), folders[running.pid])
            finally:
                # each command in a process group of its own with its show
                for p in (killed, running):
                    try:
                        os.killpg(p.pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
                    p.communicate()

    def test_signals_end_the_held_show_with_status_0(self):
        # SIGTERM to the command, and Ctrl-C to the terminal's whole process
        # group, while the show is held before SDL is started: the show
        # keeps the signal until SDL is there to make a quit of it, and
        # then ends with 0 at once
        for name, sig, group in (("SIGTERM", signal.SIGTERM, False), ("Ctrl-C", signal.SIGINT, True)):
            with self.subTest(name), sr.workdir() as d, sr.workdir() as run:
                sr.picture(d, name="own.bmp")
                p = self.held(d, run, name)
                (os.killpg if group else os.kill)(p.pid, sig)
                open(os.path.join(d, "never"), "w").close()
                rc, out, err = sr.finish(p, timeout=30)
                self.assertEqual((rc, out, err), (0, b"", b""))
                self.assertEqual(os.listdir(run), [])


if __name__ == "__main__":
    unittest.main()
