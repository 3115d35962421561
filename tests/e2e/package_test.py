"""The Debian packages, made with cpack into a scratch folder: the show's and
the capture's, each holding what the install rules install for it, with its
own section and dependencies, and neither with an error or a warning from
lintian. Unpacked together into a temporary root they run: the menu entry's
command and the terminal command with the installed picture and music, the
terminal command with a picture of one's own, and the capture with the same
rule for its files."""
import array
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import showrun as sr
from install_test import CAPTURE, appstream, desktop, packages

CPACK = os.environ.get("CPACK", "cpack")
COLOUR = (200, 40, 10)   # no background, flame or smoke pixel has this red
SPEED = 10               # faketime's speed for a show watched on the screen
FAKETIME = "/usr/$LIB/faketime/libfaketime.so.1"   # the loader expands $LIB


def atrest(shot):
    """The own 300 x 200 picture centred, its top on rows 18 to 21."""
    return all(sr.pixel(shot, x, y) == COLOUR for y in range(22, 60, 4) for x in range(173, 467, 4))


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="brindlewock-package-")
        try:
            config = os.path.join(sr.BUILDDIR, "CPackConfig.cmake")
            p = subprocess.run([CPACK, "-G", "DEB", "-B", cls.scratch, "--config", config],
                               capture_output=True, text=True, timeout=600)
            if p.returncode != 0:
                raise AssertionError("cpack failed: " + p.stdout[-3000:] + p.stderr[-3000:])
            with open(config) as f:
                cls.version = re.search(r'set\(CPACK_PACKAGE_VERSION "([^"]*)"\)', f.read()).group(1)
            cls.arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                                      text=True, check=True).stdout.strip()
            cls.debs = sorted(f for f in os.listdir(cls.scratch) if f.endswith(".deb"))
            cls.root = os.path.join(cls.scratch, "root")
            for deb in cls.debs:
                subprocess.run(["dpkg-deb", "-x", os.path.join(cls.scratch, deb), cls.root],
                               check=True, timeout=60)
        except BaseException:
            shutil.rmtree(cls.scratch, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def installed(self, path):
        """An installed absolute path, under the unpacked root."""
        return os.path.join(self.root, path.lstrip("/"))

    def test_packages_hold_the_install_rules_files_and_pass_lintian(self):
        want = packages("usr")
        self.assertEqual(self.debs, sorted("%s_%s_%s.deb" % (p, self.version, self.arch) for p in want))
        # each package's section, and the libraries its programs link; the
        # capture's FFmpeg is its own, and the show's data comes with the show
        # the show's decoder reads songs with FFmpeg and photos with libheif
        own = {"brindlewock": ("games", ["libsdl1.2debian", "libsdl-image1.2", "libsdl-mixer1.2", "libc6",
                                         "libavcodec", "libavformat", "libswresample", "libheif", "libseccomp"]),
               "brindlewock-capture": ("video", ["brindlewock", "libavcodec", "libavformat", "libavutil",
                                                 "libswscale", "libswresample", "libsdl1.2debian", "libc6"])}
        for package, files in want.items():
            with self.subTest(package=package):
                deb = os.path.join(self.scratch, "%s_%s_%s.deb" % (package, self.version, self.arch))
                listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True,
                                         check=True, timeout=60).stdout
                found = {}
                for line in listing.splitlines():
                    mode, owner, _, _, _, path = line.split(None, 5)
                    self.assertEqual(owner, "root/root", line)
                    if not mode.startswith("d"):
                        self.assertIn(mode, ("-rwxr-xr-x", "-rw-r--r--"), line)
                        found[path[2:]] = mode == "-rwxr-xr-x"
                self.assertEqual(found, files)
                fields = dict(line.split(": ", 1) for line in subprocess.run(
                    ["dpkg-deb", "-f", deb, "Package", "Section", "Depends", "Version"],
                    capture_output=True, text=True, check=True, timeout=60).stdout.splitlines())
                section, libs = own[package]
                self.assertEqual((fields["Package"], fields["Section"], fields["Version"]),
                                 (package, section, self.version))
                depends = [d.split()[0] for d in fields["Depends"].split(", ")]
                for lib in libs:
                    self.assertTrue(any(d.startswith(lib) for d in depends), (lib, depends))
                if package == "brindlewock":
                    self.assertFalse([d for d in depends if d.startswith("libswscale")], depends)
                else:
                    self.assertIn("brindlewock (= %s)" % self.version, fields["Depends"])

        p = subprocess.run(["lintian", "--no-cfg", *self.debs], cwd=self.scratch, capture_output=True,
                           text=True, timeout=600)
        said = [l for l in p.stdout.splitlines() if l[:2] in ("E:", "W:")]
        # lintian's appstreamcli fails the metainfo for the home page it
        # lacks alone (Debian 13's; see install_test.appstream)
        meta = self.installed("/usr/share/metainfo/org.brindlewock.brindlewock.metainfo.xml")
        if not appstream(meta):
            said = [l for l in said if " appstream-metadata-validation-failed" not in l]
        self.assertEqual(said, [], p.stdout)

    def test_menu_entry_and_terminal_command_run_the_whole_show(self):
        keys = desktop(self.installed("/usr/share/applications/brindlewock.desktop"))
        self.assertNotIn("%", keys["Exec"])
        with sr.workdir() as empty, sr.workdir() as tmp:
            for name, cwd in (("menu entry", self.installed(keys["Path"])), ("terminal", empty)):
                with self.subTest(name):
                    # faketime's library preloaded without its program, whose
                    # semaphore a killed one leaves behind for a later one of
                    # the same process id to fail on
                    p = subprocess.run([self.installed(keys["Exec"])], cwd=cwd, env=sr.env(speed=50, TMPDIR=tmp),
                                       capture_output=True, timeout=120 * sr.SLACK)
                    self.assertEqual((p.returncode, p.stdout, p.stderr), (0, b"", b""))
                    self.assertEqual(os.listdir(tmp), [])
            self.assertEqual(os.listdir(empty), [])

    def test_own_picture_with_the_installed_music_and_ctrl_c(self):
        with sr.workdir() as d, sr.workdir() as tmp, sr.workdir() as out, sr.xvfb() as display:
            sr.picture(d, w=300, h=200, pixel=lambda x, y: COLOUR)
            raw = os.path.join(out, "audio.raw")
            # a session of its own, so that Ctrl-C can be sent to the whole
            # process group, as a terminal sends it; faketime's library
            # preloaded without its program, which would be in the group too
            p = subprocess.Popen(
                [self.installed("/usr/games/brindlewock")],
                cwd=d, start_new_session=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                env=sr.env(SDL_VIDEODRIVER=None, DISPLAY=display, TMPDIR=tmp,
                           LD_PRELOAD=FAKETIME, FAKETIME="+0 x%d" % SPEED,
                           SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=raw, SDL_DISKAUDIODELAY="10"))
            try:
                sr.findwindow(display, p)
                # the picture at rest and opaque, looked for again and again
                # from 26.5 s of show time, counted from the first frame on
                # the screen, to 45 s (the swinging source's flames pass over
                # its top from about 32 s to 38 s)
                clock = sr.shown(display, p)
                time.sleep(max(0.0, clock + 26.5 / SPEED - time.time()))
                while not atrest(rest := sr.screenshot(display)) and (time.time() - clock) * SPEED < 45:
                    pass
                self.assertIsNone(p.poll(), "the show ended before Ctrl-C")
                os.killpg(p.pid, signal.SIGINT)
                rc, stdout, stderr = sr.finish(p, timeout=30)
                # it ends at Ctrl-C, long before its own end at 75 s
                self.assertLess((time.time() - clock) * SPEED, 65, "Ctrl-C did not end the show")
            finally:
                if p.poll() is None:
                    os.killpg(p.pid, signal.SIGKILL)
                    p.wait()
            self.assertEqual(rc, 0, stderr)
            self.assertEqual(stdout, b"")
            # the disk driver, a testing aid of SDL's, says that it is in use
            said = [l for l in stderr.decode().splitlines() if "disk" not in l and "Writing to file" not in l]
            self.assertEqual(said, [])
            self.assertEqual(os.listdir(tmp), [], "the temporary folder is left behind")
            with self.assertRaises(ProcessLookupError, msg="a process of the show is left"):
                os.killpg(p.pid, 0)
            # the picture of the current directory, centred, its top at row 18 to 21
            self.assertTrue(atrest(rest), "the own picture never showed at rest")
            # the installed music played: the output is not silence
            pcm = array.array("h")
            with open(raw, "rb") as f:
                pcm.frombytes(f.read())
            self.assertGreater(sum(1 for v in pcm if abs(v) > 3000), 48000)

    @unittest.skipUnless(CAPTURE, "brindlewock-capture is not built")
    def test_installed_capture_takes_each_file_from_here_or_installed(self):
        capture = self.installed("/usr/bin/brindlewock-capture")
        args = ["--seed", "3", "--fps", "1", "--scale", "1", "--until", "20000"]
        env = sr.env(SDL_VIDEODRIVER=None, SDL_AUDIODRIVER=None)
        with sr.workdir() as here, sr.workdir() as mine, sr.workdir() as empty:
            # a picture of one's own here: the installed music with it
            sr.picture(here, w=300, h=200, pixel=lambda x, y: COLOUR)
            # the same two in a folder named with --dir, from another directory
            shutil.copy(os.path.join(here, "galleri.jpg"), mine)
            shutil.copy(self.installed("/usr/share/games/brindlewock/musa.ogg"), mine)
            runs = {"here": (here, []), "--dir": (empty, ["--dir", mine]), "installed": (empty, [])}
            made = {}
            for name, (cwd, extra) in runs.items():
                out = name.strip("-") + ".mp4"
                p = subprocess.run([capture, *args, *extra, out], cwd=cwd, env=env,
                                   capture_output=True, timeout=300 * sr.SLACK)
                self.assertEqual((p.returncode, p.stderr), (0, b""), name)
                with open(os.path.join(cwd, out), "rb") as f:
                    made[name] = f.read()
            self.assertEqual(made["here"], made["--dir"])
            self.assertNotEqual(made["here"], made["installed"])
            self.assertEqual(sorted(os.listdir(empty)), ["dir.mp4", "installed.mp4"])


if __name__ == "__main__":
    unittest.main()
