"""How long the page takes to make a viewer's song ready, and the most memory
its browser holds meanwhile: a 3-minute and a 2-hour song of each kind
given, chosen in headless Chromium and Firefox on the page in WEB (build/web
by default; an older build's folder to compare with).

    python3 bench/websong.py [WEB]

Prints, for each browser and song, the seconds from the choice to the
status naming the music, the decoded length, and the peak of the browser's
processes' resident memory, sampled every 20 ms, above what they held
before the choice."""
import os
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "tests", "web"), os.path.join(HERE, "..", "tests", "lib")]
import bidi    # noqa: E402
import webrun  # noqa: E402

SONGS = [("ogg", ["-c:a", "libvorbis", "-q:a", "0"]), ("mp3", ["-c:a", "libmp3lame", "-b:a", "128k"])]
LENGTHS = [180, 7200]  # s


def tree(pid):
    """pid and its descendants."""
    kids = {}
    for p in os.listdir("/proc"):
        if p.isdigit():
            try:
                with open("/proc/%s/stat" % p) as f:
                    kids.setdefault(int(f.read().rsplit(")", 1)[1].split()[1]), []).append(int(p))
            except OSError:
                pass
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        out.append(p)
        todo += kids.get(p, [])
    return out


def rss(pid):
    total = 0
    for p in tree(pid):
        try:
            with open("/proc/%d/statm" % p) as f:
                total += int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        except OSError:
            pass
    return total


def measure(b, pid, url, path):
    b.open(url)
    b.state("ready")
    b.until("!document.getElementById('musicchoose').disabled && brindlewock.music", "the default music")
    b.js("""(() => {
        window.took = null;
        const status = document.getElementById('status');
        document.getElementById('musicfile').addEventListener('change', () => {
            const t0 = performance.now();
            new MutationObserver((_, o) => {
                if (/^Music: |keeps its music/.test(status.textContent)) {
                    took = [(performance.now() - t0) / 1000, status.textContent];
                    o.disconnect();
                }
            }).observe(status, { childList: true, characterData: true, subtree: true });
        }, { capture: true });
        return true;
    })()""")
    base = rss(pid)
    peak = [base]
    done = threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], rss(pid))
            time.sleep(0.02)
    t = threading.Thread(target=sample)
    t.start()
    b.upload("#musicfile", path)
    b.until("took", "the song read", wait=600)
    done.set()
    t.join()
    took, said = b.js("took")
    return took, said, b.js("brindlewock.music && brindlewock.music.seconds"), (peak[0] - base) / 2**20


def main():
    web = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build", "web"))
    with tempfile.TemporaryDirectory() as d:
        songs = []
        for kind, options in SONGS:
            for seconds in LENGTHS:
                path = os.path.join(d, "song%d.%s" % (seconds, kind))
                subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=f=440:d=%d" % seconds, "-ar", "44100",
                                *options, path], check=True)
                songs.append(path)
        server = webrun.Server(web)
        for engine in bidi.ENGINES:
            name = engine.capitalize()
            b = bidi.Browser(engine)
            try:
                for path in songs:
                    took, said, seconds, mib = measure(b, b.pid, server.url + "index.html", path)
                    print("%s, %s (%.1f MB): %.2f s, %s s decoded, %+.0f MiB at most; %s" % (
                        name, os.path.basename(path), os.path.getsize(path) / 1e6, took, seconds, mib, said), flush=True)
            finally:
                b.close()
        server.close()


if __name__ == "__main__":
    main()
