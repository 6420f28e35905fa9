"""A reference decoder for the files SimpleImage opens: a plain, byte-by-byte
transcription in Python of the decoding rules (format dispatch, the chunk
reader, the PNG decoder with its row filters, the BMP decoder). It is the
oracle of the differential tests (tests/test_reference.py) and of the fuzz
targets (fuzz/targets.py): the module must give the same outcome for every
input, the same (width, height, pixels) or the same exception type and
message.

It uses the standard library alone, never the module, and is written for
clarity, not speed: keep the images small.

Where the module departs from a literal run of the rules on purpose, so that
a tiny hostile file cannot make it allocate gigabytes or spin for minutes, the
oracle departs the same way, and for the same reason:

* PNG image data is inflated with its output bounded by the image size; a
  stream that inflates to more is still inflated to its end (its output
  dropped), so the outcome is the one-shot zlib.decompress call's: the
  pixels, "Malformed PNG image data", or the same zlib.error.
* A BMP header announcing a huge image: the module's pixel buffer is not
  cleared before the rows are copied in, so it costs address space, not
  memory, and a short file fails with "Incomplete BMP pixel data" without
  touching it. The oracle makes the host's refusals of the size (a negative
  count, a size no index can hold) where bytearray(n) would, reads the rows,
  and builds the buffer only once they have all arrived. The size asked for
  is kept in Outcome.buffer_size: a host may refuse a huge buffer with a
  MemoryError instead (see compare).
* With BMP width 0 every row is empty: the decoder stops reading them after
  EMPTY_ROW_READS (the result is the same).
"""

from __future__ import annotations

import io
import struct
import sys
import zlib
from dataclasses import dataclass

PNG_SIGNATURE = bytes([0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A])

# Output kept per inflate step; the image data never needs more than the
# image's size of it.
INFLATE_STEP = 1 << 16

# Empty BMP rows (width 0) read at most.
EMPTY_ROW_READS = 1 << 16

# A pixel buffer at least this large may be refused by the host with a
# MemoryError in place of the decoder's outcome.
HUGE_BUFFER = 1 << 26


# ---------------------------------------------------------------------------
# Format dispatch


def stream_to_image(stream, allocations=None):
    """SimpleImage._streamToImage(stream). `allocations`, a list, collects the
    size of every pixel buffer the decoders ask for."""
    signature = stream.read(8)
    stream.seek(0)
    if signature.startswith(PNG_SIGNATURE):
        return load_png(stream, allocations)
    if signature[:2] == b"BM":
        return load_bmp(stream, allocations)
    raise ValueError("Unsupported image format")


# ---------------------------------------------------------------------------
# PNG chunks


def read_chunk(stream):
    """_readChunk(stream): (chunkType, data), or (b"", b"") at the end."""
    lengthBytes = stream.read(4)
    if len(lengthBytes) == 0:
        return b"", b""
    if len(lengthBytes) != 4:
        raise ValueError("Unexpected EOF while reading chunk length")
    length = struct.unpack(">I", lengthBytes)[0]
    chunkType = stream.read(4)
    if len(chunkType) != 4:
        raise ValueError("Unexpected EOF while reading chunk type")
    data = stream.read(length)
    if len(data) != length:
        raise ValueError("Unexpected EOF while reading chunk data")
    crc = stream.read(4)
    if len(crc) != 4:
        raise ValueError("Unexpected EOF while reading chunk CRC")
    expectedCrc = zlib.crc32(chunkType)
    expectedCrc = zlib.crc32(data, expectedCrc) & 0xFFFFFFFF
    actualCrc = struct.unpack(">I", crc)[0]
    if actualCrc != expectedCrc:
        raise ValueError("Corrupted PNG chunk detected")
    return chunkType, data


# ---------------------------------------------------------------------------
# PNG decoder


def to_int32(value):
    """A header value kept in a signed 32-bit integer, as the host converts."""
    if not -(2**31) <= value <= 2**31 - 1:
        raise OverflowError("Python int too large to convert to C int")
    return value


