"""Damaged copies of small JPEG, PNG, BMP and GIF pictures and of a short
Ogg file, each run through start-up and the frames of a whole show on a
clock a thousand times as fast: a picture ends the show with status 0 or 2,
music with 0 (silent or not); none hangs, crashes, prints or makes a
sanitizer report.

BRINDLEWOCK_FUZZ_SEED and BRINDLEWOCK_FUZZ_CASES pick the seed and the
number of cases (every fifth of them music); the same seed gives the same
cases."""
import concurrent.futures
import os
import random
import shutil
import subprocess
import tempfile
import unittest

import damage
import showrun as sr

SEED = int(os.environ.get("BRINDLEWOCK_FUZZ_SEED", "2"))
# fewer under the sanitizers, which watch the show's own code: the
# decoders' libraries are never instrumented, and the first cases of a seed
# are the same in both builds
CASES = int(os.environ.get("BRINDLEWOCK_FUZZ_CASES", "60" if sr.SANITIZE else "100"))
SPEED = 1000        # the clock runs this many times as fast: 75 ms for the whole show
# not a speed: a case that has not ended in this long hangs; the decoders'
# own limits are on CPU time, which a busy machine stretches into far more
# of the clock's
CASETIME = 120
PARALLEL = 2        # cases at a time


def bases(d):
    """The undamaged files, by kind, the same bytes every time."""
    jpg = os.path.join(d, "base.jpg")
    subprocess.run(["convert", "-size", "48x32", "gradient:orange-navy", "-strip", "-quality", "80", jpg],
                   check=True)
    sr.bmp(os.path.join(d, "base.bmp"), 48, 32, lambda x, y: (x * 5, y * 7, 100))
    sr.music(d, seconds=0.5, name="base.ogg")
    files = {}
    for kind in ("jpg", "bmp", "ogg"):
        with open(os.path.join(d, "base." + kind), "rb") as f:
            files[kind] = f.read()
    files["png"] = damage.png(48, 32, lambda x, y: (x * 5, y * 7, 100), text=b"a small picture")
    files["gif"] = damage.gif(48, 32, lambda x, y: (x // 12 + y // 8) % 4, comment=b"a small picture")
    return files


def case(files, i):
    """Case i: (kind, damage names, damaged bytes)."""
    r = random.Random("%d:%d" % (SEED, i))
    kind = ("jpg", "png", "bmp", "gif", "ogg")[i % 5]
    data, done = files[kind], []
    for _ in range(1 if r.random() < 0.7 else 2):
        hurt = r.choice(damage.DAMAGE)
        data = hurt(r, data) or data[:1]   # a byte left for the next damage
        done.append(hurt.__name__)
    return kind, done, data


class Fuzz(unittest.TestCase):
    def test_damaged_files_end_the_show_quietly(self):
        top = tempfile.mkdtemp(prefix="brindlewock-fuzz-")
        keep = False   # what failed stays for a look
        try:
            files = bases(top)
            reports = os.path.join(top, "reports")
            os.mkdir(reports)
            extra = {}
            if sr.SANITIZE:
                # standard error is hushed while the files are decoded
                e = sr.env()
                extra["ASAN_OPTIONS"] = e["ASAN_OPTIONS"] + ":log_path=" + os.path.join(reports, "asan")
                extra["UBSAN_OPTIONS"] = e["UBSAN_OPTIONS"] + ":log_path=" + os.path.join(reports, "ubsan")
            with concurrent.futures.ThreadPoolExecutor(PARALLEL) as pool:
                failed = [f for f in pool.map(lambda i: run(top, files, i, extra), range(CASES)) if f]
            said = sorted(os.listdir(reports))
            keep = bool(failed or said)
            self.assertEqual(failed, [], "seed %d: %d of %d cases failed" % (SEED, len(failed), CASES))
            self.assertEqual(said, [], "sanitizer reports in " + reports)
        finally:
            if not keep:
                shutil.rmtree(top, ignore_errors=True)


def run(top, files, i, extra):
    """Runs case i in a folder of its own under top; None when it passes,
    else what went wrong, the folder kept."""
    kind, done, data = case(files, i)
    d = os.path.join(top, "case%d" % i)
    os.mkdir(d)
    if kind == "ogg":
        with open(os.path.join(d, "galleri.jpg"), "wb") as f:
            f.write(files["bmp"])
        name, want = "musa.ogg", (0,)
    else:
        name, want = "galleri.jpg", (0, 2)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)
    try:
        p = subprocess.run([sr.BIN], cwd=d, env=sr.env(speed=SPEED, **extra), capture_output=True,
                           timeout=CASETIME * sr.SLACK)
        got = (p.returncode, p.stdout, p.stderr)
    except subprocess.TimeoutExpired:
        got = ("no end in %d s" % (CASETIME * sr.SLACK), b"", b"")
    if got[0] in want and not got[1] and not got[2]:
        shutil.rmtree(d)
        return None
    return "case %d (%s, %s): status %s, printed %r %r, kept in %s" % (
        i, kind, " + ".join(done), got[0], got[1][:200], got[2][:200], d)


if __name__ == "__main__":
    unittest.main()
