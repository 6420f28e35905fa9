"""encode()'s in-memory BMP writer (private: use Morvane.encode)."""

from typing_extensions import Buffer

def bmp(width: int, height: int, pixels: Buffer, /) -> bytes:
    """The bytes of the BMP file saveBmp() writes for the image."""
