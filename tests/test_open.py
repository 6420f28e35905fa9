"""Opening images: `SimpleImage.open` and `SimpleImage._streamToImage`."""

import io
import pathlib
import zlib

import pytest

from testkit.spy import IEND_CHUNK, PNG_SIG, SpyStream, bmp, chunk, ihdr, png, simple_png

PIXELS = bytes(range(10, 16))
PNG_DATA = simple_png(2, 1, b"\x00" + PIXELS)
BMP_DATA = bmp(2, 1, PIXELS)
UNSUPPORTED = "Unsupported image format"


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class ByteArraySub(bytearray):
    pass


SOURCES = {
    "str": str,
    "Path": pathlib.Path,
    "str-subclass": lambda p: StrSub(str(p)),
    "bytes": lambda p: p.read_bytes(),
    "bytearray": lambda p: bytearray(p.read_bytes()),
    "bytes-subclass": lambda p: BytesSub(p.read_bytes()),
    "bytearray-subclass": lambda p: ByteArraySub(p.read_bytes()),
}


@pytest.fixture(params=["png", "bmp"])
def image_file(request, tmp_path):
    # The name says .png for both: only the content decides.
    path = tmp_path / "picture.png"
    path.write_bytes(PNG_DATA if request.param == "png" else BMP_DATA)
    return path


@pytest.mark.parametrize("kind", list(SOURCES))
def test_open_sources(m, image_file, kind):
    image = m.SimpleImage.open(SOURCES[kind](image_file))
    assert type(image) is m.SimpleImage
    assert (image.width, image.height, image._pixels) == (2, 1, bytearray(PIXELS))
    assert m.SimpleImage.open(source=SOURCES[kind](image_file))._pixels == image._pixels


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return str(self.path)


@pytest.mark.parametrize(
    "make",
    [
        lambda p: None,
        lambda p: 5,
        lambda p: memoryview(p.read_bytes()),
        lambda p: pathlib.PurePosixPath(p),
        PathLike,
        lambda p: list(p.read_bytes()),
        lambda p: io.BytesIO(p.read_bytes()),
    ],
    ids=["None", "int", "memoryview", "PurePath", "PathLike", "list", "BytesIO"],
)
def test_open_refuses_other_sources(m, image_file, make):
    with pytest.raises(TypeError) as info:
        m.SimpleImage.open(make(image_file))
    assert str(info.value) == "source must be a file path or raw bytes"


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", UNSUPPORTED),
        (b"B", UNSUPPORTED),
        (b"\x89", UNSUPPORTED),
        (PNG_SIG[:7], UNSUPPORTED),
        (b"GIF89a" + bytes(20), UNSUPPORTED),
        (b"picture.png", UNSUPPORTED),  # bytes are data, never a file name
        (b"bm" + BMP_DATA[2:], UNSUPPORTED),
        # "BM" goes to the BMP decoder, the full signature to the PNG decoder.
        (b"BM", "Unsupported BMP header"),
        (PNG_SIG, "Incomplete PNG header information"),
        (PNG_SIG + b"\x00", "Unexpected EOF while reading chunk length"),
    ],
)
def test_open_format_detection(m, tmp_path, data, message):
    for source in (data, bytearray(data)):
        with pytest.raises(ValueError) as info:
            m.SimpleImage.open(source)
        assert str(info.value) == message
    path = tmp_path / "data.bmp"
    path.write_bytes(data)
    with pytest.raises(ValueError) as info:
        m.SimpleImage.open(str(path))
    assert str(info.value) == message


def test_open_missing_file(m, tmp_path):
    for source in (str(tmp_path / "nope.png"), tmp_path / "nope.png"):
        with pytest.raises(FileNotFoundError):
            m.SimpleImage.open(source)


# ---------------------------------------------------------------------------
# Subclasses and overrides


def subclass(m, result=None, new=None):
    """A subclass recording the streams its `_streamToImage` gets, returning
    `result(stream)` (default: the inherited decoder's result), and building
    instances through `new` when given."""
    seen = []

    class Sub(m.SimpleImage):
        @staticmethod
        def _streamToImage(stream):
            seen.append(stream)
            return (result or m.SimpleImage._streamToImage)(stream)

        if new is not None:

            def __new__(cls, *args, **kwargs):
                return new(cls, seen, *args, **kwargs)

    return Sub, seen


