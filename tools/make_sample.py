"""Regenerate src/Morvane/sample.png, the image that ships with the package.

The picture is a fixed pattern (colour ramps, a checkerboard and a disc), so
running this again gives the same pixels; it is written by Morvane's own PNG
writer. tests/test_cli.py checks that the shipped file still matches.

    python tools/make_sample.py
"""

from pathlib import Path

WIDTH, HEIGHT = 64, 48
SAMPLE = Path(__file__).resolve().parent.parent / "src" / "Morvane" / "sample.png"


def pattern(width: int = WIDTH, height: int = HEIGHT) -> bytearray:
    """The sample's RGB pixel buffer, rows top first."""
    pixels = bytearray()
    cx, cy, r = width // 2, height // 2, min(width, height) // 3
    for y in range(height):
        for x in range(width):
            if (x - cx) ** 2 + (y - cy) ** 2 <= r * r:
                pixels += bytes((255, 255, 255))
            else:
                red = x * 255 // max(width - 1, 1)
                green = y * 255 // max(height - 1, 1)
                blue = 192 if (x // 8 + y // 8) % 2 else 64
                pixels += bytes((red, green, blue))
    return pixels


def main() -> None:
    from Morvane.simpleImage_ext import SimpleImage

    SimpleImage(WIDTH, HEIGHT, pattern()).save(str(SAMPLE))
    print(f"wrote {SAMPLE} ({SAMPLE.stat().st_size} bytes)")


if __name__ == "__main__":
    main()
