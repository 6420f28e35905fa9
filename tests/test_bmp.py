"""The BMP decoder (through `SimpleImage._streamToImage`) and the BMP encoder
(`_writeBmp`, `SimpleImage.saveBmp`)."""

import io
import pathlib
import struct
import tracemalloc
import types
from decimal import Decimal

import pytest

from testkit import reference
from testkit.spy import SpyStream, bmp, bmp_header, bmp_rows, bmp_stride, close_if_open, fd_path, is_open, reads, rgb

DETECT = [("read", 8), ("seek", 0)]
HEADERS = reads(14, 4, 36)
OLD = b"previous contents"


def decode_calls(m, data, **kw):
    stream = SpyStream(data, **kw)
    result = m.SimpleImage._streamToImage(stream)
    return result, stream.calls


# ---------------------------------------------------------------------------
# Decoder: stream protocol


@pytest.mark.parametrize(
    "width, height, top_down, extra",
    [
        (1, 1, False, {}),
        (2, 2, False, {}),
        (3, 1, False, {}),
        (4, 2, False, {}),
        (5, 3, False, {}),
        (2, 2, True, {}),
        (3, 2, True, {"gap": b"\xee" * 10}),  # pixelOffset 64: the gap is skipped
        (3, 0, False, {}),  # the seek still happens, no row is read
        (0, 3, False, {}),  # rowStride 0: three empty reads
        (0, 2, True, {}),
    ],
)
def test_bmp_stream_calls(m, width, height, top_down, extra):
    pixels = rgb(width, height)
    data = bmp(width, height, pixels, top_down=top_down, **extra) + b"trailing bytes are never read"
    (w, h, buf), calls = decode_calls(m, data)
    assert (w, h, buf) == (width, height, pixels) and type(buf) is bytearray
    offset = 54 + len(extra.get("gap", b""))
    assert calls == DETECT + HEADERS + [("seek", offset)] + reads(*[bmp_stride(width)] * height)


def test_bmp_top_down_and_bottom_up_agree(m):
    pixels = rgb(3, 2, seed=5)
    up = m.SimpleImage._streamToImage(io.BytesIO(bmp(3, 2, pixels)))
    down = m.SimpleImage._streamToImage(io.BytesIO(bmp(3, 2, pixels, top_down=True)))
    assert up == down == (3, 2, pixels)


@pytest.mark.parametrize(
    "header",
    [
        dict(file_size=0),
        dict(image_size=12345, ppm=-7),
        dict(file_size=2**32 - 1, image_size=2**32 - 1),
    ],
)
def test_bmp_unvalidated_fields(m, header):
    pixels = rgb(2, 2)
    assert m.SimpleImage._streamToImage(io.BytesIO(bmp(2, 2, pixels, **header))) == (2, 2, pixels)


def test_bmp_pixel_offset_below_54_decodes_header_bytes(m):
    data = bmp_header(1, 1, pixel_offset=2) + b"\x01\x02\x03\x00"
    # The row is bytes 2..5 of the file: the fileSize field, little-endian.
    (w, h, buf), calls = decode_calls(m, data)
    assert buf == bytearray(data[2:5][::-1])
    assert calls == DETECT + HEADERS + [("seek", 2), ("read", 4)]


def test_bmp_negative_width_with_zero_height(m):
    (w, h, buf), calls = decode_calls(m, bmp_header(-4, 0))
    assert (w, h, buf) == (-4, 0, bytearray())
    assert calls == DETECT + HEADERS + [("seek", 54)]


# ---------------------------------------------------------------------------
# Decoder: refusals, in their order

GOOD = bmp(2, 2, rgb(2, 2))


def _with_dib(data, offset, fmt, value):
    data = bytearray(data)
    struct.pack_into(fmt, data, offset, value)
    return bytes(data)


def rows(offset, *sizes):
    return HEADERS + [("seek", offset)] + reads(*sizes)


