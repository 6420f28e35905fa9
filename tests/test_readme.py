"""The README's commands and Python examples run as written."""

import re
import subprocess
import sys
from pathlib import Path

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


def test_quick_start_runs(tmp_path):
    subprocess.run(
        [sys.executable, "-m", "Morvane", "sample", "photo.png"], cwd=tmp_path, check=True, capture_output=True
    )
    code = blocks("python")[0]
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "(64, 48) 64 48\n"
    assert {p.name for p in tmp_path.iterdir()} >= {"red-dot.png", "red-dot.bmp", "two-pixels.png"}


def test_pool_example_runs(tmp_path):
    subprocess.run(
        [sys.executable, "-m", "Morvane", "sample", "photo.png"], cwd=tmp_path, check=True, capture_output=True
    )
    (code,) = blocks("python")[1:]
    (tmp_path / "pool.py").write_text(code)  # the workers import it by name
    result = subprocess.run([sys.executable, "pool.py"], cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "['photo.bmp']\n"