def load_png(stream, allocations=None):
    signature = stream.read(8)
    if signature != PNG_SIGNATURE:
        raise ValueError("Unsupported PNG signature")
    width = height = bitDepth = colorType = compression = filterMethod = interlace = -1
    idatChunks = []
    while True:
        chunkType, data = read_chunk(stream)
        if chunkType == b"":
            break
        if chunkType == b"IHDR":
            record = struct.unpack(">IIBBBBB", data)
            width = to_int32(record[0])
            height = to_int32(record[1])
            bitDepth = to_int32(record[2])
            colorType = to_int32(record[3])
            compression = to_int32(record[4])
            filterMethod = to_int32(record[5])
            interlace = to_int32(record[6])
        elif chunkType == b"IDAT":
            idatChunks.append(data)
        elif chunkType == b"IEND":
            break
        # any other chunk: read whole, CRC checked, ignored

    for field in (width, height, bitDepth, colorType, compression, filterMethod, interlace):
        if field == -1:
            raise ValueError("Incomplete PNG header information")
    if bitDepth != 8:
        raise ValueError("Only 8-bit PNG images are supported")
    if colorType != 2 and colorType != 6:
        raise ValueError("Only RGB/RGBA PNG images are supported")
    if compression != 0 or filterMethod != 0 or interlace != 0:
        raise ValueError("Unsupported PNG configuration (compression/filter/interlace)")

    bytesPerPixel = 3 if colorType == 2 else 4
    rowLength = width * bytesPerPixel
    expected = height * (rowLength + 1)
    rawImage = decompress_image_data(b"".join(idatChunks), expected)
    if len(rawImage) != expected:
        raise ValueError("Malformed PNG image data")

    if allocations is not None:
        allocations.append(width * height * 3)
    pixels = bytearray(width * height * 3)
    # The zero row above the first one; with no rows at all (height 0) it is
    # never read, and an IHDR may announce a width of 2**31 - 1.
    prevRow = bytearray(rowLength) if height > 0 else bytearray()
    offset = 0
    for y in range(height):
        filterType = rawImage[offset]
        rowBytes = bytearray(rawImage[offset + 1 : offset + 1 + rowLength])
        offset += rowLength + 1
        recon = bytearray(rowLength)
        apply_png_filter(filterType, rowBytes, prevRow, bytesPerPixel, recon)
        for x in range(width):
            srcIndex = x * bytesPerPixel
            destIndex = (y * width + x) * 3
            for k in range(3):
                pixels[destIndex + k] = recon[srcIndex + k]
            # recon[srcIndex + 3], the alpha of an RGBA pixel, is dropped
        prevRow = recon
    return width, height, pixels


def decompress_image_data(data, expected):
    """zlib.decompress(data), holding at most `expected` bytes of output: data
    that inflates to more is inflated to its end all the same (the output
    dropped), and raises "Malformed PNG image data" if the stream is sound,
    the same as the one-shot call followed by the size test."""
    inflater = zlib.decompressobj()
    kept = bytearray()
    produced = 0
    pending = data
    while not inflater.eof:
        piece = inflater.decompress(pending, INFLATE_STEP)
        pending = inflater.unconsumed_tail
        produced += len(piece)
        if produced <= expected:
            kept += piece
        if not piece and not pending:
            break  # no input left, no output: the stream is cut short
    if not inflater.eof:
        raise zlib.error("Error -5 while decompressing data: incomplete or truncated stream")
    if produced > expected:
        raise ValueError("Malformed PNG image data")
    return bytes(kept)


def apply_png_filter(filterType, rowData, prevRow, bytesPerPixel, recon):
    """Undoes one scanline's filter into `recon`."""
    for i in range(len(rowData)):
        left = recon[i - bytesPerPixel] if i >= bytesPerPixel else 0
        up = prevRow[i] if len(prevRow) > 0 else 0
        upLeft = prevRow[i - bytesPerPixel] if i >= bytesPerPixel and len(prevRow) > 0 else 0
        if filterType == 0:
            recon[i] = rowData[i]
        elif filterType == 1:
            recon[i] = (rowData[i] + left) % 256
        elif filterType == 2:
            recon[i] = (rowData[i] + up) % 256
        elif filterType == 3:
            recon[i] = (rowData[i] + ((left + up) >> 1)) % 256
        elif filterType == 4:
            recon[i] = (rowData[i] + paeth_predictor(left, up, upLeft)) % 256
        else:
            raise ValueError(f"Unsupported PNG filter: {filterType}")


def paeth_predictor(a, b, c):
    p = a + b - c
    pa = abs(p - a)
    pb = abs(p - b)
    pc = abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    if pb <= pc:
        return b
    return c


# ---------------------------------------------------------------------------
# BMP decoder


