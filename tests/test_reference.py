"""The module against the reference decoder (testkit/reference.py): the same
outcome, pixels or exception type and message, for every file of the
conformance corpus and for generated files, valid ones and ones damaged in
their structure (header fields just outside the accepted values, filter
bytes, scanlines one byte long or short, split image data, other chunks,
re-CRC'd damage, cuts; BMP headers consistent or not, offsets, padding).
"""

from __future__ import annotations

import hashlib
import io
import json
import os
import pathlib
import struct
import sys
import zlib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from Morvane.simpleImage_ext import SimpleImage
from testkit import reference
from testkit.spy import DEBUG_ALLOCATOR, chunk

CORPUS = pathlib.Path(__file__).parent / "data" / "conformance"
EXPECTED = json.loads((CORPUS / "expected.json").read_text(encoding="utf-8"))

EXAMPLES = settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def _opened(data):
    image = SimpleImage.open(data)
    return image.width, image.height, image._pixels


# Under the sanitizers, freeing a huge buffer costs a pass over its shadow
# memory (an 8th of its size) in this process, and the debug allocators
# write it whole (gigabytes: a generated BMP may announce 2**30 x 5 pixels):
# a header announcing one is left to tests/test_resource_bounds.py, which
# runs them in child processes.
SANITIZED = os.environ.get("MORVANE_SANITIZED") == "1"


def assert_agrees(data: bytes) -> reference.Outcome:
    """The module's _streamToImage and open give the oracle's outcomes."""
    want = reference.decode(data)
    if (SANITIZED or DEBUG_ALLOCATOR) and want.buffer_size >= reference.HUGE_BUFFER:
        return want
    got = reference.observe(lambda: SimpleImage._streamToImage(io.BytesIO(data)))
    problem = reference.compare(got, want)
    assert problem is None, f"_streamToImage: {problem}"
    problem = reference.compare(reference.observe(lambda: _opened(data)), reference.open_outcome(want))
    assert problem is None, f"open: {problem}"
    return want


# ---------------------------------------------------------------------------
# The conformance corpus


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_conformance_file(name):
    outcome = assert_agrees((CORPUS / name).read_bytes())
    # The oracle itself gives the recorded outcome (a huge BMP header: the
    # short file behind it, since the oracle allocates nothing).
    expected = EXPECTED[name]
    if expected["result"] == "ok":
        assert outcome.ok
        assert (outcome.width, outcome.height) == (expected["width"], expected["height"])
        assert hashlib.sha256(bytes(outcome.pixels)).hexdigest() == expected["sha256"]
    elif expected["type"] == "MemoryError":
        assert outcome.buffer_size >= reference.HUGE_BUFFER
    else:
        assert (outcome.error.__name__, outcome.message) == (expected["type"], expected["message"])


# ---------------------------------------------------------------------------
# The oracle's own departures from a literal run of the rules


@st.composite
def zlib_streams(draw):
    raw = draw(st.binary(max_size=300))
    stream = zlib.compress(raw, draw(st.integers(0, 9)))
    damage = draw(st.sampled_from(["none", "cut", "flip", "tail", "junk"]))
    if damage == "cut":
        stream = stream[: draw(st.integers(0, max(0, len(stream) - 1)))]
    elif damage == "flip" and stream:
        i = draw(st.integers(0, len(stream) - 1))
        stream = stream[:i] + bytes([stream[i] ^ (1 << draw(st.integers(0, 7)))]) + stream[i + 1 :]
    elif damage == "tail":
        stream += draw(st.binary(min_size=1, max_size=8))
    elif damage == "junk":
        stream = draw(st.binary(max_size=40))
    return raw, stream


@EXAMPLES
@given(zlib_streams(), st.integers(-2, 2))
def test_bounded_inflate_is_the_one_shot_call(case, delta):
    # Output kept up to the image size, the stream inflated to its end: the
    # same data, zlib.error, or a size mismatch as zlib.decompress.
    raw, stream = case
    expected = max(0, len(raw) + delta)
    try:
        one_shot = zlib.decompress(stream)
    except zlib.error as exc:
        want = (zlib.error, str(exc))
    else:
        want = one_shot if len(one_shot) <= expected else (ValueError, "Malformed PNG image data")
    try:
        got = reference.decompress_image_data(stream, expected)
    except (zlib.error, ValueError) as exc:
        got = (type(exc), str(exc))
    assert got == want


def test_bounded_inflate_of_a_bomb_holds_little():
    bomb = zlib.compress(bytes(16 << 20), 9)  # 16 MB of zeros in about 16 KB
    with pytest.raises(ValueError, match="Malformed PNG image data"):
        reference.decompress_image_data(bomb, 1000)
    with pytest.raises(zlib.error, match="incomplete or truncated"):
        reference.decompress_image_data(bomb[:-100], 1000)


