"""Resource bounds: a small file announcing a huge image must fail quickly,
with the documented error (or MemoryError / OverflowError), and without the
process's memory growing by more than a few megabytes.

Each case runs in a fresh interpreter, so that its peak RSS (ru_maxrss) is
its own: a decoder that touched the announced pixel buffer, even briefly,
would show here. The time and the memory are checked only where the
allocator leaves new memory untouched: the debug allocators (testkit/spy.py) write
the whole buffer that the decoder reserves for the announced image and frees
when the data runs short (as the one-shot steps do). The outcomes are checked
everywhere.
"""

from __future__ import annotations

import json
import os
import platform
import struct
import subprocess
import sys
import textwrap
import zlib

import pytest

from testkit.spy import DEBUG_ALLOCATOR, chunk

# Peak RSS growth allowed for one decode, and its time.
MAX_GROWTH_MB = 8
MAX_SECONDS = 2.0

DRIVER = textwrap.dedent(
    """
    import json, resource, sys, time
    import Morvane.simpleImage_ext as m
    data = bytes.fromhex(sys.argv[1])
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    try:
        img = m.SimpleImage.open(data)
        outcome = ["ok", list(img.size)]
    except Exception as e:
        outcome = [type(e).__name__, str(e)]
    elapsed = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"outcome": outcome, "seconds": elapsed, "growth_kb": after - before}))
    """
)


SANITIZED = os.environ.get("MORVANE_SANITIZED") == "1"


def check_cost(result: dict) -> None:
    """The decode's time and peak memory within bounds, where the allocator
    lets them be the decoder's."""
    if DEBUG_ALLOCATOR:
        return
    assert result["seconds"] < MAX_SECONDS * (3 if SANITIZED else 1), result
    # Under ASan, freeing a block writes its shadow memory (an 8th of its
    # size): the sanitizer's cost, not the decoder's. The normal build's run
    # of this test is the one that bounds the memory.
    if not SANITIZED:
        assert result["growth_kb"] < MAX_GROWTH_MB * 1024, result


def run_open(data: bytes) -> dict:
    proc = subprocess.run([sys.executable, "-c", DRIVER, data.hex()], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


def bmp_header(width: int, height: int, rows: bytes = b"", offset: int = 54) -> bytes:
    return (
        b"BM"
        + struct.pack("<IHHI", 54 + len(rows), 0, 0, offset)
        + struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
        + rows
    )


def png_header(width: int, height: int, colour: int = 2, raw: bytes = b"\x00") -> bytes:
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, colour, 0, 0, 0))
        + chunk(b"IDAT", zlib.compress(raw))
        + chunk(b"IEND", b"")
    )


INCOMPLETE_BMP = ("ValueError", "Incomplete BMP pixel data")
MALFORMED_PNG = ("ValueError", "Malformed PNG image data")
TOO_BIG = ("MemoryError", "OverflowError")

CASES = {
    # The 58-byte BMP of the issue: 30000 x 30000 announced, 4 bytes present.
    "bmp_30000x30000_58_bytes": (bmp_header(30000, 30000, b"\x00" * 4), INCOMPLETE_BMP),
    "bmp_30000x30000_top_down": (bmp_header(30000, -30000, b"\x00" * 4), INCOMPLETE_BMP),
    # 6 GiB of pixels announced by one row of width 2**31 - 1.
    "bmp_widest_row": (bmp_header(2**31 - 1, 1, b"\x00" * 4), INCOMPLETE_BMP),
    # Pixel data past the end of the file.
    "bmp_offset_past_end": (bmp_header(30000, 30000, b"\x00" * 4, offset=2**32 - 1), INCOMPLETE_BMP),
    # Beyond what can be indexed or allocated.
    "bmp_largest": (bmp_header(2**31 - 1, -(2**31), b""), TOO_BIG),
    "bmp_petabytes": (bmp_header(2**30, 2**20, b""), TOO_BIG),
    # 2**31 empty rows.
    "bmp_empty_rows": (bmp_header(0, -(2**31), b""), None),
    "png_30000x30000": (png_header(30000, 30000), MALFORMED_PNG),
    "png_30000x30000_rgba": (png_header(30000, 30000, colour=6), MALFORMED_PNG),
    "png_widest": (png_header(2**31 - 1, 2**31 - 1), MALFORMED_PNG),
    "png_width_2_31": (png_header(2**31, 1), ("OverflowError",)),
    "png_height_2_32_minus_1": (png_header(1, 2**32 - 1), ("OverflowError",)),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_huge_announcement_is_cheap(name):
    data, expected = CASES[name]
    assert len(data) < 200
    result = run_open(data)
    kind = result["outcome"][0]
    if name == "bmp_empty_rows":
        # 2**31 rows of nothing decode; the image constructor then refuses
        # the height, which does not fit 32 bits.
        assert kind == "OverflowError", result
    elif expected is TOO_BIG:
        assert kind in TOO_BIG, result
    elif len(expected) == 1:
        assert kind == expected[0], result
    else:
        assert result["outcome"] == list(expected), result
    check_cost(result)


def test_58_byte_bmp_is_58_bytes():
    assert len(CASES["bmp_30000x30000_58_bytes"][0]) == 58


def test_png_decompression_bomb_is_bounded():
    # 32 KB of IDAT inflating to 32 MB, for a 1 x 1 image: the decoder stops
    # inflating at the image's size instead of holding all 32 MB.
    idat = zlib.compress(bytes(32 << 20), 9)
    data = (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0))
        + chunk(b"IDAT", idat)
        + chunk(b"IEND", b"")
    )
    assert len(data) < 64 << 10
    result = run_open(data)
    assert result["outcome"] == list(MALFORMED_PNG), result
    check_cost(result)


