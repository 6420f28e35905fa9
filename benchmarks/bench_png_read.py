"""PNG decode: SimpleImage.open(png_bytes) beside every peer and the zlib-ng floor.

    python -m benchmarks.bench_png_read [--quick] [--repeat N] [--sizes 256,1024] [--modes RGB] [--no-real]
                                        [--peers Pillow,pyspng] [--confirm N] [--default-heap] [--json PATH]

Test files (made in memory, deterministic, no downloads): photo-like RGB
and RGBA images (smooth gradients, hard-edged shapes, +-6 noise) of 256x256,
1024x1024 and 4096x4096 (--quick: 256 and 1024), each encoded as
  adaptive    Pillow's own PNG save (it picks a filter per row; 64 KiB IDATs)
  adaptive/1  the same IDAT data in one IDAT chunk
  adaptive/8k the same IDAT data in 8 KiB IDAT chunks (libpng's default size)
  f0 .. f4    every row with the one filter None/Sub/Up/Average/Paeth
              (Pillow cannot do this, so filtered here, zlib level 6, 64 KiB IDATs)
then the real files of _common.real_files() (scikit-image's photographs and
drawings, where installed, and a screenshot-like picture).

Per file, timed side by side, interleaved (A B C ..., A B C ...):
  ours    SimpleImage.open(png_bytes)
  floor   zlib-ng's one-call inflate of the file's IDAT data (the inflater ours uses)
  peers   every decoder of _peers.available() (pypng up to 1024 only)
Every decoder's pixels are checked against ours first. Each figure is given
by minimum and by median over the repeats.

Every contender runs in this one process with glibc's heap thresholds pinned
(_common.pin_heap: blocks up to 32 MiB reused warm, for ours, the floor and
every peer alike), so that no contender's times depend on which one freed
what before it; --default-heap leaves the allocator as it starts.

Goals: ours at most 1.15x the floor, and every peer at least 1.2x our time
(by median), on every file. A file within 10 % of a goal is timed again with
--confirm repeats (default 15): ours, the floor and every peer within 10 %
of its goal (the others keep their first figures); those figures are the
ones reported.
"""

from __future__ import annotations

import time

from benchmarks import _common as C
from benchmarks import _peers as P

FILTER_NAMES = ["None", "Sub", "Up", "Average", "Paeth"]
GOAL_FLOOR = 1.15
GOAL_PEER = 1.2
NEAR = 0.10


def make_files(mode: str, side: int) -> list:
    """[(variant, png_bytes)] for one image."""
    im = C.photo(side, side, mode)
    adaptive = C.pillow_png(im)
    files = [
        ("adaptive", adaptive),
        ("adaptive/1", C.rechunk(adaptive, 0)),
        ("adaptive/8k", C.rechunk(adaptive, 8192)),
    ]
    for f in range(5):
        files.append((f"f{f} {FILTER_NAMES[f]}", C.png_single_filter(im, f)))
    return files


def near_goal(rec: dict) -> bool:
    worst_floor = max(rec["ours_over_floor"]["min"], rec["ours_over_floor"]["median"])
    if worst_floor > GOAL_FLOOR * (1 - NEAR):
        return True
    return any(r["median"] < GOAL_PEER * (1 + NEAR) for r in rec["peer_over_ours"].values())


def time_file(label, png, ours, peers, floor, side, repeat, target, earlier=None) -> dict:
    """Times one file; with `earlier` (the first pass's record), only ours,
    the floor and the peers near their goal are timed again, the others keep
    their figures."""
    idat = C.idat_data(png)
    want = ours.rgb(ours.decode(png))
    cands = {"ours": lambda: ours.decode(png), "floor": lambda: floor(idat)}
    for p in peers:
        if side > p.max_side:
            continue
        if earlier and earlier["peer_over_ours"][p.name]["median"] >= GOAL_PEER * (1 + NEAR):
            continue
        if not earlier:
            got = p.rgb(p.decode(png))
            assert got == want, f"{p.name} decodes {label} differently"
        cands[p.name] = lambda p=p: p.decode(png)
    res = C.compare(cands, repeat, target=target)
    if earlier:
        res = {**{n: t for n, t in earlier["times"].items() if n not in res}, **res}
    o = res["ours"]
    return {
        "file": label,
        "png_bytes": len(png),
        "idat_bytes": len(idat),
        "times": res,
        "ours_over_floor": {k: o[k] / res["floor"][k] for k in ("min", "median")},
        "peer_over_ours": {
            n: {k: r[k] / o[k] for k in ("min", "median")} for n, r in res.items() if n not in ("ours", "floor")
        },
        "repeats": repeat,
    }


def verdicts(rec: dict) -> None:
    rec["met_floor"] = rec["ours_over_floor"]["median"] <= GOAL_FLOOR and rec["ours_over_floor"]["min"] <= GOAL_FLOOR
    rec["met_peers"] = all(r["median"] >= GOAL_PEER for r in rec["peer_over_ours"].values())


