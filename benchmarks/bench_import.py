"""Import time: what `import Morvane.simpleImage_ext` costs a fresh process,
as the interpreter's own -X importtime reports it.

    python -m benchmarks.bench_import [--quick] [--repeat N] [--json PATH]

Each run is a fresh interpreter: `python -X importtime -c "import
Morvane.simpleImage_ext"`, in two settings, alternating run by run:
  zlib-ng       as installed: the module's initialisation imports zlib-ng's
                module and checks it (the distribution's record, the file's
                hash, the known answers)
  no zlib-ng    a meta_path finder refuses zlib_ng, so the initialisation
                finds no zlib-ng and checks nothing
Figures (microseconds; the minimum and the median over the runs):
  self          Morvane.simpleImage_ext's own time: its initialisation,
                without the modules it imports (the checks are in it)
  zlib_ng       zlib_ng.zlib_ng with everything it imports, as imported
                during the initialisation (0 when refused)
  total         Morvane.simpleImage_ext with everything it imports
No goal: the figures show what the choice of inflater adds to an import.
"""

from __future__ import annotations

import re
import statistics
import subprocess
import sys

from benchmarks import _common as C

BLOCK = (
    "import sys\n"
    "class NoZlibNg:\n"
    "    def find_spec(self, name, path=None, target=None):\n"
    "        if name.split('.')[0] == 'zlib_ng':\n"
    "            raise ModuleNotFoundError(name)\n"
    "sys.meta_path.insert(0, NoZlibNg())\n"
)
SETTINGS = {"zlib-ng": "", "no zlib-ng": BLOCK}
LINE = re.compile(r"import time:\s+(\d+) \|\s+(\d+) \|( *)(\S+)")


def one_run(prelude: str) -> dict:
    code = prelude + "import Morvane.simpleImage_ext\n"
    out = subprocess.run([sys.executable, "-X", "importtime", "-c", code], capture_output=True, text=True, check=True)
    found = {}
    for line in out.stderr.splitlines():
        m = LINE.match(line)
        if m:
            found.setdefault(m.group(4), (int(m.group(1)), int(m.group(2))))
    ours = found["Morvane.simpleImage_ext"]
    return {"self": ours[0], "zlib_ng": found.get("zlib_ng.zlib_ng", (0, 0))[1], "total": ours[1]}


def main() -> None:
    args = C.common_args(__doc__.split("\n")[0]).parse_args()
    runs = C.repeats(args, full=41, quick=11)
    _, ext = C.import_ours()
    env = C.header("import time", ext, pillow=False, wait=args.wait_idle)
    samples = {name: [] for name in SETTINGS}
    for _ in range(runs):
        for name, prelude in SETTINGS.items():
            samples[name].append(one_run(prelude))
    rows, results = [], []
    for name, runs_of in samples.items():
        row = {"setting": name}
        for key in ("self", "zlib_ng", "total"):
            values = [r[key] for r in runs_of]
            row[key] = {"min": min(values), "median": statistics.median(values)}
        results.append(row)
        rows.append([name] + [f"{row[k]['min']:.0f} / {row[k]['median']:.0f}" for k in ("self", "zlib_ng", "total")])
    print(f"{runs} fresh processes per setting; microseconds, min / median")
    print(C.table(["setting", "self", "zlib_ng", "total"], rows, "lrrr"))
    print(f"load average at end: {C.loadavg()}")
    C.write_json(args.json, {"env": env, "results": results})


if __name__ == "__main__":
    main()
