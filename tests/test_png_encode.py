"""The PNG encoder, `_writePng` and `SimpleImage.save`.

A pixel buffer shorter than width x height x 3 bytes is refused with
ValueError "Pixel data length does not match image dimensions" after the IHDR
packing and the bytearray conversion, before anything is compressed or
written: such a file would be unreadable.
"""

import array
import pathlib
import struct
import types
import zlib

import pytest

from testkit.spy import IEND_CHUNK, PNG_SIG, chunk, close_if_open, fd_path, ihdr, is_open

SHORT = "Pixel data length does not match image dimensions"
PIXELS_2X1 = bytes.fromhex("FF0000 00FF00")
IHDR_2X1 = bytes.fromhex("0000000D 49484452 00000002000000010802000000 7B40E8DD")
OLD = b"previous contents"


def expected_file(width, height, raw):
    return png_file(chunk(b"IHDR", ihdr(width, height)), raw)


def png_file(ihdr_chunk, raw):
    return PNG_SIG + ihdr_chunk + chunk(b"IDAT", zlib.compress(raw)) + IEND_CHUNK


class ByteArraySub(bytearray):
    pass


@pytest.mark.parametrize(
    "pixels",
    [
        bytearray(PIXELS_2X1),
        PIXELS_2X1,
        list(PIXELS_2X1),
        memoryview(PIXELS_2X1),
        ByteArraySub(PIXELS_2X1),
        array.array("B", PIXELS_2X1),
        iter(PIXELS_2X1),
        # Extra bytes are accepted and ignored.
        PIXELS_2X1 + b"\x01\x02\x03\x04",
        bytearray(PIXELS_2X1 + b"\x09"),
    ],
    ids=["bytearray", "bytes", "list", "memoryview", "subclass", "array", "iterator", "long-bytes", "long-bytearray"],
)
def test_write_png_2x1_exact_bytes(m, tmp_path, pixels):
    path = tmp_path / "out.png"
    before = bytes(pixels) if isinstance(pixels, bytearray) else None
    assert m._writePng(str(path), 2, 1, pixels) is None
    data = path.read_bytes()
    assert data == PNG_SIG + IHDR_2X1 + chunk(b"IDAT", zlib.compress(b"\x00\xff\x00\x00\x00\xff\x00")) + IEND_CHUNK
    assert data[8:33] == IHDR_2X1 and data.endswith(IEND_CHUNK)
    if before is not None:
        assert pixels == before  # read in place, never changed


@pytest.mark.parametrize(
    "width, height, pixels, raw",
    [
        (0, 3, b"", b"\x00\x00\x00"),
        (0, 2, b"ignored", b"\x00\x00"),
        (5, 0, b"", b""),
        (0, 0, b"", b""),
        (1, 2, bytes(range(6)), b"\x00\x00\x01\x02\x00\x03\x04\x05"),
    ],
)
def test_write_png_sizes(m, tmp_path, width, height, pixels, raw):
    path = tmp_path / "out.png"
    m._writePng(path, width, height, pixels)  # a pathlib.Path serves here
    assert path.read_bytes() == expected_file(width, height, raw)


def test_save_writes_the_same_file(m, tmp_path):
    image = m.SimpleImage(2, 1, PIXELS_2X1)
    image.save(str(tmp_path / "a.png"))
    image.save(path=str(tmp_path / "b.png"))
    m._writePng(str(tmp_path / "c.png"), 2, 1, PIXELS_2X1)
    assert (tmp_path / "a.png").read_bytes() == (tmp_path / "b.png").read_bytes() == (tmp_path / "c.png").read_bytes()
    assert image._pixels == bytearray(PIXELS_2X1)


# ---------------------------------------------------------------------------
# Refusals: nothing is created and an existing file keeps its contents.


def _untouched_cases():
    cases = [
        # The deliberate change: a short buffer, after IHDR packing and bytearray conversion.
        ((2, 1, PIXELS_2X1[:5]), ValueError, SHORT),
        ((2, 2, PIXELS_2X1), ValueError, SHORT),
        ((2, 2, b""), ValueError, SHORT),
        ((1, 1, [1, 2]), ValueError, SHORT),
        ((3, 1, memoryview(bytes(8))), ValueError, SHORT),
        ((1, 1, bytearray(2)), ValueError, SHORT),
        # Products that would wrap around in 32 bits must not pass.
        ((65536, 65536, b""), ValueError, SHORT),
        ((2**31 - 1, 2**31 - 1, bytes(3)), ValueError, SHORT),
        ((0x55555556, 1, bytes(2)), ValueError, SHORT),
        # The IHDR is packed first: a negative size wins over a short buffer.
        ((-1, 1, b""), struct.error, None),
        ((1, -1, b""), struct.error, None),
        ((-5, -5, "not bytes"), struct.error, None),
        # The bytearray conversion comes before the length test.
        ((2, 2, "abc"), TypeError, None),
        ((1, 1, None), TypeError, None),
        ((1, 1, [1, 2, 256]), ValueError, "byte must be in range(0, 256)"),
        ((1, 1, 5), None, None),  # bytearray(5) is 5 zero bytes: accepted, written
        # Argument conversion.
        ((1.5j, 1, b""), TypeError, None),
        ((1, "1", b""), TypeError, "an integer is required"),
        ((2**31, 1, b""), OverflowError, None),
    ]
    for args, exc, message in cases:
        yield pytest.param(args, exc, message, id=f"{args[0]}x{args[1]}-{type(args[2]).__name__}")


