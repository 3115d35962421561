"""Installing: cmake --install puts exactly the expected files in place, for
the prefix installed to, and the desktop entry, the metainfo and the manual
pages pass the checkers that desktops and Debian use; tools/setup installs
the page's packages where a clone lacks them, and tools/fresh removes its
roots and nothing beyond them."""
import email.utils
import gzip
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET

import showrun as sr

CMAKE = os.environ.get("CMAKE", "cmake")
CAPTURE = os.environ.get("CAPTURE", "1") == "1"   # the capture is built
SOURCE = os.path.join(os.path.dirname(__file__), "..", "..")

# tools/setup test on a clone whose web/node_modules is: (missing, or npm
# put it there before or after the lock file last changed), and whether npm
# must install the page's packages
SETUP = [("missing", None, True), ("older than the lock", -60, True), ("newer than the lock", 60, False)]
# tools/fresh remove on a root with scratch folders bound into it, each
# (place in the root, scratch folder), made in order: files of the scratch
# folders must all outlive the root
BINDS = [("nothing mounted", []),
         ("a folder bound into it", [("mnt", 0)]),
         ("a folder bound inside another", [("a", 0), ("a/sub", 1)]),
         ("one folder bound twice", [("x", 0), ("y/z", 0)])]


def packages(prefix="usr"):
    """The installed files under prefix by package, and whether each is a
    program."""
    show = {
        "games/brindlewock": True,
        "lib/games/brindlewock/brindlewock": True,
        "lib/games/brindlewock/brindlewock-decode": True,
        "lib/games/brindlewock/brindlewock-decode-music": True,
        "share/games/brindlewock/galleri.jpg": False,
        "share/games/brindlewock/musa.ogg": False,
        "share/applications/brindlewock.desktop": False,
        "share/metainfo/org.brindlewock.brindlewock.metainfo.xml": False,
        "share/man/man6/brindlewock.6.gz": False,
        "share/doc/brindlewock/copyright": False,
        "share/doc/brindlewock/changelog.gz": False,
    }
    for n in (48, 64, 128, 256):
        show["share/icons/hicolor/%dx%d/apps/brindlewock.png" % (n, n)] = False
    capture = {
        "bin/brindlewock-capture": True,
        "share/man/man1/brindlewock-capture.1.gz": False,
        "share/doc/brindlewock-capture/copyright": False,
        "share/doc/brindlewock-capture/changelog.gz": False,
    }
    found = {"brindlewock": show, "brindlewock-capture": capture} if CAPTURE else {"brindlewock": show}
    return {k: {os.path.join(prefix, f): x for f, x in v.items()} for k, v in found.items()}


def expected(prefix="usr"):
    """All the installed files under prefix, and whether each is a program."""
    return {f: x for files in packages(prefix).values() for f, x in files.items()}


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


# what the metainfo may be told: the project has no web site of its own to
# name as its home page
NOHOMEPAGE = "url-homepage-missing"


def appstream(meta):
    """What appstreamcli says of the metainfo beyond the missing home page
    and its notes (I:) on what an older version doesn't know, as lines."""
    p = subprocess.run(["appstreamcli", "validate", "--no-net", "--no-color", meta],
                       capture_output=True, text=True, timeout=120)
    said = [l for l in p.stdout.splitlines() if re.match(r"[EWI]: ", l)]
    issues = [l for l in said if not l.startswith("I: ") and NOHOMEPAGE not in l]
    # appstreamcli's status is 3 for its warnings, and the home page's is one
    if p.returncode not in (0, 3) or (p.returncode == 3 and not any(NOHOMEPAGE in l for l in said)):
        issues.append("status %d: %s" % (p.returncode, p.stdout + p.stderr))
    return issues


