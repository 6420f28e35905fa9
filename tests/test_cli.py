"""python -m Morvane: info and convert, their successes and every error path."""

import errno
import multiprocessing
import os
import pty
import runpy
import select
import signal
import struct
import subprocess
import sys
import sysconfig
import termios
import time
import zlib
from importlib import resources
from pathlib import Path
from types import SimpleNamespace

import pytest

from Morvane import cli
from Morvane._header import read_header
from Morvane.simpleImage_ext import PNG_SIGNATURE, SimpleImage, _makeChunk

TOOLS = Path(__file__).resolve().parent.parent / "tools"
PIXELS = bytes(range(4 * 3 * 3))  # a 4 x 3 image, every byte different


def toBmpInTwoProcesses(*sources):
    """The command line of a batch conversion of `sources` to BMP in out/, in two worker processes."""
    return [sys.executable, "-m", "Morvane", "convert", *sources, "--to", "bmp", "--out-dir", "out", "-j", "2"]


def run(cwd, *args):
    return subprocess.run(
        [sys.executable, "-m", "Morvane", *map(str, args)],
        cwd=cwd,
        capture_output=True,
        text=True,
        stdin=subprocess.DEVNULL,
    )


def assertFailed(result, name, *words):
    """Exit status 1 and one line on stderr naming the file, no traceback."""
    assert result.returncode == 1, result
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and "Traceback" not in result.stderr, result.stderr
    assert str(name) in lines[0], lines[0]
    for word in words:
        assert word in lines[0], lines[0]
    return lines[0]


@pytest.fixture
def image():
    return SimpleImage(4, 3, PIXELS)


@pytest.fixture
def pngFile(tmp_path, image):
    path = tmp_path / "in.png"
    image.save(str(path))
    return path


@pytest.fixture
def bmpFile(tmp_path, image):
    path = tmp_path / "in.bmp"
    image.saveBmp(str(path))
    return path


def png(*chunks):
    return PNG_SIGNATURE + b"".join(_makeChunk(t, d) for t, d in chunks)


def ihdr(width=1, height=1, depth=8, colour=2):
    return (b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, 0))


# Inputs that must be refused: (file name, content, a word of the message).
BAD_INPUTS = {
    "text": ("notes.png", b"hello, world\n", "Unsupported image format"),
    "empty": ("empty.bmp", b"", "Unsupported image format"),
    "truncated PNG": ("cut.png", None, "Unexpected EOF"),
    "bad CRC": ("crc.png", None, "Corrupted PNG chunk"),
    "16-bit PNG": ("deep.png", png(ihdr(depth=16), (b"IEND", b"")), "8-bit"),
    "palette PNG": ("pal.png", png(ihdr(colour=3), (b"IEND", b"")), "RGB/RGBA"),
    "bad zlib data": ("zlib.png", png(ihdr(), (b"IDAT", b"garbage"), (b"IEND", b"")), "damaged"),
    "short IHDR": ("ihdr.png", png((b"IHDR", b"\0" * 12), (b"IEND", b"")), "damaged"),
    "huge PNG": ("huge.png", png(ihdr(width=2**31)), "too large"),
    "short BMP": ("short.bmp", b"BM" + bytes(10), "Unsupported BMP header"),
    "32-bit BMP": ("deep.bmp", None, "24-bit"),
    "huge BMP": ("huge.bmp", None, "too large"),
    "cut BMP rows": ("rows.bmp", None, "Incomplete BMP pixel data"),
}
# Of those, the files whose headers are sound: only decoding finds the fault.
DAMAGED_DATA = {"truncated PNG", "bad zlib data", "cut BMP rows"}


def badContent(kind, pngFile, bmpFile):
    name, content, word = BAD_INPUTS[kind]
    if kind == "truncated PNG":
        content = pngFile.read_bytes()[:-20]
    elif kind == "bad CRC":
        data = bytearray(pngFile.read_bytes())
        data[20] ^= 1  # inside the IHDR data
        content = bytes(data)
    elif kind == "32-bit BMP":
        data = bytearray(bmpFile.read_bytes())
        data[28] = 32  # bits per pixel
        content = bytes(data)
    elif kind == "huge BMP":
        data = bytearray(bmpFile.read_bytes())
        data[18:26] = struct.pack("<ii", 2**31 - 1, 2**31 - 1)
        content = bytes(data)
    elif kind == "cut BMP rows":
        content = bmpFile.read_bytes()[:-5]
    return name, content, word


# --- success -----------------------------------------------------------------


@pytest.mark.parametrize("args", [["--help"], ["info", "--help"], ["convert", "--help"], ["sample", "--help"]])
def test_help(tmp_path, args):
    result = run(tmp_path, *args)
    assert result.returncode == 0 and result.stdout.startswith("usage: python -m Morvane")
    assert result.stderr == ""


def test_version(tmp_path):
    result = run(tmp_path, "--version")
    assert result.returncode == 0 and result.stdout.split()[-1][0].isdigit()


def test_info_prints_format_and_size_from_content(tmp_path, pngFile, bmpFile):
    disguised = tmp_path / "really-a-bmp.png"
    disguised.write_bytes(bmpFile.read_bytes())
    result = run(tmp_path, "info", "in.png", "in.bmp", disguised.name)
    assert result.returncode == 0 and result.stderr == ""
    assert result.stdout.splitlines() == [
        "in.png: PNG 4x3",
        "in.bmp: BMP 4x3",
        "really-a-bmp.png: BMP 4x3",
    ]


