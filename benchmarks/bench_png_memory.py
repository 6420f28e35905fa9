"""PNG decode memory: the peak RSS growth of opening one PNG, each contender
in a fresh process.

    python -m benchmarks.bench_png_memory [--quick] [--repeat N] [--sizes 4096] [--json PATH]

Files (made in memory, deterministic, written to a scratch folder): the
photo-like RGB and RGBA images of bench_png_read at 4096 x 4096 (--quick:
1024), as Pillow saves them (64 KiB IDATs) and with the same IDAT data in
one chunk.

Per file and contender, a fresh interpreter imports what it needs, notes its
RSS, resets its peak (/proc/self/clear_refs), decodes the file once, keeping
the result, and reports its peak RSS less the RSS before. Contenders:
  ours path     SimpleImage.open(path)
  ours bytes    SimpleImage.open(data), the file's bytes read beforehand
  ours, host zlib   SimpleImage.open(path) where zlib-ng cannot be imported
  Pillow path   Image.open(path).load()
  Pillow bytes  Image.open(BytesIO(data)).load()
The figure is the smallest growth over the repeats.

Goal: ours (path) grows by at most the file size plus 1.1 x the pixel
buffer (width x height x 3 bytes).
"""

from __future__ import annotations

import json
import subprocess
import sys
import textwrap
import time

from benchmarks import _common as C

CHILD = textwrap.dedent(
    """
    import gc, io, json, resource, sys
    how, path = sys.argv[1], sys.argv[2]
    if how == "ours-host":
        class NoZlibNg:
            def find_spec(self, name, path=None, target=None):
                if name.split(".")[0] == "zlib_ng":
                    raise ModuleNotFoundError(name)
        sys.meta_path.insert(0, NoZlibNg())
    if how.startswith("ours"):
        sys.path[:0] = sys.argv[3:]
        from Morvane.simpleImage_ext import SimpleImage
    else:
        from PIL import Image, PngImagePlugin
    data = open(path, "rb").read() if how.endswith("bytes") else None

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
    if how in ("ours-path", "ours-host"):
        result = SimpleImage.open(path)
    elif how == "ours-bytes":
        result = SimpleImage.open(data)
    elif how == "pillow-path":
        result = Image.open(path)
        result.load()
    else:
        result = Image.open(io.BytesIO(data))
        result.load()
    peak = status("VmHWM") if reset else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"before": before, "peak": peak, "growth": peak - before, "reset": reset}))
    """
)

CONTENDERS = {
    "ours path": "ours-path",
    "ours bytes": "ours-bytes",
    "ours, host zlib": "ours-host",
    "Pillow path": "pillow-path",
    "Pillow bytes": "pillow-bytes",
}


def measure(how: str, path: str, extra_path: list) -> dict:
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, how, path, *extra_path], capture_output=True, text=True, timeout=600
    )
    if proc.returncode != 0:
        raise RuntimeError(f"{how} {path}: {proc.stderr[-2000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main() -> None:
    ap = C.common_args(__doc__.splitlines()[0])
    ap.add_argument("--sizes", default=None, help="comma-separated sides (default 4096; --quick 1024)")
    ap.add_argument("--modes", default="RGB,RGBA", help="comma-separated modes (default RGB,RGBA)")
    args = ap.parse_args()
    _, ext = C.import_ours()
    C.import_pillow()
    env = C.header("bench_png_memory: peak RSS growth of one PNG decode", ext, wait=args.wait_idle)
    # The children import the module from where this process found it.
    package_root = str(C.Path(ext.__file__).resolve().parent.parent)
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
                for variant, png in files:
                    path = f"{tmp}/{mode}-{side}-{variant.replace('/', '-')}.png"
                    with open(path, "wb") as f:
                        f.write(png)
                    pixels = side * side * 3
                    goal = len(png) + 1.1 * pixels
                    growth = {}
                    for _ in range(rep):
                        for name, how in CONTENDERS.items():
                            g = measure(how, path, [package_root])["growth"]
                            growth[name] = min(growth.get(name, g), g)
                    ours = growth["ours path"]
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
                    row += [mb(growth[n]) for n in CONTENDERS]
                    row += [f"{ours / growth['Pillow path']:.2f}", C.verdict(rec["met"])]
                    rows.append(row)
                    print("  " + "  ".join(str(c) for c in row), flush=True)
    print()
    print("Peak RSS growth in MiB (smallest over the repeats); goal: ours path <= file + 1.1 x pixels")
    print(
        C.table(
            ["mode", "side", "file", "file MiB", "pixels MiB", "goal MiB", *CONTENDERS, "ours/Pillow", "goal"],
            rows,
            "lrl" + "r" * (len(CONTENDERS) + 4) + "l",
        )
    )
    met = sum(r["met"] for r in results)
    print(f"\n{met} of {len(results)} files within the goal")
    print(f"load average at end: {C.loadavg()}")
    C.write_json(args.json, {"env": env, "results": results})


if __name__ == "__main__":
    main()
