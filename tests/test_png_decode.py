"""The PNG decoder, reached through `SimpleImage._streamToImage`.

Pixel arithmetic of the row filters is left to the reference decoder
(test_reference.py), the conformance corpus and the Pillow differential
tests; this file pins the stream protocol, the order of the checks and their
messages, and the module-namespace lookups.
"""

import io
import struct
import types
import zlib

import pytest

from testkit import reference
from testkit.spy import IEND_CHUNK, PNG_SIG, SpyStream, chunk, ihdr, png, png_chunks_reads, simple_png

ONE_PIXEL = simple_png(1, 1, b"\x00\x0a\x14\x1e")


def decode(m, data):
    return m.SimpleImage._streamToImage(io.BytesIO(data))


def decode_error(m, data, exc=ValueError):
    with pytest.raises(exc) as info:
        decode(m, data)
    return info.value


# ---------------------------------------------------------------------------
# Stream protocol


@pytest.mark.parametrize(
    "data, tail",
    [
        (ONE_PIXEL, b""),
        # Nothing after IEND is read, not even a broken chunk.
        (ONE_PIXEL, b"\x00\x00\x00\x05junk"),
        # Other chunks are read whole and CRC-checked, then skipped; IEND data is ignored.
        (
            png(
                chunk(b"tEXt", b"k\x00v"),
                chunk(b"IHDR", ihdr(1, 1)),
                chunk(b"IDAT", zlib.compress(b"\x00\x0a\x14\x1e")),
                chunk(b"IEND", b"ignored"),
            ),
            b"more",
        ),
        # A stream that ends at a chunk boundary without IEND is accepted.
        (png(chunk(b"IHDR", ihdr(1, 1)), chunk(b"IDAT", zlib.compress(b"\x00\x0a\x14\x1e"))), b""),
    ],
    ids=["plain", "garbage-after-iend", "ancillary", "no-iend"],
)
def test_png_stream_calls(m, data, tail):
    stream = SpyStream(data + tail)
    result = m.SimpleImage._streamToImage(stream)
    assert result == (1, 1, bytearray(b"\x0a\x14\x1e"))
    assert type(result[2]) is bytearray
    # Detection reads 8 and rewinds; the decoder then reads from 0 and never seeks.
    assert stream.calls == [("read", 8), ("seek", 0)] + png_chunks_reads(data)
    assert stream.tell() == len(data)


def test_png_decoder_calls_module_read_chunk_at_each_chunk(m, monkeypatch):
    original = m._readChunk
    log = []

    def first(stream):
        log.append("first")
        monkeypatch.setattr(m, "_readChunk", second)  # rebound while decoding
        return original(stream)

    def second(stream):
        log.append("second")
        return original(stream)

    monkeypatch.setattr(m, "_readChunk", first)
    assert decode(m, ONE_PIXEL) == (1, 1, bytearray(b"\x0a\x14\x1e"))
    assert log == ["first", "second", "second"]


def test_png_decoder_takes_chunks_from_replacement(m, monkeypatch):
    # Only chunk types are looked at: IDAT pieces are joined in stream order,
    # whatever lies between them, and IHDR may come last.
    compressed = zlib.compress(b"\x00\x01\x02\x03\x00\x04\x05\x06")
    feed = iter(
        [
            (b"IDAT", compressed[:3]),
            (b"gAMA", b"xx"),
            (b"IDAT", compressed[3:]),
            (b"IHDR", ihdr(1, 2)),
            (b"", b""),
            (b"IHDR", b"never asked for"),
        ]
    )
    monkeypatch.setattr(m, "_readChunk", lambda stream: next(feed))
    stream = SpyStream(PNG_SIG)
    assert m.SimpleImage._streamToImage(stream) == (1, 2, bytearray(b"\x01\x02\x03\x04\x05\x06"))
    # The decoder itself reads only the signature.
    assert stream.calls == [("read", 8), ("seek", 0), ("read", 8)]
    assert next(feed)[1] == b"never asked for"


