"""The everyday functions of the package, over the compiled class.

Images go out as bytes (``encode``), into paths and file objects (``save``)
and come in from paths, bytes-like objects and file objects (``decode``).
Every byte is written by the module's own writers, the ones ``save`` and
``saveBmp`` call, and every image is read by ``SimpleImage.open``, so the
results are exactly theirs.
"""

from __future__ import annotations

import errno
import io
import os
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Protocol, TypeAlias

from Morvane import simpleImage_ext
from Morvane.simpleImage_ext import SimpleImage

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = ["decode", "encode", "save"]


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
    write to a file: the module's own writer does the work, and what it
    raises passes through unchanged (for instance the ValueError of a pixel
    buffer that does not fit the size). No file is made on any file system:
    on Linux the writer writes to an anonymous in-memory file or, for large
    images, to a pipe; elsewhere to an unnamed temporary file, removed when
    it is closed. Each call uses descriptors of its own, so threads may encode
    at the same time, and every descriptor is closed on every way out.

    >>> from Morvane import SimpleImage, encode
    >>> encode(SimpleImage(1, 1, b"\\x11\\x22\\x33"), "bmp")[54:]
    b'3"\\x11\\x00'
    """
    image = _check_image(image, "encode")
    writer = _writer(_check_format(format))
    width, height, pixels = _fields(image)
    if width > 0 and height > 0 and width * height * 3 >= _PIPE_FROM:
        data = _encode_through_pipe(writer, width, height, pixels)
        if data is not None:
            return data
    return _encode_through_file(writer, width, height, pixels)


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
    writer: Callable[[Any, int, int, Any], None], width: int, height: int, pixels: Any
) -> bytes | None:
    """The writer writes a pipe that a thread of ours drains into the result.

    Through an in-memory file, a large image's bytes land twice in freshly
    mapped memory (the file, then the bytes read back), and faulting in new
    pages is what costs most. Through a pipe, the writer's pieces pass
    through the pipe's few pages, which stay in the caches, and only the
    result is new memory; the reader runs while the writer works. Returns
    None when no thread can be started (at interpreter shutdown), for the
    caller to go through a file instead.
    """
    import threading

    read_end, write_end = os.pipe()
    try:
        import fcntl

        fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, _PIPE_SIZE)
    except (ImportError, AttributeError, OSError):
        pass  # the host's default capacity: slower, the same bytes
    out = io.BytesIO()
    failures: list[BaseException] = []

    def drain() -> None:
        piece = bytearray(_READ_SIZE)
        view = memoryview(piece)
        try:
            # After a failure of our own the pipe is still read to its end,
            # so that the writer never waits on a full pipe.
            while count := os.readv(read_end, [piece]):
                if not failures:
                    try:
                        out.write(view[:count])
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
