"""Allocation-failure sweeps, run in a child process by
tests/test_alloc_failure.py (a crash then fails one test, naming the
operation and the allocation that was refused).

For k = 0, 1, 2, ... the interpreter's allocators are made to refuse the
k-th allocation after `_testcapi.set_nomemory(k, k + 1)` (only that one: the
next succeeds again), and the operation runs. Each k must end in one of:

* MemoryError;
* the operation's normal outcome: the result of an unhindered run, or the
  exception an unhindered run raises (a corrupt file's ValueError), type and
  message alike, whether or not the refused allocation was one of its own
  (some are retried or worked around: the PNG decoder inflates again with the
  host's zlib when zlib-ng fails);
* one of the ALLOWANCES below: the interpreter's own code reporting a failed
  allocation as another exception, which no extension can change.

The sweep ends at the first k whose refused allocation comes after the
operation has finished: a probe that allocates right after the run
meets it. It is bounded (LIMIT); an operation that never gets there is a
fault. After a first sweep (which also warms every cache), the memory
blocks in use (sys.getallocatedblocks, exact) and the reference counts of
shared objects are measured around one sweep and around three: a leak on
any path grows with the sweeps. In the sanitizer build, where pymalloc is
off and the block count is 0, the child ends with a LeakSanitizer check.

    python -m tests.nomemory [--no-zlib-ng] [--python-open] OPERATION...
    python -m tests.nomemory [--no-zlib-ng] --import | --first-decode

print a JSON report on standard output, a line for each operation.
"""

from __future__ import annotations

import _testcapi
import builtins
import ctypes
import gc
import importlib.abc
import inspect
import io
import json
import os
import pathlib
import re
import struct
import sys
import tempfile
import traceback
import types
import zlib

from testkit.spy import IEND_CHUNK, bmp, bmp_header, chunk, ihdr, png, rgb, scanlines

# The module under test: imported by main() (after --no-zlib-ng took
# effect), or by the sweep itself in --import mode.
m = None
LIMIT = 20000
SANITIZED = os.environ.get("MORVANE_SANITIZED") == "1"
# Python 3.12 and 3.13 do not survive refused allocations themselves: a
# sweep of plain Python code (no call of ours) leaves the frames of the
# calls a refusal interrupted behind, and their own code crashes (making a
# function, binding arguments in typing and the import system) where the
# module's initialisation and zlib-ng's import run it. There the sweeps of
# the operations check outcomes and crashes only; the leak check, and the
# sweeps of the initialisation and of the first decode, are made on 3.11
# (where CI also runs the sanitizer build). 3.14 and 3.15 are left out of
# them too: on 3.14's debug build the leak check reports blocks that no
# single refusal leaves (101 in a BMP error's sweeps) and takes minutes per
# operation; the release builds are not examined yet.
HOST_SURVIVES = sys.version_info[:2] == (3, 11)

# ---------------------------------------------------------------------------
# What is allowed besides MemoryError, and why. Each allowance names the
# interpreter's own code that turns a failed allocation into another
# exception; none is an exception our module raises or converts. (The debug
# build of 3.14 aborts on its own assertion where a list that bytecode grows
# is refused memory: there the sweep's probe() grows none.)

STDLIB = os.path.dirname(os.__file__)


def _innermost_frame_file(exc):
    tb = exc.__traceback__
    if tb is None:
        return None
    while tb.tb_next is not None:
        tb = tb.tb_next
    return tb.tb_frame.f_code.co_filename


def _raised_in_host_python(exc):
    """Raised (or lost) inside the interpreter's own Python code: the import
    system's frozen modules or the standard library."""
    name = _innermost_frame_file(exc)
    return name is not None and (name.startswith("<frozen ") or name.startswith(STDLIB + os.sep))


# The host's lock allocations: _thread (importlib's module locks) and _io's
# buffered files (which open() gives, for reading and for writing) report a
# failed PyThread_allocate_lock as RuntimeError, not MemoryError.
HOST_LOCK_MESSAGES = {"can't allocate lock", "can't allocate read lock"}

FSPATH_REFUSAL = re.compile(r"expected str, bytes or os\.PathLike object, not \w+")

# When a Python function's frame returns with an exception, the interpreter
# (3.11) links its frame object to its caller's, making that one if it has
# none; if that allocation is refused, the exception is dropped, and the
# caller sees NULL without an exception: the evaluation loop's own check
# then raises one of these SystemErrors. Allowed only where the frames and
# functions are the host's (the sweep makes its own frame object first).
NULL_WITHOUT_ERROR = "error return without exception set"
FUNCTION_NULL = re.compile(r"<function (\S+) at 0x[0-9a-f]+> returned NULL without setting an exception")


OUR_QUALNAMES = {
    "SimpleImage.getPixel",
    "SimpleImage.putPixel",
    "SimpleImage.copy",
    "SimpleImage._streamToImage",
    "SimpleImage.open",
    "SimpleImage.save",
    "SimpleImage.saveBmp",
    "SimpleImage.__reduce__",
    "SimpleImage.__setstate__",
    "_readChunk",
    "_makeChunk",
    "_writePng",
    "_writeBmp",
}


