"""What a PNG or BMP file's headers say, without decoding its pixels.

``read_header(source)`` reads the PNG signature and IHDR chunk, or the BMP
file and DIB headers, and applies to them the checks that
``SimpleImage.open`` applies, in the same order and with the same exceptions
and messages. A file refused here is refused by ``SimpleImage.open`` with the
same exception. A file accepted here may still be refused by a full decode
(damaged image data, a BMP too large to allocate); if it is not, it has the
size given here.

The PNG decoder takes the IHDR chunk wherever it comes, and validates it only
after it has read every chunk, a later IHDR chunk replacing an earlier one.
So the chunks before the first IHDR are read whole and their CRCs checked, as
the decoder does; and an IHDR chunk that fails a check is not the end: the
chunks after it are read the same way, so that the outcome is the decoder's
(a damaged later chunk, or a later IHDR chunk that passes). Only files that
are refused pay for that. Once an IHDR chunk passes, nothing more is read: a
second IHDR chunk (which the format does not allow, and which the decoder
would take instead) goes unseen.
"""

from __future__ import annotations

import os
import struct
import sys
import zlib
from typing import NamedTuple, Protocol, Union

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

# The most a single read asks for: a chunk length is whatever the file says,
# up to 4 GiB, and must not become one allocation of that size.
_PIECE = 1 << 20
_INT_MAX = 2**31 - 1


class Header(NamedTuple):
    """A file's format ("PNG" or "BMP"), its size in pixels, and whether it
    has an alpha channel (which the decoder drops)."""

    format: str
    width: int
    height: int
    alpha: bool


class _Readable(Protocol):
    def read(self, size: int, /) -> bytes: ...


Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview]


def read_header(source: Source) -> Header:
    """The header of the image in ``source``: a path (``str`` or path-like)
    or the bytes of a whole file. Raises what ``SimpleImage.open`` raises for
    a file whose headers it refuses, and OSError for a file that cannot be read."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        return read_header_from(_Buffer(source))
    with open(source, "rb") as stream:
        return read_header_from(stream)


def read_header_from(stream: _Readable) -> Header:
    """The header of the image that ``stream`` is positioned at the start of;
    it is left somewhere within the file."""
    signature = stream.read(8)
    if signature.startswith(PNG_SIGNATURE):
        return _png_header(stream)
    if signature[:2] == b"BM":
        return _bmp_header(signature, stream)
    raise ValueError("Unsupported image format")


class _Buffer:
    """Reads from the bytes of a whole file, without copying them first."""

    def __init__(self, data: bytes | bytearray | memoryview) -> None:
        self._view = memoryview(data).cast("B")
        self._position = 0

    def read(self, size: int, /) -> bytes:
        start = self._position
        self._position = min(start + size, len(self._view))
        return bytes(self._view[start : self._position])


def _read(stream: _Readable, size: int) -> bytes:
    """Up to ``size`` bytes: fewer only at the end of the data."""
    if size <= _PIECE:
        return stream.read(size)
    pieces = []
    while size > 0:
        piece = stream.read(min(size, _PIECE))
        pieces.append(piece)
        size -= len(piece)
        if len(piece) < _PIECE:
            break
    return b"".join(pieces)


def _read_chunk(stream: _Readable) -> tuple[bytes, bytes]:
    """One chunk's type and data, its CRC checked; (b"", b"") where the data end."""
    length_bytes = stream.read(4)
    if not length_bytes:
        return b"", b""
    if len(length_bytes) != 4:
        raise ValueError("Unexpected EOF while reading chunk length")
    (length,) = struct.unpack(">I", length_bytes)
    chunk_type = stream.read(4)
    if len(chunk_type) != 4:
        raise ValueError("Unexpected EOF while reading chunk type")
    data = _read(stream, length)
    if len(data) != length:
        raise ValueError("Unexpected EOF while reading chunk data")
    crc = stream.read(4)
    if len(crc) != 4:
        raise ValueError("Unexpected EOF while reading chunk CRC")
    if struct.unpack(">I", crc)[0] != zlib.crc32(data, zlib.crc32(chunk_type)) & 0xFFFFFFFF:
        raise ValueError("Corrupted PNG chunk detected")
    return chunk_type, data


def _png_header(stream: _Readable) -> Header:
    """After the signature: the chunks up to the first IHDR that passes."""
    fields: tuple[int, ...] | None = None
    while True:
        chunk_type, data = _read_chunk(stream)
        if chunk_type in (b"", b"IEND"):
            break
        if chunk_type == b"IHDR":
            fields = struct.unpack(">IIBBBBB", data)
            if max(fields) > _INT_MAX:  # the decoder keeps each field in a C int
                raise OverflowError("Python int too large to convert to C int")
            if _png_refusal(fields) is None:
                width, height, _, colour_type, *_ = fields
                return Header("PNG", width, height, colour_type == 6)
    refusal = _png_refusal(fields)
    assert refusal is not None
    raise ValueError(refusal)


def _png_refusal(fields: tuple[int, ...] | None) -> str | None:
    """Why the decoder refuses these IHDR fields, or None."""
    if fields is None:
        return "Incomplete PNG header information"
    _, _, bit_depth, colour_type, compression, filter_method, interlace = fields
    if bit_depth != 8:
        return "Only 8-bit PNG images are supported"
    if colour_type not in (2, 6):
        return "Only RGB/RGBA PNG images are supported"
    if compression != 0 or filter_method != 0 or interlace != 0:
        return "Unsupported PNG configuration (compression/filter/interlace)"
    return None


def _bmp_header(signature: bytes, stream: _Readable) -> Header:
    """The 14-byte file header (of which ``signature`` holds the first bytes read) and the DIB header."""
    header = signature + stream.read(14 - len(signature))
    if len(header) != 14 or header[:2] != b"BM":
        raise ValueError("Unsupported BMP header")
    dib_size = stream.read(4)
    if len(dib_size) != 4:
        raise ValueError("Corrupted BMP DIB header")
    if struct.unpack("<I", dib_size)[0] != 40:
        raise ValueError("Only BITMAPINFOHEADER BMP files are supported")
    width, height, planes, bit_count, compression, *_ = struct.unpack("<iiHHIIiiII", stream.read(36))
    if planes != 1 or bit_count != 24 or compression != 0:
        raise ValueError("Only uncompressed 24-bit BMP files are supported")
    # The decoder sizes its pixel buffer before it reads a row.
    size = width * abs(height) * 3
    if size < 0:
        raise ValueError("negative count")
    if size > sys.maxsize:
        raise OverflowError("cannot fit 'int' into an index-sized integer")
    return Header("BMP", width, abs(height), False)