BMP_REFUSALS = [
    # (data, exception, message, calls after detection)
    ("BM-only", b"BM", ValueError, "Unsupported BMP header", reads(14)),
    ("10-bytes", b"BM" + bytes(8), ValueError, "Unsupported BMP header", reads(14)),
    ("13-bytes", GOOD[:13], ValueError, "Unsupported BMP header", reads(14)),
    ("14-bytes", GOOD[:14], ValueError, "Corrupted BMP DIB header", reads(14, 4)),
    ("17-bytes", GOOD[:17], ValueError, "Corrupted BMP DIB header", reads(14, 4)),
    (
        "dib-12",
        _with_dib(GOOD, 14, "<I", 12),
        ValueError,
        "Only BITMAPINFOHEADER BMP files are supported",
        reads(14, 4),
    ),
    (
        "dib-108",
        _with_dib(GOOD, 14, "<I", 108),
        ValueError,
        "Only BITMAPINFOHEADER BMP files are supported",
        reads(14, 4),
    ),
    (
        "dib-124-planes-2",
        _with_dib(_with_dib(GOOD, 14, "<I", 124), 26, "<H", 2),
        ValueError,
        "Only BITMAPINFOHEADER BMP files are supported",
        reads(14, 4),
    ),
    ("dib-short", GOOD[:53], struct.error, None, HEADERS),
    ("dib-short-32bit", _with_dib(GOOD, 28, "<H", 32)[:20], struct.error, None, HEADERS),
    ("planes-0", _with_dib(GOOD, 26, "<H", 0), ValueError, "Only uncompressed 24-bit BMP files are supported", HEADERS),
    ("planes-2", _with_dib(GOOD, 26, "<H", 2), ValueError, "Only uncompressed 24-bit BMP files are supported", HEADERS),
    ("bits-32", _with_dib(GOOD, 28, "<H", 32), ValueError, "Only uncompressed 24-bit BMP files are supported", HEADERS),
    ("bits-8", _with_dib(GOOD, 28, "<H", 8), ValueError, "Only uncompressed 24-bit BMP files are supported", HEADERS),
    ("rle8", _with_dib(GOOD, 30, "<I", 1), ValueError, "Only uncompressed 24-bit BMP files are supported", HEADERS),
    (
        "bitfields",
        _with_dib(GOOD, 30, "<I", 3),
        ValueError,
        "Only uncompressed 24-bit BMP files are supported",
        HEADERS,
    ),
    # A negative width fails allocating the buffer, before the seek.
    ("width-negative", bmp_header(-1, 1) + bytes(8), ValueError, None, HEADERS),
    ("width-negative-top-down", bmp_header(-3, -2) + bytes(8), ValueError, None, HEADERS),
    # Rows: pad bytes count, a pixelOffset past the end gives a short first row.
    ("pad-short", GOOD[:-1], ValueError, "Incomplete BMP pixel data", rows(54, 8, 8)),
    ("row-missing", GOOD[:-8], ValueError, "Incomplete BMP pixel data", rows(54, 8, 8)),
    (
        "offset-past-end",
        _with_dib(GOOD, 10, "<I", len(GOOD) + 1),
        ValueError,
        "Incomplete BMP pixel data",
        rows(len(GOOD) + 1, 8),
    ),
    ("offset-max", _with_dib(GOOD, 10, "<I", 2**32 - 1), ValueError, "Incomplete BMP pixel data", rows(2**32 - 1, 8)),
]


@pytest.mark.parametrize("data, exc, message, calls", [c[1:] for c in BMP_REFUSALS], ids=[c[0] for c in BMP_REFUSALS])
def test_bmp_refusals(m, data, exc, message, calls):
    stream = SpyStream(data)
    with pytest.raises(exc) as info:
        m.SimpleImage._streamToImage(stream)
    if message is not None:
        assert str(info.value) == message
    assert stream.calls == DETECT + calls


# Rows of 3004 bytes: a plain file's rows are read 32 to a block.
BIG = bmp(1001, 100, rgb(1001, 100))
BIG_CASES = {"big": BIG, "big-cut-at-a-block": BIG[: 54 + 32 * 3004], "big-cut-in-a-block": BIG[:-5000]}


def _outcome(m, stream):
    try:
        result = m.SimpleImage._streamToImage(stream)
    except Exception as e:
        result = (type(e), str(e))
    return result, stream.tell()


@pytest.mark.parametrize("source", ["BytesIO", "file"])
@pytest.mark.parametrize("case", ["good", "top-down", "empty-rows", *BIG_CASES] + [c[0] for c in BMP_REFUSALS])
def test_bmp_plain_streams_behave_like_any_stream(m, case, source, tmp_path):
    # A plain io.BytesIO is decoded straight from its value, and a plain file
    # read a block of rows at a time: the outcome and the position the stream
    # is left at must be those of reading it row by row.
    data = {"good": GOOD, "top-down": bmp(3, -2, rgb(3, 2)), "empty-rows": bmp(0, 5, b""), **BIG_CASES}.get(case)
    if data is None:
        data = next(c[1] for c in BMP_REFUSALS if c[0] == case)
    path = tmp_path / "image.bmp"
    path.write_bytes(data)
    with io.BytesIO(data) if source == "BytesIO" else open(path, "rb") as stream:
        assert _outcome(m, stream) == _outcome(m, SpyStream(data))


