"""Installing: cmake --install puts exactly the expected files in place, for
the prefix installed to, and the desktop entry, the metainfo and the manual
pages pass the checkers that desktops and Debian use."""
import os
import subprocess
import unittest

import showrun as sr

CMAKE = os.environ.get("CMAKE", "cmake")
CAPTURE = os.environ.get("CAPTURE", "1") == "1"   # the capture is built


def expected(prefix="usr"):
    """The installed files under prefix, and whether each is a program."""
    files = {
        "games/brindlewock": True,
        "lib/games/brindlewock/brindlewock": True,
        "share/games/brindlewock/galleri.jpg": False,
        "share/games/brindlewock/musa.ogg": False,
        "share/applications/brindlewock.desktop": False,
        "share/metainfo/org.brindlewock.brindlewock.metainfo.xml": False,
        "share/man/man6/brindlewock.6.gz": False,
        "share/doc/brindlewock/copyright": False,
        "share/doc/brindlewock/changelog.gz": False,
    }
    for n in (48, 64, 128, 256):
        files["share/icons/hicolor/%dx%d/apps/brindlewock.png" % (n, n)] = False
    if CAPTURE:
        files["bin/brindlewock-capture"] = True
        files["share/man/man1/brindlewock-capture.1.gz"] = False
    return {os.path.join(prefix, f): x for f, x in files.items()}


def tree(root):
    """The files under root, and whether each is executable."""
    found = {}
    for d, _, names in os.walk(root):
        for n in names:
            p = os.path.join(d, n)
            found[os.path.relpath(p, root)] = os.access(p, os.X_OK)
    return found


def desktop(path):
    """The keys of a desktop entry's [Desktop Entry] group."""
    keys = {}
    with open(path) as f:
        for line in f:
            if "=" in line and not line.startswith("#"):
                k, v = line.rstrip("\n").split("=", 1)
                keys[k] = v
    return keys


def checkdocs(test, root, prefix):
    """The desktop entry, the metainfo and the manual pages under root pass
    their checkers without a word, and name the installed paths."""
    share = os.path.join(root, prefix, "share")
    entry = os.path.join(share, "applications", "brindlewock.desktop")
    p = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True, timeout=60)
    test.assertEqual((p.returncode, p.stdout, p.stderr), (0, "", ""))
    meta = os.path.join(share, "metainfo", "org.brindlewock.brindlewock.metainfo.xml")
    p = subprocess.run(["appstreamcli", "validate", "--no-net", "--no-color", meta],
                       capture_output=True, text=True, timeout=120)
    test.assertEqual(p.returncode, 0, p.stdout + p.stderr)
    data = "/%s/share/games/brindlewock" % prefix
    for page in ("man6/brindlewock.6.gz", "man1/brindlewock-capture.1.gz")[:1 + CAPTURE]:
        path = os.path.join(share, "man", page)
        with test.subTest(page=page):
            p = subprocess.run(["mandoc", "-T", "lint", "-W", "all", path],
                               capture_output=True, text=True, timeout=60)
            test.assertEqual((p.returncode, p.stdout, p.stderr), (0, "", ""))
            p = subprocess.run(["man", "--warnings", "-l", path], capture_output=True, text=True,
                               timeout=60, env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8"))
            test.assertEqual((p.returncode, p.stderr), (0, ""))
            # the page says where the installed picture and music are, for this prefix
            test.assertTrue(data in " ".join(p.stdout.split()), "%s does not name %s" % (page, data))


class Install(unittest.TestCase):
    def test_install_rules_and_what_they_write(self):
        for prefix in ("usr", "opt/brindlewock"):
            with self.subTest(prefix=prefix), sr.workdir() as dest:
                p = subprocess.run([CMAKE, "--install", sr.BUILDDIR, "--prefix", "/" + prefix],
                                   env=dict(os.environ, DESTDIR=dest), capture_output=True,
                                   text=True, timeout=120)
                self.assertEqual(p.returncode, 0, p.stderr)
                self.assertEqual(tree(dest), expected(prefix))
                # the menu starts the command in the installed data folder
                keys = desktop(os.path.join(dest, prefix, "share/applications/brindlewock.desktop"))
                self.assertEqual(keys["Exec"], "/%s/games/brindlewock" % prefix)
                self.assertEqual(keys["Path"], "/%s/share/games/brindlewock" % prefix)
                self.assertEqual(keys["Icon"], "brindlewock")
                checkdocs(self, dest, prefix)


if __name__ == "__main__":
    unittest.main()