@pytest.mark.parametrize(
    "src, dst",
    [
        ("in.png", "out.bmp"),
        ("in.bmp", "out.png"),
        ("in.png", "out.PNG"),
        ("in.bmp", "out.Bmp"),
        ("in.png", "sub/dir/out.bmp"),
    ],
)
def test_convert_keeps_the_pixels(tmp_path, pngFile, bmpFile, src, dst):
    (tmp_path / "sub" / "dir").mkdir(parents=True)
    result = run(tmp_path, "convert", src, dst)
    assert result.returncode == 0 and result.stderr == "", result
    written = (tmp_path / dst).read_bytes()
    expected = "PNG" if dst.lower().endswith(".png") else "BMP"
    assert written.startswith(PNG_SIGNATURE if expected == "PNG" else b"BM")
    assert result.stdout.startswith(f"{dst}: {expected} 4x3")
    converted = SimpleImage.open(written)
    assert converted.size == (4, 3) and bytes(converted._pixels) == PIXELS


def test_convert_writes_the_file_with_the_usual_mode(tmp_path, pngFile):
    old = os.umask(0o022)
    try:
        assert run(tmp_path, "convert", "in.png", "out.bmp").returncode == 0
    finally:
        os.umask(old)
    assert (tmp_path / "out.bmp").stat().st_mode & 0o777 == 0o644


@pytest.mark.parametrize("links", [True, False], ids=["hard links", "no hard links"])
@pytest.mark.parametrize("checked", [True, False], ids=["exists before", "appears meanwhile"])
def test_convert_never_replaces_an_existing_file_without_force(tmp_path, pngFile, monkeypatch, capsys, links, checked):
    monkeypatch.chdir(tmp_path)
    if not links:  # a file system without hard links (FAT): the fallback must refuse as well

        def no_link(src, dst):
            raise OSError(errno.EPERM, "Operation not permitted")

        monkeypatch.setattr(os, "link", no_link)
    if not checked:  # the file appears after the early check: the last step must still refuse
        monkeypatch.setattr(cli, "_check_free", lambda dst, options: None)
    (tmp_path / "out.bmp").write_bytes(b"old")
    assert cli.main(["convert", "in.png", "out.bmp"]) == 1
    assert capsys.readouterr().err == "python -m Morvane: error: out.bmp: already exists (use -f to replace it)\n"
    assert (tmp_path / "out.bmp").read_bytes() == b"old"
    assert cli.main(["convert", "in.png", "new.bmp"]) == 0
    assert cli.main(["convert", "-f", "in.png", "out.bmp"]) == 0
    assert cli.main(["convert", "--force", "out.bmp", "out.bmp"]) == 0  # may overwrite its own source
    assert pixelsOf(tmp_path / "out.bmp") == pixelsOf(tmp_path / "new.bmp") == PIXELS
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.png", "new.bmp", "out.bmp"]


def _sampleMaker():
    """tools/make_sample.py's namespace: WIDTH, HEIGHT and pattern()."""
    return SimpleNamespace(**runpy.run_path(str(TOOLS / "make_sample.py")))


def test_bundled_sample_is_small_and_is_the_generated_pattern():
    sample = resources.files("Morvane").joinpath("sample.png").read_bytes()
    assert len(sample) < 10_000
    maker = _sampleMaker()
    image = SimpleImage.open(sample)
    assert image.size == (maker.WIDTH, maker.HEIGHT)
    assert image._pixels == maker.pattern()


@pytest.mark.parametrize("dst", ["sample.png", "sample.BMP"])
def test_sample_writes_the_bundled_picture_and_never_replaces_a_file(tmp_path, dst):
    result = run(tmp_path, "sample", dst)
    assert result.returncode == 0 and result.stderr == "", result
    assert "bundled sample.png" in result.stdout
    maker = _sampleMaker()
    assert SimpleImage.open(tmp_path / dst)._pixels == maker.pattern()
    (tmp_path / dst).write_bytes(b"mine")
    assertFailed(run(tmp_path, "sample", dst), dst, "already exists")
    assert (tmp_path / dst).read_bytes() == b"mine"
    assert run(tmp_path, "sample", "-f", dst).returncode == 0
    assert SimpleImage.open(tmp_path / dst)._pixels == maker.pattern()


def test_convert_with_one_file_is_a_usage_error_that_points_at_sample(tmp_path, bmpFile):
    # It used to write the sample picture over the file it was given.
    before = bmpFile.read_bytes()
    result = run(tmp_path, "convert", "in.bmp")
    assert result.returncode == 2 and "python -m Morvane sample OUT" in result.stderr, result
    assert bmpFile.read_bytes() == before
    assert "sample OUT" in run(tmp_path, "convert", "--help").stdout


# --- errors ------------------------------------------------------------------


def test_missing_source(tmp_path):
    for args in (["info", "gone.png"], ["convert", "gone.png", "out.bmp"]):
        assertFailed(run(tmp_path, *args), "gone.png", "No such file")
    assert list(tmp_path.iterdir()) == []


