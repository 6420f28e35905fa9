"""The supported CPython versions, and which of them this machine has.

The supported versions are the ``Programming Language :: Python :: 3.X``
classifiers of pyproject.toml. An interpreter for 3.X is looked for as
``python3.X`` on PATH (in PATH order), then under pyenv's versions directory
(``$PYENV_ROOT``, default ~/.pyenv: the newest 3.X.N); the interpreter running
this script stands for its own version. MORVANE_PYTHON_VERSIONS (e.g. "3.14 3.15")
narrows the supported versions to those it names, for a run that leaves the
others to another machine (tools/debian-pythons.sh: 3.14 and 3.15 in a Debian
root; .ci/run: the rest on the host). A candidate counts only if it runs,
is CPython 3.X, and has what building and testing the module needs: the C
headers and ``venv`` with ``ensurepip``. (pyenv's shims are on PATH but fail
for a version that is not selected; that is why each candidate is run.)

    python tools/pythons.py     # one line per supported version: found or skipped

Imported by tests/test_packaging.py: ``supported()`` and ``find(version)``.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tomllib
from pathlib import Path
from typing import Iterator

ROOT = Path(__file__).resolve().parent.parent

# Prints "<implementation> <major.minor> <full version>" and fails when
# something the build or the tests need is missing.
PROBE = """
import ensurepip, os, platform, sys, sysconfig, venv
include = sysconfig.get_paths()["include"]
if not os.path.exists(os.path.join(include, "Python.h")):
    raise SystemExit("no C headers (Python.h) in " + include)
print(sys.implementation.name, "%d.%d" % sys.version_info[:2], platform.python_version())
"""


def supported() -> list[str]:
    """The versions pyproject.toml's classifiers name, oldest first (those
    of them that MORVANE_PYTHON_VERSIONS names, when it is set)."""
    with open(ROOT / "pyproject.toml", "rb") as f:
        classifiers = tomllib.load(f)["project"]["classifiers"]
    versions = {m[1] for c in classifiers if (m := re.fullmatch(r"Programming Language :: Python :: (3\.\d+)", c))}
    chosen = os.environ.get("MORVANE_PYTHON_VERSIONS")
    if chosen is not None:
        unknown = set(chosen.split()) - versions
        if unknown:
            raise SystemExit(f"MORVANE_PYTHON_VERSIONS names unsupported versions: {' '.join(sorted(unknown))}")
        versions &= set(chosen.split())
    return sorted(versions, key=lambda v: tuple(map(int, v.split("."))))


def _candidates(version: str) -> Iterator[str]:
    if version == "%d.%d" % sys.version_info[:2]:
        yield sys.executable
    for folder in os.environ.get("PATH", "").split(os.pathsep):
        path = Path(folder or ".") / f"python{version}"
        if path.is_file() and os.access(path, os.X_OK):
            yield str(path)
    pyenv = Path(os.environ.get("PYENV_ROOT") or Path.home() / ".pyenv") / "versions"
    releases = [p for p in pyenv.glob(f"{version}.*") if re.fullmatch(rf"{re.escape(version)}\.\d+", p.name)]
    for release in sorted(releases, key=lambda p: int(p.name.rsplit(".", 1)[1]), reverse=True):
        yield str(release / "bin" / f"python{version}")


def find(version: str) -> tuple[str | None, str]:
    """(interpreter, its full version) for ``version``, or (None, why not)."""
    why = "no interpreter found"
    for path in _candidates(version):
        try:
            result = subprocess.run([path, "-c", PROBE], capture_output=True, text=True, timeout=60)
        except OSError:
            continue
        words = result.stdout.split()
        if result.returncode == 0 and words[:2] == ["cpython", version]:
            return path, words[2]
        if result.returncode != 0 and "no C headers" in result.stderr:
            why = f"{path}: {result.stderr.strip()}"
        elif result.returncode != 0 and "ensurepip" in result.stderr:
            why = f"{path}: no venv/ensurepip"
    return None, why


def main() -> int:
    for version in supported():
        path, detail = find(version)
        if path:
            print(f"Python {version}: {path} ({detail})")
        else:
            print(f"Python {version}: skipped, {detail}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
