"""Structure-aware mutators for the png_structured and bmp_structured fuzz
targets (fuzz/targets.py), given to libFuzzer as its custom mutator.

A byte-level mutation of a PNG file almost always ends at the CRC check or in
zlib, and never reaches the row filters. These mutators take the file apart
and change it where it matters, then put it back together so that it passes
the checks it is not meant to fail:

* PNG: every chunk is re-CRC'd after it changes (a bad CRC is one mutation
  among many); the image data is inflated, its scanlines changed (filter
  bytes above all, row bytes, one byte more or less, rows added or dropped),
  deflated again at a random level and strategy and split into several IDAT
  chunks; IHDR fields move within and just outside the accepted values, the
  scanlines often following the new size; chunks are added, dropped,
  repeated or moved; the file is cut or gets a tail.
* BMP: the headers stay consistent (offset, sizes, row stride and padding)
  while width, height, its sign, the pixel offset, the pad bytes and the
  point where the file ends change; single header fields also move to
  values just outside the accepted ones.

Images stay small (a few pixels a side): the native kernels are checked
exhaustively on wide rows elsewhere, and the Python oracle stays fast.

Each mutator is deterministic for a given (data, max_size, seed). It needs
the standard library alone; `byte_mutate` may be libFuzzer's own byte-level
mutator (atheris.Mutate), else a small one here is used.
"""

from __future__ import annotations

import random
import struct
import zlib

from testkit.spy import chunk
from testkit.spy import crc as chunk_crc

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

# Largest image the mutators make; IHDR and BMP header fields may still
# announce anything.
MAX_SIDE = 12
MAX_INFLATE = 1 << 20


def simple_byte_mutate(data: bytes, max_size: int, rng: random.Random) -> bytes:
    """A few random byte changes: flip, set, insert, delete."""
    out = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(4)
        if op == 0 and out:
            out[rng.randrange(len(out))] ^= 1 << rng.randrange(8)
        elif op == 1 and out:
            out[rng.randrange(len(out))] = rng.choice((0, 1, 0x7F, 0x80, 0xFF, rng.randrange(256)))
        elif op == 2:
            out.insert(rng.randint(0, len(out)), rng.randrange(256))
        elif out:
            del out[rng.randrange(len(out))]
    return bytes(out[:max_size])


def _bytes(rng: random.Random, n: int) -> bytes:
    kind = rng.randrange(4)
    if kind == 0:
        return bytes(n)
    if kind == 1:
        return bytes([rng.randrange(256)]) * n
    if kind == 2:
        start, step = rng.randrange(256), rng.randrange(1, 40)
        return bytes((start + step * i) & 255 for i in range(n))
    return bytes(rng.randrange(256) for _ in range(n))


# ---------------------------------------------------------------------------
# PNG


class Chunk:
    """One chunk; `crc` None means the right CRC, computed when written;
    `length` None means the true length."""

    __slots__ = ("ctype", "data", "crc", "length")

    def __init__(self, ctype: bytes, data: bytes, crc: int | None = None, length: int | None = None):
        self.ctype, self.data, self.crc, self.length = ctype, data, crc, length

    def serialize(self) -> bytes:
        return chunk(self.ctype, self.data, crc_value=self.crc, length=self.length)