def test_source_is_a_directory(tmp_path):
    (tmp_path / "folder.png").mkdir()
    assertFailed(run(tmp_path, "info", "folder.png"), "folder.png", "directory")


@pytest.mark.parametrize("kind", BAD_INPUTS)
def test_bad_input_is_refused_and_nothing_is_written(tmp_path, pngFile, bmpFile, kind):
    name, content, word = badContent(kind, pngFile, bmpFile)
    (tmp_path / name).write_bytes(content)
    assertFailed(run(tmp_path, "info", "--verify", name), name, word)
    if kind in DAMAGED_DATA:
        # info reads the headers only; they are sound.
        result = run(tmp_path, "info", name)
        assert result.returncode == 0 and result.stdout.startswith(f"{name}: {name[-3:].upper()} "), result
    else:
        assertFailed(run(tmp_path, "info", name), name, word)

    (tmp_path / "keep.bmp").write_bytes(b"untouched")
    before = sorted(tmp_path.iterdir())
    for args in (["new.png"], ["-f", "keep.bmp"]):
        assertFailed(run(tmp_path, "convert", name, *args), name, word)
    assert sorted(tmp_path.iterdir()) == before
    assert (tmp_path / "keep.bmp").read_bytes() == b"untouched"


def idat(width=1, height=1):
    return (b"IDAT", zlib.compress(b"\0" * (1 + 3 * width) * height))


def badCrc(chunk):
    return chunk[:-1] + bytes([chunk[-1] ^ 1])


@pytest.mark.parametrize(
    "data",
    [
        png((b"tEXt", b"a=b"), ihdr(2, 1), idat(2, 1)),  # IHDR after another chunk
        png(ihdr(depth=16), ihdr(2, 1), idat(2, 1)),  # a later IHDR replaces a refused one
        png(ihdr(depth=16), idat(), ihdr(colour=3)),  # ... or is refused in turn
        PNG_SIGNATURE + _makeChunk(*ihdr(depth=16)) + badCrc(_makeChunk(*idat())),
        png(ihdr(depth=16), idat())[:-3],  # a refused header, and a later chunk cut short
        png(ihdr(depth=16), (b"IEND", b""), (b"IHDR", b"")),  # nothing after IEND is read
        png(idat()),
    ],
)
def test_header_reader_has_the_decoders_outcome(tmp_path, data):
    # On chunk orders that the conformance files lack.
    try:
        SimpleImage.open(data)
        outcome = None
    except ValueError as exc:
        outcome = str(exc)
    (tmp_path / "x.png").write_bytes(data)
    for source in (data, tmp_path / "x.png"):
        try:
            assert read_header(source) == ("PNG", 2, 1, False) and outcome is None
        except ValueError as exc:
            assert str(exc) == outcome


def test_info_reports_every_file_and_fails_if_one_is_bad(tmp_path, pngFile):
    (tmp_path / "bad.bmp").write_bytes(b"BM")
    result = run(tmp_path, "info", "bad.bmp", "in.png")
    assert result.returncode == 1
    assert result.stdout == "in.png: PNG 4x3\n"
    assert result.stderr.count("\n") == 1 and "bad.bmp" in result.stderr


@pytest.mark.parametrize("dst", ["out.jpg", "out.PNG.gif", "out", "png"])
def test_unknown_output_extension(tmp_path, pngFile, dst):
    line = assertFailed(run(tmp_path, "convert", "in.png", dst), dst, ".png or .bmp")
    assert "unknown output format" in line
    # Refused before the source is even read.
    assertFailed(run(tmp_path, "convert", "gone.png", dst), dst, "unknown output format")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.png"]


def test_destination_that_cannot_be_written(tmp_path, pngFile):
    assertFailed(run(tmp_path, "convert", "in.png", "no/such/dir/out.bmp"), "no/such/dir/out.bmp", "cannot write")
    (tmp_path / "taken.png").mkdir()
    assertFailed(run(tmp_path, "convert", "in.png", "taken.png"), "taken.png", "cannot write")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.png", "taken.png"]
    assert list((tmp_path / "taken.png").iterdir()) == []


def test_usage_errors_exit_with_status_2(tmp_path):
    for args in ([], ["info"], ["convert"], ["resize", "a.png"], ["convert", "a", "b", "c"]):
        result = run(tmp_path, *args)
        assert result.returncode == 2 and "usage:" in result.stderr
        assert "Traceback" not in result.stderr


def test_info_stops_quietly_when_its_reader_goes_away(tmp_path, pngFile):
    many = ["in.png"] * 20000  # more lines than a pipe holds, so the writer must wait
    with subprocess.Popen(
        [sys.executable, "-m", "Morvane", "info", *many], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE
    ) as proc:
        assert proc.stdout.readline() == b"in.png: PNG 4x3\n"
        proc.stdout.close()
        stderr = proc.stderr.read()
    assert proc.returncode == 1 and stderr == b""


# --- several files: convert SRC... --to FMT --out-dir DIR ---------------------


def pixelsOf(path):
    return bytes(SimpleImage.open(path)._pixels)


def makeSources(folder, names):
    """Files with different pixels each (so no output can pass for another)."""
    folder.mkdir(exist_ok=True)
    for i, name in enumerate(names):
        image = SimpleImage(4, 3, bytes((b + 40 * i) % 256 for b in PIXELS))
        (image.save if name.lower().endswith(".png") else image.saveBmp)(str(folder / name))


