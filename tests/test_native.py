"""Native checks: the C++ programs in tests/native, built from the module's
interpreter-free sources (pixel kernels, codec cores) without Python, each
once as the vector build and once with the vector kernels forced off, under
AddressSanitizer and UndefinedBehaviorSanitizer where the compiler has them.
The kernel checks run a third time as a processor with SSE2 alone runs the
vector kernels (no SSSE3 or SSE4.1 paths: the two-row filters' and the
byte shuffles' fallbacks).

Each program names the sources it needs in a `// sources: a.cpp b.cpp` line.
MORVANE_NATIVE_CXXFLAGS adds compiler flags (the coverage build adds
--coverage) and MORVANE_NATIVE_BUILD_DIR keeps the objects in that folder.
MORVANE_SKIP_NATIVE=1 skips them: they depend neither on the interpreter nor
on the installed module, so a run of the suite on a further interpreter or
build of the module, after a run that made them with the same compiler and
sources, would only repeat them (tools/each-python.sh and CI set it there).

tools/mutate.py builds the same programs with the same flags (program_sources
and compile_flags below), one source at a time.
"""

import os
import re
import shlex
import shutil
import subprocess
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ROOT / "src" / "Morvane"
NATIVE = Path(__file__).resolve().parent / "native"
PROGRAMS = sorted(p.stem for p in NATIVE.glob("*_test.cpp"))
VARIANTS = {
    "vector": [],
    "scalar": ["-DMV_FORCE_SCALAR=1"],
    "sse2": ["-DMV_FORCE_SSE2=1"],
    "no-avx2": ["-DMV_NO_AVX2=1"],
}
# The kernels alone differ by instruction set.
BUILDS = [
    (program, variant)
    for program in PROGRAMS
    for variant in VARIANTS
    if variant in ("vector", "scalar") or program == "kernels_test"
]
# The module's own warnings (MORVANE_WARNINGS in CMakeLists.txt), as errors.
WARNINGS = [
    *re.search(r"set\(MORVANE_WARNINGS\s(.*?)\)", (ROOT / "CMakeLists.txt").read_text(), re.S)[1].split(),
    "-Werror",
]
SANITIZE = ["-fsanitize=address,undefined", "-fno-sanitize-recover=all", "-fno-omit-frame-pointer"]

pytestmark = pytest.mark.skipif(
    os.environ.get("MORVANE_SKIP_NATIVE") == "1",
    reason="MORVANE_SKIP_NATIVE=1: this run's caller ran the native checks",
)


def program_sources(program):
    """The module's sources a native program names in its `// sources:` line."""
    found = re.search(r"^// sources:(.*)$", (NATIVE / f"{program}.cpp").read_text(), re.M)
    return [SOURCES / name for name in found.group(1).split()] if found else []


def compile_flags(variant, sanitize, extra=()):
    """The compiler's flags for a native program of `variant`, before its files."""
    return [
        "-std=c++17",
        "-O1",
        "-g",
        *WARNINGS,
        *sanitize,
        *VARIANTS[variant],
        # The fast paths' counters (core/paths.hpp), which the checks read.
        "-DMV_COUNT_PATHS=1",
        *extra,
        f"-I{SOURCES}",
        f"-I{NATIVE}",
    ]


def _compiler():
    for candidate in (os.environ.get("CXX"), "c++", "g++", "clang++"):
        if candidate and shutil.which(candidate.split()[0]):
            return shlex.split(candidate)
    return None


def _child_env():
    # The sanitizer run of the suite preloads the runtimes into the
    # interpreter; a native program links its own.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    env["ASAN_OPTIONS"] = "detect_leaks=0:abort_on_error=0"
    env["UBSAN_OPTIONS"] = "halt_on_error=1:print_stacktrace=1"
    return env


@pytest.fixture(scope="session")
def native_build(request, tmp_path_factory):
    cxx = _compiler()
    if cxx is None or not SOURCES.is_dir():
        pytest.skip("needs a C++ compiler and the module's sources")
    out = Path(os.environ.get("MORVANE_NATIVE_BUILD_DIR") or tmp_path_factory.mktemp("native"))
    out.mkdir(parents=True, exist_ok=True)
    extra = shlex.split(os.environ.get("MORVANE_NATIVE_CXXFLAGS", ""))
    probe = subprocess.run(
        [*cxx, *SANITIZE, "-x", "c++", "-", "-o", str(out / "probe")],
        input="int main() { return 0; }",
        capture_output=True,
        text=True,
    )
    sanitize = SANITIZE if probe.returncode == 0 else []

    def compile_one(program, variant):
        exe = out / f"{program}-{variant}"
        command = [
            *cxx,
            *compile_flags(variant, sanitize, extra),
            str(NATIVE / f"{program}.cpp"),
            *map(str, program_sources(program)),
            "-o",
            str(exe),
        ]
        result = subprocess.run(command, capture_output=True, text=True, cwd=out)
        assert result.returncode == 0, f"{shlex.join(command)}\n{result.stderr[-4000:]}"
        return exe

    # Compiling takes most of the checks' time: every selected program is
    # compiled at once, on every processor, while the first ones run.
    wanted = [
        (item.callspec.params["program"], item.callspec.params["variant"])
        for item in request.session.items
        if getattr(item, "originalname", None) == "test_native"
    ]
    pool = ThreadPoolExecutor(max_workers=max(1, len(os.sched_getaffinity(0))))
    request.addfinalizer(lambda: pool.shutdown(cancel_futures=True))
    builds = {key: pool.submit(compile_one, *key) for key in dict.fromkeys(wanted)}

    def build(program, variant):
        key = (program, variant)
        if key not in builds:
            builds[key] = pool.submit(compile_one, *key)
        return builds[key].result()

    return build


@pytest.mark.parametrize("program, variant", BUILDS)
def test_native(native_build, program, variant):
    exe = native_build(program, variant)
    result = subprocess.run([str(exe)], capture_output=True, text=True, env=_child_env(), timeout=600)
    assert result.returncode == 0, f"{result.stdout[-2000:]}\n{result.stderr[-4000:]}"
    assert " 0 failures" in result.stdout
