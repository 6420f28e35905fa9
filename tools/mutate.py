#!/usr/bin/env python3
"""Mutation testing of the module's C++: how many small faults the tests catch.

A mutant is the sources with one change: a relational, equality, arithmetic,
bitwise or logical operator swapped, an integer constant moved by one (or to
zero), true and false swapped, a condition negated or its `!` dropped, an
increment turned into a decrement, a call, assignment or return statement
deleted, break and continue swapped. Switch keys change with the constants
of their case labels. Comments, string literals, preprocessor lines and the
lines marked unreachable for the coverage report (GCOVR_EXCL) are left alone.

The sources are grouped in units, each with the tests that cover it:

    pngrows   core/pngrows.cpp      the native checks (tests/native)
    kernels   core/kernels.cpp      the native checks (tests/native)
    png       png/*.cpp             targeted pytest files
    bmp       bmp/*.cpp             targeted pytest files
    module    module/*.cpp          targeted pytest files

A unit's mutants are ranked by a hash of the seed and their identity, and
taken in that order until COUNT of them compile; that list is the unit's
sample, kept in the results folder so that a later run (after the tests
changed) runs the same mutants. Each one is built and tested in turn:
killed (a test failed, crashed or ran out of time), survived, or did not
compile. Results are cached by mutant id, with a fingerprint of the sources
and tests they were obtained with, so an interrupted run resumes where it
stopped, and a change to the tests or the sources runs the sample again.

The core units are compiled like tests/test_native.py compiles them
(sanitizers included, warnings as errors), one object per source so that a
mutant recompiles one file. The binding units are built once with CMake and
Ninja in a copy of the sources (warnings as errors, as CI builds them); a
mutant recompiles its file and relinks. Their tests run in a venv of the
tool's own (made on first use: the test extra, not the project), whose
site-packages points at a staging package of the Python files and that
build, so that every process the tests start imports the mutant too. A
mutant the compiler rejects or warns about counts as not compiled.

Survivors that cannot be told apart from the original by any test are
listed in tools/mutation-equivalents.md (a line per mutant, its id in
backticks first); the summary counts them apart.

    python tools/mutate.py run [UNIT ...]      # build, test, record (resumes)
    python tools/mutate.py summary [UNIT ...]  # the figures and the survivors' diffs
    python tools/mutate.py show ID             # one mutant's diff and outcome
    python tools/mutate.py try ID ...          # build and test these mutants now
    python tools/mutate.py build ID            # build a binding unit's mutant, to test it by hand
    python tools/mutate.py list UNIT           # every candidate mutant of a unit

Run it with the interpreter of a venv that has the project's test extra
(`pip install ".[test]"`: pytest, which the native checks' recipe imports);
the binding units need cmake and ninja. Options:
--count N (default 60), --seed N (default 14), --results DIR (default
.mutation/ in the repository), --resample (draw the sample anew), --jobs N
(compiler jobs, default 1). The run lowers its own priority (nice 10).
"""

from __future__ import annotations

import argparse
import dataclasses
import hashlib
import importlib.util
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import time
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SRC = ROOT / "src" / "Morvane"
EQUIVALENTS = ROOT / "tools" / "mutation-equivalents.md"

# ---------------------------------------------------------------------------
# Units


@dataclasses.dataclass
class Unit:
    name: str
    sources: list[str]  # below src/Morvane
    # Native units: (program, variant) of tests/native, run in this order.
    programs: list[tuple[str, str]] = dataclasses.field(default_factory=list)
    # Binding units: pytest runs (files and options), in this order.
    pytest_runs: list[list[str]] = dataclasses.field(default_factory=list)

    @property
    def native(self) -> bool:
        return bool(self.programs)


# The suite's last lines of defence, run after a unit's own files: the
# allocation-failure sweeps (every error path) and the leak checks (every
# reference). 1200 leak iterations: a leak of one 16-byte block per call
# still grows past the check's tolerance.
SWEEPS = [["tests/test_alloc_failure.py"], ["tests/test_leaks.py"]]

