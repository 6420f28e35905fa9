"""Allocation failure at every point: every public operation, every decoder
path and the module's initialisation, with each allocation in turn refused
(`_testcapi.set_nomemory(k, k + 1)` for k = 0, 1, 2, ...), must give
MemoryError or its normal outcome: never a crash, another exception, a leak
or, in the sanitizer build (tools/sanitize-tests.sh), a sanitizer report.

The sweeps themselves, the operations and the few exceptions of the
interpreter's own code that are allowed (each with its reason) are in
tests/nomemory.py. The sweeps run in child processes, so that a crash fails
the test of the operation it happened in, naming the refused allocation.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile

import nomemory
import pytest

import Morvane.simpleImage_ext as module

_testcapi = pytest.importorskip("_testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("this interpreter's _testcapi cannot refuse allocations", allow_module_level=True)

HERE = os.path.dirname(os.path.abspath(__file__))


def _operation_names():
    nomemory.m = module
    with tempfile.TemporaryDirectory() as tmp:
        return sorted(nomemory.build_operations(tmp))


ALL = _operation_names()
OPERATIONS = [n for n in ALL if not n.startswith(("canary_", "host_"))]
# Everything that decodes PNG or computes a chunk's CRC: the paths that take
# zlib-ng where it can be imported, and the host's zlib where it cannot.
ZLIB_PREFIXES = (
    "open_png",
    "png_err",
    "stream_to_image_png",
    "read_chunk",
    "make_chunk",
    "save",
    "write_png",
    "function_call_args",
    "function_call_kwargs",
)
ZLIB_OPERATIONS = [n for n in OPERATIONS if n.startswith(ZLIB_PREFIXES) and not n.startswith("save_bmp")]


def run_child(args, progress):
    # In the sanitizer build the child inherits its settings (and the
    # suppressions of tools/lsan.supp), with the fast unwinder: the slow one
    # that tests/test_leaks.py asks for makes every allocation five times as
    # slow, and the sweeps make hundreds of thousands.
    env = dict(os.environ, MORVANE_NOMEMORY_PROGRESS=str(progress), PYTHONPATH=os.path.dirname(HERE))
    return subprocess.run(
        [sys.executable, os.path.join(HERE, "nomemory.py"), *args],
        capture_output=True,
        text=True,
        env=env,
        timeout=3000,
    )


def crash_message(args, proc, progress):
    where = progress.read_text().strip() if progress.exists() else "?"
    return f"{' '.join(args)}: exit status {proc.returncode}, last at {where}\n{proc.stderr[-6000:]}"


def run_one(args, tmp_path):
    """A child of its own: its one report, and its standard error."""
    progress = tmp_path / "progress"
    proc = run_child(args, progress)
    if proc.returncode != 0 or not proc.stdout.strip():
        pytest.fail(crash_message(args, proc, progress))
    return json.loads(proc.stdout.splitlines()[-1]), proc.stderr


class Batches:
    """The operations' sweeps, many to a child process (each child costs
    seconds in the sanitizer build): an operation's test runs a child for it
    and every operation after it not yet run. A crash is charged to the
    operation it happened in; the operations after it go to a new child."""

    def __init__(self, tmp):
        self.tmp = tmp
        self.results = {}

    def report(self, mode, request):
        """The report of the operation of `request`'s test, with the other
        operations the same test function runs in this session."""
        name = request.node.callspec.params["name"]
        if (mode, name) not in self.results:
            names = [
                item.callspec.params["name"]
                for item in request.session.items
                if getattr(item, "originalname", None) == request.node.originalname
            ]
            pending = [n for n in names[names.index(name) :] if (mode, n) not in self.results]
            args = [*mode, *pending]
            progress = self.tmp / "progress"
            if progress.exists():
                progress.unlink()
            proc = run_child(args, progress)
            for line in proc.stdout.splitlines():
                report = json.loads(line)
                self.results[mode, report["name"]] = (report, proc.stderr)
            if proc.returncode != 0:
                # The operation that was running: the first without a report.
                failed = next(n for n in pending if (mode, n) not in self.results)
                self.results[mode, failed] = (None, crash_message(args, proc, progress))
        report, stderr = self.results[mode, name]
        if report is None:
            pytest.fail(stderr)
        return report, stderr


@pytest.fixture(scope="module")
def batches(tmp_path_factory):
    return Batches(tmp_path_factory.mktemp("nomemory"))


def problems_of(report, stderr=""):
    found = []
    for fault in report["faults"][:5]:
        found.append(f"k={fault['k']}: {fault['outcome']}\n{fault['traceback']}")
    if report.get("count") is None:
        found.append(f"never finished within {nomemory.LIMIT} refusals")
    if not report.get("host_leaks"):
        leaking = f" (refusals {report.get('leaking_k')})"
        if report.get("blocks", 0) > 0:
            found.append(f"leaks {report['blocks']} memory blocks in two sweeps{leaking}")
        if report.get("refs"):
            found.append(f"leaks references in two sweeps: {report['refs']}{leaking}")
    if report.get("unraisable"):
        found.append(f"unraisable exceptions: {report['unraisable']}")
    if report.get("lsan"):
        found.append(f"LeakSanitizer found leaks:\n{stderr[-6000:]}")
    return found


def zlib_args(request):
    return ["--no-zlib-ng"] if request.config.getoption("--no-zlib-ng") else []


@pytest.mark.parametrize("name", OPERATIONS)
def test_operation(name, request, batches):
    report, stderr = batches.report(tuple(zlib_args(request)), request)
    assert not problems_of(report, stderr), "\n".join(problems_of(report, stderr))


@pytest.mark.parametrize("name", ZLIB_OPERATIONS)
def test_operation_without_zlib_ng(name, request, batches):
    """The same, on the host's zlib alone (as without the zlib-ng package)."""
    if request.config.getoption("--no-zlib-ng"):
        pytest.skip("test_operation runs without zlib-ng already")
    report, stderr = batches.report(("--no-zlib-ng",), request)
    assert not problems_of(report, stderr), "\n".join(problems_of(report, stderr))