@pytest.mark.parametrize(
    "piece, outcome",
    [
        (bytearray, (1, 2, bytearray(b"\x01\x02\x03\x04\x05\x06"))),
        (memoryview, (1, 2, bytearray(b"\x01\x02\x03\x04\x05\x06"))),
        (lambda b: b.decode("latin-1"), "sequence item 1: expected a bytes-like object, str found"),
    ],
)
@pytest.mark.parametrize("one_call", [False, True], ids=["inflated-in-pieces", "one-call"])
def test_png_idat_data_of_other_types_is_joined(m, monkeypatch, piece, outcome, one_call):
    # A replacement _readChunk may give IDAT data that is not bytes: the
    # pieces are joined as b"".join joins them.
    compressed = zlib.compress(b"\x00\x01\x02\x03\x00\x04\x05\x06")
    feed = iter([(b"IHDR", ihdr(1, 2)), (b"IDAT", compressed[:3]), (b"IDAT", piece(compressed[3:])), (b"", b"")])
    monkeypatch.setattr(m, "_readChunk", lambda stream: next(feed))
    if one_call:
        monkeypatch.setattr(m, "zlib", types.SimpleNamespace(**{n: getattr(zlib, n) for n in dir(zlib)}))
    if isinstance(outcome, str):
        assert str(decode_error(m, PNG_SIG, TypeError)) == outcome
    else:
        assert decode(m, PNG_SIG) == outcome


class _LyingLength(bytes):
    """Inflated data whose len() tells another size than its buffer."""

    claimed = 0

    def __len__(self):
        return self.claimed


@pytest.mark.parametrize(
    "real, claimed",
    [
        (b"\x00\x01\x02\x03\x00\x04\x05", 8),
        (b"\x00\x01\x02\x03\x00\x04\x05\x06\x07", 8),
        (b"\x00\x01\x02\x03\x00\x04\x05\x06", 7),
    ],
)
def test_png_inflated_data_whose_length_lies(m, monkeypatch, real, claimed):
    # A replacement zlib's result is judged by its len(), as the host judges
    # it, and read through its buffer, which must be the length its len()
    # told: no row is read past the end of it. A 1 x 2 image's two rows are
    # 8 bytes.
    data = _LyingLength(real)
    data.claimed = claimed
    monkeypatch.setattr(m, "zlib", types.SimpleNamespace(crc32=zlib.crc32, decompress=lambda joined: data))
    assert str(decode_error(m, simple_png(1, 2, bytes(8)))) == "Malformed PNG image data"


class _NoLength(bytes):
    def __len__(self):
        raise LookupError("no length")


@pytest.mark.parametrize(
    "result, exc, message",
    [(5, TypeError, "object of type 'int' has no len()"), (_NoLength(bytes(8)), LookupError, "no length")],
    ids=["int", "len-raising"],
)
def test_png_inflated_data_without_a_length(m, monkeypatch, result, exc, message):
    # The length test's len() of a replacement zlib's result fails: its error.
    monkeypatch.setattr(m, "zlib", types.SimpleNamespace(crc32=zlib.crc32, decompress=lambda joined: result))
    assert str(decode_error(m, simple_png(1, 2, bytes(8)), exc)) == message


@pytest.mark.parametrize(
    "result, message",
    [
        ((b"IEND", b"", b""), "too many values to unpack (expected 2)"),
        ((b"IEND",), "need more than 1 value to unpack"),
    ],
)
def test_png_decoder_unpacks_read_chunk_result(m, monkeypatch, result, message):
    monkeypatch.setattr(m, "_readChunk", lambda stream: result)
    assert str(decode_error(m, PNG_SIG)) == message