def checkdocs(test, root, prefix):
    """The desktop entry, the metainfo and the manual pages under root pass
    their checkers without a word, and name the installed paths."""
    share = os.path.join(root, prefix, "share")
    entry = os.path.join(share, "applications", "brindlewock.desktop")
    p = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True, timeout=60)
    test.assertEqual((p.returncode, p.stdout, p.stderr), (0, "", ""))
    meta = os.path.join(share, "metainfo", "org.brindlewock.brindlewock.metainfo.xml")
    test.assertEqual(appstream(meta), [])
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


def releases():
    """packaging/releases as [(version, date, [note, ...])], newest first,
    each note's lines joined by one space."""
    found = []
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "packaging", "releases")) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            m = re.match(r"(\d+\.\d+\.\d+) (\d{4}-\d\d-\d\d)$", line.rstrip("\n"))
            if m:
                found.append((m.group(1), m.group(2), []))
            elif line.startswith("* "):
                found[-1][2].append(line[2:].strip())
            else:
                found[-1][2][-1] += " " + line.strip()
    return found


def checkreleases(test, root, prefix):
    """The version the build gives the package, the installed Debian
    changelog and the metainfo's releases all say what packaging/releases
    says."""
    want = releases()
    with open(os.path.join(sr.BUILDDIR, "CPackConfig.cmake")) as f:
        version = re.search(r'set\(CPACK_PACKAGE_VERSION "([^"]*)"\)', f.read()).group(1)
    test.assertEqual(version, want[0][0])
    share = os.path.join(root, prefix, "share")
    for package in packages(prefix):
        log = os.path.join(share, "doc", package, "changelog")
        with gzip.open(log + ".gz") as f, open(log, "wb") as out:
            out.write(f.read())
        p = subprocess.run(["dpkg-parsechangelog", "-l", log, "--all", "--format", "rfc822"],
                           capture_output=True, text=True, timeout=60)
        os.unlink(log)
        test.assertEqual((p.returncode, p.stderr), (0, ""))
        got = []
        for stanza in p.stdout.strip().split("\n\n"):
            fields = dict(re.findall(r"^(\w+): (.*)$", stanza, re.M))
            changes = stanza.split("\nChanges:\n", 1)[1].split("\n")
            notes = " ".join(l.strip() for l in changes[1:] if l.strip() not in ("", "."))
            notes = notes.split("* ")[1:]
            when = email.utils.parsedate_to_datetime(fields["Date"])
            got.append((fields["Version"], when.strftime("%Y-%m-%d"), [n.strip() for n in notes]))
        test.assertEqual(got, want, package)
    meta = ET.parse(os.path.join(share, "metainfo", "org.brindlewock.brindlewock.metainfo.xml"))
    got = [(r.get("version"), r.get("date"), [" ".join(li.text.split()) for li in r.iter("li")])
           for r in meta.getroot().find("releases")]
    test.assertEqual(got, want)


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
                checkreleases(self, dest, prefix)

    @unittest.skipUnless(CAPTURE, "brindlewock-capture is not built")
    def test_programs_find_the_data_from_folders_of_other_depths(self):
        # a build of the two programs alone that installs the command three
        # folders deep and the data elsewhere: each program finds the data
        # from its own folder
        source = os.path.join(os.path.dirname(__file__), "..", "..")
        with tempfile.TemporaryDirectory(dir=sr.BUILDDIR) as build, sr.workdir() as dest, sr.workdir() as empty:
            folders = ["-DBRINDLEWOCK_INSTALL_GAMESDIR=lib/brindlewock/games/bin",
                       "-DBRINDLEWOCK_INSTALL_DATADIR=share/brindlewock-data"]
            for step in ([CMAKE, "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DBRINDLEWOCK_TOOLS=OFF",
                          "-DBRINDLEWOCK_BENCH=OFF", "-DBRINDLEWOCK_WEB=OFF", "-DBUILD_TESTING=OFF", *folders],
                         [CMAKE, "--build", build, "-j2", "--target", "brindlewock", "brindlewock-capture"],
                         [CMAKE, "--install", build, "--prefix", "/usr"]):
                p = subprocess.run(step, env=dict(os.environ, DESTDIR=dest), capture_output=True, text=True,
                                   timeout=900)
                self.assertEqual(p.returncode, 0, p.stdout[-2000:] + p.stderr[-2000:])
            for name, run in (("command", [os.path.join(dest, "usr/lib/brindlewock/games/bin/brindlewock")]),
                              ("capture", [os.path.join(dest, "usr/bin/brindlewock-capture"), "--until", "0",
                                           "--scale", "1", "out.mp4"])):
                with self.subTest(name):
                    p = subprocess.run(run, cwd=empty, env=sr.env(speed=100), capture_output=True, timeout=120)
                    self.assertEqual((p.returncode, p.stderr), (0, b""))


