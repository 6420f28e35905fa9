#!/usr/bin/env bash
# The test suite on every supported CPython on this machine: the versions
# named by pyproject.toml's classifiers, found by tools/pythons.py, which says
# which are missing (they are skipped, never failed).
#
# Run it in the environment the README sets up (`pip install ".[test]"`),
# with its interpreter first on PATH or named by $PYTHON:
#   1. the suite on that interpreter, against that installation;
#   2. the packaging check (tests/test_packaging.py): the source distribution;
#      for each version, a wheel built from it, repaired to a manylinux tag by
#      auditwheel, installed in a fresh venv of that version and tested there.
#      That is the suite on the other versions, but for the native checks,
#      which do not depend on the interpreter (step 1, or CI's `pytest`, ran
#      them); the running interpreter's own wheel gets only the tests about
#      an installed package, its suite having run in step 1.
#
#   tools/each-python.sh [PYTEST ARGS...]    # arguments go to step 1
#   tools/each-python.sh --wheels-only       # step 2 alone (CI runs step 1
#                                            # as the README says: `pytest`)
set -euo pipefail
cd "$(dirname "$0")/.."
python="${PYTHON:-python}"

echo "=== supported Python versions"
"$python" tools/pythons.py

if [ "${1:-}" != "--wheels-only" ]; then
    echo "=== the test suite on $("$python" -c 'import platform; print(platform.python_version())'), source installation"
    "$python" -m pytest "$@"
fi

echo "=== wheels for each Python version, repaired, installed and tested"
# The wheels' runs leave out the native checks (tests/test_native.py), which
# build C++ programs from the sources with this machine's compiler and do not
# depend on the interpreter: the suite's run before this one made them.
MORVANE_SKIP_NATIVE=1 MORVANE_TEST_PACKAGING=1 "$python" -m pytest -v -s -p no:cacheprovider tests/test_packaging.py
