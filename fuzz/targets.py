"""Fuzz targets for Morvane.simpleImage_ext.

Each target is a plain function taking one ``bytes`` input. It runs the
module on something derived from that input and raises only when it sees a
*bug*: an exception type the operation never documents (SystemError,
AttributeError, KeyError, ...), a wrong result, or a failed round trip. The
targets that decode files compare every outcome, pixels or exception type and
message, with the reference decoder of testkit/reference.py (the oracle): any
disagreement is a finding. Elsewhere the documented refusals (ValueError,
struct.error, zlib.error, ...) are expected and swallowed. Crashes,
out-of-bounds accesses and undefined behaviour are caught by the sanitizer
build the fuzzer runs against.

The targets depend on nothing but the standard library, the module and the
oracle, so that tests/test_fuzz_regressions.py can replay stored inputs in
any build; fuzz/fuzz.py drives them with atheris.

Targets:
    open_png, open_bmp  SimpleImage._streamToImage and SimpleImage.open on
                        bytes, against the oracle (seeds differ; the code path
                        is the same, so both formats are reached from either);
                        _streamToImage both on a plain io.BytesIO (read in
                        place) and on a subclass (read through its methods)
    png_structured,     the same, with a structure-aware custom mutator
    bmp_structured      (fuzz/structure.py, MUTATORS below) that keeps CRCs,
                        zlib streams and headers consistent while it changes
                        filter bytes, scanlines, sizes, offsets and padding,
                        so that the inputs reach the row filters and the
                        pixel rows
    read_chunk          _readChunk on a stream with odd read results, and the
                        _makeChunk/_readChunk round trip
    stream_to_image     SimpleImage._streamToImage on short or odd streams
    image_ops           the constructor, getPixel, putPixel, copy, the
                        attribute setters and the writers, with odd arguments
    rebound             decoders and writers while struct, zlib, _readChunk,
                        PNG_SIGNATURE, _makeChunk, BytesIO or Path are
                        rebound to misbehaving replacements
    inflate             zlib streams alone, made and damaged or as they come:
                        the PNG decoder's inflating (zlib-ng, in pieces)
                        against the host's zlib.decompress
"""

from __future__ import annotations

import atexit
import functools
import io
import os
import shutil
import struct
import tempfile
import warnings
import zlib

import Morvane.simpleImage_ext as m
from fuzz import structure  # the structure-aware mutators
from testkit import reference  # the oracle
from testkit.spy import chunk  # the PNG chunk builder

SimpleImage = m.SimpleImage


class FuzzError(Exception):
    """Raised on purpose by the odd objects the targets hand to the module."""


class Bug(AssertionError):
    """A finding: the module did something no input may make it do."""


# ---------------------------------------------------------------------------
# Reading the input


class Reader:
    """Deterministic decisions taken from the front of the input; once the
    input is used up every decision is 0 / empty."""

    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def remaining(self) -> int:
        return len(self.data) - self.pos

    def byte(self) -> int:
        if self.pos >= len(self.data):
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b

    def int_in(self, lo: int, hi: int) -> int:
        span = hi - lo + 1
        value = 0
        nbytes = 0
        while (1 << (8 * nbytes)) < span:
            value = (value << 8) | self.byte()
            nbytes += 1
        return lo + value % span

    def bytes(self, n: int) -> bytes:
        chunk = self.data[self.pos : self.pos + n]
        self.pos += len(chunk)
        return chunk

    def rest(self) -> bytes:
        chunk = self.data[self.pos :]
        self.pos = len(self.data)
        return chunk


# ---------------------------------------------------------------------------
# Helpers

# What decoding bytes may raise: the documented refusals.
DECODE_ERRORS = (ValueError, struct.error, zlib.error, OverflowError, MemoryError)

_scratch = None


