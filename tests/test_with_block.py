"""Files are used exactly as the context manager of a `with` block.

The module takes the built-in `open` once, when it is imported, so these
checks run in a fresh interpreter whose `open` was replaced first by one that
records what the module does with the file and can swallow errors.
"""

import json
import subprocess
import sys
import textwrap

import pytest

from testkit.spy import bmp_header, bmp_rows

SCRIPT = r"""
import builtins, io, json, sys, types

real_open = builtins.open
log = []
policy = {"exit": False}  # what __exit__ returns: False, True, "raise" or "bad-bool"


class BadBool:
    def __bool__(self):
        raise KeyError("truth")


class Recorder:
    def __init__(self, path, mode):
        self.file = real_open(path, mode)

    def __enter__(self):
        return self

    def __exit__(self, *info):
        self.file.close()
        log.append(("exit", None if info[0] is None else info[0].__name__))
        if policy["exit"] == "raise":
            raise LookupError("from exit")
        if policy["exit"] == "bad-bool":
            return BadBool()
        return policy["exit"]

    def write(self, data):
        policy["writes"] = policy.get("writes", 0) + 1
        if policy["writes"] == policy.get("fail_at"):
            raise OSError(f"write {policy['writes']}")
        log.append(("write", bytes(data).hex()))
        return self.file.write(data)

    def read(self, n=-1):
        return self.file.read(n)

    def seek(self, pos):
        return self.file.seek(pos)


class Plain:  # what an `open` that makes no context manager gives
    pass


class RawRecorder(io.RawIOBase):  # under a genuine io.BufferedWriter
    def __init__(self, path, mode):
        self.file = real_open(path, mode)

    def writable(self):
        return True

    def write(self, data):
        log.append(("write", bytes(data).hex()))
        return self.file.write(data)

    def close(self):
        self.file.close()
        super().close()


def buffered(path, mode):
    # One byte of buffer: each write reaches the raw file as it was made.
    return io.BufferedWriter(RawRecorder(path, mode), buffer_size=1)


class EnterOnly:
    def __enter__(self):
        log.append(("enter", None))
        return self


def opener(path, mode):
    return {"plain": Plain, "enter-only": EnterOnly, "buffered": buffered}.get(policy.get("manager"), Recorder)(path, mode)


Plain.__init__ = EnterOnly.__init__ = lambda self, path, mode: log.append(("opened", mode))
builtins.open = opener
import Morvane.simpleImage_ext as m
builtins.open = real_open


def attempt(fn):
    log.clear()
    try:
        result = ["returned", repr(fn())]
    except BaseException as e:
        context = e.__context__
        result = ["raised", type(e).__name__, str(e), None if context is None else type(context).__name__]
    return {"result": result, "log": list(log)}


out = {}
folder = sys.argv[1]
bad = folder + "/bad.png"
with real_open(bad, "wb") as f:
    f.write(m.PNG_SIGNATURE + b"\x00\x00\x00\x00")
for choice in (False, True, "raise", "bad-bool"):
    policy["exit"] = choice
    out[f"open-{choice}"] = attempt(lambda: m.SimpleImage.open(bad))
    make_chunk, m._makeChunk = m._makeChunk, lambda *a: 1 / 0
    out[f"png-{choice}"] = attempt(lambda: m._writePng(folder + "/a.png", 1, 1, b"abc"))
    m._makeChunk = make_chunk
    out[f"bmp-short-{choice}"] = attempt(lambda: m._writeBmp(folder + "/a.bmp", 2, 2, bytes(range(11))))
for manager in ("plain", "enter-only"):
    policy["manager"] = manager
    out[f"open-{manager}"] = attempt(lambda: m.SimpleImage.open(bad))
    out[f"png-{manager}"] = attempt(lambda: m._writePng(folder + "/a.png", 1, 1, b"abc"))
    out[f"bmp-{manager}"] = attempt(lambda: m._writeBmp(folder + "/a.bmp", 1, 1, b"abc"))
policy["manager"] = "buffered"
out["bmp-buffered"] = attempt(lambda: m._writeBmp(folder + "/d.bmp", 3, 2, bytes(range(18))))
policy["manager"] = None
policy["exit"] = False
for k in range(1, 12):
    policy["writes"], policy["fail_at"] = 0, k
    out[f"bmp-fails-at-{k}"] = attempt(lambda: m._writeBmp(folder + "/e.bmp", 3, 2, bytes(range(18))))
policy["fail_at"] = None
# Sizes only a rebound struct packs: a negative width still pads each row.
real_struct, m.struct = m.struct, types.SimpleNamespace(pack=lambda fmt, *values: b"H")
for width in (-2, 0):
    out[f"bmp-width-{width}"] = attempt(lambda: m._writeBmp(folder + "/f.bmp", width, 3, b""))
m.struct = real_struct
out["bmp-pieces"] = attempt(lambda: m._writeBmp(folder + "/b.bmp", 3, 2, bytes(range(18))))
out["bmp-no-padding"] = attempt(lambda: m._writeBmp(folder + "/c.bmp", 4, 1, bytes(range(12))))
out["good-open"] = attempt(lambda: m.SimpleImage.open(folder + "/b.bmp").size)
print(json.dumps(out))
"""


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("with")
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(SCRIPT), str(folder)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.mark.parametrize(
    "choice, result",
    [
        # __exit__ sees the decoder's error and lets it through.
        ("False", ["raised", "ValueError", "Unexpected EOF while reading chunk type", None]),
        # It swallows it: the code after the block runs, and the values the
        # image is made of were never assigned.
        (
            "True",
            [
                "raised",
                "UnboundLocalError",
                "cannot access local variable 'width' where it is not associated with a value",
                None,
            ],
        ),
        # An error of __exit__, or of its result's truth, is chained to the decoder's.
        ("raise", ["raised", "LookupError", "from exit", "ValueError"]),
        ("bad-bool", ["raised", "KeyError", "'truth'", "ValueError"]),
    ],
)
def test_open_and_exit_result(runs, choice, result):
    run = runs[f"open-{choice}"]
    assert run["result"] == result
    assert run["log"] == [["exit", "ValueError"]]


