"""Differential tests against Pillow, plus exact round trips.

PNG files are built here from scratch (row filters, zlib, chunk framing) so
that the decoder is checked against data our own encoder never produces; each
one must decode to the same pixels in our module and in Pillow. Files written
by either library must open in the other with the same pixels.
"""

import hashlib
import io
import json
import pathlib
import random
import struct
import zlib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from PIL import Image

import Morvane.simpleImage_ext as ext
from Morvane.simpleImage_ext import SimpleImage
from testkit.spy import chunk

CORPUS = pathlib.Path(__file__).parent / "data" / "conformance"

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
FILTER_NAMES = ("None", "Sub", "Up", "Average", "Paeth")

EXAMPLES = settings(
    max_examples=150,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)


# ---------------------------------------------------------------------------
# A reference PNG writer, independent of the module.


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    if pb <= pc:
        return b
    return c


def _filter_row(kind, row, prev, bpp):
    """The filtered bytes of one scanline (without its filter-type byte)."""
    out = bytearray(len(row))
    for i, x in enumerate(row):
        a = row[i - bpp] if i >= bpp else 0
        b = prev[i]
        c = prev[i - bpp] if i >= bpp else 0
        if kind == 0:
            pred = 0
        elif kind == 1:
            pred = a
        elif kind == 2:
            pred = b
        elif kind == 3:
            pred = (a + b) >> 1
        else:
            pred = _paeth(a, b, c)
        out[i] = (x - pred) & 0xFF
    return out


def _scanlines(width, height, bpp, samples, filters):
    """The filtered scanline stream of an image, one filter type per row."""
    stride = width * bpp
    prev = bytes(stride)
    out = bytearray()
    for y in range(height):
        row = samples[y * stride : (y + 1) * stride]
        out.append(filters[y])
        out += _filter_row(filters[y], row, prev, bpp)
        prev = row
    return bytes(out)


def _build_png(width, height, colour_type, samples, filters, level=6, cuts=(), extra=None):
    """A complete PNG file.

    `cuts` are fractions (0..1) at which the compressed stream is split into
    further IDAT chunks; `extra` places an ancillary chunk "after_ihdr",
    "between_idat" (only when there are several IDAT chunks) or "before_iend".
    """
    bpp = 3 if colour_type == 2 else 4
    compressed = zlib.compress(_scanlines(width, height, bpp, samples, filters), level)
    bounds = sorted({0, len(compressed), *(round(f * len(compressed)) for f in cuts)})
    pieces = [compressed[s:e] for s, e in zip(bounds, bounds[1:])] or [b""]
    idat = [chunk(b"IDAT", piece) for piece in pieces]
    ancillary = chunk(b"tEXt", b"Comment\x00made for a differential test")
    if extra == "between_idat" and len(idat) > 1:
        idat.insert(1, chunk(b"prVt", bytes(range(7))))
    body = [chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0))]
    if extra == "after_ihdr":
        body.append(ancillary)
    body += idat
    if extra == "before_iend":
        body.append(ancillary)
    body.append(chunk(b"IEND", b""))
    return PNG_MAGIC + b"".join(body)


