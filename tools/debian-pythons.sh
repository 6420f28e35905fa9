#!/usr/bin/env bash
# The test suite on the Pythons this machine does not carry but users run:
# CPython 3.14, 3.15 and 3.14's debug build (python3.14d), from Debian's
# unstable distribution, in a root made with debootstrap (needs root; the
# debootstrap package is installed with apt-get where it is missing).
#
#   tools/debian-pythons.sh [release] [debug]    # both when none is named
#
#   release  in a fresh venv of 3.14, `pip install ".[test]"` and then
#            tools/each-python.sh for 3.14 and 3.15 only: the suite on 3.14,
#            the source distribution, and a wheel for each of the two built,
#            repaired by auditwheel, installed in a fresh venv and tested (the
#            3.15 wheel's run is the suite on 3.15);
#   debug    in a fresh venv of python3.14d, `pip install ".[test]"` and the
#            suite (the interpreter's debug build: its assertions, and the
#            debug allocator, which fills new and freed memory), but for the
#            native checks, which the release stage runs.
#
# The root is kept between runs ($MORVANE_SID_ROOT, default
# /work/cache/sid-root: outside the repository). It is reused when its marker
# file (written last) names the same packages, and made again otherwise. The
# repository's tracked files, as they are in the work tree, are copied in
# afresh on every run. /proc, /dev, /dev/pts and /dev/shm are mounted inside
# for the run and unmounted on every way out; so are, read-only, the local
# package indexes that the host's pip configuration names, whose files,
# resolver and CA bundle are copied in, so that pip inside finds what pip
# outside finds. Runs on one root are serialised by a lock.
#
# The two stages run at the same time, their output shown when both are
# done (MORVANE_SID_SERIAL=1: one after the other, as they go).
#
# Environment: MORVANE_SID_ROOT (the root), MORVANE_SID_MIRROR (the Debian
# mirror; default: the host's apt source for Debian). The host's proxy
# settings (http_proxy and the like, apt's Acquire::http::Proxy) are passed
# to debootstrap and into the root.
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$PWD"

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(release debug)
for stage in "${stages[@]}"; do
    case "$stage" in
    release | debug) ;;
    *)
        echo "unknown stage: $stage (release, debug)" >&2
        exit 2
        ;;
    esac
done

if [ "$(id -u)" != 0 ]; then
    echo "tools/debian-pythons.sh needs root (debootstrap, chroot, mount)" >&2
    exit 1
fi

root="${MORVANE_SID_ROOT:-/work/cache/sid-root}"
root="$(realpath -m "$root")"
[ "$root" != / ] || {
    echo "MORVANE_SID_ROOT must not be /" >&2
    exit 1
}
packages="python3.14,python3.14-dev,python3.14-venv,python3.14-dbg,python3.15,python3.15-dev,python3.15-venv"
# The build and the native checks (their sanitizer runtimes come with g++).
# The test dependencies come from wheels (the debug build takes 3.14's).
packages+=",g++,cmake,ninja-build,ca-certificates"
marker="$root/.morvane-root"
want_marker="debootstrap --variant=minbase sid: $packages"

mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9

timed() {
    local name="$1" start=$SECONDS
    shift
    echo "=== debian-pythons: $name"
    "$@"
    echo "=== debian-pythons: $name took $((SECONDS - start)) s"
}

mounted_inside() {
    awk -v r="$root" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/self/mounts
}

mounts=()
unmount_all() {
    local i
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" || true
    done
    mounts=()
}
trap unmount_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

bind() { # bind SOURCE [ro]: SOURCE at the same path inside the root
    local target="$root$1"
    if [ -d "$1" ]; then mkdir -p "$target"; else
        mkdir -p "$(dirname "$target")"
        [ -e "$target" ] || : >"$target"
    fi
    if [ "${2:-}" = ro ]; then mount --bind -o ro "$1" "$target"; else mount --bind "$1" "$target"; fi
    mounts+=("$target")
}

copy_in() { # copy_in FILE [TARGET]: a host file to the same path (or TARGET) inside
    local target="$root${2:-$1}"
    mkdir -p "$(dirname "$target")"
    cp --remove-destination "$1" "$target"
}

# The proxy apt uses on the host, if any, for debootstrap and for pip inside.
apt_proxy="$(apt-config shell P Acquire::http::Proxy 2>/dev/null | sed -n "s/^P='\(.*\)'$/\1/p" || true)"
if [ -n "$apt_proxy" ] && [ -z "${http_proxy:-}" ]; then
    export http_proxy="$apt_proxy"
fi

mirror="${MORVANE_SID_MIRROR:-}"
if [ -z "$mirror" ]; then
    mirror="$(cat /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null |
        grep -oE 'https?://[^ ]+/debian/?( |$)' | grep -v security | head -1 | tr -d ' ' || true)"
    mirror="${mirror:-http://deb.debian.org/debian}"
fi

make_root() {
    # What a run that was killed outright left mounted (no other run is on
    # this root: the lock is held).
    local stale
    for stale in $(mounted_inside | sort -r); do
        umount "$stale" 2>/dev/null || umount -l "$stale" || true
    done
    if [ -f "$marker" ] && [ "$(cat "$marker")" = "$want_marker" ]; then
        echo "reusing $root"
        return
    fi
    if ! command -v debootstrap >/dev/null; then
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    fi
    if [ -n "$(mounted_inside)" ]; then
        echo "something is still mounted under $root:" >&2
        mounted_inside >&2
        exit 1
    fi
    rm -rf --one-file-system "$root"
    echo "debootstrap from $mirror into $root"
    debootstrap --variant=minbase --include="$packages" sid "$root" "$mirror" >"$root.log" 2>&1 || {
        tail -30 "$root.log" >&2
        exit 1
    }
    if [ -n "${http_proxy:-}" ]; then
        printf 'Acquire::http::Proxy "%s";\n' "$http_proxy" >"$root/etc/apt/apt.conf.d/01proxy"
    fi
    chroot "$root" apt-get clean
    echo "$want_marker" >"$marker"
}