@pytest.mark.parametrize("manager", ["plain", "enter-only"])
@pytest.mark.parametrize("use, mode", [("open", "rb"), ("png", "wb"), ("bmp", "wb")])
def test_what_open_gives_must_be_a_context_manager(runs, manager, use, mode):
    # Refused as the `with` statement refuses it, before its __enter__ runs.
    run = runs[f"{use}-{manager}"]
    name = {"plain": "Plain", "enter-only": "EnterOnly"}[manager]
    assert run["result"] == [
        "raised",
        "TypeError",
        f"'{name}' object does not support the context manager protocol",
        None,
    ]
    assert run["log"] == [["opened", mode]]


@pytest.mark.parametrize(
    "choice, png, bmp",
    [
        ("False", ["raised", "ZeroDivisionError"], ["raised", "IndexError"]),
        # A swallowed error ends the block; the writer then returns normally.
        ("True", ["returned", "None"], ["returned", "None"]),
        ("raise", ["raised", "LookupError"], ["raised", "LookupError"]),
    ],
)
def test_writers_and_exit_result(runs, choice, png, bmp):
    # The PNG writer fails after its first write (framing a chunk), the BMP
    # writer on its short buffer in the first row.
    assert runs[f"png-{choice}"]["result"][:2] == png
    assert runs[f"bmp-short-{choice}"]["result"][:2] == bmp
    assert runs[f"png-{choice}"]["log"] == [["write", "89504e470d0a1a0a"], ["exit", "ZeroDivisionError"]]


def _pieces(width, height, pixels):
    """The writes the steps make: "BM", two packed headers, then per row
    bottom first each pixel's three bytes and the row's padding."""
    header = bmp_header(width, height)
    pieces = [header[:2], header[2:14], header[14:54]]
    rows = bmp_rows(width, height, pixels)
    stride = len(rows) // height if height else 0
    for r in range(height):
        row = rows[r * stride : (r + 1) * stride]
        pieces += [row[3 * x : 3 * x + 3] for x in range(width)]
        if stride > 3 * width:
            pieces.append(row[3 * width :])
    return [["write", p.hex()] for p in pieces]


@pytest.mark.parametrize("name, width, height", [("bmp-pieces", 3, 2), ("bmp-no-padding", 4, 1)])
def test_bmp_writer_writes_each_piece_to_another_open(runs, name, width, height):
    run = runs[name]
    assert run["result"] == ["returned", "None"]
    assert run["log"] == _pieces(width, height, bytes(range(width * height * 3))) + [["exit", None]]
    assert runs["good-open"]["result"] == ["returned", "(3, 2)"]


def test_bmp_writer_writes_each_piece_to_a_genuine_buffered_writer_of_another_open(runs):
    # A genuine io.BufferedWriter that `open` did not make is no file of the
    # host's own: its raw file sees each piece as it is written.
    run = runs["bmp-buffered"]
    assert run["result"] == ["returned", "None"]
    assert run["log"] == _pieces(3, 2, bytes(range(18)))


@pytest.mark.parametrize("k", range(1, 12))
def test_bmp_writer_stops_at_a_failing_write(runs, k):
    # Each of the 11 writes of a 3 x 2 image (three headers, then per row
    # three pixels and the padding) failing in turn: its error, after the
    # pieces before it.
    run = runs[f"bmp-fails-at-{k}"]
    assert run["result"] == ["raised", "OSError", f"write {k}", None]
    assert run["log"] == _pieces(3, 2, bytes(range(18)))[: k - 1] + [["exit", "OSError"]]


@pytest.mark.parametrize("width, pad", [(-2, "0000"), (0, None)])
def test_bmp_writer_pads_rows_of_no_pixels(runs, width, pad):
    # Three rows of no pixels: rowStride - 3 * width zero bytes each (2 for
    # width -2), or no write at all.
    run = runs[f"bmp-width-{width}"]
    assert run["result"] == ["returned", "None"]
    headers = [["write", b"BM".hex()], ["write", b"H".hex()], ["write", b"H".hex()]]
    assert run["log"] == headers + [["write", pad]] * (3 if pad else 0) + [["exit", None]]


def test_bmp_writer_short_buffer_pieces(runs):
    # 11 bytes for a 2 x 2 image: the bottom row starts at byte 6, its second
    # pixel reaches past the end; the headers and its first pixel are written.
    run = runs["bmp-short-False"]
    assert run["result"] == ["raised", "IndexError", "bytearray index out of range", None]
    expected = _pieces(2, 2, bytes(range(11)) + b"\x00")[:4]
    assert run["log"] == expected + [["exit", "IndexError"]]
    assert expected[3] == ["write", bytes([8, 7, 6]).hex()]
