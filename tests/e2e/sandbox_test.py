"""The decoders' program, end to end. A decoder that the preloaded hostile
library makes misbehave (abort, loop without reading, fault holding the
allocator's lock, wait for ever, allocate without end, open or write a
file from its own thread or from one started before it was confined, fork,
signal the show, answer short, early, slowly, or with a size, a length or a
surface's format that can't be right) is stopped: in the picture's decoder
the show ends with status 2, printing nothing, SDL shut down, before its
first frame; in the music's, the show runs silent to its end with 0; and
no process of the decoder's is left. The capture says in words what the
decoder did. A FIFO in the picture's place ends the show the same way, and
a user's lower memory limit is taken. While a decoder runs, it holds
nothing of the show's (memory, variables, descriptors, session, folder),
every thread of it is confined (libde265's worker too, as a HEIC
decodes), its limits are set, and Ctrl-C or SIGTERM end the show with 0
and the capture as interrupted, at once."""
import concurrent.futures
import fcntl
import os
import re
import resource
import signal
import subprocess
import time
import unittest

import showrun as sr
from decoders import decoders, hostile, leftover, view

CAPTURE = os.path.abspath(os.path.join(sr.BUILDDIR, "brindlewock-capture"))
SPEED = 100         # the show's clock: a whole show in 0.75 s
AT_ONCE = 8         # s a stopped decoder may hold loading up, well inside the show's wait
WAIT = 15           # s the show waits for a decoder's answer (maxwait)
SHOWMEM = 400 << 10 # KiB the show may reach: far less than a lying decoder's gibibyte

# case, the file it is in, what the show must end with (status, silent), and
# the seconds loading is expected to take, the longest first (the capture's
# words below tell a refusal from a time-out, not a clock). "ulimit" runs a
# well-behaved decoder under a user's memory limit lower than its own
# wish: the show ends normally.
CASES = [(how, file, end, took) for file, end in (("galleri.jpg", (2, None)), ("musa.ogg", (0, True)))
         for how, took in (
             ("spin", WAIT + AT_ONCE),   # stopped by its CPU time or the show's wait, whichever ends first
             ("deadlock", WAIT + AT_ONCE),
             ("trickle", WAIT),          # stopped once its answer is too slow
             ("abort", AT_ONCE),
             ("lockfault", AT_ONCE),     # SDL's handlers would wait for the lock for ever
             ("hog", AT_ONCE),
             ("open", AT_ONCE),
             ("write", AT_ONCE),
             ("thread", AT_ONCE),
             ("fork", AT_ONCE),
             ("signal", AT_ONCE),
             ("short", AT_ONCE),
             ("lie", AT_ONCE),
             ("long", AT_ONCE),          # refused at its head, though the decoder waits on
             ("gib", AT_ONCE),
             ("early", AT_ONCE),         # answered while the show still sends a 32 MiB file
         )] + [(how, "galleri.jpg", (2, None), AT_ONCE)
               for how in ("negative", "zero", "tall", "key", "ones", "overlap", "fifo")] + [
             ("picture", "musa.ogg", (0, True), AT_ONCE)] + [
             ("ulimit", file, (0, False), AT_ONCE) for file in ("galleri.jpg", "musa.ogg")
             if not sr.SANITIZE]  # the sanitizers' shadow memory needs terabytes of address space
ULIMIT = 800000 << 10  # bytes of address space: the show runs in it, the decoder wants more
DATALIMIT = 128 << 20  # bytes of data: the show runs in it, not with the largest picture's 256 MiB more

