"""A viewer's own files for the page's tests, made at run time: photos with
an EXIF orientation, CMYK, panoramas, pictures at the size limit and headers
that claim too much, and songs of every kind the page takes."""
import os
import struct
import subprocess
import zlib

MAXSIDE = 8192     # pixels: the long side of the largest picture taken
MAXFILE = 64 << 20 # bytes: the largest file taken
# what ImageMagick does to an upright picture to store it as EXIF orientation
# n (1 to 8) has it shown
STORED = {1: [], 2: ["-flop"], 3: ["-rotate", "180"], 4: ["-flip"], 5: ["-transpose"],
          6: ["-rotate", "270"], 7: ["-transverse"], 8: ["-rotate", "90"]}
UPRIGHT = (1200, 600)  # the upright photo, wider than the box
# its marked corners, each an eighth of its sides, and their colours
CORNERS = [("top left", (0, 0), (255, 0, 0)), ("top right", (1, 0), (0, 0, 255)),
           ("bottom left", (0, 1), (0, 255, 0)), ("bottom right", (1, 1), (128, 128, 128))]


def convert(*args):
    subprocess.run(["convert", *args], check=True, timeout=120)


def exif(orientation, le=False):
    """A TIFF structure with one entry, the orientation."""
    if le:
        return b"II*\0" + struct.pack("<IHHHIHHI", 8, 1, 0x0112, 3, 1, orientation, 0, 0)
    return b"MM\0*" + struct.pack(">IHHHIHHI", 8, 1, 0x0112, 3, 1, orientation, 0, 0)


