"""Regenerates the committed seed corpus in fuzz/corpus/ (run it with the
module installed; CONFORMANCE points at a copy of the conformance corpus,
default /work/shared/conformance or tests/data/conformance).

Seeds: a few conformance files, small files made by the module's own
writers, and for the structure-aware targets small PNG files (RGB and RGBA,
every row filter, split image data) and BMP files (both row orders, every
padding, a gap before the pixels) made here. The PNG suite's LICENSE travels
with its files (fuzz/corpus/PNGSUITE-LICENSE).
"""

import os
import shutil
import struct
import sys
import tempfile
import zlib

import Morvane.simpleImage_ext as m
from fuzz import structure

here = os.path.dirname(os.path.abspath(__file__))

out = os.path.join(here, "corpus")
conf = os.environ.get("CONFORMANCE") or next(
    (
        p
        for p in ("/work/shared/conformance", os.path.join(here, "..", "tests", "data", "conformance"))
        if os.path.isdir(p)
    ),
    None,
)

PNGS = [
    "primary/basn2c08.png",
    "primary/basn6a08.png",
    "unused/f01n2c08.png",
    "unused/f02n2c08.png",
    "unused/f03n2c08.png",
    "unused/f04n2c08.png",
    "unused/cdsn2c08.png",
    "corrupt/xcsn0g01.png",
    "corrupt/xhdn0g08.png",
    "primary/basn0g08.png",
]
BMPS = ["g/rgb24.bmp", "b/badbitcount.bmp", "b/badheadersize.bmp", "b/shortfile.bmp", "q/rgb24png.bmp"]


def written(writer, w, h, seed):
    px = bytes((seed * 37 + i * 11) & 255 for i in range(w * h * 3))
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "f")
        writer(path, w, h, px)
        with open(path, "rb") as f:
            return f.read()


def top_down(bmp: bytes) -> bytes:
    h = struct.unpack_from("<i", bmp, 22)[0]
    return bmp[:22] + struct.pack("<i", -h) + bmp[26:]