UNITS = {
    u.name: u
    for u in [
        Unit("pngrows", ["core/pngrows.cpp"], programs=[("pngrows_test", "vector"), ("pngrows_test", "scalar")]),
        Unit(
            "kernels",
            ["core/kernels.cpp"],
            programs=[
                ("kernels_test", "vector"),
                ("kernels_test", "sse2"),
                ("kernels_test", "no-avx2"),
                ("kernels_test", "scalar"),
                ("pngrows_test", "vector"),
                ("pngrows_test", "scalar"),
            ],
        ),
        Unit(
            "png",
            [
                "png/chunks.cpp",
                "png/chunkscan.cpp",
                "png/inflate.cpp",
                "png/fastzlib.cpp",
                "png/decoder.cpp",
                "png/encoder.cpp",
            ],
            pytest_runs=[
                ["tests/test_chunks.py", "tests/test_png_decode.py", "tests/test_png_encode.py", "tests/test_open.py"],
                ["tests/test_png_inflate.py", "tests/test_threads.py"],
                ["tests/test_reference.py", "tests/test_conformance.py", "tests/test_differential.py"],
                ["tests/test_api_io.py", "tests/test_memory_safety.py", "tests/test_resource_bounds.py"],
                *SWEEPS,
            ],
        ),
        Unit(
            "bmp",
            ["bmp/decoder.cpp", "bmp/encoder.cpp"],
            pytest_runs=[
                ["tests/test_bmp.py", "tests/test_open.py", "tests/test_with_block.py", "tests/test_threads.py"],
                ["tests/test_reference.py", "tests/test_conformance.py", "tests/test_differential.py"],
                ["tests/test_api_io.py", "tests/test_memory_safety.py", "tests/test_resource_bounds.py"],
                *SWEEPS,
            ],
        ),
        Unit(
            "module",
            ["module/image.cpp", "module/init.cpp", "module/open.cpp"],
            pytest_runs=[
                ["tests/test_image.py", "tests/test_open.py", "tests/test_module.py", "tests/test_memory_safety.py"],
                ["tests/test_with_block.py", "tests/test_bmp.py", "tests/test_png_decode.py", "tests/test_typing.py"],
                ["tests/test_api_io.py", "tests/test_api_interop.py", "tests/test_conformance.py"],
                *SWEEPS,
            ],
        ),
    ]
}

# ---------------------------------------------------------------------------
# Mutants


@dataclasses.dataclass
class Mutant:
    file: str  # below src/Morvane
    line: int  # 1-based, in the source the mutant was made from
    col: int  # 0-based
    original: str
    replacement: str
    operator: str
    ident: str = ""

    def apply(self, text: str) -> str:
        lines = text.split("\n")
        line = lines[self.line - 1]
        assert line[self.col : self.col + len(self.original)] == self.original, (self, line)
        lines[self.line - 1] = line[: self.col] + self.replacement + line[self.col + len(self.original) :]
        return "\n".join(lines)

    def diff(self, text: str) -> str:
        before = text.split("\n")[self.line - 1]
        after = self.apply(text).split("\n")[self.line - 1]
        return f"{self.file}:{self.line}\n- {before.strip()}\n+ {after.strip()}"


def mask(text: str) -> str:
    """The source with comments, string and character literals and
    preprocessor lines blanked (same length, newlines kept), so that the
    operators are matched in code only."""
    out = list(text)
    i, n = 0, len(text)

    def blank(a, b):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    at_line_start = True
    while i < n:
        c = text[i]
        if at_line_start and c == "#":
            j = i
            while True:  # the directive and its continuation lines
                e = text.find("\n", j)
                e = n if e < 0 else e
                if e > 0 and text[e - 1] == "\\" and e < n:
                    j = e + 1
                    continue
                break
            blank(i, e)
            i = e
            continue
        if c == "\n":
            at_line_start = True
            i += 1
            continue
        if not c.isspace():
            at_line_start = False
        if text.startswith("//", i):
            e = text.find("\n", i)
            e = n if e < 0 else e
            blank(i, e)
            i = e
        elif text.startswith("/*", i):
            e = text.find("*/", i + 2)
            e = n if e < 0 else e + 2
            blank(i, e)
            i = e
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            blank(i + 1, j)
            i = j + 1
        else:
            i += 1
    return "".join(out)