def scratch_path(name: str) -> str:
    """A path in a scratch directory of this process's own: in
    $MORVANE_FUZZ_SCRATCH when set (the fuzzer's work directory; libFuzzer
    ends the process without running exit handlers; fuzzers run side by side
    there, each with its own files), else a private one on tmpfs when there
    is one, removed when the process exits."""
    global _scratch
    if _scratch is None and os.environ.get("MORVANE_FUZZ_SCRATCH"):
        _scratch = os.path.join(os.environ["MORVANE_FUZZ_SCRATCH"], str(os.getpid()))
        os.makedirs(_scratch, exist_ok=True)
    if _scratch is None:
        base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
        _scratch = tempfile.mkdtemp(prefix="morvane-fuzz-", dir=base)
        atexit.register(shutil.rmtree, _scratch, True)
    return os.path.join(_scratch, name)


def check_image(img, width=None, height=None):
    if type(img) is not SimpleImage:
        raise Bug(f"open returned {type(img)!r}")
    w, h = img.size
    if (width is not None and w != width) or (height is not None and h != height):
        raise Bug(f"size {img.size} != {(width, height)}")
    px = img._pixels
    if type(px) is not bytearray or len(px) != w * h * 3:
        raise Bug("pixel buffer does not match the size")
    if w > 0 and h > 0:
        for x, y in ((0, 0), (w - 1, h - 1)):
            i = (y * w + x) * 3
            if img.getPixel((x, y)) != tuple(px[i : i + 3]):
                raise Bug("getPixel disagrees with the buffer")


def round_trip(img):
    """Small decoded images must survive both writers unchanged."""
    w, h = img.size
    # Small, non-empty images only: an empty image may still claim 2**31 - 1
    # rows, which the PNG writer must write out one filter byte each.
    if not (0 < w and 0 < h and w * h <= 4096):
        return
    for writer, name in ((m._writePng, "rt.png"), (m._writeBmp, "rt.bmp")):
        path = scratch_path(name)
        writer(path, w, h, img._pixels)
        back = SimpleImage.open(path)
        if back.size != (w, h) or back._pixels != img._pixels:
            raise Bug(f"{writer.__name__} round trip changed the image")


# ---------------------------------------------------------------------------
# SimpleImage.open on bytes


def _opened(source):
    img = SimpleImage.open(source)
    check_image(img)
    return img.width, img.height, img._pixels


class ReadsThrough(io.BytesIO):
    """An in-memory stream that is no plain io.BytesIO: the decoders read it
    through its methods, never in place."""


def against_oracle(data: bytes) -> reference.Outcome:
    """_streamToImage and open on `data`, each against the oracle; the
    module's outcome of open. _streamToImage runs twice: on a plain
    io.BytesIO (whose chunks the PNG decoder reads in place) and on one it
    reads through its methods, which must agree on the outcome and on where
    they leave the stream."""
    want = reference.decode(data)
    ends = []
    for stream in (io.BytesIO(data), ReadsThrough(data)):
        got = reference.observe(functools.partial(SimpleImage._streamToImage, stream))
        problem = reference.compare(got, want)
        if problem:
            raise Bug(f"_streamToImage on {type(stream).__name__} disagrees with the reference decoder: {problem}")
        ends.append(stream.tell())
    if ends[0] != ends[1]:
        raise Bug(f"read in place, the stream ends at {ends[0]}, not at {ends[1]}")
    source = bytearray(data) if data[-1:] == b"\x01" else data
    got = reference.observe(lambda: _opened(source))
    problem = reference.compare(got, reference.open_outcome(want))
    if problem:
        raise Bug(f"open disagrees with the reference decoder: {problem}")
    return got


def open_bytes(data: bytes) -> None:
    got = against_oracle(data)
    if got.ok:
        round_trip(SimpleImage(got.width, got.height, got.pixels))


def structured(data: bytes) -> None:
    # The writers' round trip is left to open_png and open_bmp: these
    # targets spend their time on the decoders.
    against_oracle(data)


open_png = open_bytes
open_bmp = open_bytes
png_structured = structured
bmp_structured = structured


# ---------------------------------------------------------------------------
# Odd streams


class _LenLie:
    """A read result whose length is not what it holds."""

    def __init__(self, n):
        self.n = n

    def __len__(self):
        return self.n


