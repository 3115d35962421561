"""What the page's tests in every browser share: the page's address and
the show's times, the viewer's photos and how they are dropped on the page
and checked, a saved video's checks, and a screen against the native
still."""
import base64
import json
import math
import os
import subprocess
import tempfile

import ownfiles
import savedvideo
import webrun

PAGE = "file://" + os.path.join(webrun.WEB, "brindlewock.html")
GALLERI = os.path.join(webrun.SOURCE, "assets", "galleri.jpg")
SHOWLEN = 75000    # ms: the show's last frame
STEP = 1000        # ms of show time a frame in the stepped shows
# (address, seed and time of the native still it shows): the largest seed
# as itself, and a time past the show's end as the end
STILLS = [("?t=30000&seed=7", 7, 30000), ("?t=99999&seed=4294967295", 4294967295, SHOWLEN)]
PHOTO = (3024, 4032)   # a phone's upright photo ...
PHOTOAT = 27520        # ... at rest at this ms, before the fire
BOX = (544, 304)       # the box a viewer's picture is fitted into
# the photo's parts: (what, its rectangle in quarters of the photo's sides,
# its colour, on the screen too, or None where it is transparent)
PARTS = [("top left", (0, 0, 1, 1), "#ff0000", (255, 0, 0)), ("top right", (3, 0, 4, 1), "#0000ff", (0, 0, 255)),
         ("black", (1.5, 2.5, 2.5, 3.5), "#000000", (1, 1, 1)), ("alpha 0", (0, 3, 1, 4), "#00ff0000", None)]
NEAR = 8           # levels a resampled part's colour may differ by
GREY = 20         # levels a fitted picture of fine stripes may be from mid-grey
CMYKNEAR, CMYKSHARE = 3, 0.99  # levels a CMYK JPEG's pixels may differ by, at this share
SONG, LONGSONG = 3, 90  # s: a short song, and one longer than the show
PLAYED = (75, 80)  # s of a long song decoded: what the show plays and a little more
STATUSES = 8       # texts the status may take while a video is made, all told


# whether the page was built with "Save video" (web/node_modules from npm)
SAVE = os.path.exists(os.path.join(webrun.WEB, "save.js"))

