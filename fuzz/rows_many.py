"""Runs the png_structured check (fuzz/targets.py: the module against the
reference decoder) on N generated PNGs made to reach the row core's
multi-row paths, which mutated seeds seldom do: runs of Average and Paeth
rows among others, RGB and RGBA, narrow rows and wide ones (some lying
about a multiple of 4 KiB apart, which are undone four rows at a time
rather than eight), the image data cut into IDAT chunks at random, and now
and then a bad filter byte. One image in 500 is large, its rows more than
one inflater piece, so that they are undone on the row worker while the
next piece is inflated; some of those are cut short.

    python -m fuzz.rows_many N [SEED] [--large]

--large makes every image large (700 KB, 1.5 MB or 3 MB of rows, any width
up to 3000), half of them drawings (most rows repeat one row's bytes, so
they inflate fast and the worker's hand-overs come quickly), some cut short
and some with a second stream after the first; about 2 images a second.

Prints the count of inputs and of disagreements (each is also written to
png_structured-disagreement-K in the current folder); exits 1 on any.
"""

import random
import struct
import sys
import zlib

from fuzz.inflate_many import run_many

WIDE = [1366, 683, 1365, 1024, 700]


def chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def framed(rnd: random.Random, width: int, height: int, colour: int, data: bytes) -> bytes:
    """A PNG of the image data `data`, cut into IDAT chunks at random."""
    cut = rnd.choice([len(data) + 1, 1 + rnd.randrange(max(1, len(data)))])
    header = struct.pack(">IIBBBBB", width, height, 8, colour, 0, 0, 0)
    idats = b"".join(chunk(b"IDAT", data[k : k + cut]) for k in range(0, len(data), cut))
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + idats + chunk(b"IEND", b"")


def generated_png(rnd: random.Random) -> bytes:
    large = rnd.randrange(500) == 0
    wide = large or rnd.randrange(50) == 0
    width = rnd.choice(WIDE) if wide else rnd.randrange(1, 80)
    height = rnd.randrange(9, 14 if wide else 40)
    if large:
        height = (700_000 // (width * 3)) + rnd.randrange(60)
    colour = rnd.choice([2, 6])
    rows = []
    for _ in range(height):
        mixed = rnd.random() < 0.5
        kind = rnd.choice([3, 4, 3, 4, 3, 4, 0, 1, 2] if mixed else [3, 4])
        if rnd.random() < 0.003:
            kind = rnd.randrange(5, 256)
        rows.append(bytes([kind]) + rnd.randbytes(width * (3 if colour == 2 else 4)))
    data = zlib.compress(b"".join(rows), rnd.choice([0, 1, 6]))
    if large and rnd.random() < 0.2:
        data = data[: rnd.randrange(len(data))]
    return framed(rnd, width, height, colour, data)


def large_png(rnd: random.Random) -> bytes:
    width = rnd.choice([*WIDE, rnd.randrange(200, 3000)])
    colour = rnd.choice([2, 6])
    bpp = 3 if colour == 2 else 4
    height = rnd.choice([700_000, 1_500_000, 3_000_000]) // (width * bpp) + rnd.randrange(60)
    drawing = rnd.random() < 0.5
    same = rnd.randbytes(width * bpp)
    rows = []
    for _ in range(height):
        kind = rnd.choice([3, 4, 3, 4, 0, 1, 2])
        if rnd.random() < 0.0005:
            kind = rnd.randrange(5, 256)
        rows.append(bytes([kind]) + (same if drawing and rnd.random() < 0.9 else rnd.randbytes(width * bpp)))
    data = zlib.compress(b"".join(rows), rnd.choice([0, 1, 6]))
    if rnd.random() < 0.2:
        data = data[: rnd.randrange(len(data))]
    elif rnd.random() < 0.1:
        data += zlib.compress(b"x" * rnd.randrange(1, 2_000_000))  # data after the stream's end
    return framed(rnd, width, height, colour, data)


def main():
    args = [a for a in sys.argv[1:] if a != "--large"]
    make = large_png if "--large" in sys.argv[1:] else generated_png
    count = int(args[0])
    rnd = random.Random(int(args[1]) if len(args) > 1 else 1)
    run_many("png_structured", count, lambda: make(rnd))


if __name__ == "__main__":
    main()
