"""PNG decode in a fresh process: a loop opening one small PNG over and over,
as a script over a folder of thumbnails does, each contender in its own new
interpreter, ours beside every peer.

    python -m benchmarks.bench_png_fresh [--quick] [--repeat N] [--sizes 128,256] [--json PATH]

bench_png_read times every contender in one long-lived process, where the
allocator has long since settled. A fresh process is where a decoder that
gets new memory from the system for each image pays for it: a page fault
per 4 KiB touched (about 2 us each on a virtual machine). This benchmark
counts the page faults per decode beside the time.

Files (made in memory, deterministic, written to a scratch folder): the
photo-like RGB and RGBA images of bench_png_read at each side (default 128
and 256; --quick 256), as Pillow saves them and with the None, Up and Paeth
filter on every row.

Per file and contender, a fresh interpreter imports what it needs, decodes a
tiny PNG once (so that what a decoder loads on first use is not counted),
reads the file's bytes, decodes it 3 times, then times 7 rounds of decodes
(each round about 50 ms), keeping each result until the next one is made.
The time is the fastest round's time per decode, the fastest over the
repeats (a fresh interpreter each); the page faults (minor faults, from
getrusage) are per decode over all rounds. Contenders: ours from bytes and
every peer of _peers.available(), from bytes (pypng up to 1024 only).
"""

from __future__ import annotations

import textwrap

from benchmarks import _common as C
from benchmarks import _peers as P

CHILD = textwrap.dedent(
    """
    import json, resource, sys, time
    how, path, root = sys.argv[1], sys.argv[2], sys.argv[3]
    sys.path[:0] = [root, *sys.argv[4:]]
    from benchmarks import _peers
    from testkit.spy import simple_png
    if how == "ours":
        decode = _peers.ours().decode
    else:
        decode = next(p for p in _peers.available(how) if p.name == how).decode
    decode(simple_png(1, 1, b"\\x00\\x01\\x02\\x03"))
    data = open(path, "rb").read()
    result = None
    for _ in range(3):
        result = decode(data)
    t0 = time.perf_counter()
    result = decode(data)
    number = max(1, int(0.05 / max(time.perf_counter() - t0, 1e-6)))

    def faults():
        return resource.getrusage(resource.RUSAGE_SELF).ru_minflt

    best, first = float("inf"), faults()
    for _ in range(7):
        t0 = time.perf_counter()
        for _ in range(number):
            result = decode(data)
        best = min(best, (time.perf_counter() - t0) / number)
    print(json.dumps({"seconds": best, "faults": (faults() - first) / (7 * number)}))
    """
)

FILTERS = [(0, "None"), (2, "Up"), (4, "Paeth")]


def main() -> None:
    ap = C.common_args(__doc__.splitlines()[0])
    ap.add_argument("--sizes", default=None, help="comma-separated sides (default 128,256; --quick 256)")
    ap.add_argument("--modes", default="RGB,RGBA", help="comma-separated modes (default RGB,RGBA)")
    args = ap.parse_args()
    _, ext = C.import_ours()
    env = C.header("bench_png_fresh: a loop over one small PNG in a fresh process", ext, wait=args.wait_idle)
    # The children import the module from where this process found it.
    package_root = C.package_root(ext)
    peers = P.available()
    env["peers"] = {p.name: p.version for p in peers}
    sides = [int(s) for s in (args.sizes or ("256" if args.quick else "128,256")).split(",")]
    rep = C.repeats(args, full=3, quick=2)
    rows, results, names = [], [], ["ours"]
    with C.scratch_dir() as tmp:
        for mode in args.modes.split(","):
            for side in sides:
                im = C.photo(side, side, mode)
                files = [("adaptive", C.pillow_png(im))]
                files += [(f"f{f} {name}", C.png_single_filter(im, f)) for f, name in FILTERS]
                names = ["ours"] + [p.name for p in peers if side <= p.max_side]
                for variant, png in files:
                    path = f"{tmp}/{mode}-{side}-{variant.replace(' ', '-')}.png"
                    with open(path, "wb") as f:
                        f.write(png)
                    best: dict = {}
                    for _ in range(rep):
                        for name in names:
                            r = C.run_child(CHILD, name, path, [package_root])
                            old = best.get(name)
                            if old is None or r["seconds"] < old["seconds"]:
                                best[name] = r
                    ours = best["ours"]["seconds"]
                    ratios = {n: best[n]["seconds"] / ours for n in names if n != "ours"}
                    results.append({"mode": mode, "side": side, "variant": variant, "results": best, "ratios": ratios})
                    row = [mode, side, variant, C.fmt_time(ours), f"{best['ours']['faults']:.0f}"]
                    row += [f"{ratios[n]:.2f} ({best[n]['faults']:.0f})" for n in names[1:]]
                    rows.append(row)
                    print("  " + "  ".join(str(c) for c in row), flush=True)
    print()
    print("Time per decode, ours; each peer's time over ours (its page faults per decode in brackets)")
    print(
        C.table(
            ["mode", "side", "file", "ours", "faults", *names[1:]],
            rows,
            "lrl" + "r" * (len(names) + 1),
        )
    )
    print(f"load average at end: {C.loadavg()}")
    C.write_json(args.json, {"env": env, "results": results})


if __name__ == "__main__":
    main()