LIMITED = textwrap.dedent(
    """
    import json, os, resource, struct, sys, zlib
    import Morvane.simpleImage_ext as m

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    # 48 MiB of pixels in 58 KiB of data, enough for the decoder to ask for
    # the buffer before inflating: rows of the Up filter adding 1 to every
    # byte, so row y is all y + 1 (modulo 256).
    side = 4096
    raw = (b"\\x02" + b"\\x01" * (side * 3)) * side
    files = {name: b"\\x89PNG\\r\\n\\x1a\\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 2, 0, 0, 0))
             + chunk(b"IDAT", zlib.compress(stream, 9)) + chunk(b"IEND", b"")
             for name, stream in (("right", raw), ("short", raw[:-1]), ("long", raw + b"\\x00"))}
    del raw
    assert len(files["right"]) * 2048 > side * (side * 3 + 1)
    m.SimpleImage.open(files["right"])  # any first-use imports happen here
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)

    def limit():
        # No more than 16 MiB of address space beyond what is in use.
        pages = int(open("/proc/self/statm").read().split()[0])
        resource.setrlimit(resource.RLIMIT_AS, (pages * os.sysconf("SC_PAGE_SIZE") + (16 << 20), hard))

    def unlimit():
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

    def attempt(data):
        limit()
        try:
            image = m.SimpleImage.open(data)
            return [image.getPixel((x, y)) for x, y in ((0, 0), (side - 1, 1), (5, 255), (side - 1, side - 1))]
        except BaseException as e:
            return [type(e).__name__, str(e)]
        finally:
            unlimit()

    outcome = {name: attempt(data) for name, data in files.items()}
    # The memory is there again when the stream turns out right: the
    # stream is inflated a second time, into the buffer.
    fast = sys.modules.get("zlib_ng.zlib_ng")
    if fast is not None:
        real = fast.decompressobj
        for name, second in (("memory-back", real), ("memory-back-interrupted", None)):
            made = []

            def inflater(*args):
                made.append(args)
                if len(made) == 1:
                    unlimit()
                    return real(*args)
                if second is None:
                    raise KeyboardInterrupt
                return second(*args)

            fast.decompressobj = inflater
            outcome[name] = attempt(files["right"]) + [len(made)]
        fast.decompressobj = real
    print(json.dumps(outcome))
    """
)


@pytest.mark.skipif(SANITIZED, reason="the sanitizers reserve more address space than the limit leaves")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the address space size from /proc")
def test_png_without_memory_for_its_pixels(fast_zlib):
    # Where the pixel buffer cannot be had, the stream is still inflated (it
    # is never held whole), and only a stream of the right length gets the
    # MemoryError: a wrong one is malformed image data, as with memory.
    proc = subprocess.run([sys.executable, "-c", LIMITED], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    outcome = json.loads(proc.stdout.strip().splitlines()[-1])
    rows = [[1, 1, 1], [2, 2, 2], [0, 0, 0], [0, 0, 0]]  # rows 0, 1, 255 and 4095
    assert outcome == {
        "right": ["MemoryError", ""],
        "short": list(MALFORMED_PNG),
        "long": list(MALFORMED_PNG),
        "memory-back": rows + [2],
        "memory-back-interrupted": ["KeyboardInterrupt", "", 2],
    }


LOOP = textwrap.dedent(
    """
    import resource, sys
    data = open(sys.argv[1], "rb").read()
    import Morvane.simpleImage_ext as m
    for _ in range(3):
        m.SimpleImage.open(data)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(40):
        m.SimpleImage.open(data)
    print((resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / 40)
    """
)


@pytest.mark.skipif(SANITIZED, reason="the sanitizers' allocator keeps its own thresholds")
@pytest.mark.skipif(platform.libc_ver()[0] != "glibc", reason="glibc's heap thresholds")
def test_loop_over_small_images_reuses_its_memory(tmp_path):
    # In a fresh process, opening the same 256 x 256 image over and over
    # reuses the memory freed by the last decode: the pixel buffer and the
    # inflater's output are not faulted in anew each time (over 100 faults a
    # decode, up to a third of its time, where glibc keeps its first
    # thresholds).
    side = 256
    raw = b"".join(b"\x00" + os.urandom(side * 4) for _ in range(side))
    path = tmp_path / "noise.png"
    path.write_bytes(png_header(side, side, colour=6, raw=raw))
    # With glibc's own thresholds, not any set in the environment.
    env = {k: v for k, v in os.environ.items() if not k.startswith("MALLOC_") and k != "GLIBC_TUNABLES"}
    proc = subprocess.run([sys.executable, "-c", LOOP, str(path)], capture_output=True, text=True, timeout=120, env=env)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert float(proc.stdout) < 8, proc.stdout
