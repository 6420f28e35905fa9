"""The PNG decoder's inflating: zlib-ng where it can be imported, the host's
zlib where it cannot and wherever zlib-ng fails; the rows undone as they are
inflated, in pieces.

Each stream is decoded four ways: as it comes; with zlib-ng failing at once
and with it failing part way (the host's zlib then inflates the stream
again); and with the module's `zlib` rebound to a copy of the host's (one
`zlib.decompress` call on the joined data, then the length test, then the
rows). All must end the same way as an independent one-shot decode: the
host's zlib.error with its message, then "Malformed PNG image data", then
the first bad filter byte, else the pixels (checked against Pillow).
"""

import io
import os
import random
import subprocess
import sys
import textwrap
import tracemalloc
import types
import zlib

import pytest

from testkit.spy import IEND_CHUNK, chunk, ihdr, png

# More than one output piece of the inflaters (128 KiB): RGB 180,200 bytes,
# RGBA 240,200.
WIDTH, HEIGHT = 300, 200
FILTERS = [0, 1, 2, 3, 4, 3, 3, 4, 4, 1, 4, 2]


def scanlines(bpp, filters=FILTERS, height=HEIGHT, seed=1):
    rnd = random.Random(seed)
    return b"".join(bytes([filters[y % len(filters)]]) + rnd.randbytes(WIDTH * bpp) for y in range(height))


def with_filter(raw, bpp, rows):
    """`raw` with the filter byte of each row in `rows` changed."""
    out = bytearray(raw)
    for y, f in rows.items():
        out[y * (WIDTH * bpp + 1)] = f
    return bytes(out)


def stored(raw):
    c = zlib.compressobj(0)
    return c.compress(raw) + c.flush()


def flip_last(data):
    return data[:-1] + bytes([data[-1] ^ 1])


def split(data, size):
    return [data[i : i + size] for i in range(0, len(data), size)]


# The row whose bytes cross the first output piece's end.
def boundary_row(bpp):
    return (128 << 10) // (WIDTH * bpp + 1)


def streams(bpp):
    """name -> the IDAT chunks, in order."""
    good = scanlines(bpp)
    bad = with_filter(good, bpp, {3: 99})
    longer = good + bytes(50_000)
    return {
        "exact": [zlib.compress(good)],
        "exact-many-chunks": [b""] + split(zlib.compress(good), 1000) + [b"", b""],
        "exact-stored": [stored(good)],
        "exact-stored-in-pieces": split(stored(good), 70_000),
        "trailing-data": [zlib.compress(good) + b"after the end", b"and more"],
        "bad-filter-first-row": [zlib.compress(with_filter(good, bpp, {0: 5}))],
        "bad-filter-at-piece-end": [zlib.compress(with_filter(good, bpp, {boundary_row(bpp): 200}))],
        "bad-filter-last-row": [zlib.compress(with_filter(good, bpp, {HEIGHT - 1: 255}))],
        "two-bad-rows": [zlib.compress(with_filter(good, bpp, {boundary_row(bpp) + 1: 7, HEIGHT - 2: 6}))],
        "bad-filter-then-cut": [zlib.compress(bad)[:-10]],
        "bad-filter-then-bad-check": [flip_last(stored(bad))],
        "bad-filter-too-long": [zlib.compress(bad + b"\x00")],
        "bad-filter-too-short": [zlib.compress(bad[:-1])],
        "too-long": [zlib.compress(longer)],
        "too-long-then-cut": [zlib.compress(longer)[:-3]],
        "too-long-then-bad-check": [flip_last(zlib.compress(longer))],
        "too-short": [zlib.compress(good[: -(WIDTH * bpp + 1)])],
        "bad-check": [flip_last(zlib.compress(good))],
        "cut-in-header": [b"\x78"],
        "not-zlib": [b"not a zlib stream"],
        "no-idat": [],
    }


def png_of(chunks, bpp, width=WIDTH, height=HEIGHT):
    colour = 2 if bpp == 3 else 6
    return png(chunk(b"IHDR", ihdr(width, height, colour=colour)), *(chunk(b"IDAT", c) for c in chunks), IEND_CHUNK)


def one_shot(chunks, bpp, data):
    """The outcome of decoding step by step: inflate, length, filters."""
    try:
        raw = zlib.decompress(b"".join(chunks))
    except zlib.error as e:
        return zlib.error, str(e)
    stride = WIDTH * bpp + 1
    if len(raw) != HEIGHT * stride:
        return ValueError, "Malformed PNG image data"
    for y in range(HEIGHT):
        if raw[y * stride] > 4:
            return ValueError, f"Unsupported PNG filter: {raw[y * stride]}"
    from PIL import Image

    return "pixels", Image.open(io.BytesIO(data)).convert("RGB").tobytes()


