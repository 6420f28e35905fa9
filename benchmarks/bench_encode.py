"""Morvane.encode (bytes in memory) against save / saveBmp (a file).

    python -m benchmarks.bench_encode [--quick] [--repeat N] [--sizes 256,1024] [--formats png,bmp] [--dir DIR]

Photo-like RGB images (see _common.photo), square, of 256, 1024 and 4096
pixels a side (--quick: 256 and 1024), timed side by side, round-robin:
  save         img.save(path) or img.saveBmp(path), to a file in a temporary
               directory (in /dev/shm when there is one; --dir DIR to write
               elsewhere, for instance on a disk)
  encode       Morvane.encode(img, format): what a user gets (a BMP is made
               straight in memory)
  via file     encode made to have the module's writer write an anonymous
               in-memory file and read it back, whatever the size (BMP only)
  via pipe     encode made to have the writer write a pipe that a thread
               drains, whatever the size (BMP only)
The two "via" rows show what encode's other routes cost (the ones a BMP
takes when the writer's steps are not the host's own, and PNG always takes:
the pipe from 1 MiB of pixels on). Each candidate's bytes are checked
against the file first. Figures are the minimum per call over the repeats,
the median beside it.

Goal: encode / save <= 1.1.
"""

from __future__ import annotations

import os
import tempfile
import time

from benchmarks import _common as C


def main() -> None:
    ap = C.common_args(__doc__.splitlines()[0])
    ap.add_argument("--sizes", default=None, help="comma-separated sides (default 256,1024,4096; --quick 256,1024)")
    ap.add_argument("--formats", default="bmp,png", help="comma-separated formats (default bmp,png)")
    ap.add_argument("--dir", default=None, help="write the files under DIR (default: a folder in /dev/shm if any)")
    args = ap.parse_args()
    SimpleImage, ext = C.import_ours()
    import Morvane  # noqa: PLC0415
    import Morvane._api as api  # noqa: PLC0415

    env = C.header("bench_encode: encode to bytes vs save to a file", ext, pillow=False, wait=args.wait_idle)
    sides = [int(s) for s in (args.sizes or ("256,1024" if args.quick else "256,1024,4096")).split(",")]
    formats = args.formats.split(",")
    rep = C.repeats(args, full=7, quick=3)
    target = 0.05 if args.quick else 0.2
    pipe_from = api._PIPE_FROM

    in_memory = api._bmp_in_memory

    def routed(threshold: int, img, fmt: str):
        def run() -> bytes:
            api._PIPE_FROM = threshold
            api._bmp_in_memory = lambda *fields: False
            try:
                return Morvane.encode(img, fmt)
            finally:
                api._PIPE_FROM = pipe_from
                api._bmp_in_memory = in_memory

        return run

    rows, results = [], []
    scratch = tempfile.TemporaryDirectory(prefix="morvane-bench-", dir=args.dir) if args.dir else C.scratch_dir()
    with scratch as tmp:
        print(f"files written under {tmp}")
        for side in sides:
            t0 = time.perf_counter()
            img = SimpleImage(side, side, C.photo(side, side, "RGB").tobytes())
            print(f"[{side}x{side} made in {time.perf_counter() - t0:.1f} s]", flush=True)
            for fmt in formats:
                path = os.path.join(tmp, f"ours{side}.{fmt}")
                writer = img.save if fmt == "png" else img.saveBmp
                cands = {"save": lambda: writer(path), "encode": lambda: Morvane.encode(img, fmt)}
                if fmt == "bmp":
                    cands["via file"] = routed(1 << 62, img, fmt)
                    cands["via pipe"] = routed(1, img, fmt)
                writer(path)
                with open(path, "rb") as f:
                    expected = f.read()
                for name, fn in cands.items():
                    if name != "save":
                        assert fn() == expected, f"{name} gave other bytes than the file"
                res = C.compare(cands, rep, target=target)
                save = res["save"]["min"]
                rec = {
                    "format": fmt,
                    "side": side,
                    "bytes": len(expected),
                    **{f"{k.replace(' ', '_')}_s": r["min"] for k, r in res.items()},
                    **{f"{k.replace(' ', '_')}_median_s": r["median"] for k, r in res.items()},
                    "encode_over_save": res["encode"]["min"] / save,
                    "encode_over_save_median": res["encode"]["median"] / res["save"]["median"],
                    "spread": max(r["spread"] for r in res.values()),
                }
                rec["met"] = rec["encode_over_save"] <= 1.1
                results.append(rec)
                row = [fmt, f"{side}x{side}", f"{len(expected) / 1024:.0f}"]
                for name in ("save", "encode", "via file", "via pipe"):
                    r = res.get(name)
                    row.append(f"{C.fmt_time(r['min'])} ({C.fmt_time(r['median'])})" if r else "")
                row += [
                    C.fmt_ratio(rec["encode_over_save"]),
                    C.fmt_ratio(rec["encode_over_save_median"]),
                    C.verdict(rec["met"]),
                    f"{rec['spread']:.2f}",
                ]
                rows.append(row)
                print("  " + "  ".join(rows[-1]), flush=True)
    print()
    print("Goal: encode / save <= 1.10x (min over the repeats; the median ratio beside it)")
    print(
        C.table(
            [
                "format",
                "image",
                "KiB",
                "save min (median)",
                "encode",
                "via file",
                "via pipe",
                "encode/save",
                "median",
                "goal",
                "spread",
            ],
            rows,
            aligns="llr" + "r" * 8,
        )
    )
    C.finish(args.json, env, results)


if __name__ == "__main__":
    main()
