"""Morvane.encode, decode and save: the same bytes and outcomes as the class's
own save, saveBmp and open, through every way in and out."""

import array
import hashlib
import io
import json
import os
import pathlib
import re
import struct
import threading
from concurrent.futures import ThreadPoolExecutor
from types import SimpleNamespace

import pytest

import Morvane
import Morvane._api as api
from Morvane import SimpleImage

CORPUS = pathlib.Path(__file__).parent / "data" / "conformance"
EXPECTED = json.loads((CORPUS / "expected.json").read_text(encoding="utf-8"))
GOOD = sorted(name for name, e in EXPECTED.items() if e["result"] == "ok")


def _saved(image, format, tmp_path):
    path = tmp_path / f"saved.{format}"
    (image.save if format == "png" else image.saveBmp)(str(path))
    return path.read_bytes()


def _open_fds():
    return sorted(os.listdir("/proc/self/fd"))


def _image(width, height, seed=0):
    data = hashlib.shake_128(f"{width}x{height}/{seed}".encode()).digest(width * height * 3) if width * height else b""
    return SimpleImage(width, height, data)


@pytest.fixture(params=["memory", "memfd", "tempfile", "pipe"])
def route(request, monkeypatch):
    """Each way encode() can take: a BMP made in memory, an anonymous memory
    file, the temporary file of hosts without one, and the pipe of large
    images (here for all). Only the first makes BMPs in memory."""
    if request.param != "memory":
        monkeypatch.setattr(api, "_bmp_in_memory", lambda *fields: False)
    if request.param == "tempfile":
        monkeypatch.delattr(os, "memfd_create")
    if request.param == "pipe":
        monkeypatch.setattr(api, "_PIPE_FROM", 1)
        monkeypatch.setattr(api, "_READ_SIZE", 7)  # many short reads
    return request.param


# ---------------------------------------------------------------------------
# encode


@pytest.mark.parametrize("format", ["png", "bmp"])
def test_encode_matches_the_writers_on_the_corpus(format, tmp_path):
    for name in GOOD:
        image = SimpleImage.open(CORPUS / name)
        assert Morvane.encode(image, format) == _saved(image, format, tmp_path), name


SIZES = [(1, 1), (2, 3), (3, 2), (5, 7), (4, 4), (0, 0), (5, 0), (0, 5), (333, 17)]


@pytest.mark.parametrize("format", ["png", "bmp", "PNG", "Bmp"])
def test_encode_matches_the_writers_on_every_route(route, format, tmp_path):
    # Odd widths give BMP rows their pad bytes; empty images have no rows.
    before = _open_fds()
    for width, height in SIZES:
        image = _image(width, height)
        assert Morvane.encode(image, format) == _saved(image, format.lower(), tmp_path), (width, height)
    assert _open_fds() == before


def test_encode_takes_the_pipe_for_large_images(monkeypatch, tmp_path):
    # At the real threshold, with the host's own pipe size where it may be set.
    image = _image(1024, 1024)
    used = []
    original = api._encode_through_pipe
    monkeypatch.setattr(api, "_encode_through_pipe", lambda *a: used.append(a[1:3]) or original(*a))
    monkeypatch.setattr(api, "_bmp_in_memory", lambda *fields: False)
    assert Morvane.encode(image, "bmp") == _saved(image, "bmp", tmp_path)
    assert used == [(1024, 1024)]
    # When no thread can be started, the same bytes through a file.
    monkeypatch.setattr(threading.Thread, "start", lambda self: (_ for _ in ()).throw(RuntimeError("no threads")))
    before = _open_fds()
    assert Morvane.encode(image, "png") == _saved(image, "png", tmp_path)
    assert _open_fds() == before


def _longer(image, m):
    image._pixels += b"past the last row"


def _own_struct(image, m):
    # The headers through a struct module of the caller's: its pack is called.
    m.struct = SimpleNamespace(pack=lambda *a: struct.pack(*a), unpack=struct.unpack)


def _patched_pack(image, m):
    struct.pack = lambda *a, pack=struct.pack: pack(*a)