# Binary operators stand between spaces in the formatted sources; template
# brackets, pointer and reference declarators and unary operators do not.
BINARY = re.compile(
    r"(?<=\S) (<<=|>>=|<=|>=|==|!=|&&|\|\||<<|>>|\+=|-=|\*=|/=|%=|&=|\|=|\^=|<|>|\+|-|\*|/|%|&|\||\^) (?=\S)"
)
SWAPS = {
    # relational and equality
    "<": ["<=", ">="],
    "<=": ["<", ">"],
    ">": [">=", "<="],
    ">=": [">", "<"],
    "==": ["!="],
    "!=": ["=="],
    # logical
    "&&": ["||"],
    "||": ["&&"],
    # arithmetic and bitwise
    "+": ["-"],
    "-": ["+"],
    "*": ["/"],
    "/": ["*"],
    "%": ["/"],
    "<<": [">>"],
    ">>": ["<<"],
    "&": ["|"],
    "|": ["&"],
    "^": ["|"],
    # compound assignment
    "+=": ["-="],
    "-=": ["+="],
    "*=": ["/="],
    "/=": ["*="],
    "%=": ["/="],
    "&=": ["|="],
    "|=": ["&="],
    "^=": ["|="],
    "<<=": [">>="],
    ">>=": ["<<="],
}
OPERATOR_KIND = {
    **dict.fromkeys(["<", "<=", ">", ">=", "==", "!="], "relational"),
    **dict.fromkeys(["&&", "||"], "logical"),
}
INTEGER = re.compile(r"(?<![\w.'])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.'])")
BOOLEAN = re.compile(r"\b(true|false)\b")
INCREMENT = re.compile(r"\+\+|--")
NOT = re.compile(r"!(?!=)")
CONDITION = re.compile(r"\b(if|while) \(")
CALL = re.compile(r"[A-Za-z_][\w:]*(?:(?:\.|->)[A-Za-z_]\w*)*\(")
ASSIGNMENT = re.compile(r"\*?[A-Za-z_][\w:.\[\]>-]* (?:=|\+=|-=|\*=|/=|%=|&=|\|=|\^=|<<=|>>=) ")
STEP = re.compile(r"(?:\+\+|--)[\w.\[\]>-]+;|[\w.\[\]>-]+(?:\+\+|--);")


def closing(masked: str, start: int) -> int:
    """The index of the parenthesis that closes the one at `start`, or -1
    when it is not on the same line."""
    depth = 0
    for k in range(start, len(masked)):
        if masked[k] == "(":
            depth += 1
        elif masked[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


def outside_parentheses(s: str) -> str:
    """`s` with whatever stands inside parentheses blanked."""
    out, depth = [], 0
    for ch in s:
        depth -= ch == ")"
        out.append(ch if depth == 0 else " ")
        depth += ch == "("
    return "".join(out)


def balanced(s: str) -> bool:
    depth = 0
    for ch in s:
        depth += ch == "("
        depth -= ch == ")"
        if depth < 0:
            return False
    return depth == 0


def excluded_lines(lines: list[str]) -> set[int]:
    """Line numbers (1-based) the coverage report counts as unreachable."""
    out, inside = set(), False
    for number, line in enumerate(lines, 1):
        if "GCOVR_EXCL_START" in line:
            inside = True
        if inside or "GCOVR_EXCL_LINE" in line:
            out.add(number)
        if "GCOVR_EXCL_STOP" in line:
            inside = False
    return out


def statement_mutants(masked: str, previous: str) -> list[tuple[int, str, str, str]]:
    """Deletions (and break/continue swaps) of the statement on a line:
    (column, original, replacement, operator)."""
    found = []
    body = masked.strip()
    col = len(masked) - len(masked.lstrip())
    # The body of a one-line `if (...) statement;`.
    m = re.match(r"(?:else )?if \(", body)
    if m:
        end = closing(body, m.end() - 1)
        if end > 0 and body.endswith(";") and end + 2 < len(body):
            stmt = body[end + 2 :]
            if balanced(stmt) and ";" not in stmt[:-1]:
                found.append((col + end + 2, stmt, "{}", "delete"))
        return found
    # A whole statement on its own line (not the continuation of another).
    if not body.endswith(";") or not balanced(body) or ";" in body[:-1]:
        return found
    if previous and not previous.endswith((";", "{", "}", ":", ")")) and previous != "else":
        return found
    if body in ("break;", "continue;"):
        found.append((col, body, "continue;" if body == "break;" else "break;", "break/continue"))
        found.append((col, body, ";", "delete"))
    elif body.startswith("return ") or body == "return;":
        found.append((col, body, ";", "delete"))
    elif CALL.match(body) and CALL.match(body).end() > 0 and not re.match(r"(return|delete|new)\b", body):
        found.append((col, body, ";", "delete"))
    elif ASSIGNMENT.match(body) or STEP.fullmatch(body):
        found.append((col, body, ";", "delete"))
    return found


def line_mutants(masked: str, previous: str) -> list[tuple[int, str, str, str]]:
    """Every mutant of one (masked) line: (column, original, replacement, operator)."""
    found = []
    for m in BINARY.finditer(masked):
        op = m.group(1)
        for repl in SWAPS.get(op, []):
            found.append((m.start(1), op, repl, OPERATOR_KIND.get(op, "arithmetic")))
    for m in INTEGER.finditer(masked):
        digits, suffix = m.group(1), m.group(2)
        value = int(digits, 0)
        targets = {value + 1, value - 1, 0} if value > 1 else {0: {1}, 1: {0, 2}}[value]
        for t in sorted(targets):
            text = (hex(t) if digits.lower().startswith("0x") else str(t)) + suffix
            found.append((m.start(), m.group(0), text, "constant"))
    for m in BOOLEAN.finditer(masked):
        found.append((m.start(), m.group(1), "false" if m.group(1) == "true" else "true", "constant"))
    for m in INCREMENT.finditer(masked):
        found.append((m.start(), m.group(0), "--" if m.group(0) == "++" else "++", "arithmetic"))
    for m in NOT.finditer(masked):
        found.append((m.start(), "!", "", "negation"))
    for m in CONDITION.finditer(masked):
        start = m.end() - 1
        end = closing(masked, start)
        if end > 0:
            cond = masked[start + 1 : end]
            # `!x` negated is `x`, which dropping the `!` gives already.
            if not (cond.startswith("!") and not BINARY.search(outside_parentheses(cond))):
                found.append((start + 1, cond, f"!({cond})", "negation"))
    found.extend(statement_mutants(masked, previous))
    return found


def file_mutants(rel: str, text: str) -> list[Mutant]:
    lines = text.split("\n")
    masked_lines = mask(text).split("\n")
    skip = excluded_lines(lines)
    mutants = []
    seen: dict[str, int] = {}
    previous = ""
    for number, (line, masked) in enumerate(zip(lines, masked_lines), 1):
        key = line.strip()
        occurrence = seen.get(key, 0)
        seen[key] = occurrence + 1
        if number not in skip and masked.strip():
            for col, original, replacement, operator in line_mutants(masked, previous):
                # The original text comes from the source (the mask blanks literals).
                original = line[col : col + len(original)]
                mutant = Mutant(rel, number, col, original, replacement, operator)
                # The identity survives edits elsewhere in the file: the
                # line's text (and which of its equal lines), the column and
                # the change.
                blob = "\0".join(
                    [rel, key, str(occurrence), str(col - (len(line) - len(line.lstrip()))), original, replacement]
                )
                mutant.ident = hashlib.sha1(blob.encode()).hexdigest()[:12]
                mutants.append(mutant)
        if masked.strip():
            previous = masked.strip()
    return mutants


def unit_mutants(unit: Unit, tree: Path = SRC) -> dict[str, Mutant]:
    out = {}
    for rel in unit.sources:
        for mutant in file_mutants(rel, (tree / rel).read_text()):
            out[mutant.ident] = mutant
    return out


def rank(seed: int, ident: str) -> str:
    return hashlib.sha1(f"{seed}:{ident}".encode()).hexdigest()


# ---------------------------------------------------------------------------
# Building and testing

# Mutants are built as the suite and CI build the sources: warnings are
# errors (a mutant the compiler warns about does not get past the build).
# A deleted last return is an error with any build (it is no program at all).
STRICT = ["-Werror=return-type"]


def run(command, *, cwd=None, env=None, timeout=None) -> tuple[int | str, str]:
    """Runs a command; (exit status or "timeout", its output)."""
    try:
        proc = subprocess.run(
            command, cwd=cwd, env=env, timeout=timeout, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True
        )
        return proc.returncode, proc.stdout
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or "")
        return "timeout", out