def _read_calls():
    with open("/proc/self/io") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("syscr"))


@pytest.mark.skipif(not pathlib.Path("/proc/self/io").exists(), reason="counts the process's reads from /proc")
def test_bmp_plain_file_is_read_in_blocks_unless_its_reads_can_be_seen(m, tmp_path):
    path = tmp_path / "image.bmp"
    path.write_bytes(BIG)
    with open(path, "rb") as f:
        before = _read_calls()
        m.SimpleImage._streamToImage(f)
        assert _read_calls() - before < 10  # a read per row would read the file 37 times

    # A raw file whose readinto is its own sees the reads of row by row, as
    # it does under a reader that is not the host's own.
    def sizes(stream):
        seen, readinto = [], stream.raw.readinto
        stream.raw.readinto = lambda b: seen.append(len(b)) or readinto(b)
        with stream:
            assert _outcome(m, stream) == _outcome(m, SpyStream(BIG))
        return seen

    own = type("OwnReader", (io.BufferedReader,), {})
    assert sizes(io.BufferedReader(io.FileIO(path))) == sizes(own(io.FileIO(path))) != []


@pytest.mark.parametrize(
    "row",
    [bytes, bytearray, memoryview, lambda b: None, type("BytesSub", (bytes,), {})],
    ids=["bytes", "bytearray", "memoryview", "None", "bytes-subclass"],
)
def test_bmp_row_must_be_exactly_bytes(m, row):
    count = []

    def convert(n, data):
        count.append(n)
        # Header reads (8, 14, 4, 36) may be bytearrays; rows must be exactly bytes.
        return row(data) if len(count) > 4 else bytearray(data)

    stream = SpyStream(GOOD, on_read=convert)
    if row is bytes:
        assert m.SimpleImage._streamToImage(stream) == (2, 2, rgb(2, 2))
        return
    with pytest.raises(TypeError):
        m.SimpleImage._streamToImage(stream)
    assert count == [8, 14, 4, 36, 8]


class Incomparable(bytes):
    def __eq__(self, other):
        raise LookupError("compared")

    __ne__ = __eq__
    __hash__ = bytes.__hash__


class SlicedIncomparable(bytes):
    def __getitem__(self, key):
        return Incomparable(super().__getitem__(key))


def test_bmp_signature_comparison_failing(m):
    # The header read's first two bytes are compared as the host compares
    # them: that comparison's error propagates, and nothing more is read.
    def stream():
        return SpyStream(GOOD, on_read=lambda n, data: SlicedIncomparable(data) if n == 14 else data)

    spy = stream()
    with pytest.raises(LookupError, match="^compared$"):
        m.SimpleImage._streamToImage(spy)
    assert spy.calls == DETECT + reads(14)
    with pytest.raises(LookupError, match="^compared$"):
        reference.load_bmp(stream())


def test_bmp_decoder_uses_module_struct(m, monkeypatch):
    log = []

    def unpack(fmt, data):
        log.append((fmt, bytes(data)))
        return struct.unpack(fmt, data)

    monkeypatch.setattr(m, "struct", types.SimpleNamespace(unpack=unpack))
    m.SimpleImage._streamToImage(io.BytesIO(GOOD))
    assert log == [("<IHHI", GOOD[2:14]), ("<I", GOOD[14:18]), ("<iiHHIIiiII", GOOD[18:54])]

    # The values the module's struct gives are the ones used.
    monkeypatch.setattr(
        m,
        "struct",
        types.SimpleNamespace(
            unpack=lambda fmt, data: (
                (40,) if fmt == "<I" else (0, 0, 0, 60) if fmt == "<IHHI" else (1, -1, 1, 24, 0, 0, 0, 0, 0, 0)
            )
        ),
    )
    (w, h, buf), calls = decode_calls(m, GOOD)
    assert (w, h, buf) == (1, 1, bytearray(GOOD[60:63][::-1]))
    assert calls[-2:] == [("seek", 60), ("read", 4)]

    # The DIB header size is item 0 of its unpacked result (the other two
    # results are unpacked whole).
    monkeypatch.setattr(
        m,
        "struct",
        types.SimpleNamespace(unpack=lambda fmt, data: (40, "ignored") if fmt == "<I" else struct.unpack(fmt, data)),
    )
    assert m.SimpleImage._streamToImage(io.BytesIO(GOOD)) == (2, 2, rgb(2, 2))