def mounts(under):
    """The mount points at or under a folder."""
    with open("/proc/self/mountinfo") as f:
        points = [l.split()[4] for l in f]
    return [m for m in points if m == under or m.startswith(under + "/")]


class Tools(unittest.TestCase):
    def test_setup_installs_the_pages_packages_where_a_clone_lacks_them(self):
        with open(os.path.join(SOURCE, "web", "package-lock.json")) as f:
            lock = json.load(f)["packages"]
        names = [k for k in lock if k.count("node_modules/") == 1 and not lock[k].get("optional")]
        for state, age, installs in SETUP:
            with self.subTest(node_modules=state), sr.workdir() as clone:
                for f in ("tools/setup", "web/package.json", "web/package-lock.json"):
                    os.makedirs(os.path.dirname(os.path.join(clone, f)), exist_ok=True)
                    shutil.copy2(os.path.join(SOURCE, f), os.path.join(clone, f))
                web = os.path.join(clone, "web")
                if age is not None:
                    os.makedirs(os.path.join(web, "node_modules"))
                    marker = os.path.join(web, "node_modules", ".package-lock.json")
                    open(marker, "w").close()
                    when = os.stat(os.path.join(web, "package-lock.json")).st_mtime + age
                    os.utime(marker, (when, when))
                p = subprocess.run([os.path.join(clone, "tools", "setup"), "test"], capture_output=True, text=True,
                                   timeout=600)
                self.assertEqual(p.returncode, 0, p.stderr[-2000:])
                got = {n: os.path.exists(os.path.join(web, n, "package.json")) for n in names}
                self.assertEqual(got, {n: installs for n in names}, p.stderr[-2000:])

    def test_fresh_removes_its_root_and_nothing_beyond_it(self):
        if os.getuid() != 0:
            sr.skip(self, "tools/fresh runs as root, which this test is not")
        for what, binds in BINDS:
            with self.subTest(what), sr.workdir() as a, sr.workdir() as b:
                outside = [os.path.realpath(a), os.path.realpath(b)]
                for d in outside:
                    os.makedirs(os.path.join(d, "sub"))
                    with open(os.path.join(d, "keep"), "w") as f:
                        f.write(d)
                root = os.path.realpath(tempfile.mkdtemp(prefix="fresh-test-"))
                try:
                    for place, i in binds:
                        os.makedirs(os.path.join(root, place), exist_ok=True)
                        subprocess.run(["mount", "--bind", outside[i], os.path.join(root, place)], check=True)
                    p = subprocess.run([os.path.join(SOURCE, "tools", "fresh"), "remove", root],
                                       capture_output=True, text=True, timeout=60)
                    self.assertEqual((p.returncode, p.stderr), (0, ""))
                    self.assertFalse(os.path.exists(root))
                    self.assertEqual(mounts(root), [])
                    for d in outside:
                        with open(os.path.join(d, "keep")) as f:
                            self.assertEqual((sorted(os.listdir(d)), f.read()), (["keep", "sub"], d))
                finally:
                    for m in sorted(mounts(root), reverse=True):
                        subprocess.run(["umount", "-l", m])
                    subprocess.run(["rm", "-rf", "--one-file-system", root])


if __name__ == "__main__":
    unittest.main()