def main() -> None:
    ap = C.common_args(__doc__.splitlines()[0])
    ap.add_argument("--sizes", default=None, help="comma-separated sides (default 256,1024,4096; --quick 256,1024)")
    ap.add_argument("--modes", default="RGB,RGBA", help="comma-separated modes (default RGB,RGBA)")
    ap.add_argument("--no-real", action="store_true", help="leave out the real files")
    ap.add_argument("--peers", default=None, help="comma-separated peer names (default: every one installed)")
    ap.add_argument("--confirm", type=int, default=15, help="repeats for a file within 10%% of a goal (0: none)")
    ap.add_argument("--default-heap", action="store_true", help="leave glibc's heap thresholds as they start")
    args = ap.parse_args()
    heap = "allocator as it starts (--default-heap)" if args.default_heap else C.pin_heap()
    _, ext = C.import_ours()
    env = C.header("bench_png_read: PNG decode beside every peer and the zlib-ng floor", ext, wait=args.wait_idle)
    env["heap"] = heap
    print(f"heap: {heap}")
    ours = P.ours()
    peers = P.available()
    if args.peers:
        wanted = args.peers.split(",")
        peers = [p for p in peers if p.name in wanted]
    floor, floor_name = P.floor()
    if floor is None:
        raise SystemExit("the floor needs zlib-ng: pip install zlib-ng")
    env["floor"] = floor_name
    env["peers"] = {p.name: p.version for p in peers}
    print(f"floor: {floor_name}")
    print("peers: " + ", ".join(f"{p.name} {p.version}" for p in peers))
    sides = [int(s) for s in (args.sizes or ("256,1024" if args.quick else "256,1024,4096")).split(",")]
    rep = C.repeats(args, full=5, quick=3)
    print(f"clock: {args.clock}; {rep} repeats; files within {NEAR:.0%} of a goal again with {args.confirm}")
    target = 0.05 if args.quick else 0.2

    jobs = []  # (label, side, png)
    for mode in args.modes.split(","):
        for side in sides:
            t0 = time.perf_counter()
            files = make_files(mode, side)
            print(f"[{mode} {side}x{side}: {len(files)} files made in {time.perf_counter() - t0:.1f} s]", flush=True)
            jobs += [(f"{mode} {side} {variant}", side, png) for variant, png in files]
    if not args.no_real:
        jobs += [(f"real {name}", 0, png) for name, png in C.real_files()]

    names = ["ours", "floor", *[p.name for p in peers]]
    results = []
    for label, side, png in jobs:
        rec = time_file(label, png, ours, peers, floor, side, rep, target)
        if args.confirm and rec["repeats"] < args.confirm and near_goal(rec):
            rec = time_file(label, png, ours, peers, floor, side, args.confirm, target, earlier=rec)
        verdicts(rec)
        results.append(rec)
        t = rec["times"]
        print(
            f"  {label}: ours {C.fmt_time(t['ours']['min'])} / {C.fmt_time(t['ours']['median'])}"
            f"  floor x{rec['ours_over_floor']['min']:.2f} / x{rec['ours_over_floor']['median']:.2f}  "
            + "  ".join(f"{n} {r['min']:.2f}/{r['median']:.2f}" for n, r in rec["peer_over_ours"].items())
            + f"  ({rec['repeats']} repeats)",
            flush=True,
        )

    print()
    print("Times (minimum / median per decode):")
    rows = []
    for r in results:
        t = r["times"]
        rows.append(
            [r["file"], f"{r['png_bytes'] / 1024:.0f}", r["repeats"]]
            + [f"{C.fmt_time(t[n]['min'])} / {C.fmt_time(t[n]['median'])}" if n in t else "-" for n in names]
        )
    print(C.table(["file", "KiB", "rep", *names], rows, "lrr" + "r" * len(names)))
    print()
    print(f"Ratios, minimum / median: ours / floor (goal <= {GOAL_FLOOR}), peer / ours (goal >= {GOAL_PEER} by median)")
    rows = []
    for r in results:
        f = r["ours_over_floor"]
        row = [r["file"], f"{f['min']:.2f} / {f['median']:.2f}"]
        row += [
            f"{r['peer_over_ours'][n]['min']:.2f} / {r['peer_over_ours'][n]['median']:.2f}"
            if n in r["peer_over_ours"]
            else "-"
            for n in names[2:]
        ]
        row += [C.verdict(r["met_floor"]), C.verdict(r["met_peers"])]
        rows.append(row)
    print(C.table(["file", "ours/floor", *names[2:], "floor goal", "peer goal"], rows, "l" + "r" * (len(names)) + "ll"))
    print()
    print(f"{sum(r['met_floor'] for r in results)} of {len(results)} files within {GOAL_FLOOR}x the floor")
    print(f"{sum(r['met_peers'] for r in results)} of {len(results)} files with every peer {GOAL_PEER}x slower or more")
    worst = max(results, key=lambda r: r["ours_over_floor"]["median"])
    print(f"worst ours/floor: {worst['file']}: {worst['ours_over_floor']['median']:.2f} (median)")
    closest = min(
        ((r["file"], n, v["median"]) for r in results for n, v in r["peer_over_ours"].items()), key=lambda x: x[2]
    )
    print(f"closest peer: {closest[1]} on {closest[0]}: {closest[2]:.2f}x our time (median)")
    for r in results:
        r["spread"] = max(t["spread"] for t in r["times"].values())
    C.finish(args.json, env, results)


if __name__ == "__main__":
    main()