def test_png_decoder_uses_module_zlib_and_struct(m, monkeypatch):
    calls = []

    def decompress(data):
        calls.append(data)
        return b"\x00\x01\x02\x03\x00\x04\x05\x06"

    monkeypatch.setattr(m, "zlib", types.SimpleNamespace(crc32=zlib.crc32, decompress=decompress))
    data = png(
        chunk(b"IHDR", ihdr(1, 2)), chunk(b"IDAT", b"ab"), chunk(b"zzZZ", b""), chunk(b"IDAT", b"cd"), IEND_CHUNK
    )
    # The IDAT data joined in stream order, decompressed in one call.
    assert decode(m, data) == (1, 2, bytearray(b"\x01\x02\x03\x04\x05\x06"))
    assert calls == [b"abcd"]

    unpacked = []

    def unpack(fmt, data):
        unpacked.append(fmt)
        return (2, 1, 8, 2, 0, 0, 0) if fmt == ">IIBBBBB" else struct.unpack(fmt, data)

    monkeypatch.setattr(m, "struct", types.SimpleNamespace(unpack=unpack))
    monkeypatch.setattr(m, "zlib", zlib)
    # The IHDR data says 1 x 1, the replacement's values say 2 x 1.
    assert decode(m, simple_png(1, 1, b"\x00" + bytes(6))) == (2, 1, bytearray(6))
    assert ">IIBBBBB" in unpacked


@pytest.mark.parametrize(
    "signature, data, message",
    [
        # Detection uses startswith, the decoder compares the whole 8 bytes.
        (PNG_SIG[:4], ONE_PIXEL, "Unsupported PNG signature"),
        (b"BM", b"BM" + bytes(60), "Unsupported PNG signature"),
        (b"\x89PNG\r\n\x1a\x00", ONE_PIXEL, "Unsupported image format"),
    ],
)
def test_png_signature_is_looked_up_in_module(m, monkeypatch, signature, data, message):
    monkeypatch.setattr(m, "PNG_SIGNATURE", signature)
    assert str(decode_error(m, data)) == message


# ---------------------------------------------------------------------------
# Refusals and their order


@pytest.mark.parametrize(
    "fields, message",
    [
        (dict(depth=16, colour=3), "Only 8-bit PNG images are supported"),
        (dict(depth=16, colour=2, interlace=1), "Only 8-bit PNG images are supported"),
        (dict(depth=1), "Only 8-bit PNG images are supported"),
        (dict(colour=3), "Only RGB/RGBA PNG images are supported"),
        (dict(colour=0), "Only RGB/RGBA PNG images are supported"),
        (dict(colour=4, compression=1), "Only RGB/RGBA PNG images are supported"),
        (dict(colour=6, interlace=1), "Unsupported PNG configuration (compression/filter/interlace)"),
        (dict(compression=1), "Unsupported PNG configuration (compression/filter/interlace)"),
        (dict(filt=1), "Unsupported PNG configuration (compression/filter/interlace)"),
        (dict(interlace=2), "Unsupported PNG configuration (compression/filter/interlace)"),
    ],
)
def test_png_header_checks_in_order(m, fields, message):
    # No IDAT at all: the header is judged before anything is decompressed.
    data = png(chunk(b"IHDR", ihdr(1, 1, **fields)), IEND_CHUNK)
    assert str(decode_error(m, data)) == message


@pytest.mark.parametrize(
    "data",
    [
        png(IEND_CHUNK),
        PNG_SIG,
        png(chunk(b"IDAT", zlib.compress(b"\x00\x01\x02\x03")), IEND_CHUNK),
        # An IHDR after IEND is never seen.
        png(chunk(b"IDAT", zlib.compress(b"\x00\x01\x02\x03")), IEND_CHUNK, chunk(b"IHDR", ihdr(1, 1))),
    ],
    ids=["only-iend", "only-signature", "no-ihdr", "ihdr-after-iend"],
)
def test_png_without_header(m, data):
    assert str(decode_error(m, data)) == "Incomplete PNG header information"


