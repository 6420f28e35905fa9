"""PNG decode memory: the peak memory growth of opening one PNG, each
contender in a fresh process, ours beside every peer.

    python -m benchmarks.bench_png_memory [--quick] [--repeat N] [--sizes 4096] [--json PATH]

Files (made in memory, deterministic, written to a scratch folder): the
photo-like RGB and RGBA images of bench_png_read at 4096 x 4096 (--quick:
1024), as Pillow saves them (64 KiB IDATs) and with the same IDAT data in
one chunk.

Per file and contender, a fresh interpreter imports what it needs, decodes a
tiny PNG once (so that what a decoder loads on first use is not counted),
reads the file's bytes where the contender decodes from bytes, resets its
peak (/proc/self/clear_refs), notes its resident size, decodes the file once,
keeping the result, and reports the peak (VmHWM of /proc/self/status) less
the size before. Contenders:
  ours path         SimpleImage.open(path)
  ours bytes        SimpleImage.open(data)
  ours, host zlib   SimpleImage.open(data) where zlib-ng cannot be imported
  every peer of _peers.available(), from bytes (pypng up to 1024 only)
The figure is the smallest growth over the repeats.

Goal: opening the 4096 x 4096 RGB file from bytes grows the peak by at most
1.05 x the pixel buffer (width x height x 3 bytes) plus 2 MiB.
"""

from __future__ import annotations

import textwrap
import time

from benchmarks import _common as C
from benchmarks import _peers as P

CHILD = textwrap.dedent(
    """
    import gc, io, json, resource, sys
    how, path, root = sys.argv[1], sys.argv[2], sys.argv[3]
    sys.path[:0] = [root, *sys.argv[4:]]
    if how == "ours-host":
        class NoZlibNg:
            def find_spec(self, name, path=None, target=None):
                if name.split(".")[0] == "zlib_ng":
                    raise ModuleNotFoundError(name)
        sys.meta_path.insert(0, NoZlibNg())
    from benchmarks import _peers
    from testkit.spy import simple_png
    if how.startswith("ours"):
        decode = _peers.ours().decode
    else:
        decode = next(p for p in _peers.available() if p.name == how).decode
    decode(simple_png(1, 1, b"\\x00\\x01\\x02\\x03"))
    data = path if how == "ours-path" else open(path, "rb").read()

    def status(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
        return 0

    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # the peak RSS starts again from here
        reset = True
    except OSError:
        reset = False
    before = status("VmRSS")
    result = decode(data)
    # Without the reset, the peak of the whole process (ru_maxrss would
    # include the parent's size at fork, VmHWM does not).
    peak = status("VmHWM")
    print(json.dumps({"before": before, "peak": peak, "growth": peak - before, "reset": reset}))
    """
)

GOAL_FACTOR = 1.05
GOAL_SLACK = 2 << 20


def main() -> None:
    ap = C.common_args(__doc__.splitlines()[0])
    ap.add_argument("--sizes", default=None, help="comma-separated sides (default 4096; --quick 1024)")
    ap.add_argument("--modes", default="RGB,RGBA", help="comma-separated modes (default RGB,RGBA)")
    args = ap.parse_args()
    _, ext = C.import_ours()
    env = C.header("bench_png_memory: peak memory growth of one PNG decode", ext, wait=args.wait_idle)
    # The children import the module from where this process found it.
    package_root = C.package_root(ext)
    peers = P.available()
    env["peers"] = {p.name: p.version for p in peers}
    sides = [int(s) for s in (args.sizes or ("1024" if args.quick else "4096")).split(",")]
    rep = C.repeats(args, full=3, quick=2)
    rows, results = [], []
    with C.scratch_dir() as tmp:
        for mode in args.modes.split(","):
            for side in sides:
                t0 = time.perf_counter()
                im = C.photo(side, side, mode)
                adaptive = C.pillow_png(im)
                files = [("adaptive", adaptive), ("adaptive/1", C.rechunk(adaptive, 0))]
                print(f"[{mode} {side}x{side}: files made in {time.perf_counter() - t0:.1f} s]", flush=True)
                contenders = {"ours path": "ours-path", "ours bytes": "ours-bytes", "ours, host zlib": "ours-host"}
                contenders.update({p.name: p.name for p in peers if side <= p.max_side})
                for variant, png in files:
                    path = f"{tmp}/{mode}-{side}-{variant.replace('/', '-')}.png"
                    with open(path, "wb") as f:
                        f.write(png)
                    pixels = side * side * 3
                    goal = GOAL_FACTOR * pixels + GOAL_SLACK
                    growth = {}
                    for _ in range(rep):
                        for name, how in contenders.items():
                            g = C.run_child(CHILD, how, path, [package_root])["growth"]
                            growth[name] = min(growth.get(name, g), g)
                    ours = growth["ours bytes"]
                    rec = {
                        "mode": mode,
                        "side": side,
                        "variant": variant,
                        "file_bytes": len(png),
                        "pixel_bytes": pixels,
                        "goal_bytes": goal,
                        "growth": growth,
                        "met": ours <= goal,
                    }
                    results.append(rec)
                    mb = lambda b: f"{b / 2**20:.1f}"  # noqa: E731
                    row = [mode, side, variant, mb(len(png)), mb(pixels), mb(goal)]
                    row += [mb(growth[n]) for n in contenders]
                    row += [C.verdict(rec["met"])]
                    rows.append(row)
                    print("  " + "  ".join(str(c) for c in row), flush=True)
                    header_names = list(contenders)
    print()
    print(
        f"Peak growth in MiB (smallest over the repeats); goal: ours bytes <= {GOAL_FACTOR} x pixels + "
        f"{GOAL_SLACK >> 20} MiB"
    )
    print(
        C.table(
            ["mode", "side", "file", "file MiB", "pixels MiB", "goal MiB", *header_names, "goal"],
            rows,
            "lrl" + "r" * (len(header_names) + 3) + "l",
        )
    )
    met = sum(r["met"] for r in results)
    print(f"\n{met} of {len(results)} files within the goal")
    print(f"load average at end: {C.loadavg()}")
    C.write_json(args.json, {"env": env, "results": results})


if __name__ == "__main__":
    main()
