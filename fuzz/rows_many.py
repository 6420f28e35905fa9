"""Runs the png_structured check (fuzz/targets.py: the module against the
reference decoder) on N generated PNGs made to reach the row core's
multi-row paths, which mutated seeds seldom do: runs of Average and Paeth
rows among others, RGB and RGBA, narrow rows and wide ones (some lying
about a multiple of 4 KiB apart, which are undone four rows at a time
rather than eight), the image data cut into IDAT chunks at random, and now
and then a bad filter byte. One image in 500 is large, its rows more than
one inflater piece, so that they are undone on the row worker while the
next piece is inflated; some of those are cut short.

    python -m fuzz.rows_many N [SEED]

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
    cut = rnd.choice([len(data) + 1, 1 + rnd.randrange(max(1, len(data)))])
    header = struct.pack(">IIBBBBB", width, height, 8, colour, 0, 0, 0)
    idats = b"".join(chunk(b"IDAT", data[k : k + cut]) for k in range(0, len(data), cut))
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + idats + chunk(b"IEND", b"")


def main():
    count = int(sys.argv[1])
    rnd = random.Random(int(sys.argv[2]) if len(sys.argv) > 2 else 1)
    run_many("png_structured", count, lambda: generated_png(rnd))


if __name__ == "__main__":
    main()