def _drop_alpha(rgba):
    rgb = bytearray(len(rgba) // 4 * 3)
    for k in range(3):
        rgb[k::3] = rgba[k::4]
    return bytes(rgb)


def _pillow_decode(source):
    """(format, mode, size, raw bytes) as Pillow reads `source`."""
    if isinstance(source, (bytes, bytearray)):
        source = io.BytesIO(source)
    with Image.open(source) as im:
        im.load()
        return im.format, im.mode, im.size, im.tobytes()


def _ours(source):
    image = SimpleImage.open(source)
    return image.width, image.height, bytes(image._pixels)


# ---------------------------------------------------------------------------
# Strategies.


@st.composite
def _samples(draw, count):
    """`count` bytes: noise, a short drawn pattern repeated, or a few values
    (the last makes Paeth and Average ties and wrap-arounds common)."""
    kind = draw(st.sampled_from(["noise", "pattern", "few"]))
    rng = random.Random(draw(st.integers(0, 2**32 - 1)))
    if kind == "noise":
        return rng.randbytes(count)
    if kind == "pattern":
        pattern = draw(st.binary(min_size=1, max_size=64))
        return (pattern * (count // len(pattern) + 1))[:count]
    alphabet = draw(st.lists(st.sampled_from([0, 1, 2, 127, 128, 129, 254, 255]), min_size=1, max_size=4))
    return bytes(rng.choice(alphabet) for _ in range(count))


@st.composite
def _images(draw, channels=3, min_side=1, max_side=40):
    width = draw(st.integers(min_side, max_side))
    height = draw(st.integers(min_side, max_side))
    return width, height, draw(_samples(width * height * channels))


@st.composite
def _filtered_pngs(draw):
    colour_type = draw(st.sampled_from([2, 6]))
    width, height, samples = draw(_images(channels=3 if colour_type == 2 else 4))
    filters = draw(st.lists(st.integers(0, 4), min_size=height, max_size=height))
    level = draw(st.integers(0, 9))
    cuts = draw(st.lists(st.floats(0, 1), max_size=4))
    extra = draw(st.sampled_from([None, "after_ihdr", "between_idat", "before_iend"]))
    return width, height, colour_type, samples, filters, level, cuts, extra


# ---------------------------------------------------------------------------
# Filtered PNG files decode like Pillow decodes them.


def _check_filtered_png(width, height, colour_type, samples, filters, level=6, cuts=(), extra=None):
    data = _build_png(width, height, colour_type, samples, filters, level, cuts, extra)
    rgb = samples if colour_type == 2 else _drop_alpha(samples)
    assert _ours(data) == (width, height, rgb), [FILTER_NAMES[f] for f in filters]
    if extra == "between_idat":
        # Pillow stops reading image data at the first non-IDAT chunk; it
        # judges the same image with its IDAT chunks kept together.
        data = _build_png(width, height, colour_type, samples, filters, level, cuts)
    fmt, mode, size, raw = _pillow_decode(data)
    assert (fmt, size) == ("PNG", (width, height))
    if colour_type == 2:
        assert mode == "RGB"
        assert raw == rgb
    else:
        assert mode == "RGBA"
        assert raw == samples
        assert _drop_alpha(raw) == rgb


@EXAMPLES
@given(_filtered_pngs())
def test_filtered_png_matches_pillow(case):
    _check_filtered_png(*case)


@pytest.mark.parametrize("colour_type", [2, 6])
@pytest.mark.parametrize("width,height,seed", [(257, 5, 1), (1, 300, 2), (181, 143, 3)])
def test_large_filtered_png_matches_pillow(width, height, seed, colour_type):
    rng = random.Random(seed)
    channels = 3 if colour_type == 2 else 4
    # Noise in the left half, a smooth ramp in the right half.
    samples = bytearray(rng.randbytes(width * height * channels))
    for y in range(height):
        for x in range(width // 2, width):
            base = (y * width + x) * channels
            for k in range(channels):
                samples[base + k] = (x + 2 * y + 60 * k) & 0xFF
    filters = [y % 5 for y in range(height)]
    _check_filtered_png(
        width, height, colour_type, bytes(samples), filters, level=9, cuts=(0.1, 0.5, 0.9), extra="before_iend"
    )


@pytest.mark.parametrize("colour_type", [2, 6])
@pytest.mark.parametrize("kind", range(5), ids=FILTER_NAMES)
def test_single_filter_extremes(kind, colour_type):
    """Every row under one filter, over bytes that force wrap-around."""
    channels = 3 if colour_type == 2 else 4
    width, height = 9, 6
    values = [0, 255, 1, 254, 128, 127]
    samples = bytes(
        values[(x * 7 + y * 3 + x * y) % len(values)] for y in range(height) for x in range(width * channels)
    )
    _check_filtered_png(width, height, colour_type, samples, [kind] * height)


# ---------------------------------------------------------------------------
# Files we write open in Pillow.


@EXAMPLES
@given(_images(), st.booleans())
def test_our_files_open_in_pillow(tmp_path_factory, image, pixels_as_bytes):
    width, height, pixels = image
    folder = tmp_path_factory.mktemp("ours")
    picture = SimpleImage(width, height, pixels)
    source = bytes(pixels) if pixels_as_bytes else bytearray(pixels)
    picture.save(str(folder / "save.png"))
    picture.saveBmp(str(folder / "save.bmp"))
    ext._writePng(folder / "write.png", width, height, source)
    ext._writeBmp(folder / "write.bmp", width, height, source)
    for name, fmt in [("save.png", "PNG"), ("write.png", "PNG"), ("save.bmp", "BMP"), ("write.bmp", "BMP")]:
        assert _pillow_decode(folder / name) == (fmt, "RGB", (width, height), pixels), name


# ---------------------------------------------------------------------------
# Files Pillow writes open in our module.


@EXAMPLES
@given(_images(channels=3), st.integers(0, 9))
def test_pillow_rgb_png_and_bmp_open_in_ours(image, level):
    width, height, pixels = image
    picture = Image.frombytes("RGB", (width, height), pixels)
    for fmt, options in [("PNG", {"compress_level": level}), ("BMP", {})]:
        buffer = io.BytesIO()
        picture.save(buffer, format=fmt, **options)
        data = buffer.getvalue()
        if fmt == "BMP":
            # BITMAPINFOHEADER, one plane, 24 bits per pixel, no compression
            assert struct.unpack_from("<I", data, 14) == (40,)
            assert struct.unpack_from("<HHI", data, 26) == (1, 24, 0)
        assert _pillow_decode(data)[1:] == ("RGB", (width, height), pixels)
        assert _ours(data) == (width, height, pixels), fmt


@EXAMPLES
@given(_images(channels=4), st.integers(0, 9))
def test_pillow_rgba_png_opens_in_ours(image, level):
    width, height, samples = image
    buffer = io.BytesIO()
    Image.frombytes("RGBA", (width, height), samples).save(buffer, format="PNG", compress_level=level)
    assert _ours(buffer.getvalue()) == (width, height, _drop_alpha(samples))


def test_pillow_files_open_in_ours_from_paths(tmp_path):
    rng = random.Random(7)
    width, height = 123, 77  # odd width: BMP rows carry padding
    rgb = rng.randbytes(width * height * 3)
    rgba = rng.randbytes(width * height * 4)
    Image.frombytes("RGB", (width, height), rgb).save(tmp_path / "rgb.png")
    Image.frombytes("RGB", (width, height), rgb).save(tmp_path / "rgb.bmp")
    Image.frombytes("RGBA", (width, height), rgba).save(tmp_path / "rgba.png")
    for name, expected in [("rgb.png", rgb), ("rgb.bmp", rgb), ("rgba.png", _drop_alpha(rgba))]:
        path = tmp_path / name
        assert _ours(path) == (width, height, expected), name
        assert _ours(str(path)) == (width, height, expected), name


# ---------------------------------------------------------------------------
# Our writer and reader agree exactly, empty images included.


@EXAMPLES
@given(_images(min_side=0))
def test_round_trip_through_our_files(tmp_path_factory, image):
    width, height, pixels = image
    folder = tmp_path_factory.mktemp("round")
    picture = SimpleImage(width, height, pixels)
    picture.save(str(folder / "a.png"))
    picture.saveBmp(str(folder / "a.bmp"))
    for name in ("a.png", "a.bmp"):
        path = folder / name
        for source in (str(path), path, path.read_bytes()):
            assert _ours(source) == (width, height, pixels), (name, type(source))


# ---------------------------------------------------------------------------
# The accepted corpus files decode as Pillow decodes them.

_ACCEPTED = sorted(
    name
    for name, outcome in json.loads((CORPUS / "expected.json").read_text(encoding="utf-8")).items()
    if outcome["result"] == "ok"
)


@pytest.mark.parametrize("name", _ACCEPTED)
def test_accepted_corpus_file_matches_pillow(name):
    path = CORPUS / name
    _, mode, size, raw = _pillow_decode(path)
    assert mode in ("RGB", "RGBA")
    expected = raw if mode == "RGB" else _drop_alpha(raw)
    width, height, pixels = _ours(path)
    assert (width, height) == size
    assert hashlib.sha256(pixels).digest() == hashlib.sha256(expected).digest()