def outcome(m, data):
    try:
        result = m.SimpleImage._streamToImage(io.BytesIO(data))
    except Exception as e:
        return type(e), str(e)
    assert result[:2] == (WIDTH, HEIGHT)
    return "pixels", bytes(result[2])


class Failing:
    """An inflater that works like `real` for `calls` calls of decompress,
    then fails as `how` says."""

    def __init__(self, real, calls, how):
        self.real, self.calls, self.how = real, calls, how

    def decompress(self, data, max_length=0):
        if self.calls == 0:
            if self.how == "str":
                return "not bytes"
            if self.how == "stuck":  # takes nothing, gives nothing
                self.unconsumed_tail = bytes(data)
                return b""
            raise self.how
        self.calls -= 1
        return self.real.decompress(data, max_length)

    def __getattr__(self, name):
        if name == "eof" and self.how == "eof":
            raise RuntimeError("no eof")
        return getattr(self.real, name)


@pytest.mark.parametrize("bpp", [3, 4])
@pytest.mark.parametrize("name", list(streams(3)))
def test_every_way_ends_like_one_shot(m, monkeypatch, request, bpp, name):
    chunks = streams(bpp)[name]
    data = png_of(chunks, bpp)
    expected = one_shot(chunks, bpp, data)
    assert outcome(m, data) == expected
    if not request.config.getoption("--no-zlib-ng"):
        fast = pytest.importorskip("zlib_ng.zlib_ng")
        real = fast.decompressobj
        for calls, how in [(0, fast.error("made to fail")), (2, MemoryError()), (1, "str"), (0, "eof"), (1, "stuck")]:
            monkeypatch.setattr(fast, "decompressobj", lambda *a, c=calls, h=how: Failing(real(*a), c, h))
            assert outcome(m, data) == expected, (calls, how)
        monkeypatch.setattr(fast, "decompressobj", real)
    monkeypatch.setattr(m, "zlib", types.SimpleNamespace(**{n: getattr(zlib, n) for n in dir(zlib)}))
    assert outcome(m, data) == expected


def test_zlib_errors_are_the_hosts(m, fast_zlib):
    # zlib-ng refuses the stream too, but its error is not the one raised.
    assert fast_zlib.error is not zlib.error
    with pytest.raises(zlib.error) as info:
        m.SimpleImage.open(png_of([b"not a zlib stream"], 3))
    assert type(info.value) is zlib.error
    assert str(info.value) == "Error -3 while decompressing data: incorrect header check"


def test_zlib_ng_inflates_when_installed(m, request, monkeypatch):
    data = png_of(streams(3)["exact"], 3)
    if request.config.getoption("--no-zlib-ng"):
        assert outcome(m, data)[0] == "pixels"
        assert "zlib_ng" not in sys.modules
        return
    fast = pytest.importorskip("zlib_ng.zlib_ng")
    made = []
    real = fast.decompressobj
    monkeypatch.setattr(fast, "decompressobj", lambda *a: made.append(a) or real(*a))
    assert outcome(m, data)[0] == "pixels"
    # One inflater, with zlib's defaults, and no second run by the host's zlib.
    assert made == [()]