def _rebind_header_sizes(m, monkeypatch, width, height):
    """The module and the oracle unpack the info header through a struct
    that gives `width` and `height` for the sizes."""

    def unpack(fmt, data):
        if fmt == "<iiHHIIiiII":
            return (width, height) + struct.unpack(fmt, data)[2:]
        return struct.unpack(fmt, data)

    monkeypatch.setattr(m, "struct", types.SimpleNamespace(unpack=unpack))
    monkeypatch.setattr(reference, "struct", types.SimpleNamespace(unpack=unpack))


@pytest.mark.parametrize(
    "width, height", [(2**62, 1), (1, -(2**62)), (2**40, 2**40), (2**40, -(2**40)), (2**70, 1), (1, -(2**64))]
)
def test_bmp_sizes_from_a_rebound_struct_past_an_index(m, monkeypatch, width, height):
    # A buffer of width x |height| x 3 bytes cannot be indexed: the host's
    # OverflowError, before the stream moves to the pixels, as the plain
    # decoder has it.
    _rebind_header_sizes(m, monkeypatch, width, height)
    stream = SpyStream(GOOD)
    message = "^cannot fit 'int' into an index-sized integer$"
    with pytest.raises(OverflowError, match=message):
        m.SimpleImage._streamToImage(stream)
    assert stream.calls == DETECT + HEADERS
    with pytest.raises(OverflowError, match=message):
        reference.load_bmp(io.BytesIO(GOOD))


class NoIndex:
    """Multiplies like the number `factor`, and is no integer."""

    def __init__(self, factor=2):
        self.factor = factor

    def __mul__(self, other):
        return self.factor * other

    __rmul__ = __mul__


@pytest.mark.parametrize(
    "width, height, exc, message, before_seek",
    [
        # The size width * |height| * 3 is no integer: bytearray() refuses it,
        # before the width's own range or sign is looked at.
        (2.0, 2, TypeError, "cannot convert 'float' object to bytearray", True),
        (2, -2.0, TypeError, "cannot convert 'float' object to bytearray", True),
        (2**70, 1.0, TypeError, "cannot convert 'float' object to bytearray", True),
        (-1.5, 2, TypeError, "cannot convert 'float' object to bytearray", True),
        # The host's arithmetic refuses them first.
        ("ab", 2, TypeError, 'can only concatenate str (not "int") to str', True),
        (2, "ab", TypeError, "bad operand type for abs(): 'str'", True),
        (Decimal(2), 2.0, TypeError, "unsupported operand type(s) for *: 'decimal.Decimal' and 'float'", True),
        # A size bytearray() takes: the width is no count of pixels (the plain
        # decoder finds it reading the first row, after the seek).
        (NoIndex(), 2, TypeError, "'NoIndex' object cannot be interpreted as an integer", False),
        # An integer size past an index (only its last factor, 3, takes it there).
        (NoIndex(2**61), 2, OverflowError, "cannot fit 'int' into an index-sized integer", True),
    ],
)
def test_bmp_header_values_from_a_rebound_struct_that_are_no_integers(
    m, monkeypatch, width, height, exc, message, before_seek
):
    _rebind_header_sizes(m, monkeypatch, width, height)
    stream = SpyStream(GOOD)
    with pytest.raises(exc) as info:
        m.SimpleImage._streamToImage(stream)
    assert str(info.value) == message
    if before_seek:
        assert stream.calls == DETECT + HEADERS
    with pytest.raises(exc) as info:
        reference.load_bmp(io.BytesIO(GOOD))
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# Encoder

ONE_BY_ONE = bytes.fromhex(
    "424D 3A000000 0000 0000 36000000 28000000 01000000 01000000 0100 1800 00000000 04000000"
    "130B0000 130B0000 00000000 00000000 332211 00"
)