@pytest.mark.parametrize("kind", ["str", "Path", "bytes", "bytearray"])
def test_subclass_open_uses_override_and_returns_subclass(m, image_file, kind):
    built = []

    def new(cls, seen, *args, **kwargs):
        # The file is closed before the image is constructed.
        built.append((args, kwargs, seen[-1].closed))
        return m.SimpleImage.__new__(cls, *args, **kwargs)

    Sub, seen = subclass(m, new=new)
    image = Sub.open(SOURCES[kind](image_file))
    assert type(image) is Sub and image._pixels == bytearray(PIXELS)
    [stream] = seen
    [(args, kwargs, closed_at_construction)] = built
    # cls is called with three positional values.
    assert args == (2, 1, bytearray(PIXELS)) and kwargs == {}
    assert type(args[2]) is bytearray
    if kind in ("str", "Path"):
        assert type(stream) is io.BufferedReader and stream.mode == "rb"
        assert closed_at_construction and stream.closed
    else:
        assert type(stream) is io.BytesIO and stream.getvalue() == SOURCES[kind](image_file)
        assert not stream.closed  # released, not closed
    # Reached through an instance, open is still bound to its class.
    assert type(image.open(PNG_DATA)) is Sub


@pytest.mark.parametrize(
    "result, exc, message",
    [
        ((2, 1), ValueError, "need more than 2 values to unpack"),
        ([2], ValueError, "need more than 1 value to unpack"),
        ((), ValueError, "need more than 0 values to unpack"),
        ((2, 1, PIXELS, None), ValueError, "too many values to unpack (expected 3)"),
        (lambda: iter([2, 1, PIXELS, 4]), ValueError, "too many values to unpack (expected 3)"),
        (lambda: iter([2]), ValueError, "need more than 1 value to unpack"),
        (5, TypeError, None),
        # The constructor's own checks.
        ((2, 2, PIXELS), ValueError, "Pixel data length does not match image dimensions"),
        ((2, "1", PIXELS), TypeError, "an integer is required"),
    ],
)
@pytest.mark.parametrize("kind", ["str", "bytes"])
def test_override_result_must_unpack(m, image_file, kind, result, exc, message):
    Sub, seen = subclass(m, result=lambda stream: result() if callable(result) else result)
    with pytest.raises(exc) as info:
        Sub.open(SOURCES[kind](image_file))
    if message is not None:
        assert str(info.value) == message
    if kind == "str":
        assert seen[0].closed


@pytest.mark.parametrize(
    "result", [lambda: [2, 1, PIXELS], lambda: iter((2, 1, bytearray(PIXELS))), lambda: (2, 1, list(PIXELS))]
)
def test_override_any_three_item_iterable(m, result):
    Sub, _ = subclass(m, result=lambda stream: result())
    image = Sub.open(b"ignored by the override")
    assert type(image) is Sub and image._pixels == bytearray(PIXELS)


class Meta(type):
    def __call__(cls, *args):
        return cls.made


@pytest.mark.parametrize(
    "made, message",
    [
        (42, "Cannot convert int to Morvane.simpleImage_ext.SimpleImage"),
        ("x", "Cannot convert str to Morvane.simpleImage_ext.SimpleImage"),
        ((2, 1, PIXELS), "Cannot convert tuple to Morvane.simpleImage_ext.SimpleImage"),
    ],
)
def test_open_result_must_be_an_image(m, image_file, made, message):
    # Whatever calling the class gives back must be a SimpleImage (or None).
    Sub, seen = subclass(m, result=lambda stream: (1, 1, b"abc"), new=lambda cls, seen, *a: made)
    for source in (str(image_file), PNG_DATA):
        with pytest.raises(TypeError) as info:
            Sub.open(source)
        assert str(info.value) == message

    MetaSub = Meta("MetaSub", (m.SimpleImage,), {"made": made})
    with pytest.raises(TypeError) as info:
        MetaSub.open(BMP_DATA)
    assert str(info.value) == message


def test_open_result_none_or_plain_image_passes(m):
    Sub, _ = subclass(m, new=lambda cls, seen, *a: None)
    assert Sub.open(PNG_DATA) is None
    plain = m.SimpleImage(1, 1, b"abc")
    Sub, _ = subclass(m, new=lambda cls, seen, *a: plain)
    assert Sub.open(BMP_DATA) is plain


def test_open_closes_file_after_decoder_error(m, tmp_path):
    path = tmp_path / "bad.bmp"
    path.write_bytes(BMP_DATA[:-1])
    Sub, seen = subclass(m)
    with pytest.raises(ValueError, match="^Incomplete BMP pixel data$"):
        Sub.open(str(path))
    assert seen[0].closed


# ---------------------------------------------------------------------------
# _streamToImage


