"""Runs brindlewock-capture for the end-to-end tests: its runs, side by
side, the files it reads, and its raw video read back."""
import mmap
import os
import shlex
import struct
import subprocess
import wave
from concurrent.futures import ThreadPoolExecutor

import showrun as sr

BIN = os.path.abspath(os.path.join(sr.BUILDDIR, "brindlewock-capture"))
RATE = 48000
KEPT = b"an earlier capture"
# a second of the test music, left and right: distinct, never silent
TUNE = b"".join(struct.pack("<hh", ((i * 37) % 20000) - 10000 + 1, ((i * 53) % 16000) - 8000 + 1)
                for i in range(RATE))


def start(cwd, *args, tty=False, **extra):
    """A capture started with args, without display or SDL drivers (it needs neither); with tty, on
    script's terminal, which passes on all it prints as its stdout."""
    cmd = ["script", "-qec", shlex.join([BIN, *args]), "/dev/null"] if tty else [BIN, *args]
    return subprocess.Popen(cmd, cwd=cwd, env=sr.env(SDL_VIDEODRIVER=None, SDL_AUDIODRIVER=None, **extra),
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def capture(cwd, *args, timeout=60, tty=False, **extra):
    """Runs a capture to its end: (status, stdout, stderr)."""
    return sr.finish(start(cwd, *args, tty=tty, **extra), timeout)


def each(f, items):
    """f of every item, three at a time."""
    with ThreadPoolExecutor(3) as pool:
        return list(pool.map(f, items))


def assets(d, seconds, ogg=False):
    """A picture and music of the given length in d; the music as Ogg Vorbis, or the
    test music as a WAV named musa.ogg, which the mixer loads as it is."""
    sr.picture(d, 300, 200, lambda x, y: (0, 0, 0) if 100 <= x < 200 and 60 <= y < 140 else (255, y, 0))
    if ogg:
        return sr.music(d, seconds)
    with wave.open(os.path.join(d, "musa.ogg"), "wb") as w:
        w.setparams((2, 2, RATE, 0, "NONE", None))
        w.writeframes(TUNE[:4 * int(seconds * RATE)])


def y4m(path):
    """The header line and the frames (views of it, mapped) of a YUV4MPEG2 4:4:4 file."""
    with open(path, "rb") as f:
        data = memoryview(mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ))
    head = str(data[:data.obj.find(b"\n")], "ascii")
    size = 6 + 3 * int(head.split(" W")[1].split()[0]) * int(head.split(" H")[1].split()[0])
    starts = range(len(head) + 1, len(data), size)
    assert (len(data) - len(head) - 1) % size == 0 and all(data[i:i + 6] == b"FRAME\n" for i in starts), head
    return head, [data[i + 6:i + size] for i in starts]

