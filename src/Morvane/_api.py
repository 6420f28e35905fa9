"""The everyday functions of the package, over the compiled class.

Images go out as bytes (``encode``), into paths and file objects (``save``)
and come in from paths, bytes-like objects and file objects (``decode``).
Every byte is written by the module's own writers, the ones ``save`` and
``saveBmp`` call (a BMP that the writer would write whole is laid out in
memory as it lays it out), and every image is read by ``SimpleImage.open``,
so the results are exactly theirs. numpy arrays and Pillow images go both ways
(``to_numpy``, ``from_numpy``, ``to_pillow``, ``from_pillow``); numpy and
Pillow are imported by those functions only, when they are called.
"""

from __future__ import annotations

import _struct
import errno
import io
import os
import struct
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Protocol, TypeAlias

from Morvane import _tobytes, simpleImage_ext
from Morvane.simpleImage_ext import SimpleImage

if TYPE_CHECKING:
    import numpy
    import numpy.typing
    import PIL.Image
    from typing_extensions import Buffer

__all__ = ["decode", "encode", "from_numpy", "from_pillow", "save", "to_numpy", "to_pillow"]


class _BinaryReader(Protocol):
    def read(self) -> bytes: ...


class _BinaryWriter(Protocol):
    def write(self, data: bytes, /) -> object: ...


# What decode() reads from, and where save() writes to.
_Source: TypeAlias = "str | os.PathLike[str] | os.PathLike[bytes] | Buffer | _BinaryReader"
_Target: TypeAlias = "str | bytes | os.PathLike[str] | os.PathLike[bytes] | _BinaryWriter"

_FORMATS = ("png", "bmp")
_EXTENSIONS = {".png": "png", ".bmp": "bmp"}

# The image's own fields, read the way save() and saveBmp() read them (a
# subclass that shadows one of these names does not change what is written).
_WIDTH = SimpleImage.__dict__["width"]
_HEIGHT = SimpleImage.__dict__["height"]
_PIXELS = SimpleImage.__dict__["_pixels"]

# The module's BMP writer as it was when this module was imported: while it
# and the struct module the writer packs the headers with are still the ones
# in use, encode() makes a BMP's bytes in memory (Morvane._tobytes), the
# bytes the writer would write.
_WRITE_BMP = simpleImage_ext._writeBmp
# The largest BMP file: its size is a 32-bit field.
_BMP_MAX_FILE = 0xFFFFFFFF
_INT32_MAX = 0x7FFFFFFF

# Images of at least this many pixel bytes are encoded through a pipe that
# another thread drains (one pass over cold memory instead of two: see
# _encode_through_pipe); smaller ones through an in-memory file, which needs
# no thread.
_PIPE_FROM = 1 << 20
# The pipe's capacity (where the host lets us set it) and the reader's pieces.
_PIPE_SIZE = 1 << 20
_READ_SIZE = 1 << 18

# A descriptor we own, named as a path that the built-in open() opens anew.
_FD_DIR = "/proc/self/fd" if os.path.isdir("/proc/self/fd") else "/dev/fd"


def _fd_path(fd: int) -> str:
    return f"{_FD_DIR}/{fd}"


def _check_image(image: object, caller: str) -> SimpleImage:
    if not isinstance(image, SimpleImage):
        raise TypeError(f"{caller}() needs a SimpleImage, not {type(image).__name__}")
    return image


def _check_format(format: object) -> str:
    if not isinstance(format, str):
        raise TypeError(f"format must be a str ('png' or 'bmp'), not {type(format).__name__}")
    name = format.lower()
    if name not in _FORMATS:
        raise ValueError(f"unknown image format {format!r}: use 'png' or 'bmp'")
    return name


def _writer(format: str) -> Callable[[Any, int, int, Any], None]:
    # Looked up at each call, as save() and saveBmp() look them up.
    writer: Callable[[Any, int, int, Any], None] = getattr(
        simpleImage_ext, "_writePng" if format == "png" else "_writeBmp"
    )
    return writer


