"""What the web build's tests share: where the build is, PNG files, test
pictures, and stills of the show drawn natively by tools/mkstill."""
import os
import random
import struct
import subprocess
import zlib

import damage

BUILDDIR = os.environ.get("BUILDDIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
WEB = os.path.abspath(os.path.join(BUILDDIR, "web"))
MKSTILL = os.path.abspath(os.path.join(BUILDDIR, "tools", "mkstill"))
SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SANITIZE = os.environ.get("BRINDLEWOCK_SANITIZE", "0") in ("1", "ON", "TRUE", "true")
SLACK = 4 if SANITIZE else 1
SCRW, SCRH = 640, 480


def env():
    e = dict(os.environ)
    if SANITIZE:
        e["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0:abort_on_error=0"
        e["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1"
    return e


def pngwrite(path, w, h, rgb):
    """An 8-bit RGB PNG of w x h pixels from rows of rgb without gaps."""
    with open(path, "wb") as f:
        f.write(damage.pngrgb(w, h, rgb))


def pngread(data):
    """(w, h, rgb) of the bytes of an 8-bit, non-interlaced RGB or RGBA PNG."""
    assert data[:8] == damage.PNGSIG, "not a PNG"
    at, idat = 8, []
    while at < len(data):
        n, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + n]
        if kind == b"IHDR":
            w, h, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and ctype in (2, 6) and interlace == 0, "only 8-bit RGB or RGBA PNGs"
        elif kind == b"IDAT":
            idat.append(body)
        at += 12 + n
    bpp = 4 if ctype == 6 else 3
    stride = w * bpp
    raw = zlib.decompress(b"".join(idat))
    px = bytearray(stride * h)
    prev = bytearray(stride)
    for y in range(h):
        f = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        if f == 1:
            for i in range(bpp, stride):
                line[i] = (line[i] + line[i - bpp]) & 255
        elif f == 2:
            line = bytearray((a + b) & 255 for a, b in zip(line, prev))
        elif f == 3:
            for i in range(stride):
                line[i] = (line[i] + ((line[i - bpp] if i >= bpp else 0) + prev[i]) // 2) & 255
        elif f == 4:
            for i in range(stride):
                a = line[i - bpp] if i >= bpp else 0
                b = prev[i]
                c = prev[i - bpp] if i >= bpp else 0
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        else:
            assert f == 0, "PNG filter %d" % f
        px[y * stride:(y + 1) * stride] = line
        prev = line
    if bpp == 4:
        del px[3::4]
    return w, h, bytes(px)


def picture(path, w, h, seed):
    """A test picture as an RGB PNG: noise, with exactly black pixels (which
    the show leaves out) in blocks and scattered, and nearly black ones (which
    it draws) beside them."""
    r = random.Random(seed)
    rgb = bytearray(r.randbytes(w * h * 3))
    for y in range(h):
        row = y * w * 3
        if (y // 16) % 3 == 0:
            # a band of blocks: black, then each nearly black colour
            for bx, colour in enumerate([(0, 0, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1), (1, 1, 1)]):
                x0 = (bx * 2 + (y // 48) % 2) * 24
                for x in range(x0, min(x0 + 24, w)):
                    rgb[row + x * 3:row + x * 3 + 3] = bytes(colour)
        for x in range(y % 7, w, 7):
            rgb[row + x * 3:row + x * 3 + 3] = b"\0\0\0"
    pngwrite(path, w, h, bytes(rgb))


def mkstill(seed, picture, stills, cwd):
    """Draws the stills {ms: out.png} natively along one run of the still schedule."""
    subprocess.run([MKSTILL, "--seed", str(seed), "--picture", picture]
                   + ["%d:%s" % (ms, out) for ms, out in sorted(stills.items())],
                   cwd=cwd, env=env(), check=True, timeout=120 * SLACK)
