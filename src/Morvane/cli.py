"""The command line, installed as ``morvane`` (also ``python -m Morvane``).

    info FILE...                                   format and size, from the headers
    convert SRC DST                                one file, PNG or BMP by DST's extension
    convert SRC... --to png|bmp --out-dir DIR      many files, in parallel worker processes
    sample OUT                                     the bundled sample picture

No command replaces an existing file unless -f is given: without it the file
is skipped with an error and the run goes on with the others. A file is
written under a temporary name beside its destination and only then given
its name (a hard link, which fails if the name is taken; a rename with -f),
so nothing is ever left half-written at a destination.

Ctrl-C ends a run between files. A file being written is finished and
reported first: in this process, Ctrl-C is held back over the writing and
reporting of a file; worker processes ignore it, and the main process lets
the conversions they are running finish, and starts no more. A summary on
standard error says the run was interrupted, and the exit status is 130.

Every failure is reported as one line on standard error that names the file,
with exit status 1; a bad command line exits with status 2.
"""

from __future__ import annotations

import argparse
import dataclasses
import errno
import os
import signal
import struct
import sys
import threading
import zlib
from collections import deque
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, Sequence, TextIO

from Morvane import _header

if TYPE_CHECKING:
    from concurrent.futures import Future

    from Morvane.simpleImage_ext import SimpleImage

PROG = "python -m Morvane"
SAMPLE = "sample.png"
STDIO = "-"
FORMATS = ("png", "bmp")
# The prefix of the temporary files written beside a destination; -r never
# takes them for sources.
TEMP_PREFIX = ".morvane-"
# link() fails with these where the file system has no hard links (FAT, some
# network file systems); other failures are real ones.
_NO_HARD_LINKS = {errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP, errno.ENOSYS, errno.EMLINK}


class CliError(Exception):
    """A failure to report as ``FILE: reason``."""

    def __init__(self, name: str, reason: str) -> None:
        super().__init__(f"{name}: {reason}")


@dataclasses.dataclass(frozen=True)
class Options:
    """What a conversion needs to know of the command line (sent to the workers)."""

    force: bool = False
    verbose: bool = False


def _ext() -> Any:
    """The extension module, imported when first needed (``info`` does without)."""
    from Morvane import simpleImage_ext

    return simpleImage_ext


# --- Ctrl-C --------------------------------------------------------------------------------------------------------


class Interrupts:
    """Ctrl-C during a run.

    While ``raising`` is true, the first Ctrl-C raises KeyboardInterrupt, but
    not within a ``deferred()`` block: there it is held back to the block's
    end. Every Ctrl-C is counted in ``count``; once one has been raised, or
    while ``raising`` is false, Ctrl-C is only counted.
    """

    def __init__(self) -> None:
        self.count = 0
        self.raising = True
        self._depth = 0
        self._held = False
        self._previous: Any = None

    def install(self) -> None:
        """Take over SIGINT, unless it is ignored (a background job) or this is not the main thread."""
        if threading.current_thread() is not threading.main_thread():
            return
        if signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
            return
        self._previous = signal.signal(signal.SIGINT, self._handle)

    def uninstall(self, *, ignore: bool) -> None:
        """Give SIGINT back, or ignore it from now on (the run is over and the process exits)."""
        if self._previous is None:
            return
        if ignore and hasattr(signal, "pthread_sigmask"):
            # Blocked rather than set to SIG_IGN: a Ctrl-C that comes while
            # the handler is being changed would make Python complain.
            self.raising = False
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        else:
            signal.signal(signal.SIGINT, signal.SIG_IGN if ignore else self._previous)
        self._previous = None

    def _handle(self, signum: int, frame: object) -> None:
        self.count += 1
        if not self.raising:
            return
        if self._depth:
            self._held = True
            return
        self.raising = False
        raise KeyboardInterrupt

    @contextmanager
    def deferred(self) -> Iterator[None]:
        """Hold Ctrl-C back over the block; raise it at the end."""
        self._depth += 1
        try:
            yield
        finally:
            self._depth -= 1
        if self._held and not self._depth:
            self._held = False
            if self.raising:
                self.raising = False
                raise KeyboardInterrupt


@contextmanager
def _signals_blocked() -> Iterator[None]:
    """SIGINT blocked in this thread: around the start of worker processes,
    which inherit the mask and unblock it once they ignore SIGINT, and of the
    pool's threads, which keep it blocked."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    old = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


def _worker_start() -> None:
    """In a worker: Ctrl-C is for the main process, which ends the run."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