class Png:
    """A PNG file as a signature, a list of chunks and a tail of bytes that
    did not parse as a chunk (or follow IEND)."""

    def __init__(self, signature: bytes = PNG_SIGNATURE, chunks=None, tail: bytes = b""):
        self.signature = signature
        self.chunks: list[Chunk] = chunks or []
        self.tail = tail

    @classmethod
    def parse(cls, data: bytes) -> "Png | None":
        if not data.startswith(PNG_SIGNATURE):
            return None
        png = cls(data[:8])
        pos = 8
        while pos + 12 <= len(data):
            length = struct.unpack_from(">I", data, pos)[0]
            end = pos + 12 + length
            if end > len(data):
                break
            ctype = data[pos + 4 : pos + 8]
            body = data[pos + 8 : pos + 8 + length]
            crc = struct.unpack_from(">I", data, end - 4)[0]
            png.chunks.append(Chunk(ctype, body, None if crc == chunk_crc(ctype, body) else crc))
            pos = end
        png.tail = data[pos:]
        return png

    def serialize(self) -> bytes:
        return self.signature + b"".join(c.serialize() for c in self.chunks) + self.tail

    def find(self, ctype: bytes) -> list[int]:
        return [i for i, c in enumerate(self.chunks) if c.ctype == ctype]

    def header(self):
        """(width, height, colour type) of the IHDR the decoder would use, or
        None."""
        ihdr = None
        for c in self.chunks:
            if c.ctype == b"IEND":
                break
            if c.ctype == b"IHDR" and len(c.data) == 13:
                ihdr = c
        if ihdr is None:
            return None
        width, height, _depth, colour = struct.unpack(">IIBB", ihdr.data[:10])
        return width, height, colour

    def idat(self) -> bytes:
        return b"".join(c.data for c in self.chunks if c.ctype == b"IDAT")

    def set_idat(self, pieces: list[bytes], rng: random.Random) -> None:
        """Replaces the IDAT chunks by `pieces`, where the first one was (or
        after IHDR), now and then with another chunk between two of them."""
        where = self.find(b"IDAT")
        if where:
            at = where[0]
        else:
            ihdr = self.find(b"IHDR")
            at = ihdr[0] + 1 if ihdr else 0
        self.chunks = [c for c in self.chunks if c.ctype != b"IDAT"]
        at = min(at, len(self.chunks))
        new = []
        for k, piece in enumerate(pieces):
            if k and rng.random() < 0.1:
                new.append(ancillary_chunk(rng))
            new.append(Chunk(b"IDAT", piece))
        self.chunks[at:at] = new


def ihdr_record(width, height, depth=8, colour=2, compression=0, filt=0, interlace=0) -> bytes:
    return struct.pack(">IIBBBBB", width, height, depth, colour, compression, filt, interlace)


def inflate(data: bytes) -> bytes:
    """As much of the zlib stream `data` as inflates (bounded)."""
    inflater = zlib.decompressobj()
    try:
        return inflater.decompress(data, MAX_INFLATE)
    except zlib.error:
        return b""


def deflate(raw: bytes, rng: random.Random) -> bytes:
    """A zlib stream of `raw` at a random level, window and strategy, now and
    then in several flushed blocks."""
    level = rng.choice((-1, 0, 1, 6, 9, rng.randrange(10)))
    wbits = rng.choice((15, 15, 15, 9, 12))
    strategy = rng.choice(
        (zlib.Z_DEFAULT_STRATEGY,) * 4 + (zlib.Z_FILTERED, zlib.Z_HUFFMAN_ONLY, zlib.Z_RLE, zlib.Z_FIXED)
    )
    comp = zlib.compressobj(level, zlib.DEFLATED, wbits, rng.choice((8, 9, 1)), strategy)
    if raw and rng.random() < 0.2:
        cut = rng.randrange(len(raw) + 1)
        flush = rng.choice((zlib.Z_SYNC_FLUSH, zlib.Z_FULL_FLUSH))
        return comp.compress(raw[:cut]) + comp.flush(flush) + comp.compress(raw[cut:]) + comp.flush()
    return comp.compress(raw) + comp.flush()


def split(data: bytes, rng: random.Random) -> list[bytes]:
    """`data` in one to four pieces (empty ones included, now and then)."""
    n = rng.choice((1, 1, 2, 3, 4))
    cuts = sorted(rng.randint(0, len(data)) for _ in range(n - 1))
    bounds = [0] + cuts + [len(data)]
    return [data[a:b] for a, b in zip(bounds, bounds[1:])]


def ancillary_chunk(rng: random.Random) -> Chunk:
    ctype = rng.choice(
        (
            b"tEXt",
            b"gAMA",
            b"pHYs",
            b"sRGB",
            b"zzZz",
            b"iDOT",
            b"IDAt",
            b"\x00\x00\x00\x00",
            bytes(rng.randrange(256) for _ in range(4)),
        )
    )
    return Chunk(ctype, _bytes(rng, rng.choice((0, 1, 4, 9, rng.randrange(40)))))