def _fields(image: SimpleImage) -> tuple[int, int, Any]:
    return _WIDTH.__get__(image), _HEIGHT.__get__(image), _PIXELS.__get__(image)


def encode(image: SimpleImage, format: str) -> bytes:
    """Return the bytes of ``image`` as a PNG or BMP file.

    ``format`` is ``"png"`` or ``"bmp"``, in any case. The bytes are exactly
    what ``image.save(path)`` (PNG) or ``image.saveBmp(path)`` (BMP) would
    write to a file, and what they would raise is raised (for instance the
    ValueError of a pixel buffer that does not fit the size).

    A BMP that the writer would write whole is made straight in memory, as
    the writer lays it out. Otherwise, and for PNG, the module's own writer
    does the work: it writes to a pipe for images of 1 MiB of pixels or
    more, otherwise to an anonymous in-memory file (Linux), so no file is
    made on any file system. Where the host has no anonymous files, an
    unnamed temporary file stands in for it: it is made in the temporary
    folder already unlinked, and gone when closed. Each call uses
    descriptors of its own, so threads may encode at the same time, and
    every descriptor is closed on every way out.

    >>> from Morvane import SimpleImage, encode
    >>> encode(SimpleImage(1, 1, b"\\x11\\x22\\x33"), "bmp")[54:]
    b'3"\\x11\\x00'
    """
    image = _check_image(image, "encode")
    name = _check_format(format)
    writer = _writer(name)
    width, height, pixels = _fields(image)
    if writer is _WRITE_BMP and _bmp_in_memory(width, height, pixels):
        return _tobytes.bmp(width, height, pixels)
    if width > 0 and height > 0 and width * height * 3 >= _PIPE_FROM:
        # A BMP's size follows from the image's: 54 bytes of headers, then
        # rows padded to 4 bytes.
        expected = _bmp_file_size(width, height) if name == "bmp" else 0
        data = _encode_through_pipe(writer, width, height, pixels, expected)
        if data is not None:
            return data
    return _encode_through_file(writer, width, height, pixels)


def _bmp_file_size(width: int, height: int) -> int:
    return 54 + (width * 3 + 3) // 4 * 4 * height


def _bmp_in_memory(width: object, height: object, pixels: object) -> bool:
    """Whether the BMP writer would write this image whole, with nothing
    Python code could see but the bytes: then they are made in memory.

    That is the module's own struct module still in place (the caller has
    checked the writer), and an image that no step of the writer refuses: sides that are plain ints in
    32 bits, a file size that fits its 32-bit field, and a bytearray holding
    every pixel. Anything else goes through the writer, with its outcome.
    """
    packer = vars(simpleImage_ext).get("struct")
    return (
        type(packer) is type(struct)
        and vars(packer).get("pack") is _struct.pack
        and type(width) is int
        and type(height) is int
        and type(pixels) is bytearray
        and 0 < width <= _INT32_MAX
        and 0 < height <= _INT32_MAX
        and _bmp_file_size(width, height) <= _BMP_MAX_FILE
        and len(pixels) >= width * height * 3
    )


def _encode_through_file(writer: Callable[[Any, int, int, Any], None], width: int, height: int, pixels: Any) -> bytes:
    """The writer writes an in-memory file that we own and read back."""
    temporary = None
    try:
        fd = os.memfd_create("morvane-encode", os.MFD_CLOEXEC)
    except (AttributeError, OSError):
        # No anonymous memory files here: an unnamed temporary file instead
        # (on POSIX it is unlinked as soon as it is made).
        import tempfile

        temporary = tempfile.TemporaryFile()
        fd = temporary.fileno()
    try:
        # The writer opens the descriptor's path anew and closes its own
        # file; ours stays open until we have read the bytes back.
        writer(_fd_path(fd), width, height, pixels)
        size = os.fstat(fd).st_size
        data = os.pread(fd, size, 0)
        if len(data) < size:  # the host reads at most 2 GiB at a time
            pieces = [data]
            offset = len(data)
            while offset < size and (piece := os.pread(fd, size - offset, offset)):
                pieces.append(piece)
                offset += len(piece)
            data = b"".join(pieces)
        return data
    finally:
        if temporary is None:
            os.close(fd)
        else:
            temporary.close()