# --- reporting -------------------------------------------------------------------------------------------------------


class Reporter:
    """Where the lines of a run go: successes to standard output (none with
    -q), errors to standard error, each whole even if Ctrl-C comes."""

    def __init__(self, prog: str, quiet: bool, interrupts: Interrupts) -> None:
        self.prog = prog
        self.quiet = quiet
        self.interrupts = interrupts
        self.progress: Progress | None = None

    def ok(self, line: str, src: str = "", stream: TextIO | None = None) -> None:
        self._say(None if self.quiet else line, stream or sys.stdout, src, ok=True)

    def error(self, message: str, src: str = "") -> None:
        self._say(f"{self.prog}: error: {message}", sys.stderr, src, ok=False)

    def note(self, message: str) -> None:
        """A line about the run, on standard error whatever -q says."""
        self._say(f"{self.prog}: {message}", sys.stderr, "", ok=True, counted=False)

    def _say(self, line: str | None, stream: TextIO, src: str, ok: bool, counted: bool = True) -> None:
        with self.interrupts.deferred():
            if self.progress is not None and counted:
                self.progress.report(line, stream, src=src, ok=ok)
            elif line is not None:
                if self.progress is not None:
                    self.progress.clear()
                print(line, file=stream)
                stream.flush()


class Progress:
    """A one-line progress display on a terminal, redrawn in place below the
    lines that are reported; nothing at all when ``stream`` is not a terminal."""

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total = total
        self.done = 0
        self.failed = 0
        self.stream = stream
        self.shown = stream.isatty()
        self._draw("")

    def report(self, line: str | None, out: TextIO, src: str, ok: bool) -> None:
        """Print ``line`` (if any) to ``out`` and count one more file done."""
        self.clear()
        if line is not None:
            print(line, file=out)
            out.flush()
        self.done += 1
        self.failed += not ok
        self._draw(src)

    def clear(self) -> None:
        if self.shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()

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


# --- reading -----------------------------------------------------------------------------------------------------------


def _why(exc: BaseException) -> str | None:
    """How a refusal of the readers is reported, or None for other exceptions."""
    if isinstance(exc, ValueError):
        # The library's own refusals: unsupported variants and damaged files.
        return str(exc)
    if isinstance(exc, (zlib.error, struct.error)):
        return f"damaged image data ({exc})"
    if isinstance(exc, (OverflowError, MemoryError)):
        return "image too large to load"
    return None


def _cannot(what: str, exc: OSError) -> str:
    return f"cannot {what}: {exc.strerror or exc}"


def _read_stdin() -> bytes:
    return sys.stdin.buffer.read()


def _display_name(path: str) -> str:
    return "standard input" if path == STDIO else path


def _read_source(path: str | None) -> tuple[str, bytes]:
    """(name to report, bytes) of a file, of standard input (``-``) or of the bundled sample (None)."""
    if path is None:
        from importlib import resources

        return f"bundled {SAMPLE}", resources.files("Morvane").joinpath(SAMPLE).read_bytes()
    name = _display_name(path)
    try:
        if path == STDIO:
            return name, _read_stdin()
        with open(path, "rb") as f:
            return name, f.read()
    except OSError as exc:
        raise CliError(name, _cannot("read", exc)) from None


@dataclasses.dataclass
class Loaded:
    name: str
    format: str
    image: SimpleImage
    size: int  # of the file, in bytes
    alpha: bool  # the PNG had an alpha channel, which was dropped


def _load(path: str | None, verbose: bool = False) -> Loaded:
    """Read and decode one image."""
    name, data = _read_source(path)
    ext = _ext()
    try:
        image = ext.SimpleImage.open(data)
    except Exception as exc:
        reason = _why(exc)
        if reason is None:
            raise
        raise CliError(name, reason) from None
    # Only for data that SimpleImage.open accepted, so it is one or the other.
    fmt = "PNG" if data.startswith(ext.PNG_SIGNATURE) else "BMP"
    alpha = verbose and fmt == "PNG" and _header.read_header(data).alpha
    return Loaded(name, fmt, image, len(data), alpha)


def _describe(fmt: str, width: int, height: int) -> str:
    return f"{fmt} {width}x{height}"


def _bytes(count: int) -> str:
    return f"{count} byte{'s' if count != 1 else ''}"


