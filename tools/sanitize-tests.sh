#!/usr/bin/env bash
# Builds the AddressSanitizer + UndefinedBehaviorSanitizer variant of the
# module (CMake option MORVANE_SANITIZE) into its own virtual environment and
# runs the whole test suite against it. Any sanitizer report aborts the test
# process, so the run fails.
#
#   tools/sanitize-tests.sh [PYTEST ARGS...]
#
# Environment: MORVANE_SAN_DIR (default .sanitize) holds the venv and the
# build tree, kept between runs so a rebuild is incremental.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=tools/variant.sh
. tools/variant.sh
variant_install "${MORVANE_SAN_DIR:-$PWD/.sanitize}" \
    -C cmake.define.MORVANE_SANITIZE=ON -C cmake.build-type=RelWithDebInfo

# The interpreter is not instrumented, so the runtimes the module was linked
# against must come first in the process: preload gcc's libasan (and
# libubsan, which the module links too).
asan="$(${CXX:-g++} -print-file-name=libasan.so)"
ubsan="$(${CXX:-g++} -print-file-name=libubsan.so)"
for lib in "$asan" "$ubsan"; do
    [ -e "$lib" ] || { echo "sanitizer runtime not found: $lib" >&2; exit 1; }
done

if ! readelf -d "$module" | grep -q 'libasan'; then
    echo "$module is not the sanitizer build" >&2
    exit 1
fi

export LD_PRELOAD="$asan $ubsan"
# Every allocation goes through ASan (pymalloc's arenas would hide overflows
# of small objects).
export PYTHONMALLOC=malloc
# detect_leaks: LeakSanitizer stays on, but the interpreter's own memory at
# exit is not checked (leak_check_at_exit=0): tests/test_leaks.py runs an
# explicit leak check over our module's operations instead.
# allocator_may_return_null: a header announcing an enormous image gets
# MemoryError, as in the normal build, instead of an ASan abort.
export ASAN_OPTIONS="detect_leaks=1:leak_check_at_exit=0:allocator_may_return_null=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:abort_on_error=0:halt_on_error=1:${ASAN_OPTIONS:-}"
export LSAN_OPTIONS="suppressions=$PWD/tools/lsan.supp:print_suppressions=0:${LSAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"
export MORVANE_SANITIZED=1

# --capture=sys: pytest's default capture redirects file descriptor 2, and a
# sanitizer report written there just before the process aborts would be
# lost with it. Capturing at the sys level leaves fd 2 on the terminal.
"$venv/bin/python" -m pytest -p no:cacheprovider --capture=sys "$@"