def test_png_later_ihdr_replaces_earlier(m):
    raw = b"\x00\x0a\x14\x1e"
    data = png(
        chunk(b"IHDR", ihdr(9, 9, depth=16)), chunk(b"IDAT", zlib.compress(raw)), chunk(b"IHDR", ihdr(1, 1)), IEND_CHUNK
    )
    assert decode(m, data) == (1, 1, bytearray(b"\x0a\x14\x1e"))


@pytest.mark.parametrize(
    "data, exc",
    [
        (png(chunk(b"IHDR", ihdr(1, 1)[:12]), IEND_CHUNK), struct.error),
        (png(chunk(b"IHDR", ihdr(1, 1) + b"\x00"), IEND_CHUNK), struct.error),
        (png(chunk(b"IHDR", ihdr(2**31, 1)), IEND_CHUNK), OverflowError),
        (png(chunk(b"IHDR", ihdr(1, 0xFFFFFFFF)), IEND_CHUNK), OverflowError),
        # Header fine, no IDAT or broken IDAT: zlib's own error.
        (png(chunk(b"IHDR", ihdr(1, 1)), IEND_CHUNK), zlib.error),
        (png(chunk(b"IHDR", ihdr(1, 1)), chunk(b"IDAT", b"not zlib"), IEND_CHUNK), zlib.error),
    ],
    ids=["ihdr-12", "ihdr-14", "width-2^31", "height-2^32-1", "no-idat", "bad-idat"],
)
def test_png_host_errors_pass_through(m, data, exc):
    decode_error(m, data, exc)


@pytest.mark.parametrize(
    "data, message",
    [
        (PNG_SIG + b"\x00", "Unexpected EOF while reading chunk length"),
        (PNG_SIG + chunk(b"IHDR", ihdr(1, 1))[:6], "Unexpected EOF while reading chunk type"),
        (PNG_SIG + chunk(b"IHDR", ihdr(1, 1))[:20], "Unexpected EOF while reading chunk data"),
        (PNG_SIG + chunk(b"IHDR", ihdr(1, 1))[:23], "Unexpected EOF while reading chunk CRC"),
        # A bad CRC in a chunk the decoder otherwise ignores fails the decode.
        (
            png(
                chunk(b"IHDR", ihdr(1, 1)),
                chunk(b"tEXt", b"a\x00b", crc_value=0),
                chunk(b"IDAT", zlib.compress(b"\x00\x01\x02\x03")),
                IEND_CHUNK,
            ),
            "Corrupted PNG chunk detected",
        ),
    ],
)
def test_png_chunk_errors_propagate(m, data, message):
    assert str(decode_error(m, data)) == message


def _raw_length_cases():
    for colour, bpp in ((2, 3), (6, 4)):
        for width, height in ((1, 1), (2, 3), (0, 2), (3, 0)):
            good = height * (width * bpp + 1)
            for delta in (-1, 1):
                if good + delta >= 0:
                    yield pytest.param(
                        width, height, colour, bytes(good + delta), id=f"c{colour}-{width}x{height}{delta:+d}"
                    )


@pytest.mark.parametrize("width, height, colour, raw", list(_raw_length_cases()))
def test_png_raw_length_must_match_exactly(m, width, height, colour, raw):
    data = simple_png(width, height, raw, colour=colour)
    assert str(decode_error(m, data)) == "Malformed PNG image data"


@pytest.mark.parametrize(
    "width, height, colour, raw, expected",
    [
        # Width 0: only the filter bytes, any value accepted.
        (0, 3, 2, b"\x07\xff\x05", (0, 3, bytearray())),
        (0, 1, 6, b"\x09", (0, 1, bytearray())),
        # Height 0: a zlib stream of zero bytes.
        (4, 0, 2, b"", (4, 0, bytearray())),
        (4, 0, 6, b"", (4, 0, bytearray())),
        # No rows, whatever the width: nothing is set aside for them.
        (2**31 - 1, 0, 2, b"", (2**31 - 1, 0, bytearray())),
        (2**31 - 1, 0, 6, b"", (2**31 - 1, 0, bytearray())),
    ],
)
def test_png_empty_images(m, width, height, colour, raw, expected):
    result = decode(m, simple_png(width, height, raw, colour=colour))
    assert result == expected and type(result[2]) is bytearray


