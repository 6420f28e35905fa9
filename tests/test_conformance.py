"""Opening the public conformance corpora (PNG and BMP test suites).

Every file listed in data/conformance/expected.json is opened from a str path,
a pathlib.Path, bytes and a bytearray, and must give exactly the recorded
outcome: the size and the SHA-256 of the decoded RGB buffer for the files we
accept, the exception type and exact message for the files we refuse.
"""

import ctypes
import hashlib
import json
import os
import pathlib
import sys

import pytest

from Morvane._header import read_header
from Morvane.simpleImage_ext import SimpleImage

CORPUS = pathlib.Path(__file__).parent / "data" / "conformance"
EXPECTED = json.loads((CORPUS / "expected.json").read_text(encoding="utf-8"))

# Files whose outcome currently differs from expected.json (core bugs):
# relative path -> reason. Each becomes a strict xfail.
KNOWN_FAILURES: dict[str, str] = {}

SOURCE_KINDS = {
    "str": lambda path: str(path),
    "Path": lambda path: path,
    "bytes": lambda path: path.read_bytes(),
    "bytearray": lambda path: bytearray(path.read_bytes()),
}


def _cases():
    for name in sorted(EXPECTED):
        marks = ()
        if name in KNOWN_FAILURES:
            marks = pytest.mark.xfail(strict=True, reason=KNOWN_FAILURES[name])
        yield pytest.param(name, id=name, marks=marks)


def _outcome(source):
    """What opening `source` gives, in the form used by expected.json."""
    try:
        image = SimpleImage.open(source)
    except Exception as exc:  # the outcome under test
        return {"result": "error", "type": type(exc).__name__, "message": str(exc)}
    assert type(image) is SimpleImage
    pixels = image._pixels
    assert type(pixels) is bytearray
    assert len(pixels) == image.width * image.height * 3
    return {
        "result": "ok",
        "width": image.width,
        "height": image.height,
        "sha256": hashlib.sha256(bytes(pixels)).hexdigest(),
    }


@pytest.mark.parametrize("kind", sorted(SOURCE_KINDS))
@pytest.mark.parametrize("name", list(_cases()))
def test_corpus_file(name, kind):
    expected = EXPECTED[name]
    got = _outcome(SOURCE_KINDS[kind](CORPUS / name))
    if expected["result"] == "error" and expected["type"] == "MemoryError":
        # A header announcing an enormous image: refusing it as too large to
        # index is as good as failing to allocate it.
        assert got["result"] == "error", got
        assert got["type"] in ("MemoryError", "OverflowError"), got
        if got["type"] == "MemoryError":
            assert got["message"] == expected["message"]
    else:
        assert got == expected


# Files whose headers pass although opening them fails: the fault is one that
# only decoding finds. Relative path -> the fault.
FOUND_ONLY_BY_DECODING = {"bmpsuite/b/reallybig.bmp": "the pixels the header announces cannot be allocated"}


@pytest.mark.parametrize("kind", ["Path", "bytes"])
@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_header_reader_agrees_with_the_decoder(name, kind):
    """What the headers say (the command line's info) against what opening the file gives."""
    expected = EXPECTED[name]
    try:
        header = read_header(SOURCE_KINDS[kind](CORPUS / name))
    except Exception as exc:  # the outcome under test
        assert {"result": "error", "type": type(exc).__name__, "message": str(exc)} == expected
    else:
        if expected["result"] == "ok":
            assert (header.width, header.height) == (expected["width"], expected["height"])
        else:
            assert name in FOUND_ONLY_BY_DECODING, expected


def test_corpus_and_expectations_agree():
    """Every data file has an expectation and every expectation a file."""
    files = {path.relative_to(CORPUS).as_posix() for path in CORPUS.rglob("*") if path.is_file()}
    files -= {"expected.json", "README.md", "pngsuite/LICENSE"}
    assert files == set(EXPECTED)
    assert (CORPUS / "pngsuite" / "LICENSE").is_file()


def _spray_freed_blocks():
    # Leaves freed small blocks whose later words hold a positive number, so
    # that an object header left uninitialised is visibly non-zero.
    junk = [(1 << 240) + (1 << 180) + i for i in range(2000)]
    del junk


def _forget_printed_error():
    for name in ("last_type", "last_value", "last_traceback", "last_exc"):
        sys.__dict__.pop(name, None)


def _host_shows_uninitialised_exports(capsys):
    """Whether a failed PyByteArray_FromStringAndSize reliably prints the
    stray error here: only the default small-object allocator hands back the
    sprayed blocks (the debug allocator fills them, the system one varies)."""
    if sys.flags.dev_mode or os.environ.get("PYTHONMALLOC", "pymalloc") != "pymalloc":
        return False
    create = ctypes.pythonapi.PyByteArray_FromStringAndSize
    create.restype = ctypes.py_object
    create.argtypes = [ctypes.c_char_p, ctypes.c_ssize_t]
    _spray_freed_blocks()
    with pytest.raises(MemoryError):
        create(None, 1 << 60)
    _forget_printed_error()
    return "SystemError" in capsys.readouterr().err


@pytest.mark.parametrize("kind", ["str", "bytes"])
def test_refused_huge_bmp_leaves_no_stray_error(kind, capsys):
    if not _host_shows_uninitialised_exports(capsys):
        pytest.skip("this allocator hides uninitialised object fields")
    source = SOURCE_KINDS[kind](CORPUS / "bmpsuite" / "b" / "reallybig.bmp")
    _forget_printed_error()
    _spray_freed_blocks()
    with pytest.raises((MemoryError, OverflowError)):
        SimpleImage.open(source)
    assert capsys.readouterr().err == ""
    assert not hasattr(sys, "last_value")
