# Type information for the compiled module Morvane.simpleImage_ext.
#
# Every annotation that the module publishes at run time (the functions'
# __annotations__) is written here in exactly the same text. Parameters that
# carry no annotation at run time are given the type of what they accept.
# tests/test_typing.py holds the two in step.

from pathlib import Path
from typing import Iterable, NoReturn, Protocol, Sequence, Tuple, TypeAlias, Union

from _typeshed import FileDescriptorOrPath
from typing_extensions import Self, disjoint_base

class _Readable(Protocol):
    def read(self, n: int, /) -> bytes: ...

class _Seekable(_Readable, Protocol):
    def seek(self, offset: int, /) -> object: ...

PNG_SIGNATURE: bytes
__test__: dict[str, object]
ImageInput: TypeAlias = Union[str, Path, bytes, bytearray]

def _readChunk(stream: _Readable) -> Tuple[bytes, bytes]:
    """Read one PNG chunk from ``stream`` and return ``(chunkType, data)``.

    The chunk's CRC-32 is checked; a chunk cut short or with a wrong CRC
    raises ValueError.
    """

def _makeChunk(chunkType: bytes, data: bytes) -> bytes:
    """Frame ``data`` as a PNG chunk: length, type, data and CRC-32."""

def _writePng(path: FileDescriptorOrPath, width: int, height: int, pixels: Iterable[int]) -> None:
    """Write ``pixels`` (RGB bytes, rows top first) to ``path`` as an 8-bit RGB PNG.

    The file is created or replaced. One layout is written: filter type 0
    on every row, one IDAT chunk compressed by zlib at its default level.
    """

def _writeBmp(path: FileDescriptorOrPath, width: int, height: int, pixels: Iterable[int]) -> None:
    """Write ``pixels`` (RGB bytes, rows top first) to ``path`` as a 24-bit BMP.

    The file is created or replaced: rows bottom-up, no compression,
    2835 pixels per metre.
    """

@disjoint_base
class SimpleImage:
    """A minimal RGB image helper."""

    width: int
    """Number of pixel columns. Setting it does not touch the pixels."""
    height: int
    """Number of pixel rows. Setting it does not touch the pixels."""
    _pixels: bytearray | None
    """The live pixel buffer: width x height x 3 bytes, rows top first, each
    pixel red, green, blue. Writes through it change the image;
    ``Morvane.to_numpy`` gives a (height, width, 3) array over it."""
    def __new__(cls, width: int, height: int, pixels: Sequence[int]) -> Self:
        """Make an image of ``width`` x ``height`` pixels from a copy of ``pixels``.

        ``pixels`` holds width x height x 3 bytes (anything ``bytearray()``
        takes), rows top first, each pixel red, green, blue. Another length
        raises ValueError "Pixel data length does not match image dimensions".
        """
    @property
    def size(self) -> Tuple[int, int]:
        """``(width, height)``."""
    @staticmethod
    def _streamToImage(stream: _Seekable) -> Tuple[int, int, bytearray]:
        """Decode the PNG or BMP file in a seekable binary stream.

        Returns ``(width, height, pixels)``; the format is told from the
        first bytes, read from where the stream stands, and the decoder then
        reads the stream from position 0.
        """
    @classmethod
    def open(cls, source: ImageInput) -> "SimpleImage":
        """Open a PNG or BMP image from a path (``str`` or ``pathlib.Path``) or
        from the bytes of a whole file (``bytes`` or ``bytearray``).

        The content decides the format, not the name. PNG: 8-bit RGB or RGBA
        (alpha dropped), not interlaced. BMP: 24-bit, uncompressed. Anything
        else raises ValueError. ``Morvane.decode`` takes file objects and
        other bytes-like objects too.
        """
    def getPixel(self, coords: Tuple[int, int]) -> Tuple[int, int, int]:
        """Return the ``(r, g, b)`` of the pixel at ``(x, y)``, counted from
        the top left. Outside the image: ValueError "Pixel coordinate out of
        bounds"."""
    def putPixel(self, coords: Tuple[int, int], value: Sequence[int]) -> None:
        """Set the pixel at ``(x, y)`` to ``value``, three numbers red, green,
        blue; each is taken modulo 256."""
    def copy(self) -> "SimpleImage":
        """Return a new ``SimpleImage`` with its own copy of the pixels."""
    def save(self, path: str) -> None:
        """Write the image to the file ``path`` as PNG, whatever its name.

        ``Morvane.save`` writes BMP or PNG by the name's extension, to any
        path-like or file object; ``Morvane.encode`` gives the bytes.
        """
    def saveBmp(self, path: str) -> None:
        """Write the image to the file ``path`` as a 24-bit BMP."""
    def __reduce__(self) -> NoReturn:
        """Images cannot be pickled (TypeError): hand over ``Morvane.encode``
        bytes instead."""
    def __setstate__(self, state: object) -> NoReturn:
        """Images cannot be unpickled (TypeError)."""