@pytest.mark.parametrize(
    "change, size, in_memory",
    [
        (None, (5, 3), True),
        (_longer, (5, 3), True),
        (_own_struct, (5, 3), False),
        (_patched_pack, (5, 3), False),
    ],
)
def test_encode_makes_a_bmp_in_memory_only_where_the_writer_would_write_it_whole(
    change, size, in_memory, monkeypatch, m, tmp_path
):
    image = _image(*size)
    monkeypatch.setattr(m, "struct", m.struct)
    monkeypatch.setattr(struct, "pack", struct.pack)
    if change:
        change(image, m)
    calls, real = [], api._tobytes.bmp
    monkeypatch.setattr(api, "_tobytes", SimpleNamespace(bmp=lambda *a: calls.append(a) or real(*a)))
    assert Morvane.encode(image, "bmp") == _saved(image, "bmp", tmp_path)
    assert len(calls) == in_memory


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((1, 1), TypeError, "bmp() takes 3 positional arguments (2 given)"),
        ((1.0, 1, b"abc"), TypeError, "width must be an int, not float"),
        ((1, 0, b"abc"), ValueError, "height must be from 1 to 2147483647"),
        ((2**31, 1, b"abc"), ValueError, "width must be from 1 to 2147483647"),
        ((2**70, 1, b"abc"), OverflowError, None),
        ((2**31 - 1, 2**31 - 1, b""), ValueError, "image too large for a BMP file"),
        ((2**16, 2**15, b""), ValueError, "image too large for a BMP file"),
        ((1, 1, "abc"), TypeError, None),
        ((2, 1, bytearray(5)), ValueError, "pixels holds fewer bytes than the image"),
    ],
)
def test_in_memory_bmp_refuses_what_encode_never_gives_it(args, error, message):
    with pytest.raises(error) as raised:
        api._tobytes.bmp(*args)
    assert message is None or str(raised.value) == message


def _short(image):
    image._pixels = image._pixels[:-1]
    return image


def _none(image):
    image._pixels = None
    return image


def _negative(image):
    image.width = -image.width
    return image


@pytest.mark.parametrize(
    "spoil, format, error",
    [
        (_short, "png", ValueError),
        (_short, "bmp", IndexError),  # after the headers were written
        (_none, "png", TypeError),
        (_none, "bmp", TypeError),
        (_negative, "png", struct.error),
        (_negative, "bmp", struct.error),
    ],
)
def test_encode_passes_the_writers_errors_through_and_closes_everything(route, spoil, format, error, tmp_path):
    image = spoil(_image(5, 3))
    with pytest.raises(error) as saved:
        _saved(image, format, tmp_path)
    before = _open_fds()
    with pytest.raises(error) as encoded:
        Morvane.encode(image, format)
    assert str(encoded.value) == str(saved.value)
    assert _open_fds() == before


@pytest.mark.parametrize("written", [b"made by the replacement", bytes(range(256)) * 300])
def test_encode_calls_the_module_writers_of_the_moment(route, monkeypatch, m, written):
    # Less or more than a BMP of that size would be: whatever was written.
    calls = []

    def fake(path, width, height, pixels):
        calls.append((width, height, bytes(pixels)))
        with open(path, "wb") as f:
            f.write(written)

    monkeypatch.setattr(m, "_writeBmp", fake)
    assert Morvane.encode(_image(1, 1), "bmp") == written
    assert calls == [(1, 1, _image(1, 1)._pixels)]


def test_encode_pipe_survives_a_failing_reader(monkeypatch):
    # The reader's failure (a refused allocation, say) must neither leave the
    # writer waiting on a full pipe nor be lost.
    class Refusing(io.BytesIO):
        def write(self, data):
            if self.tell() > 1000:
                raise MemoryError("refused")
            return super().write(data)

    monkeypatch.setattr(api, "io", SimpleNamespace(BytesIO=Refusing))
    before = _open_fds()
    with pytest.raises(MemoryError, match="refused"):
        Morvane.encode(_image(700, 700), "png")  # 1.4 MiB that will not compress: more than the pipe holds
    assert _open_fds() == before


