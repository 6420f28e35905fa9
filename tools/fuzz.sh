#!/usr/bin/env bash
# Coverage-guided fuzzing of Morvane.simpleImage_ext with atheris, against
# the ASan+UBSan build with coverage feedback (CMake option MORVANE_FUZZ).
#
#   tools/fuzz.sh setup                 build the fuzzing venv (atheris + module)
#   tools/fuzz.sh run TARGET [ARGS...]  fuzz one target; ARGS go to libFuzzer:
#                                       flags (-max_total_time=3600, -runs=1000000,
#                                       -jobs=2 -workers=2) and extra seed folders
#                                       (read only; new inputs go to .fuzz/corpus)
#   tools/fuzz.sh ci [SECONDS]          setup, then every target for SECONDS
#                                       (default 60) each, as many at a time
#                                       as there are processors; fails on any
#                                       finding
#   tools/fuzz.sh repro TARGET FILE...  run the target once on each FILE
#   tools/fuzz.sh native [HARNESS] [ARGS...]
#                                       a C++ core alone, without Python, with
#                                       clang's libFuzzer: pngrows (the PNG row
#                                       core, the default) or kernels (the pixel
#                                       kernels against their plain twins);
#                                       fuzz/native/HARNESS_fuzz.cpp
#
# Targets: open_png open_bmp png_structured bmp_structured read_chunk
#          stream_to_image image_ops rebound inflate
# The decoding targets (open_*, *_structured) compare every outcome with the
# reference decoder (testkit/reference.py); the *_structured ones mutate the
# files' structure (fuzz/structure.py) to reach the row filters and pixel rows.
# inflate compares the PNG decoder's inflating with the host's zlib.decompress.
#
# Environment: MORVANE_FUZZ_DIR (default .fuzz) holds the venv, the build,
# the growing corpora (corpus/TARGET) and any findings (artifacts/TARGET).
# Committed seeds in fuzz/corpus/ are read, never written.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
work="${MORVANE_FUZZ_DIR:-$root/.fuzz}"
venv="$work/venv"
targets=(open_png open_bmp png_structured bmp_structured read_chunk stream_to_image image_ops rebound inflate)

seeds_of() {
    case "$1" in
        open_png) echo "fuzz/corpus/png" ;;
        open_bmp) echo "fuzz/corpus/bmp" ;;
        png_structured) echo "fuzz/corpus/png_structured" ;;
        bmp_structured) echo "fuzz/corpus/bmp_structured" ;;
        read_chunk) echo "fuzz/corpus/chunk" ;;
        stream_to_image) echo "fuzz/corpus/stream" ;;
        image_ops) echo "fuzz/corpus/ops" ;;
        rebound) echo "fuzz/corpus/rebound" ;;
        inflate) echo "fuzz/corpus/inflate" ;;
        *) echo "unknown target: $1" >&2; exit 2 ;;
    esac
}

setup() {
    mkdir -p "$work"
    [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
    "$venv/bin/pip" install --quiet --disable-pip-version-check "atheris==3.0.0" "zlib-ng>=1.0"
    "$venv/bin/pip" install --quiet --disable-pip-version-check --no-deps --force-reinstall . \
        -C cmake.define.MORVANE_FUZZ=ON -C cmake.build-type=RelWithDebInfo -C build-dir="$work/build"
}

run_env() {
    local runtime
    runtime="$("$venv/bin/python" -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))')"
    [ -f "$runtime" ] || { echo "missing $runtime" >&2; exit 1; }
    # The preloaded libFuzzer finds a custom mutator (the structure-aware
    # targets') only if the library defining it is loaded as early as
    # itself: atheris's custom_mutator module is preloaded too.
    if [ -n "${with_mutator:-}" ]; then
        local mutator
        mutator="$("$venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("atheris.custom_mutator").origin)')"
        [ -f "$mutator" ] || { echo "missing $mutator" >&2; exit 1; }
        runtime="$runtime $mutator"
    fi
    # PYTHONMALLOC=malloc: every allocation, small ones too, goes through
    # ASan (pymalloc's arenas would hide overflows of small buffers).
    # allocator_may_return_null: a header announcing an enormous image gets
    # MemoryError, as in the normal build, rather than an ASan abort.
    # max_allocation_size_mb: under ASan every huge allocation costs a pass
    # over its shadow memory when freed (an 8th of its size); refusing those
    # above 512 MiB (MemoryError, a documented outcome) keeps the fuzzer
    # fast. tests/test_resource_bounds.py covers the huge headers for real.
    env LD_PRELOAD="$runtime" PYTHONMALLOC=malloc MORVANE_FUZZ_SCRATCH="$work/scratch" \
        ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=512:abort_on_error=0:${ASAN_OPTIONS:-}" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}" \
        "$@"
}

