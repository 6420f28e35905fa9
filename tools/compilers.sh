#!/usr/bin/env bash
# Builds the module with each C++ compiler CI knows, gcc and clang, with
# warnings as errors (CMake option MORVANE_WERROR), the vector and the
# scalar kernels each: code that only one compiler accepts, or that warns,
# fails here. Installs Debian's clang where it is missing.
#
#   tools/compilers.sh
#
# Environment: MORVANE_COMPILERS_DIR (default .compilers) holds the build trees.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
work="${MORVANE_COMPILERS_DIR:-$root/.compilers}"
python="${PYTHON:-python3}"

ensure_clang() {
    command -v clang++ >/dev/null && return
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo="sudo"
    $sudo apt-get install -y -q clang >/dev/null || { $sudo apt-get update -q >/dev/null && $sudo apt-get install -y -q clang >/dev/null; }
}

ensure_clang
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
for cxx in g++ clang++; do
    for kernels in OFF ON; do
        build="$work/$cxx-scalar-$kernels"
        echo "--- $($cxx --version | head -n 1), scalar kernels $kernels"
        CXX="$cxx" cmake -S "$root" -B "$build" ${generator[@]+"${generator[@]}"} -DCMAKE_BUILD_TYPE=Release -DMORVANE_WERROR=ON \
            -DMORVANE_FORCE_SCALAR="$kernels" -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
        cmake --build "$build"
    done
done
echo "compilers: g++ and clang++ build without a warning"
