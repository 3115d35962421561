"""Watching the decoders' program from outside: the hostile library that
makes one misbehave, the decoders a show has started, what a running one
holds, and what is left of them after."""
import os
import re

import showrun as sr

HOSTILE = os.path.abspath(os.path.join(sr.BUILDDIR, "tests", "libhostile.so"))


def leftover(d):
    """The processes still running that were started with d's hostile
    library: a decoder or a child of one. One that was killed is given the
    moment the kernel takes to end it, and a zombie counts as ended."""
    def running():
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/stat" % pid) as f:
                    if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                        continue
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if d.encode() in f.read():
                        found.append(int(pid))
            except (OSError, IndexError):
                pass
        return found
    try:
        sr.until("no process of the decoder's left", lambda: not running(), timeout=5)
        return []
    except AssertionError:
        return running()


def hostile(d, decoder, how):
    """The hostile library, linked into d under the name that tells it what
    to do: the decoders' program keeps what is preloaded, and no other
    variable."""
    link = os.path.join(d, "hostile.%s.%s.so" % (decoder, how))
    os.symlink(HOSTILE, link)
    return link


def decoders(pid, kind=""):
    """The process ids of the decoders' programs that pid has started, of
    the kind ("picture" or "music") when one is named."""
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            kids = [int(k) for k in f.read().split()]
    except FileNotFoundError:
        return []
    found = []
    for k in kids:
        try:
            with open("/proc/%d/cmdline" % k, "rb") as f:
                if f.read().startswith(("brindlewock-decode\0" + kind).encode()):
                    found.append(k)
        except FileNotFoundError:
            pass
    return found


def view(pid):
    """What a running decoder holds, read from outside: its shared writable
    mappings, its environment's names, its descriptors and where they lead,
    the seccomp mode of each of its threads, its process group, session,
    folder and limits."""
    # its threads first: the rest is settled only once every one of them
    # is confined; a thread that ends, or a descriptor closed, while it is
    # read is gone
    seccomp = []
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                seccomp.append(re.search(r"^Seccomp:\s*(\d+)", f.read(), re.M).group(1))
        except FileNotFoundError:
            pass
    with open("/proc/%d/maps" % pid) as f:
        shared = [l.strip() for l in f if l.split()[1].startswith("rw") and l.split()[1][3] == "s"]
    with open("/proc/%d/environ" % pid, "rb") as f:
        names = sorted(v.split(b"=", 1)[0].decode() for v in f.read().split(b"\0") if v)
    fds = {}
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            fds[int(fd)] = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except FileNotFoundError:
            pass
    with open("/proc/%d/limits" % pid) as f:
        limits = {l[:26].strip(): l[26:].split()[:2] for l in f.read().splitlines()[1:]}
    return (shared, names, fds, seccomp, os.getpgid(pid), os.getsid(pid), os.readlink("/proc/%d/cwd" % pid),
            limits)