def copy_if_changed(src: Path, dst: Path):
    if dst.exists() and dst.read_bytes() == src.read_bytes():
        return
    dst.parent.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(src, dst)


def load_native_recipe():
    """tests/test_native.py: the native checks' sources and flags."""
    spec = importlib.util.spec_from_file_location("test_native", ROOT / "tests" / "test_native.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class NativeBuilder:
    """The native check programs, one object per source and variant, built
    from a copy of the sources; a mutant recompiles its own file."""

    def __init__(self, work: Path, unit: Unit):
        self.work = work
        self.unit = unit
        self.recipe = load_native_recipe()
        self.tree = work / "tree"
        cxx = os.environ.get("CXX") or "g++"
        self.cxx = shlex.split(cxx)
        probe, _ = run([*self.cxx, *self.recipe.SANITIZE, "-x", "c++", "-", "-o", str(work / "probe")])
        self.sanitize = self.recipe.SANITIZE if probe == 0 else []
        self.timeouts: dict[tuple[str, str], float] = {}

    def flags(self, variant):
        flags = self.recipe.compile_flags(variant, self.sanitize)
        return [*(f.replace(f"-I{SRC}", f"-I{self.tree}") for f in flags), *STRICT]

    def object(self, source: Path, variant: str, tag: str) -> Path:
        return self.work / "obj" / variant / f"{source.stem}.{tag}.o"

    def compile(self, source: Path, variant: str, tag: str) -> tuple[int | str, str]:
        obj = self.object(source, variant, tag)
        obj.parent.mkdir(parents=True, exist_ok=True)
        return run([*self.cxx, *self.flags(variant), "-c", str(source), "-o", str(obj)], timeout=600)

    def prepare(self):
        """The original objects of every program's files, and the time each
        program takes on them (its timeout is four times that, plus a minute)."""
        for rel in {s for p, _ in self.unit.programs for s in self.sources(p)}:
            copy_if_changed(SRC / rel, self.tree / rel)
        for header in SRC.glob("core/*.hpp"):
            copy_if_changed(header, self.tree / "core" / header.name)
        for program, variant in self.unit.programs:
            for source in [
                ROOT / "tests" / "native" / f"{program}.cpp",
                *(self.tree / r for r in self.sources(program)),
            ]:
                status, out = self.compile(source, variant, "orig")
                if status != 0:
                    sys.exit(f"the original {source} does not compile:\n{out[-3000:]}")
            start = time.monotonic()
            status, out = self.link_and_run(program, variant, None)
            if status != 0:
                sys.exit(f"the native check {program} ({variant}) fails on the original sources:\n{out[-3000:]}")
            self.timeouts[program, variant] = 4 * (time.monotonic() - start) + 60

    def sources(self, program):
        return [str(p.relative_to(self.recipe.SOURCES)) for p in self.recipe.program_sources(program)]

    def link_and_run(self, program, variant, mutated: str | None, timeout=None):
        objs = [self.object(ROOT / "tests" / "native" / f"{program}.cpp", variant, "orig")]
        for rel in self.sources(program):
            tag = "mutant" if rel == mutated else "orig"
            objs.append(self.object(self.tree / rel, variant, tag))
        exe = self.work / f"{program}-{variant}"
        status, out = run([*self.cxx, *self.sanitize, *map(str, objs), "-o", str(exe)], timeout=600)
        if status != 0:
            return "link", out
        env = self.recipe._child_env()
        status, out = run([str(exe)], env=env, timeout=timeout)
        if status == 0 and " 0 failures" not in out:
            status = "no summary"
        return status, out

    def test(self, mutant: Mutant, text: str) -> dict:
        programs = [(p, v) for p, v in self.unit.programs if mutant.file in self.sources(p)]
        mutated = self.work / "mutant" / mutant.file
        mutated.parent.mkdir(parents=True, exist_ok=True)
        mutated.write_text(mutant.apply(text))
        # Includes resolve against the copy of the tree.
        for variant in dict.fromkeys(v for _, v in programs):
            status, out = self.compile(mutated, variant, "mutant")
            if status != 0:
                return {"status": "did-not-compile", "detail": out[-2000:]}
        for program, variant in programs:
            status, out = self.link_and_run(program, variant, mutant.file, self.timeouts[program, variant])
            if status != 0:
                return {"status": "killed", "by": f"{program} ({variant})", "exit": status, "detail": out[-2000:]}
        return {"status": "survived", "by": None}


class ModuleBuilder:
    """The extension built with CMake and Ninja from a copy of the sources,
    and a staging package (the Python files and that build) that the tests
    import. They run in a venv of their own, with the test dependencies but
    not the project, whose site-packages points at the staging package: every
    process of that interpreter imports the mutant, whatever its environment
    (the allocation-failure sweeps' children set PYTHONPATH of their own)."""

    def __init__(self, work: Path, unit: Unit, jobs: int):
        self.work = work
        self.unit = unit
        self.jobs = jobs
        # Shared by the binding units.
        self.tree = work.parent / "module-tree"
        self.build = work.parent / "module-build"
        self.stage = work.parent / "module-stage"
        self.venv = work.parent / "venv"
        self.python = self.venv / "bin" / "python"
        self.baseline: dict[int, float] = {}

    def make_venv(self):
        """The venv of the test runs: the project's dependencies and its test
        extra (installed again when they change), and a .pth file naming the
        staging folder."""
        if not self.python.exists():
            status, out = run([sys.executable, "-m", "venv", str(self.venv)])
            if status != 0:
                sys.exit(f"cannot make {self.venv}:\n{out}")
        with open(ROOT / "pyproject.toml", "rb") as f:
            project = tomllib.load(f)["project"]
        needs = [*project["dependencies"], *project["optional-dependencies"]["test"]]
        installed = self.venv / "installed.json"
        if not installed.exists() or json.loads(installed.read_text()) != needs:
            status, out = run([str(self.python), "-m", "pip", "install", "--quiet", *needs], timeout=3600)
            if status != 0:
                sys.exit(f"cannot install the test dependencies:\n{out[-3000:]}")
            installed.write_text(json.dumps(needs))
        site = run([str(self.python), "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"])[1].strip()
        (Path(site) / "morvane-mutation-stage.pth").write_text(f"{self.stage}\n")

    def sync(self):
        copy_if_changed(ROOT / "CMakeLists.txt", self.tree / "CMakeLists.txt")
        for path in SRC.rglob("*"):
            if path.suffix in (".cpp", ".hpp"):
                copy_if_changed(path, self.tree / "src" / "Morvane" / path.relative_to(SRC))
        # fuzz/coverage_shim.cpp is named only by the fuzzing build.

    def ninja(self) -> tuple[int | str, str]:
        return run(["ninja", "-C", str(self.build), f"-j{self.jobs}"], timeout=1200)

    def env(self):
        env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONMALLOC", "VIRTUAL_ENV")}
        env["MORVANE_LEAK_ITERATIONS"] = "1200"
        return env

    def build_original(self):
        """Configures (each time: cheap, and the options stay as below) and
        builds the original sources, and stages the package."""
        self.make_venv()
        self.sync()
        status, out = run(
            [
                "cmake",
                "-S",
                str(self.tree),
                "-B",
                str(self.build),
                "-G",
                "Ninja",
                "-DCMAKE_BUILD_TYPE=Release",
                # The counts of the fast paths, which the tests read where
                # they are built in (a fast path turned off is a fault).
                f"-DCMAKE_CXX_FLAGS={' '.join(STRICT)} -DMV_COUNT_PATHS=1",
                "-DMORVANE_WERROR=ON",
                f"-DPython_EXECUTABLE={self.python}",
            ]
        )
        if status != 0:
            sys.exit(f"cmake failed:\n{out[-3000:]}")
        status, out = self.ninja()
        if status != 0:
            sys.exit(f"the original sources do not build:\n{out[-3000:]}")
        # The package as pip installs it: its files, and their bytecode
        # compiled (as pip compiles it: a process that imports the package
        # never compiles it, which the import sweep's refusals would reach).
        package = self.stage / "Morvane"
        package.mkdir(parents=True, exist_ok=True)
        for path in SRC.iterdir():
            if path.suffix in (".py", ".pyi", ".typed", ".png"):
                copy_if_changed(path, package / path.name)
        # Its installed-distribution record, which Morvane.__version__ reads.
        with open(ROOT / "pyproject.toml", "rb") as f:
            project = tomllib.load(f)["project"]
        info = self.stage / f"{project['name']}-{project['version']}.dist-info"
        info.mkdir(exist_ok=True)
        metadata = f"Metadata-Version: 2.1\nName: {project['name']}\nVersion: {project['version']}\n"
        if not (info / "METADATA").exists() or (info / "METADATA").read_text() != metadata:
            (info / "METADATA").write_text(metadata)
        status, out = run([str(self.python), "-m", "compileall", "-q", str(package)])
        if status != 0:
            sys.exit(f"cannot compile the staged package:\n{out[-3000:]}")
        built = sorted(self.build.glob("simpleImage_ext*.so"))
        if len(built) != 1:
            sys.exit(f"expected one built extension in {self.build}, found {built}")
        # The module, and the package's other extension (encode's in-memory BMP).
        for extension in [built[0], *sorted(self.build.glob("_tobytes*.so"))]:
            link = package / extension.name
            if not link.is_symlink():
                link.symlink_to(extension)
        status, out = run(
            [str(self.python), "-c", "import Morvane.simpleImage_ext as m; print(m.__file__)"],
            env=self.env(),
            cwd=ROOT,
        )
        if status != 0 or Path(out.strip()).resolve() != built[0].resolve():
            sys.exit(f"the tests would not import the build in {self.build}: {out}")

    def prepare(self):
        """The build of the original sources, and the time each pytest run
        takes on it (its timeout is four times that, plus two minutes)."""
        self.build_original()
        for k, files in enumerate(self.unit.pytest_runs):
            start = time.monotonic()
            status, out = self.pytest(files, None)
            if status != 0:
                sys.exit(f"{' '.join(files)} fails on the original sources:\n{out[-3000:]}")
            self.baseline[k] = time.monotonic() - start

    def pytest(self, files, timeout):
        command = [str(self.python), "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "-rf", *files]
        return run(command, cwd=ROOT, env=self.env(), timeout=timeout)

    def build_mutant(self, mutant: Mutant, text: str) -> tuple[int | str, str]:
        """The build with `mutant` in place (left there: the next build puts
        the original back)."""
        (self.tree / "src" / "Morvane" / mutant.file).write_text(mutant.apply(text))
        return self.ninja()

    def test(self, mutant: Mutant, text: str) -> dict:
        target = self.tree / "src" / "Morvane" / mutant.file
        target.write_text(mutant.apply(text))
        try:
            status, out = self.ninja()
            if status != 0:
                return {"status": "did-not-compile", "detail": out[-2000:]}
            for k, files in enumerate(self.unit.pytest_runs):
                status, out = self.pytest(files, 4 * self.baseline[k] + 120)
                if status != 0:
                    failed = re.findall(r"^(?:FAILED|ERROR) (\S+)", out, re.M)
                    return {
                        "status": "killed",
                        "by": failed[0] if failed else " ".join(files),
                        "exit": status,
                        "detail": out[-2000:],
                    }
            return {"status": "survived", "by": None}
        finally:
            target.write_text(text)


# ---------------------------------------------------------------------------
# The campaign


def fingerprint(unit: Unit) -> str:
    """The sources and tests a unit's results were obtained with, and which
    of them the unit runs."""
    h = hashlib.sha1(repr((unit.programs, unit.pytest_runs)).encode())
    paths = sorted(SRC.rglob("*.cpp")) + sorted(SRC.rglob("*.hpp"))
    if unit.native:
        paths += sorted((ROOT / "tests" / "native").iterdir()) + [ROOT / "tests" / "test_native.py"]
    else:
        paths += sorted(SRC.glob("*.py")) + sorted((ROOT / "testkit").glob("*.py"))
        paths += sorted(ROOT / f for run_ in unit.pytest_runs for f in run_)
        paths += [ROOT / "tests" / "conftest.py", ROOT / "tests" / "nomemory.py", ROOT / "CMakeLists.txt"]
    for p in paths:
        h.update(str(p.relative_to(ROOT)).encode() + b"\0" + p.read_bytes())
    return h.hexdigest()[:16]


def load_equivalents() -> dict[str, str]:
    out = {}
    if EQUIVALENTS.exists():
        for line in EQUIVALENTS.read_text().splitlines():
            m = re.match(r"\s*[-*] `([0-9a-f]{12})`\s*(.*)", line)
            if m:
                out[m.group(1)] = m.group(2)
    return out


class Results:
    def __init__(self, base: Path, unit: Unit):
        self.dir = base / unit.name
        self.dir.mkdir(parents=True, exist_ok=True)

    def get(self, ident) -> dict | None:
        p = self.dir / f"{ident}.json"
        return json.loads(p.read_text()) if p.exists() else None

    def put(self, ident, record):
        tmp = self.dir / f"{ident}.json.tmp"
        tmp.write_text(json.dumps(record, indent=1))
        tmp.replace(self.dir / f"{ident}.json")

    @property
    def sample_file(self):
        return self.dir / "sample.json"


def log(message):
    print(time.strftime("%H:%M:%S"), message, flush=True)


def run_unit(unit: Unit, args, only: list[str] | None = None) -> None:
    """Runs the unit's sample (drawing it first if needed), or the mutants `only`."""
    results = Results(args.results, unit)
    mutants = unit_mutants(unit)
    texts = {rel: (SRC / rel).read_text() for rel in unit.sources}
    sample = only
    if only is None and results.sample_file.exists() and not args.resample:
        saved = json.loads(results.sample_file.read_text())
        if saved["seed"] == args.seed and saved["count"] == args.count:
            sample = saved["ids"]
    ordered = sample or sorted(mutants, key=lambda i: rank(args.seed, i))
    fp = fingerprint(unit)
    work = args.results / "work" / unit.name
    work.mkdir(parents=True, exist_ok=True)
    builder = NativeBuilder(work, unit) if unit.native else ModuleBuilder(work, unit, args.jobs)
    prepared = False
    taken, compiled = [], 0
    for ident in ordered:
        if sample is None and compiled >= args.count:
            break
        taken.append(ident)
        mutant = mutants.get(ident)
        if mutant is None:
            record = {"id": ident, "status": "gone", "fingerprint": fp}
            old = results.get(ident)
            if old and "diff" in old:
                record["diff"] = old["diff"]
            results.put(ident, record)
            log(f"{unit.name} {ident} gone (its line changed)")
            continue
        cached = results.get(ident)
        if cached and cached.get("fingerprint") == fp and cached["status"] != "gone":
            compiled += cached["status"] != "did-not-compile"
            continue
        if not prepared:
            log(f"{unit.name}: preparing the build and the baseline")
            builder.prepare()
            prepared = True
        start = time.monotonic()
        outcome = builder.test(mutant, texts[mutant.file])
        record = {
            "id": ident,
            "unit": unit.name,
            "file": mutant.file,
            "line": mutant.line,
            "operator": mutant.operator,
            "original": mutant.original,
            "replacement": mutant.replacement,
            "diff": mutant.diff(texts[mutant.file]),
            "fingerprint": fp,
            "seconds": round(time.monotonic() - start, 1),
            **outcome,
        }
        results.put(ident, record)
        compiled += outcome["status"] != "did-not-compile"
        log(
            f"{unit.name} {ident} {outcome['status']:16} {record['seconds']:6.1f}s  {mutant.file}:{mutant.line} "
            f"{mutant.original!r} -> {mutant.replacement!r}" + (f"  [{outcome.get('by')}]" if outcome.get("by") else "")
        )
    if only is None and sample is None:
        results.sample_file.write_text(json.dumps({"seed": args.seed, "count": args.count, "ids": taken}, indent=1))
    if isinstance(builder, ModuleBuilder) and prepared:
        builder.sync()  # leave the copy as the sources are


def summarise(unit: Unit, args, verbose=True) -> dict:
    results = Results(args.results, unit)
    if not results.sample_file.exists():
        print(f"{unit.name}: no sample yet (run it first)")
        return {}
    ids = json.loads(results.sample_file.read_text())["ids"]
    equivalents = load_equivalents()
    fp = fingerprint(unit)
    counts = dict.fromkeys(["killed", "survived", "equivalent", "did-not-compile", "gone", "not run", "stale"], 0)
    survivors = []
    for ident in ids:
        record = results.get(ident)
        if record is None:
            counts["not run"] += 1
            continue
        status = record["status"]
        if record.get("fingerprint") != fp:
            counts["stale"] += 1
        if status == "survived" and ident in equivalents:
            status = "equivalent"
        counts[status] += 1
        if status == "survived":
            survivors.append(record)
    shown = {k: v for k, v in counts.items() if v or k in ("killed", "survived", "equivalent", "did-not-compile")}
    print(f"{unit.name:8} " + ", ".join(f"{k} {v}" for k, v in shown.items()))
    if verbose:
        for record in survivors:
            print(f"  survived {record['id']} ({record['operator']})\n    " + record["diff"].replace("\n", "\n    "))
    return counts


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("command", choices=["run", "try", "build", "summary", "show", "list"])
    parser.add_argument("names", nargs="*", help="units (default: all), or a mutant id for show")
    parser.add_argument("--count", type=int, default=60, help="compiling mutants per unit")
    parser.add_argument("--seed", type=int, default=14)
    parser.add_argument("--results", type=Path, default=ROOT / ".mutation")
    parser.add_argument("--resample", action="store_true", help="draw the sample anew")
    parser.add_argument("--jobs", type=int, default=1, help="compiler jobs for the module's build")
    args = parser.parse_args(argv)
    args.results = args.results.resolve()

    if args.command == "show":
        for ident in args.names:
            for unit in UNITS.values():
                record = Results(args.results, unit).get(ident)
                if record:
                    print(json.dumps({k: v for k, v in record.items() if k != "detail"}, indent=1))
                    print(record.get("detail", ""))
                    break
            else:
                for unit in UNITS.values():
                    mutant = unit_mutants(unit).get(ident)
                    if mutant:
                        print(mutant.diff((SRC / mutant.file).read_text()))
                        break
                else:
                    print(f"{ident}: no such mutant")
        return 0
    if args.command == "build":
        (ident,) = args.names
        unit = next(u for u in UNITS.values() if ident in unit_mutants(u) and not u.native)
        mutant = unit_mutants(unit)[ident]
        builder = ModuleBuilder(args.results / "work" / unit.name, unit, args.jobs)
        builder.build_original()
        status, out = builder.build_mutant(mutant, (SRC / mutant.file).read_text())
        print(mutant.diff((SRC / mutant.file).read_text()))
        print(out[-3000:] if status != 0 else f"built; test it with {builder.python}")
        return 0 if status == 0 else 1
    if args.command == "try":
        os.nice(10)
        for unit in UNITS.values():
            ids = [i for i in args.names if i in unit_mutants(unit)]
            if ids:
                run_unit(unit, args, only=ids)
        return 0
    units = [UNITS[n] for n in args.names] if args.names else list(UNITS.values())
    if args.command == "list":
        for unit in units:
            for ident, mutant in sorted(unit_mutants(unit).items(), key=lambda kv: (kv[1].file, kv[1].line)):
                text = (SRC / mutant.file).read_text()
                print(f"{ident} {mutant.operator:14} " + mutant.diff(text).replace("\n", " | "))
        return 0
    if args.command == "run":
        os.nice(10)
        for unit in units:
            run_unit(unit, args)
    for unit in units:
        summarise(unit, args, verbose=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
