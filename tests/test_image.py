"""The SimpleImage object: construction, attributes, pixel access, copying,
pickling refusal and the class object itself."""

import array
import copy
import pickle
import weakref

import pytest

from testkit.spy import PIXEL_CALLS, path_count

SIX = bytes([1, 2, 3, 4, 5, 6])


@pytest.mark.parametrize(
    "width, height, pixels, size",
    [
        (2, 1, SIX, (2, 1)),
        (2, 1, bytearray(SIX), (2, 1)),
        (2, 1, list(SIX), (2, 1)),
        (2, 1, memoryview(SIX), (2, 1)),
        (2, 1, array.array("B", SIX), (2, 1)),
        (0, 0, b"", (0, 0)),
        (5, 0, b"", (5, 0)),
        (-1, -3, bytes(9), (-1, -3)),
        (2.9, 1, bytes(6), (2, 1)),
        (True, 1, b"abc", (1, 1)),
    ],
)
def test_construction(m, width, height, pixels, size):
    image = m.SimpleImage(width, height, pixels)
    assert image.size == size and (image.width, image.height) == size
    assert type(image._pixels) is bytearray and image._pixels == bytearray(bytes(pixels))


@pytest.mark.parametrize(
    "width, height, pixels, error, message",
    [
        (65536, 65536, b"", ValueError, "Pixel data length does not match image dimensions"),
        (1, 1, bytes(4), ValueError, "Pixel data length does not match image dimensions"),
        (-1, 3, bytes(9), ValueError, "Pixel data length does not match image dimensions"),
        (2**31 - 1, 2**31 - 1, b"", ValueError, "Pixel data length does not match image dimensions"),
        ("2", 1, bytes(6), TypeError, "an integer is required"),
        (1, None, b"abc", TypeError, "an integer is required"),
        (1, 1, [1, 2, 300], ValueError, "byte must be in range(0, 256)"),
        (1, 1, "abc", TypeError, "string argument without an encoding"),
        (1, 1, 3, TypeError, "object of type 'int' has no len()"),
        (1, 1, None, TypeError, "object of type 'NoneType' has no len()"),
        # Arrays of wider items pass the length test by their item count,
        # but their bytes do not make a buffer of that size.
        (2, 1, array.array("H", list(SIX)), ValueError, "Pixel data length does not match image dimensions"),
        (2, 1, array.array("d", list(SIX)), ValueError, "Pixel data length does not match image dimensions"),
        (
            2,
            1,
            memoryview(array.array("q", list(SIX))),
            ValueError,
            "Pixel data length does not match image dimensions",
        ),
    ],
)
def test_construction_refused(m, width, height, pixels, error, message):
    with pytest.raises(error) as info:
        m.SimpleImage(width, height, pixels)
    assert str(info.value) == message


def test_width_is_checked_before_height_and_length(m):
    with pytest.raises(OverflowError):
        m.SimpleImage(2**31, "x", None)
    with pytest.raises(TypeError, match="an integer is required"):
        m.SimpleImage(1, "x", None)


def test_buffer_is_owned_and_shared_through_pixels(m):
    source = bytearray(SIX)
    items = list(SIX)
    image, other = m.SimpleImage(2, 1, source), m.SimpleImage(2, 1, items)
    source[0] = items[0] = 99
    assert image.getPixel((0, 0)) == other.getPixel((0, 0)) == (1, 2, 3)
    assert image._pixels is image._pixels and image._pixels is not source
    image._pixels[3] = 40
    assert image.getPixel((1, 0)) == (40, 5, 6)


@pytest.mark.parametrize("coords", [(-1, 0), (2, 0), (0, -1), (0, 1), (2**70, 0), (0, -(2**70)), (-0.5, 0)])
def test_out_of_bounds(m, coords):
    image = m.SimpleImage(2, 1, SIX)
    for access in (lambda: image.getPixel(coords), lambda: image.putPixel(coords, (1, 2, 3))):
        with pytest.raises(ValueError, match=r"^Pixel coordinate out of bounds$"):
            access()
    assert image._pixels == bytearray(SIX)


@pytest.mark.parametrize("width, height", [(0, 0), (5, 0), (-1, -3)])
def test_empty_images_have_no_pixels(m, width, height):
    image = m.SimpleImage(width, height, bytes(max(0, width * height * 3)))
    with pytest.raises(ValueError, match="Pixel coordinate out of bounds"):
        image.getPixel((0, 0))


@pytest.mark.parametrize(
    "coords, message",
    [
        ((0, 0, 0), "too many values to unpack (expected 2)"),
        ((0,), "need more than 1 value to unpack"),
        ((), "need more than 0 values to unpack"),
    ],
)
def test_coordinate_arity(m, coords, message):
    image = m.SimpleImage(2, 1, SIX)
    for access in (lambda: image.getPixel(coords), lambda: image.putPixel(coords, None)):
        with pytest.raises(ValueError) as info:
            access()
        assert str(info.value) == message


