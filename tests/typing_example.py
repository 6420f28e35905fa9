"""User code that touches every published name of Morvane.simpleImage_ext.

tests/test_typing.py has mypy check this file under --strict (every
``assert_type`` is a claim about the type stubs) and also runs ``main`` for
real, so the calls shown here are known to work.
"""

from __future__ import annotations

import io
import sys
from pathlib import Path
from typing import Tuple, assert_type

import numpy as np
import numpy.typing as npt
from PIL import Image

import Morvane
from Morvane.simpleImage_ext import (
    PNG_SIGNATURE,
    ImageInput,
    SimpleImage,
    _makeChunk,
    _readChunk,
    _writeBmp,
    _writePng,
)


class Thumbnail(SimpleImage):
    pass


def main(directory: Path) -> None:
    image = SimpleImage(2, 1, bytes([1, 2, 3, 4, 5, 6]))
    assert_type(image.size, Tuple[int, int])
    assert_type(image.width, int)
    assert_type(image.height, int)
    assert_type(image.getPixel((1, 0)), Tuple[int, int, int])
    assert_type(image.getPixel(coords=(1, 0)), Tuple[int, int, int])
    assert_type(image.putPixel((0, 0), (10, 20, 30)), None)
    image.putPixel(coords=(1, 0), value=[40, 50, 60])
    SimpleImage(1, 1, [7, 8, 9])
    SimpleImage(width=1, height=1, pixels=bytearray(3))

    pixels = image._pixels
    assert_type(pixels, bytearray | None)
    if pixels is not None:
        pixels[0] = 11
    image._pixels = bytearray(pixels or b"")
    image._pixels = None
    image._pixels = bytearray(6)
    image.width, image.height = 1, 2

    duplicate = image.copy()
    assert_type(duplicate, SimpleImage)
    assert_type(Thumbnail(1, 1, b"abc"), Thumbnail)

    png, bmp = directory / "example.png", directory / "example.bmp"
    assert_type(image.save(str(png)), None)
    assert_type(image.saveBmp(path=str(bmp)), None)

    sources: list[ImageInput] = [str(png), png, png.read_bytes(), bytearray(bmp.read_bytes())]
    for source in sources:
        opened = SimpleImage.open(source)
        assert_type(opened, SimpleImage)
        assert opened.size == (1, 2)
    SimpleImage.open(source=bmp)

    with open(png, "rb") as stream:
        width, height, buffer = SimpleImage._streamToImage(stream)
    assert_type(buffer, bytearray)
    assert_type(SimpleImage._streamToImage(io.BytesIO(png.read_bytes())), Tuple[int, int, bytearray])

    assert_type(PNG_SIGNATURE, bytes)
    chunk = _makeChunk(b"IEND", b"")
    assert_type(chunk, bytes)
    chunkType, data = _readChunk(io.BytesIO(chunk))
    assert_type(_readChunk(stream=io.BytesIO(b"")), Tuple[bytes, bytes])
    assert (chunkType, data) == (b"IEND", b"")

    assert_type(_writePng(png, width, height, buffer), None)
    _writePng(str(png), 1, 1, b"\x00\x00\x00")
    assert_type(_writeBmp(bmp, 1, 1, [255, 0, 0]), None)
    _writeBmp(path=str(bmp), width=1, height=1, pixels=bytearray(3))

    # The package's own functions.
    assert_type(Morvane.__version__, str)
    assert_type(Morvane.SimpleImage, type[SimpleImage])
    encoded = Morvane.encode(image, "bmp")
    assert_type(encoded, bytes)
    for readable in (str(bmp), bmp, encoded, bytearray(encoded), memoryview(encoded), io.BytesIO(encoded)):
        assert_type(Morvane.decode(readable), SimpleImage)
    with open(bmp, "rb") as binary:
        assert_type(Morvane.decode(binary), SimpleImage)
    other = directory / "api.bmp"
    Morvane.save(image, other)
    Morvane.save(image, str(other), format="bmp")
    Morvane.save(image, io.BytesIO(), "png")
    with open(other, "wb") as output:
        Morvane.save(image, output)
    array = Morvane.to_numpy(image)
    assert_type(array, npt.NDArray[np.uint8])
    assert_type(Morvane.from_numpy(array), SimpleImage)
    picture = Morvane.to_pillow(image)
    assert_type(picture, Image.Image)
    assert_type(Morvane.from_pillow(picture.convert("RGBA")), SimpleImage)


if __name__ == "__main__":
    main(Path(sys.argv[1]))