def allowance(exc):
    """The reason an exception other than MemoryError is the host's doing,
    or None."""
    if type(exc) is RuntimeError and str(exc) in HOST_LOCK_MESSAGES:
        return "host lock allocation (RuntimeError)"
    # os.fspath() (which open() applies to a pathlib.Path) reports any failure
    # to look __fspath__ up as this TypeError.
    if type(exc) is TypeError and FSPATH_REFUSAL.fullmatch(str(exc)):
        return "host os.fspath (TypeError)"
    # The host's zlib reports a failed allocation of its inflate window
    # (Z_MEM_ERROR, -4) as zlib.error, not MemoryError.
    if type(exc) is zlib.error and str(exc) == "Error -4 while decompressing data":
        return "host zlib inflate allocation (zlib.error)"
    if type(exc) is SystemError:
        text = str(exc)
        # Lost in the interpreter's own Python code (the import system): the
        # frame that reports it is the host's.
        if text == NULL_WITHOUT_ERROR and _raised_in_host_python(exc):
            return "host frame lost its MemoryError (SystemError)"
        # Lost by a Python function (io's module __getattr__, which the
        # import system's attribute lookups call); never one of ours, whose
        # C code can give no NULL without an exception.
        found = FUNCTION_NULL.fullmatch(text)
        if found and found.group(1) not in OUR_QUALNAMES:
            return "host function lost its MemoryError (SystemError)"
    return None


# ---------------------------------------------------------------------------
# The sweep


# A debug build of the interpreter (its assertions on).
DEBUG_BUILD = hasattr(sys, "gettotalrefcount")


def probe():
    """Allocates: meets the refused allocation if the operation did not.

    On a debug build no list is grown by the bytecode here: on 3.14's, a
    refused allocation in LIST_APPEND makes the interpreter free the item
    while its frame's stack is not saved, and its own assertion in
    _Py_Dealloc ("tstate->current_frame == NULL ||
    tstate->current_frame->stackpointer != NULL") aborts the process. A
    comprehension alone, with no module of ours loaded, aborts so (the
    host_list operation), and so did every sweep whose last refusal fell on
    the growth of this probe's list. tuple() grows its tuple in C, inside a
    call, where the stack is saved. Elsewhere the comprehension stays: with
    the tuple, a cache of the host fills more slowly over the first sweeps
    (png_err_path with Python files, refusal 17: 7 blocks in the first 50
    runs, none after), which the leak check would take for a leak."""
    if DEBUG_BUILD:
        return tuple(map(bytes, range(2, 66)))
    return [b"xy" * (i + 2) for i in range(64)]


def snapshot(value):
    """A comparable picture of a result."""
    if m is not None and isinstance(value, m.SimpleImage):
        pixels = value._pixels
        return ("image", type(value).__name__, value.width, value.height, None if pixels is None else bytes(pixels))
    if isinstance(value, (bytes, bytearray, memoryview)):
        return (type(value).__name__, bytes(value))
    if isinstance(value, (tuple, list)):
        return (type(value).__name__, [snapshot(v) for v in value])
    if isinstance(value, dict):
        return ("dict", sorted((repr(k), snapshot(v)) for k, v in value.items()))
    if isinstance(value, (int, float, str, type(None))):
        return value
    return ("repr", repr(value))


def outcome_of(exc):
    return ("raises", type(exc).__name__, str(exc))


class Operation:
    """`run(*setup())` is the operation; `setup` (outside the refusals)
    makes fresh inputs; `result(value, inputs)` pictures the outcome (by
    default the returned value); `context` is entered around the sweeps."""

    def __init__(self, run, setup=None, result=None, context=None, host_leaks=None):
        self.run = run
        self.setup = setup or (lambda: ())
        self.result = result or (lambda value, inputs: snapshot(value))
        self.context = context
        # Why the leak check does not apply: the host's own code leaks on
        # some of the refusals.
        self.host_leaks = host_leaks

    def once(self):
        inputs = self.setup()
        try:
            value = self.run(*inputs)
        except Exception as e:
            return outcome_of(e)
        return ("returns", self.result(value, inputs))


class Progress:
    """The operation and k being run, rewritten in place in a small file, so
    that a crash can be traced to its allocation."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644) if path else None

    def mark(self, text):
        if self.fd is not None:
            data = text.encode().ljust(80)
            os.pwrite(self.fd, data, 0)


def attempt(op, k, want):
    """One run with allocation k refused: (kind, fault or None, finished),
    `finished` when the refused allocation came after the operation."""
    inputs = op.setup()
    error = value = None
    finished = False
    # This frame's frame object, made now: when the operation's frame
    # returns with an exception, the interpreter links it to its caller's
    # frame object, and if it has to make that one and cannot, it drops the
    # exception (then reported as "error return without exception set",
    # the interpreter's own fault).
    sys._getframe()
    _testcapi.set_nomemory(k, k + 1)
    try:
        try:
            value = op.run(*inputs)
        except BaseException as e:  # noqa: B036 (classified below, outside the refusals)
            error = e
        try:
            probe()
        except MemoryError:
            finished = True
    finally:
        _testcapi.remove_mem_hooks()
    if error is not None:
        if isinstance(error, MemoryError) and not finished:
            return "memory", None, finished
        if outcome_of(error) == want:
            return "normal", None, finished
        reason = None if finished else allowance(error)
        if reason:
            return "allowed: " + reason, None, finished
        return (
            "fault",
            {
                "k": k,
                "outcome": repr(outcome_of(error)),
                "traceback": "".join(traceback.format_exception(error))[-3000:],
            },
            finished,
        )
    got = ("returns", op.result(value, inputs))
    if got != want:
        return "fault", {"k": k, "outcome": repr(got)[:500], "traceback": "wrong result"}, finished
    return "normal", None, finished


def sweep(name, op, want, progress, faults, tally):
    """One sweep; returns the number of allocations the operation made (the
    first k it finished before), or None if it never did within LIMIT."""
    for k in range(LIMIT):
        progress.mark(f"{name} k={k}")
        kind, fault, finished = attempt(op, k, want)
        if fault:
            faults.append(fault)
        if finished:
            return k
        tally[kind] = tally.get(kind, 0) + 1
    return None


def leaking_refusals(op, want, count):
    """The k whose single run leaves memory blocks or references behind, each
    time it is repeated."""
    found = []
    for k in range(count):
        attempt(op, k, want)
        one = measure(lambda k=k: attempt(op, k, want))
        three = measure(lambda k=k: [attempt(op, k, want) for _ in "abc"])
        if three[0] > one[0] or three[1] != one[1]:
            found.append(k)
    return found


SENTINELS = None


def refcounts():
    return [sys.getrefcount(o) for o in SENTINELS]


def allocated_blocks():
    """The memory blocks in use, pymalloc's exact count. Where every
    allocation goes to malloc (the sanitizer build) it is 0: there
    LeakSanitizer's check at the end sees what is lost."""
    gc.collect()
    return sys.getallocatedblocks()


