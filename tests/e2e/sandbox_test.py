"""The decoders' sandbox, end to end. A decoder that the preloaded hostile
library makes misbehave (abort, loop without reading, fault holding the
allocator's lock, wait for ever, allocate without end, open or write a
file, answer short or lie) is stopped: in the picture's decoder the show
ends with status 2, printing nothing, SDL shut down, before its first
frame; in the music's, the show runs silent to its end with 0. A FIFO in
the picture's place ends the show the same way, and does not hang it."""
import concurrent.futures
import fcntl
import os
import subprocess
import time
import unittest

import showrun as sr

HOSTILE = os.path.abspath(os.path.join(sr.BUILDDIR, "tests", "libhostile.so"))
SPEED = 100         # the show's clock: a whole show in 0.75 s
AT_ONCE = 8         # s a stopped decoder may hold loading up, well inside the show's wait
WAIT = 15           # s the show waits for a decoder's answer (maxwait)

# case, the file it is in, what the show must end with (status, silent), and
# the most seconds loading may take; the longest first
CASES = [(how, file, end, took) for file, end in (("galleri.jpg", (2, None)), ("musa.ogg", (0, True)))
         for how, took in (
             ("spin", WAIT + AT_ONCE),   # stopped by its CPU time or the show's wait, whichever ends first
             ("deadlock", WAIT + AT_ONCE),
             ("abort", AT_ONCE),
             ("lockfault", AT_ONCE),     # SDL's handlers would wait for the lock for ever
             ("hog", AT_ONCE),
             ("open", AT_ONCE),
             ("write", AT_ONCE),
             ("short", AT_ONCE),
             ("lie", AT_ONCE),
         )] + [("fifo", "galleri.jpg", (2, None), AT_ONCE)]


def run(d, how, file):
    """Runs the show, spied on, with the decoder of file misbehaving as how
    says; returns (status, stdout, stderr), the SDL calls, the seconds
    loading took (to the play request or the show's end) and the seconds
    the show took. The show is handed the file "written", open for writing,
    on a descriptor above any the show opens itself."""
    sr.picture(d)
    sr.music(d, seconds=1)
    extra = {"LD_PRELOAD": HOSTILE + " " + sr.SPY, "SPY_LOG": os.path.join(d, "calls.log")}
    with open(os.path.join(d, "written"), "wb") as f:
        written = fcntl.fcntl(f.fileno(), fcntl.F_DUPFD, 64)
        if how == "fifo":
            os.unlink(os.path.join(d, file))
            os.mkfifo(os.path.join(d, file))
        else:
            extra.update(HOSTILE="%s:%s" % ("picture" if file == "galleri.jpg" else "music", how),
                         HOSTILE_FD=str(written))
        t = time.time()
        p = subprocess.Popen([sr.BIN], cwd=d, env=sr.env(speed=SPEED, **extra), pass_fds=(written,),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        os.close(written)
        sr.until("the end of loading", lambda: p.poll() is not None or any(
            c.startswith("Mix_PlayChannelTimed") for c in sr.calls(extra["SPY_LOG"])), timeout=60)
        loading = time.time() - t
        ended = sr.finish(p, timeout=60)
    return ended, sr.calls(extra["SPY_LOG"]), loading, time.time() - t


def case(how, file):
    """run() in a folder of its own; what it returns, and whether the file
    "hostile.out" appeared and the size of "written" after"""
    with sr.workdir() as d:
        got = run(d, how, file)
        return got + (os.path.exists(os.path.join(d, "hostile.out")), os.path.getsize(os.path.join(d, "written")))


class Sandbox(unittest.TestCase):
    def test_misbehaving_decoders_are_stopped(self):
        # six at a time: most of a case is waiting on a decoder that is
        # stopped or on the show's clock
        with concurrent.futures.ThreadPoolExecutor(6) as pool:
            runs = [pool.submit(case, how, file) for how, file, _, _ in CASES]
        for (how, file, (status, silent), most), r in zip(CASES, runs):
            with self.subTest(how=how, file=file):
                ended, calls, loading, took, out, written = r.result()
                self.assertEqual(ended, (status, b"", b""))
                self.assertEqual(calls[-1:], ["SDL_Quit"])
                if silent:
                    self.assertIn("Mix_PlayChannelTimed -1 null 0 -1", calls)
                    self.assertGreater(took, 75 / SPEED)
                else:
                    self.assertNotIn("SDL_Flip screen", calls)
                self.assertLess(loading, most)
                self.assertFalse(out, "the decoder made a file")
                self.assertEqual(written, 0, "the decoder wrote to a file it was handed")


if __name__ == "__main__":
    unittest.main()