def upright(path):
    """The upright photo: grey, with a marked colour in three corners."""
    w, h = UPRIGHT
    cmd = ["-size", "%dx%d" % UPRIGHT, "xc:#808080"]
    for _, (cx, cy), colour in CORNERS[:3]:
        cmd += ["-fill", "rgb(%d,%d,%d)" % colour, "-draw", "rectangle %d,%d %d,%d" % (
            cx * w * 3 // 4, cy * h * 3 // 4, cx * w * 3 // 4 + w // 4 - 1, cy * h * 3 // 4 + h // 4 - 1)]
    convert(*cmd, path)


def oriented(path, n, kind="jpg"):
    """The upright photo stored turned, with EXIF orientation n saying how to
    show it: in a JPEG's APP1 segment (big-endian), or a PNG's eXIf chunk
    (little-endian)."""
    base = path + ".upright.png"
    upright(base)
    stored = path + ".stored." + kind
    convert(base, *STORED[n], "-strip", "-quality", "95", stored)
    with open(stored, "rb") as f:
        data = f.read()
    if kind == "jpg":
        body = b"Exif\0\0" + exif(n)
        data = data[:2] + b"\xff\xe1" + struct.pack(">H", len(body) + 2) + body + data[2:]
    else:
        body = exif(n, le=True)
        chunk = struct.pack(">I", len(body)) + b"eXIf" + body + struct.pack(">I", zlib.crc32(b"eXIf" + body))
        data = data[:33] + chunk + data[33:]
    with open(path, "wb") as f:
        f.write(data)


def png(path, w, h, colour="#808080"):
    convert("-size", "%dx%d" % (w, h), "xc:" + colour, "PNG24:" + path)


def halves(path, w, h):
    """Red on the left, blue on the right."""
    convert("-size", "%dx%d" % (w, h), "xc:blue", "-fill", "red", "-draw", "rectangle 0,0 %d,%d" % (w // 2 - 1, h - 1),
            "PNG24:" + path)


def keyed(path):
    """60 x 40 pixels: red on the left, transparent on the right, through a
    palette's transparent entry (a GIF's colour key, a PNG's tRNS)."""
    kind = "GIF:" if path.endswith(".gif") else "PNG8:"
    convert("-size", "60x40", "xc:none", "-fill", "red", "-draw", "rectangle 0,0 29,39", kind + path)
    with open(path, "rb") as f:
        data = f.read()
    assert kind == "GIF:" or (data[25] == 3 and b"tRNS" in data), "not a paletted PNG with a transparent entry"


def stripes(path, vertical, w=4000, h=3000):
    """w x h pixels of black and white stripes a pixel wide, as a grey PNG."""
    chunk = lambda name, body: (struct.pack(">I", len(body)) + name + body
                                + struct.pack(">I", zlib.crc32(name + body)))
    rows = [b"\0" + (b"\0\xff" * (w // 2) if vertical else (b"\xff" if y % 2 else b"\0") * w) for y in range(h)]
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 0, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(b"".join(rows))) + chunk(b"IEND", b""))


def cmyk(path):
    """A 200 x 100 CMYK JPEG (as Adobe's programs write one, inverted, with
    its marker), and the RGB bytes the page must draw of it: each channel
    C K / 255 of the stored values."""
    base = path + ".rgb.png"
    convert("-size", "200x100", "gradient:red-cyan", "(", "-size", "200x100", "gradient:", "-rotate", "90", ")",
            "-compose", "multiply", "-composite", base)
    convert(base, "-colorspace", "CMYK", "-quality", "100", path)
    with open(path, "rb") as f:
        assert b"Adobe" in f.read(4096), "a CMYK JPEG without Adobe's marker"
    # ImageMagick gives the stored values inverted back
    stored = subprocess.run(["convert", path, "-depth", "8", "cmyk:-"], capture_output=True, check=True,
                            timeout=60).stdout
    out = bytearray()
    for i in range(0, len(stored), 4):
        c, m, y, k = (255 - v for v in stored[i:i + 4])
        out += bytes(round(v * k / 255) for v in (c, m, y))
    return bytes(out)


def claims(path, kind, w, h):
    """A file of the kind whose header claims w x h pixels, with no picture
    behind it: what a hostile file sets."""
    if kind == "png":
        ihdr = struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)
        data = (b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + b"IHDR" + ihdr
                + struct.pack(">I", zlib.crc32(b"IHDR" + ihdr)) + b"\0" * 64)
    elif kind == "jpg":
        data = b"\xff\xd8\xff\xc0" + struct.pack(">HBHHB", 17, 8, h, w, 3) + b"\x01\x11\0\x02\x11\0\x03\x11\0" + b"\0" * 64
    elif kind == "gif":
        data = b"GIF89a" + struct.pack("<HH", w, h) + b"\0" * 64
    elif kind == "bmp":
        data = b"BM" + struct.pack("<IHHIIiiHH", 0, 0, 0, 54, 40, w, -h, 1, 24) + b"\0" * 64
    elif kind == "webp":
        vp8x = b"\0\0\0\0" + struct.pack("<I", w - 1)[:3] + struct.pack("<I", h - 1)[:3]
        data = b"RIFF" + struct.pack("<I", 4 + 8 + len(vp8x)) + b"WEBP" + b"VP8X" + struct.pack("<I", len(vp8x)) + vp8x
    elif kind == "avif":
        box = lambda name, body: struct.pack(">I", 8 + len(body)) + name + body
        ispe = box(b"ispe", b"\0\0\0\0" + struct.pack(">II", w, h))
        data = box(b"ftyp", b"avif\0\0\0\0mif1avif") + box(b"meta", b"\0\0\0\0" + box(b"iprp", box(b"ipco", ispe)))
    with open(path, "wb") as f:
        f.write(data)


# songs of each kind: (file, ffmpeg's options for it)
SONGS = [("pcm16.wav", ["-c:a", "pcm_s16le"]), ("float.wav", ["-c:a", "pcm_f32le"]),
         ("vorbis.ogg", ["-c:a", "libvorbis", "-ar", "44100"]), ("opus.opus", ["-c:a", "libopus"]),
         ("flac16.flac", ["-c:a", "flac", "-ar", "44100"]),
         ("flac24.flac", ["-c:a", "flac", "-ar", "96000", "-sample_fmt", "s32"]),
         ("stereo.mp3", ["-c:a", "libmp3lame", "-ar", "44100", "-ac", "2"]),
         ("mono.mp3", ["-c:a", "libmp3lame", "-ar", "48000", "-ac", "1"]), ("aac.m4a", ["-c:a", "aac"])]


def song(path, seconds, options):
    """A 440 Hz tone seconds long."""
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=f=440:d=%g" % seconds, *options, path],
                   check=True, timeout=300)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
