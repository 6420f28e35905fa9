"""The source distribution and the wheel, and the wheel installed in a fresh venv.

Building and installing takes a minute or two, so this runs only when
MORVANE_TEST_PACKAGING=1 is set (.ci/run does so once, after the test suite):

    MORVANE_TEST_PACKAGING=1 pytest tests/test_packaging.py
"""

import os
import subprocess
import sys
import tarfile
import venv
import zipfile
from pathlib import Path

import pytest

ENV = "MORVANE_TEST_PACKAGING"
pytestmark = pytest.mark.skipif(os.environ.get(ENV) != "1", reason=f"set {ENV}=1 to build and install")

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "src" / "Morvane"
SOURCES = {".cpp", ".hpp"}
# What the wheel carries besides the compiled module.
SHIPPED = {"__init__.py", "__main__.py", "cli.py", "simpleImage_ext.pyi", "py.typed", "sample.png"}


def sh(*args, **kwargs):
    result = subprocess.run([*map(str, args)], capture_output=True, text=True, **kwargs)
    assert result.returncode == 0, f"{args}\n{result.stdout[-3000:]}\n{result.stderr[-3000:]}"
    return result


def packageFiles():
    return {p.name for p in PACKAGE.iterdir() if p.is_file() and not p.name.endswith(".so")}


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    """An sdist, the wheel that `python -m build` makes from it, and one from `pip wheel .`."""
    out = tmp_path_factory.mktemp("dist")
    sh(sys.executable, "-m", "build", "--outdir", out / "build", ROOT)
    sh(sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", out / "pip", ROOT)
    (sdist,) = (out / "build").glob("*.tar.gz")
    (wheel,) = (out / "build").glob("*.whl")
    (pipWheel,) = (out / "pip").glob("*.whl")
    return sdist, wheel, pipWheel


def test_sdist_holds_the_build_inputs_and_nothing_else(dist):
    sdist = dist[0]
    with tarfile.open(sdist) as tar:
        names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    assert names == {
        "PKG-INFO", "pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE",
        *(f"src/Morvane/{name}" for name in packageFiles()),
    }


def _wheelNames(wheel):
    with zipfile.ZipFile(wheel) as whl:
        return set(whl.namelist())


def test_wheel_holds_the_module_stubs_and_sample_but_no_sources(dist):
    _, wheel, pipWheel = dist
    names = _wheelNames(wheel)
    assert names == _wheelNames(pipWheel)
    package = {n.split("/", 1)[1] for n in names if n.startswith("Morvane/")}
    (module,) = [n for n in package if n.startswith("simpleImage_ext.") and n.endswith(".so")]
    assert package == SHIPPED | {module}
    assert SHIPPED | {n for n in packageFiles() if Path(n).suffix in SOURCES} == packageFiles()
    others = {n for n in names if not n.startswith("Morvane/")}
    assert all(n.startswith("morvane-0.1.0.dist-info/") for n in others), others
    assert "morvane-0.1.0.dist-info/licenses/LICENSE" in others

    with zipfile.ZipFile(wheel) as whl:
        metadata = whl.read("morvane-0.1.0.dist-info/METADATA").decode()
    for line in ("Name: Morvane", "Version: 0.1.0", "License: MIT", "Requires-Python: >=3.11",
                 "Classifier: License :: OSI Approved :: MIT License"):
        assert line in metadata.splitlines()


def test_wheel_installs_in_a_fresh_venv_and_passes_the_tests(dist, tmp_path):
    wheel = dist[1]
    env = tmp_path / "venv"
    venv.create(env, with_pip=True)
    python = env / "bin" / "python"
    sh(python, "-m", "pip", "install", f"{wheel}[test]")

    where = sh(python, "-c", "import Morvane.simpleImage_ext as m; print(m.__file__)", cwd=tmp_path)
    assert where.stdout.startswith(str(env)), where.stdout

    # The command line runs on the bundled sample with no file of the user's.
    sh(python, "-m", "Morvane", "convert", "sample.bmp", cwd=tmp_path)
    assert (tmp_path / "sample.bmp").read_bytes()[:2] == b"BM"

    environ = {k: v for k, v in os.environ.items() if k != ENV}
    run = sh(python, "-m", "pytest", "-q", "-p", "no:cacheprovider", ROOT / "tests",
             cwd=tmp_path, env=environ)
    assert " passed" in run.stdout.splitlines()[-1], run.stdout[-2000:]
