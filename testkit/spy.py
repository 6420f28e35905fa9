"""Helpers for the format tests, the fuzz targets and the benchmarks.

* `SpyStream`: an in-memory byte stream that records every `read` and `seek`
  call, and can hand back something else than what it read (`on_read`).
* Builders of PNG and BMP bytes made here with the standard library alone, so
  that the decoders are tested against data that does not come from the
  module's own writers.
* `fd_path`/`assert_closed`: a file descriptor given as the `path` of a writer
  shows whether the writer's `with` block closed its file.
* `DEBUG_ALLOCATOR`: whether this interpreter's allocator is a debug one.
"""

import io
import os
import struct
import sys
import sysconfig
import zlib


def _allocator_name():
    # In _testcapi up to 3.12, in _testinternalcapi from 3.13; where neither
    # is installed, from the build and the settings.
    for name in ("_testinternalcapi", "_testcapi"):
        try:
            return __import__(name).pymem_getallocatorsname()
        except (ImportError, AttributeError):
            pass
    debug = sysconfig.get_config_var("Py_DEBUG") or sys.flags.dev_mode
    return os.environ.get("PYTHONMALLOC") or ("pymalloc_debug" if debug else "pymalloc")


# The debug allocators (a debug build of the interpreter, PYTHONMALLOC=debug,
# -X dev) fill every new block: a pixel buffer reserved for a huge announced
# image and freed when the data runs short, which costs nothing elsewhere,
# is written whole, seconds and gigabytes that are the allocator's.
DEBUG_ALLOCATOR = _allocator_name().endswith("debug")

PNG_SIG = b"\x89PNG\r\n\x1a\n"
IEND_CHUNK = bytes.fromhex("0000000049454E44AE426082")


class SpyStream:
    """A BytesIO that logs its calls as ("read", n) and ("seek", k).

    A call with other arguments than one positional one is logged with the
    whole argument tuple and keyword dict, so it never matches an expected
    ("read", n). `on_read(n, data)` may replace what a read returns.
    """

    def __init__(self, data=b"", pos=0, on_read=None):
        self._io = io.BytesIO(data)
        self._io.seek(pos)
        self.calls = []
        self.on_read = on_read

    def _log(self, name, args, kwargs):
        if len(args) == 1 and not kwargs:
            self.calls.append((name, args[0]))
        else:
            self.calls.append((name, args, kwargs))

    def read(self, *args, **kwargs):
        self._log("read", args, kwargs)
        data = self._io.read(*args, **kwargs)
        return self.on_read(args[0], data) if self.on_read else data

    def seek(self, *args, **kwargs):
        self._log("seek", args, kwargs)
        return self._io.seek(*args, **kwargs)

    def tell(self):  # not logged: for the tests' own use
        return self._io.tell()


def reads(*sizes):
    return [("read", n) for n in sizes]


def chunk_reads(length):
    """The four reads `_readChunk` makes for a complete chunk."""
    return reads(4, 4, length, 4)


# ---------------------------------------------------------------------------
# PNG


def crc(ctype, data):
    return zlib.crc32(ctype + data) & 0xFFFFFFFF


def chunk(ctype, data=b"", *, crc_value=None, length=None):
    """A PNG chunk; its CRC and length field are right unless given."""
    if crc_value is None:
        crc_value = crc(ctype, data)
    return struct.pack(">I", len(data) if length is None else length) + ctype + data + struct.pack(">I", crc_value)


def ihdr(width, height, depth=8, colour=2, compression=0, filt=0, interlace=0):
    return struct.pack(">IIBBBBB", width, height, depth, colour, compression, filt, interlace)


def scanlines(width, height, pixels, filter_byte=0, bpp=3):
    stride = width * bpp
    return b"".join(bytes([filter_byte]) + bytes(pixels[y * stride : (y + 1) * stride]) for y in range(height))


def png(*chunks):
    return PNG_SIG + b"".join(chunks)


def simple_png(width, height, raw, **header):
    """Signature, IHDR, one IDAT holding zlib(raw), IEND."""
    return png(chunk(b"IHDR", ihdr(width, height, **header)), chunk(b"IDAT", zlib.compress(raw)), IEND_CHUNK)


def png_chunks_reads(data):
    """The reads the PNG decoder makes for `data` (signature and chunks up to
    and including IEND, or to the end of the data)."""
    out = reads(8)
    pos = 8
    while pos + 4 <= len(data):
        (length,) = struct.unpack(">I", data[pos : pos + 4])
        out += chunk_reads(length)
        ctype = data[pos + 4 : pos + 8]
        pos += 12 + length
        if ctype == b"IEND":
            return out
    return out + reads(4)


# ---------------------------------------------------------------------------
# BMP


def bmp_stride(width):
    return (width * 3 + 3) // 4 * 4


def bmp_header(
    width,
    height,
    *,
    pixel_offset=54,
    file_size=None,
    dib_size=40,
    planes=1,
    bit_count=24,
    compression=0,
    image_size=None,
    ppm=2835,
):
    if image_size is None:
        image_size = max(0, bmp_stride(width) * abs(height))
    if file_size is None:
        file_size = pixel_offset + image_size
    return (
        b"BM"
        + struct.pack("<IHHI", file_size, 0, 0, pixel_offset)
        + struct.pack(
            "<IiiHHIIiiII", dib_size, width, height, planes, bit_count, compression, image_size, ppm, ppm, 0, 0
        )
    )


def bmp_rows(width, height, pixels, *, top_down=False, pad=0):
    """Stored rows (B, G, R, then pad bytes of value `pad`) of an RGB buffer."""
    stride = bmp_stride(width)
    order = range(height) if top_down else range(height - 1, -1, -1)
    out = bytearray()
    for y in order:
        for x in range(width):
            i = (y * width + x) * 3
            out += bytes((pixels[i + 2], pixels[i + 1], pixels[i]))
        out += bytes([pad]) * (stride - 3 * width)
    return bytes(out)


def bmp(width, height, pixels, *, top_down=False, gap=b"", **header):
    """A whole BMP file; `gap` goes between the headers and the rows."""
    header.setdefault("pixel_offset", 54 + len(gap))
    stored_height = -height if top_down else height
    return bmp_header(width, stored_height, **header) + gap + bmp_rows(width, height, pixels, top_down=top_down)


def rgb(width, height, seed=0):
    """A deterministic RGB buffer of width x height pixels."""
    return bytearray((seed + 7 * i + i // 3) % 256 for i in range(width * height * 3))


# ---------------------------------------------------------------------------
# Files


def fd_path(path):
    """An open file descriptor on `path`: given to a writer as its `path`, the
    host's `open(fd, "wb")` takes it over and closes it when the writer's
    `with` block ends."""
    return os.open(path, os.O_RDWR | os.O_CREAT, 0o644)


def is_open(fd):
    try:
        os.fstat(fd)
    except OSError:
        return False
    return True


def close_if_open(fd):
    if is_open(fd):
        os.close(fd)


# Indices into the fast-path counts of core/paths.hpp.
PIXEL_CALLS, INPUT_PIECES, DIRECT_INPUTS = 5, 6, 9


def path_count(module, index):
    """A fast-path count of `module`, in a build that counts its fast paths
    (the mutation tool's); None in any other."""
    import ctypes

    try:
        counts = ctypes.CDLL(module.__file__).morvanePathCounts
    except AttributeError:
        return None
    counts.restype = ctypes.POINTER(ctypes.c_uint64)
    return counts()[index]