class OddStream:
    """A byte stream over ``data`` whose read and seek misbehave as the
    control bytes say, one control byte per call, used cyclically."""

    def __init__(self, control: bytes, data: bytes):
        self.control = control or b"\x00"
        self.calls = 0
        self.data = data
        self.pos = 0

    def _mode(self) -> int:
        c = self.control[self.calls % len(self.control)]
        self.calls += 1
        return c

    def read(self, n=-1):
        mode = self._mode() % 24
        if not isinstance(n, int) or n < 0:
            n = len(self.data)
        chunk = self.data[self.pos : self.pos + n]
        if mode < 12:  # mostly well behaved
            self.pos += len(chunk)
            return chunk
        if mode == 12:  # short read
            chunk = chunk[: len(chunk) // 2]
            self.pos += len(chunk)
            return chunk
        if mode == 13:  # more than asked for
            chunk = self.data[self.pos : self.pos + n + 1 + (n >> 3)]
            self.pos += len(chunk)
            return chunk
        if mode == 14:
            self.pos += len(chunk)
            return bytearray(chunk)
        if mode == 15:
            self.pos += len(chunk)
            return memoryview(chunk)
        if mode == 16:
            return None
        if mode == 17:
            return chunk.decode("latin-1")  # a str of the right length
        if mode == 18:
            return len(chunk)  # no length at all
        if mode == 19:
            raise FuzzError("read failed")
        if mode == 20:
            return _LenLie(n)
        if mode == 21:
            return _LenLie(n + 1)
        if mode == 22:
            return b""  # early end
        # mode 23: a list of ints
        self.pos += len(chunk)
        return list(chunk)

    def seek(self, offset, whence=0):
        mode = self._mode() % 8
        if mode == 7:
            raise FuzzError("seek failed")
        if mode == 6:
            return None  # pretend, without moving
        try:
            self.pos = max(0, int(offset))
        except (TypeError, ValueError, OverflowError):
            raise FuzzError("bad offset") from None
        return self.pos


# What an odd stream may make the decoders raise.
STREAM_ERRORS = DECODE_ERRORS + (TypeError, FuzzError, IndexError)


def split_stream(data: bytes):
    r = Reader(data)
    k = r.int_in(0, 15)
    control = r.bytes(k)
    return control, r.rest()


def read_chunk(data: bytes) -> None:
    r = Reader(data)
    which = r.int_in(0, 3)
    if which == 0:
        # _makeChunk / _readChunk round trip.
        t = r.bytes(r.int_in(0, 6))
        d = r.rest()
        chunk = m._makeChunk(t, d)
        if len(chunk) != 8 + len(t) + len(d):
            raise Bug("_makeChunk length")
        if len(t) == 4:
            s = io.BytesIO(chunk)
            if m._readChunk(s) != (t, d) or m._readChunk(s) != (b"", b""):
                raise Bug("_readChunk did not read back _makeChunk")
        return
    control, payload = split_stream(r.rest())
    if which == 1:
        stream = io.BytesIO(payload)
    else:
        stream = OddStream(control, payload)
    for _ in range(16):
        try:
            t, d = m._readChunk(stream)
        except STREAM_ERRORS:
            return
        if t == b"" and d == b"":
            return


def stream_to_image(data: bytes) -> None:
    control, payload = split_stream(data)
    stream = OddStream(control, payload)
    try:
        result = SimpleImage._streamToImage(stream)
    except STREAM_ERRORS + (AttributeError,):
        # AttributeError: a signature read that returned no bytes-like
        # object has no startswith (the host's own error).
        return
    w, h, px = result
    if type(px) is not bytearray or len(px) != w * h * 3:
        raise Bug("decoder result does not match its size")


# ---------------------------------------------------------------------------
# The image object with odd arguments


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    __index__ = __int__


class SubInt(int):
    pass


class Truthless:
    def __bool__(self):
        raise FuzzError("no truth")


class OddNumber:
    """Compares, adds and multiplies as told; indexes as an int."""

    def __init__(self, r: Reader):
        self.cmp = r.int_in(0, 3)
        self.arith = r.int_in(0, 2)
        self.index = r.int_in(-4, 64)

    def _compare(self, other):
        if self.cmp == 0:
            return True
        if self.cmp == 1:
            return False
        if self.cmp == 2:
            return Truthless()
        raise FuzzError("no compare")

    __lt__ = __le__ = __gt__ = __ge__ = _compare

    def _arith(self, other):
        if self.arith == 0:
            return self
        if self.arith == 1:
            return self.index
        raise FuzzError("no arithmetic")

    __add__ = __radd__ = __mul__ = __rmul__ = _arith

    def __index__(self):
        return self.index


def odd_int(r: Reader):
    k = r.int_in(0, 13)
    if k <= 3:
        return r.int_in(-3, 40)
    if k == 4:
        return r.int_in(-(2**31), 2**31 - 1)
    if k == 5:
        return r.int_in(-(2**70), 2**70)
    if k == 6:
        return bool(r.byte() & 1)
    if k == 7:
        return r.int_in(-30, 300) / 7
    if k == 8:
        return IntLike(r.int_in(-3, 40))
    if k == 9:
        return IntLike(SubInt(r.int_in(-3, 40)))
    if k == 10:
        return IntLike(1.5)
    if k == 11:
        return IntLike(FuzzError("no int"))
    if k == 12:
        return SubInt(r.int_in(-3, 40))
    return (None, "2", 2**31, -(2**31) - 1, 2**31 - 1, -(2**31))[r.int_in(0, 5)]


def odd_coord(r: Reader, img):
    k = r.int_in(0, 7)
    if k <= 2:
        return r.int_in(-2, 70)
    if k == 3:
        return odd_int(r)
    if k == 4:
        return OddNumber(r)
    if k == 5:
        return r.int_in(-(2**66), 2**66)
    if k == 6:
        return r.int_in(0, 5) / 2
    try:
        return img.width - r.int_in(0, 1)
    except Exception:
        return 0


def odd_coords(r: Reader, img):
    k = r.int_in(0, 9)
    if k <= 6:
        return (odd_coord(r, img), odd_coord(r, img))
    if k == 7:
        return tuple(odd_coord(r, img) for _ in range(r.int_in(0, 4)))
    if k == 8:
        return [0, 0]
    return None


def odd_value(r: Reader, img):
    k = r.int_in(0, 9)
    if k <= 3:
        return tuple(odd_int(r) for _ in range(3))
    if k == 4:
        return [r.int_in(-300, 300) for _ in range(3)]
    if k == 5:
        return tuple(r.int_in(0, 255) for _ in range(r.int_in(0, 5)))
    if k == 6:
        return iter([r.int_in(0, 255) for _ in range(r.int_in(0, 5))])
    if k == 7:
        return "abc"
    # A generator that changes the image while its items are drawn.
    action = r.int_in(0, 4)
    size = r.int_in(0, 64)
    values = [odd_int(r) for _ in range(3)]

    def gen():
        yield values[0]
        if action == 0:
            img._pixels = bytearray(size)
        elif action == 1:
            del img._pixels
        elif action == 2:
            px = img._pixels
            if type(px) is bytearray:
                del px[size:]
        elif action == 3:
            img.width = size
        else:
            raise FuzzError("generator failed")
        yield values[1]
        yield values[2]

    return gen()


def odd_pixels(r: Reader, need):
    k = r.int_in(0, 9)
    n = need if (k <= 4 and isinstance(need, int) and 0 <= need <= 1 << 16) else r.int_in(0, 200)
    data = r.bytes(n)
    data += bytes(max(0, n - len(data)))
    if k <= 2 or k == 5:
        return data
    if k == 3 or k == 6:
        return bytearray(data)
    if k == 4:
        return list(data)
    if k == 7:
        return memoryview(data)
    if k == 8:
        return data.decode("latin-1")
    return [r.int_in(-1, 300) for _ in range(r.int_in(0, 12))]


IMAGE_ERRORS = (
    TypeError,
    ValueError,
    OverflowError,
    IndexError,
    struct.error,
    MemoryError,
    FuzzError,
    DeprecationWarning,
)


def _small(v) -> bool:
    return isinstance(v, int) and -4 <= v <= 300


def image_ops(data: bytes) -> None:
    r = Reader(data)
    with warnings.catch_warnings():
        warnings.simplefilter("error" if r.byte() & 1 else "ignore", DeprecationWarning)
        w, h = odd_int(r), odd_int(r)
        try:
            need = int(w) * int(h) * 3
        except Exception:
            need = None
        try:
            img = SimpleImage(w, h, odd_pixels(r, need))
            if len(img._pixels) != need:
                raise Bug("the buffer does not fit the image's size")
        except IMAGE_ERRORS:
            img = SimpleImage(2, 2, bytes(12))
        for _ in range(r.int_in(1, 10)):
            op = r.int_in(0, 12)
            try:
                if op <= 3:
                    px = img.getPixel(odd_coords(r, img))
                    if type(px) is not tuple or len(px) != 3:
                        raise Bug("getPixel result")
                elif op <= 6:
                    img.putPixel(odd_coords(r, img), odd_value(r, img))
                elif op == 7:
                    c = img.copy()
                    if c._pixels != img._pixels:
                        raise Bug("copy differs")
                elif op == 8:
                    setattr(img, ("width", "height")[r.byte() & 1], odd_int(r))
                elif op == 9:
                    img._pixels = bytearray(r.int_in(0, 100)) if r.byte() & 1 else None
                elif op == 10:
                    if _small(img.width) and _small(img.height):
                        (img.save, img.saveBmp)[r.byte() & 1](scratch_path("ops.img"))
                elif op == 11:
                    ww, hh = r.int_in(-4, 40), r.int_in(-4, 40)
                    writer = (m._writePng, m._writeBmp)[r.byte() & 1]
                    writer(scratch_path("ops.img"), ww, hh, odd_pixels(r, ww * hh * 3))
                else:
                    _ = img.size, img.width, img.height, img._pixels
            except IMAGE_ERRORS:
                pass


# ---------------------------------------------------------------------------
# Rebound module attributes
#
# The module looks struct, zlib, BytesIO, Path, PNG_SIGNATURE, _readChunk,
# _makeChunk, _writePng and _writeBmp up by name at each use, so Python code
# can replace them. Whatever they return, the module must not misbehave.


def _odd_object(r: Reader, good):
    k = r.int_in(0, 9)
    if k <= 3:
        return good
    return (
        None,
        "text",
        2**40,
        -1,
        bytearray(good) if isinstance(good, bytes) else 0,
        (good,) if not isinstance(good, tuple) else good[:-1],
    )[k - 4]


def _odd_int_value(r: Reader, value):
    k = r.int_in(0, 7)
    if k <= 2:
        return value
    return (-1, 2**31, 2**32 - 1, 2**64, -(2**63))[k - 3]


class _FakeStruct:
    def __init__(self, r: Reader):
        self.r = r

    def pack(self, fmt, *values):
        r = self.r
        k = r.int_in(0, 5)
        if k <= 2:
            sizes = {"I": 4, "H": 2, "i": 4, "B": 1, "<": 0, ">": 0}
            codes = [c for c in fmt if sizes.get(c)]
            wrapped = [
                v % (1 << (8 * sizes[c])) if c.isupper() else (v + 2**31) % 2**32 - 2**31 for c, v in zip(codes, values)
            ]
            return struct.pack(fmt, *wrapped)
        return _odd_object(r, struct.pack(fmt, *values) if k == 3 else b"")

    def unpack(self, fmt, data):
        r = self.r
        values = struct.unpack(fmt, data)
        if r.int_in(0, 3) == 0:
            return _odd_object(r, values)
        return tuple(_odd_int_value(r, v) for v in values)


class _FakeZlib:
    def __init__(self, r: Reader):
        self.r = r

    def crc32(self, data, start=0):
        value = zlib.crc32(data, start)
        return _odd_int_value(self.r, value) if self.r.int_in(0, 3) == 0 else value

    def compress(self, data):
        return _odd_object(self.r, zlib.compress(data))

    def decompress(self, data):
        r = self.r
        k = r.int_in(0, 5)
        if k <= 1:
            return zlib.decompress(data)
        if k == 2:
            return r.bytes(r.int_in(0, 400))
        if k == 3:
            return bytearray(r.bytes(r.int_in(0, 400)))
        if k == 4:
            return memoryview(r.bytes(r.int_in(0, 400)))
        return _odd_object(r, b"")


def _fake_read_chunk_factory(r: Reader, real):
    def fake(stream):
        k = r.int_in(0, 5)
        if k <= 2:
            return real(stream)
        if k == 3:
            return (b"IHDR", r.bytes(r.int_in(0, 14)))
        if k == 4:
            return (b"IDAT", r.bytes(r.int_in(0, 40)))
        return _odd_object(r, (b"IEND", b""))

    return fake


REBINDABLE = ["struct", "zlib", "_readChunk", "PNG_SIGNATURE", "_makeChunk", "BytesIO", "Path"]


def _tiny_png(r: Reader) -> bytes:
    w, h = r.int_in(0, 5), r.int_in(0, 4)
    colour = (2, 6)[r.byte() & 1]
    bpp = 3 if colour == 2 else 4
    raw = b"".join(bytes([r.int_in(0, 5)]) + r.bytes(w * bpp).ljust(w * bpp, b"\0") for _ in range(h))
    return (
        m.PNG_SIGNATURE
        + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, colour, 0, 0, 0))
        + chunk(b"IDAT", zlib.compress(raw))
        + chunk(b"IEND", b"")
    )