# --- writing -----------------------------------------------------------------------------------------------------------


def _format_of(dst: str) -> str:
    """The output format ("png" or "bmp") that ``dst``'s extension names."""
    ext = os.path.splitext(dst)[1]
    if ext.lower() not in (".png", ".bmp"):
        named = f"extension {ext!r}" if ext else "no extension"
        raise CliError(dst, f"unknown output format ({named}): use .png or .bmp")
    return ext[1:].lower()


def _save(image: SimpleImage, fmt: str, path: str) -> None:
    (image.save if fmt == "png" else image.saveBmp)(path)


def _taken(dst: str) -> str:
    """Why an existing ``dst`` is not written."""
    if os.path.isdir(dst):
        return _cannot("write", IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR)))
    return "already exists (use -f to replace it)"


def _check_free(dst: str, options: Options) -> None:
    """Refuse a destination that exists before any work is spent on it (the writing checks again)."""
    if not options.force and os.path.lexists(dst):
        raise CliError(dst, _taken(dst))


_umask: int | None = None


def _file_mode() -> int:
    """The mode a new file gets here (temporary files are made private)."""
    global _umask
    if _umask is None:
        _umask = os.umask(0)
        os.umask(_umask)
    return 0o666 & ~_umask


def _write(write: Callable[[str], None], dst: str, force: bool) -> None:
    """Write a file to ``dst`` with ``write(path)``: under a temporary name
    beside it, then given its name, so that it appears complete or not at all.
    Without ``force`` an existing ``dst`` is never replaced, even one that
    appears meanwhile."""
    import tempfile

    try:
        fd, tmp = tempfile.mkstemp(dir=os.path.dirname(dst) or ".", prefix=TEMP_PREFIX)
    except OSError as exc:
        raise CliError(dst, _cannot("write", exc)) from None
    os.close(fd)
    try:
        write(tmp)
        os.chmod(tmp, _file_mode())
        if force:
            os.replace(tmp, dst)
        else:
            _link_new(tmp, dst)
    except BaseException as exc:
        _remove(tmp)
        if isinstance(exc, OSError):
            raise CliError(dst, _cannot("write", exc)) from None
        raise


def _link_new(tmp: str, dst: str) -> None:
    """Give the complete file ``tmp`` the name ``dst``, which must be free."""
    try:
        os.link(tmp, dst)
    except FileExistsError:
        raise CliError(dst, _taken(dst)) from None
    except OSError as exc:
        if exc.errno not in _NO_HARD_LINKS:
            raise
        # No hard links here: claim the name with a file made only if none
        # is there, then rename the complete file over that claim of ours.
        try:
            os.close(os.open(dst, os.O_WRONLY | os.O_CREAT | os.O_EXCL, _file_mode()))
        except FileExistsError:
            raise CliError(dst, _taken(dst)) from None
        try:
            os.replace(tmp, dst)
        except BaseException:
            _remove(dst)
            raise
        return
    _remove(tmp)


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def _write_stdout(image: SimpleImage, fmt: str) -> int:
    """Write the file to standard output; its size."""
    from Morvane import encode

    data = encode(image, fmt)
    sys.stdout.buffer.write(data)
    sys.stdout.buffer.flush()
    return len(data)


# --- converting one file -------------------------------------------------------------------------------------------


def _prepare(src: str | None, dst: str, fmt: str | None, options: Options) -> tuple[Loaded, str]:
    """Check the destination, then read the source: (the source, the output format)."""
    if dst != STDIO:
        fmt = _format_of(dst) if fmt is None else fmt  # refuse a bad name before reading anything
        _check_free(dst, options)
    assert fmt is not None
    return _load(src, options.verbose), fmt


def _finish(loaded: Loaded, dst: str, fmt: str, options: Options) -> str:
    """Write the converted file; the line that reports it."""
    image = loaded.image
    if dst == STDIO:
        size = _write_stdout(image, fmt)
        name = "standard output"
    else:
        _write(lambda path: _save(image, fmt, path), dst, options.force)
        size = os.stat(dst).st_size if options.verbose else 0
        name = dst
    line = f"{name}: {_describe(fmt.upper(), image.width, image.height)}"
    if not options.verbose:
        return f"{line}, from {loaded.name} ({loaded.format})"
    source = f"{loaded.format}, {_bytes(loaded.size)}" + (", alpha dropped" if loaded.alpha else "")
    return f"{line}, {_bytes(size)}, from {loaded.name} ({source})"