def test_write_bmp_one_pixel_example(m, tmp_path):
    path = tmp_path / "a.bmp"
    assert m._writeBmp(str(path), 1, 1, b"\x11\x22\x33") is None
    assert len(ONE_BY_ONE) == 58 and path.read_bytes() == ONE_BY_ONE
    m.SimpleImage(1, 1, b"\x11\x22\x33").saveBmp(str(tmp_path / "b.bmp"))
    assert (tmp_path / "b.bmp").read_bytes() == ONE_BY_ONE


def test_write_bmp_bottom_row_first(m, tmp_path):
    path = tmp_path / "a.bmp"
    m._writeBmp(path, 1, 2, bytearray(b"\xff\x00\x00\x00\x00\xff"))  # a pathlib.Path serves
    assert path.read_bytes()[54:] == b"\xff\x00\x00\x00" + b"\x00\x00\xff\x00"


@pytest.mark.parametrize(
    "width, height",
    [(1, 2), (2, 2), (3, 2), (4, 2), (5, 2), (7, 3), (3, 0), (0, 3), (0, 0)],
)
def test_write_bmp_layout(m, tmp_path, width, height):
    pixels = rgb(width, height, seed=width)
    path = tmp_path / "a.bmp"
    m._writeBmp(str(path), width, height, pixels)
    data = path.read_bytes()
    stride = bmp_stride(width)
    assert len(data) == 54 + stride * height
    assert data == bmp_header(width, height) + bmp_rows(width, height, pixels)
    assert m.SimpleImage._streamToImage(io.BytesIO(data)) == (width, height, pixels)


@pytest.mark.parametrize("width, height", [(1024, 1024), (350_000, 3)])
def test_write_bmp_holds_a_bounded_piece_of_the_file(m, tmp_path, width, height):
    # To a file of the host's own, the rows go in joined writes of about
    # 1 MiB (or one row, if longer): the file's bytes are never all held.
    pixels = bytearray(width * height * 3)  # no copy is made of a bytearray
    path = str(tmp_path / "a.bmp")
    m._writeBmp(path, width, height, pixels)  # anything made on first use is made here

    def peak(action):
        tracemalloc.start()
        try:
            action()
            return tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()

    # The file object and its buffer (whose size differs between versions).
    opening = peak(lambda: open(path, "wb").close())
    written = peak(lambda: m._writeBmp(path, width, height, pixels))
    assert written < max(1 << 20, bmp_stride(width)) + opening + (64 << 10), (written, opening)


@pytest.mark.parametrize(
    "pixels",
    [bytes(range(12)), list(range(12)), memoryview(bytes(range(12))), bytes(range(12)) + b"extra", 12],
    ids=["bytes", "list", "memoryview", "longer", "int"],
)
def test_write_bmp_pixel_kinds(m, tmp_path, pixels):
    path = tmp_path / "a.bmp"
    m._writeBmp(str(path), 2, 2, pixels)
    assert path.read_bytes() == bmp_header(2, 2) + bmp_rows(2, 2, bytearray(pixels)[:12])


@pytest.mark.parametrize(
    "width, height, kept",
    [
        # fileSize negative: only "BM".
        (2, -20, b"BM"),
        (-20, 1, b"BM"),
        # fileSize packs, the DIB header does not: 14 bytes.
        (1, -1, b"BM" + struct.pack("<IHHI", 50, 0, 0, 54)),
        (-1, 1, b"BM" + struct.pack("<IHHI", 54, 0, 0, 54)),
        (-2, 1, b"BM" + struct.pack("<IHHI", 50, 0, 0, 54)),
        (-5, 0, b"BM" + struct.pack("<IHHI", 54, 0, 0, 54)),
        # fileSize beyond 32 bits.
        (2**31 - 1, 2**31 - 1, b"BM"),
    ],
)
def test_write_bmp_negative_sizes(m, tmp_path, width, height, kept):
    path = tmp_path / "a.bmp"
    path.write_bytes(OLD * 10)
    with pytest.raises(struct.error):
        m._writeBmp(str(path), width, height, b"")
    assert path.read_bytes() == kept