@pytest.mark.parametrize("data, first", [(PNG_DATA, ("read", 8)), (BMP_DATA, ("read", 14))])
def test_stream_to_image_returns_decoder_tuple(m, data, first):
    stream = SpyStream(data)
    result = m.SimpleImage._streamToImage(stream=stream)
    assert type(result) is tuple and result == (2, 1, bytearray(PIXELS))
    assert stream.calls[:3] == [("read", 8), ("seek", 0), first]


# A BMP whose only row holds the PNG signature, and a PNG whose text chunk
# holds "BM" and the signature: detection looks at offset k, the decoder at 0.
BMP_HOLDING_SIG = BMP_DATA[:54] + PNG_SIG
TEXT = b"k\x00BM" + PNG_SIG
PNG_HOLDING_TEXT = png(
    chunk(b"IHDR", ihdr(2, 1)), chunk(b"tEXt", TEXT), chunk(b"IDAT", zlib.compress(b"\x00" + PIXELS)), IEND_CHUNK
)
AT_BM = PNG_HOLDING_TEXT.index(b"BM")
AT_SIG = PNG_HOLDING_TEXT.index(PNG_SIG, 1)


@pytest.mark.parametrize(
    "data, k, message, calls",
    [
        (BMP_DATA, 1, UNSUPPORTED, []),
        (BMP_DATA, len(BMP_DATA), UNSUPPORTED, []),
        (BMP_HOLDING_SIG, 54, "Unsupported PNG signature", [("read", 8)]),
        (PNG_HOLDING_TEXT, AT_BM, "Unsupported BMP header", [("read", 14)]),
        (PNG_HOLDING_TEXT, AT_SIG, None, None),
    ],
    ids=["bmp-at-1", "bmp-at-end", "bmp-at-signature", "png-at-BM", "png-at-signature"],
)
def test_stream_to_image_at_offset(m, data, k, message, calls):
    stream = SpyStream(data, pos=k)
    if message is None:
        assert m.SimpleImage._streamToImage(stream) == (2, 1, bytearray(PIXELS))
        assert stream.calls[:3] == [("read", 8), ("seek", 0), ("read", 8)]
        return
    with pytest.raises(ValueError) as info:
        m.SimpleImage._streamToImage(stream)
    assert str(info.value) == message
    # The signature comes from offset k, the rewind goes to 0, not to k.
    assert stream.calls == [("read", 8), ("seek", 0)] + calls


def test_stream_to_image_rewinds_before_testing(m):
    boom = OSError("cannot seek")

    class NoSeek(SpyStream):
        def seek(self, k):
            super().seek(k)
            raise boom

    # Even data of no known format is rewound first.
    for data in (b"", b"xyz", PNG_DATA):
        with pytest.raises(OSError) as info:
            m.SimpleImage._streamToImage(NoSeek(data))
        assert info.value is boom


# ---------------------------------------------------------------------------
# Names looked up in the module namespace at each call


def test_open_uses_module_bytesio(m, monkeypatch):
    made = []

    def fake(source):
        made.append(source)
        return io.BytesIO(BMP_DATA)  # whatever the source, decode this

    monkeypatch.setattr(m, "BytesIO", fake)
    for source in (PNG_DATA, bytearray(b"anything")):
        image = m.SimpleImage.open(source)
        assert made[-1] is source  # passed unchanged, not copied
        assert image._pixels == bytearray(PIXELS)


def test_open_uses_module_path(m, monkeypatch, image_file):
    monkeypatch.setattr(m, "Path", pathlib.PurePath)
    assert m.SimpleImage.open(pathlib.PurePosixPath(image_file))._pixels == bytearray(PIXELS)

    monkeypatch.setattr(m, "Path", type("NotAPath", (), {}))
    with pytest.raises(TypeError, match="^source must be a file path or raw bytes$"):
        m.SimpleImage.open(image_file)
    assert m.SimpleImage.open(str(image_file))._pixels == bytearray(PIXELS)


@pytest.mark.parametrize(
    "signature, data, message",
    [
        (b"BM", BMP_DATA, "Unsupported PNG signature"),  # BMP data goes to the PNG decoder
        (b"\x89PNX", PNG_DATA, UNSUPPORTED),
        ((b"GIF8", PNG_SIG), PNG_DATA, "Unsupported PNG signature"),  # startswith takes a tuple
    ],
)
def test_open_uses_module_png_signature(m, monkeypatch, signature, data, message):
    monkeypatch.setattr(m, "PNG_SIGNATURE", signature)
    with pytest.raises(ValueError) as info:
        m.SimpleImage.open(data)
    assert str(info.value) == message
