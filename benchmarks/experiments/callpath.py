"""Build experiments/callpath.c and time its getPixel variants beside ours and Pillow's.

    python -m benchmarks.experiments.callpath [--repeat N] [--callgrind]

Needs a C compiler (cc) and the interpreter's headers. The module is built in
a temporary directory. With --callgrind, each variant also runs once under
valgrind --tool=callgrind and the instructions per call (minus the bare
loop) are printed: a count that does not depend on the machine's load.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

from benchmarks import _common as C

HERE = Path(__file__).resolve().parent

SIDE = 256

LOOPS = {
    "loop only": "for c in coords: c",
    "METH_O descriptor": "for c in coords: e.get_o(c)",
    "METH_O descriptor + int table": "for c in coords: e.get_o_table(c)",
    "FASTCALL|KEYWORDS descriptor": "for c in coords: e.get_fastkw(c)",
    "custom vectorcall type (as ours)": "for c in coords: e.get_custom(c)",
    "custom type + int table": "for c in coords: e.get_custom_table(c)",
    "ours img.getPixel(c)": "for c in coords: ours.getPixel(c)",
    "Pillow pa[c]": "for c in coords: pa[c]",
}

SETUP = f"""
import sys
sys.path.insert(0, {{build!r}})
import callpath
from Morvane.simpleImage_ext import SimpleImage
from PIL import Image
W = {SIDE}
data = bytes(range(256)) * (W * W * 3 // 256)
e = callpath.Img(W, W, bytearray(data))
ours = SimpleImage(W, W, data)
im = Image.frombytes("RGB", (W, W), data)
pa = im.load()
coords = [(x, y) for y in range(W) for x in range(W)]
assert e.get_o((3, 4)) == e.get_custom((3, 4)) == ours.getPixel((3, 4)) == pa[3, 4]
"""


def build(tmp: str) -> None:
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    inc = sysconfig.get_paths()["include"]
    out = os.path.join(tmp, "callpath" + suffix)
    subprocess.run(["cc", "-O3", "-shared", "-fPIC", f"-I{inc}", str(HERE / "callpath.c"), "-o", out], check=True)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=9)
    ap.add_argument("--callgrind", action="store_true")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        build(tmp)
        ns: dict = {}
        exec(SETUP.format(build=tmp), ns)
        fns = {}
        for name, body in LOOPS.items():
            exec(f"def _f():\n    {body}\n", ns)
            fns[name] = ns["_f"]
        n = len(ns["coords"])
        res = C.compare(fns, args.repeat, target=0.05, per={k: n for k in fns})
        instr = {}
        if args.callgrind and shutil.which("valgrind"):
            for name, body in LOOPS.items():
                script = os.path.join(tmp, "cg.py")
                Path(script).write_text(SETUP.format(build=tmp) + f"def _f():\n    {body}\n_f()\n")
                p = subprocess.run(
                    ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, script],
                    capture_output=True,
                    text=True,
                )
                tot = [line for line in p.stderr.splitlines() if "Collected" in line]
                instr[name] = int(tot[-1].split()[-1]) if tot else None
    base = instr.get("loop only")
    rows = []
    for name in LOOPS:
        r = res[name]
        extra = ""
        if instr.get(name) and base:
            extra = f"{(instr[name] - base) / n:.0f}"
        rows.append([name, C.fmt_time(r["min"]), f"{r['spread']:.2f}", extra])
    print(f"getPixel on a {SIDE}x{SIDE} image, {n} calls per loop, min of {args.repeat}; load {C.loadavg()}")
    print(C.table(["variant", "per call", "spread", "instr/call (callgrind)"], rows))


if __name__ == "__main__":
    main()