@pytest.mark.parametrize(
    "width, height, length",
    [(1, 1, 2), (2, 1, 5), (3, 1, 8), (3, 2, 17), (3, 2, 15), (3, 2, 11), (3, 2, 9), (2, 2, 3), (4, 3, 0)],
)
def test_write_bmp_short_buffer(m, tmp_path, width, height, length):
    pixels = rgb(width, height)[:length]
    path = tmp_path / "a.bmp"
    with pytest.raises(IndexError):
        m._writeBmp(str(path), width, height, pixels)
    # The headers, then the bottom row's pixels up to the first one reaching past the end.
    start = (height - 1) * width * 3
    whole = max(0, (length - start) // 3)
    bottom = bmp_rows(width, 1, rgb(width, height)[start:])
    assert path.read_bytes() == bmp_header(width, height) + bottom[: 3 * whole]
    if length == width * height * 3 - 1:
        assert whole == width - 1


@pytest.mark.parametrize(
    "args, exc",
    [
        ((1, 1, "abc"), TypeError),
        ((1, 1, None), TypeError),
        ((1, 1, [1, 2, 256]), ValueError),
        ((1, 1, 1.5), TypeError),
        # The conversion happens even when the sizes could not be packed.
        ((-1, -1, "abc"), TypeError),
        ((1, "1", b"abc"), TypeError),
        ((2**31, 1, b"abc"), OverflowError),
    ],
)
def test_write_bmp_refusals_leave_file_untouched(m, tmp_path, args, exc):
    path = tmp_path / "a.bmp"
    path.write_bytes(OLD)
    with pytest.raises(exc):
        m._writeBmp(str(path), *args)
    assert path.read_bytes() == OLD
    with pytest.raises(exc):
        m._writeBmp(str(tmp_path / "new.bmp"), *args)
    assert not (tmp_path / "new.bmp").exists()


def test_write_bmp_uses_module_struct(m, tmp_path, monkeypatch):
    log = []

    def pack(fmt, *values):
        log.append((fmt,) + values)
        return b"<" + fmt.encode() + b">"

    monkeypatch.setattr(m, "struct", types.SimpleNamespace(pack=pack))
    path = tmp_path / "a.bmp"
    m._writeBmp(str(path), 2, 3, rgb(2, 3))
    assert log == [("<IHHI", 78, 0, 0, 54), ("<IIIHHIIIIII", 40, 2, 3, 1, 24, 0, 24, 2835, 2835, 0, 0)]
    assert path.read_bytes() == b"BM<<IHHI><<IIIHHIIIIII>" + bmp_rows(2, 3, rgb(2, 3))


@pytest.mark.parametrize(
    "args, opened",
    [
        ((2, 2, rgb(2, 2)), True),
        ((2, 2, rgb(2, 2)[:-1]), True),  # IndexError inside the block
        ((1, -1, b""), True),  # struct.error inside the block
        ((2, 2, "str"), False),  # refused before opening
    ],
)
def test_write_bmp_closes_its_file(m, tmp_path, args, opened):
    fd = fd_path(tmp_path / "a.bmp")
    try:
        try:
            m._writeBmp(fd, *args)
        except (IndexError, struct.error, TypeError):
            pass
        assert is_open(fd) is not opened
    finally:
        close_if_open(fd)


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "make_path, type_name",
    [(pathlib.Path, "PosixPath"), (lambda p: None, "NoneType"), (StrSub, "StrSub")],
)
def test_save_bmp_refuses_non_str_path(m, tmp_path, monkeypatch, make_path, type_name):
    monkeypatch.setattr(m, "_writeBmp", lambda *a: pytest.fail("_writeBmp called"))
    target = tmp_path / "a.bmp"
    with pytest.raises(TypeError) as info:
        m.SimpleImage(1, 1, b"abc").saveBmp(make_path(target))
    assert str(info.value).startswith(f"Argument 'path' has incorrect type (expected str, got {type_name})")
    assert not target.exists()


def test_save_bmp_calls_module_write_bmp(m, monkeypatch):
    image = m.SimpleImage(1, 2, bytes(range(6)))
    calls = []
    monkeypatch.setattr(m, "_writeBmp", lambda *args: calls.append(args) or "ignored")
    assert image.saveBmp(path="x.bmp") is None
    assert calls == [("x.bmp", 1, 2, bytearray(range(6)))]
    assert calls[0][3] is image._pixels


def test_save_bmp_with_short_buffer(m, tmp_path):
    image = m.SimpleImage(2, 1, b"\x01\x02\x03\x04\x05\x06")
    image._pixels = bytearray(b"\x01\x02\x03\x04\x05")
    path = tmp_path / "a.bmp"
    with pytest.raises(IndexError):
        image.saveBmp(str(path))
    assert path.read_bytes() == bmp_header(2, 1) + b"\x03\x02\x01"
