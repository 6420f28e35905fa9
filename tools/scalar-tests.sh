#!/usr/bin/env bash
# Builds the module with its vector kernels forced off (CMake option
# MORVANE_FORCE_SCALAR: the plain kernels, as machines without vector
# instructions run them) into its own virtual environment, and runs the whole
# test suite against it.
#
#   tools/scalar-tests.sh [PYTEST ARGS...]
#
# Environment: MORVANE_SCALAR_DIR (default .scalar) holds the venv and the
# build tree, kept between runs so a rebuild is incremental; CXX chooses the
# compiler (CI uses clang here). Warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=tools/variant.sh
. tools/variant.sh
variant_install "${MORVANE_SCALAR_DIR:-$PWD/.scalar}" -C cmake.define.MORVANE_FORCE_SCALAR=ON \
    -C cmake.define.MORVANE_WERROR=ON
# The vector build's red/blue swap is the only user of pshufb.
if objdump -d "$module" | grep -q 'pshufb'; then
    echo "$module is not the scalar build" >&2
    exit 1
fi
"$venv/bin/python" -m pytest -p no:cacheprovider "$@"