@pytest.mark.parametrize(
    "raw, filter_byte",
    [
        (b"\x05\x01\x02\x03", 5),
        (b"\xff\x01\x02\x03", 255),
        # A bad filter in a later row: the earlier rows decode first.
        (b"\x01\x01\x02\x03\x04\x01\x02\x03\x07\x00\x00\x00", 7),
    ],
)
def test_png_unsupported_filter(m, raw, filter_byte):
    height = len(raw) // 4
    data = simple_png(1, height, raw)
    assert str(decode_error(m, data)) == f"Unsupported PNG filter: {filter_byte}"
    rgba = simple_png(1, 1, b"\x05" + bytes(4), colour=6)
    assert str(decode_error(m, rgba)) == "Unsupported PNG filter: 5"


def test_png_stream_read_errors_pass_through(m):
    boom = OSError("read failed")

    class Failing(SpyStream):
        def read(self, n):
            if len(self.calls) >= 4:
                raise boom
            return super().read(n)

    with pytest.raises(OSError) as info:
        m.SimpleImage._streamToImage(Failing(ONE_PIXEL))
    assert info.value is boom


def test_png_opened_image_is_plain(m):
    image = m.SimpleImage.open(simple_png(2, 1, b"\x00\x01\x02\x03\x04\x05\x06"))
    assert type(image) is m.SimpleImage
    assert (image.width, image.height, image._pixels) == (2, 1, bytearray(b"\x01\x02\x03\x04\x05\x06"))


def _image_streams():
    """zlib streams for a 4 x 3 RGB image (3 x 13 bytes expected): the right
    length, longer and shorter, and damaged or cut in the part beyond the
    image, where a decoder that stops early would not look."""
    good = b"".join(b"\0" + bytes(range(12 * r, 12 * r + 12)) for r in range(3))
    longer = zlib.compress(good + bytes(5000))
    body = zlib.compressobj(0)  # stored blocks: easy to damage late in the stream
    stored = body.compress(good + bytes(70000)) + body.flush()
    return {
        "exact": zlib.compress(good),
        "longer": longer,
        "longer-cut": longer[:-2],
        "longer-bad-check": longer[:-1] + bytes([longer[-1] ^ 1]),
        "stored-longer-bad-block": stored[:66000] + b"\xff" * 8 + stored[66008:],
        "shorter": zlib.compress(good[:-1]),
        "cut": zlib.compress(good)[:-3],
        "empty": b"",
        "garbage": b"\x78\x9c\xff\xff",
        "trailing-data": zlib.compress(good) + b"after the stream",
    }


@pytest.mark.parametrize("name", list(_image_streams()))
def test_decompression_outcome_is_the_one_shot_calls(m, monkeypatch, name):
    # The host's own zlib is run with bounded output; any other zlib object
    # gets the plain one-shot call. Both must end the same way.
    data = png(chunk(b"IHDR", ihdr(4, 3)), chunk(b"IDAT", _image_streams()[name]), IEND_CHUNK)

    def outcome():
        try:
            return m.SimpleImage.open(data)._pixels
        except Exception as e:
            return type(e), str(e)

    bounded = outcome()
    monkeypatch.setattr(m, "zlib", types.SimpleNamespace(**{n: getattr(zlib, n) for n in dir(zlib)}))
    assert outcome() == bounded


# ---------------------------------------------------------------------------
# Filter bytes in every row position


