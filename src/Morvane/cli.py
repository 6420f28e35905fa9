"""The command line: ``python -m Morvane info FILE...``, ``convert [SRC] DST``
and ``convert SRC... --to png|bmp --out-dir DIR [-j N]``.

Every failure is reported as one line on standard error that names the file,
with exit status 1; nothing is ever left half-written at the destination.
Several files are converted in parallel worker processes, which are handed
paths (images cannot be pickled) and hand back the lines to report.
"""

from __future__ import annotations

import argparse
import os
import signal
import struct
import sys
import tempfile
import zlib
from concurrent.futures import Future, ProcessPoolExecutor, as_completed
from concurrent.futures.process import BrokenProcessPool
from importlib import metadata, resources
from typing import Callable, Iterable, Sequence, TextIO

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


def _convert(src: str | None, dst: str) -> str:
    """Convert one file; the line that reports it."""
    outFmt, write = _writer(dst)  # refuse a bad name before reading anything
    name, fmt, image = _load(src)
    _writeAtomically(image, dst, write)
    return f"{dst}: {_describe(outFmt, image)}, from {name} ({fmt})"


def _convertTask(src: str, dst: str) -> tuple[bool, str]:
    """One file of a batch, in a worker: (converted, line to report)."""
    try:
        return True, _convert(src, dst)
    except CliError as exc:
        return False, str(exc)


def cmdConvert(args: argparse.Namespace) -> int:
    if args.to is None and args.outDir is None:
        return _convertOne(args)
    if args.to is None or args.outDir is None:
        args.parser.error("--to and --out-dir go together")
    if not args.paths:
        args.parser.error("no SRC to convert")
    return _convertMany(args.paths, args.to, args.outDir, args.jobs)


def _convertOne(args: argparse.Namespace) -> int:
    """``convert [SRC] DST``."""
    if not 1 <= len(args.paths) <= 2:
        args.parser.error("give [SRC] DST, or SRC... with --to and --out-dir")
    src: str | None = args.paths[0] if len(args.paths) == 2 else None
    try:
        line = _convert(src, args.paths[-1])
    except CliError as exc:
        _error(exc)
        return 1
    print(line)
    return 0


def _plan(sources: Sequence[str], ext: str, outDir: str) -> tuple[list[tuple[str, str]], list[tuple[str, str]]]:
    """Each source's destination in ``outDir``: (source, destination) pairs,
    and (source, reason) for the sources whose destination an earlier one has."""
    tasks: list[tuple[str, str]] = []
    refusals: list[tuple[str, str]] = []
    claimed: dict[str, str] = {}
    for src in sources:
        dst = os.path.join(outDir, os.path.splitext(os.path.basename(src))[0] + ext)
        key = os.path.normcase(os.path.abspath(dst))
        if key in claimed:
            # Two workers must never write one file: the later source is refused.
            refusals.append((src, f"{src}: {dst} is already the output of {claimed[key]}"))
        else:
            claimed[key] = src
            tasks.append((src, dst))
    return tasks, refusals


def _convertMany(sources: Sequence[str], to: str, outDir: str, jobs: int) -> int:
    """``convert SRC... --to FMT --out-dir DIR``: the files in parallel."""
    try:
        os.makedirs(outDir, exist_ok=True)
    except OSError as exc:
        _error(CliError(outDir, f"cannot make the output directory: {exc.strerror or exc}"))
        return 1
    tasks, refusals = _plan(sources, "." + to, outDir)
    progress = _Progress(len(sources), sys.stderr)
    failed = 0
    try:
        for src, line in refusals:
            failed += 1
            progress.report(f"{PROG}: error: {line}", sys.stderr, src=src, ok=False)
        for src, ok, line in _run(tasks, jobs):
            if ok:
                progress.report(line, sys.stdout, src=src, ok=True)
            else:
                failed += 1
                progress.report(f"{PROG}: error: {line}", sys.stderr, src=src, ok=False)
    finally:
        progress.close()
    total = len(sources)
    summary = f"converted {total - failed} of {total} file{'s' if total != 1 else ''} to {to.upper()} in {outDir}"
    print(summary + (f" ({failed} failed)" if failed else ""))
    return 1 if failed else 0


