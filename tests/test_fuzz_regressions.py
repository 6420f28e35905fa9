"""Replays every input that ever made a fuzz target fail
(tests/data/fuzz_regressions/TARGET/*), and the committed seed corpus
(fuzz/corpus/), through the fuzz targets of fuzz/targets.py. A target raises
only on a finding; the sanitizer build (tools/sanitize-tests.sh) also catches
memory errors on the way."""

from __future__ import annotations

import os
import pathlib
import time

import pytest

import Morvane.simpleImage_ext as m
from fuzz import targets
from testkit import reference

ROOT = pathlib.Path(__file__).resolve().parent.parent

REGRESSIONS = ROOT / "tests" / "data" / "fuzz_regressions"
SEEDS = ROOT / "fuzz" / "corpus"
SEED_TARGETS = {
    "png": "open_png",
    "bmp": "open_bmp",
    "png_structured": "png_structured",
    "bmp_structured": "bmp_structured",
    "chunk": "read_chunk",
    "stream": "stream_to_image",
    "ops": "image_ops",
    "rebound": "rebound",
    "inflate": "inflate",
}
SLOW = 5.0 * (4 if os.environ.get("MORVANE_SANITIZED") == "1" else 1)


def _inputs(base: pathlib.Path, mapping=None):
    cases = []
    if base.is_dir():
        for folder in sorted(p for p in base.iterdir() if p.is_dir()):
            target = (mapping or {}).get(folder.name, folder.name)
            for f in sorted(folder.iterdir()):
                if f.is_file():
                    cases.append(pytest.param(target, f, id=f"{folder.name}/{f.name}"))
    return cases


# Concrete outcomes of SimpleImage.open worth pinning, per regression file.
EXPECTED = {
    "open_bmp/timeout-width0-13566154-rows.bmp": ("ok", (0, 13566154)),
    "png_structured/memoryerror-rgba-height0-wide.png": ("ok", (2**30, 0)),
}


@pytest.mark.parametrize("target,path", _inputs(REGRESSIONS))
def test_regression(target, path):
    assert target in targets.TARGETS, f"unknown target folder {target}"
    data = path.read_bytes()
    start = time.perf_counter()
    targets.TARGETS[target](data)
    assert time.perf_counter() - start < SLOW, f"{path.name} is slow again"
    key = f"{path.parent.name}/{path.name}"
    if key in EXPECTED:
        kind, value = EXPECTED[key]
        if kind == "ok":
            assert m.SimpleImage.open(data).size == value
        else:
            with pytest.raises(kind, match=value):
                m.SimpleImage.open(data)


@pytest.mark.parametrize("target,path", _inputs(SEEDS, SEED_TARGETS))
def test_seed(target, path):
    targets.TARGETS[target](path.read_bytes())


def test_every_regression_is_documented():
    readme = (REGRESSIONS / "README.md").read_text()
    for param in _inputs(REGRESSIONS):
        target, path = param.values
        assert f"{path.parent.name}/{path.name}" in readme, f"{path} is not described in README.md"


def _reached_deep_code(outcome: reference.Outcome) -> bool:
    """Whether decoding got past the headers, CRCs and zlib to the rows."""
    return (
        outcome.ok
        or outcome.message.startswith("Unsupported PNG filter")
        or outcome.message == "Incomplete BMP pixel data"
    )


@pytest.mark.parametrize("target", sorted(targets.MUTATORS))
def test_structured_mutator(target):
    # A short, deterministic run of the structure-aware mutator from the
    # target's seeds: every input agrees with the oracle (the target raises
    # otherwise), and most of them get as far as the rows.
    pool = [p.read_bytes() for p in sorted((SEEDS / target).iterdir())]
    runs, deep = 300, 0
    for i in range(runs):
        data = targets.MUTATORS[target](pool[i % len(pool)], 4096, i)
        assert type(data) is bytes and len(data) <= 4096
        targets.TARGETS[target](data)
        deep += _reached_deep_code(reference.decode(data))
        if i % 3 == 0:
            pool.append(data)
    assert deep >= runs // 3, f"only {deep} of {runs} inputs reached the rows"