def test_encode_from_threads_at_once(route, tmp_path):
    images = [_image(40 + i, 30, seed=i) for i in range(8)]
    expected = [_saved(image, "bmp", tmp_path) for image in images]
    with ThreadPoolExecutor(4) as pool:
        assert list(pool.map(lambda image: Morvane.encode(image, "bmp"), images * 4)) == expected * 4


@pytest.mark.parametrize(
    "image, format, error, message",
    [
        (SimpleImage(1, 1, b"abc"), "jpeg", ValueError, "unknown image format 'jpeg': use 'png' or 'bmp'"),
        (SimpleImage(1, 1, b"abc"), ".png", ValueError, "unknown image format '.png': use 'png' or 'bmp'"),
        (SimpleImage(1, 1, b"abc"), b"png", TypeError, "format must be a str ('png' or 'bmp'), not bytes"),
        (b"abc", "png", TypeError, "encode() needs a SimpleImage, not bytes"),
    ],
)
def test_encode_refusals(image, format, error, message):
    with pytest.raises(error) as raised:
        Morvane.encode(image, format)
    assert str(raised.value) == message


# ---------------------------------------------------------------------------
# decode


class _PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def _text_file(path):
    return open(path, encoding="latin-1")


DECODE_KINDS = {
    "str": str,
    "Path": lambda path: path,
    "PathLike": lambda path: _PathLike(str(path)),
    "bytes PathLike": lambda path: _PathLike(os.fsencode(path)),
    "bytes": lambda path: path.read_bytes(),
    "memoryview": lambda path: memoryview(path.read_bytes()),
    "array": lambda path: array.array("B", path.read_bytes()),
    "BytesIO": lambda path: io.BytesIO(path.read_bytes()),
    "file": lambda path: open(path, "rb"),
    "unbuffered file": lambda path: open(path, "rb", buffering=0),
}


def _outcome(call, *args):
    try:
        image = call(*args)
    except Exception as exc:
        return type(exc), str(exc)
    assert type(image) is SimpleImage
    return image.size, bytes(image._pixels)


@pytest.mark.parametrize("kind", sorted(DECODE_KINDS))
def test_decode_gives_what_open_gives_on_the_corpus(kind):
    for name in sorted(EXPECTED):
        path = CORPUS / name
        source = DECODE_KINDS[kind](path)
        assert _outcome(Morvane.decode, source) == _outcome(SimpleImage.open, path.read_bytes()), name
        if hasattr(source, "read"):
            assert not source.closed  # the caller's to close
            source.close()


def test_decode_reads_a_file_object_from_where_it_stands():
    data = Morvane.encode(_image(3, 2), "bmp")
    stream = io.BytesIO(b"leading junk" + data)
    stream.seek(len(b"leading junk"))
    assert Morvane.decode(stream)._pixels == _image(3, 2)._pixels


@pytest.mark.parametrize("kind", ["str", "Path", "PathLike", "bytes PathLike"])
@pytest.mark.parametrize("name", ["missing.png", ""])
def test_decode_of_a_path_fails_as_open_of_that_path(kind, name, tmp_path):
    # A missing file, and a folder: the host's own errors for the same path.
    path = tmp_path / name
    assert _outcome(Morvane.decode, DECODE_KINDS[kind](path)) == _outcome(SimpleImage.open, str(path))


class _ReadsText:
    def read(self):
        return "not bytes"


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda tmp: _text_file(tmp / "a.bmp"), "decode() needs a binary file object, not a text-mode one"),
        (lambda tmp: io.StringIO("BM"), "decode() needs a binary file object, not a text-mode one"),
        (lambda tmp: _ReadsText(), "decode() needs a binary file object: its read() gave str, not bytes"),
        (lambda tmp: None, "decode() needs a path, a bytes-like object or a binary file object, not NoneType"),
        (lambda tmp: 3, "decode() needs a path, a bytes-like object or a binary file object, not int"),
    ],
)
def test_decode_refusals(make, message, tmp_path):
    (tmp_path / "a.bmp").write_bytes(Morvane.encode(_image(1, 1), "bmp"))
    source = make(tmp_path)
    with pytest.raises(TypeError, match=re.escape(message)):
        Morvane.decode(source)
    if hasattr(source, "close"):
        source.close()