def batchLines(result):
    """(per-file lines, summary line) of standard output."""
    lines = result.stdout.splitlines()
    return sorted(lines[:-1]), lines[-1]


@pytest.mark.parametrize("jobs", ["1", "3"])
@pytest.mark.parametrize("to", ["bmp", "PNG"])
def test_batch_converts_every_source(tmp_path, jobs, to):
    makeSources(tmp_path / "in", ["a.png", "b.bmp", "c.PNG"])
    result = run(tmp_path, "convert", "in/a.png", "in/b.bmp", "--to", to, "in/c.PNG", "--out-dir", "out", "-j", jobs)
    assert result.returncode == 0 and result.stderr == "", result  # no terminal: no progress display
    fmt, ext = to.upper(), "." + to.lower()
    lines, summary = batchLines(result)
    assert lines == [
        f"out/{n}{ext}: {fmt} 4x3, from in/{n}.{src} ({src.upper()})"
        for n, src in [("a", "png"), ("b", "bmp"), ("c", "PNG")]
    ]
    assert summary == f"converted 3 of 3 files to {fmt} in out"
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == [f"{n}{ext}" for n in "abc"]
    for n, src in [("a", "png"), ("b", "bmp"), ("c", "PNG")]:
        assert pixelsOf(tmp_path / "out" / f"{n}{ext}") == pixelsOf(tmp_path / "in" / f"{n}.{src}")


def test_batch_runs_files_in_parallel_processes(tmp_path, pngFile):
    # Each source is a FIFO: a write end opens without waiting only while a
    # reader has the FIFO open, so both are open together only if two
    # processes are reading at once.
    data = pngFile.read_bytes()
    fifos = [tmp_path / f"pipe{i}.png" for i in range(2)]
    for fifo in fifos:
        os.mkfifo(fifo)
    proc = subprocess.Popen(
        toBmpInTwoProcesses(*(f.name for f in fifos)),
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    writers = {}
    deadline = time.monotonic() + 60
    try:
        while len(writers) < 2 and time.monotonic() < deadline and proc.poll() is None:
            for fifo in fifos:
                if fifo not in writers:
                    try:
                        writers[fifo] = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                    except OSError as exc:
                        assert exc.errno == errno.ENXIO
            time.sleep(0.01)
        together = len(writers) == 2
    finally:
        for fd in writers.values():
            os.write(fd, data)
            os.close(fd)
        if len(writers) < 2:
            proc.kill()
        out, err = proc.communicate(timeout=60)
    assert together, "the two sources were never open at the same time"
    assert proc.returncode == 0 and err == "", err
    assert out.splitlines()[-1] == "converted 2 of 2 files to BMP in out"
    assert pixelsOf(tmp_path / "out" / "pipe0.bmp") == pixelsOf(tmp_path / "out" / "pipe1.bmp") == PIXELS


def test_batch_with_failures_converts_the_rest_and_exits_1(tmp_path, pngFile, bmpFile):
    bad = ["text", "truncated PNG", "32-bit BMP", "bad zlib data"]
    for kind in bad:
        name, content, _ = badContent(kind, pngFile, bmpFile)
        (tmp_path / name).write_bytes(content)
    (tmp_path / "folder.png").mkdir()
    out = tmp_path / "out"
    out.mkdir()
    (out / "cut.bmp").write_bytes(b"untouched")  # the output of a source that fails
    (tmp_path / "good.png").write_bytes(pngFile.read_bytes())
    (out / "good.bmp").mkdir()  # the output of a good source cannot be written
    names = [BAD_INPUTS[k][0] for k in bad] + ["in.png", "gone.bmp", "folder.png", "good.png"]

    # -f: what keeps cut.bmp is the failure of its source, not the refusal to replace a file.
    result = run(tmp_path, "convert", "-f", *names, "--to", "bmp", "--out-dir", "out", "-j", "2")
    assert result.returncode == 1 and "Traceback" not in result.stderr, result
    errors = sorted(result.stderr.splitlines())
    failing = sorted([BAD_INPUTS[k][0] for k in bad] + ["gone.bmp", "folder.png", "out/good.bmp"])
    assert len(errors) == len(failing)
    for line, name in zip(errors, failing):
        assert line.startswith(f"python -m Morvane: error: {name}: "), line
    assert "python -m Morvane: error: out/good.bmp: cannot write: Is a directory" in errors
    lines, summary = batchLines(result)
    assert lines == ["out/in.bmp: BMP 4x3, from in.png (PNG)"]
    assert summary == "converted 1 of 8 files to BMP in out (7 failed)"
    # Written atomically: nothing partial, no temporary file, nothing clobbered.
    assert sorted(p.name for p in out.iterdir()) == ["cut.bmp", "good.bmp", "in.bmp"]
    assert (out / "cut.bmp").read_bytes() == b"untouched" and list((out / "good.bmp").iterdir()) == []
    assert pixelsOf(out / "in.bmp") == PIXELS


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_batch_skips_existing_outputs_unless_forced(tmp_path, jobs):
    makeSources(tmp_path / "in", ["a.png", "b.png", "c.bmp"])
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "b.bmp").write_bytes(b"mine")
    convert = ["convert", "in/a.png", "in/b.png", "in/c.bmp", "--to", "bmp", "--out-dir", "out", "-j", jobs]
    result = run(tmp_path, *convert)
    assert result.returncode == 1, result
    assert result.stderr == "python -m Morvane: error: out/b.bmp: already exists (use -f to replace it)\n"
    assert batchLines(result) == (
        ["out/a.bmp: BMP 4x3, from in/a.png (PNG)", "out/c.bmp: BMP 4x3, from in/c.bmp (BMP)"],
        "converted 2 of 3 files to BMP in out (1 failed)",
    )
    assert (tmp_path / "out" / "b.bmp").read_bytes() == b"mine"
    result = run(tmp_path, "convert", "-f", *convert[1:])
    assert result.returncode == 0 and batchLines(result)[1] == "converted 3 of 3 files to BMP in out", result
    assert pixelsOf(tmp_path / "out" / "b.bmp") == pixelsOf(tmp_path / "in" / "b.png")


