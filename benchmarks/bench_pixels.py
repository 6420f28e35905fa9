"""Per-call cost of getPixel / putPixel against Pillow's pixel access.

    python -m benchmarks.bench_pixels [--quick] [--repeat N] [--json PATH]

Candidates, each called in the form a user writes it:
  ours      img.getPixel(c)        img.putPixel(c, v)
  Pillow    im.getpixel(c)         im.putpixel(c, v)
  Pillow    pa[c]                  pa[c] = v          (pa = im.load())

Two loops over every coordinate of a W x H RGB image:
  prebuilt  `for c in coords: ...`       (coords: a list of (x, y) tuples)
  built     `for y in ys: for x in xs: ...((x, y))`  (the tuple built per call)
Times are per call (loop time / W*H), the minimum over the repeats. The same
loop with no call in it is timed too ("loop only"); "net" subtracts it.

Goal: each of ours faster per call than the fastest Pillow access, i.e.
ours / fastest-Pillow < 1.
"""

from __future__ import annotations

from benchmarks import _common as C

VALUE = (12, 34, 56)


# The loops. Each is a plain function so that locals are fast locals.


def loop_only_pre(coords):
    for c in coords:
        c  # noqa: B018


def loop_only_built(xs, ys):
    for y in ys:
        for x in xs:
            (x, y)  # noqa: B018


def ours_get_pre(img, coords):
    for c in coords:
        img.getPixel(c)


def ours_get_built(img, xs, ys):
    for y in ys:
        for x in xs:
            img.getPixel((x, y))


def ours_put_pre(img, coords, v):
    for c in coords:
        img.putPixel(c, v)


def ours_put_built(img, xs, ys, v):
    for y in ys:
        for x in xs:
            img.putPixel((x, y), v)


def pil_get_pre(im, coords):
    for c in coords:
        im.getpixel(c)


def pil_get_built(im, xs, ys):
    for y in ys:
        for x in xs:
            im.getpixel((x, y))


def pil_put_pre(im, coords, v):
    for c in coords:
        im.putpixel(c, v)


def pil_put_built(im, xs, ys, v):
    for y in ys:
        for x in xs:
            im.putpixel((x, y), v)


def pa_get_pre(pa, coords):
    for c in coords:
        pa[c]  # noqa: B018


def pa_get_built(pa, xs, ys):
    for y in ys:
        for x in xs:
            pa[x, y]  # noqa: B018


def pa_put_pre(pa, coords, v):
    for c in coords:
        pa[c] = v


def pa_put_built(pa, xs, ys, v):
    for y in ys:
        for x in xs:
            pa[x, y] = v