def scanlines(width: int, height: int, bpp: int, rng: random.Random) -> bytes:
    """Random scanlines: each row a filter byte (now and then an invalid
    one) and its bytes."""
    fixed = rng.randrange(5) if rng.random() < 0.3 else None
    out = bytearray()
    for _ in range(height):
        out.append(filter_byte(rng) if fixed is None else fixed)
        out += _bytes(rng, width * bpp)
    return bytes(out)


def filter_byte(rng: random.Random) -> int:
    r = rng.random()
    if r < 0.85:
        return rng.randrange(5)
    if r < 0.95:
        return rng.choice((5, 6, 7, 8, 9, 0x80, 0xFF, 0x24, 0x1C, 0x23))
    return rng.randrange(256)


def fresh_png(rng: random.Random) -> Png:
    width, height = rng.randint(0, 6), rng.randint(0, 6)
    colour = rng.choice((2, 6))
    raw = scanlines(width, height, 3 if colour == 2 else 4, rng)
    png = Png(chunks=[Chunk(b"IHDR", ihdr_record(width, height, colour=colour))])
    png.set_idat(split(deflate(raw, rng), rng), rng)
    png.chunks.append(Chunk(b"IEND", b""))
    return png


def _rows(raw: bytes, row_length: int) -> list[bytearray]:
    stride = row_length + 1
    return [bytearray(raw[i : i + stride]) for i in range(0, len(raw), stride)]


def mutate_scanlines(png: Png, rng: random.Random, byte_mutate) -> None:
    """Inflates the image data, changes the scanlines, deflates them again
    and splits them into IDAT chunks."""
    header = png.header()
    width, height, colour = header if header else (rng.randint(1, 4), rng.randint(1, 4), 2)
    bpp = 4 if colour == 6 else 3
    raw = inflate(png.idat())
    row_length = width * bpp
    rows = _rows(raw, row_length) if 0 < row_length < 4096 else []
    if not rows or (
        width <= MAX_SIDE and height <= MAX_SIDE and len(raw) != height * (row_length + 1) and rng.random() < 0.5
    ):
        if width <= MAX_SIDE and height <= MAX_SIDE:
            rows = (
                _rows(scanlines(width, height, bpp, rng), row_length)
                if row_length
                else [bytearray([filter_byte(rng)]) for _ in range(height)]
            )
    for _ in range(rng.choice((1, 1, 1, 2, 3))):
        # Filter bytes and row contents mostly; a change of length (which
        # the size test refuses) now and then.
        op = rng.choices(range(12), (12, 6, 6, 6, 4, 4, 8, 2, 2, 2, 5, 4))[0]
        if not rows:
            if header and header[1] == 0 and rng.random() < 0.8:
                continue  # no rows, and rightly so
            rows.append(bytearray([filter_byte(rng)]) + bytearray(_bytes(rng, row_length if row_length < 64 else 3)))
        y = rng.randrange(len(rows))
        row = rows[y]
        if op <= 3:  # one filter byte
            if row:
                row[0] = filter_byte(rng)
        elif op == 4:  # every filter byte
            value = filter_byte(rng)
            for r in rows:
                if r:
                    r[0] = value
        elif op == 5:  # every filter byte at random
            for r in rows:
                if r:
                    r[0] = filter_byte(rng)
        elif op == 6:  # row bytes
            for _ in range(rng.randint(1, 4)):
                if len(row) > 1:
                    row[rng.randrange(1, len(row))] = rng.randrange(256)
        elif op == 7:  # one byte more
            row.insert(rng.randint(0, len(row)), rng.randrange(256))
        elif op == 8:  # one byte less
            if row:
                del row[rng.randrange(len(row))]
        elif op == 9:  # a row more or less
            if rng.random() < 0.5:
                rows.insert(y, bytearray(row))
            else:
                del rows[y]
        elif op == 10:  # a whole row anew
            rows[y] = bytearray([filter_byte(rng)]) + bytearray(_bytes(rng, max(0, len(row) - 1)))
        else:  # libFuzzer's (or our) byte mutations on the scanlines
            joined = bytes(b"".join(rows))
            joined = byte_mutate(joined, len(joined) + 8)
            rows = [bytearray(joined)]
    raw = bytes(b"".join(rows))
    stream = deflate(raw, rng)
    r = rng.random()
    if r < 0.03 and stream:
        stream = stream[: rng.randrange(len(stream))]  # cut short
    elif r < 0.05 and stream:
        i = rng.randrange(len(stream))
        stream = stream[:i] + bytes([stream[i] ^ (1 << rng.randrange(8))]) + stream[i + 1 :]
    elif r < 0.07:
        stream += _bytes(rng, rng.randint(1, 8))  # after the end of the stream
    png.set_idat(split(stream, rng), rng)