def _encode_through_pipe(
    writer: Callable[[Any, int, int, Any], None], width: int, height: int, pixels: Any, expected: int
) -> bytes | None:
    """The writer writes a pipe that a thread of ours drains into the result.

    Through an in-memory file, a large image's bytes land twice in freshly
    mapped memory (the file, then the bytes read back), and faulting in new
    pages is what costs most. Through a pipe, the writer's pieces pass
    through the pipe's few pages, which stay in the caches, and only the
    result is new memory. When the size of the output is known beforehand
    (``expected``, a BMP's), the result is made at that size first and the
    reader reads straight into it, without the interpreter lock, while the
    writer works; anything past it, or an output of unknown size, is
    appended piece by piece. Returns None when no thread can be started (at
    interpreter shutdown), for the caller to go through a file instead.
    """
    import threading

    out = io.BytesIO()
    if expected > 0:
        out.seek(expected - 1)
        out.write(b"\0")
    read_end, write_end = os.pipe()
    try:
        import fcntl

        fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, _PIPE_SIZE)
    except (ImportError, AttributeError, OSError):
        pass  # the host's default capacity: slower, the same bytes
    failures: list[BaseException] = []
    total = 0

    def drain() -> None:
        nonlocal total
        try:
            if expected > 0:
                with out.getbuffer() as whole:
                    while total < expected and (count := os.readv(read_end, [whole[total : total + _READ_SIZE]])):
                        total += count
            # Anything more is appended: the stream stands at the end of
            # what was made beforehand.
            piece = bytearray(_READ_SIZE)
            view = memoryview(piece)
            # After a failure of our own the pipe is still read to its end,
            # so that the writer never waits on a full pipe.
            while count := os.readv(read_end, [piece]):
                if not failures:
                    try:
                        out.write(view[:count])
                        total += count
                    except BaseException as exc:  # MemoryError, mostly
                        failures.append(exc)
        except BaseException as exc:
            failures.append(exc)
        finally:
            # Closed here, by the reader, whatever happens to the caller.
            os.close(read_end)

    reader = threading.Thread(target=drain, name="Morvane.encode", daemon=True)
    try:
        reader.start()
    except RuntimeError:
        os.close(read_end)
        os.close(write_end)
        return None
    try:
        writer(_fd_path(write_end), width, height, pixels)
    finally:
        # The writer has closed its own end: with ours closed the reader
        # sees the end of the data.
        os.close(write_end)
        reader.join()
    if failures:
        raise failures[0]
    out.truncate(total)  # an output shorter than expected
    # BytesIO hands over its own buffer here, without a copy.
    return out.getvalue()


def decode(source: _Source) -> SimpleImage:
    """Open a PNG or BMP image from a path, a bytes-like object or a binary file.

    ``source`` may be:

    - a ``str``, a ``pathlib.Path`` or any other path-like object (one whose
      ``__fspath__`` gives bytes too), naming a file;
    - ``bytes``, ``bytearray``, ``memoryview`` or any object with the buffer
      protocol, holding a whole file;
    - a binary file object (anything with ``read()``), read from its current
      position to its end. It is left open. A text-mode file is refused with
      TypeError.

    The outcome is what ``SimpleImage.open`` gives on the same file or bytes:
    the same pixels, or the same exception with the same message.
    """
    if isinstance(source, (str, Path, bytes, bytearray)):
        return SimpleImage.open(source)
    if isinstance(source, os.PathLike):
        return SimpleImage.open(os.fsdecode(os.fspath(source)))
    data = _buffer_bytes(source)
    if data is not None:
        return SimpleImage.open(data)
    read = getattr(source, "read", None)
    if read is None:
        raise TypeError(
            f"decode() needs a path, a bytes-like object or a binary file object, not {type(source).__name__}"
        )
    if isinstance(source, io.TextIOBase):
        raise TypeError("decode() needs a binary file object, not a text-mode one: open the file with 'rb'")
    content = read()
    if isinstance(content, (bytes, bytearray)):
        return SimpleImage.open(content)
    data = _buffer_bytes(content)
    if data is None:
        raise TypeError(
            f"decode() needs a binary file object: its read() gave {type(content).__name__}, not bytes"
            + (" (a text-mode file? open it with 'rb')" if isinstance(content, str) else "")
        )
    return SimpleImage.open(data)