@pytest.mark.parametrize("bpp", [3, 4])
@pytest.mark.parametrize("position", range(4))
@pytest.mark.parametrize("others", range(5))
def test_png_every_filter_byte_in_every_row(m, bpp, position, others):
    # Rows of one valid filter around a row carrying each byte 0-255: a valid
    # byte decodes exactly, an invalid one is refused whatever its neighbours
    # (rows are undone two at a time where the kernels allow it).
    width = 2
    body = [bytes((17 * y + 29 * i + 3) & 255 for i in range(width * bpp)) for y in range(4)]
    for filter_byte in range(256):
        rows = [(filter_byte if y == position else others, body[y]) for y in range(4)]
        raw = b"".join(bytes([f]) + row for f, row in rows)
        data = simple_png(width, 4, raw, colour=2 if bpp == 3 else 6)
        expected = reference.decode(data)
        assert expected.ok == (filter_byte <= 4)
        assert reference.compare(reference.observe(lambda data=data: decode(m, data)), expected) is None


@pytest.mark.parametrize("bpp", [3, 4])
@pytest.mark.parametrize("pair", [(3, 27), (27, 3), (4, 28), (5, 6), (36, 35), (0, 255)])
def test_png_first_bad_row_is_reported(m, bpp, pair):
    # Two rows undone together: the upper one's error comes first, and a bad
    # byte whose combined key matches a valid pair is still refused.
    width = 1
    rows = [(2, bytes(bpp))] + [(f, bytes(range(1, bpp + 1))) for f in pair] + [(9, bytes(bpp))]
    raw = b"".join(bytes([f]) + row for f, row in rows)
    data = simple_png(width, 4, raw, colour=2 if bpp == 3 else 6)
    first_bad = next(f for f, _ in rows if f > 4)
    assert str(decode_error(m, data)) == f"Unsupported PNG filter: {first_bad}"


@pytest.mark.parametrize(
    "width, height, raw, outcome",
    [
        # Both negative: the expected length height * (width * 3 + 1) is
        # positive, no row is undone, and the buffer is made zero-filled.
        (-2, -2, bytes(10), (-2, -2, bytearray(12))),
        (-2, -2, bytes(9), "Malformed PNG image data"),
        (-5, 0, b"", (-5, 0, bytearray())),
        (-5, 2, bytes(28), "Malformed PNG image data"),
        (3, -2, b"", "Malformed PNG image data"),
        (0, -3, b"", "Malformed PNG image data"),
        # An expected length beyond 64 bits matches nothing.
        (-(2**31), -(2**31), b"", "Malformed PNG image data"),
    ],
)
@pytest.mark.parametrize("one_call", [False, True], ids=["inflated-in-pieces", "one-call"])
def test_png_sizes_from_a_rebound_struct_are_exact(m, monkeypatch, width, height, raw, outcome, one_call):
    # A module-level struct may hand back IHDR values the file cannot hold.
    values = (width, height, 8, 2, 0, 0, 0)
    monkeypatch.setattr(
        m,
        "struct",
        types.SimpleNamespace(unpack=lambda fmt, data: values if fmt == ">IIBBBBB" else struct.unpack(fmt, data)),
    )
    if one_call:
        monkeypatch.setattr(m, "zlib", types.SimpleNamespace(**{n: getattr(zlib, n) for n in dir(zlib)}))
    data = simple_png(1, 1, raw)
    if isinstance(outcome, str):
        assert str(decode_error(m, data)) == outcome
    else:
        assert decode(m, data) == outcome


# ---------------------------------------------------------------------------
# Chunks read in place
#
# From a plain io.BytesIO, while _readChunk, struct and zlib are the module's
# own, the decoder takes the chunks from the stream's bytes where they lie;
# nothing may tell that from reading them through the stream's methods.


class ReadsThrough(io.BytesIO):
    """No plain io.BytesIO: the decoder reads it through its methods."""