def measure(fn):
    """The memory blocks and references to SENTINELS that fn() leaves."""
    gc.collect()
    r0 = refcounts()
    b0 = allocated_blocks()
    fn()
    b1 = allocated_blocks()
    r1 = refcounts()
    return b1 - b0, [b - a for a, b in zip(r0, r1)]


def run_operation(name, op, progress):
    global SENTINELS
    SENTINELS = [None, True, False, b"", (), 0, 1, 2, 3, 8, 255, m.SimpleImage, ValueError, MemoryError] + [
        v for k, v in sorted(vars(m).items()) if not k.startswith("__")
    ]
    unraisable = []
    sys.unraisablehook = lambda u: unraisable.append(f"{u.exc_type.__name__}: {u.exc_value} in {u.object!r}")
    report = {"name": name, "faults": [], "tally": {}, "host_leaks": op.host_leaks}
    context = op.context() if op.context else None
    if context:
        context.__enter__()
    try:
        want = op.once()
        for _ in range(3):
            if op.once() != want:
                report["faults"].append({"k": None, "outcome": "unhindered runs differ", "traceback": ""})
                return report
        report["want"] = repr(want)[:200]
        report["count"] = sweep(name, op, want, progress, report["faults"], report["tally"])
        if report["count"] is None or not HOST_SURVIVES:
            return report
        # Then one measured sweep, and three: whatever a sweep leaves once (a
        # free list filled, a cache) shows in both measures alike; a leak on
        # any path the sweeps take, twice more in the second.
        # The blocks a free list or a table keeps can differ by one from run
        # to run (what is hashed where): a leak must show twice.
        grown = []
        for _ in "ab":
            one = measure(lambda: sweep(name, op, want, progress, [], {}))
            three = measure(lambda: [sweep(name, op, want, progress, [], {}) for _ in "abc"])
            grown.append((three[0] - one[0], [b - a for a, b in zip(one[1], three[1])]))
        report["blocks"] = min(g[0] for g in grown)
        report["refs"] = [(repr(o)[:40], d) for i, o in enumerate(SENTINELS) if (d := min(g[1][i] for g in grown)) > 0]
        if report["blocks"] > 0 or report["refs"]:
            report["leaking_k"] = leaking_refusals(op, want, report["count"])[:20]
    finally:
        if context:
            context.__exit__(None, None, None)
        sys.unraisablehook = sys.__unraisablehook__
    report["unraisable"] = unraisable[:5]
    return report


# ---------------------------------------------------------------------------
# The operations


class IntLike:
    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v


class PythonFile:
    """What `open` gives with --python-open: a file that is a Python object,
    which the writers then write piece by piece and the decoders read with
    calls. Its manager swallows the error of a block over a file named
    suppress.png (the decoder then has no image to make)."""

    def __init__(self, path, mode="r"):
        self._file = io.open(path, mode)
        self._suppress = os.fspath(path).endswith("suppress.png")

    def __enter__(self):
        self._file.__enter__()
        return self

    def __exit__(self, *exc):
        self._file.__exit__(*exc)
        return self._suppress

    def read(self, n=-1):
        return self._file.read(n)

    def seek(self, pos):
        return self._file.seek(pos)

    def write(self, data):
        return self._file.write(data)


# The operations run again with --python-open.
PYTHON_OPEN_OPERATIONS = [
    "open_bmp_path",
    "open_png_path",
    "png_err_path",
    "png_err_path_suppressed",
    "save",
    "save_bmp",
    "save_bmp_padded",
    "write_bmp_bytes",
    "write_png_list",
]


class PlainStream:
    """A stream that is not an io.BytesIO: the decoders then read it with
    calls, not from its buffer."""

    def __init__(self, data):
        self._io = io.BytesIO(data)

    def read(self, n):
        return self._io.read(n)

    def seek(self, pos):
        return self._io.seek(pos)