def _buffer_bytes(obj: object) -> bytes | None:
    """The bytes of an object with the buffer protocol, in C order; else None."""
    try:
        view = memoryview(obj)  # type: ignore[arg-type]
    except TypeError:
        return None
    with view:
        return view.tobytes()


def save(image: SimpleImage, target: _Target, format: str | None = None) -> None:
    """Write ``image`` as PNG or BMP to a path or a binary file object.

    ``target`` is a path (``str``, ``bytes`` or any path-like object) or a
    binary file object (anything with ``write()``, which is left open).
    ``format`` is ``"png"`` or ``"bmp"`` in any case; when it is left out it
    comes from the path's extension, ``.png`` or ``.bmp`` in any case (for a
    file object, from its ``name``), and a ValueError says so when there is
    none to go by. The bytes are those of ``image.save`` or ``image.saveBmp``.
    A path is written by the module's writer itself, which creates the file
    or replaces its contents, as those methods do.
    """
    image = _check_image(image, "save")
    if format is not None:
        format = _check_format(format)
    if isinstance(target, (str, bytes, os.PathLike)):
        path = os.fspath(target)
        writer = _writer(format or _format_from_name(path))
        writer(path, *_fields(image))
        return
    write = getattr(target, "write", None)
    if write is None:
        raise TypeError(f"save() needs a path or a binary file object, not {type(target).__name__}")
    if isinstance(target, io.TextIOBase):
        raise TypeError("save() needs a binary file object, not a text-mode one: open the file with 'wb'")
    if format is None:
        name = getattr(target, "name", None)
        if not isinstance(name, (str, bytes)):
            raise ValueError(
                "save() cannot tell the format of a file object without a name: give format='png' or 'bmp'"
            )
        format = _format_from_name(name)
    data = encode(image, format)
    if isinstance(target, io.RawIOBase):
        # An unbuffered file may take fewer bytes than it is given.
        view = memoryview(data)
        while view:
            count = target.write(view)
            if not count:
                raise BlockingIOError(errno.EAGAIN, "the file took no more bytes", len(data) - len(view))
            view = view[count:]
    else:
        write(data)


def _format_from_name(name: str | bytes) -> str:
    text = os.fsdecode(name)
    try:
        return _EXTENSIONS[os.path.splitext(text)[1].lower()]
    except KeyError:
        raise ValueError(
            f"cannot tell the image format from the name {text!r}: use a .png or .bmp name, or give format='png' or 'bmp'"
        ) from None


# ---------------------------------------------------------------------------
# numpy and Pillow


def _missing(package: str, extra: str, caller: str) -> ImportError:
    return ImportError(f"{caller}() needs {package}: pip install {package} (or the package's [{extra}] extra)")


def _whole_pixels(image: object, caller: str) -> tuple[int, int, bytearray]:
    """The fields of an image whose buffer still fits its size."""
    width, height, pixels = _fields(_check_image(image, caller))
    if pixels is None:
        raise ValueError(f"{caller}() needs an image with pixels: its _pixels is None")
    if width < 0 or height < 0:
        raise ValueError(f"{caller}() needs an image of positive size, not {width} x {height}")
    if len(pixels) != width * height * 3:
        raise ValueError(
            f"{caller}() needs a pixel buffer of {width} x {height} x 3 = {width * height * 3} bytes,"
            f" not {len(pixels)}: the image's size or its _pixels was changed"
        )
    return width, height, pixels