# what the capture says of the picture's decoder (and of the music's); a
# spinning one may meet the show's wait before its CPU time on a busy
# machine
WRONG = "its decoder gave an answer that can't be right"
WORDS = [
    ("picture", "deadlock", "its decoder took longer than it may (15 s)"),
    ("picture", "spin", r"its decoder took longer than it may \((4 s of CPU time|15 s)\)"),
    ("picture", "hog", "its decoder used more memory than it may"),
    ("picture", "open", "its decoder tried to do what it may not (a system call outside its filter)"),
    ("picture", "thread", "its decoder tried to do what it may not (a system call outside its filter)"),
    ("music", "thread", "its decoder tried to do what it may not (a system call outside its filter)"),
    ("picture", "signal", "its decoder tried to do what it may not (a system call outside its filter)"),
    ("picture", "abort", "its decoder crashed (SIGABRT, Aborted)"),
    ("picture", "lockfault", "its decoder crashed (SIGSEGV, Segmentation fault)"),
    ("picture", "trickle", "its decoder sent its answer too slowly"),
    ("picture", "early", "hostile: answered early"),
    ("picture", "long", WRONG),
    ("picture", "zero", WRONG),
    ("picture", "negative", WRONG),
    ("picture", "tall", WRONG),
    ("picture", "key", WRONG),
    ("music", "gib", WRONG),
    ("music", "picture", WRONG),
]
WORDS = [(file, how, re.escape(words) if how != "spin" else words) for file, how, words in WORDS]


def bigpicture(d):
    """A picture file of 32 MiB: a BMP says where its pixels are, and what
    follows them is never read."""
    path = os.path.join(d, "galleri.jpg")
    sr.bmp(path, 4, 3, lambda x, y: (200, 40, 10))
    os.truncate(path, 32 << 20)


