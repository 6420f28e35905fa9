"""Mistakes the type stubs must catch.

mypy runs on this file with --warn-unused-ignores: each ``type: ignore`` below
must silence exactly the error named, or the check fails. Not meant to run.
"""

from pathlib import Path

import Morvane
from Morvane.simpleImage_ext import SimpleImage, _makeChunk


def mistakes(image: SimpleImage) -> None:
    image.getPixel([0, 0])  # type: ignore[arg-type]
    image.putPixel((0, 0))  # type: ignore[call-arg]
    image.save(Path("out.png"))  # type: ignore[arg-type]
    image.saveBmp(None)  # type: ignore[arg-type]
    image.copy(1)  # type: ignore[call-arg]
    image.size = (1, 1)  # type: ignore[misc]
    image.width = "3"  # type: ignore[assignment]
    image._pixels = b"abc"  # type: ignore[assignment]
    image._pixels[0]  # type: ignore[index]
    image.resize((2, 2))  # type: ignore[attr-defined]
    SimpleImage.open(42)  # type: ignore[arg-type]
    SimpleImage(1, 1)  # type: ignore[call-arg]
    _makeChunk("IEND", b"")  # type: ignore[arg-type]
    red: str = image.getPixel((0, 0))[0]  # type: ignore[assignment]
    Morvane.encode(image)  # type: ignore[call-arg]
    Morvane.decode(42)  # type: ignore[arg-type]
    Morvane.save(image, 42)  # type: ignore[arg-type]
    Morvane.save(b"data", "out.png")  # type: ignore[arg-type]
    Morvane.from_numpy([[[1, 2, 3]]])  # type: ignore[arg-type]
    Morvane.from_pillow(image)  # type: ignore[arg-type]
    Morvane.load("in.png")  # type: ignore[attr-defined]
    data: str = Morvane.encode(image, "png")  # type: ignore[assignment]
