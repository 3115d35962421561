"""How fast the page's "Save video" makes its video, and how close to the
show: in headless Chromium and Firefox (and WebKitGTK where it is there),
the tab in sight and hidden behind another, on a quiet machine or with
processes spinning beside it, against a baseline build of the page.

    python3 bench/savevideo.py [--build DIR] [--baseline DIR] [--engines chromium,firefox,webkit]
        [--ways visible,hidden] [--runs N] [--load N] [--psnr] [--settings JSON]

Each run opens build/web/brindlewock.html?seed=7 from file://, presses Save
video and waits for the file; the time is the page's own, from the click
to the file handed to the browser. With --baseline the baseline's page
runs in turn with this one's, run for run. --load N starts N processes that
spin for the whole measurement. --settings sets what the worker encodes with
(brindlewocksave.settings, JSON), for choosing them; --psnr measures the
frames at 10, 30 and 50 s against tools/mkstill --fps 30's. Prints a line a
run and the medians."""
import argparse
import multiprocessing
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "tests", "web"), os.path.join(HERE, "..", "tests", "lib")]


def spin():
    while True:
        pass


def browser(engine):
    import bidi
    import webkit
    if engine in bidi.ENGINES:
        return bidi.Browser(engine, downloads=True)
    return webkit.WebKit(downloads=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--baseline")
    ap.add_argument("--engines", default="chromium,firefox")
    ap.add_argument("--ways", default="visible,hidden")
    ap.add_argument("--runs", type=int, default=1)
    ap.add_argument("--load", type=int, default=0)
    ap.add_argument("--psnr", action="store_true")
    ap.add_argument("--settings")
    o = ap.parse_args()
    os.environ["BUILDDIR"] = os.path.abspath(o.build)
    import savedvideo
    import webrun
    builds = [("this", os.path.abspath(o.build))] + ([("baseline", os.path.abspath(o.baseline))] if o.baseline else [])
    spinners = [multiprocessing.Process(target=spin, daemon=True) for _ in range(o.load)]
    for p in spinners:
        p.start()
    times = {}
    try:
        for engine in o.engines.split(","):
            b = browser(engine)
            try:
                for run in range(o.runs):
                    for way in o.ways.split(","):
                        for name, build in builds:
                            b.open("file://" + os.path.join(build, "web", "brindlewock.html") + "?seed=7")
                            b.state("ready")
                            if o.settings:
                                b.js("Object.assign(brindlewocksave.settings, %s), true" % o.settings)
                            saved = savedvideo.save(b, way == "hidden")
                            got = savedvideo.probe(saved["path"])
                            line = "%s %s %s: %s, %.1f MB, %.1f s (%d status texts)" % (
                                engine, way, name, saved["format"], saved["bytes"] / 1e6, saved["seconds"], len(saved["said"]))
                            if o.psnr:
                                db = savedvideo.psnrs(saved["path"], 7, os.path.join(webrun.SOURCE, "assets", "galleri.jpg"))
                                line += ", PSNR " + " ".join("%.2f" % db[s] for s in sorted(db))
                            line += ", %s/%s, %d frames, %.3f s, %.2f fps" % (got["video"], got["audio"], got["frames"],
                                                                             got["length"], got["fps"])
                            print(line, flush=True)
                            times.setdefault((engine, way, name), []).append(saved["seconds"])
                            os.remove(saved["path"])
            finally:
                b.close()
    finally:
        for p in spinners:
            p.kill()
    print("medians, load %d:" % o.load)
    for (engine, way, name), t in times.items():
        print("  %s %s %s: %.1f s over %d (%s)" % (engine, way, name, statistics.median(t), len(t),
                                                  ", ".join("%.1f" % x for x in t)))


if __name__ == "__main__":
    main()