@pytest.mark.parametrize("size, exc", [(-3, ValueError), (sys.maxsize + 1, OverflowError)])
def test_refused_buffer_sizes_are_the_hosts(size, exc):
    # The BMP buffer's size is refused as bytearray(n) refuses it, without
    # the oracle allocating it.
    with pytest.raises(exc) as host:
        bytearray(size)
    width, height = (-1, 3) if size < 0 else (2**31 - 1, -(2**31))
    data = _bmp(width, height, b"")
    assert reference.decode(data).message == str(host.value)


def test_huge_bmp_costs_the_oracle_nothing():
    outcome = assert_agrees(_bmp(5000, -5000, bytes(1000)))
    assert outcome.message == "Incomplete BMP pixel data"
    assert outcome.buffer_size == 5000 * 5000 * 3 >= reference.HUGE_BUFFER


# ---------------------------------------------------------------------------
# Generated PNG files


def _sometimes(one_in):
    """True about once in `one_in` draws (False is the simpler example)."""
    return st.sampled_from([False] * (one_in - 1) + [True])


VALID_FILTERS = st.integers(0, 4)
# Mostly valid; invalid ones mostly just above 4, where a decoder that
# combines two rows' filter bytes into one key may confuse them with a pair of
# valid ones.
ANY_FILTER = st.one_of(VALID_FILTERS, VALID_FILTERS, st.integers(5, 40), st.integers(5, 255))


@st.composite
def png_files(draw):
    width, height = draw(st.integers(0, 5)), draw(st.integers(0, 6))
    colour = draw(st.sampled_from([2, 6]))
    bpp = 3 if colour == 2 else 4
    rows = [
        bytes([draw(ANY_FILTER)]) + draw(st.binary(min_size=width * bpp, max_size=width * bpp)) for _ in range(height)
    ]
    raw = b"".join(rows)

    # Scanlines one byte more or less, or a row more or less.
    change = draw(st.sampled_from(["more", "less", "row-more", "row-less"])) if draw(_sometimes(3)) else None
    if change == "more":
        at = draw(st.integers(0, len(raw)))
        raw = raw[:at] + b"\x01" + raw[at:]
    elif change == "less" and raw:
        at = draw(st.integers(0, len(raw) - 1))
        raw = raw[:at] + raw[at + 1 :]
    elif change == "row-more":
        raw += bytes([draw(VALID_FILTERS)]) + bytes(width * bpp)
    elif change == "row-less" and rows:
        raw = raw[: -len(rows[-1])]

    # IHDR fields within and just outside the accepted values.
    fields = [width, height, 8, colour, 0, 0, 0]
    if draw(_sometimes(3)):
        k = draw(st.integers(0, 6))
        fields[k] = draw(
            {
                0: st.sampled_from([width + 1, max(0, width - 1), 0, 2**31 - 1, 2**31, 2**32 - 1]),
                1: st.sampled_from([height + 1, max(0, height - 1), 0, 2**31 - 1, 2**31, 2**32 - 1]),
                2: st.sampled_from([1, 2, 4, 7, 9, 16, 0, 255]),
                3: st.sampled_from([0, 1, 3, 4, 5, 7, 255, 2 if colour == 6 else 6]),
            }.get(k, st.sampled_from([1, 2, 255]))
        )
    record = struct.pack(">IIBBBBB", *fields)
    if draw(_sometimes(10)):
        record = draw(st.sampled_from([record[:12], record + b"\x00"]))

    stream = zlib.compress(raw, draw(st.integers(0, 9)))
    pieces = []
    rest = stream
    for _ in range(draw(st.integers(0, 3))):
        cut = draw(st.integers(0, len(rest)))
        pieces.append(rest[:cut])
        rest = rest[cut:]
    pieces.append(rest)

    chunks = [chunk(b"IHDR", record)]
    for piece in pieces:
        if draw(_sometimes(6)):
            chunks.append(
                chunk(
                    draw(st.sampled_from([b"tEXt", b"gAMA", b"zzZz", b"\x00\x00\x00\x00"])), draw(st.binary(max_size=8))
                )
            )
        chunks.append(chunk(b"IDAT", piece))
    chunks.append(chunk(b"IEND", b""))

    # Chunk-level damage: IHDR moved last, a chunk dropped or repeated, its
    # data changed and re-CRC'd, a bad CRC.
    damage = (
        draw(st.sampled_from(["ihdr-last", "drop", "repeat", "recrc", "badcrc", "no-iend"]))
        if draw(_sometimes(3))
        else None
    )
    index = draw(st.integers(0, len(chunks) - 1))
    if damage == "ihdr-last":
        chunks = chunks[1:-1] + chunks[:1] + chunks[-1:]
    elif damage == "drop":
        del chunks[index]
    elif damage == "repeat":
        chunks.insert(index, chunks[index])
    elif damage in ("recrc", "badcrc"):
        c = chunks[index]
        body = bytearray(c[8:-4])
        if damage == "recrc" and body:
            body[draw(st.integers(0, len(body) - 1))] ^= 1 << draw(st.integers(0, 7))
        crc = None if damage == "recrc" else (zlib.crc32(c[4:-4]) ^ 1) & 0xFFFFFFFF
        chunks[index] = chunk(c[4:8], bytes(body), crc_value=crc)
    elif damage == "no-iend":
        chunks.pop()

    data = reference.PNG_SIGNATURE + b"".join(chunks)
    if draw(_sometimes(8)):
        data = data[: draw(st.integers(0, len(data)))]
    elif draw(_sometimes(8)):
        data += draw(st.binary(min_size=1, max_size=16))
    return data