def _tiny_bmp(r: Reader) -> bytes:
    w, h = r.int_in(0, 5), r.int_in(-4, 4)
    stride = (w * 3 + 3) // 4 * 4
    rows = r.bytes(stride * abs(h)).ljust(stride * abs(h), b"\0")
    return (
        b"BM"
        + struct.pack("<IHHI", 54 + len(rows), 0, 0, 54)
        + struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
        + rows
    )


EXTREMES = (0, 1, 2, 3, 2**31 - 1, -(2**31), -1, 46341, 65536)


def rebound(data: bytes) -> None:
    r = Reader(data)
    saved = {name: getattr(m, name) for name in REBINDABLE}
    chosen = [name for name in REBINDABLE if r.byte() & 1]
    try:
        for name in chosen:
            if name == "struct":
                m.struct = _FakeStruct(r)
            elif name == "zlib":
                m.zlib = _FakeZlib(r)
            elif name == "_readChunk":
                m._readChunk = _fake_read_chunk_factory(r, saved["_readChunk"])
            elif name == "PNG_SIGNATURE":
                m.PNG_SIGNATURE = _odd_object(r, saved["PNG_SIGNATURE"])
            elif name == "_makeChunk":
                real = saved["_makeChunk"]
                m._makeChunk = lambda t, d, _r=r, _real=real: _odd_object(_r, _real(t, d))
            elif name == "BytesIO":
                m.BytesIO = (io.BytesIO, lambda b: OddStream(bytes([r.byte()]), bytes(b)), bytes)[r.int_in(0, 2)]
            elif name == "Path":
                m.Path = (os.PathLike, int, str)[r.int_in(0, 2)]
        for _ in range(r.int_in(1, 4)):
            op = r.int_in(0, 4)
            try:
                if op == 0:
                    SimpleImage.open(_tiny_png(r))
                elif op == 1:
                    SimpleImage.open(_tiny_bmp(r))
                elif op in (2, 3):
                    w = EXTREMES[r.int_in(0, len(EXTREMES) - 1)] if r.byte() & 1 else r.int_in(-3, 20)
                    h = EXTREMES[r.int_in(0, len(EXTREMES) - 1)] if r.byte() & 1 else r.int_in(-3, 20)
                    px = r.bytes(r.int_in(0, 300))
                    # Rows without pixels (width 0, or a negative width that
                    # a rebound struct lets through) still cost a filter byte
                    # (PNG) or their pad bytes (BMP) each, as the file
                    # layouts require: 2**31 of them is slow, not wrong.
                    if h > 4096 and w <= 0:
                        continue
                    if op == 2:
                        m._writePng(scratch_path("rb.png"), w, h, px)
                    else:
                        m._writeBmp(scratch_path("rb.bmp"), w, h, px)
                else:
                    m._readChunk(io.BytesIO(_tiny_png(r)[8:]))
            except (
                TypeError,
                ValueError,
                OverflowError,
                IndexError,
                struct.error,
                zlib.error,
                MemoryError,
                FuzzError,
                AttributeError,
                BufferError,
            ):
                pass
    finally:
        for name, value in saved.items():
            setattr(m, name, value)


