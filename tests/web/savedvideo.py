"""A video the page's "Save video" made, as a phone or a viewer would find it:
what ffprobe reads of its container and of its video stream's own packets,
and how close its frames are to the native show's drawn on the same
schedule (tools/mkstill --fps, as brindlewock-capture draws them). And Save
video pressed in a page, with its tab in sight or hidden behind another,
for the tests and bench/savevideo.py."""
import json
import os
import re
import subprocess
import tempfile
import time

import webrun

FPS = 30           # frames a second of a saved video
FRAMES = 2251      # its frames: k * 1000 / 30 ms up to the first at or after 75000 ms
# the saved frames compared, at s, and the PSNR in dB each must reach: 2 dB
# below what 4:2:0 colour alone costs the native frame (29.6, 29.4 and
# 26.4 dB of seed 7 and the default picture)
PSNRAT = {10: 27.6, 30: 27.4, 50: 24.4}
SAVEWAIT = 900     # s the longest a video may take to come, on a loaded machine: a hang, not a speed


def probe(path):
    """What ffprobe reads of the file: its format's names, its streams'
    codecs, and the video stream's own packets' count, length in s (the
    last packet's end less the first's start) and frame rate."""
    run = lambda *args: json.loads(subprocess.run(["ffprobe", "-v", "error", *args, "-of", "json", path],
                                                  capture_output=True, check=True, timeout=120).stdout)
    whole = run("-show_streams", "-show_format")
    video = [s for s in whole["streams"] if s["codec_type"] == "video"]
    audio = [s for s in whole["streams"] if s["codec_type"] == "audio"]
    packets = run("-select_streams", "v:0", "-show_entries", "packet=pts_time,duration_time")["packets"]
    starts = [float(p["pts_time"]) for p in packets]
    ends = [float(p["pts_time"]) + float(p.get("duration_time") or 0) for p in packets]
    length = max(ends) - min(starts) if packets else 0
    return {
        "format": whole["format"]["format_name"],
        "video": video[0]["codec_name"] if video else None,
        "audio": audio[0]["codec_name"] if audio else None,
        "streams": len(whole["streams"]),
        "size": (video[0]["width"], video[0]["height"]) if video else None,
        "frames": len(packets),
        "length": length,
        "fps": (len(packets) - 1) / (max(starts) - min(starts)) if len(packets) > 1 else 0,
        "rate": video[0]["r_frame_rate"] if video else None,
        "bytes": os.path.getsize(path),
    }


def psnrs(path, seed, picture, at=PSNRAT):
    """The PSNR in dB of the saved frame at each s of at against the
    native frame on the video's schedule, as RGB, the video's colours read
    as its stream says (BT.601 where it says nothing)."""
    with tempfile.TemporaryDirectory() as d:
        stills = {s * 1000: os.path.join(d, "%d.png" % s) for s in at}
        subprocess.run([webrun.MKSTILL, "--seed", str(seed), "--picture", picture, "--fps", str(FPS)]
                       + ["%d:%s" % (ms, out) for ms, out in sorted(stills.items())],
                       cwd=d, env=webrun.env(), check=True, timeout=120 * webrun.SLACK)
        # the saved frames, each decoded once, as PNGs
        frames = "+".join("eq(n\\,%d)" % (s * FPS) for s in at)
        subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-vf", "select=%s,format=rgb24" % frames,
                        "-fps_mode", "passthrough", os.path.join(d, "saved%d.png")], check=True, timeout=300)
        got = {}
        for i, s in enumerate(sorted(at)):
            said = subprocess.run(["ffmpeg", "-i", os.path.join(d, "saved%d.png" % (i + 1)), "-i", stills[s * 1000],
                                   "-lavfi", "[0:v]format=rgb24[a];[1:v]format=rgb24[b];[a][b]psnr",
                                   "-f", "null", "-"], capture_output=True, text=True, check=True, timeout=120).stderr
            got[s] = float(re.search(r"PSNR .* average:([\d.]+|inf)", said).group(1))
        return got


def poll(b, condition, what, wait=webrun.Waits.WAIT):
    """Waits until a JavaScript condition holds in the page, looked at ten
    times a second: a hidden page draws no frames to wait on."""
    deadline = time.monotonic() + wait
    while not b.js(condition):
        assert time.monotonic() < deadline, "the page never came to: " + what
        time.sleep(0.1)


def hide(b):
    """Brings a second tab to the front, hiding the page's; returns a
    function that brings the page's back."""
    back = b.tab()

    def shown():
        back()
        b.until("document.visibilityState === 'visible'", "the tab in sight again")
    try:
        poll(b, "document.visibilityState === 'hidden'", "the tab hidden")
    except BaseException:
        shown()
        raise
    return shown


def save(b, hidden=False):
    """Presses Save video in the page and, with hidden, brings another tab
    to the front at once; waits for the file. Returns the page's account
    of it (brindlewock.saved, with the path of the whole file as path),
    the status's texts while it was made, and the page's visibility states
    seen meanwhile."""
    b.until("!document.getElementById('save').disabled", "Save video ready")
    b.js("""(() => {
        const status = document.getElementById('status');
        window.savesaid = [];
        window.seenstates = [document.visibilityState];
        if (!window.savewatch) {
            window.savewatch = true;
            new MutationObserver(() => savesaid.push(status.textContent)).observe(status,
                { subtree: true, childList: true, characterData: true });
            document.addEventListener('visibilitychange', () => seenstates.push(document.visibilityState));
        }
        return true;
    })()""")
    b.click("#save")
    start = time.monotonic()
    back = hide(b) if hidden else None
    try:
        poll(b, "document.documentElement.dataset.save !== 'saving'", "the video made", SAVEWAIT)
    finally:
        if back:
            back()
    took = time.monotonic() - start
    saved = b.js("brindlewock.saved")
    assert b.js("document.documentElement.dataset.save") == "saved", b.js("document.getElementById('status').textContent")
    saved["path"] = b.saved(saved["name"])
    assert os.path.getsize(saved["path"]) == saved["bytes"], "the file is not the page's whole video"
    saved["took"] = took
    saved["said"] = b.js("savesaid")
    saved["states"] = b.js("seenstates")
    return saved
