"""Small pictures written byte by byte, the damaged files that once held the
show in its picture decoder, and the damage the fuzz test does to a file."""
import struct
import zlib

PNGSIG = b"\x89PNG\r\n\x1a\n"


def chunk(kind, data, length=None):
    """A PNG chunk; length, when given, is what its header claims."""
    n = len(data) if length is None else length
    return struct.pack(">I", n) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff)


def png(w=40, h=30, pixel=lambda x, y: (200, 40, 10), text=b""):
    """An RGB PNG, with a tEXt chunk ahead of its data when text is given."""
    return pngrgb(w, h, b"".join(bytes(pixel(x, y)) for y in range(h) for x in range(w)), text)


def pngrgb(w, h, rgb, text=b""):
    """An 8-bit RGB PNG of w x h pixels from rows of rgb without gaps."""
    rows = b"".join(b"\0" + rgb[y * w * 3:(y + 1) * w * 3] for y in range(h))
    head = chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
    extra = chunk(b"tEXt", b"Comment\0" + text) if text else b""
    return PNGSIG + head + extra + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b"")


def lzw(pixels, bits):
    """GIF image data: codes bits + 1 wide, with a clear code often enough
    that they stay so."""
    clear, end = 1 << bits, (1 << bits) + 1
    codes = []
    for i, p in enumerate(pixels):
        if i % ((1 << bits) - 2) == 0:
            codes.append(clear)
        codes.append(p)
    codes.append(end)
    out, acc, n = bytearray(), 0, 0
    for c in codes:
        acc |= c << n
        n += bits + 1
        while n >= 8:
            out.append(acc & 255)
            acc >>= 8
            n -= 8
    if n:
        out.append(acc)
    blocks = b"".join(bytes((len(out[i:i + 255]),)) + out[i:i + 255] for i in range(0, len(out), 255))
    return bytes((bits,)) + blocks + b"\0"


def gif(w=40, h=30, pixel=lambda x, y: (x + y) % 4, comment=b"", claim=None):
    """A GIF of four colours (pixel gives 0 to 3); claim=(w, h) makes its
    header claim another size over the same data."""
    cw, ch = claim or (w, h)
    pal = bytes((0, 0, 0, 200, 40, 10, 40, 200, 10, 10, 40, 200))
    head = b"GIF89a" + struct.pack("<HHBBB", cw, ch, 0x81, 0, 0) + pal
    ext = b"\x21\xfe" + bytes((len(comment),)) + comment + b"\0" if comment else b""
    image = b"," + struct.pack("<HHHHB", 0, 0, cw, ch, 0) + lzw([pixel(x, y) for y in range(h) for x in range(w)], 2)
    return head + ext + image + b";"


# The damaged pictures that held the show in its decoder for ever (or for
# many seconds, or crashed it), each made from a small picture.
def cutafterheader():
    """A PNG cut right after the header of the chunk ahead of its data: the
    PNG library reads the missing chunk from its stale buffers, warns of a
    bad check, and reads the same header again, for ever."""
    p = png(text=b"a small picture")
    return p[:p.index(b"tEXt") + 4]


def chunkpastend():
    """A PNG whose text chunk claims 256 MiB over the file's last few bytes:
    the PNG library clears a buffer that large, then reads on and on."""
    p = png()
    at = p.index(b"IDAT") - 4
    return p[:at] + struct.pack(">I", 0x10000000) + b"tEXt" + b"Comment\0a small pict"


def gifcutinextension():
    """A GIF that claims a height of 65535 and is cut inside the comment
    ahead of its image, a few hundred bytes in: the GIF reader asks for the
    comment's next block for ever."""
    g = gif(comment=b"a comment to cut " * 14, claim=(40, 65535))
    return g[:g.index(b"\x21\xfe") + 200]


HANGING = {
    "png cut after a chunk header": cutafterheader,
    "png chunk claiming a length past the end": chunkpastend,
    "gif claiming 65535 rows, cut inside an extension": gifcutinextension,
}


def gifwide():
    """A GIF 16384 pixels wide: SDL refuses the surface, and the GIF reader
    writes through the null it gets."""
    return gif(claim=(16384, 30))


def pngtalks():
    """A PNG whose compressed rows refer back to bytes before their start,
    as if to a dictionary: the PNG library prints "libpng error: IDAT:
    invalid distance too far back" as it gives up."""
    rows = b"".join(b"\0" + bytes((200, 40, 10)) * 40 for _ in range(30))
    z = zlib.compressobj(9, zlib.DEFLATED, -15, zdict=rows[:200])
    data = b"\x78\xda" + z.compress(rows) + z.flush() + struct.pack(">I", zlib.adler32(rows))
    p = png()
    return p[:p.index(b"IDAT") - 4] + chunk(b"IDAT", data) + chunk(b"IEND", b"")


# The fuzz test's damage, each a function (random generator, bytes) -> bytes.
HUGE = (0x7fffffff, 0xffffffff, 0x10000000, 0xffff, 0x4000)


def flip(r, b):
    b = bytearray(b)
    for _ in range(r.randint(1, 8)):
        b[r.randrange(len(b))] ^= 1 << r.randrange(8)
    return bytes(b)


def cut(r, b):
    return b[:r.randrange(len(b))]


def repeat(r, b):
    at = r.randrange(len(b))
    block = b[at:at + r.randint(1, 64)]
    return b[:at] + block * r.randint(2, 20) + b[at:]


def huge(r, b):
    """A huge value over one of the file's length or size fields, or over
    any bytes, as wide and in the byte order of the format's fields."""
    big = b.startswith(PNGSIG) or b.startswith(b"\xff\xd8")
    wide = 2 if b.startswith((b"GIF", b"\xff\xd8")) else 4
    at = r.choice(fields(b)) if r.random() < 0.7 else r.randrange(len(b))
    v = min(r.choice(HUGE), (1 << 8 * wide) - 1)
    return b[:at] + v.to_bytes(wide, "big" if big else "little") + b[at + wide:]


def zero(r, b):
    at = r.randrange(len(b))
    n = r.randint(1, 256)
    return b[:at] + bytes(len(b[at:at + n])) + b[at + n:]


DAMAGE = (flip, cut, repeat, huge, zero)


def fields(b):
    """Offsets of the length and size fields of a PNG, JPEG, GIF or BMP
    file, as far as it parses; [0] for anything else."""
    out = []
    if b.startswith(PNGSIG):
        at = 8
        while at + 8 <= len(b):
            out.append(at)
            at += 12 + struct.unpack(">I", b[at:at + 4])[0]
    elif b[:2] == b"\xff\xd8":
        at = 2
        while at + 4 <= len(b) and b[at] == 0xff and b[at + 1] not in (0xd9, 0xda):
            out.append(at + 2)
            if b[at + 1] in (0xc0, 0xc1, 0xc2):
                out += [at + 5, at + 7]   # height and width
            at += 2 + struct.unpack(">H", b[at + 2:at + 4])[0]
    elif b[:3] == b"GIF":
        out += [6, 8]
        at = b.find(b",", 13)
        if at > 0:
            out += [at + 5, at + 7]
    elif b[:2] == b"BM":
        out += [2, 10, 14, 18, 22, 34]
    return out or [0]
