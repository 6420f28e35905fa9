#!/usr/bin/env bash
# Builds the module with its vector kernels forced off (CMake option
# MORVANE_FORCE_SCALAR: the plain kernels, as machines without vector
# instructions run them) into its own virtual environment, and runs the whole
# test suite against it.
#
#   tools/scalar-tests.sh [PYTEST ARGS...]
#
# Environment: MORVANE_SCALAR_DIR (default .scalar) holds the venv and the
# build tree, kept between runs so a rebuild is incremental.
set -euo pipefail
cd "$(dirname "$0")/.."
work="${MORVANE_SCALAR_DIR:-$PWD/.scalar}"
venv="$work/venv"

mkdir -p "$work"
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/pip" install --quiet --disable-pip-version-check ".[test]" \
    -C cmake.define.MORVANE_FORCE_SCALAR=ON -C build-dir="$work/build"

module="$("$venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("Morvane.simpleImage_ext").origin)')"
# The vector build's red/blue swap is the only user of pshufb.
if objdump -d "$module" | grep -q 'pshufb'; then
    echo "$module is not the scalar build" >&2
    exit 1
fi
"$venv/bin/python" -m pytest -p no:cacheprovider "$@"
