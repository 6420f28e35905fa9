"""Threads: opening many images with 2 threads against opening them serially.

    python -m benchmarks.bench_threads [--quick] [--repeat N] [--threads 2] [--json PATH]

Work lists (made in memory, deterministic):
  PNG 1024²  40 PNG files of 1024 x 1024 (8 photo-like RGB images as Pillow
             saves them, each 5 times), opened from bytes
  PNG path   the same 40 files written to a scratch folder, opened by path
  BMP 4096²  8 BMP files of 4096 x 4096, opened from bytes (--quick: 2048²)

Each list is opened serially (a plain loop) and with a ThreadPoolExecutor of
--threads workers (default 2), for ours and for Pillow (the only peer that
builds the same image object), interleaved. For the BMPs a third row, "copy",
copies each file into a fresh buffer (numpy, without the interpreter lock):
the speed-up the machine's memory allows a decode that reads and writes every
byte. The figure is the speed-up, serial time / threaded time, by minimum and
by median over the repeats, and the process's CPU time over the wall time
while threaded.

Goals: with 2 threads, the 40 PNGs open at least 1.8x faster than serially,
the 4096² BMPs at least 1.5x faster. Only meaningful on a machine with at
least that many idle cores (--wait-idle).
"""

from __future__ import annotations

import io
import statistics
import time
from concurrent.futures import ThreadPoolExecutor

from benchmarks import _common as C

GOALS = {"PNG 1024² bytes": 1.8, "BMP 4096² bytes": 1.5}


def run(fn, items, threads: int) -> tuple:
    """(wall, cpu) seconds of fn over every item, serially or threaded."""
    w0, c0 = time.perf_counter(), time.process_time()
    if threads <= 1:
        for item in items:
            fn(item)
    else:
        with ThreadPoolExecutor(threads) as pool:
            for _ in pool.map(fn, items):
                pass
    return time.perf_counter() - w0, time.process_time() - c0


def main() -> None:
    ap = C.common_args(__doc__.splitlines()[0])
    ap.add_argument("--threads", type=int, default=2, help="workers of the pool (default 2)")
    args = ap.parse_args()
    SimpleImage, ext = C.import_ours()
    _, Image = C.import_pillow()
    env = C.header("bench_threads: opening with threads against serially", ext, wait=args.wait_idle)
    rep = C.repeats(args, full=7, quick=3)
    env["threads"] = args.threads

    t0 = time.perf_counter()
    pngs = [C.pillow_png(C.photo(1024, 1024, "RGB", seed=s)) for s in range(8)] * 5
    bmp_side = 2048 if args.quick else 4096
    bmp = C.pillow_bytes(C.photo(bmp_side, bmp_side, "RGB"), "BMP")
    bmps = [bytes(bmp) for _ in range(8)]
    print(f"[files made in {time.perf_counter() - t0:.1f} s]", flush=True)

    try:
        import numpy as np
    except ImportError:
        np = None

    def bare_copy(source):
        # The machine's ceiling for the BMP lists: the file's bytes copied
        # into a fresh buffer of their size, with numpy's copy loop, which
        # runs without the interpreter lock. A BMP decode does at least this.
        return np.frombuffer(source, np.uint8).copy()

    def pillow_open(source):
        im = Image.open(io.BytesIO(source) if isinstance(source, bytes) else source)
        im.load()
        return im

    results = []
    with C.scratch_dir() as tmp:
        paths = []
        for i, data in enumerate(pngs):
            path = f"{tmp}/{i}.png"
            with open(path, "wb") as f:
                f.write(data)
            paths.append(path)
        lists = [
            ("PNG 1024² bytes", pngs),
            ("PNG 1024² path", paths),
            (f"BMP {bmp_side}² bytes", bmps),
        ]
        for label, items in lists:
            contenders = {"ours": SimpleImage.open, "Pillow": pillow_open}
            if label.startswith("BMP") and np is not None:
                contenders["copy"] = bare_copy
            samples = {(n, t): [] for n in contenders for t in (1, args.threads)}
            for fn in contenders.values():
                run(fn, items[:4], args.threads)  # warm up
            for _ in range(rep):
                for name, fn in contenders.items():
                    for t in (1, args.threads):
                        samples[(name, t)].append(run(fn, items, t))
            for name in contenders:
                serial = [w for w, _ in samples[(name, 1)]]
                threaded = [w for w, _ in samples[(name, args.threads)]]
                cpu = statistics.median(c / w for w, c in samples[(name, args.threads)])
                rec = {
                    "work": label,
                    "decoder": name,
                    "items": len(items),
                    "serial_s": {"min": min(serial), "median": statistics.median(serial)},
                    "threaded_s": {"min": min(threaded), "median": statistics.median(threaded)},
                    "speedup": {
                        "min": min(serial) / min(threaded),
                        "median": statistics.median(serial) / statistics.median(threaded),
                    },
                    "cpu_over_wall": cpu,
                    "spread": statistics.median(threaded) / min(threaded),
                }
                goal = GOALS.get(label)
                if name == "ours" and goal:
                    rec["goal"] = goal
                    rec["met"] = rec["speedup"]["min"] >= goal and rec["speedup"]["median"] >= goal
                results.append(rec)
                print(
                    f"  {label} {name}: serial {C.fmt_time(rec['serial_s']['min'])}, {args.threads} threads "
                    f"{C.fmt_time(rec['threaded_s']['min'])}: {rec['speedup']['min']:.2f}x "
                    f"(median {rec['speedup']['median']:.2f}x), CPU/wall {cpu:.2f}",
                    flush=True,
                )
    print()
    rows = [
        [
            r["work"],
            r["decoder"],
            r["items"],
            C.fmt_time(r["serial_s"]["min"]),
            C.fmt_time(r["threaded_s"]["min"]),
            f"{r['speedup']['min']:.2f}x / {r['speedup']['median']:.2f}x",
            f"{r['cpu_over_wall']:.2f}",
            f">= {r['goal']}: {C.verdict(r['met'])}" if "goal" in r else "",
        ]
        for r in results
    ]
    print(
        C.table(
            [
                "work",
                "decoder",
                "files",
                "serial",
                f"{args.threads} threads",
                "speed-up min / median",
                "CPU/wall",
                "goal",
            ],
            rows,
            "llrrrrrl",
        )
    )
    C.finish(args.json, env, results)


if __name__ == "__main__":
    main()
