"""python -m Morvane: info and convert, their successes and every error path."""

import os
import runpy
import struct
import subprocess
import sys
import zlib
from importlib import resources
from pathlib import Path
from types import SimpleNamespace

import pytest

from Morvane.simpleImage_ext import PNG_SIGNATURE, SimpleImage, _makeChunk

TOOLS = Path(__file__).resolve().parent.parent / "tools"
PIXELS = bytes(range(4 * 3 * 3))  # a 4 x 3 image, every byte different


def run(cwd, *args):
    return subprocess.run(
        [sys.executable, "-m", "Morvane", *map(str, args)],
        cwd=cwd, capture_output=True, text=True, stdin=subprocess.DEVNULL,
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
}


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
    return name, content, word


# --- success -----------------------------------------------------------------


@pytest.mark.parametrize("args", [["--help"], ["info", "--help"], ["convert", "--help"]])
def test_help(tmp_path, args):
    result = run(tmp_path, *args)
    assert result.returncode == 0 and result.stdout.startswith("usage: python -m Morvane")
    assert result.stderr == ""


def test_convert_help_documents_the_default_source(tmp_path):
    out = run(tmp_path, "convert", "--help").stdout
    assert "[SRC] DST" in out and "bundled sample" in out


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


@pytest.mark.parametrize("src, dst", [
    ("in.png", "out.bmp"), ("in.bmp", "out.png"), ("in.png", "out.PNG"),
    ("in.bmp", "out.Bmp"), ("in.png", "sub/dir/out.bmp"),
])
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


def test_convert_replaces_an_existing_file_and_may_overwrite_its_source(tmp_path, pngFile):
    (tmp_path / "out.bmp").write_bytes(b"old")
    assert run(tmp_path, "convert", "in.png", "out.bmp").returncode == 0
    assert run(tmp_path, "convert", "out.bmp", "out.bmp").returncode == 0
    assert bytes(SimpleImage.open(tmp_path / "out.bmp")._pixels) == PIXELS
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.png", "out.bmp"]


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
def test_convert_without_source_uses_the_bundled_sample(tmp_path, dst):
    result = run(tmp_path, "convert", dst)
    assert result.returncode == 0 and result.stderr == "", result
    assert "bundled sample.png" in result.stdout
    maker = _sampleMaker()
    assert SimpleImage.open(tmp_path / dst)._pixels == maker.pattern()


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
    assertFailed(run(tmp_path, "info", name), name, word)

    (tmp_path / "keep.bmp").write_bytes(b"untouched")
    before = sorted(tmp_path.iterdir())
    for dst in ("new.png", "keep.bmp"):
        assertFailed(run(tmp_path, "convert", name, dst), name, word)
    assert sorted(tmp_path.iterdir()) == before
    assert (tmp_path / "keep.bmp").read_bytes() == b"untouched"


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
    assertFailed(run(tmp_path, "convert", "in.png", "no/such/dir/out.bmp"),
                 "no/such/dir/out.bmp", "cannot write")
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
    with subprocess.Popen([sys.executable, "-m", "Morvane", "info", *many],
                          cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        assert proc.stdout.readline() == b"in.png: PNG 4x3\n"
        proc.stdout.close()
        stderr = proc.stderr.read()
    assert proc.returncode == 1 and stderr == b""
