"""The PNG decoders we are timed against, and the floor, behind one interface.

Not a benchmark itself. Each peer is a function from the bytes of a PNG file
to the decoded picture (whatever the library returns), and a function from
that picture to its RGB bytes, rows top first, so that every decoder can be
checked against ours before anything is timed. A peer whose package is not
installed is left out (``pip install ".[bench]"`` installs them all).

    ours            Morvane.SimpleImage.open(data)
    Pillow          Image.open(BytesIO(data)).load()
    OpenCV          cv2.imdecode(frombuffer(data), IMREAD_UNCHANGED)  (BGR order)
    pyspng          pyspng.load(data)                                 (libspng)
    libpng          imagecodecs.png_decode(data)
    libspng         imagecodecs.spng_decode(data)
    pyvips          pyvips.Image.new_from_buffer(data, "", access="sequential").write_to_memory()
    imageio         imageio.v3.imread(data, extension=".png")
    pypng           png.Reader(bytes=data).read_flat()                (pure Python)

The floor is zlib-ng's one-call inflate of the file's IDAT data (the inflater
ours uses): ``zlib_ng.zlib_ng.decompress(idat)``.
"""

from __future__ import annotations

import io
from collections.abc import Callable
from dataclasses import dataclass


@dataclass
class Peer:
    name: str
    decode: Callable  # bytes -> picture
    rgb: Callable  # picture -> RGB bytes, rows top first
    version: str
    # The largest side worth timing (pypng takes minutes at 4096²).
    max_side: int = 1 << 30


def _drop_alpha(raw: bytes, channels: int) -> bytes:
    if channels == 3:
        return raw
    raw = bytes(raw)  # pyvips gives a buffer that cannot be sliced with a step
    out = bytearray(len(raw) // 4 * 3)
    for c in range(3):
        out[c::3] = raw[c::4]
    return bytes(out)


def _array_rgb(a, bgr: bool = False) -> bytes:
    import numpy as np  # noqa: PLC0415

    a = np.asarray(a)
    if a.ndim == 2:
        a = a[:, :, None]
    rgb = a[:, :, [2, 1, 0]] if bgr else a[:, :, :3]
    return np.ascontiguousarray(rgb).tobytes()


def ours():
    from Morvane.simpleImage_ext import SimpleImage  # noqa: PLC0415

    return Peer("ours", SimpleImage.open, lambda img: bytes(img._pixels), "")


def available(only: str | None = None) -> list[Peer]:
    """The peers whose packages import, in a fixed order; with `only`, just
    the one of that name, without importing the others' packages."""
    peers = []

    def want(*names: str) -> bool:
        return only is None or only in names

    try:
        if not want("Pillow"):
            raise ImportError
        import PIL  # noqa: PLC0415
        from PIL import Image  # noqa: PLC0415

        def pillow(data):
            im = Image.open(io.BytesIO(data))
            im.load()
            return im

        peers.append(Peer("Pillow", pillow, lambda im: im.convert("RGB").tobytes(), PIL.__version__))
    except ImportError:
        pass
    try:
        if not want("OpenCV"):
            raise ImportError
        import cv2  # noqa: PLC0415
        import numpy as np  # noqa: PLC0415

        peers.append(
            Peer(
                "OpenCV",
                lambda data: cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED),
                lambda a: _array_rgb(a, bgr=True),
                cv2.__version__,
            )
        )
    except ImportError:
        pass
    try:
        if not want("pyspng"):
            raise ImportError
        import pyspng  # noqa: PLC0415

        peers.append(Peer("pyspng", pyspng.load, _array_rgb, getattr(pyspng, "__version__", "?")))
    except ImportError:
        pass
    try:
        if not want("libpng", "libspng"):
            raise ImportError
        import imagecodecs  # noqa: PLC0415

        peers.append(Peer("libpng", imagecodecs.png_decode, _array_rgb, imagecodecs.png_version()))
        peers.append(Peer("libspng", imagecodecs.spng_decode, _array_rgb, imagecodecs.spng_version()))
    except (ImportError, AttributeError):
        pass
    try:
        if not want("pyvips"):
            raise ImportError
        import pyvips  # noqa: PLC0415

        def vips(data):
            im = pyvips.Image.new_from_buffer(data, "", access="sequential")
            return im.bands, im.write_to_memory()

        version = ".".join(str(pyvips.version(i)) for i in range(3))
        peers.append(Peer("pyvips", vips, lambda r: _drop_alpha(r[1], r[0]), f"libvips {version}"))
    except (ImportError, OSError):
        pass
    try:
        if not want("imageio"):
            raise ImportError
        import imageio  # noqa: PLC0415
        import imageio.v3 as iio  # noqa: PLC0415

        peers.append(Peer("imageio", lambda data: iio.imread(data, extension=".png"), _array_rgb, imageio.__version__))
    except ImportError:
        pass
    try:
        if not want("pypng"):
            raise ImportError
        import png  # noqa: PLC0415

        def pypng(data):
            w, h, rows, info = png.Reader(bytes=data).read_flat()
            return info["planes"], bytes(rows)

        peers.append(
            Peer("pypng", pypng, lambda r: _drop_alpha(r[1], r[0]), getattr(png, "__version__", "?"), max_side=1024)
        )
    except ImportError:
        pass
    return peers


def floor():
    """zlib-ng's one-call inflate, and its version; None without zlib-ng."""
    try:
        import zlib_ng  # noqa: PLC0415
        from zlib_ng import zlib_ng as zn  # noqa: PLC0415
    except ImportError:
        return None, "zlib-ng not installed"
    return zn.decompress, f"zlib-ng {getattr(zn, 'ZLIBNG_VERSION', '?')} (package {zlib_ng.__version__})"
