"""Morvane: a minimal RGB image library (PNG and BMP in and out).

``SimpleImage`` is the image class. Beside it: ``decode`` opens an image
from a path, bytes or a file object, ``encode`` gives a PNG or BMP file's
bytes, and ``save`` writes one to a path or a file object; ``to_numpy`` and
``from_numpy``, ``to_pillow`` and ``from_pillow`` exchange images with numpy
and Pillow (optional: each is imported only by the functions that use it).
"""

from __future__ import annotations

# Importing the package loads nothing: each name below is fetched from its
# module when it is first used, so the compiled module is initialised only
# then (and the package stays as cheap to import as before). Type checkers
# see the names themselves.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from Morvane._api import decode, encode, from_numpy, from_pillow, save, to_numpy, to_pillow
    from Morvane.simpleImage_ext import SimpleImage

    __version__: str

__all__ = [
    "SimpleImage",
    "__version__",
    "decode",
    "encode",
    "from_numpy",
    "from_pillow",
    "save",
    "to_numpy",
    "to_pillow",
]

_HOMES = {name: "Morvane._api" for name in __all__}
_HOMES["SimpleImage"] = "Morvane.simpleImage_ext"
del _HOMES["__version__"]


def _fetch(name: str) -> object:
    if name == "__version__":
        # The installed distribution's version.
        from importlib.metadata import version

        return version("Morvane")
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import import_module

    return getattr(import_module(home), name)


if not TYPE_CHECKING:

    def __getattr__(name: str) -> object:
        value = _fetch(name)
        globals()[name] = value
        return value

    def __dir__() -> list[str]:
        return sorted(set(globals()) | set(__all__))
