"""The command line: ``python -m Morvane info FILE...`` and ``convert [SRC] DST``.

Every failure is reported as one line on standard error that names the file,
with exit status 1; nothing is ever left half-written at the destination.
"""

from __future__ import annotations

import argparse
import os
import struct
import sys
import tempfile
import zlib
from importlib import metadata, resources
from typing import Callable, Sequence

from Morvane.simpleImage_ext import PNG_SIGNATURE, SimpleImage

PROG = "python -m Morvane"
SAMPLE = "sample.png"
WRITERS = {".png": ("PNG", SimpleImage.save), ".bmp": ("BMP", SimpleImage.saveBmp)}


class CliError(Exception):
    """A failure to report as ``FILE: reason`` and exit with status 1."""

    def __init__(self, name: str, reason: str) -> None:
        super().__init__(f"{name}: {reason}")


def _formatOf(data: bytes) -> str:
    # Only for data that SimpleImage.open accepted, so it is one or the other.
    return "PNG" if data.startswith(PNG_SIGNATURE) else "BMP"


def _load(path: str | None) -> tuple[str, str, SimpleImage]:
    """Read and decode one image: (name to report, format, image)."""
    if path is None:
        name = f"bundled {SAMPLE}"
        data = resources.files("Morvane").joinpath(SAMPLE).read_bytes()
    else:
        name = path
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError as exc:
            raise CliError(name, f"cannot read: {exc.strerror or exc}") from None
    try:
        image = SimpleImage.open(data)
    except ValueError as exc:
        # The library's own refusals: unsupported variants and damaged files.
        raise CliError(name, str(exc)) from None
    except (zlib.error, struct.error) as exc:
        raise CliError(name, f"damaged image data ({exc})") from None
    except (OverflowError, MemoryError):
        raise CliError(name, "image too large to load") from None
    return name, _formatOf(data), image


def _describe(fmt: str, image: SimpleImage) -> str:
    return f"{fmt} {image.width}x{image.height}"


def _writer(dst: str) -> tuple[str, Callable[[SimpleImage, str], None]]:
    """The output format named by ``dst``'s extension, and its writer."""
    ext = os.path.splitext(dst)[1]
    if ext.lower() not in WRITERS:
        named = f"extension {ext!r}" if ext else "no extension"
        raise CliError(dst, f"unknown output format ({named}): use .png or .bmp")
    return WRITERS[ext.lower()]


def _writeAtomically(image: SimpleImage, dst: str, write: Callable[[SimpleImage, str], None]) -> None:
    """Write ``image`` to ``dst`` with ``write``.

    The file is written beside ``dst`` under a temporary name and renamed over
    it only once complete, so a failure never leaves a partial file.
    """
    try:
        fd, tmp = tempfile.mkstemp(dir=os.path.dirname(dst) or ".", prefix=".morvane-")
    except OSError as exc:
        raise CliError(dst, f"cannot write: {exc.strerror or exc}") from None
    os.close(fd)
    try:
        write(image, tmp)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)  # mkstemp makes the file private; give it the usual mode
        os.replace(tmp, dst)
    except BaseException as exc:
        os.unlink(tmp)
        if isinstance(exc, OSError):
            raise CliError(dst, f"cannot write: {exc.strerror or exc}") from None
        raise


def cmdInfo(args: argparse.Namespace) -> int:
    status = 0
    for path in args.files:
        try:
            name, fmt, image = _load(path)
        except CliError as exc:
            _error(exc)
            status = 1
            continue
        print(f"{name}: {_describe(fmt, image)}")
    return status


def cmdConvert(args: argparse.Namespace) -> int:
    src: str | None = args.src
    dst: str = args.dst
    try:
        outFmt, write = _writer(dst)  # refuse a bad name before reading anything
        name, fmt, image = _load(src)
        _writeAtomically(image, dst, write)
    except CliError as exc:
        _error(exc)
        return 1
    print(f"{dst}: {_describe(outFmt, image)}, from {name} ({fmt})")
    return 0


def _error(exc: CliError) -> None:
    print(f"{PROG}: error: {exc}", file=sys.stderr)


def _version() -> str:
    try:
        return metadata.version("Morvane")
    except metadata.PackageNotFoundError:
        return "unknown"


def buildParser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Inspect and convert PNG and BMP images with Morvane.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = sub.add_parser(
        "info",
        help="print the format and size of image files",
        description="Print each file's format (found from its content) and size in pixels.",
    )
    info.add_argument("files", nargs="+", metavar="FILE", help="a PNG or BMP file")
    info.set_defaults(run=cmdInfo)

    convert = sub.add_parser(
        "convert",
        help="convert an image between PNG and BMP",
        description=(
            "Read SRC (PNG or BMP, recognised by its content) and write DST as PNG or BMP, "
            "chosen by DST's extension (.png or .bmp, any case). Without SRC, the sample "
            "image bundled with Morvane is converted."
        ),
    )
    convert.add_argument(
        "src", nargs="?", metavar="SRC", help="the image to read (default: the bundled sample)"
    )
    convert.add_argument("dst", metavar="DST", help="the file to write: NAME.png or NAME.bmp")
    convert.set_defaults(run=cmdConvert)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = buildParser().parse_args(argv)
    try:
        status: int = args.run(args)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (``info *.png | head -1``): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return status
