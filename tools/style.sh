#!/usr/bin/env bash
# The sources' layout and lint: ruff formats and lints the Python, clang-format
# lays out the C++ and clang-tidy checks the module's sources. The tools are the pinned `style` extra of pyproject.toml,
# installed in a venv of their own (the module itself is not built).
#
#   tools/style.sh          check, and fail on any difference (CI runs this)
#   tools/style.sh --fix    rewrite the files in place
#
# Environment: MORVANE_STYLE_DIR (default .style) holds that venv.
set -euo pipefail
cd "$(dirname "$0")/.."

work="${MORVANE_STYLE_DIR:-$PWD/.style}"
venv="$work/venv"
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" - <<'PY' > "$work/requirements.txt"
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["style"]))
PY
"$venv/bin/pip" install --quiet --disable-pip-version-check -r "$work/requirements.txt"

mapfile -t cxx < <(git ls-files '*.cpp' '*.hpp')
if [ "${1:-}" = "--fix" ]; then
    "$venv/bin/ruff" check --fix --quiet .
    "$venv/bin/ruff" format --quiet .
    "$venv/bin/clang-format" -i "${cxx[@]}"
    exit 0
fi

status=0
"$venv/bin/ruff" check --quiet . || status=1
"$venv/bin/ruff" format --check --quiet . || status=1
"$venv/bin/clang-format" --dry-run --Werror "${cxx[@]}" || status=1
include="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
for source in $(git ls-files 'src/Morvane/*.cpp'); do
    "$venv/bin/clang-tidy" --quiet "$source" -- -std=c++17 -I"$include" -Isrc/Morvane 2>/dev/null || status=1
done
# The C++ folders include downward only: module -> png, bmp -> py -> core,
# and core/ knows nothing of Python. tobytes/ (a module of its own) takes
# only the kernels of core/.
while IFS= read -r line; do
    file="${line%%:*}"
    folder="${file#src/Morvane/}"
    folder="${folder%%/*}"
    target="$(sed -E 's/.*#include "([^"]*)".*/\1/' <<<"$line")"
    case "$folder" in
        core | tobytes) allowed="core" ;;
        py) allowed="core py" ;;
        png | bmp) allowed="core py $folder" ;;
        *) allowed="core py png bmp module" ;;
    esac
    if [[ " $allowed " != *" ${target%%/*} "* ]]; then
        echo "$file includes $target: $folder/ may include only from $allowed" >&2
        status=1
    fi
done < <(git grep -e '#include "' -- 'src/Morvane/*.cpp' 'src/Morvane/*.hpp')
if git grep -q -e 'Python.h' -- 'src/Morvane/core/'; then
    echo "src/Morvane/core/ includes Python.h" >&2
    status=1
fi
if [ "$status" -ne 0 ]; then
    echo "style: differences above; tools/style.sh --fix rewrites the files" >&2
fi
exit "$status"
