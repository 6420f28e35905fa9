"""The package's names, and images to and from numpy arrays and Pillow images."""

import io
import subprocess
import sys
import textwrap
import tomllib
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

import Morvane
from Morvane import SimpleImage

REPO = Path(__file__).resolve().parent.parent


def test_the_package_loads_what_it_needs_when_it_is_used():
    code = textwrap.dedent("""
        import sys
        import Morvane
        print("Morvane.simpleImage_ext" in sys.modules)
        image = Morvane.decode(Morvane.encode(Morvane.SimpleImage(1, 1, b"abc"), "png"))
        Morvane.save(image, "/dev/null", "bmp")
        print(Morvane.SimpleImage is Morvane.simpleImage_ext.SimpleImage, Morvane.__version__)
        print(sorted({"numpy", "PIL"} & {name.partition(".")[0] for name in sys.modules}))
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    version = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]["version"]
    assert run.stdout.splitlines() == ["False", f"True {version}", "[]"]
    assert set(Morvane.__all__) <= set(dir(Morvane))
    with pytest.raises(AttributeError, match="module 'Morvane' has no attribute 'nothing'"):
        Morvane.nothing  # noqa: B018


def _pixels(height, width, seed=0):
    return np.random.default_rng(seed).integers(0, 256, (height, width, 3), dtype=np.uint8)


@pytest.mark.parametrize(
    "make",
    [
        lambda: _pixels(3, 5),
        lambda: np.dstack([_pixels(3, 5), np.full((3, 5), 7, np.uint8)]),  # RGBA: alpha dropped
        lambda: _pixels(6, 10)[::2, ::2],  # strided
        lambda: _pixels(4, 5)[::-1, ::-1],  # negative steps
        lambda: np.asfortranarray(_pixels(4, 5)),
        lambda: _pixels(4, 5).transpose(1, 0, 2),
        lambda: _pixels(0, 5),
        lambda: _pixels(5, 0),
    ],
)
def test_numpy_round_trip(make):
    array = make()
    image = Morvane.from_numpy(array)
    assert image.size == (array.shape[1], array.shape[0])
    assert bytes(image._pixels) == array[:, :, :3].tobytes()
    assert np.array_equal(Morvane.to_numpy(image), array[:, :, :3])
    array[...] = 0  # the image owns a copy
    assert bytes(image._pixels) == bytes(Morvane.to_numpy(image))


def test_to_numpy_is_a_view_of_the_image():
    image = SimpleImage(3, 2, bytes(range(18)))
    view = Morvane.to_numpy(image)
    assert view.shape == (2, 3, 3) and view.dtype == np.uint8 and view.flags.writeable
    view[1, 2] = (7, 8, 9)
    assert image.getPixel((2, 1)) == (7, 8, 9)
    image.putPixel((0, 1), (1, 2, 3))
    assert tuple(view[1, 0]) == (1, 2, 3)
    with pytest.raises(BufferError):
        image._pixels.extend(b"xyz")  # no resizing under a view


def _resized(image):
    image.width += 1
    return image


def _without_pixels(image):
    del image._pixels
    return image


@pytest.mark.parametrize(
    "spoil, message",
    [
        (_resized, "needs a pixel buffer of 3 x 1 x 3 = 9 bytes, not 6: the image's size or its _pixels was changed"),
        (_without_pixels, "needs an image with pixels: its _pixels is None"),
    ],
)
@pytest.mark.parametrize("function", ["to_numpy", "to_pillow"])
def test_an_image_that_no_longer_fits_its_buffer_is_refused(function, spoil, message):
    image = spoil(SimpleImage(2, 1, bytes(6)))
    with pytest.raises(ValueError) as raised:
        getattr(Morvane, function)(image)
    assert str(raised.value) == f"{function}() {message}"
    negative = SimpleImage(-1, -3, bytes(9))
    with pytest.raises(ValueError, match=rf"^{function}\(\) needs an image of positive size, not -1 x -3$"):
        getattr(Morvane, function)(negative)
    with pytest.raises(TypeError, match=rf"^{function}\(\) needs a SimpleImage, not bytes$"):
        getattr(Morvane, function)(bytes(6))


@pytest.mark.parametrize(
    "array, error, message",
    [
        (np.zeros((2, 2, 3), np.int64), TypeError, "from_numpy() needs an array of dtype uint8, not int64"),
        (np.zeros((2, 2, 3), np.float32), TypeError, "from_numpy() needs an array of dtype uint8, not float32"),
        (np.zeros((2, 2, 3), np.int8), TypeError, "from_numpy() needs an array of dtype uint8, not int8"),
        (np.zeros((2, 2), np.uint8), ValueError, "not (2, 2)"),
        (np.zeros((2, 2, 2), np.uint8), ValueError, "not (2, 2, 2)"),
        (np.zeros((1, 2, 2, 3), np.uint8), ValueError, "not (1, 2, 2, 3)"),
        ([[[1, 2, 3]]], TypeError, "from_numpy() needs a numpy array, not list"),
        (b"abc", TypeError, "from_numpy() needs a numpy array, not bytes"),
    ],
)
def test_from_numpy_refusals(array, error, message):
    with pytest.raises(error) as raised:
        Morvane.from_numpy(array)
    assert str(raised.value).endswith(message)
    if error is ValueError:
        assert str(raised.value).startswith(
            "from_numpy() needs an array of shape (height, width, 3) or (height, width, 4)"
        )


def test_pillow_round_trip():
    image = Morvane.from_numpy(_pixels(7, 9))
    im = Morvane.to_pillow(image)
    assert (im.mode, im.size) == ("RGB", (9, 7))
    assert im.tobytes() == bytes(image._pixels)
    image.putPixel((0, 0), (1, 2, 3))
    assert im.getpixel((0, 0)) != (1, 2, 3)  # a copy
    again = Morvane.from_pillow(im)
    assert type(again) is SimpleImage and again.size == (9, 7)
    assert Morvane.to_pillow(SimpleImage(0, 3, b"")).size == (0, 3)


def _png_reader_pixels(im):
    """What the module's PNG reader makes of the image saved by Pillow."""
    out = io.BytesIO()
    im.save(out, "PNG")
    return bytes(SimpleImage.open(out.getvalue())._pixels)


def _palette(mode="RGB"):
    im = Image.fromarray(np.arange(12, dtype=np.uint8).reshape(3, 4) % 4, "L").convert("P")
    im.putpalette([10, 20, 30, 40, 50, 60, 70, 80, 90, 200, 210, 220])
    return im


def _palette_with_transparency():
    im = _palette()
    im.info["transparency"] = bytes([0, 128, 255, 255])
    return im


@pytest.mark.filterwarnings("error")  # Pillow's advice on palette transparency included
@pytest.mark.parametrize(
    "make, expected",
    [
        # Alpha dropped as the PNG reader drops it: the colours as they are.
        (lambda: Image.fromarray(np.dstack([_pixels(3, 4), _pixels(3, 4, 1)[:, :, 0]]), "RGBA"), _png_reader_pixels),
        (lambda: Image.fromarray(np.dstack([_pixels(3, 4), np.zeros((3, 4), np.uint8)]), "RGBA"), _png_reader_pixels),
        (lambda: Image.new("LA", (4, 3), (77, 0)), lambda im: bytes([77] * 36)),
        (lambda: _palette().convert("PA"), lambda im: _palette().convert("RGB").tobytes()),
        (_palette_with_transparency, lambda im: _palette().convert("RGB").tobytes()),
        # Premultiplied: the straight colours.
        (lambda: Image.new("RGBa", (4, 3), (10, 20, 30, 128)), lambda im: bytes([19, 39, 59] * 12)),
        (lambda: Image.new("La", (4, 3), (60, 128)), lambda im: bytes([119] * 36)),
        # Pillow's own conversion.
        (lambda: Image.fromarray(_pixels(3, 4)[:, :, 0], "L"), lambda im: im.convert("RGB").tobytes()),
        (lambda: Image.new("1", (4, 3), 1), lambda im: bytes([255] * 36)),
        (_palette, lambda im: im.convert("RGB").tobytes()),
        (lambda: Image.new("CMYK", (4, 3), (0, 255, 0, 0)), lambda im: bytes([255, 0, 255] * 12)),
    ],
)
def test_from_pillow_modes(make, expected):
    im = make()
    image = Morvane.from_pillow(im)
    assert image.size == im.size
    assert bytes(image._pixels) == expected(im)


def test_from_pillow_refusals():
    with pytest.raises(TypeError, match=r"^from_pillow\(\) needs a Pillow image, not ndarray$"):
        Morvane.from_pillow(_pixels(2, 2))