def _run(tasks: Sequence[tuple[str, str]], jobs: int) -> Iterable[tuple[str, bool, str]]:
    """(source, converted, line) for each task, as each one finishes."""
    workers = min(jobs, len(tasks))
    if workers <= 1:
        for src, dst in tasks:
            yield (src, *_convertTask(src, dst))
        return
    unfinished: list[tuple[str, str]] = []
    with ProcessPoolExecutor(max_workers=workers, initializer=_ignoreInterrupts) as pool:
        try:
            pending: dict[Future[tuple[bool, str]], tuple[str, str]] = {}
            for task in tasks:
                try:
                    pending[pool.submit(_convertTask, *task)] = task
                except BrokenProcessPool:
                    unfinished.append(task)
            for future in as_completed(pending):
                try:
                    yield (pending[future][0], *future.result())
                except BrokenProcessPool:
                    unfinished.append(pending[future])
        except BaseException:
            # Abandoned (Ctrl-C, or the reader of the output went away): the
            # files being converted are finished, the others are not started.
            pool.shutdown(cancel_futures=True)
            raise
    # A worker died (a crash, or killed) and took the pool with it: every
    # file it left goes again in a process of its own, so the one that kills
    # its worker is named and the others are converted.
    for src, dst in unfinished:
        yield (src, *_convertAlone(src, dst))


def _convertAlone(src: str, dst: str) -> tuple[bool, str]:
    with ProcessPoolExecutor(max_workers=1, initializer=_ignoreInterrupts) as pool:
        try:
            return pool.submit(_convertTask, src, dst).result()
        except BrokenProcessPool:
            return False, f"{src}: the worker process converting it ended abruptly"


def _ignoreInterrupts() -> None:
    """In a worker: Ctrl-C is for the main process, which stops the run."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _defaultJobs() -> int:
    """The number of CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except AttributeError:
        return os.cpu_count() or 1


class _Progress:
    """A one-line progress display on a terminal, redrawn in place below the
    lines that are reported; nothing at all when ``stream`` is not a terminal."""

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total = total
        self.done = 0
        self.failed = 0
        self.stream = stream
        self.shown = stream.isatty()
        self._draw("")

    def report(self, line: str, out: TextIO, src: str, ok: bool) -> None:
        """Print ``line`` to ``out`` and count one more file done."""
        self._clear()
        print(line, file=out)
        out.flush()
        self.done += 1
        self.failed += not ok
        self._draw(src)

    def close(self) -> None:
        self._clear()

    def _width(self) -> int:
        try:
            return os.get_terminal_size(self.stream.fileno()).columns or 80
        except (OSError, ValueError, AttributeError):
            return 80

    def _draw(self, name: str) -> None:
        if not self.shown:
            return
        cells = 20
        filled = cells * self.done // self.total if self.total else cells
        text = f"converting [{'#' * filled}{'.' * (cells - filled)}] {self.done}/{self.total}"
        if self.failed:
            text += f", {self.failed} failed"
        if name:
            text += f"  {name}"
        self.stream.write("\r" + text[: self._width() - 1] + "\x1b[K")
        self.stream.flush()

    def _clear(self) -> None:
        if self.shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


def _error(exc: CliError) -> None:
    print(f"{PROG}: error: {exc}", file=sys.stderr)


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a number of processes: {text!r}")
    return value


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
        help="convert images between PNG and BMP",
        usage=f"{PROG} convert [SRC] DST\n       {PROG} convert SRC... --to {{png,bmp}} --out-dir DIR [-j N]",
        description=(
            "Read SRC (PNG or BMP, recognised by its content) and write DST as PNG or BMP, "
            "chosen by DST's extension (.png or .bmp, any case). Without SRC, the sample "
            "image bundled with Morvane is converted. "
            "With --to and --out-dir, convert every SRC to DIR/NAME.png or DIR/NAME.bmp, "
            "several at a time; a progress display is shown when standard error is a "
            "terminal, and a summary line ends the run."
        ),
    )
    convert.add_argument(
        "paths",
        nargs="*",
        metavar="[SRC] DST",
        help="the image to read (default: the bundled sample) and the file to write: "
        "NAME.png or NAME.bmp; with --to and --out-dir, the images to read",
    )
    convert.add_argument("--to", type=str.lower, choices=["png", "bmp"], help="the format to write every SRC in")
    convert.add_argument("--out-dir", dest="outDir", metavar="DIR", help="where to write them (made if missing)")
    convert.add_argument(
        "-j",
        "--jobs",
        type=_jobs,
        default=_defaultJobs(),
        metavar="N",
        help="convert N files at a time (default: the number of CPUs, %(default)s)",
    )
    convert.set_defaults(run=cmdConvert, parser=convert)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = buildParser()
    args, extra = parser.parse_known_args(argv)
    if extra and args.command == "convert" and not any(a.startswith("-") for a in extra):
        # Sources after an option: ``convert a.png --to bmp b.png --out-dir out``.
        args.paths += extra
    elif extra:
        parser.error(f"unrecognized arguments: {' '.join(extra)}")
    try:
        status: int = args.run(args)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (``info *.png | head -1``): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        # Ctrl-C: what was being written is complete or not there at all.
        return 130
    return status