# ---------------------------------------------------------------------------
# save


@pytest.mark.parametrize(
    "name, format, written",
    [
        ("a.png", None, "png"),
        ("a.PNG", None, "png"),
        ("a.bmp", None, "bmp"),
        ("a.Bmp", None, "bmp"),
        ("a.bmp", "png", "png"),
        ("a.png", "BMP", "bmp"),
        ("no-extension", "bmp", "bmp"),
        ("a.jpg", "png", "png"),
    ],
)
@pytest.mark.parametrize("kind", ["str", "bytes", "Path", "PathLike", "file", "unbuffered file", "BytesIO"])
def test_save_writes_the_format_of_the_name_or_the_one_given(name, format, written, kind, tmp_path):
    image = _image(5, 3)
    path = tmp_path / name
    if kind == "BytesIO":
        target = io.BytesIO()
        if format is None:
            target.name = name
    else:
        target = {
            "str": str,
            "bytes": os.fsencode,
            "Path": lambda p: p,
            "PathLike": lambda p: _PathLike(str(p)),
            "file": lambda p: open(p, "wb"),
            "unbuffered file": lambda p: open(p, "wb", buffering=0),
        }[kind](path)
    Morvane.save(image, target, format)
    if hasattr(target, "write"):
        assert not target.closed
        data = target.getvalue() if kind == "BytesIO" else None
        target.close()
    if kind != "BytesIO":
        data = path.read_bytes()
    assert data == _saved(image, written, tmp_path)


def test_save_replaces_an_existing_file_by_the_writer_itself(tmp_path, m, monkeypatch):
    path = tmp_path / "a.bmp"
    path.write_bytes(b"x" * 10_000)
    calls = []
    monkeypatch.setattr(m, "_writeBmp", lambda *args: calls.append(args) or m.__dict__["_writePng"](*args))
    image = _image(2, 2)
    Morvane.save(image, path)
    assert calls == [(str(path), 2, 2, image._pixels)]
    assert path.read_bytes() == Morvane.encode(image, "png")


class _Unnamed:
    def __init__(self):
        self.data = b""

    def write(self, data):
        self.data += data


@pytest.mark.parametrize(
    "make, format, error, message",
    [
        (lambda tmp: str(tmp / "a.jpg"), None, ValueError, "cannot tell the image format from the name"),
        (lambda tmp: str(tmp / "png"), None, ValueError, "cannot tell the image format from the name"),
        (lambda tmp: io.BytesIO(), None, ValueError, "cannot tell the format of a file object without a name"),
        (lambda tmp: _Unnamed(), None, ValueError, "cannot tell the format of a file object without a name"),
        (lambda tmp: open(os.open(tmp / "a.png", os.O_CREAT | os.O_WRONLY), "wb"), None, ValueError, "without a name"),
        (lambda tmp: open(tmp / "a.png", "w"), None, TypeError, "not a text-mode one: open the file with 'wb'"),
        (lambda tmp: str(tmp / "a.png"), "gif", ValueError, "unknown image format 'gif'"),
        (lambda tmp: 3, "png", TypeError, "save() needs a path or a binary file object, not int"),
    ],
)
def test_save_refusals_touch_nothing(make, format, error, message, tmp_path):
    target = make(tmp_path)
    with pytest.raises(error) as raised:
        Morvane.save(_image(1, 1), target, format)
    assert message in str(raised.value)
    if hasattr(target, "close"):
        target.close()
    assert all(p.stat().st_size == 0 for p in tmp_path.iterdir())
    assert getattr(target, "data", b"") == b""


def test_save_to_a_file_object_writes_nothing_when_encoding_fails():
    target = io.BytesIO()
    with pytest.raises(IndexError):
        Morvane.save(_short(_image(3, 3)), target, "bmp")
    assert target.getvalue() == b""
