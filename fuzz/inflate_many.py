"""Runs the inflate fuzz target (fuzz/targets.py) on N pseudo-random inputs,
in the normal build and without a fuzzing engine: a long differential run
of the PNG decoder's inflating against the host's zlib.decompress.

    python -m fuzz.inflate_many N [SEED]

Prints the count of inputs and of disagreements (each is also written to
inflate-disagreement-K in the current folder); exits 1 on any.
"""

import random
import sys
import time

from fuzz import targets


def run_many(name, count, next_input):
    """Runs target `name` on `count` inputs from next_input(); prints the
    counts and exits 1 on any disagreement (each written to
    NAME-disagreement-K in the current folder)."""
    check = targets.TARGETS[name]
    bad = 0
    start = time.monotonic()
    for i in range(count):
        data = next_input()
        try:
            check(data)
        except targets.Bug as e:
            bad += 1
            with open(f"{name}-disagreement-{bad}", "wb") as f:
                f.write(data)
            print(f"input {i}: {e}", flush=True)
        if (i + 1) % 100000 == 0:
            print(f"{i + 1} inputs, {bad} disagreements, {time.monotonic() - start:.0f} s", flush=True)
    print(f"{name}: {count} inputs, {bad} disagreements")
    sys.exit(1 if bad else 0)


def main():
    count = int(sys.argv[1])
    rnd = random.Random(int(sys.argv[2]) if len(sys.argv) > 2 else 1)
    run_many("inflate", count, lambda: rnd.randbytes(rnd.randrange(1, 400)))


if __name__ == "__main__":
    main()
