"""Where the time goes: the pieces of each codec path, timed from Python.

    python -m benchmarks.breakdown [png-read|png-write|bmp-read|bmp-write|all]
                                   [--side N] [--mode RGB|RGBA] [--filter adaptive|f0..f4] [--repeat N]

Each whole operation is timed beside the host operations it is made of
(the ones it is defined to perform), on the same data, so the remainder
shows what our own code adds. Python-level stand-ins are marked "~": they
cost a little more than the same step done from C (a Python loop adds about
30-50 ns per iteration). Minimum of the repeats, as in the bench_* scripts.
"""

from __future__ import annotations

import argparse
import io
import os
import zlib

from benchmarks import _common as C


def show(title: str, res: dict, whole: str, parts: list, notes: dict | None = None) -> None:
    notes = notes or {}
    total = res[whole]["min"]
    rows = []
    for name in [whole] + parts:
        t = res[name]["min"]
        rows.append([name, C.fmt_time(t), f"{t / total * 100:.0f}%", f"{res[name]['spread']:.2f}", notes.get(name, "")])
    print(f"\n-- {title}")
    print(C.table(["piece", "time", "of whole", "spread", "note"], rows, "lrrrl"))


def png_read(args, SimpleImage, ext, Image) -> None:
    im = C.photo(args.side, args.side, args.mode)
    if args.filter == "adaptive":
        png = C.pillow_png(im)
    else:
        png = C.png_single_filter(im, int(args.filter[1]))
    chunks = C.png_chunks(png)
    idats = [p for t, p in chunks if t == b"IDAT"]
    joined = b"".join(idats)
    raw = zlib.decompress(joined)
    npix = args.side * args.side * 3
    read_chunk = ext._readChunk

    def all_chunks():
        s = io.BytesIO(png)
        s.read(8)
        while True:
            t, _ = read_chunk(s)
            if t in (b"", b"IEND"):
                break

    def crcs():
        for t, p in chunks:
            zlib.crc32(p, zlib.crc32(t))

    ba_raw = bytearray(raw)
    cands = {
        "SimpleImage.open(png)": lambda: SimpleImage.open(png),
        "zlib.decompress(idat)": lambda: zlib.decompress(joined),
        "~ _readChunk loop (reads+CRC)": all_chunks,
        "crc32 of every chunk": crcs,
        'b"".join(idat chunks)': lambda: b"".join(idats),
        "copy of raw stream": lambda: bytes(ba_raw),
        "bytearray(w*h*3) (zeroed)": lambda: bytearray(npix),
        "Pillow open+load": lambda: Image.open(io.BytesIO(png)).load(),
    }
    res = C.compare(cands, args.repeat, target=0.2)
    whole = res["SimpleImage.open(png)"]["min"]
    required_parts = sum(
        res[k]["min"] for k in ("~ _readChunk loop (reads+CRC)", 'b"".join(idat chunks)', "zlib.decompress(idat)")
    )
    show(
        f"PNG read, {args.mode} {args.side}x{args.side} {args.filter}: {len(png)} bytes, {len(idats)} IDAT chunks, raw {len(raw)} bytes",
        res,
        "SimpleImage.open(png)",
        [k for k in cands if k != "SimpleImage.open(png)"],
        {
            "zlib.decompress(idat)": "the floor",
            "~ _readChunk loop (reads+CRC)": "each chunk: 4 reads (data copied), 2 crc32, 2 struct.unpack",
            "copy of raw stream": "one memory pass over the decompressed size",
        },
    )
    print(
        f"whole - (chunk loop + join + inflate) = {C.fmt_time(whole - required_parts)}: "
        "row unfiltering, copy-out, pixel buffer, image object"
    )


def png_write(args, SimpleImage, ext, Image) -> None:
    side = args.side
    im = C.photo(side, side, "RGB")
    data = im.tobytes()
    img = SimpleImage(side, side, data)
    row = side * 3
    scan = b"".join(b"\x00" + data[y * row : (y + 1) * row] for y in range(side))
    comp = zlib.compress(scan)
    make_chunk = ext._makeChunk
    with C.scratch_dir() as tmp:
        p1, p2 = os.path.join(tmp, "a.png"), os.path.join(tmp, "b.png")
        img.save(p1)
        with open(p1, "rb") as f:
            whole_file = f.read()

        def write_file():
            with open(p2, "wb") as f:
                f.write(whole_file)

        ba_scan = bytearray(scan)
        cands = {
            "img.save(path)": lambda: img.save(p1),
            "zlib.compress(scanlines)": lambda: zlib.compress(scan),
            "copy of scanlines": lambda: bytes(ba_scan),
            "crc32(compressed)": lambda: zlib.crc32(comp),
            '_makeChunk(b"IDAT", compressed)': lambda: make_chunk(b"IDAT", comp),
            "write finished file (open/write/close)": write_file,
        }
        res = C.compare(cands, args.repeat, target=0.2)
    show(
        f"PNG write, RGB {side}x{side}: scanlines {len(scan)} bytes, compressed {len(comp)} bytes",
        res,
        "img.save(path)",
        [k for k in cands if k != "img.save(path)"],
        {
            "zlib.compress(scanlines)": "the floor",
            '_makeChunk(b"IDAT", compressed)': "crc32 + one copy of the compressed data",
        },
    )
    whole = res["img.save(path)"]["min"]
    print(f"whole - compress = {C.fmt_time(whole - res['zlib.compress(scanlines)']['min'])}")