WIDTHS = (0, 1, 2, 3, 4, 5, 7, 8, 12, 2**31 - 1, 2**31, 2**32 - 1, 2**30, 0x40000000 // 3, 65536)


def mutate_ihdr(png: Png, rng: random.Random) -> None:
    """One or more IHDR fields within or just outside the accepted values;
    often the scanlines follow a new size."""
    where = png.find(b"IHDR")
    if not where:
        png.chunks.insert(0, Chunk(b"IHDR", ihdr_record(1, 1)))
        where = [0]
    c = png.chunks[rng.choice(where)]
    record = bytearray(c.data[:13].ljust(13, b"\0"))
    width, height, depth, colour, comp, filt, inter = struct.unpack(">IIBBBBB", record)
    field = rng.randrange(9)
    resized = False
    if field <= 1:
        value = width if field == 0 else height
        k = rng.randrange(4)
        value = (
            (value + rng.choice((-1, 1))) % 2**32
            if k == 0
            else rng.choice(WIDTHS)
            if k == 1
            else rng.randint(0, MAX_SIDE)
        )
        width, height = (value, height) if field == 0 else (width, value)
        resized = True
    elif field == 2:
        depth = rng.choice((8, 8, 8, 1, 2, 4, 16, 0, 7, 9, 255))
    elif field == 3:
        colour = rng.choice((2, 6, 2, 6, 0, 3, 4, 1, 5, 7, 255))
        resized = True
    elif field == 4:
        comp = rng.choice((0, 0, 1, 255))
    elif field == 5:
        filt = rng.choice((0, 0, 1, 255))
    elif field == 6:
        inter = rng.choice((0, 0, 1, 2))
    elif field == 7:  # a record of 12 or 14 bytes
        c.data = bytes(record) + b"\0" if rng.random() < 0.5 else bytes(record[:12])
        c.crc = None
        return
    else:  # all back to accepted values, a new small size
        width, height, depth, colour, comp, filt, inter = (
            rng.randint(0, 8),
            rng.randint(0, 8),
            8,
            rng.choice((2, 6)),
            0,
            0,
            0,
        )
        resized = True
    c.data = struct.pack(">IIBBBBB", width, height, depth, colour, comp, filt, inter)
    c.crc = None
    if resized and width <= MAX_SIDE and height <= MAX_SIDE and colour in (2, 6) and rng.random() < 0.7:
        raw = scanlines(width, height, 3 if colour == 2 else 4, rng)
        png.set_idat(split(deflate(raw, rng), rng), rng)


def crop(png: Png, rng: random.Random) -> None:
    """A large image cut down to its top left corner, rows and filters kept."""
    header = png.header()
    if not header:
        return
    width, height, colour = header
    bpp = 4 if colour == 6 else 3
    raw = inflate(png.idat())
    if width * bpp == 0 or len(raw) != height * (width * bpp + 1):
        return
    w, h = min(width, rng.randint(1, MAX_SIDE)), min(height, rng.randint(1, MAX_SIDE))
    rows = _rows(raw, width * bpp)[:h]
    raw = b"".join(bytes(r[: 1 + w * bpp]) for r in rows)
    for i in png.find(b"IHDR"):
        c = png.chunks[i]
        if len(c.data) == 13:
            c.data = struct.pack(">II", w, h) + c.data[8:]
            c.crc = None
    png.set_idat(split(deflate(raw, rng), rng), rng)


def mutate_chunks(png: Png, rng: random.Random, byte_mutate) -> None:
    chunks = png.chunks
    op = rng.randrange(13)
    i = rng.randrange(len(chunks)) if chunks else 0
    if op <= 2:
        chunks.insert(rng.randint(0, len(chunks)), ancillary_chunk(rng))
    elif op == 3 and chunks:
        del chunks[i]
    elif op == 4 and chunks:
        c = chunks[i]
        chunks.insert(rng.randint(0, len(chunks)), Chunk(c.ctype, c.data, c.crc))
    elif op == 5 and len(chunks) > 1:
        j = rng.randrange(len(chunks))
        chunks[i], chunks[j] = chunks[j], chunks[i]
    elif op == 6 and chunks:  # its data changed and re-CRC'd
        c = chunks[i]
        c.data = byte_mutate(c.data, len(c.data) + 16)
        c.crc = None
    elif op == 7 and chunks:  # a bad CRC
        c = chunks[i]
        c.crc = (
            (chunk_crc(c.ctype, c.data) ^ (1 << rng.randrange(32)))
            if rng.random() < 0.7
            else int.from_bytes(struct.pack("<I", chunk_crc(c.ctype, c.data)), "big")
        )
    elif op == 8 and chunks:  # a length field that lies
        c = chunks[i]
        c.length = max(0, len(c.data) + rng.choice((-1, 1, -4, 4, 2**31)))
    elif op == 9:  # no IEND, or something after it
        if png.find(b"IEND") and rng.random() < 0.5:
            chunks[:] = [c for c in chunks if c.ctype != b"IEND"]
        else:
            png.tail += rng.choice((b"junk", Chunk(b"IHDR", ihdr_record(1, 1)).serialize(), b"\0\0\0"))
    elif op == 10:  # a second IHDR
        chunks.insert(
            rng.randint(0, len(chunks)),
            Chunk(b"IHDR", ihdr_record(rng.randint(0, 6), rng.randint(0, 6), colour=rng.choice((2, 6)))),
        )
    elif op == 11 and chunks:  # a type changed by one bit
        c = chunks[i]
        t = bytearray(c.ctype)
        if t:
            t[rng.randrange(len(t))] ^= 1 << rng.randrange(8)
        c.ctype, c.crc = bytes(t), None
    else:  # the signature
        png.signature = rng.choice((PNG_SIGNATURE[:7] + b"\x00", PNG_SIGNATURE[:7], b"BM" + PNG_SIGNATURE[2:]))


def repair_png(png: Png, rng: random.Random) -> None:
    """Damage from earlier rounds mostly repaired, so that inputs do not keep
    failing at the same early check: the signature, a cut (a tail without
    IEND before it), bad CRCs, an IHDR of the wrong size or with refused
    values, image data of the wrong length."""
    png.signature = PNG_SIGNATURE
    if png.tail and not png.find(b"IEND") and rng.random() < 0.8:
        png.tail = b""
    for c in png.chunks:
        c.length = None
        if c.crc is not None and rng.random() < 0.8:
            c.crc = None
        if c.ctype == b"IHDR" and rng.random() < 0.5:
            record = bytearray(c.data[:13].ljust(13, b"\0"))
            if record[8] != 8:
                record[8] = 8
            if record[9] not in (2, 6):
                record[9] = rng.choice((2, 6))
            record[10:13] = bytes(3)
            c.data = bytes(record)
    header = png.header()
    if header and header[0] <= MAX_SIDE and header[1] <= MAX_SIDE and header[2] in (2, 6) and rng.random() < 0.5:
        width, height, colour = header
        expected = height * (width * (3 if colour == 2 else 4) + 1)
        raw = inflate(png.idat())
        if len(raw) != expected:
            raw = raw[:expected] + _bytes(rng, max(0, expected - len(raw)))
            png.set_idat(split(deflate(raw, rng), rng), rng)


def _start(data: bytes, seed: int, byte_mutate, parse, fresh):
    """The mutator's random source, its byte mutator (the engine's, or a
    plain one) and the parsed input (now and then, or when it does not parse,
    a fresh one)."""
    rng = random.Random(seed)
    if byte_mutate is None:

        def byte_mutate(d, n):
            return simple_byte_mutate(d, n, rng)

    parsed = parse(data)
    if parsed is None or rng.random() < 0.02:
        parsed = fresh(rng)
    return rng, byte_mutate, parsed


def mutate_png(data: bytes, max_size: int, seed: int, byte_mutate=None) -> bytes:
    rng, byte_mutate, png = _start(data, seed, byte_mutate, Png.parse, fresh_png)
    repair_png(png, rng)
    header = png.header()
    if (
        header
        and header[0] * header[1] > MAX_SIDE * MAX_SIDE
        and header[0] * header[1] < 1 << 16
        and rng.random() < 0.7
    ):
        crop(png, rng)
    for _ in range(rng.choice((1, 1, 1, 2, 3))):
        r = rng.random()
        if r < 0.5:
            mutate_scanlines(png, rng, byte_mutate)
        elif r < 0.72:
            mutate_ihdr(png, rng)
        elif r < 0.95:
            mutate_chunks(png, rng, byte_mutate)
        else:
            png.tail = b""
            out = byte_mutate(png.serialize(), max_size)
            return out[:max_size]
    out = png.serialize()
    if rng.random() < 0.04:
        out = out[: rng.randrange(len(out) + 1)]
    if len(out) > max_size:
        out = fresh_png(rng).serialize()[:max_size]
    return out


# ---------------------------------------------------------------------------
# BMP

BMP_FIELDS = (
    "fileSize",
    "reserved1",
    "reserved2",
    "pixelOffset",
    "dibSize",
    "width",
    "height",
    "planes",
    "bitCount",
    "compression",
    "imageSize",
    "xPpm",
    "yPpm",
    "clrUsed",
    "clrImportant",
)
BMP_FORMAT = "<2sIHHIIiiHHIIiiII"


def row_stride(width: int) -> int:
    return (width * 3 + 3) // 4 * 4


class Bmp:
    """A BMP file as its header fields, the bytes between the headers and the
    pixel offset (`gap`), and the bytes from there on (`body`)."""

    def __init__(self, fields: dict, gap: bytes = b"", body: bytes = b""):
        self.fields = fields
        self.gap = gap
        self.body = body

    @classmethod
    def parse(cls, data: bytes) -> "Bmp | None":
        if len(data) < 54 or data[:2] != b"BM":
            return None
        values = struct.unpack_from(BMP_FORMAT, data)
        fields = dict(zip(BMP_FIELDS, values[1:]))
        offset = fields["pixelOffset"]
        if 54 <= offset <= len(data):
            return cls(fields, data[54:offset], data[offset:])
        return cls(fields, b"", data[54:])

    @classmethod
    def make(cls, width: int, height: int, rows: list[bytes], gap: bytes = b"") -> "Bmp":
        body = b"".join(rows)
        fields = dict(
            fileSize=54 + len(gap) + len(body),
            reserved1=0,
            reserved2=0,
            pixelOffset=54 + len(gap),
            dibSize=40,
            width=width,
            height=height,
            planes=1,
            bitCount=24,
            compression=0,
            imageSize=len(body),
            xPpm=2835,
            yPpm=2835,
            clrUsed=0,
            clrImportant=0,
        )
        return cls(fields, gap, body)

    def serialize(self) -> bytes:
        values = []
        for name, code in zip(BMP_FIELDS, BMP_FORMAT[3:]):
            bits = 16 if code == "H" else 32
            value = self.fields[name] % 2**bits  # a field moved past its range wraps
            if code == "i" and value >= 2**31:
                value -= 2**32
            values.append(value)
        return struct.pack(BMP_FORMAT, b"BM", *values) + self.gap + self.body

    def rows(self) -> list[bytes]:
        """The stored rows as the header describes them (the last one maybe
        short), for a sane width."""
        width = self.fields["width"]
        stride = row_stride(width)
        if not 0 < width <= 4096:
            return []
        count = min(abs(self.fields["height"]), len(self.body) // stride + 1, 4096)
        return [self.body[i * stride : (i + 1) * stride] for i in range(count)]


def bmp_rows(width: int, height: int, rng: random.Random, old: list[bytes] = ()) -> list[bytes]:
    """|height| stored rows for `width`: pixels from the old rows where there
    are some, pad bytes zero or not."""
    stride = row_stride(width)
    pad_kind = rng.randrange(3)
    rows = []
    for y in range(abs(height)):
        pixels = old[y][: width * 3] if y < len(old) else b""
        pixels = pixels + _bytes(rng, width * 3 - len(pixels))
        pad = stride - width * 3
        rows.append(pixels + (bytes(pad) if pad_kind else _bytes(rng, pad)))
    return rows


def fresh_bmp(rng: random.Random) -> Bmp:
    width, height = rng.randint(0, 6), rng.randint(-6, 6)
    gap = _bytes(rng, rng.choice((0, 0, 0, 1, 4, 1024 // 64)))
    return Bmp.make(width, height, bmp_rows(width, height, rng), gap)


def consistent(bmp: Bmp, rng: random.Random) -> None:
    """Offset and size fields brought in line with the gap and body (usually;
    a stale field is also worth a try)."""
    f = bmp.fields
    if rng.random() < 0.9:
        f["pixelOffset"] = 54 + len(bmp.gap)
    if rng.random() < 0.8:
        f["fileSize"] = 54 + len(bmp.gap) + len(bmp.body)
    if rng.random() < 0.8:
        f["imageSize"] = len(bmp.body)


EXTREME_SIDES = (2**31 - 1, -(2**31), -(2**31) + 1, 2**30, 0x2AAAAAAB, 0x55555556, 65536, 65537, 1 << 20, -1, -2)


def mutate_bmp(data: bytes, max_size: int, seed: int, byte_mutate=None) -> bytes:
    rng, byte_mutate, bmp = _start(data, seed, byte_mutate, Bmp.parse, fresh_bmp)
    f = bmp.fields
    # Refused format fields from earlier rounds mostly put right, so that
    # inputs do not keep failing at the same early check.
    for name, good in (("dibSize", 40), ("planes", 1), ("bitCount", 24), ("compression", 0)):
        if f[name] != good and rng.random() < 0.6:
            f[name] = good
    if max(abs(f["width"]), abs(f["height"]), abs(f["width"] * f["height"])) > 4096 and rng.random() < 0.8:
        # A header announcing a huge image, or very many empty rows, usually
        # back to a small size (each costs the sanitizer build a pass over
        # the buffer's shadow, or the oracle 65536 row reads).
        f["width"], f["height"] = rng.randint(0, MAX_SIDE), rng.randint(-MAX_SIDE, MAX_SIDE)
    elif (
        abs(f["width"] * f["height"]) > MAX_SIDE * MAX_SIDE
        and len(bmp.body) > 4 * MAX_SIDE * MAX_SIDE
        and rng.random() < 0.7
    ):
        # A large image cut down to a corner of it.
        width, height = rng.randint(1, MAX_SIDE), rng.randint(1, MAX_SIDE) * (-1 if f["height"] < 0 else 1)
        bmp.body = b"".join(bmp_rows(width, height, rng, bmp.rows()))
        f["width"], f["height"] = width, height
        consistent(bmp, rng)
    cut = None
    for _ in range(rng.choice((1, 1, 1, 2, 3))):
        op = rng.randrange(17)
        if op <= 2:  # a new size, the rows laid out for it
            width = rng.randint(0, MAX_SIDE) if rng.random() < 0.9 else rng.randint(-3, -1)
            height = rng.randint(-MAX_SIDE, MAX_SIDE)
            bmp.body = b"".join(bmp_rows(max(width, 0), height, rng, bmp.rows()))
            f["width"], f["height"] = width, height
            consistent(bmp, rng)
        elif op == 3:  # top-down <-> bottom-up
            f["height"] = -f["height"] if f["height"] != -(2**31) else 2**31 - 1
        elif op == 4:  # width or height alone: one off, or extreme
            name = rng.choice(("width", "height"))
            if rng.random() < 0.75:
                f[name] = max(-(2**31), min(2**31 - 1, f[name] + rng.choice((-1, 1))))
            else:
                f[name] = rng.choice(EXTREME_SIDES)
        elif op == 5:  # a gap (colour table, or anything) before the pixels
            bmp.gap = _bytes(rng, rng.choice((0, 1, 3, 4, 8, 1024 // 16)))
            consistent(bmp, rng)
        elif op == 6:  # the pixel offset alone
            f["pixelOffset"] = rng.choice(
                (
                    0,
                    14,
                    53,
                    54,
                    55,
                    54 + len(bmp.gap) + len(bmp.body),
                    54 + len(bmp.gap) + len(bmp.body) + 1,
                    2**31,
                    2**32 - 1,
                    max(0, f["pixelOffset"] + rng.choice((-1, 1))),
                )
            )
        elif op == 7:  # pad bytes
            width = f["width"]
            pad = row_stride(width) - 3 * width if 0 < width <= 4096 else 0
            stride = 3 * width + pad
            if pad > 0 and bmp.body:
                body = bytearray(bmp.body)
                for start in range(3 * width, len(body), stride):
                    for k in range(pad):
                        if start + k < len(body):
                            body[start + k] = rng.randrange(256)
                bmp.body = bytes(body)
        elif op == 8:  # a row one byte shorter or longer
            body = bytearray(bmp.body)
            if body and rng.random() < 0.5:
                del body[rng.randrange(len(body))]
            else:
                body.insert(rng.randint(0, len(body)), rng.randrange(256))
            bmp.body = bytes(body)
        elif op == 9:  # the format fields, near the accepted values
            name = rng.choice(("planes", "bitCount", "compression", "dibSize"))
            f[name] = rng.choice(
                {
                    "planes": (1, 0, 2, 65535),
                    "bitCount": (24, 1, 4, 8, 16, 23, 25, 32, 48),
                    "compression": (0, 1, 2, 3, 4, 6),
                    "dibSize": (40, 12, 39, 41, 56, 108, 124, 0),
                }[name]
            )
        elif op == 10:  # the fields nobody checks
            name = rng.choice(
                ("fileSize", "reserved1", "reserved2", "imageSize", "xPpm", "yPpm", "clrUsed", "clrImportant")
            )
            limit = 16 if name.startswith("reserved") else 32
            signed = name in ("xPpm", "yPpm")
            f[name] = rng.randrange(2**limit) - (2**31 if signed else 0)
        elif op == 11:  # the file ends early: in the headers, a row, the pad bytes
            total = 54 + len(bmp.gap) + len(bmp.body)
            cut = rng.choice((rng.randrange(total + 1), total - 1, total - 2, rng.randrange(55), 14, 18, 53))
        elif op == 12:  # bytes after the last row
            bmp.body += _bytes(rng, rng.randint(1, 8))
        elif op == 13:  # pixel bytes
            body = bytearray(bmp.body)
            for _ in range(rng.randint(1, 4)):
                if body:
                    body[rng.randrange(len(body))] = rng.randrange(256)
            bmp.body = bytes(body)
        elif op == 14:  # the rows for the header's size, made consistent
            width, height = f["width"], f["height"]
            if 0 <= width <= MAX_SIDE and abs(height) <= MAX_SIDE:
                bmp.body = b"".join(bmp_rows(width, height, rng, bmp.rows()))
                consistent(bmp, rng)
        elif op == 15:  # byte-level, anywhere
            return byte_mutate(bmp.serialize(), max_size)[:max_size]
        else:  # a fresh file
            bmp = fresh_bmp(rng)
            f = bmp.fields
    out = bmp.serialize()
    if cut is not None:
        out = out[:cut]
    if len(out) > max_size:
        out = fresh_bmp(rng).serialize()[:max_size]
    return out