def load_bmp(stream, allocations=None):
    header = stream.read(14)
    if len(header) != 14 or header[:2] != b"BM":
        raise ValueError("Unsupported BMP header")
    fileSize, _reserved1, _reserved2, pixelOffset = struct.unpack("<IHHI", header[2:])
    dibHeaderSizeBytes = stream.read(4)
    if len(dibHeaderSizeBytes) != 4:
        raise ValueError("Corrupted BMP DIB header")
    dibHeaderSize = struct.unpack("<I", dibHeaderSizeBytes)[0]
    if dibHeaderSize != 40:
        raise ValueError("Only BITMAPINFOHEADER BMP files are supported")
    dibData = stream.read(36)
    (width, height, planes, bitCount, compression, imageSize, xPpm, yPpm, clrUsed, clrImportant) = struct.unpack(
        "<iiHHIIiiII", dibData
    )
    if planes != 1 or bitCount != 24 or compression != 0:
        raise ValueError("Only uncompressed 24-bit BMP files are supported")
    absHeight = abs(height)
    rowStride = ((width * 3 + 3) // 4) * 4

    # pixels = bytearray(width * absHeight * 3): the host's refusals of the
    # size now, the buffer itself once the rows are in.
    size = width * absHeight * 3
    if not isinstance(size, int):
        bytearray(size)  # its refusal of what is no integer (a float from a rebound struct)
    if allocations is not None:
        allocations.append(size)
    if size < 0:
        raise ValueError("negative count")
    if size > sys.maxsize:
        raise OverflowError("cannot fit 'int' into an index-sized integer")

    stream.seek(pixelOffset)
    rowReads = absHeight if width != 0 else min(absHeight, EMPTY_ROW_READS)
    rows = []
    for _ in range(rowReads):
        rowData = stream.read(rowStride)
        if len(rowData) != rowStride:
            raise ValueError("Incomplete BMP pixel data")
        rows.append(rowData)

    pixels = bytearray(size)  # every row arrived: no more than the data read
    for row, rowData in enumerate(rows):
        targetRow = absHeight - 1 - row if height > 0 else row
        baseIndex = targetRow * width * 3
        for x in range(width):
            idx = baseIndex + 3 * x
            pixels[idx] = rowData[3 * x + 2]  # red
            pixels[idx + 1] = rowData[3 * x + 1]  # green
            pixels[idx + 2] = rowData[3 * x]  # blue
        # the pad bytes at the end of rowData are skipped
    return width, absHeight, pixels


# ---------------------------------------------------------------------------
# Outcomes, and comparing the module's with the oracle's


@dataclass(frozen=True)
class Outcome:
    """What a call gave: a (width, height, pixels) result, or an exception."""

    width: object = None
    height: object = None
    pixels: object = None
    error: type | None = None
    message: str | None = None
    buffer_size: int = 0  # the largest pixel buffer asked for (oracle only)

    @property
    def ok(self) -> bool:
        return self.error is None

    def __str__(self) -> str:
        if self.error is not None:
            return f"{self.error.__module__}.{self.error.__qualname__}: {self.message!r}"
        pixels = self.pixels
        shown = bytes(pixels[:24]).hex() + ("..." if len(pixels) > 24 else "") if hasattr(pixels, "__len__") else ""
        return (
            f"{type(self.width).__name__} {self.width!r} x {type(self.height).__name__} {self.height!r}, "
            f"{type(pixels).__name__} of {len(pixels) if hasattr(pixels, '__len__') else '?'} bytes {shown}"
        )


def decode(data: bytes) -> Outcome:
    """The oracle's outcome of SimpleImage._streamToImage(BytesIO(data))."""
    allocations: list[int] = []
    try:
        width, height, pixels = stream_to_image(io.BytesIO(data), allocations)
    except (ValueError, OverflowError, struct.error, zlib.error) as exc:
        return Outcome(error=type(exc), message=str(exc), buffer_size=max(allocations, default=0))
    return Outcome(width, height, pixels, buffer_size=max(allocations, default=0))


def open_outcome(decoded: Outcome) -> Outcome:
    """The oracle's outcome of SimpleImage.open(data), from decode(data): the
    constructor takes width and height as signed 32-bit integers (a BMP of
    height -2**31 has 2**31 rows) and checks the buffer's length."""
    if not decoded.ok:
        return decoded
    try:
        to_int32(decoded.width)
        to_int32(decoded.height)
    except OverflowError as exc:
        return Outcome(error=OverflowError, message=str(exc), buffer_size=decoded.buffer_size)
    if len(decoded.pixels) != decoded.width * decoded.height * 3:
        return Outcome(error=ValueError, message="Pixel data length does not match image dimensions")
    return decoded


def observe(call) -> Outcome:
    """Runs `call()`, which returns (width, height, pixels), and records what
    it gave."""
    try:
        width, height, pixels = call()
    except Exception as exc:  # every outcome is recorded, none judged here
        return Outcome(error=type(exc), message=str(exc))
    return Outcome(width, height, pixels)


def compare(got: Outcome, want: Outcome) -> str | None:
    """None when the module's outcome `got` is the oracle's `want`, else a
    description of the difference. A MemoryError is an acceptable refusal of
    a huge pixel buffer, whatever the oracle's outcome after it."""
    if want.ok and got.ok:
        if (
            type(got.width) is int
            and type(got.height) is int
            and type(got.pixels) is bytearray
            and (got.width, got.height) == (want.width, want.height)
            and got.pixels == want.pixels
        ):
            return None
    elif not want.ok and not got.ok:
        if got.error is want.error and got.message == want.message:
            return None
    if got.error is MemoryError and want.buffer_size >= HUGE_BUFFER:
        return None
    detail = ""
    if want.ok and got.ok and type(got.pixels) is bytearray and len(got.pixels) == len(want.pixels):
        first = next((i for i in range(len(want.pixels)) if got.pixels[i] != want.pixels[i]), None)
        if first is not None and type(want.width) is int and want.width > 0:
            x, y = (first // 3) % want.width, (first // 3) // want.width
            detail = f"; first differing byte {first} (pixel {x}, {y})"
    return f"module gave {got}; reference gave {want}{detail}"


if __name__ == "__main__":
    # python -m testkit.reference FILE...: the oracle's outcome for each file.
    for name in sys.argv[1:]:
        with open(name, "rb") as f:
            print(f"{name}: {decode(f.read())}")