def photo(path):
    """The phone photo as an RGBA PNG: grey, with PARTS drawn in."""
    w, h = PHOTO
    cmd = ["convert", "-size", "%dx%d" % PHOTO, "xc:#808080", "-alpha", "set"]
    for _, (x0, y0, x1, y1), colour, _ in PARTS:
        cmd += ["(", "-size", "%dx%d" % ((x1 - x0) * w // 4, (y1 - y0) * h // 4), "xc:" + colour, ")",
                "-geometry", "+%d+%d" % (x0 * w // 4, y0 * h // 4), "-compose", "copy", "-composite"]
    subprocess.run(cmd + ["PNG32:" + path], check=True, timeout=120)


def drop(b, path, kind, then="", pad=0):
    """Drops the file on the page, as a drag from a file manager, and runs
    the JavaScript then at once; with pad zero bytes after its own."""
    with open(path, "rb") as f:
        data = base64.b64encode(f.read()).decode()
    b.js("""(() => {
        const files = new DataTransfer();
        files.items.add(new File([Uint8Array.from(atob(%s), c => c.charCodeAt(0)), new Uint8Array(%d)], %s, { type: %s }));
        document.body.dispatchEvent(new DragEvent('drop', { dataTransfer: files, bubbles: true }));
        %s;
        return true;
    })()""" % (json.dumps(data), pad, json.dumps(os.path.basename(path)), json.dumps(kind), then))


def picked(b, name, what="picture"):
    """Waits until the page has taken the file named or said why not, and
    returns what the status says."""
    b.until("""(s => s === %s || s.startsWith(%s) && s.endsWith('keeps its %s.'))(
        document.getElementById('status').textContent) && !document.getElementById('play').disabled"""
            % (json.dumps("%s: %s" % (what.capitalize(), name)), json.dumps(name), what), name)
    return b.js("document.getElementById('status').textContent")


# the fitted picture's name and size, its darkest and lightest channel, and
# its RGB at the points given as shares of its sides
LOOK = """((points) => {
    const p = brindlewock.picture;
    let lo = 255, hi = 0;
    for (let i = 0; i < p.rgba.length; i += 4)
        for (let k = 0; k < 3; k++) {
            lo = Math.min(lo, p.rgba[i + k]);
            hi = Math.max(hi, p.rgba[i + k]);
        }
    const at = ([fx, fy]) => {
        const i = (Math.min(p.h - 1, Math.floor(fy * p.h)) * p.w + Math.min(p.w - 1, Math.floor(fx * p.w))) * 4;
        return [p.rgba[i], p.rgba[i + 1], p.rgba[i + 2]];
    };
    return { name: p.name, w: p.w, h: p.h, lo, hi, at: points.map(at) };
})(%s)"""


def photos(d):
    """The table of a viewer's photos: (file, how it is made, the fitted
    size or the words it is refused in, [(x, y as shares of the fitted
    sides, its colour there or None where transparent)]). Each EXIF
    orientation has the marked corners land where they are upright."""
    red, blue = [(0.25, 0.5, (255, 0, 0))], [(0.75, 0.5, (0, 0, 255))]
    corners = [((cx * 6 + 1) / 8, (cy * 6 + 1) / 8, colour) for _, (cx, cy), colour in ownfiles.CORNERS]
    big = "%s: %d x %d pixels is too large (at most 8192 on its long side)"
    rows = [("exif%d.jpg" % n, lambda p, n=n: ownfiles.oriented(p, n), (544, 272), corners) for n in range(1, 9)]
    rows += [
        ("exif6.png", lambda p: ownfiles.oriented(p, 6, "png"), (544, 272), corners),
        ("panorama.jpg", lambda p: ownfiles.halves(p + ".png", 8000, 300) or ownfiles.convert(p + ".png", p), (544, 20), red + blue),
        # the rounding boundary, and a wide one held by its width
        ("boundary.png", lambda p: ownfiles.halves(p, 1000, 600), (507, 304), red + blue),
        ("wide.png", lambda p: ownfiles.halves(p, 2000, 200), (544, 54), red + blue),
        ("longest.png", lambda p: ownfiles.halves(p, 8192, 100), (544, 7), red + blue),
        ("tallest.png", lambda p: ownfiles.png(p, 100, 8192, "red"), (4, 304), red),
        ("over.png", lambda p: ownfiles.png(p, 8193, 100), big % ("over.png", 8193, 100), []),
        ("overtall.png", lambda p: ownfiles.png(p, 100, 8193), big % ("overtall.png", 100, 8193), []),
        ("keyed.gif", ownfiles.keyed, (60, 40), red + [(0.75, 0.5, None)]),
        ("keyed.png", ownfiles.keyed, (60, 40), red + [(0.75, 0.5, None)]),
        ("vertical.png", lambda p: ownfiles.stripes(p, True), (405, 304), "grey"),
        ("horizontal.png", lambda p: ownfiles.stripes(p, False), (405, 304), "grey"),
        ("cmyk.jpg", None, (200, 100), "cmyk"),
        ("junk.png", lambda p: ownfiles.write(p, b"not a picture"),
         "junk.png is no picture of a kind the page reads (JPEG, PNG, GIF, BMP, WebP, AVIF or HEIC, "
         "as far as this browser decodes them)", [])]
    # headers that claim more than the limit, refused before any decoding
    for kind, w, h in [("png", 100000, 100000), ("jpg", 60000, 60000), ("gif", 65535, 1), ("bmp", 9000, 9000),
                       ("webp", 16384, 16384), ("avif", 8193, 4000)]:
        name = "claims.%s" % kind
        rows.append((name, lambda p, kind=kind, w=w, h=h: ownfiles.claims(p, kind, w, h), big % (name, w, h), []))
    return rows


def shown(b, selector):
    return b.js("document.querySelector(%s).getClientRects().length > 0" % json.dumps(selector))


def status(b, text):
    b.until("document.getElementById('status').textContent === %s" % json.dumps(text), text)


def checkvideo(test, saved, h264, sound=True, psnr=True):
    """A video the page saved of seed 7: MP4 with H.264 where the browser
    encodes H.264, else WebM; music where there was music, and the page's
    word for it naming what ffprobe finds; its video stream 640 x 480, 30
    frames a second and the show's 2251 frames long, read from the
    stream's own packets; and with psnr, decoded whole without an error,
    its frames at 10, 30 and 50 s as close to the native ones on the same
    schedule as savedvideo.PSNRAT asks."""
    got = savedvideo.probe(saved["path"])
    db = savedvideo.psnrs(saved["path"], 7, GALLERI) if psnr else {}
    print("%s: %s (%s), %s and %s, %d frames, %.3f s, %.3f fps, %.1f MB, made in %.1f s, PSNR %s" % (
        saved["name"], saved["format"], got["format"], got["video"], got["audio"], got["frames"], got["length"],
        got["fps"], got["bytes"] / 1e6, saved["seconds"], " ".join("%.2f dB at %d s" % (db[s], s) for s in sorted(db))))
    mp4 = "mp4" in got["format"]
    test.assertEqual((mp4, got["video"] in ("h264",) if h264 else got["video"] in ("vp8", "vp9"), saved["name"][-4:]),
                     (h264, True, ".mp4" if h264 else "webm"))
    test.assertEqual((got["audio"] is not None, got["streams"]), (sound, 2 if sound else 1))
    test.assertEqual(saved["format"], "%s, %s%s" % ("MP4" if mp4 else "WebM", {"h264": "H.264"}.get(got["video"], got["video"].upper()),
                                                   " and " + {"aac": "AAC"}.get(got["audio"], "Opus") if sound else ", without sound"))
    test.assertEqual((got["size"], got["rate"], got["frames"]), ((webrun.SCRW, webrun.SCRH), "30/1", savedvideo.FRAMES))
    test.assertAlmostEqual(got["length"], savedvideo.FRAMES / savedvideo.FPS, delta=0.002)
    test.assertAlmostEqual(got["fps"], savedvideo.FPS, delta=0.01)
    if psnr:
        subprocess.run(["ffmpeg", "-v", "error", "-xerror", "-i", saved["path"], "-f", "null", "-"], check=True, timeout=300)
        for s, least in savedvideo.PSNRAT.items():
            test.assertGreaterEqual(db[s], least, "at %d s" % s)


def match(test, screen, seed, picture, ms):
    """The screen is the native still of the seed, picture and time."""
    close, equal = webrun.nearshare(screen, webrun.nativestill(seed, picture, ms))
    print("seed %d, %d ms: %.4f %% within %d levels, %.4f %% equal"
          % (seed, ms, 100 * close, webrun.TOLERANCE, 100 * equal))
    test.assertGreaterEqual(close, webrun.SHARE)


def moves(test, b, ms):
    """From ms into the running show, a second later the screen differs,
    and it is no plain colour."""
    b.until("brindlewock.elapsed >= %d" % ms, "%d ms into the show" % ms)
    first = b.screenshot()
    b.until("brindlewock.elapsed >= %d" % (b.js("brindlewock.elapsed") + 1000), "a second later")
    test.assertNotEqual(first, b.screenshot(), "the screen stands still")
    test.assertGreater(len(set(first[i:i + 3] for i in range(0, len(first), 3 * 97))), 8,
                       "the screen is nearly one colour")
