"""The command line's info (the size from the headers) against Pillow's lazy open.

    python -m benchmarks.bench_info [--quick] [--repeat N] [--files 100] [--side 1024] [--json PATH]

A photo-like RGB image (see _common.photo) of SIDE x SIDE pixels, written by
Pillow as PNG (its adaptive filters, 64 KiB IDAT chunks) to FILES files in a
temporary directory (in /dev/shm when there is one). Timed side by side, per
run over all the files:

In one process:
  ours     Morvane._header.read_header(path).width, .height   (what info does)
  Pillow   PIL.Image.open(path).size                           (lazy: reads the header only)
  decode   SimpleImage.open(path)                              (what info --verify does; the
                                                                old info)
The whole command, a fresh interpreter each run:
  ours     python -m Morvane info FILE...
  Pillow   python -c "<print each path and Image.open(path).size>" FILE...
  decode   python -m Morvane info --verify FILE...

Figures are the minimum over the repeats (round-robin). Goal: ours within 3x
of Pillow (ours / Pillow <= 3), in one process and as a whole command.
"""

from __future__ import annotations

import os
import subprocess
import sys
import time

from benchmarks import _common as C

PILLOW_COMMAND = "import sys\nfrom PIL import Image\nfor p in sys.argv[1:]:\n    print(f'{p}: {Image.open(p).size}')"


def run_commands(commands: dict, repeat: int) -> dict:
    """Wall time of each command (a list of arguments), the repeats round-robin."""
    samples: dict = {name: [] for name in commands}
    for _ in range(repeat):
        for name, command in commands.items():
            t0 = time.perf_counter()
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
            samples[name].append(time.perf_counter() - t0)
    return {
        name: {"min": min(s), "median": sorted(s)[len(s) // 2], "spread": sorted(s)[len(s) // 2] / min(s)}
        for name, s in samples.items()
    }


def main() -> None:
    ap = C.common_args(__doc__.splitlines()[0])
    ap.add_argument("--files", type=int, default=100, help="how many files (default 100)")
    ap.add_argument("--side", type=int, default=1024, help="their width and height (default 1024)")
    args = ap.parse_args()
    SimpleImage, ext = C.import_ours()
    from Morvane._header import read_header  # noqa: PLC0415

    _, Image = C.import_pillow()
    env = C.header("bench_info: info from the headers", ext, zlib_line=False, wait=args.wait_idle)
    rep = C.repeats(args, full=7, quick=3)
    target = 0.05 if args.quick else 0.2

    with C.scratch_dir() as tmp:
        data = C.pillow_png(C.photo(args.side, args.side, "RGB"))
        paths = [os.path.join(tmp, f"photo{i:03}.png") for i in range(args.files)]
        for path in paths:
            with open(path, "wb") as f:
                f.write(data)
        print(f"{args.files} files of {args.side}x{args.side}, PNG {len(data)} bytes each, under {tmp}")

        # Checks: the same sizes everywhere, and the command prints them.
        assert all(tuple(read_header(p)[1:3]) == Image.open(p).size == (args.side, args.side) for p in paths)
        info = subprocess.run([sys.executable, "-m", "Morvane", "info", *paths], capture_output=True, text=True)
        assert info.stdout.splitlines() == [f"{p}: PNG {args.side}x{args.side}" for p in paths], info

        def ours() -> list:
            return [read_header(p)[1:3] for p in paths]

        def pillow() -> list:
            return [Image.open(p).size for p in paths]

        def decode() -> None:
            for p in paths:
                SimpleImage.open(p)

        in_process = C.compare({"ours": ours, "Pillow": pillow, "decode": decode}, rep, target=target)
        commands = run_commands(
            {
                "ours": [sys.executable, "-m", "Morvane", "info", *paths],
                "Pillow": [sys.executable, "-c", PILLOW_COMMAND, *paths],
                "decode": [sys.executable, "-m", "Morvane", "info", "--verify", *paths],
            },
            rep,
        )

    rows, results = [], []
    for where, res in (("in one process", in_process), ("whole command", commands)):
        ours_t, pil_t, dec_t = (res[k]["min"] for k in ("ours", "Pillow", "decode"))
        spread = max(r["spread"] for r in res.values())
        rec = {
            "where": where,
            "files": args.files,
            "side": args.side,
            "ours_s": ours_t,
            "pillow_s": pil_t,
            "decode_s": dec_t,
            "ours_over_pillow": ours_t / pil_t,
            "spread": spread,
            "met": ours_t / pil_t <= 3.0,
        }
        results.append(rec)
        rows.append(
            [
                where,
                C.fmt_time(ours_t),
                C.fmt_time(pil_t),
                C.fmt_time(dec_t),
                C.fmt_ratio(rec["ours_over_pillow"]),
                C.verdict(rec["met"]),
                f"{spread:.2f}",
            ]
        )
    print()
    print(f"Times for all {args.files} files. Goal: ours/Pillow <= 3.00x")
    print(C.table(["", "ours", "Pillow", "decode", "ours/Pillow", "<=3x", "spread"], rows, "lrrrrlr"))
    C.finish(args.json, env, results)


if __name__ == "__main__":
    main()