enter_root() {
    mount -t proc proc "$root/proc"
    mounts+=("$root/proc")
    bind /dev
    bind /dev/pts
    [ ! -d /dev/shm ] || bind /dev/shm
    copy_in /etc/resolv.conf
    [ ! -f /etc/hosts ] || copy_in /etc/hosts

    # pip's configuration: its files, then the local folders and files they
    # (and PIP_* variables) name. A "simple" index is mounted with its parent,
    # where its links lead.
    local configs=(/etc/pip.conf /etc/xdg/pip/pip.conf "$HOME/.pip/pip.conf" "$HOME/.config/pip/pip.conf")
    [ -z "${PIP_CONFIG_FILE:-}" ] || configs+=("$PIP_CONFIG_FILE")
    local file path
    for file in "${configs[@]}"; do
        [ -f "$file" ] || continue
        case "$file" in "$HOME"/*) copy_in "$file" "/root${file#"$HOME"}" ;; *) copy_in "$file" ;; esac
    done
    for path in $({
        cat "${configs[@]}" 2>/dev/null || true
        env | grep '^PIP_' || true
    } | grep -oE "(file://)?/[^ ,;\"'=]+" | sed 's|^file://||; s|/$||' | sort -u); do
        [ -e "$path" ] || continue
        if [ -d "$path" ]; then
            [ "$(basename "$path")" != simple ] || path="$(dirname "$path")"
            case " ${mounts[*]} " in *" $root$path "*) continue ;; esac
            bind "$path" ro
        else
            copy_in "$path"
        fi
    done

    rm -rf --one-file-system "${root:?}/morvane" "${root:?}/tmp"
    mkdir -p "$root/morvane/src" "$root/tmp"
    chmod 1777 "$root/tmp"
    git -C "$repo" ls-files -z | tar -C "$repo" --null --ignore-failed-read -T - -cf - | tar -C "$root/morvane/src" -xf -
}

# A command inside the root, in the copy of the repository, with a clean
# environment: the host's pip, proxy and CI settings only.
inside() {
    local env=(HOME=/root LANG=C.UTF-8 TMPDIR=/tmp PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
    local name
    for name in $(env | grep -oE '^(PIP_[A-Z_]+|[a-zA-Z_]*_proxy|[A-Z_]*_PROXY|CI)=' | tr -d =); do
        env+=("$name=${!name}")
    done
    chroot "$root" /usr/bin/env -i "${env[@]}" /bin/bash -c 'cd /morvane/src && "$@"' bash "$@"
}

venv_install() { # venv_install INTERPRETER FOLDER: a fresh venv with the project and its test extra
    local log
    log="$root/morvane/pip-$(basename "$2").log"
    inside "$1" -m venv "$2"
    if ! inside "$2/bin/python" -m pip install ".[test]" >"$log" 2>&1; then
        tail -40 "$log" >&2
        return 1
    fi
}

release() {
    venv_install python3.14 /morvane/venv-3.14
    inside env PYTHON=/morvane/venv-3.14/bin/python MORVANE_PYTHON_VERSIONS="3.14 3.15" \
        tools/each-python.sh -p no:cacheprovider
}

debug() {
    venv_install python3.14d /morvane/venv-3.14d
    inside /morvane/venv-3.14d/bin/python -c \
        'import sys, sysconfig; assert sysconfig.get_config_var("Py_DEBUG") == 1, sys.version; print(sys.version)'
    # The native checks do not depend on the interpreter: the release stage
    # runs them with this root's compiler.
    inside env MORVANE_SKIP_NATIVE=1 /morvane/venv-3.14d/bin/python -m pytest -p no:cacheprovider
}

# The stages at once (each keeps about one core busy, and the machine has
# two), each in a process group of its own, its output kept and shown when
# both are done; one after the other with MORVANE_SID_SERIAL=1.
jobs_running=()
stop_stages() {
    local pid
    for pid in "${jobs_running[@]}"; do
        kill -TERM -- "-$pid" 2>/dev/null || true
    done
    for pid in "${jobs_running[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    jobs_running=()
}
trap 'stop_stages; unmount_all' EXIT

run_stages() {
    if [ ${#stages[@]} -eq 1 ] || [ "${MORVANE_SID_SERIAL:-}" = 1 ]; then
        for stage in "${stages[@]}"; do
            timed "$stage" "$stage"
        done
        return
    fi
    local i failed=()
    set -m
    for stage in "${stages[@]}"; do
        timed "$stage" "$stage" >"$root/morvane/$stage.log" 2>&1 &
        jobs_running+=($!)
    done
    set +m
    for i in "${!stages[@]}"; do
        wait "${jobs_running[i]}" || failed+=("${stages[i]}")
    done
    jobs_running=()
    for stage in "${stages[@]}"; do
        cat "$root/morvane/$stage.log"
    done
    if [ ${#failed[@]} -gt 0 ]; then
        echo "=== debian-pythons: failed: ${failed[*]}" >&2
        return 1
    fi
}

total=$SECONDS
timed "the Debian unstable root" make_root
enter_root
run_stages
echo "=== debian-pythons: all took $((SECONDS - total)) s"
