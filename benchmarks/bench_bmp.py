"""BMP read and write against Pillow and against one bytes copy.

    python -m benchmarks.bench_bmp [--quick] [--repeat N] [--sizes 256,1024] [--json PATH]

Photo-like RGB images (see _common.photo), square, of 256, 1024, 1021 (rows
need 1 pad byte) and 4096 pixels a side (--quick: 256 and 1021). The BMP
files are written by Pillow (24-bit, BITMAPINFOHEADER, bottom-up).

Read, timed side by side:
  ours    SimpleImage.open(bmp_bytes)
  Pillow  Image.open(BytesIO(bmp_bytes)).load()
  copy    bytes(ba), ba a bytearray of width x height x 3 bytes (the pixel
          buffer's size): one allocation and one memcpy of the output size
Read file: the same from a path (the file in /dev/shm when there is one):
  ours    SimpleImage.open(path)
  Pillow  Image.open(path).load()
  copy    as above
Write (to a temporary directory in /dev/shm when there is one):
  ours    img.saveBmp(path)
  Pillow  im.save(path, "BMP")
  copy    as above
  (file)  open(path, "wb").write(bmp_bytes): writing the finished file, for
          reference only; Pillow/file is about the most Pillow/ours can be for any
          writer that costs at least this much
Figures are the minimum per operation over the repeats.

Goals: ours at least 2x faster than Pillow (Pillow / ours >= 2), and within
3x of the copy (ours / copy <= 3), for read and for write.
"""

from __future__ import annotations

import io
import os
import time

from benchmarks import _common as C


def write_file(path: str, data: bytes) -> None:
    with open(path, "wb") as f:
        f.write(data)


def read_with_pillow(Image, path: str) -> None:
    with Image.open(path) as im:
        im.load()


def main() -> None:
    ap = C.common_args(__doc__.splitlines()[0])
    ap.add_argument(
        "--sizes", default=None, help="comma-separated sides (default 256,1021,1024,4096; --quick 256,1021)"
    )
    args = ap.parse_args()
    SimpleImage, ext = C.import_ours()
    _, Image = C.import_pillow()
    env = C.header("bench_bmp: BMP read and write", ext, zlib_line=False, wait=args.wait_idle)

    sides = [int(s) for s in (args.sizes or ("256,1021" if args.quick else "256,1021,1024,4096")).split(",")]
    rep = C.repeats(args, full=7, quick=3)
    target = 0.05 if args.quick else 0.2

    rows, results = [], []
    with C.scratch_dir() as tmp:
        print(f"files written under {tmp}")
        for side in sides:
            t0 = time.perf_counter()
            im = C.photo(side, side, "RGB")
            data = im.tobytes()
            bmp = C.pillow_bytes(im, "BMP")
            img = SimpleImage(side, side, data)
            n = len(data)
            ba = bytearray(data)
            p_ours = os.path.join(tmp, f"ours{side}.bmp")
            p_pil = os.path.join(tmp, f"pil{side}.bmp")
            p_raw = os.path.join(tmp, f"raw{side}.bmp")
            p_in = os.path.join(tmp, f"in{side}.bmp")
            write_file(p_in, bmp)
            print(f"[{side}x{side} made in {time.perf_counter() - t0:.1f} s, BMP {len(bmp)} bytes]", flush=True)

            # Checks: ours reads Pillow's file, and writes the same bytes.
            back = SimpleImage.open(bmp)
            assert back.size == (side, side) and bytes(back._pixels) == data
            img.saveBmp(p_ours)
            with open(p_ours, "rb") as f:
                mine = f.read()
            assert mine[54:] == bmp[54:] and len(mine) == len(bmp), "pixel rows differ from Pillow's"

            for op, cands in (
                (
                    "read",
                    {
                        "ours": lambda: SimpleImage.open(bmp),
                        "Pillow": lambda: Image.open(io.BytesIO(bmp)).load(),
                        "copy": lambda: bytes(ba),
                    },
                ),
                (
                    "read file",
                    {
                        "ours": lambda: SimpleImage.open(p_in),
                        "Pillow": lambda: read_with_pillow(Image, p_in),
                        "copy": lambda: bytes(ba),
                    },
                ),
                (
                    "write",
                    {
                        "ours": lambda: img.saveBmp(p_ours),
                        "Pillow": lambda: im.save(p_pil, "BMP"),
                        "copy": lambda: bytes(ba),
                        "file": lambda: write_file(p_raw, bmp),
                    },
                ),
            ):
                res = C.compare(cands, rep, target=target)
                ours, pil_t, copy = (res[k]["min"] for k in ("ours", "Pillow", "copy"))
                spread = max(r["spread"] for r in res.values())
                speedup = pil_t / ours
                over_copy = ours / copy
                rec = {
                    "op": op,
                    "side": side,
                    "bytes": n,
                    "ours_s": ours,
                    "pillow_s": pil_t,
                    "copy_s": copy,
                    "file_write_s": res["file"]["min"] if "file" in res else None,
                    # The most Pillow/ours can be when ours costs at least
                    # writing the finished file: Pillow / file write.
                    "pillow_over_file": pil_t / res["file"]["min"] if "file" in res else None,
                    "pillow_over_ours": speedup,
                    "ours_over_copy": over_copy,
                    "spread": spread,
                    "met_pillow": speedup >= 2.0,
                    "met_copy": over_copy <= 3.0,
                }
                results.append(rec)
                rows.append(
                    [
                        op,
                        f"{side}x{side}",
                        f"{n / 1024:.0f}",
                        C.fmt_time(ours),
                        C.fmt_time(pil_t),
                        C.fmt_time(copy),
                        C.fmt_time(res["file"]["min"]) if "file" in res else "",
                        C.fmt_ratio(rec["pillow_over_file"]) if "file" in res else "",
                        C.fmt_ratio(speedup),
                        C.verdict(rec["met_pillow"]),
                        C.fmt_ratio(over_copy),
                        C.verdict(rec["met_copy"]),
                        f"{spread:.2f}",
                    ]
                )
                print("  " + "  ".join(str(c) for c in rows[-1]), flush=True)
    print()
    print("Goals: Pillow/ours >= 2.00x (ours at least twice as fast); ours/copy <= 3.00x")
    print("(write: 'file write' writes the finished BMP bytes in one call; Pillow/file is")
    print(" about the best Pillow/ours any writer can reach, since it must write those bytes too)")
    print(
        C.table(
            [
                "op",
                "image",
                "KiB",
                "ours",
                "Pillow",
                "copy",
                "file write",
                "Pillow/file",
                "Pillow/ours",
                ">=2x",
                "ours/copy",
                "<=3x",
                "spread",
            ],
            rows,
            "llrrrrrrrlrlr",
        )
    )
    C.finish(args.json, env, results)


if __name__ == "__main__":
    main()