def _convert_task(src: str, dst: str, fmt: str, options: Options) -> tuple[bool, str]:
    """One file of a batch, in a worker: (converted, line to report)."""
    try:
        loaded, fmt = _prepare(src, dst, fmt, options)
        os.makedirs(os.path.dirname(dst) or ".", exist_ok=True)  # a sub-folder of a recursive batch
        return True, _finish(loaded, dst, fmt, options)
    except CliError as exc:
        return False, str(exc)
    except OSError as exc:
        return False, f"{dst}: {_cannot('write', exc)}"


def _convert_here(src: str | None, dst: str, fmt: str | None, options: Options, reporter: Reporter) -> bool:
    """Convert one file in this process and report it; whether it was converted.
    Ctrl-C may end the reading, not the writing and reporting."""
    try:
        loaded, fmt = _prepare(src, dst, fmt, options)
    except CliError as exc:
        reporter.error(str(exc), src or "")
        return False
    if dst == STDIO:
        # Not held back: a reader that stops reading must not make the run unstoppable.
        line = _finish(loaded, dst, fmt, options)
        if options.verbose:
            reporter.ok(line, src or "", sys.stderr)
        return True
    with reporter.interrupts.deferred():
        try:
            line = _finish(loaded, dst, fmt, options)
        except CliError as exc:
            reporter.error(str(exc), src or "")
            return False
        reporter.ok(line, src or "")
    return True


# --- commands ------------------------------------------------------------------------------------------------------------


def _images_in(folder: str, skip: str | None) -> tuple[list[str], list[str]]:
    """The PNG and BMP files (by extension, any case) under ``folder``, in
    name order, folder by folder; and the errors met. Our temporary files and
    the folder ``skip`` (a batch's output folder) are left out."""
    found: list[str] = []
    errors: list[str] = []

    def failed(exc: OSError) -> None:
        errors.append(f"{exc.filename}: {_cannot('read', exc)}")

    for top, dirs, files in os.walk(folder, onerror=failed):
        dirs.sort()
        if skip is not None:
            dirs[:] = [d for d in dirs if not _same(os.path.join(top, d), skip)]
        for name in sorted(files):
            if name.startswith(TEMP_PREFIX) or os.path.splitext(name)[1].lower() not in (".png", ".bmp"):
                continue
            found.append(os.path.join(top, name))
    return found, errors