def test_batch_never_writes_one_destination_twice(tmp_path):
    makeSources(tmp_path / "in", ["a.png", "b.png"])
    makeSources(tmp_path / "other", ["a.bmp"])
    result = run(
        tmp_path, "convert", "in/a.png", "other/a.bmp", "in/b.png", "in/a.png", "--to", "png", "--out-dir", "out"
    )
    assert result.returncode == 1, result
    assert sorted(result.stderr.splitlines()) == [
        "python -m Morvane: error: in/a.png: out/a.png is already the output of in/a.png",
        "python -m Morvane: error: other/a.bmp: out/a.png is already the output of in/a.png",
    ]
    assert batchLines(result)[1] == "converted 2 of 4 files to PNG in out (2 failed)"
    assert pixelsOf(tmp_path / "out" / "a.png") == pixelsOf(tmp_path / "in" / "a.png")


def test_batch_output_directory_is_made_or_refused(tmp_path, pngFile):
    result = run(tmp_path, "convert", "in.png", "--to", "bmp", "--out-dir", "new/deeper")
    assert result.returncode == 0 and pixelsOf(tmp_path / "new" / "deeper" / "in.bmp") == PIXELS
    (tmp_path / "file").write_bytes(b"")
    assertFailed(
        run(tmp_path, "convert", "in.png", "--to", "bmp", "--out-dir", "file"),
        "file",
        "cannot make the output directory",
    )


@pytest.mark.parametrize(
    "args, message",
    [
        (["in.png", "out.png", "--to", "bmp"], "--to and --out-dir go together"),
        (["in.png", "--out-dir", "out"], "--to and --out-dir go together"),
        (["in.png", "-", "--to", "bmp", "--out-dir", "out"], "- (standard input or output) is for converting one file"),
        (["in.png", "-"], "writing to standard output (DST -) needs --to png or --to bmp"),
        (["-r", "in.png", "out.bmp"], "-r is for converting folders"),
        (["-q", "-v", "in.png", "out.bmp"], "not allowed with argument"),
        (["--to", "bmp", "--out-dir", "out"], "no SRC to convert"),
        (["in.png", "--to", "gif", "--out-dir", "out"], "invalid choice: 'gif'"),
        (["in.png", "--to", "bmp", "--out-dir", "out", "-j", "0"], "not a number of processes: '0'"),
        (["in.png", "--to", "bmp", "--out-dir", "out", "-j", "two"], "not a number of processes: 'two'"),
        (["in.png", "--to", "bmp", "--out-dir", "out", "--fast"], "unrecognized arguments: --fast"),
        (["in.png", "a.bmp", "b.bmp"], "give SRC DST"),
    ],
)
def test_batch_usage_errors_exit_with_status_2(tmp_path, pngFile, args, message):
    result = run(tmp_path, "convert", *args)
    assert result.returncode == 2 and result.stdout == "", result
    assert result.stderr.startswith("usage: python -m Morvane") and message in result.stderr
    assert "Traceback" not in result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.bmp", "in.png"] or not (tmp_path / "out").exists()


def readTerminal(master):
    chunks = []
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError as exc:  # EIO: every writer has closed the terminal
            assert exc.errno == errno.EIO
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(master)
    return b"".join(chunks).decode()


def test_batch_shows_progress_on_a_terminal(tmp_path, pngFile, bmpFile):
    bmpFile.rename(tmp_path / "other.bmp")
    master, slave = pty.openpty()
    with open(tmp_path / "stdout", "w+") as stdout:
        proc = subprocess.Popen(
            toBmpInTwoProcesses("in.png", "gone.png", "other.bmp"),
            cwd=tmp_path,
            stdin=subprocess.DEVNULL,
            stdout=stdout,
            stderr=slave,
        )
        os.close(slave)
        screen = readTerminal(master)
        assert proc.wait(timeout=60) == 1
        stdout.seek(0)
        printed = stdout.read()
    clear = "\r\x1b[K"
    assert screen.startswith(clear[:1] + "converting [....................] 0/3" + clear[1:])
    # The error goes on its own line, the display is redrawn below it, and
    # the display is gone at the end.
    assert clear + "python -m Morvane: error: gone.png: cannot read: No such file or directory\r\n" in screen
    assert ", 1 failed  gone.png" + clear[1:] in screen
    assert "] 3/3, 1 failed  " in screen and "[####################] 3/3" in screen
    assert screen.endswith(clear)
    # Standard output is not the terminal: the lines and summary as usual.
    assert printed.splitlines()[-1] == "converted 2 of 3 files to BMP in out (1 failed)"