def to_numpy(image: SimpleImage) -> numpy.typing.NDArray[numpy.uint8]:
    """Return a (height, width, 3) uint8 numpy array over the image's pixels.

    Nothing is copied: the array is a view of the image's pixel buffer, so
    writing to the array changes the image and ``putPixel`` shows in the
    array. The buffer is a ``bytearray``, which cannot be resized while the
    view (or any array made from it) exists: the host then raises
    BufferError. An image whose size no longer matches its buffer (the
    ``width``, ``height`` and ``_pixels`` setters do not check it), or that
    has no buffer, is refused with ValueError. Use ``.copy()`` on the result
    for an array of its own.

    ``numpy.asarray(image)`` does not do this: the class has no buffer
    interface, so numpy makes a 0-d object array holding the image.
    """
    width, height, pixels = _whole_pixels(image, "to_numpy")
    try:
        import numpy as np
    except ImportError as exc:
        raise _missing("numpy", "numpy", "to_numpy") from exc
    return np.frombuffer(pixels, dtype=np.uint8).reshape(height, width, 3)


def from_numpy(array: numpy.typing.NDArray[Any]) -> SimpleImage:
    """Make a new image from a uint8 array of shape (height, width, 3) or (height, width, 4).

    The channels are red, green, blue (and alpha, which is dropped, as the
    PNG reader drops it: the colours are kept as they are, not blended with
    any background). Any memory layout is taken (slices, strides, negative
    steps); the image owns a copy of the pixels. Another dtype raises
    TypeError naming it, another shape ValueError, and anything but a numpy
    array TypeError.
    """
    try:
        import numpy as np
    except ImportError as exc:
        raise _missing("numpy", "numpy", "from_numpy") from exc
    if not isinstance(array, np.ndarray):
        raise TypeError(f"from_numpy() needs a numpy array, not {type(array).__name__}")
    if array.dtype != np.uint8:
        raise TypeError(f"from_numpy() needs an array of dtype uint8, not {array.dtype}")
    if array.ndim != 3 or array.shape[2] not in (3, 4):
        raise ValueError(
            f"from_numpy() needs an array of shape (height, width, 3) or (height, width, 4), not {array.shape}"
        )
    height, width = array.shape[:2]
    # One flat run of R, G, B bytes (a view when the array already is one),
    # which the constructor copies.
    rgb = np.ascontiguousarray(array[:, :, :3]).reshape(-1)
    return SimpleImage(width, height, rgb.data)


def to_pillow(image: SimpleImage) -> PIL.Image.Image:
    """Return a new Pillow image of mode "RGB" with a copy of the image's pixels.

    An image whose size no longer matches its buffer, or that has no buffer,
    is refused with ValueError.
    """
    width, height, pixels = _whole_pixels(image, "to_pillow")
    try:
        from PIL import Image
    except ImportError as exc:
        raise _missing("Pillow", "pillow", "to_pillow") from exc
    return Image.frombytes("RGB", (width, height), pixels)


def from_pillow(im: PIL.Image.Image) -> SimpleImage:
    """Make a new image from a Pillow image.

    An "RGB" image is taken as it is. An image with alpha ("RGBA", "LA",
    "PA", a palette image with transparency, ...) loses its alpha as the PNG
    reader drops it: each pixel keeps its own colour, with no blending onto a
    background. Premultiplied modes ("RGBa", "La") are first brought back to
    their straight colours. Every other mode ("L", "1", "P", "CMYK", "I",
    "F", ...) goes through Pillow's own conversion to "RGB", and fails as it
    does. Anything but a Pillow image is refused with TypeError.
    """
    try:
        from PIL import Image
    except ImportError as exc:
        raise _missing("Pillow", "pillow", "from_pillow") from exc
    if not isinstance(im, Image.Image):
        raise TypeError(f"from_pillow() needs a Pillow image, not {type(im).__name__}")
    if im.mode == "La":
        im = im.convert("LA")  # the only conversion Pillow has from it
    elif im.mode == "P" and "transparency" in im.info:
        im = im.convert("RGBA")  # its colours, with the transparency as alpha
    if im.mode != "RGB":
        im = im.convert("RGB")
    return SimpleImage(im.width, im.height, im.tobytes())
