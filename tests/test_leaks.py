"""Leak checks: every public operation and every error path, run many times,
must leave traced memory (tracemalloc), the process RSS and the reference
counts of shared objects flat.

MORVANE_LEAK_ITERATIONS sets the iterations per operation (default 2000;
100000 for the long check). In the sanitizer build (tools/sanitize-tests.sh)
the same operations also run under LeakSanitizer in a child process, which
sees allocations tracemalloc cannot (C++ new, malloc).
"""

from __future__ import annotations

import gc
import io
import os
import pathlib
import struct
import subprocess
import sys
import tempfile
import textwrap
import tracemalloc
import zlib

import pytest

import Morvane.simpleImage_ext as m
from testkit.spy import chunk

SimpleImage = m.SimpleImage
SANITIZED = os.environ.get("MORVANE_SANITIZED") == "1"
# Fewer by default under the sanitizers, which are slow and where
# LeakSanitizer is the sharper check.
ITERATIONS = int(os.environ.get("MORVANE_LEAK_ITERATIONS", "600" if SANITIZED else "2000"))
WARMUP = max(50, ITERATIONS // 10)


# ---------------------------------------------------------------------------
# Test data


def png(width=2, height=2, depth=8, colour=2, comp=0, filt=0, inter=0, raw=None, idat=None, ihdr=None):
    bpp = 4 if colour == 6 else 3
    if raw is None:
        raw = b"".join(bytes([y % 5]) + bytes((x * 7 + y) & 255 for x in range(width * bpp)) for y in range(height))
    if ihdr is None:
        ihdr = struct.pack(">IIBBBBB", width, height, depth, colour, comp, filt, inter)
    if idat is None:
        idat = zlib.compress(raw)
    return m.PNG_SIGNATURE + chunk(b"IHDR", ihdr) + chunk(b"IDAT", idat) + chunk(b"IEND", b"")


def bmp(width=3, height=2, planes=1, bits=24, compression=0, dib=40, offset=54, rows=None):
    stride = (width * 3 + 3) // 4 * 4
    if rows is None:
        rows = bytes(i & 255 for i in range(max(stride * abs(height), 0)))
    head = b"BM" + struct.pack("<IHHI", 54 + len(rows), 0, 0, offset)
    info = struct.pack("<I", dib) + struct.pack(
        "<iiHHIIiiII", width, height, planes, bits, compression, len(rows), 2835, 2835, 0, 0
    )
    return head + info + rows


GOOD_PNG = png()
GOOD_PNG_RGBA = png(3, 2, colour=6)
GOOD_BMP = bmp()
GOOD_BMP_TOPDOWN = bmp(height=-2)


class IntRaises:
    def __int__(self):
        raise RuntimeError("no int")


class Stream:
    """A stream whose reads return the given results in turn."""

    def __init__(self, *results):
        self.results = list(results)

    def read(self, n):
        r = self.results.pop(0)
        if isinstance(r, BaseException):
            raise r
        return r

    def seek(self, pos):
        return pos


class Sub(SimpleImage):
    pass


class TwoItems(SimpleImage):
    @staticmethod
    def _streamToImage(stream):
        return (1, 1)


class NotAnImage(SimpleImage):
    def __new__(cls, width, height, pixels):
        return 5


class FlipStream(io.BytesIO):
    """Shows a PNG signature to the format test, something else afterwards."""

    def __init__(self):
        super().__init__(m.PNG_SIGNATURE + b"rest")
        self.first = True

    def read(self, n=-1):
        if self.first:
            self.first = False
            return super().read(n)
        return b"\x00" * 8


def raises(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn!r} did not raise {exc}")


# ---------------------------------------------------------------------------
# The operations


def build_operations(tmp: str):
    """(name, callable) for every public operation and error path. Each
    callable runs one operation and checks its outcome."""
    p_png = os.path.join(tmp, "a.png")
    p_bmp = os.path.join(tmp, "a.bmp")
    with open(p_png, "wb") as f:
        f.write(GOOD_PNG)
    with open(p_bmp, "wb") as f:
        f.write(GOOD_BMP)
    p_bad = os.path.join(tmp, "bad.png")
    with open(p_bad, "wb") as f:
        f.write(GOOD_PNG[:-3])
    out = os.path.join(tmp, "out")
    img = SimpleImage(3, 2, bytes(range(18)))
    small = SimpleImage(1, 1, b"\x01\x02\x03")
    px = bytes(range(18))

    def put_pixel_mutated():
        # The values' iterator swaps in a smaller buffer (see test_memory_safety).
        target = SimpleImage(9, 9, bytes(243))

        def values():
            target._pixels = bytearray(3)
            yield from (1, 2, 3)

        raises(IndexError, target.putPixel, (8, 8), values())

    # Inputs are built once: the operations time the module, not the test.
    png_ihdr_12 = png(ihdr=b"\x00" * 12)
    png_wide = png(width=2**31, raw=b"")
    png_depth16 = png(depth=16)
    png_colour3 = png(colour=3)
    png_interlaced = png(inter=1)
    png_bad_zlib = png(idat=b"not zlib")
    png_short_data = png(raw=b"\x00" * 5)
    png_long_data = png(raw=b"\x00" * 5000)  # inflates past the image's size
    png_filter7 = png(1, 1, raw=b"\x07abc")
    bmp_dib108 = bmp(dib=108)
    bmp_32bit = bmp(bits=32)
    bmp_negative_width = bmp(width=-3, rows=b"")
    bmp_huge = bmp(width=2**31 - 1, height=-(2**31), rows=b"")

    ops = {
        # construction
        "construct_bytes": lambda: SimpleImage(3, 2, px),
        "construct_bytearray": lambda: SimpleImage(3, 2, bytearray(px)),
        "construct_list": lambda: SimpleImage(1, 1, [1, 2, 3]),
        "construct_keywords": lambda: SimpleImage(width=1, height=1, pixels=b"abc"),
        "construct_float": lambda: SimpleImage(2.9, 1, bytes(6)),
        "construct_err_count": lambda: raises(TypeError, SimpleImage, 1, 1),
        "construct_err_keyword": lambda: raises(TypeError, SimpleImage, 1, 1, b"abc", colour=1),
        "construct_err_width_type": lambda: raises(TypeError, SimpleImage, "2", 1, bytes(6)),
        "construct_err_int_raises": lambda: raises(RuntimeError, SimpleImage, IntRaises(), 1, bytes(3)),
        "construct_err_overflow": lambda: raises(OverflowError, SimpleImage, 2**31, 1, b""),
        "construct_err_length": lambda: raises(ValueError, SimpleImage, 65536, 65536, b""),
        "construct_err_no_len": lambda: raises(TypeError, SimpleImage, 1, 1, 5),
        "construct_err_str": lambda: raises(TypeError, SimpleImage, 1, 1, "abc"),
        "construct_err_list_range": lambda: raises(ValueError, SimpleImage, 1, 1, [1, 2, 300]),
        # attributes
        "size_width_height": lambda: (img.size, img.width, img.height, img._pixels),
        "set_width_height": lambda: (setattr(small, "width", 1), setattr(small, "height", 1.5)),
        "set_pixels": lambda: setattr(small, "_pixels", bytearray(b"\x01\x02\x03")),
        "del_pixels": lambda: (delattr(small, "_pixels"), setattr(small, "_pixels", bytearray(3))),
        "set_pixels_err": lambda: raises(TypeError, setattr, small, "_pixels", b"abc"),
        "del_width_err": lambda: raises(NotImplementedError, delattr, small, "width"),
        "set_width_err": lambda: raises(OverflowError, setattr, small, "width", 2**40),
        # pixels
        "get_pixel": lambda: img.getPixel((2, 1)),
        "get_pixel_keyword": lambda: img.getPixel(coords=(0, 0)),
        "get_pixel_bigint": lambda: raises(ValueError, img.getPixel, (2**70, 0)),
        "get_pixel_err_type": lambda: raises(TypeError, img.getPixel, [0, 0]),
        "get_pixel_err_many": lambda: raises(ValueError, img.getPixel, (0, 0, 0)),
        "get_pixel_err_few": lambda: raises(ValueError, img.getPixel, (0,)),
        "get_pixel_err_bounds": lambda: raises(ValueError, img.getPixel, (3, 0)),
        "get_pixel_err_float": lambda: raises(TypeError, img.getPixel, (0.5, 0)),
        "get_pixel_err_compare": lambda: raises(TypeError, img.getPixel, ("a", 0)),
        "put_pixel": lambda: img.putPixel((1, 1), (256, -1, 300)),
        "put_pixel_list": lambda: img.putPixel((1, 1), [1, 2, 3]),
        "put_pixel_iter": lambda: img.putPixel((1, 1), iter((1, 2, 3))),
        "put_pixel_convert": lambda: img.putPixel((1, 1), (1.9, True, "7")),
        "put_pixel_err_few": lambda: raises(ValueError, img.putPixel, (0, 0), (1, 2)),
        "put_pixel_err_many": lambda: raises(ValueError, img.putPixel, (0, 0), iter([1, 2, 3, 4])),
        "put_pixel_err_channel": lambda: raises(TypeError, img.putPixel, (0, 0), (5, None, 6)),
        "put_pixel_err_bounds": lambda: raises(ValueError, img.putPixel, (-1, 0), (1, 2, 3)),
        "put_pixel_err_args": lambda: raises(TypeError, img.putPixel, (0, 0)),
        "put_pixel_err_mutated": put_pixel_mutated,
        # copy and pickling
        "copy": lambda: img.copy(),
        "copy_err_mismatch": lambda: raises(ValueError, _mismatched().copy),
        "pickle_refused": lambda: raises(TypeError, img.__reduce__),
        "setstate_refused": lambda: raises(TypeError, img.__setstate__, None),
        # opening
        "open_png_bytes": lambda: SimpleImage.open(GOOD_PNG),
        "open_png_rgba": lambda: SimpleImage.open(bytearray(GOOD_PNG_RGBA)),
        "open_png_path": lambda: SimpleImage.open(p_png),
        "open_bmp_bytes": lambda: SimpleImage.open(GOOD_BMP),
        "open_bmp_topdown": lambda: SimpleImage.open(GOOD_BMP_TOPDOWN),
        "open_bmp_pathlib": lambda: SimpleImage.open(pathlib.Path(p_bmp)),
        "stream_to_image": lambda: SimpleImage._streamToImage(io.BytesIO(GOOD_PNG)),
        "open_subclass": lambda: Sub.open(GOOD_BMP),
        "construct_subclass_keywords": lambda: Sub(width=1, height=1, pixels=b"abc"),
        "open_err_result_count": lambda: raises(ValueError, TwoItems.open, GOOD_PNG),
        "open_err_result_type": lambda: raises(TypeError, NotAnImage.open, GOOD_PNG),
        "open_err_path_decoder": lambda: raises(ValueError, SimpleImage.open, p_bad),
        "open_err_format": lambda: raises(ValueError, SimpleImage.open, b"GIF89a"),
        "open_err_source": lambda: raises(TypeError, SimpleImage.open, 5),
        "open_err_missing": lambda: raises(FileNotFoundError, SimpleImage.open, os.path.join(tmp, "none")),
        # PNG refusals
        "png_err_signature": lambda: raises(ValueError, SimpleImage._streamToImage, FlipStream()),
        "png_err_eof_length": lambda: raises(ValueError, SimpleImage.open, m.PNG_SIGNATURE + b"\x00"),
        "png_err_eof_type": lambda: raises(ValueError, SimpleImage.open, m.PNG_SIGNATURE + b"\x00\x00\x00\x00IH"),
        "png_err_eof_data": lambda: raises(ValueError, SimpleImage.open, GOOD_PNG[:20]),
        "png_err_eof_crc": lambda: raises(ValueError, SimpleImage.open, GOOD_PNG[:35]),
        "png_err_crc": lambda: raises(ValueError, SimpleImage.open, GOOD_PNG[:30] + b"\xff" + GOOD_PNG[31:]),
        "png_err_ihdr_size": lambda: raises(struct.error, SimpleImage.open, png_ihdr_12),
        "png_err_ihdr_overflow": lambda: raises(OverflowError, SimpleImage.open, png_wide),
        "png_err_incomplete": lambda: raises(ValueError, SimpleImage.open, m.PNG_SIGNATURE + chunk(b"IEND", b"")),
        "png_err_depth": lambda: raises(ValueError, SimpleImage.open, png_depth16),
        "png_err_colour": lambda: raises(ValueError, SimpleImage.open, png_colour3),
        "png_err_config": lambda: raises(ValueError, SimpleImage.open, png_interlaced),
        "png_err_zlib": lambda: raises(zlib.error, SimpleImage.open, png_bad_zlib),
        "png_err_malformed": lambda: raises(ValueError, SimpleImage.open, png_short_data),
        "png_err_malformed_long": lambda: raises(ValueError, SimpleImage.open, png_long_data),
        "png_err_filter": lambda: raises(ValueError, SimpleImage.open, png_filter7),
        # BMP refusals
        "bmp_err_header": lambda: raises(ValueError, SimpleImage.open, b"BM" + bytes(8)),
        "bmp_err_dib_short": lambda: raises(ValueError, SimpleImage.open, GOOD_BMP[:16]),
        "bmp_err_dib_size": lambda: raises(ValueError, SimpleImage.open, bmp_dib108),
        "bmp_err_dib_data": lambda: raises(struct.error, SimpleImage.open, GOOD_BMP[:30]),
        "bmp_err_bits": lambda: raises(ValueError, SimpleImage.open, bmp_32bit),
        "bmp_err_negative_width": lambda: raises(ValueError, SimpleImage.open, bmp_negative_width),
        "bmp_err_huge": lambda: raises((OverflowError, MemoryError), SimpleImage.open, bmp_huge),
        "bmp_err_incomplete": lambda: raises(ValueError, SimpleImage.open, GOOD_BMP[:-1]),
        "bmp_err_row_type": lambda: raises(
            TypeError,
            SimpleImage._streamToImage,
            Stream(b"BM", GOOD_BMP[:14], GOOD_BMP[14:18], GOOD_BMP[18:54], bytearray(12)),
        ),
        # chunks
        "read_chunk": lambda: m._readChunk(io.BytesIO(GOOD_PNG[8:])),
        "read_chunk_end": lambda: m._readChunk(io.BytesIO(b"")),
        "read_chunk_err_read": lambda: raises(OSError, m._readChunk, Stream(OSError("boom"))),
        "read_chunk_err_len": lambda: raises(TypeError, m._readChunk, Stream(5)),
        "read_chunk_err_eof": lambda: raises(ValueError, m._readChunk, io.BytesIO(b"\x00\x00")),
        "make_chunk": lambda: m._makeChunk(b"IDAT", b"data"),
        "make_chunk_err_type": lambda: raises(TypeError, m._makeChunk, bytearray(b"IDAT"), b""),
        # writers
        "write_png": lambda: m._writePng(out, 3, 2, px),
        "write_bmp": lambda: m._writeBmp(out, 3, 2, bytearray(px)),
        "save": lambda: img.save(out),
        "save_bmp": lambda: img.saveBmp(out),
        # A short buffer is refused: no leak on that path either.
        "write_png_short": lambda: raises(ValueError, m._writePng, out, 2, 2, bytes(6)),
        "write_png_err_negative": lambda: raises(struct.error, m._writePng, out, -1, 1, b""),
        "write_png_err_pixels": lambda: raises(TypeError, m._writePng, out, 1, 1, "abc"),
        "write_png_err_open": lambda: raises(OSError, m._writePng, tmp, 1, 1, b"abc"),
        "write_png_err_write": lambda: raises(OSError, m._writePng, "/dev/full", 1, 1, b"abc"),
        "write_bmp_err_negative": lambda: raises(struct.error, m._writeBmp, out, 2, -20, b""),
        "write_bmp_err_pixels": lambda: raises(ValueError, m._writeBmp, out, 1, 1, [1, 2, 300]),
        "write_bmp_err_short": lambda: raises(IndexError, m._writeBmp, out, 2, 2, bytes(11)),
        "write_bmp_err_open": lambda: raises(OSError, m._writeBmp, tmp, 1, 1, b"abc"),
        "write_bmp_err_write": lambda: raises(OSError, m._writeBmp, "/dev/full", 1, 1, b"abc"),
        "save_err_path_type": lambda: raises(TypeError, img.save, pathlib.Path(out)),
        "save_bmp_err_path_type": lambda: raises(TypeError, img.saveBmp, None),
    }
    if not os.path.exists("/dev/full"):
        del ops["write_png_err_write"], ops["write_bmp_err_write"]
    return ops


def _mismatched():
    img = SimpleImage(1, 1, b"abc")
    img.width = 2
    return img


def _copy_err_none():
    img = SimpleImage(1, 1, bytes(3))
    del img._pixels
    raises(TypeError, img.copy)


_TMP = tempfile.mkdtemp(prefix="morvane-leaks-")
OPERATIONS = build_operations(_TMP)
OPERATIONS["copy_err_none"] = _copy_err_none  # needs an image without pixels


# ---------------------------------------------------------------------------
# Measurement


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


SENTINELS = [None, True, False, b"", (), 0, 1, 2, 3, 255, SimpleImage, ValueError, TypeError] + [
    v for k, v in sorted(vars(m).items()) if not k.startswith("__")
]


def refcounts():
    return [sys.getrefcount(o) for o in SENTINELS]


@pytest.fixture(scope="module")
def traced():
    tracemalloc.start(1)
    yield
    tracemalloc.stop()


def test_every_operation_is_listed():
    # A reminder to extend the table when the module grows: every published
    # function and method appears in some operation name.
    names = " ".join(OPERATIONS)
    for key in (
        "construct",
        "get_pixel",
        "put_pixel",
        "copy",
        "open",
        "stream_to_image",
        "read_chunk",
        "make_chunk",
        "write_png",
        "write_bmp",
        "save",
        "save_bmp",
        "pickle",
        "setstate",
    ):
        assert key in names


ROUNDS = 3


@pytest.mark.parametrize("name", sorted(OPERATIONS))
def test_no_leak(name, traced):
    """ITERATIONS calls in ROUNDS rounds. A leak grows every round; a one-off
    growth (a cache or the interned-string table resizing) shows in one round
    only, so the smallest growth of the rounds is judged."""
    op = OPERATIONS[name]
    n = max(1, ITERATIONS // ROUNDS)
    for _ in range(WARMUP):
        op()
    grown, rss_grown, drifts = [], [], []
    for _ in range(ROUNDS):
        gc.collect()
        counts0 = refcounts()
        mem0 = tracemalloc.get_traced_memory()[0]
        rss0 = rss_bytes()
        for _ in range(n):
            op()
        gc.collect()
        grown.append(tracemalloc.get_traced_memory()[0] - mem0)
        rss_grown.append(rss_bytes() - rss0)
        counts1 = refcounts()
        drifts.append([(repr(o)[:40], b - a) for o, a, b in zip(SENTINELS, counts0, counts1) if abs(b - a) > n // 2])
    # A leak of even one small object per call grows by >= 16 bytes per
    # call; the tolerance is far below that.
    assert min(grown) < 4096 + n // 8, f"{name}: traced memory grew by {grown} bytes in {ROUNDS} x {n} calls"
    # RSS catches untraced allocations (C++ new, malloc) of some size. Not
    # under ASan, whose quarantine keeps freed memory resident by design.
    assert SANITIZED or min(rss_grown) < (2 << 20) + n * 8, (
        f"{name}: RSS grew by {rss_grown} bytes in {ROUNDS} x {n} calls"
    )
    assert not all(drifts), f"{name}: reference counts drifted: {drifts}"


# ---------------------------------------------------------------------------
# LeakSanitizer (sanitizer build only)

LSAN_DRIVER = textwrap.dedent(
    """
    import ctypes, gc, sys
    sys.path[:0] = [{tests!r}, {root!r}]
    import test_leaks
    for _name, _op in sorted(test_leaks.OPERATIONS.items()):
        for _ in range({n}):
            _op()
    if {canary}:
        # A block nobody points to: the check must see it.
        ctypes.pythonapi.PyMem_RawMalloc.restype = None
        ctypes.pythonapi.PyMem_RawMalloc.argtypes = [ctypes.c_size_t]
        for _ in range(8):
            ctypes.pythonapi.PyMem_RawMalloc(4096)
    del _name, _op
    gc.collect()
    sys.exit(ctypes.CDLL(None).__lsan_do_recoverable_leak_check())
    """
)


def _lsan_available() -> bool:
    if not SANITIZED:
        return False
    import ctypes

    return hasattr(ctypes.CDLL(None), "__lsan_do_recoverable_leak_check")


def _run_lsan(canary: bool, n: int):
    tests = os.path.dirname(os.path.abspath(__file__))
    code = LSAN_DRIVER.format(tests=tests, root=os.path.dirname(tests), n=n, canary=canary)
    env = dict(os.environ)
    env["MORVANE_LEAK_ITERATIONS"] = "1"
    # Full stacks, so that the suppressions in tools/lsan.supp can match.
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":fast_unwind_on_malloc=0:malloc_context_size=40"
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=600)


@pytest.mark.skipif(not _lsan_available(), reason="needs the sanitizer build (tools/sanitize-tests.sh)")
def test_leak_sanitizer_sees_a_leak():
    proc = _run_lsan(canary=True, n=1)
    assert proc.returncode != 0 and "LeakSanitizer" in proc.stderr, proc.stderr[-3000:]


@pytest.mark.skipif(not _lsan_available(), reason="needs the sanitizer build (tools/sanitize-tests.sh)")
def test_leak_sanitizer_finds_no_leak():
    proc = _run_lsan(canary=False, n=20)
    assert proc.returncode == 0 and "LeakSanitizer" not in proc.stderr, proc.stderr[-6000:]