@pytest.mark.parametrize("name", nomemory.PYTHON_OPEN_OPERATIONS)
def test_operation_with_python_files(name, request, batches):
    """The same with `open` giving files that are Python objects (replaced
    before the module is imported, which takes it then): the writers write
    them piece by piece, and a manager may swallow the decoder's error."""
    report, stderr = batches.report((*zlib_args(request), "--python-open"), request)
    assert not problems_of(report, stderr), "\n".join(problems_of(report, stderr))


needs_sound_host = pytest.mark.skipif(
    not nomemory.HOST_SURVIVES, reason="this Python crashes or leaks under refused allocations itself"
)


@needs_sound_host
@pytest.mark.parametrize("zlib_ng", [True, False], ids=["zlib-ng", "host-zlib"])
def test_initialisation(zlib_ng, request, tmp_path):
    """`import` in a fresh process with each allocation of the module's
    initialisation (zlib-ng's import and checks included, or its refused
    import) refused in turn; after a failure, importing again must give a
    working module, which inflates with zlib-ng where it is installed. A
    refused import of zlib-ng comes last and drops its error: a failure
    before it must not be dropped with it."""
    if zlib_ng and request.config.getoption("--no-zlib-ng"):
        pytest.skip("zlib-ng made unavailable (--no-zlib-ng)")
    report, stderr = run_one(["--import"] + ([] if zlib_ng else ["--no-zlib-ng"]), tmp_path)
    assert not problems_of(report, stderr), "\n".join(problems_of(report, stderr))
    assert report["count"] > 100


@needs_sound_host
@pytest.mark.parametrize("zlib_ng", [True, False], ids=["zlib-ng", "host-zlib"])
def test_first_decode(zlib_ng, request, tmp_path):
    """The process's first PNG decode: a refused allocation there must not
    make the decoder give zlib-ng up."""
    if zlib_ng and request.config.getoption("--no-zlib-ng"):
        pytest.skip("zlib-ng made unavailable (--no-zlib-ng)")
    report, stderr = run_one(["--first-decode"] + ([] if zlib_ng else ["--no-zlib-ng"]), tmp_path)
    assert not problems_of(report, stderr), "\n".join(problems_of(report, stderr))


def test_the_sweep_sees_a_converted_error(tmp_path):
    report, _ = run_one(["canary_convert"], tmp_path)
    assert any("ValueError" in f["outcome"] for f in report["faults"]), report


@needs_sound_host
def test_the_sweep_sees_a_leak(tmp_path):
    report, _ = run_one(["canary_leak"], tmp_path)
    assert not report["faults"] and ("None", 6) in map(tuple, report["refs"]), report
    # Blocks are counted where pymalloc is on (not in the sanitizer build).
    assert report["blocks"] > 0 or sys.getallocatedblocks() == 0, report


def test_a_crash_names_its_refusal(tmp_path):
    progress = tmp_path / "progress"
    args = ["construct_bytes", "canary_crash", "copy"]
    proc = run_child(args, progress)
    assert proc.returncode != 0
    assert [json.loads(line)["name"] for line in proc.stdout.splitlines()] == ["construct_bytes"]
    assert "last at canary_crash k=0\n" in crash_message(args, proc, progress)
