"""Runs a structure-aware fuzz target (png_structured or bmp_structured,
fuzz/targets.py) on N inputs made by its own custom mutator, without a
fuzzing engine: each input is a mutation of a committed seed
(fuzz/corpus/TARGET) or of an earlier input, checked against the reference
decoder as the target checks it.

    python -m fuzz.structured_many TARGET N [SEED]

Prints the count of inputs and of disagreements (each is also written to
TARGET-disagreement-K in the current folder); exits 1 on any.
"""

import random
import sys
from pathlib import Path

from fuzz import targets
from fuzz.inflate_many import run_many

POOL = 2000  # earlier inputs kept to mutate further


def main():
    name, count = sys.argv[1], int(sys.argv[2])
    rnd = random.Random(int(sys.argv[3]) if len(sys.argv) > 3 else 1)
    mutate = targets.MUTATORS[name]
    pool = [p.read_bytes() for p in sorted((Path(__file__).parent / "corpus" / name).iterdir())] or [b""]

    def next_input():
        data = mutate(rnd.choice(pool), 4096, rnd.getrandbits(32))
        # Each input is kept to be mutated further, in place of an older one
        # once the pool is full.
        if len(pool) < POOL:
            pool.append(data)
        else:
            pool[rnd.randrange(POOL)] = data
        return data

    run_many(name, count, next_input)


if __name__ == "__main__":
    main()
