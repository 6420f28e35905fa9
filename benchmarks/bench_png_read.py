"""PNG decode: SimpleImage.open(png_bytes) against zlib.decompress and Pillow.

    python -m benchmarks.bench_png_read [--quick] [--repeat N] [--sizes 256,1024] [--json PATH]

Test files (all made in memory, deterministic, no downloads): photo-like RGB
and RGBA images (smooth gradients, hard-edged shapes, +-6 noise) of 256x256,
1024x1024 and 4096x4096 (--quick: 256 and 1024), each encoded as
  adaptive    Pillow's own PNG save (it picks a filter per row; 64 KiB IDATs)
  adaptive/1  the same IDAT data in one IDAT chunk
  adaptive/8k the same IDAT data in 8 KiB IDAT chunks (libpng's default size)
  f0 .. f4    every row with the one filter None/Sub/Up/Average/Paeth
              (Pillow cannot do this, so filtered here, zlib level 6, 64 KiB IDATs)

Per file, timed side by side:
  ours    SimpleImage.open(png_bytes)                   (whole decode)
  zlib    zlib.decompress(idat)  on the concatenated IDAT data (the floor)
  Pillow  Image.open(BytesIO(png_bytes)).load()
Figures are the minimum per decode over the repeats.

Goals: ours at most 0.8x Pillow's time (ours / Pillow <= 0.8) and at most
0.85x the host's zlib.decompress of the same data (ours / zlib <= 0.85), for
every file. The floor is Python's zlib module (the system zlib); ours
inflates with zlib-ng (as Pillow does: both builds are printed in the
header), falling back on Python's zlib where zlib-ng is not installed.
"""

from __future__ import annotations

import io
import time
import zlib

from benchmarks import _common as C

FILTER_NAMES = ["None", "Sub", "Up", "Average", "Paeth"]
GOAL_ZLIB = 0.85
GOAL_PILLOW = 0.8


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
    return im, files


def main() -> None:
    ap = C.common_args(__doc__.splitlines()[0])
    ap.add_argument("--sizes", default=None, help="comma-separated sides (default 256,1024,4096; --quick 256,1024)")
    ap.add_argument("--modes", default="RGB,RGBA", help="comma-separated modes (default RGB,RGBA)")
    args = ap.parse_args()
    SimpleImage, ext = C.import_ours()
    _, Image = C.import_pillow()
    env = C.header("bench_png_read: PNG decode", ext, wait=args.wait_idle)

    sides = [int(s) for s in (args.sizes or ("256,1024" if args.quick else "256,1024,4096")).split(",")]
    modes = args.modes.split(",")
    rep = C.repeats(args, full=5, quick=3)
    print(f"clock: {args.clock}")
    target = 0.05 if args.quick else 0.2

    rows, results = [], []
    for mode in modes:
        for side in sides:
            t0 = time.perf_counter()
            im, files = make_files(mode, side)
            rgb = im.convert("RGB").tobytes() if mode != "RGB" else im.tobytes()
            print(f"[{mode} {side}x{side}: {len(files)} files made in {time.perf_counter() - t0:.1f} s]", flush=True)
            for variant, png in files:
                idat = C.idat_data(png)
                nchunks = sum(1 for t, _ in C.png_chunks(png) if t == b"IDAT")
                # Check every decoder agrees before timing.
                ours_img = SimpleImage.open(png)
                assert ours_img.size == (side, side)
                assert bytes(ours_img._pixels) == rgb, (mode, side, variant)
                pil = Image.open(io.BytesIO(png))
                pil.load()
                assert pil.tobytes() == im.tobytes(), (mode, side, variant)
                del ours_img, pil
                cands = {
                    "ours": lambda png=png: SimpleImage.open(png),
                    "zlib": lambda idat=idat: zlib.decompress(idat),
                    "Pillow": lambda png=png: Image.open(io.BytesIO(png)).load(),
                }
                res = C.compare(cands, rep, target=target)
                ours, floor, pil_t = (res[k]["min"] for k in ("ours", "zlib", "Pillow"))
                ratio = ours / floor
                spread = max(r["spread"] for r in res.values())
                rec = {
                    "clock": args.clock,
                    "mode": mode,
                    "side": side,
                    "variant": variant,
                    "png_bytes": len(png),
                    "idat_chunks": nchunks,
                    "raw_bytes": side * (side * len(mode) + 1),
                    "ours_s": ours,
                    "zlib_s": floor,
                    "pillow_s": pil_t,
                    "ours_over_zlib": ratio,
                    "ours_over_pillow": ours / pil_t,
                    "spread": spread,
                    "met_zlib": ratio <= GOAL_ZLIB,
                    "met_pillow": ours / pil_t <= GOAL_PILLOW,
                }
                rec["met"] = rec["met_zlib"] and rec["met_pillow"]
                results.append(rec)
                row = [
                    mode,
                    side,
                    variant,
                    f"{len(png) / 1024:.0f}",
                    nchunks,
                    C.fmt_time(ours),
                    C.fmt_time(floor),
                    C.fmt_time(pil_t),
                    C.fmt_ratio(ratio),
                    C.fmt_ratio(ours / pil_t),
                    f"{spread:.2f}",
                    C.verdict(rec["met_zlib"]),
                    C.verdict(rec["met_pillow"]),
                ]
                rows.append(row)
                print("  " + "  ".join(str(c) for c in row), flush=True)
    print()
    print(f"Goals: ours / zlib.decompress <= {GOAL_ZLIB:.2f}x, ours / Pillow <= {GOAL_PILLOW:.2f}x")
    print(
        C.table(
            [
                "mode",
                "side",
                "file",
                "KiB",
                "IDATs",
                "ours",
                "zlib",
                "Pillow",
                "ours/zlib",
                "ours/Pillow",
                "spread",
                f"<= {GOAL_ZLIB} zlib",
                f"<= {GOAL_PILLOW} Pillow",
            ],
            rows,
            "lrlrrrrrrrrll",
        )
    )
    for key, what in (
        ("met_zlib", f"within {GOAL_ZLIB}x of zlib.decompress"),
        ("met_pillow", f"within {GOAL_PILLOW}x of Pillow"),
    ):
        print(f"{sum(r[key] for r in results)} of {len(results)} files {what}")
    for key in ("ours_over_zlib", "ours_over_pillow"):
        worst = max(results, key=lambda r: r[key])
        print(f"worst {key}: {worst['mode']} {worst['side']} {worst['variant']}: {worst[key]:.2f}x")
    C.finish(args.json, env, results)


if __name__ == "__main__":
    main()