@pytest.mark.parametrize("existing", [False, True], ids=["new", "existing"])
@pytest.mark.parametrize("args, exc, message", list(_untouched_cases()))
def test_write_png_refusals_leave_file_untouched(m, tmp_path, monkeypatch, args, exc, message, existing):
    path = tmp_path / "out.png"
    if existing:
        path.write_bytes(OLD)
    if exc is None:
        m._writePng(str(path), *args)
        assert path.read_bytes() == expected_file(1, 1, b"\x00" + bytes(3))
        return
    # Nothing is compressed or framed before a refusal.
    spy = types.SimpleNamespace(compress=lambda data: pytest.fail("compressed"), crc32=zlib.crc32)
    monkeypatch.setattr(m, "zlib", spy)
    monkeypatch.setattr(m, "_makeChunk", lambda *a: pytest.fail("chunk made"))
    with pytest.raises(exc) as info:
        m._writePng(str(path), *args)
    if message is not None:
        assert str(info.value) == message
    if existing:
        assert path.read_bytes() == OLD
    else:
        assert not path.exists()


def test_write_png_order_of_steps(m, tmp_path, monkeypatch):
    log = []

    class Pixels:
        def __iter__(self):
            log.append("bytearray")
            return iter(bytes(5))

    def pack(fmt, *values):
        log.append(("pack", fmt) + values)
        return struct.pack(fmt, *values)

    monkeypatch.setattr(m, "struct", types.SimpleNamespace(pack=pack))
    with pytest.raises(ValueError, match=f"^{SHORT}$"):
        m._writePng(str(tmp_path / "x.png"), 2, 1, Pixels())
    assert log == [("pack", ">IIBBBBB", 2, 1, 8, 2, 0, 0, 0), "bytearray"]
    assert not (tmp_path / "x.png").exists()


def test_write_png_uses_module_names(m, tmp_path, monkeypatch):
    made, compressed = [], []

    def make_chunk(ctype, data):
        made.append((ctype, data))
        return b"<" + ctype + b">"

    def compress(data):
        compressed.append(data)
        return b"Z"

    monkeypatch.setattr(m, "PNG_SIGNATURE", b"SIG")
    monkeypatch.setattr(m, "_makeChunk", make_chunk)
    monkeypatch.setattr(m, "zlib", types.SimpleNamespace(compress=compress))
    monkeypatch.setattr(m, "struct", types.SimpleNamespace(pack=lambda fmt, *v: b"HDR"))
    path = tmp_path / "x.png"
    m._writePng(str(path), 2, 2, bytes(range(12)) + b"extra")
    # Four writes, in order, of exactly what the module's names produced.
    assert path.read_bytes() == b"SIG<IHDR><IDAT><IEND>"
    assert made == [(b"IHDR", b"HDR"), (b"IDAT", b"Z"), (b"IEND", b"")]
    assert compressed == [b"\x00" + bytes(range(6)) + b"\x00" + bytes(range(6, 12))]
    assert type(compressed[0]) is bytes


@pytest.mark.parametrize("width, height", [(-1, 2), (-2, 3), (-5, 2)])
def test_write_png_rows_of_a_negative_width_are_python_slices(m, tmp_path, monkeypatch, width, height):
    # Only a rebound struct packs a negative width. Row y is the slice
    # [y * width * 3 : (y + 1) * width * 3]: a negative bound counts from the
    # end, and is clamped at 0.
    pixels, compressed = bytes(range(12)), []
    monkeypatch.setattr(m, "struct", types.SimpleNamespace(pack=lambda fmt, *v: b"HDR"))
    zlib_spy = types.SimpleNamespace(compress=lambda data: compressed.append(data) or b"Z", crc32=zlib.crc32)
    monkeypatch.setattr(m, "zlib", zlib_spy)
    m._writePng(str(tmp_path / "x.png"), width, height, pixels)
    rows = [pixels[y * width * 3 : (y + 1) * width * 3] for y in range(height)]
    assert compressed == [b"".join(b"\x00" + row for row in rows)]