class Int(int):
    """An int subclass: takes the generic path with the same results."""


@pytest.mark.parametrize(
    "coords, expected",
    [
        ((1, 0), (4, 5, 6)),
        ((Int(1), Int(0)), (4, 5, 6)),
        ((True, False), (4, 5, 6)),
        ((0, 0), (1, 2, 3)),
    ],
)
def test_get_pixel(m, coords, expected):
    image = m.SimpleImage(2, 1, SIX)
    assert image.getPixel(coords) == expected
    assert all(type(v) is int for v in image.getPixel(coords))


def test_coordinates_are_used_as_passed(m):
    image = m.SimpleImage(2, 1, SIX)
    # A float passes the bounds test and fails at the buffer's own indexing.
    with pytest.raises(TypeError, match="bytearray indices must be integers or slices, not float"):
        image.getPixel((0.5, 0))
    with pytest.raises(TypeError, match="not supported between instances of 'int' and 'str'"):
        image.getPixel(("a", 0))
    with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
        del image._pixels
        image.getPixel((0, 0))


@pytest.mark.parametrize(
    "value, stored",
    [
        ((256, -1, 300), (0, 255, 44)),
        ((1.9, True, "7"), (1, 1, 7)),
        ([10, 20, 30], (10, 20, 30)),
        (iter([7, 8, 9]), (7, 8, 9)),
        (bytes([4, 5, 6]), (4, 5, 6)),
        ((2**80 + 3, -(2**70), Int(2)), (3, 0, 2)),
        ((Int(511), 0, 0), (255, 0, 0)),
    ],
)
def test_put_pixel(m, value, stored):
    image = m.SimpleImage(2, 1, SIX)
    assert image.putPixel((1, 0), value) is None
    assert image.getPixel((1, 0)) == stored and image.getPixel((0, 0)) == (1, 2, 3)
    generic = m.SimpleImage(2, 1, SIX)
    generic.putPixel((Int(1), Int(0)), value if not hasattr(value, "__next__") else stored)
    assert generic._pixels == image._pixels


def _pixel_calls(m):
    """How many pixel calls the module served without binding their arguments."""
    return path_count(m, PIXEL_CALLS)


@pytest.mark.parametrize(
    "call",
    [
        lambda image: image.getPixel((0, 0)),
        lambda image: image.getPixel((1, 0)),
        lambda image: image.putPixel((0, 0), (7, 8, 9)),
        lambda image: image.putPixel((1, 0), [7, 8, 9]),
    ],
    ids=["get-first", "get", "put-tuple", "put-list"],
)
def test_pixel_calls_by_position_take_the_shortcut(m, call):
    # Exact ints inside the image (and three exact ints as a tuple or list):
    # served straight from the call's arguments.
    if _pixel_calls(m) is None:
        pytest.skip("a build without the counts of its fast paths")
    image = m.SimpleImage(2, 1, SIX)
    before = _pixel_calls(m)
    call(image)
    assert _pixel_calls(m) == before + 1


@pytest.mark.parametrize(
    "value, error, message, written",
    [
        ((1, 2), ValueError, "need more than 2 values to unpack", (1, 2, 3)),
        ([1], ValueError, "need more than 1 value to unpack", (1, 2, 3)),
        (iter([1, 2, 3, 4]), ValueError, "too many values to unpack (expected 3)", (1, 2, 3)),
        ((x for x in [1, 2]), ValueError, "need more than 2 values to unpack", (1, 2, 3)),
        ((1, 2, 3, 4), ValueError, "too many values to unpack (expected 3)", (1, 2, 3)),
        (5, TypeError, "'int' object is not iterable", (1, 2, 3)),
        ((5, None, 6), TypeError, None, (5, 2, 3)),
        ((5, 6, "x"), ValueError, None, (5, 6, 3)),
    ],
)
def test_put_pixel_refused(m, value, error, message, written):
    image = m.SimpleImage(2, 1, SIX)
    with pytest.raises(error) as info:
        image.putPixel((0, 0), value)
    if message:
        assert str(info.value) == message
    assert image.getPixel((0, 0)) == written


def test_put_pixel_survives_user_code_changing_the_buffer(m):
    image = m.SimpleImage(2, 1, SIX)

    class Shrinks:
        def __int__(self):
            image._pixels = bytearray(1)
            return 7

    # The green conversion replaces the buffer: the write then goes to the new
    # buffer through its own indexing, which refuses the index.
    with pytest.raises(IndexError, match="bytearray index out of range"):
        image.putPixel((1, 0), (9, Shrinks(), 9))
    assert image._pixels == bytearray(1)

    image._pixels = bytearray(SIX)

    class Clears:
        def __int__(self):
            del image._pixels
            return 1

    with pytest.raises(TypeError, match="'NoneType' object does not support item assignment"):
        image.putPixel((0, 0), (Clears(), 1, 1))


