"""The PNG decoder's inflating: zlib-ng where the module's initialisation
took it (the genuine module, answering as the host's zlib), the host's zlib
where it did not and wherever zlib-ng fails; the rows undone as they are
inflated, in pieces; and no import during a decode.

Each stream is decoded four ways: as it comes; with zlib-ng failing at once
and with it failing part way (the host's zlib then inflates the stream
again); and with the module's `zlib` rebound to a copy of the host's (one
`zlib.decompress` call on the joined data, then the length test, then the
rows). All must end the same way as an independent one-shot decode: the
host's zlib.error with its message, then "Malformed PNG image data", then
the first bad filter byte, else the pixels (checked against Pillow).
"""

import base64
import functools
import hashlib
import inspect
import io
import json
import os
import pathlib
import random
import shutil
import subprocess
import sys
import textwrap
import tracemalloc
import types
import zlib

import pytest

from testkit.spy import DIRECT_INPUTS, IEND_CHUNK, INPUT_PIECES, bmp, chunk, ihdr, path_count, png, rgb, simple_png

# More than one output piece of the inflaters (512 KiB), so that the data
# go in several pieces: RGB 540,600 bytes, RGBA 720,600.
WIDTH, HEIGHT = 300, 600
FILTERS = [0, 1, 2, 3, 4, 3, 3, 4, 4, 1, 4, 2]


def scanlines(bpp, filters=FILTERS, height=HEIGHT, seed=1):
    rnd = random.Random(seed)
    return b"".join(bytes([filters[y % len(filters)]]) + rnd.randbytes(WIDTH * bpp) for y in range(height))


def with_filter(raw, bpp, rows):
    """`raw` with the filter byte of each row in `rows` changed."""
    out = bytearray(raw)
    for y, f in rows.items():
        out[y * (WIDTH * bpp + 1)] = f
    return bytes(out)


def stored(raw):
    c = zlib.compressobj(0)
    return c.compress(raw) + c.flush()


def flip_last(data):
    return data[:-1] + bytes([data[-1] ^ 1])


def split(data, size):
    return [data[i : i + size] for i in range(0, len(data), size)]


# The row whose bytes cross the end of the first piece's output: random rows
# inflate to about the 64 KiB of the first input piece.
def boundary_row(bpp):
    return (64 << 10) // (WIDTH * bpp + 1)


@functools.cache
def streams(bpp):
    """name -> the IDAT chunks, in order (the same dict each time: not to be
    changed)."""
    good = scanlines(bpp)
    bad = with_filter(good, bpp, {3: 99})
    longer = good + bytes(50_000)
    return {
        "exact": [zlib.compress(good)],
        "exact-many-chunks": [b""] + split(zlib.compress(good), 1000) + [b"", b""],
        "exact-stored": [stored(good)],
        "exact-stored-in-pieces": split(stored(good), 70_000),
        "trailing-data": [zlib.compress(good) + b"after the end", b"and more"],
        "bad-filter-first-row": [zlib.compress(with_filter(good, bpp, {0: 5}))],
        "bad-filter-at-piece-end": [zlib.compress(with_filter(good, bpp, {boundary_row(bpp): 200}))],
        "bad-filter-last-row": [zlib.compress(with_filter(good, bpp, {HEIGHT - 1: 255}))],
        "two-bad-rows": [zlib.compress(with_filter(good, bpp, {boundary_row(bpp) + 1: 7, HEIGHT - 2: 6}))],
        "bad-filter-then-cut": [zlib.compress(bad)[:-10]],
        "bad-filter-then-bad-check": [flip_last(stored(bad))],
        "bad-filter-too-long": [zlib.compress(bad + b"\x00")],
        "bad-filter-too-short": [zlib.compress(bad[:-1])],
        "too-long": [zlib.compress(longer)],
        "too-long-then-cut": [zlib.compress(longer)[:-3]],
        "too-long-then-bad-check": [flip_last(zlib.compress(longer))],
        "too-short": [zlib.compress(good[: -(WIDTH * bpp + 1)])],
        "bad-check": [flip_last(zlib.compress(good))],
        "cut-in-header": [b"\x78"],
        "not-zlib": [b"not a zlib stream"],
        "no-idat": [],
    }


def png_of(chunks, bpp, width=WIDTH, height=HEIGHT):
    colour = 2 if bpp == 3 else 6
    return png(chunk(b"IHDR", ihdr(width, height, colour=colour)), *(chunk(b"IDAT", c) for c in chunks), IEND_CHUNK)