@pytest.mark.parametrize("failing", [b"PNG_SIGNATURE", b"IHDR", b"IDAT", b"IEND"])
def test_write_png_failure_while_writing(m, tmp_path, monkeypatch, failing):
    real = m._makeChunk
    boom = RuntimeError("no chunk")

    def make_chunk(ctype, data):
        if ctype == failing:
            raise boom
        return real(ctype, data)

    monkeypatch.setattr(m, "_makeChunk", make_chunk)
    if failing == b"PNG_SIGNATURE":
        # Looked up in the module's namespace once the file is open.
        monkeypatch.delattr(m, "PNG_SIGNATURE")
    path = tmp_path / "x.png"
    path.write_bytes(OLD * 100)
    with pytest.raises(Exception) as info:
        m._writePng(str(path), 2, 1, PIXELS_2X1)
    if failing == b"PNG_SIGNATURE":
        assert type(info.value) is NameError and str(info.value) == "name 'PNG_SIGNATURE' is not defined"
    else:
        assert info.value is boom
    # Truncated on opening; what was written before the failure stays.
    full = PNG_SIG + IHDR_2X1 + chunk(b"IDAT", zlib.compress(b"\x00\xff\x00\x00\x00\xff\x00"))
    kept = {b"PNG_SIGNATURE": 0, b"IHDR": 8, b"IDAT": 33, b"IEND": len(full)}[failing]
    assert path.read_bytes() == full[:kept]


@pytest.mark.parametrize(
    "args, opened",
    [
        ((2, 1, PIXELS_2X1), True),
        ((2, 1, PIXELS_2X1[:4]), False),
        ((-2, 1, PIXELS_2X1), False),
        ((2, 1, "str"), False),
    ],
)
def test_write_png_closes_its_file(m, tmp_path, args, opened):
    fd = fd_path(tmp_path / "x.png")
    try:
        try:
            m._writePng(fd, *args)
        except (ValueError, TypeError, struct.error):
            assert not opened
        # open(fd, "wb") takes the descriptor over: closed with the file.
        assert is_open(fd) is not opened
    finally:
        close_if_open(fd)


def test_write_png_closes_its_file_on_write_error(m, tmp_path, monkeypatch):
    monkeypatch.setattr(m, "_makeChunk", lambda t, d: 12345)  # write(int) fails
    fd = fd_path(tmp_path / "x.png")
    try:
        with pytest.raises(TypeError):
            m._writePng(fd, 2, 1, PIXELS_2X1)
        assert not is_open(fd)
        assert (tmp_path / "x.png").read_bytes() == PNG_SIG
    finally:
        close_if_open(fd)


def test_write_png_cannot_open(m, tmp_path):
    with pytest.raises(FileNotFoundError):
        m._writePng(str(tmp_path / "missing" / "x.png"), 2, 1, PIXELS_2X1)


# ---------------------------------------------------------------------------
# SimpleImage.save


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "make_path, type_name",
    [
        (pathlib.Path, "PosixPath"),
        (lambda p: None, "NoneType"),
        (lambda p: str(p).encode(), "bytes"),
        (StrSub, "StrSub"),
    ],
)
def test_save_refuses_non_str_path(m, tmp_path, monkeypatch, make_path, type_name):
    monkeypatch.setattr(m, "_writePng", lambda *a: pytest.fail("_writePng called"))
    target = tmp_path / "x.png"
    with pytest.raises(TypeError) as info:
        m.SimpleImage(1, 1, b"abc").save(make_path(target))
    assert str(info.value).startswith(f"Argument 'path' has incorrect type (expected str, got {type_name})")
    assert not target.exists()


def test_save_calls_module_write_png(m, monkeypatch):
    image = m.SimpleImage(2, 1, PIXELS_2X1)
    calls = []

    def writer(*args):
        calls.append(args)
        return 42

    monkeypatch.setattr(m, "_writePng", writer)
    assert image.save("somewhere.png") is None
    assert calls == [("somewhere.png", 2, 1, bytearray(PIXELS_2X1))]
    assert calls[0][3] is image._pixels  # the live buffer, not a copy
    assert all(type(v) is int for v in calls[0][1:3])

    boom = KeyError("x")

    def failing(*args):
        raise boom

    monkeypatch.setattr(m, "_writePng", failing)
    with pytest.raises(KeyError) as info:
        image.save("x.png")
    assert info.value is boom


@pytest.mark.parametrize(
    "pixels, exc, message",
    [(bytearray(5), ValueError, SHORT), (bytearray(), ValueError, SHORT), (None, TypeError, None)],
)
def test_save_with_replaced_buffer(m, tmp_path, pixels, exc, message):
    image = m.SimpleImage(2, 1, PIXELS_2X1)
    image._pixels = pixels
    path = tmp_path / "x.png"
    path.write_bytes(OLD)
    with pytest.raises(exc) as info:
        image.save(str(path))
    if message:
        assert str(info.value) == message
    assert path.read_bytes() == OLD

    # A longer buffer is accepted; the extra bytes are not written.
    image._pixels = bytearray(PIXELS_2X1 + b"\xaa\xbb\xcc")
    image.save(str(path))
    assert path.read_bytes() == expected_file(2, 1, b"\x00" + PIXELS_2X1)