# ---------------------------------------------------------------------------
# zlib streams alone
#
# The PNG decoder inflates with zlib-ng where it is installed, in bounded
# pieces, undoing rows as they come, and falls back on the host's zlib when
# zlib-ng fails. Whatever the stream, the outcome must be the one of the
# host's zlib.decompress on the joined IDAT data, followed by the length test
# and the row filters.


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else b if pb <= pc else c


def reference_rows(raw: bytes, width: int, height: int, bpp: int):
    """The pixels of filtered image data of the right length (plain, byte by
    byte), or the first bad filter byte."""
    stride = width * bpp + 1
    prev = bytes(stride - 1)
    out = bytearray()
    for y in range(height):
        f = raw[y * stride]
        row = raw[y * stride + 1 : (y + 1) * stride]
        if f > 4 and row:
            return f
        if f == 0:
            recon = bytearray(row)
        elif f == 2:
            recon = bytearray((x + u) & 255 for x, u in zip(row, prev))
        else:
            recon = bytearray(len(row))
            for i, x in enumerate(row):
                a = recon[i - bpp] if i >= bpp else 0
                if f == 1:
                    x += a
                elif f == 3:
                    x += (a + prev[i]) >> 1
                else:
                    x += _paeth(a, prev[i], prev[i - bpp] if i >= bpp else 0)
                recon[i] = x & 255
        if bpp == 3:
            out += recon
        else:
            for k in range(0, len(recon), 4):
                out += recon[k : k + 3]
        prev = recon
    return bytes(out)