def _dieOnDemand(src, dst, fmt, options):
    """Stands for cli._convert_task in the workers: dies on die.png."""
    if src == "die.png":
        os._exit(3)
    return True, f"{dst}: converted"


@pytest.mark.skipif(
    multiprocessing.get_start_method() != "fork",
    reason="the replaced task reaches the workers only when they are forked",
)
def test_batch_names_the_file_whose_worker_process_dies(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(cli, "_convert_task", _dieOnDemand)
    names = ["a.png", "die.png", "b.png", "c.png", "d.png"]
    status = cli.main(["convert", *names, "--to", "bmp", "--out-dir", "out", "-j", "2"])
    captured = capsys.readouterr()
    assert status == 1
    # The other files are converted even when the death took their pool down.
    assert captured.err == "python -m Morvane: error: die.png: the worker process converting it ended abruptly\n"
    lines = captured.out.splitlines()
    assert sorted(lines[:-1]) == [f"out/{n}.bmp: converted" for n in "abcd"]
    assert lines[-1] == "converted 4 of 5 files to BMP in out (1 failed)"


def test_batch_abandoned_starts_no_more_files(tmp_path, pngFile, monkeypatch):
    # What a run left early (Ctrl-C, a closed output pipe) does: the files
    # being converted are finished, the queued ones are dropped.
    monkeypatch.chdir(tmp_path)
    (tmp_path / "out").mkdir()
    # The workers go on while this process closes the run, and a loaded
    # machine may let them finish dozens of these tiny files first; what must
    # not happen is that the queue is worked through.
    tasks = [("in.png", f"out/{i}.bmp") for i in range(600)]
    results = cli._run_pool(tasks, "bmp", cli.Options(), 2, cli.Reporter("test", False, cli.Interrupts()))
    assert next(results)[1]
    results.close()
    written = sorted((tmp_path / "out").iterdir())
    assert 1 <= len(written) < len(tasks) // 2
    assert all(pixelsOf(path) == PIXELS for path in written)  # each one whole


# --- conventions: standard input and output, -r, -q and -v, the installed command ---------------------------------


def test_standard_input_and_output(tmp_path, pngFile, bmpFile):
    def morvane(*args, data=b""):
        command = [sys.executable, "-m", "Morvane", *args]
        return subprocess.run(command, cwd=tmp_path, input=data, capture_output=True)

    png = pngFile.read_bytes()
    assert morvane("info", "-", data=png).stdout == b"standard input: PNG 4x3\n"
    result = morvane("convert", "-", "out.bmp", data=png)
    assert result.stdout == b"out.bmp: BMP 4x3, from standard input (PNG)\n" and result.stderr == b""
    assert (tmp_path / "out.bmp").read_bytes() == bmpFile.read_bytes()
    # The image itself on standard output, and nothing else there.
    result = morvane("convert", "in.png", "-", "--to", "bmp")
    assert (result.returncode, result.stdout, result.stderr) == (0, bmpFile.read_bytes(), b"")
    result = morvane("convert", "-v", "-", "-", "--to", "PNG", data=bmpFile.read_bytes())
    assert result.stdout == png and result.stderr.startswith(b"standard output: PNG 4x3, ")
    sample = resources.files("Morvane").joinpath("sample.png").read_bytes()
    assert morvane("sample", "-", "--to", "png").stdout == sample


def test_recursive_info_and_batch_mirror_the_folders(tmp_path):
    makeSources(tmp_path / "in", ["b.png", "A.BMP"])
    makeSources(tmp_path / "in" / "sub", ["b.png"])
    makeSources(tmp_path / "in" / "sub" / "deeper", ["c.Png"])
    (tmp_path / "in" / "notes.txt").write_bytes(b"not an image")
    (tmp_path / "in" / ".morvane-a1b2c3.png").write_bytes(b"")  # one of our temporaries
    found = ["in/A.BMP", "in/b.png", "in/sub/b.png", "in/sub/deeper/c.Png"]  # folder by folder, names sorted

    result = run(tmp_path, "info", "-r", "in")
    assert result.returncode == 0 and result.stderr == "", result
    assert [line.split(":")[0] for line in result.stdout.splitlines()] == found
    assertFailed(run(tmp_path, "info", "in"), "in: is a directory (use -r")

    # The output folder inside the tree is not read as a source.
    (tmp_path / "in" / "out").mkdir()
    (tmp_path / "in" / "out" / "old.png").write_bytes(b"")
    result = run(tmp_path, "convert", "-r", "in", "--to", "bmp", "--out-dir", "in/out", "-j", "2")
    assert result.returncode == 0 and result.stderr == "", result
    assert batchLines(result)[1] == "converted 4 of 4 files to BMP in in/out"
    for src in found:
        dst = tmp_path / "in" / "out" / Path(src).relative_to("in").with_suffix(".bmp")
        assert pixelsOf(dst) == pixelsOf(tmp_path / src)
    assert len(list((tmp_path / "in" / "out").rglob("*.bmp"))) == 4


def rgbaFile(folder):
    """A 2 x 1 RGBA PNG."""
    path = folder / "rgba.png"
    rows = b"\0" + bytes([10, 20, 30, 0, 40, 50, 60, 255])
    path.write_bytes(png(ihdr(width=2, colour=6), (b"IDAT", zlib.compress(rows)), (b"IEND", b"")))
    return path


@pytest.mark.parametrize(
    "args, stdout",
    [
        (["info", "-q", "rgba.png"], ""),
        (["info", "-v", "rgba.png"], "rgba.png: PNG 2x1, RGBA, alpha dropped when read, {size} bytes\n"),
        (["convert", "-q", "rgba.png", "out.bmp"], ""),
        (
            ["convert", "-v", "rgba.png", "out.bmp"],
            "out.bmp: BMP 2x1, 62 bytes, from rgba.png (PNG, {size} bytes, alpha dropped)\n",
        ),
        (["convert", "-q", "rgba.png", "--to", "bmp", "--out-dir", "."], ""),
    ],
)
def test_quiet_and_verbose(tmp_path, args, stdout):
    size = rgbaFile(tmp_path).stat().st_size
    result = run(tmp_path, *args)
    assert result.returncode == 0 and result.stderr == "", result
    assert result.stdout == stdout.format(size=size)
    assert run(tmp_path, *args).returncode == (0 if args[0] == "info" else 1)  # -q keeps the errors
    assert args[0] == "info" or "already exists" in run(tmp_path, *args).stderr


def test_installed_command(tmp_path, pngFile):
    command = Path(sysconfig.get_path("scripts")) / "morvane"
    result = subprocess.run([command, "info", "in.png"], cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 0 and result.stdout == "in.png: PNG 4x3\n", result
    result = subprocess.run([command, "convert", "in.png"], cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 2 and result.stderr.startswith("usage: morvane convert"), result
    assert "morvane sample OUT" in result.stderr


# --- Ctrl-C ------------------------------------------------------------------------------------------------------------


@pytest.fixture
def pythonSigint():
    """Ctrl-C raises KeyboardInterrupt in this process, as in an interpreter
    started from a shell, even where the tests run with SIGINT ignored (in
    the background of a script, say)."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("presses", [1, 2])
@pytest.mark.parametrize("batch", [False, True], ids=["one file", "batch"])
@pytest.mark.usefixtures("pythonSigint")
def test_ctrl_c_while_a_file_is_written_lets_it_finish(tmp_path, pngFile, monkeypatch, capsys, presses, batch):
    # Ctrl-C arrives as the first file is being written: that file is
    # finished and reported, and then the run ends.
    monkeypatch.chdir(tmp_path)
    save = cli._save

    def interrupted_save(image, fmt, path):
        for _ in range(presses):
            os.kill(os.getpid(), signal.SIGINT)
        save(image, fmt, path)

    monkeypatch.setattr(cli, "_save", interrupted_save)
    (tmp_path / "out").mkdir()
    (tmp_path / "second.png").write_bytes(pngFile.read_bytes())
    if batch:
        args = ["convert", "in.png", "second.png", "--to", "bmp", "--out-dir", "out", "-j", "1"]
    else:
        args = ["convert", "in.png", "out/in.bmp"]
    assert cli.main(args) == 130
    captured = capsys.readouterr()
    assert captured.out == "out/in.bmp: BMP 4x3, from in.png (PNG)\n"
    summary = ": converted 1 of 2 files to BMP in out" if batch else ""
    assert captured.err == f"python -m Morvane: interrupted{summary}\n"
    assert [p.name for p in (tmp_path / "out").iterdir()] == ["in.bmp"]
    assert pixelsOf(tmp_path / "out" / "in.bmp") == PIXELS


def start_on_terminal(cwd, args, stdout):
    """``python -m Morvane ARGS`` in a session of its own whose controlling
    terminal is a new pseudo-terminal, as in a shell: its standard input and
    error are the terminal (standard output goes to ``stdout``), and Ctrl-C
    typed there interrupts it and its workers. (The process, the terminal's master end.)"""
    master, slave = pty.openpty()
    # A terminal discards the output not yet shown when Ctrl-C is typed, and
    # shows "^C" among it; the test is to see all of it and only it, however
    # late the second Ctrl-C comes.
    attributes = termios.tcgetattr(slave)
    attributes[3] = attributes[3] & ~termios.ECHO | termios.NOFLSH
    termios.tcsetattr(slave, termios.TCSANOW, attributes)
    # Ctrl-C's default action too, as a shell gives the commands it runs,
    # even where this test runs with SIGINT ignored (in the background of a
    # script, say), which the command would inherit.
    launcher = (
        "import fcntl, os, signal, sys, termios; fcntl.ioctl(0, termios.TIOCSCTTY, 0); "
        "signal.signal(signal.SIGINT, signal.SIG_DFL); "
        "os.execv(sys.executable, [sys.executable] + sys.argv[1:])"
    )
    proc = subprocess.Popen(
        [sys.executable, "-c", launcher, "-m", "Morvane", *args],
        cwd=cwd,
        stdin=slave,
        stdout=stdout,
        stderr=slave,
        start_new_session=True,
    )
    os.close(slave)
    return proc, master


class Terminal:
    """What a pseudo-terminal's master end shows."""

    def __init__(self, master):
        self.master = master
        self.text = ""
        self.closed = False

    def read(self, timeout):
        """What comes within ``timeout`` seconds."""
        if not self.closed and select.select([self.master], [], [], timeout)[0]:
            try:
                self.text += os.read(self.master, 65536).decode(errors="replace")
            except OSError as exc:  # EIO: every writer has closed the terminal, and all is read
                assert exc.errno == errno.EIO
                self.closed = True

    def read_to_end(self, deadline, proc):
        while not self.closed:
            assert time.monotonic() < deadline, self.story(proc)
            self.read(0.1)

    def story(self, proc):
        """What the terminal shows, and where the process and its children are (for a run that is stuck)."""
        lines = [repr(self.text)]
        try:
            children = Path(f"/proc/{proc.pid}/task/{proc.pid}/children").read_text().split()
        except OSError:
            children = []
        for pid in [proc.pid, *children]:
            try:
                status = Path(f"/proc/{pid}/status").read_text().splitlines()
                wchan = Path(f"/proc/{pid}/wchan").read_text()
            except OSError as exc:
                lines.append(f"{pid}: {exc}")
                continue
            lines.append(f"{pid}: waits in {wchan}; " + "; ".join(x for x in status if x.startswith(("State", "Sig"))))
        return "\n".join(lines)


def openWriters(fifos, proc, terminal, deadline):
    """Write ends of the FIFOs, once each has a reader (a conversion reading it)."""
    writers = {}
    while len(writers) < len(fifos):
        assert proc.poll() is None and time.monotonic() < deadline, terminal.story(proc)
        for fifo in fifos:
            if fifo not in writers:
                try:
                    writers[fifo] = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                except OSError as exc:
                    assert exc.errno == errno.ENXIO
        terminal.read(0.02)
    return writers


def waitUntilAsleepReading(proc, terminal, deadline):
    """Until the process sleeps in the kernel reading a pipe (a FIFO). Ctrl-C
    then interrupts the read; one that came a moment before the read began
    would be handled at the process's next step, which a blocked read delays."""
    while True:
        assert time.monotonic() < deadline, terminal.story(proc)
        try:
            state = Path(f"/proc/{proc.pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
            wchan = Path(f"/proc/{proc.pid}/wchan").read_text()
        except OSError:  # no /proc: give it time
            time.sleep(1)
            return
        if state == "S" and ("pipe" in wchan or wchan in ("", "0")):  # "0": the kernel does not tell
            return
        terminal.read(0.02)


@pytest.mark.parametrize("presses", [1, 2])
@pytest.mark.parametrize("jobs", [1, 2])
def test_ctrl_c_on_a_terminal_ends_the_run_between_files(tmp_path, pngFile, presses, jobs):
    # Some sources are FIFOs: a conversion reading one waits until this test
    # writes it, so Ctrl-C comes, deterministically, while files are being
    # converted and dozens have not been started, whatever the machine's
    # speed. In this process: 00 is converted, then 01 waits. In two workers:
    # 00 and 01 wait, and 02 is handed out next.
    data = pngFile.read_bytes()
    sources = tmp_path / "in"
    sources.mkdir()
    gates = [sources / "01.png"] if jobs == 1 else [sources / "00.png", sources / "01.png"]
    for gate in gates:
        os.mkfifo(gate)
    for i in range(41):
        if sources / f"{i:02}.png" not in gates:
            (sources / f"{i:02}.png").write_bytes(data)
    deadline = time.monotonic() + 120
    with open(tmp_path / "stdout", "w+") as stdout:
        args = ["convert", "-r", "in", "--to", "bmp", "--out-dir", "out", "-j", str(jobs)]
        proc, master = start_on_terminal(tmp_path, args, stdout)
        terminal = Terminal(master)
        try:
            writers = openWriters(gates, proc, terminal, deadline)
            if jobs == 1:
                waitUntilAsleepReading(proc, terminal, deadline)
            for _ in range(presses):
                os.write(master, b"\x03")
                terminal.read(0.2)
            while proc.poll() is None:
                assert time.monotonic() < deadline, terminal.story(proc)
                if writers and "finishing the" in terminal.text:
                    # The workers finish what they started, once it can be read.
                    for fd in writers.values():
                        os.write(fd, data)
                        os.close(fd)
                    writers = {}
                terminal.read(0.05)
            terminal.read_to_end(deadline, proc)
        finally:
            for fd in writers.values():
                os.close(fd)
            if proc.poll() is None:
                proc.kill()
            os.close(master)
        stdout.seek(0)
        printed = stdout.read().splitlines()
    assert proc.wait() == 130, terminal.text
    assert "Traceback" not in terminal.text
    written = ["out/00.bmp"] + (["out/01.bmp", "out/02.bmp"] if jobs == 2 else [])  # and no more
    # Every file written is whole and reported; no temporary file is left.
    assert sorted(line.split(":")[0] for line in printed) == written
    assert sorted(p.relative_to(tmp_path).as_posix() for p in (tmp_path / "out").iterdir()) == written
    assert [p.name for p in tmp_path.rglob("*") if p.name.startswith(".morvane-")] == []
    assert all(pixelsOf(tmp_path / name) == PIXELS for name in written)
    summary = f"python -m Morvane: interrupted: converted {len(written)} of 41 files to BMP in out\r\n"
    assert summary in terminal.text
