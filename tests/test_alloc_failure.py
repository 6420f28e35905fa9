"""Allocation failure at every point: every public operation, every decoder
path and the module's initialisation, with each allocation in turn refused
(`_testcapi.set_nomemory(k, k + 1)` for k = 0, 1, 2, ...), must give
MemoryError or its normal outcome: never a crash, another exception, a leak
or, in the sanitizer build (tools/sanitize-tests.sh), a sanitizer report.

The sweeps themselves, the operations and the few exceptions of the
interpreter's own code that are allowed (each with its reason) are in
tests/nomemory.py. Each operation is swept in a child process of its own,
so that a crash fails its test alone and names the refused allocation.
"""
from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile

import pytest

import Morvane.simpleImage_ext as module

import nomemory

_testcapi = pytest.importorskip("_testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("this interpreter's _testcapi cannot refuse allocations", allow_module_level=True)

HERE = os.path.dirname(os.path.abspath(__file__))
SANITIZED = os.environ.get("MORVANE_SANITIZED") == "1"


def _operation_names():
    nomemory.m = module
    with tempfile.TemporaryDirectory() as tmp:
        return sorted(nomemory.build_operations(tmp))


ALL = _operation_names()
OPERATIONS = [n for n in ALL if not n.startswith("canary_")]
# Everything that decodes PNG or computes a chunk's CRC: the paths that take
# zlib-ng where it can be imported, and the host's zlib where it cannot.
ZLIB_PREFIXES = ("open_png", "png_err", "stream_to_image_png", "read_chunk", "make_chunk", "save", "write_png",
                 "function_call_args", "function_call_kwargs")
ZLIB_OPERATIONS = [n for n in OPERATIONS if n.startswith(ZLIB_PREFIXES) and not n.startswith("save_bmp")]


def run_child(args, tmp_path):
    progress = tmp_path / "progress"
    env = dict(os.environ, MORVANE_NOMEMORY_PROGRESS=str(progress), PYTHONPATH=HERE)
    if SANITIZED:
        # Full stacks, so that the suppressions in tools/lsan.supp can match.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":fast_unwind_on_malloc=0:malloc_context_size=40"
    proc = subprocess.run([sys.executable, os.path.join(HERE, "nomemory.py"), *args], capture_output=True, text=True,
                          env=env, timeout=1800)
    if proc.returncode != 0 or not proc.stdout.strip():
        where = progress.read_text().strip() if progress.exists() else "?"
        pytest.fail(f"{' '.join(args)}: exit status {proc.returncode}, last at {where}\n{proc.stderr[-6000:]}")
    return json.loads(proc.stdout.splitlines()[-1]), proc.stderr


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
def test_operation(name, request, tmp_path):
    report, stderr = run_child([*zlib_args(request), name], tmp_path)
    assert not problems_of(report, stderr), "\n".join(problems_of(report, stderr))


@pytest.mark.parametrize("name", ZLIB_OPERATIONS)
def test_operation_without_zlib_ng(name, request, tmp_path):
    """The same, on the host's zlib alone (as without the zlib-ng package)."""
    if request.config.getoption("--no-zlib-ng"):
        pytest.skip("test_operation runs without zlib-ng already")
    report, stderr = run_child(["--no-zlib-ng", name], tmp_path)
    assert not problems_of(report, stderr), "\n".join(problems_of(report, stderr))


def test_initialisation(tmp_path):
    """`import` in a fresh process with each allocation of the module's
    initialisation refused in turn; after a failure, importing again must
    give a working module."""
    report, stderr = run_child(["--import"], tmp_path)
    assert not problems_of(report, stderr), "\n".join(problems_of(report, stderr))
    assert report["count"] > 100


@pytest.mark.parametrize("zlib_ng", [True, False], ids=["zlib-ng", "host-zlib"])
def test_first_decode(zlib_ng, request, tmp_path):
    """The process's first PNG decode, which imports zlib-ng: a refused
    allocation there must not make the decoder give zlib-ng up for good."""
    if zlib_ng and request.config.getoption("--no-zlib-ng"):
        pytest.skip("zlib-ng made unavailable (--no-zlib-ng)")
    report, stderr = run_child(["--first-decode"] + ([] if zlib_ng else ["--no-zlib-ng"]), tmp_path)
    assert not problems_of(report, stderr), "\n".join(problems_of(report, stderr))


def test_the_sweep_sees_a_converted_error(tmp_path):
    report, _ = run_child(["canary_convert"], tmp_path)
    assert any("ValueError" in f["outcome"] for f in report["faults"]), report


def test_the_sweep_sees_a_leak(tmp_path):
    report, _ = run_child(["canary_leak"], tmp_path)
    assert not report["faults"] and report["blocks"] > 0, report