def one_shot(chunks, bpp, data):
    """The outcome of decoding step by step: inflate, length, filters."""
    try:
        raw = zlib.decompress(b"".join(chunks))
    except zlib.error as e:
        return zlib.error, str(e)
    stride = WIDTH * bpp + 1
    if len(raw) != HEIGHT * stride:
        return ValueError, "Malformed PNG image data"
    for y in range(HEIGHT):
        if raw[y * stride] > 4:
            return ValueError, f"Unsupported PNG filter: {raw[y * stride]}"
    from PIL import Image

    return "pixels", Image.open(io.BytesIO(data)).convert("RGB").tobytes()


def outcome(m, data):
    try:
        result = m.SimpleImage._streamToImage(io.BytesIO(data))
    except Exception as e:
        return type(e), str(e)
    assert result[:2] == (WIDTH, HEIGHT)
    return "pixels", bytes(result[2])


class Failing:
    """An inflater that works like `real` for `calls` calls of decompress,
    then fails as `how` says."""

    def __init__(self, real, calls, how):
        self.real, self.calls, self.how = real, calls, how

    def decompress(self, data, max_length=0):
        if self.calls == 0:
            if self.how == "str":
                return "not bytes"
            if self.how == "stuck":  # takes nothing, gives nothing
                self.unconsumed_tail = bytes(data)
                return b""
            raise self.how
        self.calls -= 1
        return self.real.decompress(data, max_length)

    def __getattr__(self, name):
        if name == "eof" and self.how == "eof":
            raise RuntimeError("no eof")
        return getattr(self.real, name)


@pytest.mark.parametrize("bpp", [3, 4])
@pytest.mark.parametrize("name", list(streams(3)))
def test_every_way_ends_like_one_shot(m, monkeypatch, request, bpp, name):
    chunks = streams(bpp)[name]
    data = png_of(chunks, bpp)
    expected = one_shot(chunks, bpp, data)
    assert outcome(m, data) == expected
    if not request.config.getoption("--no-zlib-ng"):
        fast = pytest.importorskip("zlib_ng.zlib_ng")
        real = fast.decompressobj
        for calls, how in [(0, fast.error("made to fail")), (2, MemoryError()), (1, "str"), (0, "eof"), (1, "stuck")]:
            monkeypatch.setattr(fast, "decompressobj", lambda *a, c=calls, h=how: Failing(real(*a), c, h))
            assert outcome(m, data) == expected, (calls, how)
        monkeypatch.setattr(fast, "decompressobj", real)
    monkeypatch.setattr(m, "zlib", types.SimpleNamespace(**{n: getattr(zlib, n) for n in dir(zlib)}))
    assert outcome(m, data) == expected


def test_zlib_errors_are_the_hosts(m, fast_zlib):
    # zlib-ng refuses the stream too, but its error is not the one raised.
    assert fast_zlib.error is not zlib.error
    with pytest.raises(zlib.error) as info:
        m.SimpleImage.open(png_of([b"not a zlib stream"], 3))
    assert type(info.value) is zlib.error
    assert str(info.value) == "Error -3 while decompressing data: incorrect header check"


def test_zlib_ng_inflates_when_installed(m, request, monkeypatch):
    data = png_of(streams(3)["exact"], 3)
    if request.config.getoption("--no-zlib-ng"):
        assert outcome(m, data)[0] == "pixels"
        assert "zlib_ng" not in sys.modules
        return
    fast = pytest.importorskip("zlib_ng.zlib_ng")
    made = []
    real = fast.decompressobj
    monkeypatch.setattr(fast, "decompressobj", lambda *a: made.append(a) or real(*a))
    assert outcome(m, data)[0] == "pixels"
    # One inflater, with zlib's defaults, and no second run by the host's zlib.
    assert made == [()]