# Targets with a custom mutator (MUTATORS in fuzz/targets.py).
has_mutator() {
    case "$1" in png_structured|bmp_structured) return 0 ;; *) return 1 ;; esac
}

run() {
    local target="$1"; shift
    local seeds; seeds="$(seeds_of "$target")"
    local with_mutator=""
    if has_mutator "$target"; then with_mutator=1; fi
    mkdir -p "$work/corpus/$target" "$work/artifacts/$target"
    # -malloc_limit_mb: libFuzzer would otherwise call any single allocation
    # above the RSS limit a crash; big untouched allocations for huge headers
    # are allowed (the resource-bound tests pin that they stay cheap).
    run_env "$venv/bin/python" -m fuzz.fuzz "$target" \
        -timeout=10 -rss_limit_mb=4096 -malloc_limit_mb=2000000 -detect_leaks=0 \
        -artifact_prefix="$work/artifacts/$target/" -print_final_stats=1 \
        "$work/corpus/$target" "$@" "$seeds"
}

repro() {
    local target="$1"; shift
    local with_mutator=""
    if has_mutator "$target"; then with_mutator=1; fi
    run_env "$venv/bin/python" -m fuzz.fuzz "$target" -runs=1 "$@"
}

# A C++ core alone, without Python: a libFuzzer harness built with clang.
# Like the native checks, each harness names the sources it needs in a
# `// sources:` line.
native_harnesses=(pngrows kernels)
native() {
    local harness=pngrows
    case "${1:-}" in pngrows | kernels) harness="$1"; shift ;; esac
    local dir="$work/native/$harness" source="fuzz/native/${harness}_fuzz.cpp"
    local sources
    read -r -a sources <<<"$(sed -n 's|^// sources:||p' "$source")"
    mkdir -p "$dir/corpus" "$dir/artifacts"
    clang++ -std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
        -Isrc/Morvane -Itests/native "$source" "${sources[@]/#/src/Morvane/}" -o "$dir/fuzz" || return
    "$dir/fuzz" -artifact_prefix="$dir/artifacts/" "$@" "$dir/corpus"
}

# Runs COMMAND... with its output in $work/logs/NAME.log (left in $log); on a
# failure, shows the log's end and exits with its status.
logged() {
    local name="$1" findings="$2" status=0
    shift 2
    mkdir -p "$work/logs"
    log="$work/logs/$name.log"
    "$@" >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        tail -n 80 "$log"
        echo "fuzzing $name failed (exit $status); findings in $findings" >&2
        exit "$status"
    fi
}

# One of CI's runs, by name: a target, or native-HARNESS, for $seconds.
ci_one() {
    case "$1" in
    native-*) logged "$1" "$work/native/${1#native-}/artifacts" native "${1#native-}" -max_total_time="$seconds" ;;
    *) logged "$1" "$work/artifacts/$1" run "$1" -max_total_time="$seconds" ;;
    esac
}

case "${1:-}" in
    setup) setup ;;
    native) shift; native "$@" ;;
    run) shift; [ -x "$venv/bin/python" ] || setup; run "$@" ;;
    repro) shift; [ -x "$venv/bin/python" ] || setup; repro "$@" ;;
    ci)
        seconds="${2:-60}"
        setup
        # Each run keeps one core busy: as many at a time as there are
        # processors, each for the same time, their summaries shown in order.
        at_once="$(nproc)"
        mkdir -p "$work/logs"
        names=("${targets[@]}" "${native_harnesses[@]/#/native-}")
        for ((first = 0; first < ${#names[@]}; first += at_once)); do
            pids=()
            for name in "${names[@]:first:at_once}"; do
                (ci_one "$name") >"$work/logs/$name.summary" 2>&1 &
                pids+=($!)
            done
            failed=0
            for name in "${names[@]:first:at_once}"; do
                status=0
                wait "${pids[0]}" || status=$?
                pids=("${pids[@]:1}")
                log="$work/logs/$name.log"
                case "$name" in
                native-*)
                    echo "=== fuzz the C++ core ${name#native-} alone (native) for ${seconds}s"
                    summary='^(#[0-9]+ +DONE|Done [0-9]+ runs)'
                    ;;
                *)
                    echo "=== fuzz $name for ${seconds}s"
                    summary='^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::peak_rss_mb)'
                    ;;
                esac
                if [ "$status" -ne 0 ]; then
                    cat "$work/logs/$name.summary"
                    failed="$status"
                else
                    grep -E "$summary" "$log" || tail -n 5 "$log"
                fi
            done
            [ "$failed" -eq 0 ] || exit "$failed"
        done
        echo "fuzz: ${#names[@]} passed, 0 failed"
        ;;
    *) sed -n '2,24p' "$0"; exit 2 ;;
esac
