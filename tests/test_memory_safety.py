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