def main() -> None:
    ap = C.common_args(__doc__.splitlines()[0])
    ap.add_argument("--size", type=int, default=None, help="image side (default 512, --quick 256)")
    args = ap.parse_args()
    SimpleImage, ext = C.import_ours()
    _, Image = C.import_pillow()
    env = C.header("bench_pixels: getPixel / putPixel per call", ext, zlib_line=False, wait=args.wait_idle)

    side = args.size or (256 if args.quick else 512)
    rep = C.repeats(args, full=9, quick=3)
    target = 0.02 if args.quick else 0.05
    im = C.photo(side, side, "RGB")
    data = im.tobytes()
    img = SimpleImage(side, side, data)
    pa = im.load()
    xs, ys = range(side), range(side)
    coords = [(x, y) for y in ys for x in xs]
    n = len(coords)
    print(f"image {side}x{side} RGB, {n} calls per loop, {rep} repeats")

    # Sanity: the same pixels through every reader.
    for c in coords[:: max(1, n // 997)]:
        assert img.getPixel(c) == im.getpixel(c) == pa[c], c

    # Writers get their own images so the readers' data stays fixed.
    img_w = SimpleImage(side, side, data)
    im_w1 = im.copy()
    im_w2 = im.copy()
    pa_w = im_w2.load()

    per = {}
    cands = {
        "loop only / prebuilt": lambda: loop_only_pre(coords),
        "loop only / built": lambda: loop_only_built(xs, ys),
        "get ours / prebuilt": lambda: ours_get_pre(img, coords),
        "get ours / built": lambda: ours_get_built(img, xs, ys),
        "get Pillow getpixel / prebuilt": lambda: pil_get_pre(im, coords),
        "get Pillow getpixel / built": lambda: pil_get_built(im, xs, ys),
        "get Pillow load()[x,y] / prebuilt": lambda: pa_get_pre(pa, coords),
        "get Pillow load()[x,y] / built": lambda: pa_get_built(pa, xs, ys),
        "put ours / prebuilt": lambda: ours_put_pre(img_w, coords, VALUE),
        "put ours / built": lambda: ours_put_built(img_w, xs, ys, VALUE),
        "put Pillow putpixel / prebuilt": lambda: pil_put_pre(im_w1, coords, VALUE),
        "put Pillow putpixel / built": lambda: pil_put_built(im_w1, xs, ys, VALUE),
        "put Pillow load()[x,y]= / prebuilt": lambda: pa_put_pre(pa_w, coords, VALUE),
        "put Pillow load()[x,y]= / built": lambda: pa_put_built(pa_w, xs, ys, VALUE),
    }
    per = {name: n for name in cands}
    res = C.compare(cands, rep, target=target, per=per)

    assert img_w.getPixel((side - 1, side - 1)) == VALUE
    assert pa_w[side - 1, side - 1] == VALUE

    rows = []
    summary = []
    for variant in ("prebuilt", "built"):
        loop = res[f"loop only / {variant}"]["min"]
        rows.append(
            [f"loop only / {variant}", C.fmt_time(loop), "", f"{res[f'loop only / {variant}']['spread']:.2f}", "", ""]
        )
        for op in ("get", "put"):
            ours_name = f"{op} ours / {variant}"
            peers = [k for k in res if k.startswith(f"{op} Pillow") and k.endswith(f"/ {variant}")]
            best = min(peers, key=lambda k: res[k]["min"])
            ours = res[ours_name]["min"]
            for name in [ours_name] + peers:
                t = res[name]["min"]
                rows.append(
                    [
                        name,
                        C.fmt_time(t),
                        C.fmt_time(max(0.0, t - loop)),
                        f"{res[name]['spread']:.2f}",
                        "" if name == ours_name else C.fmt_ratio(ours / t),
                        "" if name == ours_name else C.fmt_ratio((ours - loop) / max(1e-12, t - loop)),
                    ]
                )
            ratio = ours / res[best]["min"]
            net = (ours - loop) / max(1e-12, res[best]["min"] - loop)
            summary.append(
                {
                    "op": op,
                    "variant": variant,
                    "ours_s": ours,
                    "fastest_pillow": best,
                    "pillow_s": res[best]["min"],
                    "loop_s": loop,
                    "ratio": ratio,
                    "ratio_net": net,
                    "goal": "ours / fastest Pillow < 1",
                    "met": ratio < 1.0,
                }
            )
    print()
    print(C.table(["candidate", "per call", "net of loop", "spread", "ours/this", "ours/this net"], rows))
    print()
    srows = [
        [
            f"{s['op']}Pixel / {s['variant']}",
            C.fmt_time(s["ours_s"]),
            s["fastest_pillow"].split(" / ")[0].replace(s["op"] + " ", ""),
            C.fmt_time(s["pillow_s"]),
            C.fmt_ratio(s["ratio"]),
            C.fmt_ratio(s["ratio_net"]),
            "< 1.00x",
            C.verdict(s["met"]),
        ]
        for s in summary
    ]
    print("Goal: ours faster per call than the fastest Pillow access")
    print(C.table(["op / loop", "ours", "fastest Pillow", "Pillow", "ratio", "net ratio", "goal", ""], srows))
    bad = C.noisy(res)
    if bad:
        print(f"warning: noisy (median > 1.25 x min): {', '.join(bad)}")
    print(f"load average at end: {C.loadavg()}")
    C.write_json(args.json, {"env": env, "side": side, "results": res, "summary": summary})


if __name__ == "__main__":
    main()