def _same(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _expand(paths: Sequence[str], recursive: bool, skip: str | None = None) -> Iterator[tuple[str, str, str | None]]:
    """(path, root, error) for each file to read: FILE as given (root ""), or
    each image under a folder with -r (root: the folder); error is the line to
    report instead, for a folder without -r or one that cannot be listed."""
    for path in paths:
        if path == STDIO or not os.path.isdir(path):
            yield path, "", None
        elif not recursive:
            yield path, "", f"{path}: is a directory (use -r for the images in it)"
        else:
            found, errors = _images_in(path, skip)
            for error in errors:
                yield path, path, error
            for file in found:
                yield file, path, None


def _run_info(args: argparse.Namespace, reporter: Reporter) -> int:
    status = 0
    for path, _, error in _expand(args.files, args.recursive):
        if error is not None:
            reporter.error(error)
            status = 1
            continue
        try:
            line = _info_line(path, args.verify, args.verbose)
        except CliError as exc:
            reporter.error(str(exc))
            status = 1
            continue
        reporter.ok(line)
    return status


def _info_line(path: str, verify: bool, verbose: bool) -> str:
    name = _display_name(path)
    if verify:
        loaded = _load(path, verbose)
        header = _header.Header(loaded.format, loaded.image.width, loaded.image.height, loaded.alpha)
        size = loaded.size
    else:
        try:
            if path == STDIO:
                data = _read_stdin()
                header, size = _header.read_header(data), len(data)
            else:
                header = _header.read_header(path)
                size = os.stat(path).st_size if verbose else 0
        except OSError as exc:
            raise CliError(name, _cannot("read", exc)) from None
        except Exception as exc:
            reason = _why(exc)
            if reason is None:
                raise
            raise CliError(name, reason) from None
    line = f"{name}: {_describe(header.format, header.width, header.height)}"
    if verbose:
        kind = "RGBA, alpha dropped when read" if header.alpha else "RGB"
        line += f", {kind}, {_bytes(size)}"
    return line


def _run_sample(args: argparse.Namespace, reporter: Reporter) -> int:
    out = args.out
    if args.to is not None and out != STDIO:
        args.parser.error("--to is for writing to standard output (OUT -)")
    if out == STDIO and args.to is None:
        args.parser.error("writing to standard output (OUT -) needs --to png or --to bmp")
    return 0 if _convert_here(None, out, args.to, _options(args), reporter) else 1


def _run_convert(args: argparse.Namespace, reporter: Reporter) -> int:
    parser = args.parser
    paths = args.paths
    if paths.count(STDIO) > (2 if args.out_dir is None else 0):
        parser.error("- (standard input or output) is for converting one file")
    if args.out_dir is not None:
        if args.to is None:
            parser.error("--to and --out-dir go together")
        if not paths:
            parser.error("no SRC to convert")
        return _convert_many(args, reporter)
    if args.recursive:
        parser.error("-r is for converting folders, with --to and --out-dir")
    if len(paths) == 1 and args.to is None:
        parser.error(f"give SRC and DST (to write the bundled sample picture: {reporter.prog} sample OUT)")
    if len(paths) != 2:
        parser.error("give SRC DST, or SRC... with --to and --out-dir")
    src, dst = paths
    if args.to is not None and dst != STDIO:
        parser.error("--to and --out-dir go together (or --to with DST -, for standard output)")
    if dst == STDIO and args.to is None:
        parser.error("writing to standard output (DST -) needs --to png or --to bmp")
    if src != STDIO and os.path.isdir(src):
        reporter.error(f"{src}: is a directory (convert a folder with -r, --to and --out-dir)")
        return 1
    return 0 if _convert_here(src, dst, args.to, _options(args), reporter) else 1


def _plan(
    sources: Iterable[tuple[str, str, str | None]], ext: str, out_dir: str
) -> tuple[list[tuple[str, str]], list[tuple[str, str]]]:
    """Each source's destination: (source, destination) pairs, and (source,
    line) for the sources refused. A file found under a folder given with -r
    goes to the same sub-folder of ``out_dir``; the others go to ``out_dir``
    itself. A source whose destination an earlier one has is refused."""
    tasks: list[tuple[str, str]] = []
    refusals: list[tuple[str, str]] = []
    claimed: dict[str, str] = {}
    for src, root, error in sources:
        if error is not None:
            refusals.append((src, error))
            continue
        within = os.path.dirname(os.path.relpath(src, root)) if root else ""
        dst = os.path.join(out_dir, within, os.path.splitext(os.path.basename(src))[0] + ext)
        key = os.path.normcase(os.path.abspath(dst))
        if key in claimed:
            # Two workers must never write one file: the later source is refused.
            refusals.append((src, f"{src}: {dst} is already the output of {claimed[key]}"))
        else:
            claimed[key] = src
            tasks.append((src, dst))
    return tasks, refusals


def _convert_many(args: argparse.Namespace, reporter: Reporter) -> int:
    """``convert SRC... --to FMT --out-dir DIR``."""
    out_dir, fmt = args.out_dir, args.to
    try:
        os.makedirs(out_dir, exist_ok=True)
    except OSError as exc:
        reporter.error(f"{out_dir}: cannot make the output directory: {exc.strerror or exc}")
        return 1
    tasks, refusals = _plan(_expand(args.paths, args.recursive, skip=out_dir), "." + fmt, out_dir)
    total = len(tasks) + len(refusals)
    options = _options(args)
    reporter.progress = Progress(total, sys.stderr)
    failed = 0
    interrupted = False
    try:
        for src, line in refusals:
            failed += 1
            reporter.error(line, src)
        if min(args.jobs, len(tasks)) <= 1:
            for src, dst in tasks:
                failed += not _convert_here(src, dst, fmt, options, reporter)
        else:
            for src, ok, line in _run_pool(tasks, fmt, options, args.jobs, reporter):
                if ok:
                    reporter.ok(line, src)
                else:
                    failed += 1
                    reporter.error(line, src)
    except KeyboardInterrupt:
        interrupted = True
    finally:
        reporter.progress.clear()
        done = reporter.progress.done
        reporter.progress = None
    converted = done - failed
    summary = f"converted {converted} of {total} file{'s' if total != 1 else ''} to {fmt.upper()} in {out_dir}"
    if failed:
        summary += f" ({failed} failed)"
    if interrupted or reporter.interrupts.count:
        reporter.note(f"interrupted: {summary}")
        return 130
    reporter.ok(summary)
    return 1 if failed else 0


def _run_pool(
    tasks: Sequence[tuple[str, str]], fmt: str, options: Options, jobs: int, reporter: Reporter
) -> Iterator[tuple[str, bool, str]]:
    """(source, converted, line) for each task, as each one finishes, in
    ``jobs`` worker processes. Tasks are handed out as workers become free,
    one ahead (so that no worker waits for the next), so that after Ctrl-C
    only the files handed out are finished (and that is said at once)."""
    from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait
    from concurrent.futures.process import BrokenProcessPool

    interrupts = reporter.interrupts
    interrupts.raising = False  # from here Ctrl-C is only counted
    queue = deque(tasks)
    workers = min(jobs, len(tasks))
    while queue and not interrupts.count:
        # A worker that dies (a crash, or killed) takes the pool with it: the
        # files it left go again, each in a process of its own, so that the
        # one that kills its worker is named; the rest go on in a new pool.
        suspects: list[tuple[str, str]] = []
        with _signals_blocked():
            pool = ProcessPoolExecutor(max_workers=workers, initializer=_worker_start)
        with pool:
            pending: dict[Future[tuple[bool, str]], tuple[str, str]] = {}
            noted = False
            while True:
                while queue and len(pending) <= workers and not suspects and not interrupts.count:
                    task = queue.popleft()
                    try:
                        with _signals_blocked():
                            pending[pool.submit(_convert_task, *task, fmt, options)] = task
                    except BrokenProcessPool:
                        suspects.append(task)
                if not pending:
                    break
                if interrupts.count and not noted:
                    noted = True
                    running = f"{len(pending)} file{'s' if len(pending) != 1 else ''} under way"
                    reporter.note(f"interrupted: finishing the {running}, starting no more")
                # Woken now and then to say at once that Ctrl-C was heard.
                done, _ = wait(pending, timeout=0.25, return_when=FIRST_COMPLETED)
                for future in done:
                    task = pending.pop(future)
                    try:
                        ok, line = future.result()
                    except BrokenProcessPool:
                        suspects.append(task)
                        continue
                    yield task[0], ok, line
        for src, dst in suspects:
            if interrupts.count:
                break
            yield (src, *_convert_alone(src, dst, fmt, options))


def _convert_alone(src: str, dst: str, fmt: str, options: Options) -> tuple[bool, str]:
    from concurrent.futures import ProcessPoolExecutor
    from concurrent.futures.process import BrokenProcessPool

    with _signals_blocked():
        pool = ProcessPoolExecutor(max_workers=1, initializer=_worker_start)
    with pool:
        try:
            with _signals_blocked():
                future = pool.submit(_convert_task, src, dst, fmt, options)
            return future.result()
        except BrokenProcessPool:
            return False, f"{src}: the worker process converting it ended abruptly"


# --- the command line ----------------------------------------------------------------------------------------------------


def _options(args: argparse.Namespace) -> Options:
    return Options(force=args.force, verbose=args.verbose)


def _default_jobs() -> int:
    """The number of CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except AttributeError:
        return os.cpu_count() or 1


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a number of processes: {text!r}")
    return value


class _Version(argparse.Action):
    """--version: the installed version, looked up only when asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> None:
        from importlib import metadata

        try:
            version = metadata.version("Morvane")
        except metadata.PackageNotFoundError:
            version = "unknown"
        print(f"{parser.prog} {version}")
        parser.exit()


def build_parser(prog: str = PROG) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Inspect and convert PNG and BMP images with Morvane. "
        "No command replaces an existing file unless -f is given.",
    )
    parser.add_argument("--version", action=_Version, help="print the version and exit")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    common = argparse.ArgumentParser(add_help=False)
    loudness = common.add_mutually_exclusive_group()
    loudness.add_argument("-q", "--quiet", action="store_true", help="print only errors")
    loudness.add_argument(
        "-v", "--verbose", action="store_true", help="print more: file sizes in bytes, and whether alpha is dropped"
    )
    force = argparse.ArgumentParser(add_help=False)
    force.add_argument("-f", "--force", action="store_true", help="replace an existing output file")

    info = sub.add_parser(
        "info",
        parents=[common],
        help="print the format and size of image files",
        description="Print each file's format (found from its content) and size in pixels, read from its "
        "headers: a file whose headers the library refuses is reported as an error. "
        "FILE - reads standard input.",
    )
    info.add_argument("files", nargs="+", metavar="FILE", help="a PNG or BMP file, or a folder with -r")
    info.add_argument("-r", "--recursive", action="store_true", help="read the .png and .bmp files in folders")
    info.add_argument("--verify", action="store_true", help="decode each image fully, to find damaged image data")
    info.set_defaults(run=_run_info)

    convert = sub.add_parser(
        "convert",
        parents=[common, force],
        help="convert images between PNG and BMP",
        usage=f"{prog} convert [-f] [-q|-v] SRC DST [--to {{png,bmp}}]\n"
        f"       {prog} convert [-f] [-q|-v] [-r] SRC... --to {{png,bmp}} --out-dir DIR [-j N]",
        description=(
            "Read SRC (PNG or BMP, recognised by its content) and write DST as PNG or BMP, "
            "chosen by DST's extension (.png or .bmp, any case). SRC - reads standard input; "
            "DST - writes standard output, in the format given by --to. "
            "With --to and --out-dir, convert every SRC to DIR/NAME.png or DIR/NAME.bmp, "
            "several at a time; with -r, the .png and .bmp files in folders too, each written to "
            "the same sub-folder of DIR. A progress display is shown when standard error is a "
            "terminal, and a summary line ends the run. An existing file is not replaced unless -f "
            "is given: it is skipped with an error. Ctrl-C stops the run between files. "
            f"(The sample picture bundled with Morvane is written by '{prog} sample OUT'.)"
        ),
    )
    convert.add_argument(
        "paths",
        nargs="*",
        metavar="SRC DST",
        help="the image to read and the file to write (NAME.png or NAME.bmp); "
        "with --to and --out-dir, the images (or folders, with -r) to read",
    )
    convert.add_argument("--to", type=str.lower, choices=FORMATS, help="the format to write: of every SRC, or of DST -")
    convert.add_argument("--out-dir", metavar="DIR", help="where to write them (made if missing)")
    convert.add_argument("-r", "--recursive", action="store_true", help="convert the .png and .bmp files in folders")
    convert.add_argument(
        "-j",
        "--jobs",
        type=_jobs,
        default=_default_jobs(),
        metavar="N",
        help="convert N files at a time (default: the number of CPUs, %(default)s)",
    )
    convert.set_defaults(run=_run_convert, parser=convert)

    sample = sub.add_parser(
        "sample",
        parents=[common, force],
        help="write the sample picture bundled with Morvane",
        description="Write the 64 x 48 sample picture bundled with Morvane to OUT, as PNG or BMP "
        "by OUT's extension (OUT - writes standard output, in the format given by --to). "
        "An existing OUT is not replaced unless -f is given.",
    )
    sample.add_argument("out", metavar="OUT", help="the file to write: NAME.png or NAME.bmp")
    sample.add_argument("--to", type=str.lower, choices=FORMATS, help="the format to write to OUT -")
    sample.set_defaults(run=_run_sample, parser=sample)
    return parser


def main(argv: Sequence[str] | None = None, prog: str = PROG, *, exiting: bool = False) -> int:
    """Run the command line ``argv`` (default: the process's); the exit
    status. ``exiting``: the process ends with the run, so Ctrl-C is ignored
    from the end of the run on instead of given back."""
    parser = build_parser(prog)
    args, extra = parser.parse_known_args(argv)
    if extra and args.command in ("info", "convert") and not any(a.startswith("-") and a != STDIO for a in extra):
        # Operands after an option: ``convert a.png --to bmp b.png --out-dir out``.
        (args.files if args.command == "info" else args.paths).extend(extra)
    elif extra:
        parser.error(f"unrecognized arguments: {' '.join(extra)}")
    interrupts = Interrupts()
    reporter = Reporter(prog, args.quiet, interrupts)
    interrupts.install()
    try:
        status: int = args.run(args, reporter)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (``info *.png | head -1``): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        # Ctrl-C between files (a batch reports it itself).
        interrupts.raising = False
        reporter.note("interrupted")
        return 130
    finally:
        interrupts.uninstall(ignore=exiting)
    return status


def console_main() -> int:
    """The ``morvane`` command."""
    return main(prog="morvane", exiting=True)
