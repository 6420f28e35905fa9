#!/usr/bin/env bash
# Line and branch coverage of the C++ core: builds the module with gcc's
# coverage counters (CMake option MORVANE_COVERAGE: --coverage, -O0, debug
# info, -fno-exceptions) into its own virtual environment, runs the whole
# test suite against it, and reports with gcovr what the suite ran of
# src/Morvane/**/*.cpp and *.hpp. Fails when the suite fails, or when line
# coverage is below the threshold.
#
#   tools/coverage.sh [PYTEST ARGS...]
#
# Environment: MORVANE_COVERAGE_DIR (default .coverage-build) holds the venv,
# the build tree (with the counters) and the reports: coverage.txt (line by
# line: the uncovered lines of each file) and coverage.html (annotated
# sources). MORVANE_COVERAGE_FAIL_UNDER overrides the threshold (a
# percentage of lines).
#
# A line that no test can reach (a defensive branch, a failure that needs
# more data than a process can hold) is left out of the count with
# `// GCOVR_EXCL_LINE reason` (or GCOVR_EXCL_START / GCOVR_EXCL_STOP around
# a block); every such marker gives its reason on the same line.
#
# The native checks in tests/native (tests/test_native.py compiles them from
# the same sources, without Python) count too: with counters of their own,
# their builds run what no build of the module can, the plain kernels of
# machines without vector code and the fallbacks of processors without SSSE3
# or SSE4.1.
set -euo pipefail
cd "$(dirname "$0")/.."

# Line coverage of the module's sources, in percent, that the suite must
# reach: every line not excluded with its reason (the allocation failures
# included, which tests/test_alloc_failure.py's sweeps reach).
fail_under="${MORVANE_COVERAGE_FAIL_UNDER:-100}"

work="${MORVANE_COVERAGE_DIR:-$PWD/.coverage-build}"
# gcov reads gcc's counters only.
export CXX=g++
# shellcheck source=tools/variant.sh
. tools/variant.sh
variant_extras="test,coverage" variant_install "$work" -C cmake.define.MORVANE_COVERAGE=ON

# The instrumented module names the counter files it writes.
if ! grep -q '\.gcda' "$module"; then
    echo "$module is not the coverage build" >&2
    exit 1
fi

# The native checks' objects and counters; -O0, as the module, so that each
# line counts as written (the checks then take about twice as long).
export MORVANE_NATIVE_BUILD_DIR="$work/native"
export MORVANE_NATIVE_CXXFLAGS="--coverage -fno-exceptions -O0"
mkdir -p "$MORVANE_NATIVE_BUILD_DIR"

# The forked children of the allocation-failure sweeps leave through the C
# library's exit, which writes the counters, instead of os._exit.
export MORVANE_COVERAGE_RUN=1

# Counts of an earlier run would add up with this one's.
find "$work/build" "$MORVANE_NATIVE_BUILD_DIR" -name '*.gcda' -delete

# Every process that loads the module (the suite, and the interpreters and
# workers the command-line tests start) adds its counts at exit.
status=0
"$venv/bin/python" -m pytest -p no:cacheprovider "$@" || status=$?

echo "=== coverage of src/Morvane (gcovr; lines left out by GCOVR_EXCL markers)"
# A line counts once, however many template instances or lambdas it holds
# (--merge-lines); the module and the native checks compile the same files
# with different macros, so their functions are kept apart where they differ.
gcovr_status=0
"$venv/bin/gcovr" --root "$PWD" --filter "$PWD/src/Morvane/" --gcov-executable gcov \
    --merge-lines --merge-mode-functions=separate --exclude-unreachable-branches \
    --warn-excluded-lines-with-hits \
    --txt "$work/coverage.txt" \
    --html-details "$work/coverage.html" \
    --print-summary --fail-under-line "$fail_under" \
    "$work/build" "$MORVANE_NATIVE_BUILD_DIR" || gcovr_status=$?
[ -f "$work/coverage.txt" ] && cat "$work/coverage.txt"
echo "uncovered lines, file by file: $work/coverage.txt; annotated sources: $work/coverage.html"

if [ "$status" != 0 ]; then
    echo "the test suite failed (pytest exit status $status)" >&2
    exit "$status"
fi
if [ "$gcovr_status" != 0 ]; then
    echo "line coverage below the threshold of ${fail_under}% (or gcovr failed: status $gcovr_status)" >&2
    exit "$gcovr_status"
fi