def filtered_png(width, height, filter_byte, colour=2, chunks=1, extra=()):
    """A PNG of a deterministic picture whose every row has `filter_byte`
    (the row bytes are taken as already filtered), its data in `chunks`
    IDAT chunks, `extra` chunks before the first."""
    bpp = 4 if colour == 6 else 3
    raw = scanlines(width, height, rgb(width * bpp // 3 + 1, height)[: width * height * bpp], filter_byte, bpp)
    data = zlib.compress(raw)
    step = -(-len(data) // chunks)
    idats = [chunk(b"IDAT", data[i : i + step]) for i in range(0, len(data), step)] or [chunk(b"IDAT", b"")]
    return png(chunk(b"IHDR", ihdr(width, height, colour=colour)), *extra, *idats, IEND_CHUNK)


def big_idat_png():
    """Incompressible rows: IDAT data over 64 KiB, inflated in several input
    pieces, and more than one output piece."""
    width, height = 160, 160
    state = 12345
    out = bytearray()
    for _ in range(height * (width * 3 + 1)):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        out.append(state >> 16 & 255)
    for y in range(height):
        out[y * (width * 3 + 1)] = y % 5
    return png(chunk(b"IHDR", ihdr(width, height)), chunk(b"IDAT", zlib.compress(bytes(out), 0)), IEND_CHUNK)


def bmp_file(width=3, height=2, **kw):
    return bmp(width, height, rgb(width, height), **kw)


def build_operations(tmp):
    S = m.SimpleImage
    px = bytes(rgb(3, 2))
    from Morvane import _tobytes as tobytes

    good_png = filtered_png(2, 2, 0)
    good_bmp = bmp_file()
    paths = {}

    def path_of(key, data):
        p = os.path.join(tmp, key)
        with open(p, "wb") as f:
            f.write(data)
        paths[key] = p
        return p

    p_png = path_of("a.png", good_png)
    p_bmp = path_of("a.bmp", good_bmp)
    p_bad = path_of("bad.png", good_png[:-3])
    p_suppress = path_of("suppress.png", good_png[:-3])
    out = os.path.join(tmp, "out")

    def image(w=3, h=2):
        return S(w, h, bytes(rgb(w, h)))

    def written(value, inputs):
        with open(out, "rb") as f:
            return snapshot(value), f.read()

    def fresh_out():
        if os.path.exists(out):
            os.remove(out)

    def writer(run):
        return Operation(lambda *a: run(*a), setup=lambda: (fresh_out(), image())[1:], result=written)

    class Sub(S):
        pass

    def rebound_zlib():
        class Context:
            def __enter__(self):
                m.zlib = types.SimpleNamespace(**{n: getattr(zlib, n) for n in dir(zlib) if not n.startswith("__")})

            def __exit__(self, *exc):
                m.zlib = zlib

        return Context()

    def opening(source, cls=S, context=None):
        """cls.open(source), `source` made beforehand."""
        return Operation(cls.open, setup=lambda: (source,), context=context)

    def get_keyword_bad(img):
        return img.getPixel(**{"coords": (0, 0), "extra": 1})

    ops = {
        # -- construction, every argument form
        "construct_bytes": Operation(lambda: S(3, 2, px)),
        "construct_bytearray": Operation(lambda: S(3, 2, bytearray(px))),
        "construct_list": Operation(lambda: S(1, 2, [1, 2, 3, 4, 5, 300 % 256])),
        "construct_memoryview": Operation(lambda: S(1, 1, memoryview(b"abc"))),
        "construct_keywords": Operation(lambda: S(width=1, height=1, pixels=b"abc")),
        "construct_mixed": Operation(lambda: S(1, height=1, pixels=b"abc")),
        "construct_converted": Operation(lambda: S(2.9, IntLike(1), bytes(6))),
        "construct_subclass": Operation(lambda: Sub(1, 1, b"abc")),
        "construct_err_length": Operation(lambda: S(2, 2, b"abc")),
        "construct_err_count": Operation(lambda: S(1, 1)),
        "construct_err_keyword": Operation(lambda: S(1, 1, b"abc", colour=1)),
        "construct_err_twice": Operation(lambda: S(1, 1, b"abc", width=1)),
        "construct_err_type": Operation(lambda: S("2", 1, bytes(6))),
        "construct_err_overflow": Operation(lambda: S(2**40, 1, b"")),
        "construct_err_pixels": Operation(lambda: S(1, 1, [1, 2, 300])),
        "construct_err_keyword_type": Operation(lambda: S(1, 1, b"abc", **{"x": 1, "y": 2})),
        # -- attributes
        "attributes": Operation(lambda img: (img.size, img.width, img.height, img._pixels), setup=lambda: (image(),)),
        "set_dimensions": Operation(
            lambda img: (setattr(img, "width", 2), setattr(img, "height", 1.5), img)[2], setup=lambda: (image(),)
        ),
        "set_pixels": Operation(
            lambda img: (setattr(img, "_pixels", bytearray(b"xyz")), img)[1], setup=lambda: (image(1, 1),)
        ),
        "del_pixels": Operation(lambda img: (delattr(img, "_pixels"), img)[1], setup=lambda: (image(1, 1),)),
        "set_err_width": Operation(lambda img: setattr(img, "width", 2**40), setup=lambda: (image(),)),
        "set_err_pixels": Operation(lambda img: setattr(img, "_pixels", b"abc"), setup=lambda: (image(),)),
        "del_err_width": Operation(lambda img: delattr(img, "width"), setup=lambda: (image(),)),
        # -- pixels
        "get_pixel": Operation(lambda img: img.getPixel((2, 1)), setup=lambda: (image(),)),
        "get_pixel_keyword": Operation(lambda img: img.getPixel(coords=(1, 0)), setup=lambda: (image(),)),
        "get_pixel_generic": Operation(lambda img: img.getPixel((True, 1)), setup=lambda: (image(),)),
        "get_pixel_unbound": Operation(lambda img: S.getPixel(img, (2, 1)), setup=lambda: (image(),)),
        "get_pixel_err_bounds": Operation(lambda img: img.getPixel((3, 0)), setup=lambda: (image(),)),
        "get_pixel_err_bigint": Operation(lambda img: img.getPixel((2**70, 0)), setup=lambda: (image(),)),
        "get_pixel_err_unpack": Operation(lambda img: img.getPixel((0, 0, 0)), setup=lambda: (image(),)),
        "get_pixel_err_type": Operation(lambda img: img.getPixel([0, 0]), setup=lambda: (image(),)),
        "get_pixel_err_keyword": Operation(get_keyword_bad, setup=lambda: (image(),)),
        "get_pixel_err_none": Operation(
            lambda img: (delattr(img, "_pixels"), img.getPixel((0, 0))), setup=lambda: (image(),)
        ),
        "put_pixel": Operation(lambda img: (img.putPixel((1, 1), (256, -1, 300)), img)[1], setup=lambda: (image(),)),
        "put_pixel_list": Operation(lambda img: (img.putPixel((1, 1), [1, 2, 3]), img)[1], setup=lambda: (image(),)),
        "put_pixel_iter": Operation(
            lambda img: (img.putPixel((1, 1), iter((1, 2, 3))), img)[1], setup=lambda: (image(),)
        ),
        "put_pixel_convert": Operation(
            lambda img: (img.putPixel((1, 1), (1.9, True, "7")), img)[1], setup=lambda: (image(),)
        ),
        "put_pixel_generic": Operation(
            lambda img: (img.putPixel((True, 1), (2**70, 5, 6)), img)[1], setup=lambda: (image(),)
        ),
        "put_pixel_keyword": Operation(
            lambda img: (img.putPixel(coords=(0, 0), value=(9, 8, 7)), img)[1], setup=lambda: (image(),)
        ),
        "put_pixel_err_bounds": Operation(lambda img: img.putPixel((-1, 0), (1, 2, 3)), setup=lambda: (image(),)),
        "put_pixel_err_few": Operation(lambda img: img.putPixel((0, 0), (1, 2)), setup=lambda: (image(),)),
        "put_pixel_err_many": Operation(lambda img: img.putPixel((0, 0), iter([1, 2, 3, 4])), setup=lambda: (image(),)),
        "put_pixel_err_channel": Operation(lambda img: img.putPixel((0, 0), (5, None, 6)), setup=lambda: (image(),)),
        # -- copy, pickling
        "copy": Operation(lambda img: img.copy(), setup=lambda: (image(),)),
        "copy_subclass": Operation(lambda img: img.copy(), setup=lambda: (Sub(1, 1, b"abc"),)),
        "copy_err_mismatch": Operation(lambda img: (setattr(img, "width", 5), img.copy()), setup=lambda: (image(),)),
        "copy_err_none": Operation(lambda img: (delattr(img, "_pixels"), img.copy()), setup=lambda: (image(),)),
        "reduce_refused": Operation(lambda img: img.__reduce__(), setup=lambda: (image(),)),
        "setstate_refused": Operation(lambda img: img.__setstate__(None), setup=lambda: (image(),)),
        # -- saving (to a path), and the module's writers
        "save": writer(lambda img: img.save(out)),
        "save_bmp": writer(lambda img: img.saveBmp(out)),
        "save_bmp_padded": Operation(
            lambda img: img.saveBmp(out), setup=lambda: (fresh_out(), image(1, 3))[1:], result=written
        ),
        "save_err_path_type": Operation(lambda img: img.save(pathlib.Path(out)), setup=lambda: (image(),)),
        "save_err_directory": Operation(lambda img: img.save(tmp), setup=lambda: (image(),)),
        "write_png_list": Operation(
            lambda: m._writePng(out, 1, 1, [1, 2, 3]), setup=lambda: (fresh_out(), ())[1], result=written
        ),
        "write_bmp_bytes": Operation(
            lambda: m._writeBmp(out, 3, 2, px), setup=lambda: (fresh_out(), ())[1], result=written
        ),
        # A height past the small integers the interpreter keeps: its object is made, and may fail.
        "write_bmp_tall": Operation(
            lambda: m._writeBmp(out, 1, 300, bytes(900)), setup=lambda: (fresh_out(), ())[1], result=written
        ),
        # encode()'s BMP made in memory, beside the module
        "encode_bmp_in_memory": Operation(tobytes.bmp, setup=lambda: (3, 2, bytearray(px))),
        "write_png_err_short": Operation(lambda: m._writePng(out, 2, 2, bytes(6))),
        "write_bmp_err_short": Operation(lambda: m._writeBmp(out, 2, 2, bytes(11))),
        "write_png_err_negative": Operation(lambda: m._writePng(out, -1, 1, b"")),
        # -- opening: PNG
        "open_png_bytes": opening(good_png),
        "open_png_bytearray": opening(bytearray(good_png)),
        "open_png_path": opening(p_png),
        "open_png_pathlib": opening(pathlib.Path(p_png)),
        "open_png_rgba": opening(filtered_png(2, 2, 4, colour=6)),
        "open_png_subclass": opening(good_png, Sub),
        "open_png_multi_idat": opening(filtered_png(3, 3, 1, chunks=4)),
        "open_png_empty_idat": opening(filtered_png(2, 2, 2, extra=[chunk(b"IDAT", b"")])),
        "open_png_ancillary": opening(filtered_png(2, 2, 3, extra=[chunk(b"tEXt", b"a\0b")])),
        "open_png_no_rows": opening(filtered_png(5, 0, 0)),
        "open_png_big_idat": opening(big_idat_png()),
        "open_png_rebound_zlib": opening(filtered_png(2, 2, 1, chunks=2), context=rebound_zlib),
        "stream_to_image_png": Operation(S._streamToImage, setup=lambda: (io.BytesIO(good_png),)),
        "png_err_signature": opening(b"\x89PNX" + good_png[4:]),
        "png_err_eof": opening(good_png[:20]),
        "png_err_crc": opening(good_png[:30] + b"\xff" + good_png[31:]),
        "png_err_ihdr_size": opening(png(chunk(b"IHDR", b"\0" * 12), IEND_CHUNK)),
        "png_err_incomplete": opening(png(IEND_CHUNK)),
        "png_err_wide": opening(png(chunk(b"IHDR", ihdr(2**31, 1)), IEND_CHUNK)),
        "png_err_depth": opening(png(chunk(b"IHDR", ihdr(1, 1, depth=16)), IEND_CHUNK)),
        "png_err_colour": opening(png(chunk(b"IHDR", ihdr(1, 1, colour=3)), IEND_CHUNK)),
        "png_err_config": opening(png(chunk(b"IHDR", ihdr(1, 1, interlace=1)), IEND_CHUNK)),
        "png_err_zlib": opening(png(chunk(b"IHDR", ihdr(1, 1)), chunk(b"IDAT", b"not zlib"), IEND_CHUNK)),
        "png_err_short_data": opening(
            png(chunk(b"IHDR", ihdr(2, 2)), chunk(b"IDAT", zlib.compress(bytes(5))), IEND_CHUNK)
        ),
        "png_err_filter": opening(
            png(chunk(b"IHDR", ihdr(1, 1)), chunk(b"IDAT", zlib.compress(b"\x07abc")), IEND_CHUNK)
        ),
        "png_err_path": opening(p_bad),
        "png_err_path_suppressed": opening(p_suppress),
        "png_err_source_type": opening(5),
        "png_err_missing": opening(os.path.join(tmp, "none")),
        # -- opening: BMP
        "open_bmp_bytes": opening(good_bmp),
        "open_bmp_path": opening(p_bmp),
        "open_bmp_pathlib": opening(pathlib.Path(p_bmp)),
        "open_bmp_top_down": opening(bmp_file(2, 2, top_down=True)),
        "open_bmp_gap": opening(bmp_file(1, 2, gap=b"\0" * 6)),
        "stream_to_image_bmp": Operation(S._streamToImage, setup=lambda: (PlainStream(good_bmp),)),
        "bmp_err_header": opening(b"BM" + bytes(8)),
        "bmp_err_dib_short": opening(good_bmp[:16]),
        "bmp_err_dib_size": opening(bmp_file(dib_size=108)),
        "bmp_err_dib_data": opening(good_bmp[:30]),
        "bmp_err_bits": opening(bmp_file(bit_count=32)),
        "bmp_err_incomplete": opening(good_bmp[:-1]),
        "bmp_err_incomplete_stream": Operation(S._streamToImage, setup=lambda: (PlainStream(good_bmp[:-1]),)),
        "bmp_err_format": opening(b"GIF89a"),
        "bmp_err_negative_width": opening(bmp_header(-3, 2, image_size=0, file_size=54)),
        "bmp_err_huge": opening(bmp_header(2**31 - 1, -(2**31), image_size=0, file_size=54)),
        # -- chunks
        "read_chunk": Operation(m._readChunk, setup=lambda: (io.BytesIO(good_png[8:]),)),
        "read_chunk_end": Operation(m._readChunk, setup=lambda: (io.BytesIO(b""),)),
        "make_chunk": Operation(lambda: m._makeChunk(b"IDAT", b"data")),
        "make_chunk_err_type": Operation(lambda: m._makeChunk(bytearray(b"IDAT"), b"")),
        # -- the function objects
        # inspect.signature reads every attribute function_attributes reads
        # (which the leak check covers). Python 3.12 and 3.13 crash when
        # making a function is refused an allocation, as inspect does.
        "function_signature": None
        if sys.version_info >= (3, 12)
        else Operation(
            lambda: [
                str(inspect.signature(f))
                for f in (S.getPixel, S.putPixel, S.open, S._streamToImage, m._writePng, m._readChunk)
            ],
            host_leaks="inspect.signature leaks references to the function it is given when an allocation is "
            "refused in it (making its nested functions, or dict(ann) in get_annotations), for a "
            "plain Python function too",
        ),
        "function_attributes": Operation(
            lambda f: (
                f.__name__,
                f.__qualname__,
                f.__module__,
                f.__doc__,
                f.__defaults__,
                f.__kwdefaults__,
                dict(f.__annotations__),
                f.__code__.co_varnames,
                f.__globals__ is vars(m),
            ),
            setup=lambda: (S.putPixel,),
        ),
        "function_repr": Operation(lambda f: repr(f).split(" at ")[0], setup=lambda: (m._makeChunk,)),
        "function_bind": Operation(
            lambda img: img.getPixel, result=lambda v, i: snapshot(v((0, 0))), setup=lambda: (image(),)
        ),
        "function_call_dict": Operation(lambda img: S.copy(img, **{}), setup=lambda: (image(),)),
        "function_call_args": Operation(lambda: m._makeChunk(*[b"IEND", b""])),
        "function_call_kwargs": Operation(lambda: m._makeChunk(chunkType=b"IEND", data=b"")),
        "function_err_keyword_type": Operation(lambda img: S.copy(img, **{1: 2}), setup=lambda: (image(),)),
        "function_err_unbound": Operation(lambda: S.copy()),
        "function_err_descriptor": Operation(lambda: S.copy(5)),
    }
    # The sweep's own checks, made to fail (tests/test_alloc_failure.py
    # shows that each is seen): a MemoryError turned into ValueError, a new
    # object and a reference to None kept on every failed run, and a crash.
    kept = []

    def converting():
        try:
            return S(1, 1, b"abc")
        except MemoryError:
            raise ValueError("out of memory") from None

    def leaking():
        try:
            return S(1, 1, b"abc")
        except MemoryError:
            kept.append([None, bytearray(8)])
            raise

    def crashing():
        try:
            return S(1, 1, b"abc")
        except MemoryError:
            os.abort()

    ops["canary_convert"] = Operation(converting)
    ops["canary_leak"] = Operation(leaking)
    ops["canary_crash"] = Operation(crashing)
    # Operations of the interpreter alone (no call into the module), which
    # the tests do not run: `python tests/nomemory.py host_zlib ...` tells
    # whether a crash under refusals is the sweep's or the interpreter's.
    ops["host_zlib"] = Operation(
        lambda data: zlib.decompressobj().decompress(data), setup=lambda: (zlib.compress(px * 40),)
    )
    ops["host_bytesio"] = Operation(lambda f: (f.read(8), f.read(4), f.read()), setup=lambda: (io.BytesIO(good_png),))
    ops["host_struct"] = Operation(lambda b: struct.unpack(">IIBBBBB", b), setup=lambda: (ihdr(3, 2),))
    ops["host_bytearray"] = Operation(lambda: bytes(bytearray(b"ab") * 3 + bytearray(range(40))))
    # A list that bytecode grows: aborts on the debug build of 3.14 (probe()).
    ops["host_list"] = Operation(lambda: [bytes(i) for i in range(2, 40)])
    return {name: op for name, op in ops.items() if op is not None}


# ---------------------------------------------------------------------------
# In fresh processes: the module's initialisation (which imports and checks
# zlib-ng), and the first decode


def forked_sweep(child, limit=LIMIT):
    """For each k, `child(k)` in a forked process, which must _exit with 0
    (finished before the refused allocation), 1 (MemoryError), 2 (an allowed
    exception), 3 (the normal outcome) or 4 (the normal outcome, on the
    host's zlib); anything else is a fault. The child's own report of a fault
    comes on its standard error."""
    tally, faults = {}, []
    for k in range(limit):
        sys.stdout.flush()
        sys.stderr.flush()
        reading, writing = os.pipe()
        pid = os.fork()
        if pid == 0:
            code = 99
            try:
                os.close(reading)
                CHILD_NOTES[:] = [writing]
                code = child(k)
            finally:
                if os.environ.get("MORVANE_COVERAGE_RUN"):
                    # The coverage build writes its counters at the C
                    # library's exit, which os._exit skips.
                    ctypes.CDLL(None).exit(code)
                os._exit(code)
        os.close(writing)
        with os.fdopen(reading, "rb") as notes:
            note = notes.read().decode()
        _, status = os.waitpid(pid, 0)
        code = os.waitstatus_to_exitcode(status)
        if code == 0:
            return k, tally, faults
        if code in (1, 2, 3, 4):
            kind = {1: "memory", 2: "allowed: " + note.split("\n")[0], 3: "normal", 4: "normal, host's zlib"}[code]
            tally[kind] = tally.get(kind, 0) + 1
        else:
            faults.append({"k": k, "outcome": f"exit status {code}", "traceback": ""})
            if len(faults) > 20:
                break
    return None, tally, faults


CHILD_NOTES = []  # in a forked child: the pipe its allowance goes to


def classify_in_child(error):
    if isinstance(error, MemoryError):
        return 1
    reason = allowance(error)
    if reason:
        os.write(CHILD_NOTES[0], reason.encode() + b"\n")
        return 2
    sys.stderr.write("".join(traceback.format_exception(error))[-3000:])
    return 98


def import_refused(k):
    """`import Morvane.simpleImage_ext` with allocation k refused: the
    exception, or None; and whether the refusal came after the import."""
    error = None
    sys._getframe()
    _testcapi.set_nomemory(k, k + 1)
    try:
        try:
            import Morvane.simpleImage_ext  # noqa: F401
        except BaseException as e:  # noqa: B036
            error = e
        try:
            probe()
        except MemoryError:
            return error, True
    finally:
        _testcapi.remove_mem_hooks()
    return error, False


def import_child(k):
    """The first initialisation with allocation k refused. After a failure,
    a second try with allocation k refused again (which now falls elsewhere:
    part of the module's state was made by the first), and then, if that
    failed too, a plain import must succeed and give a working module. The
    module inflates with zlib-ng where it can be imported: a refused
    allocation fails the initialisation rather than give zlib-ng up. Only an
    initialisation that succeeded with the allocation refused may have given
    it up (where the host reported the refusal as another error inside
    zlib-ng's import or check, which is then taken as no zlib-ng); that is
    told apart (4)."""
    error, finished = import_refused(k)
    if error is None and finished:
        return 0
    code = 3 if error is None else classify_in_child(error)
    if code not in (1, 2, 3):
        return code
    refused_import = error is None
    if error is not None:
        sys.modules.pop("Morvane.simpleImage_ext", None)
        error, _ = import_refused(k)
        if error is not None:
            again = classify_in_child(error)
            if again not in (1, 2):
                return again
            sys.modules.pop("Morvane.simpleImage_ext", None)
        refused_import = error is None
        error = None
    try:
        import Morvane.simpleImage_ext as module

        if not smoke(module):
            return 97
        if NO_ZLIB_NG or uses_zlib_ng(module):
            return code
        if refused_import:
            return 4 if code == 3 else code
        sys.stderr.write("zlib-ng was given up after a refused allocation\n")
        return 93
    except BaseException:  # noqa: B036
        traceback.print_exc()
        return 96


def uses_zlib_ng(module):
    """Whether `module`'s PNG decoder inflates with zlib-ng's module: a spy
    in place of its decompressobj sees a decode."""
    fast = sys.modules.get("zlib_ng.zlib_ng")
    if fast is None:
        return False
    made, real = [], fast.decompressobj
    fast.decompressobj = lambda *a: made.append(a) or real(*a)
    try:
        module.SimpleImage.open(filtered_png(2, 2, 4))
    finally:
        fast.decompressobj = real
    return bool(made)


# What an initialisation puts in place, every one of which a refusal may
# have cut short: the class's methods and the module's functions.
METHODS = ("getPixel", "putPixel", "copy", "save", "saveBmp", "open", "_streamToImage")
FUNCTIONS = ("_readChunk", "_makeChunk", "_writePng", "_writeBmp")


def smoke(module):
    """The module works: an image made, saved as PNG and opened again, and
    every method and function in place."""
    S = module.SimpleImage
    with tempfile.TemporaryDirectory() as d:
        p = os.path.join(d, "x.png")
        S(2, 1, b"abcdef").save(p)
        image = S.open(p)
        ok = image.getPixel((1, 0)) == (100, 101, 102) and S.open(bmp_file()).size == (3, 2)
    ok = ok and all(n in vars(S) for n in METHODS) and all(n in vars(module) for n in FUNCTIONS)
    if not ok:
        sys.stderr.write("the retried module does not work\n")
    return ok


def first_decode_child(k):
    """The first PNG decode of the process with allocation k refused; then
    decoding again must give the image, and still use zlib-ng where the
    initialisation took it (a refused allocation is no reason to give it
    up)."""
    data = filtered_png(2, 2, 4)
    _testcapi.set_nomemory(k, k + 1)
    error = value = None
    try:
        try:
            value = m.SimpleImage.open(data)
        except BaseException as e:  # noqa: B036
            error = e
        try:
            probe()
        except MemoryError:
            if error is None and snapshot(value) == WANT_FIRST:
                return 0
    finally:
        _testcapi.remove_mem_hooks()
    if error is not None:
        code = classify_in_child(error)
    elif snapshot(value) == WANT_FIRST:
        code = 3
    else:
        sys.stderr.write(f"wrong result {snapshot(value)!r}\n")
        return 95
    error = value = None
    if code not in (1, 2, 3):
        return code
    if snapshot(m.SimpleImage.open(data)) != WANT_FIRST:
        sys.stderr.write("the next decode gives another image\n")
        return 94
    if not NO_ZLIB_NG and not uses_zlib_ng(m):
        sys.stderr.write("zlib-ng was given up after a refused allocation\n")
        return 93
    return code


WANT_FIRST = None
NO_ZLIB_NG = False


class _NoZlibNg(importlib.abc.MetaPathFinder):
    """As on a machine without the zlib-ng package (tests/conftest.py)."""

    def find_spec(self, name, path=None, target=None):
        if name == "zlib_ng" or name.startswith("zlib_ng."):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None


def lsan_check():
    """LeakSanitizer's verdict on the process so far (sanitizer build)."""
    import ctypes

    check = getattr(ctypes.CDLL(None), "__lsan_do_recoverable_leak_check", None)
    if check is None:
        return 0
    gc.collect()
    return check()


def main(argv):
    global m, WANT_FIRST, NO_ZLIB_NG
    if not SANITIZED:
        # A crash shows where in the Python code it happened (the sanitizer
        # build reports it itself).
        import faulthandler

        faulthandler.enable()
    args = [a for a in argv if a not in ("--no-zlib-ng", "--python-open")]
    NO_ZLIB_NG = "--no-zlib-ng" in argv
    if "--python-open" in argv:
        # Taken by the module when it is imported, below.
        builtins.open = PythonFile
    if NO_ZLIB_NG:
        sys.modules.pop("zlib_ng", None)
        sys.meta_path.insert(0, _NoZlibNg())
    progress = Progress(os.environ.get("MORVANE_NOMEMORY_PROGRESS"))
    if args[0] == "--import":
        # What the module body imports, imported first: the sweep is about
        # the module's own initialisation, not the host's modules. So is
        # zlib-ng's package, and what its module imports (the host's gzip):
        # its module itself is imported, and checked, in the sweep.
        import pathlib as _p  # noqa: F401,E401

        if not NO_ZLIB_NG:
            import gzip as _g  # noqa: F401

            import zlib_ng as _z  # noqa: F401

        count, tally, faults = forked_sweep(import_child)
        report = {"name": "import", "count": count, "tally": tally, "faults": faults}
    elif args[0] == "--first-decode":
        import Morvane.simpleImage_ext as m

        # The expected picture, from the reference decoder: a decode here
        # would be the process's first.
        WANT_FIRST = expected_first(filtered_png(2, 2, 4))
        count, tally, faults = forked_sweep(first_decode_child)
        report = {"name": "first_decode", "count": count, "tally": tally, "faults": faults}
    else:
        # Several operations, one report line each, as each is done. A
        # leak LeakSanitizer finds ends the run: it is the last operation's.
        import Morvane.simpleImage_ext as m

        with tempfile.TemporaryDirectory(prefix="morvane-nomemory-") as tmp:
            ops = build_operations(tmp)
            for name in args:
                report = run_operation(name, ops[name], progress)
                report["lsan"] = lsan_check() if SANITIZED else 0
                print(json.dumps(report), flush=True)
                if report["lsan"]:
                    break
        return 0
    report["lsan"] = lsan_check() if SANITIZED else 0
    print(json.dumps(report))
    return 0


def expected_first(data):
    """The image a decode of `data` gives, by the reference decoder."""
    from testkit import reference

    width, height, pixels = reference.stream_to_image(io.BytesIO(data))
    return ("image", "SimpleImage", width, height, bytes(pixels))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