def _in_place_cases():
    idat = zlib.compress(b"\x00\x0a\x14\x1e\x00\x01\x02\x03")
    whole = png(
        chunk(b"IHDR", ihdr(1, 2)), chunk(b"IDAT", idat[:5]), chunk(b"tEXt", b"k\x00v"), chunk(b"IDAT", idat[5:])
    )
    yield "plain", whole + IEND_CHUNK + b"after"
    # Cut inside every field of every chunk, and at every boundary.
    for cut in range(len(PNG_SIG), len(whole) + 1):
        yield f"cut-{cut}", whole[:cut]
    # A CRC off by one in each chunk; a bit of each chunk's data flipped.
    for k, at in enumerate((33 - 4, 33 + 12 + 5, len(whole) - 4)):
        yield f"crc-{k}", whole[:at] + bytes([whole[at] ^ 1]) + whole[at + 1 :]
    yield "short-ihdr", png(chunk(b"IHDR", ihdr(1, 1)[:12]), chunk(b"IDAT", idat), IEND_CHUNK)
    yield "huge-ihdr", png(chunk(b"IHDR", ihdr(2**31, 1)), IEND_CHUNK)
    yield "length-ffffffff", png(chunk(b"IHDR", ihdr(1, 1)), chunk(b"IDAT", b"", length=0xFFFFFFFF), b"tail")
    yield "no-idat", png(chunk(b"IHDR", ihdr(1, 1)), IEND_CHUNK)
    yield "bad-zlib", png(chunk(b"IHDR", ihdr(1, 1)), chunk(b"IDAT", b"\x78\x9c\x00"), IEND_CHUNK)
    yield "bad-filter", simple_png(1, 1, b"\x07\x00\x00\x00")


@pytest.mark.parametrize("data", [d for _, d in _in_place_cases()], ids=[n for n, _ in _in_place_cases()])
def test_png_chunks_read_in_place_as_through_reads(m, data):
    seen = []
    for stream in (io.BytesIO(data), ReadsThrough(data)):
        outcome = reference.observe(lambda: m.SimpleImage._streamToImage(stream))  # noqa: B023
        seen.append((outcome, stream.tell()))
    assert seen[0] == seen[1]
    assert reference.compare(seen[0][0], reference.decode(data)) is None


@pytest.mark.parametrize("replaced", ["struct.unpack", "zlib.crc32", "zlib.decompress", "_readChunk"])
def test_png_chunks_read_in_place_only_with_the_module_own_steps(m, monkeypatch, replaced):
    # A replacement anywhere on the way, even on the host's own module that
    # the module's name still refers to, is called as the reads would call it.
    calls = []
    owner_name, _, attr = replaced.rpartition(".")
    owner = {"struct": struct, "zlib": zlib, "": m}[owner_name]
    real = getattr(owner, attr)

    def spy(*args):
        calls.append(args)
        return real(*args)

    monkeypatch.setattr(owner, attr, spy)
    assert decode(m, ONE_PIXEL) == (1, 1, bytearray(b"\x0a\x14\x1e"))
    assert calls


def test_png_compressed_data_read_in_place_is_not_copied(m):
    # Incompressible pixels: the IDAT data is as large as the pixel buffer.
    # Read in place, no copy of it is made on the way to the inflater.
    import os
    import tracemalloc

    width, height = 1024, 1024
    raw = b"".join(b"\x00" + os.urandom(width * 3) for _ in range(height))
    data = simple_png(width, height, raw)
    compressed = len(data)
    decode(m, simple_png(1, 1, b"\x00\x00\x00\x00"))  # whatever the first decode sets up
    tracemalloc.start()
    try:
        for stream in (io.BytesIO(data), ReadsThrough(data)):
            tracemalloc.reset_peak()
            before = tracemalloc.get_traced_memory()[0]
            result = m.SimpleImage._streamToImage(stream)
            peak = tracemalloc.get_traced_memory()[1] - before
            del result
            if type(stream) is io.BytesIO:
                assert peak < width * height * 3 + compressed // 2
            else:
                assert peak > width * height * 3 + compressed
    finally:
        tracemalloc.stop()