# ---------------------------------------------------------------------------
# Generated BMP files


def _bmp(
    width,
    height,
    pixels,
    *,
    offset=54,
    gap=b"",
    dib=40,
    planes=1,
    bits=24,
    compression=0,
    file_size=None,
    image_size=None,
):
    header = b"BM" + struct.pack("<IHHI", 54 + len(pixels) if file_size is None else file_size, 0, 0, offset)
    dib_header = struct.pack(
        "<IiiHHIIiiII",
        dib,
        width,
        height,
        planes,
        bits,
        compression,
        len(pixels) if image_size is None else image_size,
        2835,
        2835,
        0,
        0,
    )
    return header + dib_header + gap + pixels


SIDES = st.sampled_from([2**31 - 1, -(2**31), 2**30, 65536, 0x55555556, -1])


@st.composite
def bmp_files(draw):
    width = draw(st.integers(0, 6))
    height = draw(st.integers(-5, 5))
    stride = (width * 3 + 3) // 4 * 4
    rows = [
        draw(st.binary(min_size=width * 3, max_size=width * 3))
        + draw(st.sampled_from([bytes(stride - width * 3), b"\xff" * (stride - width * 3)]))
        for _ in range(abs(height))
    ]
    pixels = b"".join(rows)
    gap = draw(st.sampled_from([b"\x00" * 4, b"gap!" * 16])) if draw(_sometimes(3)) else b""
    fields = dict(offset=54 + len(gap), gap=gap)

    # Inconsistent headers: a field alone changed.
    change = (
        draw(st.sampled_from(["width", "height", "flip", "offset", "format", "sizes"])) if draw(_sometimes(2)) else None
    )
    if change == "width":
        width = draw(st.one_of(st.sampled_from([width + 1, width - 1, -width]), SIDES))
    elif change == "height":
        height = draw(st.one_of(st.sampled_from([height + 1, height - 1]), SIDES))
    elif change == "flip":
        height = -height
    elif change == "offset":
        fields["offset"] = draw(
            st.sampled_from([0, 14, 53, 55, 54 + len(gap) + len(pixels), 54 + len(gap) + len(pixels) + 1, 2**32 - 1])
        )
    elif change == "format":
        name = draw(st.sampled_from(["dib", "planes", "bits", "compression"]))
        fields[name] = draw(
            st.sampled_from(
                {
                    "dib": [12, 39, 41, 108, 124],
                    "planes": [0, 2],
                    "bits": [1, 8, 16, 23, 25, 32],
                    "compression": [1, 2, 3],
                }[name]
            )
        )
    elif change == "sizes":
        fields["file_size"] = draw(st.integers(0, 2**32 - 1))
        fields["image_size"] = draw(st.integers(0, 2**32 - 1))
    data = _bmp(width, height, pixels, **fields)

    end = draw(st.sampled_from(["cut", "pad", "header", "tail"])) if draw(_sometimes(3)) else None
    if end == "cut":
        data = data[: draw(st.integers(0, len(data)))]
    elif end == "pad":  # inside the last row's pad bytes, or its last pixel
        data = data[: len(data) - draw(st.integers(1, 3))]
    elif end == "header":
        data = data[: draw(st.sampled_from([2, 10, 14, 16, 18, 30, 53]))]
    elif end == "tail":
        data += draw(st.binary(min_size=1, max_size=8))
    return data


@pytest.mark.parametrize("files", [png_files, bmp_files], ids=["png", "bmp"])
@EXAMPLES
@given(data=st.data())
def test_generated(files, data):
    assert_agrees(data.draw(files()))


@pytest.mark.parametrize(
    "data", [b"", b"B", b"BM", b"\x89PNG\r\n\x1a", reference.PNG_SIGNATURE, b"BM" + bytes(12), b"PNG"], ids=repr
)
def test_dispatch_edges(data):
    assert_agrees(data)