def _geometry_for(length: int, r: Reader):
    """(width, height, bpp) whose image data is `length` bytes, preferring
    rows with pixels."""
    options = [(0, length, 3)]
    for bpp in (3, 4):
        for height in range(1, 9):
            if length % height == 0 and (length // height - 1) % bpp == 0 and length // height > 1:
                options.append(((length // height - 1) // bpp, height, bpp))
    return options[-1 - r.int_in(0, min(2, len(options) - 1))]


def _damage(stream: bytes, r: Reader) -> bytes:
    for _ in range(r.int_in(0, 3)):
        op = r.int_in(0, 5)
        pos = r.int_in(0, max(0, len(stream) - 1))
        if op <= 1 and stream:
            stream = stream[:pos] + bytes([stream[pos] ^ (1 << r.int_in(0, 7))]) + stream[pos + 1 :]
        elif op == 2:
            stream = stream[:pos]
        elif op == 3:
            stream = stream[:pos] + stream[pos + 1 :]
        elif op == 4:
            stream = stream[:pos] + r.bytes(r.int_in(1, 4)) + stream[pos:]
        else:
            stream += r.bytes(r.int_in(1, 8))
    return stream


def _made_stream(r: Reader):
    """Image data of a chosen shape, compressed with chosen settings."""
    bpp = (3, 4)[r.byte() & 1]
    width, height = r.int_in(0, 40), r.int_in(0, 12)
    if r.int_in(0, 15) == 0:
        # Now and then more than one of the decoder's pieces (128 KiB).
        width, height = r.int_in(1000, 3000), r.int_in(12, 60)
    body = r.bytes(r.int_in(0, 64)) or b"\x00"
    filters = r.bytes(r.int_in(0, 8)) or b"\x00"
    rows = []
    for y in range(height):
        f = filters[y % len(filters)]
        f = f % 5 if f < 250 else f
        row = (body * (width * bpp // len(body) + 1))[: width * bpp]
        rows.append(bytes([f]) + row)
    raw = b"".join(rows)
    level = r.int_in(-1, 9)
    wbits = r.int_in(9, 15)
    strategy = r.int_in(0, 4)
    zdict = r.bytes(r.int_in(1, 16)) if r.int_in(0, 15) == 0 else None
    c = zlib.compressobj(level, zlib.DEFLATED, wbits, r.int_in(1, 9), strategy, *([zdict] if zdict else []))
    cut = r.int_in(0, len(raw))
    flush = (zlib.Z_NO_FLUSH, zlib.Z_SYNC_FLUSH, zlib.Z_FULL_FLUSH)[r.int_in(0, 2)]
    stream = c.compress(raw[:cut]) + c.flush(flush) + c.compress(raw[cut:]) + c.flush()
    return _damage(stream, r), (width, height, bpp)


def _idat_pieces(stream: bytes, r: Reader) -> list:
    pieces, pos = [], 0
    while pos < len(stream) or not pieces:
        n = (0, 1, 7, 100, 8192, 70000, len(stream))[r.int_in(0, 6)]
        pieces.append(stream[pos : pos + n])
        pos += n
        if len(pieces) > 64:
            pieces.append(stream[pos:])
            break
    return pieces


def inflate(data: bytes) -> None:
    r = Reader(data)
    if r.byte() & 1:
        stream, shape = _made_stream(r)
    else:
        stream, shape = r.rest(), None
    try:
        raw = zlib.decompress(stream)
    except zlib.error as e:
        expected = ("zlib.error", str(e))
        raw = None
    if shape is None:
        shape = _geometry_for(len(raw), r) if raw is not None else (r.int_in(0, 3), r.int_in(0, 3), 3)
    width, height, bpp = shape
    if r.int_in(0, 7) == 0:
        # Data longer or shorter than the image.
        height = max(0, height + (-1, 1)[r.byte() & 1])
    if raw is not None:
        if len(raw) != height * (width * bpp + 1):
            expected = ("ValueError", "Malformed PNG image data")
        else:
            pixels = reference_rows(raw, width, height, bpp)
            expected = (
                ("ok", pixels) if isinstance(pixels, bytes) else ("ValueError", f"Unsupported PNG filter: {pixels}")
            )

    png = (
        m.PNG_SIGNATURE
        + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2 if bpp == 3 else 6, 0, 0, 0))
        + b"".join(chunk(b"IDAT", p) for p in _idat_pieces(stream, r))
        + chunk(b"IEND", b"")
    )
    try:
        w, h, px = SimpleImage._streamToImage(io.BytesIO(png))
        got = ("ok", bytes(px))
    except zlib.error as e:
        got = ("zlib.error" if type(e) is zlib.error else type(e).__name__, str(e))
    except ValueError as e:
        got = ("ValueError", str(e))
    if got != expected:
        raise Bug(
            f"inflating disagrees with zlib.decompress: {got[0]} {got[1][:80]!r} != {expected[0]} {expected[1][:80]!r}"
        )


TARGETS = {
    "open_png": open_png,
    "open_bmp": open_bmp,
    "png_structured": png_structured,
    "bmp_structured": bmp_structured,
    "read_chunk": read_chunk,
    "stream_to_image": stream_to_image,
    "image_ops": image_ops,
    "rebound": rebound,
    "inflate": inflate,
}

# libFuzzer custom mutators (data, max_size, seed) -> bytes, by target.
MUTATORS = {
    "png_structured": structure.mutate_png,
    "bmp_structured": structure.mutate_bmp,
}
