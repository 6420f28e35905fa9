# Sourced by the scripts that test a build variant of the module (sanitizer,
# scalar kernels, coverage): each keeps a virtual environment and a build
# tree in its own folder, so a rebuild is incremental.
#
#   variant_install WORKDIR [PIP ARGS...]
#       makes WORKDIR/venv if missing, and installs the project with its test
#       dependencies into it, built in WORKDIR/build with the given
#       `-C cmake.define...` options; sets $venv and $module (the path of the
#       installed extension). $variant_extras names the project's extras
#       (default: test; the coverage script adds its own).

variant_install() {
    local work="$1"; shift
    venv="$work/venv"
    mkdir -p "$work"
    [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
    "$venv/bin/pip" install --quiet --disable-pip-version-check ".[${variant_extras:-test}]" -C build-dir="$work/build" "$@"
    module="$("$venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("Morvane.simpleImage_ext").origin)')"
}
