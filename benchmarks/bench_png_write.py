"""PNG encode: image.save(path) against zlib.compress of the scanlines and Pillow.

    python -m benchmarks.bench_png_write [--quick] [--repeat N] [--sizes 256,1024] [--json PATH]

Photo-like RGB images (see _common.photo) of 256x256, 1024x1024 and
4096x4096 (--quick: 256 and 1024). Timed side by side:
  ours    img.save(path)                        (whole encode + file write)
  floor   zlib.compress(scanlines)              scanlines: height x (1 + 3 x width)
                                                bytes, filter byte 0 per row, prebuilt
  Pillow  im.save(path, "PNG")                  (adaptive filters, its own zlib)
Files go to a temporary directory in /dev/shm when there is one. The figures
are the minimum per save; file sizes are printed beside them ("floor" size =
len(zlib.compress(scanlines)) + 57, the PNG ours should write).

Goal: ours within 1.1x of the floor (ours / floor <= 1.1).
"""

from __future__ import annotations

import os
import time
import zlib

from benchmarks import _common as C


def main() -> None:
    ap = C.common_args(__doc__.splitlines()[0])
    ap.add_argument("--sizes", default=None, help="comma-separated sides (default 256,1024,4096; --quick 256,1024)")
    args = ap.parse_args()
    SimpleImage, ext = C.import_ours()
    _, Image = C.import_pillow()
    env = C.header("bench_png_write: PNG encode", ext, wait=args.wait_idle)

    sides = [int(s) for s in (args.sizes or ("256,1024" if args.quick else "256,1024,4096")).split(",")]
    rep = C.repeats(args, full=5, quick=3)
    target = 0.05 if args.quick else 0.2

    rows, results = [], []
    with C.scratch_dir() as tmp:
        print(f"files written under {tmp}")
        for side in sides:
            t0 = time.perf_counter()
            im = C.photo(side, side, "RGB")
            data = im.tobytes()
            img = SimpleImage(side, side, data)
            row = side * 3
            scan = b"".join(b"\x00" + data[y * row : (y + 1) * row] for y in range(side))
            assert len(scan) == side * (1 + 3 * side)
            p_ours = os.path.join(tmp, f"ours{side}.png")
            p_pil = os.path.join(tmp, f"pil{side}.png")
            print(f"[{side}x{side} made in {time.perf_counter() - t0:.1f} s]", flush=True)

            # Check: ours writes exactly the floor's stream, and reads back.
            img.save(p_ours)
            floor_z = zlib.compress(scan)
            with open(p_ours, "rb") as f:
                written = f.read()
            assert C.idat_data(written) == floor_z, "ours did not write zlib.compress(scanlines)"
            back = Image.open(p_ours)
            back.load()
            assert back.tobytes() == data

            cands = {
                "ours": lambda: img.save(p_ours),
                "floor": lambda: zlib.compress(scan),
                "Pillow": lambda: im.save(p_pil, "PNG"),
            }
            res = C.compare(cands, rep, target=target)
            ours, floor, pil_t = (res[k]["min"] for k in ("ours", "floor", "Pillow"))
            ratio = ours / floor
            spread = max(r["spread"] for r in res.values())
            size_ours = os.path.getsize(p_ours)
            size_pil = os.path.getsize(p_pil)
            rec = {
                "side": side,
                "raw_bytes": len(scan),
                "ours_s": ours,
                "floor_s": floor,
                "pillow_s": pil_t,
                "ours_over_floor": ratio,
                "ours_over_pillow": ours / pil_t,
                "size_ours": size_ours,
                "size_floor": len(floor_z) + 57,
                "size_pillow": size_pil,
                "spread": spread,
                "met": ratio <= 1.1,
            }
            results.append(rec)
            rows.append(
                [
                    f"{side}x{side}",
                    f"{len(scan) / 1024:.0f}",
                    C.fmt_time(ours),
                    C.fmt_time(floor),
                    C.fmt_time(pil_t),
                    C.fmt_ratio(ratio),
                    C.fmt_ratio(ours / pil_t),
                    f"{size_ours / 1024:.0f}",
                    f"{(len(floor_z) + 57) / 1024:.0f}",
                    f"{size_pil / 1024:.0f}",
                    f"{spread:.2f}",
                    C.verdict(rec["met"]),
                ]
            )
            print("  " + "  ".join(str(c) for c in rows[-1]), flush=True)
    print()
    print("Goal: ours / floor (zlib.compress of the scanlines) <= 1.10x; sizes in KiB")
    print(
        C.table(
            [
                "image",
                "raw KiB",
                "ours",
                "floor",
                "Pillow",
                "ours/floor",
                "ours/Pillow",
                "ours KiB",
                "floor KiB",
                "Pillow KiB",
                "spread",
                "goal 1.1x",
            ],
            rows,
        )
    )
    C.finish(args.json, env, results)


if __name__ == "__main__":
    main()