def run(d, how, file):
    """Runs the show, spied on, with the decoder of file misbehaving as how
    says; returns (status, stdout, stderr), the SDL calls, the seconds
    loading took (to the play request or the show's end), the seconds the
    show took and its peak memory in KiB. The show is handed the file
    "written", open for writing, on a descriptor above any the show opens
    itself."""
    sr.picture(d)
    sr.music(d, seconds=1)
    if how == "early":
        bigpicture(d)
    extra = {"LD_PRELOAD": sr.SPY, "SPY_LOG": os.path.join(d, "calls.log")}
    limit = None
    with open(os.path.join(d, "written"), "wb") as f:
        written = fcntl.fcntl(f.fileno(), fcntl.F_DUPFD, 64)
        if how == "fifo":
            os.unlink(os.path.join(d, file))
            os.mkfifo(os.path.join(d, file))
        elif how == "ulimit":
            limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (ULIMIT, ULIMIT))
        else:
            extra["LD_PRELOAD"] = hostile(d, "picture" if file == "galleri.jpg" else "music", how) + " " + sr.SPY
        t = time.time()
        p = subprocess.Popen([sr.BIN], cwd=d, env=sr.env(speed=SPEED, **extra), pass_fds=(written,),
                             preexec_fn=limit, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        os.close(written)
        # ended, looked at without reaping it
        ended = lambda: os.waitid(os.P_PID, p.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None
        sr.until("the end of loading", lambda: ended() or any(
            c.startswith("Mix_PlayChannelTimed") for c in sr.calls(extra["SPY_LOG"])), timeout=60)
        loading = time.time() - t
        # reaped here, for the kernel's account of the show's peak memory
        out, err = p.stdout.read(), p.stderr.read()
        p.stdout.close()
        p.stderr.close()
        _, status, usage = os.wait4(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
    return (p.returncode, out, err), sr.calls(extra["SPY_LOG"]), loading, time.time() - t, usage.ru_maxrss


def case(how, file):
    """run() in a folder of its own; what it returns, and whether the file
    "hostile.out" appeared and the size of "written" after"""
    with sr.workdir() as d:
        got = run(d, how, file)
        return got + (os.path.exists(os.path.join(d, "hostile.out")), os.path.getsize(os.path.join(d, "written")),
                      leftover(d))


class Sandbox(unittest.TestCase):
    def test_misbehaving_decoders_are_stopped(self):
        # six at a time: most of a case is waiting on a decoder that is
        # stopped or on the show's clock
        with concurrent.futures.ThreadPoolExecutor(6) as pool:
            runs = [pool.submit(case, how, file) for how, file, _, _ in CASES]
        for (how, file, (status, silent), most), r in zip(CASES, runs):
            with self.subTest(how=how, file=file):
                ended, calls, loading, took, peak, out, written, left = r.result()
                self.assertEqual(left, [], "a process of the decoder's is left")
                self.assertEqual(ended, (status, b"", b""))
                self.assertEqual(calls[-1:], ["SDL_Quit"])
                if silent is False:
                    self.assertNotIn("Mix_PlayChannelTimed -1 null 0 -1", calls)
                    self.assertIn("SDL_Flip screen", calls)
                if silent:
                    self.assertIn("Mix_PlayChannelTimed -1 null 0 -1", calls)
                    self.assertGreater(took, 75 / SPEED)
                elif status == 2:
                    self.assertNotIn("SDL_Flip screen", calls)
                self.assertFalse(out, "the decoder made a file")
                self.assertEqual(written, 0, "the decoder wrote to a file it was handed")
                if how in ("long", "lie", "tall", "gib"):
                    self.assertLess(peak, SHOWMEM, "the show allocated what the decoder claimed")

    def test_capture_says_what_the_decoder_did(self):
        def one(case):
            file, how, _ = case
            with sr.workdir() as d:
                sr.picture(d)
                sr.music(d, seconds=1)
                if how == "early":
                    bigpicture(d)
                p = subprocess.run([CAPTURE, "--until", "0", "out.mp4"], cwd=d, capture_output=True,
                                   env=sr.env(SDL_VIDEODRIVER=None, SDL_AUDIODRIVER=None,
                                              LD_PRELOAD=hostile(d, file, how)),
                                   timeout=(WAIT + 30) * sr.SLACK)
                return p.returncode, p.stdout, p.stderr.decode(), sorted(os.listdir(d)), leftover(d)
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            runs = list(pool.map(one, WORDS))
        for (file, how, words), (status, out, err, files, left) in zip(WORDS, runs):
            with self.subTest(file=file, how=how):
                self.assertEqual((status, out), (1, b""))
                self.assertEqual(left, [], "a process of the decoder's is left")
                self.assertEqual([f for f in files if f.startswith("out")], [], "the capture left a file")
                named = 'the picture "galleri.jpg"' if file == "picture" else 'the music "musa.ogg"'
                self.assertRegex(err, '^brindlewock-capture: can\'t load %s: %s\n$' % (named, words))

    def test_a_running_decoder_holds_nothing_of_the_show_and_signals_end_it(self):
        # each program's decoder spins, the picture's or the music's; looked
        # at from outside, then the program is signalled as a terminal or a
        # desktop would. The show's own LD_ variables beyond the libraries'
        # (the loader's log) stay its own.
        cases = [("show", "picture", "Ctrl-C", signal.SIGINT, True, (0, b"", b"")),
                 ("show", "music", "SIGTERM", signal.SIGTERM, False, (0, b"", b"")),
                 ("capture", "picture", "Ctrl-C", signal.SIGINT, True,
                  (1, b"", b"brindlewock-capture: interrupted; nothing written\n"))]
        for program, decoder, name, sig, group, end in cases:
            with self.subTest(program=program, decoder=decoder, signal=name), sr.workdir() as d:
                sr.picture(d)
                sr.music(d, seconds=1)
                cmd = [sr.BIN] if program == "show" else [CAPTURE, "out.mp4"]
                env = sr.env(LD_PRELOAD=hostile(d, decoder, "spin"), LD_LIBRARY_PATH="/nowhere",
                             SHOWSECRET="the show's own", LD_DEBUG="statistics",
                             LD_DEBUG_OUTPUT=os.path.join(d, "loader"))
                p = subprocess.Popen(cmd, cwd=d, env=env, start_new_session=True,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                try:
                    pid = sr.until("a decoder running", lambda: decoders(p.pid, decoder), p, timeout=30)[0]
                    shared, names, fds, seccomp, pgid, sid, cwd, limits = sr.until(
                        "the decoder confined", lambda: (lambda v: set(v[3]) == {"2"} and v)(view(pid)), p)
                    self.assertEqual(shared, [])
                    self.assertEqual(names, ["LD_LIBRARY_PATH", "LD_PRELOAD"])
                    self.assertEqual(sorted(fds), [0, 1, 2, 3], fds)
                    self.assertEqual([fds[0], fds[1], fds[2]], ["/dev/null"] * 3)
                    self.assertTrue(fds[3].startswith("socket:"), fds[3])
                    self.assertEqual((pgid, sid, cwd), (pid, pid, "/"))
                    # the music's decoder has SDL's audio thread beside its own
                    self.assertGreaterEqual(len(seccomp), 2 if decoder == "music" else 1)
                    self.assertEqual(limits["Max cpu time"], ["4", "5"])
                    self.assertEqual(limits["Max core file size"], ["0", "0"])
                    self.assertEqual(limits["Max file size"], ["0", "0"])
                    self.assertNotEqual(limits["Max address space"][0], "unlimited")
                    t = time.time()
                    (os.killpg if group else os.kill)(p.pid, sig)
                    self.assertEqual(sr.finish(p, timeout=30), end)
                    self.assertLess(time.time() - t, AT_ONCE)
                    self.assertEqual(leftover(d), [])
                finally:
                    if p.poll() is None:
                        os.killpg(p.pid, signal.SIGKILL)
                        p.communicate()

    def test_every_thread_of_a_heics_decoder_is_confined(self):
        # libde265 starts a worker thread as libheif decodes a HEIC of one's
        # own, after the filter is in place: held there by the hostile
        # library, the decoder is looked at once the thread is there
        with sr.workdir() as d:
            sr.music(d, seconds=1)
            subprocess.run(["convert", "-size", "64x48", "gradient:red-blue", "PNG24:p.png"], cwd=d, check=True)
            subprocess.run(["heif-enc", "-q", "50", "p.png", "-o", "IMG.heic"], cwd=d, check=True,
                           capture_output=True)
            p = subprocess.Popen([CAPTURE, "--picture", "IMG.heic", "--until", "0", "out.mp4"], cwd=d,
                                 env=sr.env(SDL_VIDEODRIVER=None, SDL_AUDIODRIVER=None,
                                            LD_PRELOAD=hostile(d, "picture", "worker")),
                                 start_new_session=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                pid = sr.until("a decoder running", lambda: decoders(p.pid, "picture"), p, timeout=30)[0]
                def threads():
                    try:
                        return (lambda s: len(s) > 1 and s)(view(pid)[3])
                    except OSError:  # gone: the capture's end says why
                        return None
                seccomp = sr.until("libde265's worker thread", threads, p)
                self.assertEqual(set(seccomp), {"2"}, seccomp)
                os.killpg(p.pid, signal.SIGINT)
                self.assertEqual(sr.finish(p, timeout=30), (1, b"", b"brindlewock-capture: interrupted; nothing written\n"))
                self.assertEqual(leftover(d), [])
            finally:
                if p.poll() is None:
                    os.killpg(p.pid, signal.SIGKILL)
                    p.communicate()

    def test_a_picture_too_large_for_the_memory_left(self):
        # A decoder that says the largest picture follows, to a show whose
        # memory a user's limit keeps under it: the show says it has no
        # memory for it, rather than what became of the decoder it stopped.
        # The sanitizers' shadow memory is far over any such limit: there
        # their allocator is held to the same size instead, its warning
        # logged aside.
        with sr.workdir() as d:
            sr.picture(d)
            sr.music(d, seconds=1)
            limit, extra = lambda: resource.setrlimit(resource.RLIMIT_DATA, (DATALIMIT, DATALIMIT)), {}
            if sr.SANITIZE:
                limit, extra = None, {"ASAN_OPTIONS": sr.env()["ASAN_OPTIONS"] + ":log_path=%s/asan" % d +
                                      ":allocator_may_return_null=1:max_allocation_size_mb=%d" % (DATALIMIT >> 20)}
            p = subprocess.run([sr.BIN], cwd=d, preexec_fn=limit, capture_output=True, timeout=60 * sr.SLACK,
                               env=sr.env(speed=SPEED, LD_PRELOAD=hostile(d, "picture", "largest"),
                                          BRINDLEWOCK_PICTURENAME="galleri.jpg", **extra))
            self.assertEqual((p.returncode, p.stdout, p.stderr),
                             (2, b"", b"brindlewock: galleri.jpg: no memory for what its decoder gave\n"))
            self.assertEqual(leftover(d), [])

    def test_the_largest_picture_under_load_and_a_start_stopped_at_once(self):
        # An 8192 x 8192 picture is decoded and shown on a machine whose
        # cores are all busy, the show's peak memory at most three times its
        # pixels plus 100 MiB; and a start that is reading and decoding a
        # 48-megapixel photo ends with 0 when interrupted, at its first frame
        # at the latest, with the decoder gone.
        cases = [("largest", "-size 8192x8192 xc:#806040 -fill red -draw 'rectangle 0,0 99,99' PNG24:", None,
                  8192 * 8192),
                 ("interrupted", "-size 8000x6000 gradient:white-navy -quality 90 JPEG:", signal.SIGINT, None),
                 ("terminated", "-size 8000x6000 gradient:white-navy -quality 90 JPEG:", signal.SIGTERM, None)]
        for name, make, sig, pixels in cases:
            with self.subTest(name), sr.workdir() as d:
                subprocess.run("convert %sgalleri.jpg" % make, shell=True, cwd=d, check=True)
                sr.music(d, seconds=1)
                log = os.path.join(d, "calls.log")
                spin = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(4 if pixels else 0)]
                try:
                    p = subprocess.Popen([sr.BIN], cwd=d, start_new_session=True,
                                         env=sr.env(speed=SPEED if pixels else None, LD_PRELOAD=sr.SPY, SPY_LOG=log,
                                                    BRINDLEWOCK_OWNPICTURE=None if pixels else "1"),
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                    if sig:
                        # pressed once the show's own code runs (before that
                        # the loader is still mapping its libraries, where no
                        # program can catch a signal), a moment into its start
                        sr.until("the show's start", lambda: os.path.exists(log) and
                                 any(c.startswith("srand") for c in sr.calls(log)), p)
                        time.sleep(0.2)
                        os.killpg(p.pid, sig)
                        pressed = time.monotonic()
                    out, err = p.stdout.read(), p.stderr.read()
                    p.stdout.close()
                    p.stderr.close()
                    _, status, usage = os.wait4(p.pid, 0)
                    ended = time.monotonic()
                    p.returncode = os.waitstatus_to_exitcode(status)
                finally:
                    for q in spin:
                        q.kill()
                        q.wait()
                calls = sr.calls(log)
                self.assertEqual((os.waitstatus_to_exitcode(status), out, err), (0, b"", b""))
                self.assertEqual(calls[-1:], ["SDL_Quit"])
                self.assertEqual(leftover(d), [])
                if pixels:
                    self.assertIn("SDL_CreateRGBSurfaceFrom 8192 8192 32 -> picture", calls)
                    self.assertIn("SDL_Flip screen", calls)
                    self.assertLessEqual(usage.ru_maxrss << 10, 3 * 4 * pixels + (100 << 20))
                else:
                    # ended at its first frame at the latest: the start's
                    # own half-second delay is the longest it may hold on
                    self.assertLessEqual(calls.count("SDL_Flip screen"), 1)
                    self.assertLess(ended - pressed, 2)


if __name__ == "__main__":
    unittest.main()
