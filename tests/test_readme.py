"""The README's commands and Python examples run as written."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

README = (Path(__file__).resolve().parent.parent / "README.md").read_text()


def blocks(language):
    return re.findall(rf"^```{language}\n(.*?)^```", README, re.M | re.S)


def test_first_commands_print_what_the_readme_says(tmp_path):
    # The opening block: install, then the command line on the bundled sample.
    ran = 0
    for line in blocks("sh")[0].splitlines():
        command, _, comment = line.partition("#")
        words = command.split()
        if words[:3] != ["python", "-m", "Morvane"]:
            continue
        result = subprocess.run([sys.executable, *words[1:]], cwd=tmp_path, capture_output=True, text=True)
        assert result.returncode == 0 and result.stderr == "", result
        if words[3] == "info":
            assert result.stdout.strip() == comment.strip()
        ran += 1
    assert ran == 2


def _folder_with_photo(tmp_path):
    subprocess.run(
        [sys.executable, "-m", "Morvane", "sample", "photo.png"], cwd=tmp_path, check=True, capture_output=True
    )
    return tmp_path


def _run(folder, code, name="example.py"):
    (folder / name).write_text(code)
    return subprocess.run([sys.executable, name], cwd=folder, capture_output=True, text=True, timeout=600)


def _example(first_line):
    """The README's Python block that opens with ``first_line``."""
    (code,) = [code for code in blocks("python") if code.startswith(first_line)]
    return code


def test_every_python_block_is_run_here():
    # The quick start, numpy and Pillow, the worker functions, the pool and
    # the cluster: each runs in a test below.
    assert len(blocks("python")) == 5


def test_quick_start_runs(tmp_path):
    folder = _folder_with_photo(tmp_path)
    result = _run(folder, blocks("python")[0])
    assert result.returncode == 0, result.stderr
    assert result.stdout == "(64, 48) 64 48\n"
    assert {p.name for p in folder.iterdir()} >= {"red-dot.png", "red-dot.bmp"}


def test_numpy_and_pillow_example_runs(tmp_path):
    result = _run(_folder_with_photo(tmp_path), _example("import numpy"))
    assert result.returncode == 0, result.stderr
    assert result.stdout == "(48, 64, 3) uint8\n"


@pytest.mark.parametrize("engine", ["pool", "cluster"])
def test_worker_examples_run(tmp_path, engine):
    # The worker functions as the README gives them, run by a process pool
    # and by a real dask cluster of two worker processes on this machine.
    if engine == "cluster":
        pytest.importorskip("distributed")
    folder = _folder_with_photo(tmp_path)
    (folder / "workers.py").write_text(_example("# workers.py"))
    code = blocks("python")[3 if engine == "pool" else 4]
    result = _run(folder, code, f"{engine}.py")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "['photo.bmp']\n"