def test_get_pixel_survives_user_code_dropping_the_buffer(m):
    image = m.SimpleImage(2, 1, SIX)

    class Index:
        def __mul__(self, other):
            return self

        __add__ = __mul__

        def __index__(self):
            del image._pixels
            return 1

    class X:
        def __ge__(self, other):
            return True

        def __lt__(self, other):
            return True

        def __radd__(self, other):
            return Index()

    # The buffer being indexed stays alive while its indexing runs user code;
    # the next channel then finds no buffer.
    with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
        image.getPixel((X(), 0))


def test_dimensions_no_longer_matching_the_buffer(m):
    image = m.SimpleImage(2, 1, SIX)
    image.width = 3
    assert image.getPixel((1, 0)) == (4, 5, 6)
    with pytest.raises(IndexError, match="bytearray index out of range"):
        image.getPixel((2, 0))
    with pytest.raises(ValueError, match="Pixel data length does not match image dimensions"):
        image.copy()
    image.width = 1
    image.putPixel((0, 0), (0, 0, 0))
    assert image._pixels[:3] == bytearray(3)


def test_attribute_rules(m):
    image = m.SimpleImage(2, 1, SIX)
    for name in ("width", "height"):
        with pytest.raises(NotImplementedError, match="^__del__$"):
            delattr(image, name)
    with pytest.raises(AttributeError):
        image.size = (1, 1)
    for bad in (b"abc", [1, 2, 3], type("Sub", (bytearray,), {})(b"abc")):
        with pytest.raises(TypeError) as info:
            image._pixels = bad
        assert str(info.value) == f"Expected bytearray, got {type(bad).__name__}"
    assert image._pixels == bytearray(SIX)
    replacement = bytearray(b"xyz")
    image._pixels = replacement
    assert image._pixels is replacement and image.size == (2, 1)
    image._pixels = None
    assert image._pixels is None
    image._pixels = replacement
    del image._pixels
    assert image._pixels is None
    with pytest.raises(TypeError, match="^'NoneType' object is not subscriptable$"):
        image.copy()


def test_copy(m):
    class Sub(m.SimpleImage):
        pass

    original = Sub(2, 1, SIX)
    duplicate = original.copy()
    assert type(duplicate) is m.SimpleImage and duplicate.size == (2, 1)
    assert duplicate._pixels == original._pixels and duplicate._pixels is not original._pixels
    duplicate.putPixel((0, 0), (0, 0, 0))
    assert original.getPixel((0, 0)) == (1, 2, 3)


@pytest.mark.parametrize(
    "duplicate",
    [
        pickle.dumps,
        copy.copy,
        copy.deepcopy,
        lambda image: image.__reduce__(),
        lambda image: image.__reduce_ex__(2),
        lambda image: image.__setstate__({}),
    ],
)
def test_pickling_refused(m, duplicate):
    with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
        duplicate(m.SimpleImage(1, 1, b"abc"))


def test_class_object(m):
    cls = m.SimpleImage
    image = cls(1, 1, b"abc")
    assert cls.__name__ == "SimpleImage" and cls.__qualname__ == "SimpleImage"
    assert cls.__module__ == "Morvane.simpleImage_ext" and cls.__bases__ == (object,)
    assert cls.__doc__ and "\n" not in cls.__doc__
    assert repr(image).startswith("<Morvane.simpleImage_ext.SimpleImage object at 0x")
    assert image == image and image != cls(1, 1, b"abc") and hash(image) == hash(image)
    with pytest.raises(AttributeError):
        image.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(image)
    with pytest.raises(TypeError):
        len(image)
    for attempt in (lambda: setattr(cls, "copy", None), lambda: delattr(cls, "copy"), lambda: setattr(cls, "extra", 1)):
        with pytest.raises(TypeError):
            attempt()
    assert not hasattr(cls, "__init__") or cls.__init__ is object.__init__


def test_subclasses(m):
    finalised = []

    class Sub(m.SimpleImage):
        def __init__(self, *args, **kwargs):
            self.note = args

        def getPixel(self, coords):
            return "overridden"

        def __del__(self):
            finalised.append(self.size)

    image = Sub(2, 1, SIX)
    image.extra = 1
    assert weakref.ref(image)() is image and image.note == (2, 1, SIX)
    assert image.getPixel((0, 0)) == "overridden"
    del image
    assert finalised == [(2, 1)]
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes exactly 3 positional arguments \(1 given\)$"):
        Sub(1)
    with pytest.raises(ValueError, match="Pixel data length does not match image dimensions"):
        Sub(1, 1, b"")