def bmp_read(args, SimpleImage, ext, Image) -> None:
    side = args.side
    im = C.photo(side, side, "RGB")
    bmp = C.pillow_bytes(im, "BMP")
    n = side * side * 3
    stride = (side * 3 + 3) // 4 * 4
    ba = bytearray(n)

    def rows():
        s = io.BytesIO(bmp)
        s.seek(54)
        r = s.read
        for _ in range(side):
            r(stride)

    cands = {
        "SimpleImage.open(bmp)": lambda: SimpleImage.open(bmp),
        "copy (bytes(bytearray(n)))": lambda: bytes(ba),
        "~ BytesIO + one read() per row": rows,
        "BytesIO(bmp).read() whole": lambda: io.BytesIO(bmp).read(),
        "Pillow open+load": lambda: Image.open(io.BytesIO(bmp)).load(),
    }
    res = C.compare(cands, args.repeat, target=0.2)
    show(
        f"BMP read, {side}x{side}: {len(bmp)} bytes, {side} rows of {stride} bytes",
        res,
        "SimpleImage.open(bmp)",
        [k for k in cands if k != "SimpleImage.open(bmp)"],
        {"~ BytesIO + one read() per row": "each read() allocates a bytes object and copies the row"},
    )


def bmp_write(args, SimpleImage, ext, Image) -> None:
    side = args.side
    im = C.photo(side, side, "RGB")
    data = im.tobytes()
    img = SimpleImage(side, side, data)
    ba = bytearray(data)
    with C.scratch_dir() as tmp:
        p1, p2, p3 = (os.path.join(tmp, f"{k}.bmp") for k in "abc")
        img.saveBmp(p1)
        with open(p1, "rb") as f:
            whole_file = f.read()
        mv = memoryview(whole_file)

        def write_once():
            with open(p2, "wb") as f:
                f.write(whole_file)

        def write_1mib():
            with open(p3, "wb") as f:
                for i in range(0, len(mv), 1 << 20):
                    f.write(mv[i : i + (1 << 20)])

        def open_close():
            with open(p3, "wb"):
                pass

        cands = {
            "img.saveBmp(path)": lambda: img.saveBmp(p1),
            "copy (bytes(bytearray(n)))": lambda: bytes(ba),
            "write file, one write": write_once,
            "write file, 1 MiB writes": write_1mib,
            "open/close only (truncate)": open_close,
            "Pillow save BMP": lambda: im.save(p2, "BMP"),
        }
        res = C.compare(cands, args.repeat, target=0.2)
    show(
        f"BMP write, {side}x{side}: {len(whole_file)} bytes",
        res,
        "img.saveBmp(path)",
        [k for k in cands if k != "img.saveBmp(path)"],
    )


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("what", nargs="?", default="all", choices=["png-read", "png-write", "bmp-read", "bmp-write", "all"])
    ap.add_argument("--side", type=int, default=1024)
    ap.add_argument("--mode", default="RGB", choices=["RGB", "RGBA"])
    ap.add_argument("--filter", default="adaptive", choices=["adaptive", "f0", "f1", "f2", "f3", "f4"])
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--wait-idle", type=float, default=0, metavar="SECONDS")
    args = ap.parse_args()
    SimpleImage, ext = C.import_ours()
    _, Image = C.import_pillow()
    C.header("breakdown", ext, wait=args.wait_idle)
    todo = ["png-read", "png-write", "bmp-read", "bmp-write"] if args.what == "all" else [args.what]
    for what in todo:
        {"png-read": png_read, "png-write": png_write, "bmp-read": bmp_read, "bmp-write": bmp_write}[what](
            args, SimpleImage, ext, Image
        )
    print(f"\nload average at end: {C.loadavg()}")


if __name__ == "__main__":
    main()
