"""Regression tests for memory-safety bugs found by review and by the
sanitizer build (tools/sanitize-tests.sh). Each test names the bug it pins.
In the normal build a regression may pass silently or crash; in the sanitizer
build it aborts with a report, so keep these running there too."""

import pytest


def test_putpixel_value_iterator_shrinks_buffer(m):
    # putPixel computed its fast index, then drew the items of `value`; a
    # generator that swapped in a smaller buffer made it write past the end
    # of the new one (heap-buffer-overflow).
    img = m.SimpleImage(64, 64, bytes(64 * 64 * 3))

    def channels():
        img._pixels = bytearray(3)
        yield from (1, 2, 3)

    with pytest.raises(IndexError):
        img.putPixel((63, 63), channels())
    assert img._pixels == bytearray(3)


def test_putpixel_value_iterator_clears_buffer_in_place(m):
    img = m.SimpleImage(8, 8, bytes(8 * 8 * 3))
    buf = img._pixels

    def channels():
        buf.clear()
        yield from (1, 2, 3)

    with pytest.raises(IndexError):
        img.putPixel((7, 7), channels())
    assert buf == bytearray()


def test_putpixel_value_iterator_deletes_buffer(m):
    img = m.SimpleImage(2, 2, bytes(12))

    def channels():
        del img._pixels
        yield from (1, 2, 3)

    with pytest.raises(TypeError):
        img.putPixel((1, 1), channels())
    assert img._pixels is None


def test_putpixel_value_iterator_replaces_with_larger_buffer(m):
    # The index computed before `value` was read is the one used.
    img = m.SimpleImage(2, 1, bytes(6))
    bigger = bytearray(30)

    def channels():
        img._pixels = bigger
        yield from (7, 8, 9)

    img.putPixel((1, 0), channels())
    assert bigger[3:6] == bytearray([7, 8, 9])


class _LenientStruct:
    """The struct module with a pack that wraps out-of-range values instead
    of refusing them (the module looks struct up by name at each use)."""

    @staticmethod
    def pack(fmt, *values):
        import struct

        sizes = {"I": 4, "H": 2, "i": 4, "B": 1}
        codes = [c for c in fmt if c in sizes]
        return struct.pack(fmt, *[v % (1 << (8 * sizes[c])) if c.isupper() else v for c, v in zip(codes, values)])

    @staticmethod
    def unpack(fmt, data):
        import struct

        return struct.unpack(fmt, data)


def test_writebmp_short_buffer_huge_dimensions_with_lenient_struct(m, tmp_path, monkeypatch):
    # With struct.pack no longer refusing a file size of 2^64, _writeBmp
    # reached its rows with width and height near 2^31; the offset of the
    # bottom row overflowed 64 bits (UBSan: signed integer overflow), the
    # short-buffer test passed, and the row copy read far outside the buffer
    # (SIGSEGV in the normal build). It must fail with IndexError on the
    # first row, as for any short buffer.
    monkeypatch.setattr(m, "struct", _LenientStruct)
    path = tmp_path / "huge.bmp"
    with pytest.raises(IndexError):
        m._writeBmp(str(path), 2**31 - 1, 2**31 - 1, bytes(30))
    assert path.stat().st_size == 54