def test_zlib_ng_interruption_propagates(m, fast_zlib, monkeypatch):
    real = fast_zlib.decompressobj
    monkeypatch.setattr(fast_zlib, "decompressobj", lambda *a: Failing(real(*a), 1, KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        m.SimpleImage.open(png_of(streams(3)["exact"], 3))


# Whether the decoder of the module `m` in a child process inflates with the
# module sys.modules names zlib_ng.zlib_ng: a spy in place of its
# decompressobj, which the decoder calls at each decode where it chose
# zlib-ng.
USES_ZLIB_NG = """
def uses_zlib_ng(m, data):
    fast = sys.modules.get("zlib_ng.zlib_ng")
    if fast is None:
        return False
    made, real = [], fast.decompressobj
    fast.decompressobj = lambda *a: made.append(a) or real(*a)
    try:
        m.SimpleImage.open(data)
    finally:
        fast.decompressobj = real
    return bool(made)
"""


def run_child(script, data=b"", args=(), python_args=(), env=None):
    """`script` in a fresh interpreter, `data` on its standard input: its
    output lines."""
    result = subprocess.run(
        [sys.executable, *python_args, "-c", script, *args],
        input=data,
        capture_output=True,
        timeout=120,
        env=env,
    )
    assert result.returncode == 0, result.stderr.decode()
    return result.stdout.decode().splitlines()


@pytest.mark.parametrize(
    "error, outcome",
    [
        # An interruption while the module initialises propagates, and the
        # next import takes zlib-ng.
        ("KeyboardInterrupt", ["KeyboardInterrupt", f"({WIDTH}, {HEIGHT})", "zlib-ng in use: True"]),
        # A blocked import means no zlib-ng: the host's zlib inflates, for the
        # life of the process.
        ("ImportError", ["imported", f"({WIDTH}, {HEIGHT})", "zlib-ng in use: False"]),
    ],
)
def test_zlib_ng_import_failing(fast_zlib, error, outcome):
    script = textwrap.dedent(f"""
        import importlib.abc, sys

        class Failing(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path=None, target=None):
                if name.startswith("zlib_ng"):
                    raise {error}
                return None

        data = sys.stdin.buffer.read()
        sys.meta_path.insert(0, Failing())
        try:
            import Morvane.simpleImage_ext as m
            print("imported")
        except KeyboardInterrupt:
            print("KeyboardInterrupt")
        sys.meta_path.pop(0)
        import Morvane.simpleImage_ext as m
        print(m.SimpleImage.open(data).size)
        print("zlib-ng in use:", uses_zlib_ng(m, data))
    """)
    assert run_child(USES_ZLIB_NG + script, png_of(streams(3)["exact"], 3)) == outcome


@pytest.mark.parametrize(
    "error, outcome",
    [
        # A failed allocation while importing zlib-ng fails the module's
        # initialisation, and gives zlib-ng up for nothing: the next import
        # takes it.
        ("MemoryError()", ["MemoryError", "zlib-ng in use: True"]),
        # Any other failure means no zlib-ng, for the life of the process.
        ("RuntimeError('no lock')", ["imported", "zlib-ng in use: False"]),
        ("ImportError('broken')", ["imported", "zlib-ng in use: False"]),
    ],
)
def test_zlib_ng_import_failure(fast_zlib, error, outcome):
    script = textwrap.dedent(f"""
        import importlib.abc, sys, zlib

        class Refuse(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path=None, target=None):
                if name == "zlib_ng.zlib_ng":
                    sys.meta_path.remove(self)
                    raise {error}
                return None

        sys.meta_path.insert(0, Refuse())
        try:
            import Morvane.simpleImage_ext as m
            print("imported")
        except MemoryError:
            print("MemoryError")
        import Morvane.simpleImage_ext as m
        data = sys.stdin.buffer.read()
        assert m.SimpleImage.open(data).getPixel((0, 0)) == (97, 98, 99)
        print("zlib-ng in use:", uses_zlib_ng(m, data))
    """)
    data = png(chunk(b"IHDR", ihdr(1, 1)), chunk(b"IDAT", zlib.compress(b"\x00abc")), IEND_CHUNK)
    assert run_child(USES_ZLIB_NG + script, data) == outcome


@pytest.mark.parametrize("bpp", [3, 4])
def test_high_ratio_stream(m, bpp):
    # 1000 x 1000 zero pixels: a few kilobytes inflating to megabytes, in
    # many output pieces from one piece of input.
    width = height = 1000
    raw = bytes(height * (width * bpp + 1))
    data = png(
        chunk(b"IHDR", ihdr(width, height, colour=2 if bpp == 3 else 6)),
        chunk(b"IDAT", zlib.compress(raw, 9)),
        IEND_CHUNK,
    )
    assert len(data) < 10_000
    result = m.SimpleImage._streamToImage(io.BytesIO(data))
    assert result == (width, height, bytearray(width * height * 3))


def test_decoding_holds_no_inflated_copy(m, tmp_path):
    # Opening from a file, the decoder holds the IDAT data and the pixels,
    # and a few pieces besides (of input and output, at most 2 MiB: the
    # host's inflater makes a piece in blocks, then joins them, and the
    # piece before stays while the row worker may be at it): not the
    # inflated stream (3 MB here), nor a joined copy of the IDAT data (over
    # 1.5 MiB) beside the pieces.
    side = 1024
    rnd = random.Random(5)
    sixteen = bytes(range(16)) * 16
    rows = [b"\x01" + rnd.randbytes(side * 3).translate(sixteen) for _ in range(side)]
    idat = zlib.compress(b"".join(rows))
    path = tmp_path / "big.png"
    path.write_bytes(png(chunk(b"IHDR", ihdr(side, side)), *(chunk(b"IDAT", c) for c in split(idat, 8192)), IEND_CHUNK))
    m.SimpleImage.open(str(path))  # anything made on first use is made here
    tracemalloc.start()
    try:
        image = m.SimpleImage.open(str(path))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert image.size == (side, side)
    assert len(idat) > 3 << 19
    assert peak < len(idat) + side * side * 3 + (2 << 20), (peak, len(idat))


def test_a_replaced_crc32_is_called(m, monkeypatch):
    # The chunk CRCs go to zlib-ng only while zlib.crc32 is the host's own.
    data = png_of(streams(3)["exact"], 3)
    calls = []
    real = zlib.crc32
    monkeypatch.setattr(zlib, "crc32", lambda *a: calls.append(a) or real(*a))
    assert outcome(m, data)[0] == "pixels"
    assert len(calls) == 2 * 3  # IHDR, IDAT, IEND: two calls each
    # Another built-in of the zlib module is not its crc32.
    monkeypatch.setattr(zlib, "crc32", zlib.adler32)
    assert outcome(m, data) == (ValueError, "Corrupted PNG chunk detected")


# ---------------------------------------------------------------------------
# The choice of inflater, made once per process while the module initialises:
# zlib-ng's module only when it is the compiled module of the installed
# distribution and answers as the host's zlib; the host's zlib otherwise,
# with the same outcomes.

ZEROS = """
class _Zeros:
    # Zero bytes of the length the real inflater gives.
    def __init__(self, real):
        self._real = real

    def decompress(self, data, max_length=0):
        return bytes(len(self._real.decompress(data, max_length)))

    def __getattr__(self, name):
        return getattr(self._real, name)
"""

# A pure-Python stand-in whose inflater gives zero bytes of the right length:
# valid images would decode to black.
STAND_IN = f"""
import zlib

error = zlib.error
crc32 = zlib.crc32
{ZEROS}

def decompressobj(*args):
    return _Zeros(zlib.decompressobj(*args))
"""

# zlib-ng's own module with one function replaced (by `code`, run with `fast`
# and `zlib` bound) while the module initialises, and restored after: it must
# be found wanting then, and stay unused.
GENUINE_WRONG = {
    "wrong-output": (
        "decompressobj",
        ZEROS + "real = fast.decompressobj\ndecompressobj = lambda *a: _Zeros(real(*a))\n",
    ),
    # A damaged stream inflates without an error.
    "takes-damage": (
        "decompressobj",
        """
class _Lenient:
    def __init__(self, real):
        self._real, self.eof = real, False

    def decompress(self, data, max_length=0):
        try:
            out = self._real.decompress(data, max_length)
        except fast.error:
            self.eof = True
            return b""
        self.eof = self._real.eof
        return out

    @property
    def unconsumed_tail(self):
        return b"" if self.eof else self._real.unconsumed_tail


real = fast.decompressobj
decompressobj = lambda *a: _Lenient(real(*a))
""",
    ),
    "wrong-crc32": ("crc32", "real = fast.crc32\ncrc32 = lambda *a: real(*a) ^ 1\n"),
    "raising": ("decompressobj", "def decompressobj(*a):\n    raise RuntimeError('broken')\n"),
}

# A module made at run time from a definition that lies in no shared object
# (ctypes memory), answering as the host's zlib: no installed extension.
MADE_AT_RUN_TIME = """
import ctypes, zlib

_p, _n = ctypes.c_void_p, ctypes.c_ssize_t


class _ModuleDef(ctypes.Structure):
    _fields_ = [
        ("refcnt", _n), ("type", _p), ("init", _p), ("index", _n), ("copy", _p),
        ("name", ctypes.c_char_p), ("doc", _p), ("size", _n), ("methods", _p), ("slots", _p),
        ("traverse", _p), ("clear", _p), ("free", _p),
    ]


_definition = _ModuleDef(refcnt=1, name=b"zlib_ng.zlib_ng", size=-1)
_create = ctypes.pythonapi.PyModule_Create2
_create.argtypes, _create.restype = [ctypes.POINTER(_ModuleDef), ctypes.c_int], ctypes.py_object
made = _create(ctypes.byref(_definition), 1013)
made.definition, made.decompressobj, made.crc32, made.error = _definition, zlib.decompressobj, zlib.crc32, zlib.error
sys.modules["zlib_ng"], sys.modules["zlib_ng.zlib_ng"] = type(sys)("zlib_ng"), made
sys.modules["zlib_ng"].zlib_ng = made
# The interpreter's teardown would free the definition's ctypes memory before
# the module made from it (a debug build then crashes): leave before it.
import atexit, os
atexit.register(lambda: (sys.stdout.flush(), os._exit(0)))
"""

SHADOW_CHILD = """
import hashlib, io, json, os, sys
sys.path.insert(0, sys.argv[1])
{before}
import Morvane.simpleImage_ext as m
{after}
found = {{}}
for name in json.loads(sys.argv[2]):
    with open(os.path.join(sys.argv[1], name), "rb") as f:
        data = f.read()
    try:
        width, height, pixels = m.SimpleImage._streamToImage(io.BytesIO(data))
        found[name] = ["pixels", hashlib.sha256(pixels).hexdigest()]
    except Exception as e:
        found[name] = [type(e).__name__, str(e)]
print(json.dumps(found))
print(uses_zlib_ng(m, data))
"""

# Valid images and damaged ones; the last one is valid (the spy's).
SHADOW_STREAMS = ["exact", "bad-check", "not-zlib", "too-short", "bad-filter-then-cut", "exact-stored-in-pieces"]


def make_shadow(kind, folder, fast):
    """Fills `folder` (first on the child's path); returns the code the child
    runs before and after importing the module."""
    package = folder / "zlib_ng"
    if kind in ("stand-in", "host-zlib-alias", "empty-package"):
        package.mkdir()
        (package / "__init__.py").write_text("")
        if kind == "stand-in":
            (package / "zlib_ng.py").write_text(STAND_IN)
        elif kind == "host-zlib-alias":
            (package / "zlib_ng.py").write_text("import sys, zlib\nsys.modules[__name__] = zlib\n")
        return "", ""
    if kind == "made-at-run-time":
        return MADE_AT_RUN_TIME, ""
    if kind in GENUINE_WRONG:
        name, code = GENUINE_WRONG[kind]
        before = (
            f"import zlib\nimport zlib_ng.zlib_ng as fast\nsaved, scope = fast.{name}, {{'fast': fast, 'zlib': zlib}}\n"
            f"exec({code!r}, scope)\nfast.{name} = scope[{name!r}]\n"
        )
        return before, f"fast.{name} = saved\n"
    # The genuine package's files copied, beside (or without) an
    # installed-files record.
    shutil.copytree(os.path.dirname(fast.__file__), package, ignore=shutil.ignore_patterns("__pycache__"))
    library = package / os.path.basename(fast.__file__)
    content = b"other" if kind == "copied-other-digest" else library.read_bytes()
    digest = base64.urlsafe_b64encode(hashlib.sha256(content).digest()).rstrip(b"=").decode()
    if kind == "copied-other-digest":
        (folder / "zlib_ng-1.1.0.dist-info").mkdir()  # without a record
    if kind != "copied-extension":
        info = folder / "zlib_ng-9.9.dist-info"
        info.mkdir()
        listed = "" if kind == "copied-unlisted" else f"zlib_ng/{library.name},sha256={digest},1\n"
        (info / "RECORD").write_text(f"zlib_ng/__init__.py,sha256=x,1\n{listed}{info.name}/RECORD,,\n")
    if kind == "copied-then-removed":
        return f"import zlib_ng.zlib_ng\nos.remove({str(library)!r})\n", ""
    return "", ""


@pytest.mark.parametrize(
    "kind, used",
    [
        ("genuine", True),
        # A local folder earlier on the path, a stand-in, a broken fork:
        ("stand-in", False),
        ("host-zlib-alias", False),
        ("empty-package", False),
        ("missing", False),
        ("copied-extension", False),
        ("copied-other-digest", False),
        ("copied-unlisted", False),
        # A distribution installed there, in full: it is the installed one.
        ("copied-and-recorded", True),
        ("copied-then-removed", False),
        ("made-at-run-time", False),
        # zlib-ng's own module, answering otherwise when the module starts.
        *((kind, False) for kind in GENUINE_WRONG),
    ],
)
def test_only_the_genuine_inflater_is_used(request, tmp_path, kind, used):
    # Valid images decode to their true pixels, and damaged ones fail as with
    # the host's zlib, whatever is found under zlib-ng's name; only the
    # genuine module, or a whole installed distribution, is used.
    needs_package = kind == "genuine" or kind.startswith("copied") or kind in GENUINE_WRONG
    fast = request.getfixturevalue("fast_zlib") if needs_package else None
    before, after = ("", "") if kind in ("genuine", "missing") else make_shadow(kind, tmp_path, fast)
    expected = {}
    for name in SHADOW_STREAMS:
        chunks = streams(3)[name]
        data = png_of(chunks, 3)
        (tmp_path / name).write_bytes(data)
        want = one_shot(chunks, 3, data)
        expected[name] = (
            ["pixels", hashlib.sha256(want[1]).hexdigest()] if want[0] == "pixels" else [want[0].__name__, want[1]]
        )
    script = USES_ZLIB_NG + SHADOW_CHILD.format(before=before, after=after)
    python_args, env = (), None
    if kind == "missing":
        # No site-packages: the module's package alone, from a folder of its own.
        import Morvane

        (tmp_path / "Morvane").symlink_to(os.path.dirname(Morvane.__file__))
        python_args = ("-S",)
        env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    lines = run_child(script, args=(str(tmp_path), json.dumps(SHADOW_STREAMS)), python_args=python_args, env=env)
    assert json.loads(lines[0]) == expected
    assert lines[1] == str(used)


# As on a machine without the zlib-ng package (tests/conftest.py).
BLOCK_ZLIB_NG = """
class NoZlibNg(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name == "zlib_ng" or name.startswith("zlib_ng."):
            raise ModuleNotFoundError(name)


sys.meta_path.insert(0, NoZlibNg())
"""

NO_IMPORT_CHILD = """
import builtins, importlib.abc, io, json, pathlib, sys, threading
{block}
import Morvane.simpleImage_ext as m

S = m.SimpleImage
files = json.loads(sys.argv[1])
served = []  # every buffer a stream gave out, which the decoder may hold


def clobber():
    # What the import hooks, and the other thread, do to the caller's chunk
    # buffers: change them, and resize them.
    for b in served:
        b[: len(b) // 2] = bytes(len(b) // 2 + 7)


class Stream:
    # Reads bytearrays, each kept in `served`.
    def __init__(self, data):
        self._file = io.BytesIO(data)

    def read(self, n=-1):
        b = bytearray(self._file.read(n))
        served.append(b)
        return b

    def seek(self, *args):
        return self._file.seek(*args)

    def tell(self):
        return self._file.tell()


imports = []


class Recorder(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        imports.append(["meta_path", name])
        clobber()
        return None


real_import = builtins.__import__


def recording_import(name, *args, **kwargs):
    imports.append(["__import__", name])
    clobber()
    return real_import(name, *args, **kwargs)


# The other thread changes the buffers when the decoder starts inflating with
# zlib-ng (the moment the decoder used to import it), while the decoder
# waits.
go, done = threading.Event(), threading.Event()


def other_thread():
    while go.wait():
        go.clear()
        clobber()
        done.set()


threading.Thread(target=other_thread, daemon=True).start()
moments = []
fast = sys.modules.get("zlib_ng.zlib_ng")
if fast is not None:
    real = fast.decompressobj

    def at_inflating(*args):
        moments.append(len(served))
        go.set()
        done.wait()
        done.clear()
        return real(*args)

    fast.decompressobj = at_inflating


{decodes}
runs = {{}}
for name, path in files.items():
    with open(path, "rb") as f:
        data = f.read()
    for how, run in decodes(m, data, path, Stream).items():
        runs[name + " " + how] = run
sys.meta_path.insert(0, Recorder())
builtins.__import__ = recording_import
found = {{name: outcome_of(m, run) for name, run in runs.items()}}
builtins.__import__ = real_import
sys.meta_path.pop(0)
print(json.dumps({{"imports": imports, "outcomes": found, "moments": len(moments)}}))
"""


class BytearrayStream:
    def __init__(self, data):
        self._file = io.BytesIO(data)

    def read(self, n=-1):
        return bytearray(self._file.read(n))

    def seek(self, *args):
        return self._file.seek(*args)

    def tell(self):
        return self._file.tell()


def decodes(m, data, path, stream):
    """The decodes of a file's contents, each a call (run here, and in the
    child)."""
    return {
        "stream": lambda: m.SimpleImage._streamToImage(stream(data)),
        "bytes": lambda: m.SimpleImage.open(data),
        "bytearray": lambda: m.SimpleImage.open(bytearray(data)),
        "path": lambda: m.SimpleImage.open(path),
        "pathlib": lambda: m.SimpleImage.open(pathlib.Path(path)),
        "chunk": lambda: m._readChunk(stream(data[8:])),
    }


def outcome_of(m, run):
    try:
        result = run()
    except Exception as e:
        return [type(e).__name__, str(e)]
    if isinstance(result, m.SimpleImage):
        result = [result.width, result.height, result._pixels]
    return [bytes(v).hex() if isinstance(v, (bytes, bytearray)) else v for v in result]


@pytest.mark.parametrize("zlib_ng", [True, False], ids=["zlib-ng", "host-zlib"])
def test_no_import_during_a_decode(m, request, tmp_path, zlib_ng):
    # No decode runs the import system (a meta_path finder and an __import__
    # wrapper see nothing), not even the first of the process; and the data
    # the decoder inflates are its own: a thread that changes and resizes
    # the caller's chunk buffers while the decoder inflates changes nothing.
    if zlib_ng:
        request.getfixturevalue("fast_zlib")
    block = "" if zlib_ng else BLOCK_ZLIB_NG
    rows = scanlines(3, height=40)
    files = {
        "png": png_of(split(zlib.compress(rows), 5000), 3, height=40),
        "png-bad-crc": png_of([zlib.compress(rows)[:-1] + b"?"], 3, height=40).replace(b"?IEND", b"!IEND"),
        "png-not-zlib": png_of([b"not a zlib stream"], 3, height=40),
        "png-bad-filter": png_of([zlib.compress(with_filter(rows, 3, {7: 9}))], 3, height=40),
        "bmp": bmp(3, 2, rgb(3, 2)),
    }
    paths = {}
    for name, data in files.items():
        paths[name] = str(tmp_path / name)
        (tmp_path / name).write_bytes(data)
    child = NO_IMPORT_CHILD.format(block=block, decodes=inspect.getsource(decodes) + inspect.getsource(outcome_of))
    out = json.loads(run_child(child, args=(json.dumps(paths),))[0])
    assert out["imports"] == []
    assert out["moments"] > 0 if zlib_ng else out["moments"] == 0
    # The same decodes here, where nothing changes the buffers.
    expected = {
        f"{name} {how}": outcome_of(m, run)
        for name, path in paths.items()
        for how, run in decodes(m, files[name], path, BytearrayStream).items()
    }
    assert out["outcomes"] == expected


def _input_pieces(m):
    """Pieces of compressed data handed to an inflater object."""
    return path_count(m, INPUT_PIECES)


@pytest.fixture
def through_objects(request, monkeypatch):
    """zlib-ng's inflater taken through its module's decompressobj (as the
    host's zlib always is), not called straight: the decoder calls it so
    when the module's decompressobj is not the one it recorded."""
    if not request.config.getoption("--no-zlib-ng"):
        fast = pytest.importorskip("zlib_ng.zlib_ng")
        real = fast.decompressobj
        monkeypatch.setattr(fast, "decompressobj", lambda *a: real(*a))


@pytest.mark.parametrize(("idat_size", "from_file"), [(None, False), (4096, False), (4096, True)])
def test_compressed_data_goes_in_pieces_that_inflate_to_about_an_output_piece(
    m, through_objects, tmp_path, idat_size, from_file
):
    # After a first piece of 64 KiB, each piece is sized by the ratio seen so
    # far to inflate to about 7/8 of the 512 KiB output piece: 3 MiB of rows
    # at a ratio of about 16 take 6 (pieces of 64 KiB would take 3, the
    # largest 1 and the smallest about 50). Small IDAT chunks are joined into
    # such pieces, read in place or read chunk by chunk from a file: one
    # call each would take about 50.
    if _input_pieces(m) is None:
        pytest.skip("a build without the counts of its fast paths")
    rng = random.Random(5)
    rows = bytearray()
    while len(rows) < 1024 * 1024 * 3:
        rows += bytes([rng.randrange(256)]) * rng.randrange(1, 100)
    raw = b"".join(b"\0" + rows[y * 3072 : (y + 1) * 3072] for y in range(1024))
    data = simple_png(1024, 1024, raw)
    if idat_size:
        z = zlib.compress(raw)
        idats = [chunk(b"IDAT", z[i : i + idat_size]) for i in range(0, len(z), idat_size)]
        data = png(chunk(b"IHDR", ihdr(1024, 1024)), *idats, IEND_CHUNK)
    source = data
    if from_file:
        source = tmp_path / "small-chunks.png"
        source.write_bytes(data)
        source = str(source)
    before = _input_pieces(m)
    assert bytes(m.SimpleImage.open(source)._pixels) == bytes(rows[: 1024 * 3072])
    assert 5 <= _input_pieces(m) - before <= 8


def test_the_row_worker_gets_a_short_last_piece(m, through_objects, monkeypatch):
    # 600x450 rows (810 KiB) at a ratio of about 2: a first piece of 64 KiB,
    # then one of about 448 KiB of rows, and the rest in one piece alone; the
    # row worker is left only the rows of a short last piece once the
    # inflater is done, so the rest goes in two. (Without the counts, the
    # pixels are still checked.)
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("the row worker needs two processors")
    rng = random.Random(7)
    raw = b"".join(b"\0" + bytes(rng.randrange(16) for _ in range(1800)) for _ in range(450))
    data = simple_png(600, 450, raw)
    counts = {}
    for worker in ("0", "1"):
        monkeypatch.setenv("MORVANE_ROW_WORKER", worker)
        before = _input_pieces(m)
        assert bytes(m.SimpleImage.open(data)._pixels) == b"".join(
            raw[y * 1801 + 1 : (y + 1) * 1801] for y in range(450)
        )
        counts[worker] = None if before is None else _input_pieces(m) - before
    assert counts in ({"0": 3, "1": 4}, {"0": None, "1": None})


@pytest.mark.parametrize(("idat_size", "inputs"), [(None, 1), (4096, 3), (100_000, 6)])
def test_zlib_ng_called_straight_takes_large_chunks_where_they_lie_and_joins_small_ones(
    m, fast_zlib, idat_size, inputs
):
    # 1 MiB of rows, about 584 KiB compressed: one IDAT goes in as it is;
    # 4 KiB IDATs are joined into inputs of 256 KiB; IDATs of 64 KiB or more
    # go in one by one where they lie, and no inflater object is made.
    if path_count(m, DIRECT_INPUTS) is None:
        pytest.skip("a build without the counts of its fast paths")
    rng = random.Random(8)
    raw = b"".join(b"\0" + bytes(rng.randrange(16) for _ in range(1536)) for _ in range(683))
    z = zlib.compress(raw)
    size = idat_size or len(z)
    data = png(
        chunk(b"IHDR", ihdr(512, 683)), *[chunk(b"IDAT", z[i : i + size]) for i in range(0, len(z), size)], IEND_CHUNK
    )
    direct, objects = path_count(m, DIRECT_INPUTS), _input_pieces(m)
    assert bytes(m.SimpleImage.open(data)._pixels) == b"".join(raw[y * 1537 + 1 : (y + 1) * 1537] for y in range(683))
    assert (path_count(m, DIRECT_INPUTS) - direct, _input_pieces(m) - objects) == (inputs, 0)


@pytest.mark.parametrize(("side", "pieces"), [(256, 1), (420, 2)])
def test_small_image_data_go_in_one_piece(m, through_objects, side, pieces):
    # About 100 KiB of data in 4 KiB IDATs: where the rows fit one 512 KiB
    # output piece (256²), one call inflates them all; 420² rows (529 KiB)
    # start with a first piece of 64 KiB.
    if _input_pieces(m) is None:
        pytest.skip("a build without the counts of its fast paths")
    rng = random.Random(6)
    raw = b"".join(b"\0" + bytes(rng.randrange(8) for _ in range(side * 3)) for _ in range(side))
    z = zlib.compress(raw)
    assert 64 << 10 < len(z) < 256 << 10
    data = png(
        chunk(b"IHDR", ihdr(side, side)), *[chunk(b"IDAT", z[i : i + 4096]) for i in range(0, len(z), 4096)], IEND_CHUNK
    )
    before = _input_pieces(m)
    assert m.SimpleImage.open(data).size == (side, side)
    assert _input_pieces(m) - before == pieces
