"""atheris driver: python -m fuzz.fuzz TARGET [libFuzzer flags] [corpus dirs], from
the repository's root

Run it through tools/fuzz.sh, which builds the instrumented module and
preloads the sanitizer runtime that carries libFuzzer. The targets are in
fuzz/targets.py.
"""

import os
import sys

import atheris

# The native coverage of the module comes from the MORVANE_FUZZ build.
# MORVANE_FUZZ_PY_COVERAGE=1 adds Python-level coverage of the harness's own
# decisions (slower: the harness is most of the Python that runs).
if os.environ.get("MORVANE_FUZZ_PY_COVERAGE") == "1":
    with atheris.instrument_imports(include=["fuzz.targets"]):
        from fuzz import targets
else:
    from fuzz import targets


def main():
    if len(sys.argv) < 2 or sys.argv[1] not in targets.TARGETS:
        sys.exit(f"usage: python -m fuzz.fuzz TARGET [libFuzzer args]; targets: {', '.join(targets.TARGETS)}")
    target = targets.TARGETS[sys.argv[1]]
    mutator = targets.MUTATORS.get(sys.argv[1])
    if mutator is None:
        atheris.Setup([sys.argv[0]] + sys.argv[2:], target)
    else:
        # Structure-aware: the target's own mutator, with libFuzzer's byte
        # mutations for its byte-level steps.
        def custom_mutator(data, max_size, seed):
            return mutator(data, max_size, seed, atheris.Mutate)

        atheris.Setup([sys.argv[0]] + sys.argv[2:], target, custom_mutator=custom_mutator)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