def filtered_png(width, height, colour, pieces=1, extra=False):
    """A small PNG whose rows cycle through the five filters."""
    bpp = 3 if colour == 2 else 4
    raw = b"".join(bytes([y % 5]) + bytes((y * 31 + i * 7) & 255 for i in range(width * bpp)) for y in range(height))
    stream = zlib.compress(raw)
    step = -(-len(stream) // pieces)
    chunks = [structure.Chunk(b"IHDR", structure.ihdr_record(width, height, colour=colour))]
    if extra:
        chunks.append(structure.Chunk(b"tEXt", b"Comment\x00seed"))
    for k in range(pieces):
        chunks.append(structure.Chunk(b"IDAT", stream[k * step : (k + 1) * step]))
    chunks.append(structure.Chunk(b"IEND", b""))
    return structure.Png(chunks=chunks).serialize()


def padded_bmp(width, height, gap=b""):
    """A small BMP, pad bytes not zero."""
    stride = structure.row_stride(width)
    rows = [
        bytes((y * 29 + i * 5) & 255 for i in range(width * 3)) + b"\xee" * (stride - width * 3)
        for y in range(abs(height))
    ]
    return structure.Bmp.make(width, height, rows, gap).serialize()


def put(sub, name, data):
    os.makedirs(os.path.join(out, sub), exist_ok=True)
    with open(os.path.join(out, sub, name), "wb") as f:
        f.write(data)


def main():
    if not conf:
        sys.exit("conformance corpus not found; set CONFORMANCE")
    if os.path.isdir(out):
        shutil.rmtree(out)
    for rel in PNGS:
        put("png", os.path.basename(rel), open(os.path.join(conf, "pngsuite", rel), "rb").read())
    shutil.copy(os.path.join(conf, "pngsuite", "LICENSE"), os.path.join(out, "PNGSUITE-LICENSE"))
    for rel in BMPS:
        put("bmp", os.path.basename(rel), open(os.path.join(conf, "bmpsuite", rel), "rb").read())
    sizes = [(1, 1), (3, 2), (5, 3), (4, 1), (0, 2), (2, 0)]
    for i, (w, h) in enumerate(sizes):
        png = written(m._writePng, w, h, i)
        bmp = written(m._writeBmp, w, h, i)
        put("png", f"ours-{w}x{h}.png", png)
        put("bmp", f"ours-{w}x{h}.bmp", bmp)
        if h:
            put("bmp", f"ours-{w}x{h}-topdown.bmp", top_down(bmp))
        # Streams: no control bytes (a well-behaved stream), and a few
        # control patterns.
        put("stream", f"plain-{w}x{h}.png", b"\x00" + png)
        put("stream", f"plain-{w}x{h}.bmp", b"\x00" + bmp)
        put("stream", f"odd-{w}x{h}.png", b"\x04\x00\x0c\x0e\x0f" + png)
        put("stream", f"odd-{w}x{h}.bmp", b"\x03\x00\x00\x0e" + bmp)
        # Chunks: the round trip (selector 0), a plain BytesIO (1) and an
        # odd stream (2), over the chunks of one of our PNGs.
        put("chunk", f"make-{w}x{h}", b"\x00\x04IDAT" + png[33:60])
        put("chunk", f"bytesio-{w}x{h}", b"\x01\x00" + png[8:])
        put("chunk", f"odd-{w}x{h}", b"\x02\x03\x00\x0c\x0d" + png[8:])
    # Structure-aware targets: small, every filter, RGB and RGBA; every
    # padding, both row orders.
    for w, h, colour, pieces, extra in (
        (1, 1, 2, 1, False),
        (3, 5, 2, 2, False),
        (4, 4, 6, 1, True),
        (5, 6, 6, 3, False),
        (8, 5, 2, 1, True),
        (2, 7, 6, 2, True),
    ):
        kind = "rgb" if colour == 2 else "rgba"
        put("png_structured", f"{kind}-{w}x{h}-{pieces}idat.png", filtered_png(w, h, colour, pieces, extra))
    for w, h, gap in (
        (1, 2, b""),
        (2, -3, b""),
        (3, 3, b"\0" * 4),
        (4, -1, b""),
        (5, 4, b"gap"),
        (7, -6, b""),
        (0, 3, b""),
    ):
        put("bmp_structured", f"{w}x{h}{'-gap' if gap else ''}.bmp", padded_bmp(w, h, gap))
    # Image operations: a few arbitrary programs.
    put("ops", "zeros", bytes(64))
    put("ops", "ramp", bytes(range(256)))
    put("ops", "small", bytes([0, 0, 3, 0, 2, 0, 0] + [i % 13 for i in range(120)]))
    put("ops", "ones", b"\x01" * 96)
    # Rebound globals: each of the seven alone, then all of them, over a few
    # operations.
    for i in range(7):
        put("rebound", f"one-{i}", bytes(1 << i if j == i else 0 for j in range(7)) + bytes(range(3, 120)))
    put("rebound", "all", b"\x01" * 7 + bytes(range(200)))
    put("rebound", "none", bytes(7) + b"\x03\x00\x02\x01\x00\x05\x04" + bytes(range(64)))
    # zlib streams alone: streams as they come (first byte even), and the
    # made-and-damaged kind (odd) with a few shapes and settings.
    for name, raw in (
        ("rows", b"".join(b"\x04" + bytes(range(y, y + 30)) for y in range(8))),
        ("zeros", bytes(4000)),
        ("empty", b""),
    ):
        put("inflate", f"stream-{name}", b"\x00" + zlib.compress(raw))
    put("inflate", "stream-stored", b"\x00" + zlib.compress(bytes(range(256)) * 4, 0))
    put("inflate", "made-small", b"\x01\x00\x05\x03" + bytes(range(40)))
    put("inflate", "made-paeth", b"\x01\x01\x21\x09" + bytes(range(1, 100, 3)))
    put("inflate", "made-big", b"\x01\x00\x00\x00\x00" + bytes(range(200, 0, -1)))


if __name__ == "__main__":
    main()