def test_zlib_ng_interruption_propagates(m, fast_zlib, monkeypatch):
    real = fast_zlib.decompressobj
    monkeypatch.setattr(fast_zlib, "decompressobj", lambda *a: Failing(real(*a), 1, KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        m.SimpleImage.open(png_of(streams(3)["exact"], 3))


@pytest.mark.parametrize(
    "error, outcome",
    [
        # An interruption propagates, and the next decode imports zlib-ng.
        ("KeyboardInterrupt", ["KeyboardInterrupt", "zlib-ng imported: True"]),
        # Any other failure means no zlib-ng: the host's zlib inflates, and the
        # import is never tried again.
        ("ImportError", [f"({WIDTH}, {HEIGHT})", "zlib-ng imported: False"]),
    ],
)
def test_zlib_ng_import_failing(fast_zlib, error, outcome):
    script = textwrap.dedent(f"""
        import importlib.abc, sys
        import Morvane.simpleImage_ext as m

        class Failing(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path=None, target=None):
                if name.startswith("zlib_ng"):
                    raise {error}
                return None

        data = sys.stdin.buffer.read()
        sys.meta_path.insert(0, Failing())
        try:
            print(m.SimpleImage.open(data).size)
        except KeyboardInterrupt:
            print("KeyboardInterrupt")
        sys.meta_path.pop(0)
        assert m.SimpleImage.open(data).size == ({WIDTH}, {HEIGHT})
        print("zlib-ng imported:", "zlib_ng.zlib_ng" in sys.modules)
    """)
    data = png_of(streams(3)["exact"], 3)
    result = subprocess.run([sys.executable, "-c", script], input=data, capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.decode().splitlines() == outcome


@pytest.mark.parametrize("bpp", [3, 4])
def test_high_ratio_stream(m, bpp):
    # 1000 x 1000 zero pixels: a few kilobytes inflating to megabytes, in
    # many output pieces from one piece of input.
    width = height = 1000
    raw = bytes(height * (width * bpp + 1))
    data = png(
        chunk(b"IHDR", ihdr(width, height, colour=2 if bpp == 3 else 6)),
        chunk(b"IDAT", zlib.compress(raw, 9)),
        IEND_CHUNK,
    )
    assert len(data) < 10_000
    result = m.SimpleImage._streamToImage(io.BytesIO(data))
    assert result == (width, height, bytearray(width * height * 3))


def test_decoding_holds_no_inflated_copy(m, tmp_path):
    # Opening from a file, the decoder holds the IDAT data and the pixels,
    # and a few pieces besides: not the inflated stream (3 MB here), nor a
    # joined copy of the IDAT data (700 KB).
    side = 1024
    rnd = random.Random(5)
    rows = [b"\x01" + bytes(rnd.randrange(3) for _ in range(side * 3)) for _ in range(side)]
    idat = zlib.compress(b"".join(rows))
    path = tmp_path / "big.png"
    path.write_bytes(png(chunk(b"IHDR", ihdr(side, side)), *(chunk(b"IDAT", c) for c in split(idat, 8192)), IEND_CHUNK))
    m.SimpleImage.open(str(path))  # any first-use imports happen here
    tracemalloc.start()
    try:
        image = m.SimpleImage.open(str(path))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert image.size == (side, side)
    assert len(idat) > 600 << 10
    assert peak < len(idat) + side * side * 3 + (512 << 10), (peak, len(idat))


def test_a_replaced_crc32_is_called(m, monkeypatch):
    # The chunk CRCs go to zlib-ng only while zlib.crc32 is the host's own.
    data = png_of(streams(3)["exact"], 3)
    calls = []
    real = zlib.crc32
    monkeypatch.setattr(zlib, "crc32", lambda *a: calls.append(a) or real(*a))
    assert outcome(m, data)[0] == "pixels"
    assert len(calls) == 2 * 3  # IHDR, IDAT, IEND: two calls each
    # Another built-in of the zlib module is not its crc32.
    monkeypatch.setattr(zlib, "crc32", zlib.adler32)
    assert outcome(m, data) == (ValueError, "Corrupted PNG chunk detected")


ZLIB_NG_IMPORT_FAILS = """
import importlib.abc, sys
import Morvane.simpleImage_ext as m
sys.path.insert(0, {root!r})
from testkit.spy import IEND_CHUNK, chunk, ihdr, png
import zlib

class Refuse(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name == "zlib_ng.zlib_ng":
            sys.meta_path.remove(self)
            raise {error}
        return None

sys.meta_path.insert(0, Refuse())
data = png(chunk(b"IHDR", ihdr(1, 1)), chunk(b"IDAT", zlib.compress(b"\\x00abc")), IEND_CHUNK)
assert m.SimpleImage.open(data).getPixel((0, 0)) == (97, 98, 99)  # the host's zlib
assert m.SimpleImage.open(data).getPixel((0, 0)) == (97, 98, 99)
print("zlib_ng.zlib_ng" in sys.modules)
"""


@pytest.mark.parametrize(
    "error, tried_again", [("MemoryError()", True), ("RuntimeError('no lock')", True), ("ImportError('broken')", False)]
)
def test_zlib_ng_import_failure(request, error, tried_again):
    # Only an ImportError says zlib-ng cannot be had: after any other
    # failure to import it (a refused allocation) the next decode tries again.
    if request.config.getoption("--no-zlib-ng"):
        pytest.skip("zlib-ng made unavailable (--no-zlib-ng)")
    code = ZLIB_NG_IMPORT_FAILS.format(root=os.path.dirname(os.path.dirname(os.path.abspath(__file__))), error=error)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == [str(tried_again)]
