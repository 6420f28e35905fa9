"""Run every benchmark, one after the other, and summarise the goals.

    python -m benchmarks.run_all [--quick] [--wait-idle SECONDS] [--out DIR]

Each bench_*.py runs in its own interpreter (same python as this one), after
waiting for the machine to be idle (default: up to 300 s). Its printed table
goes to DIR/<name>.txt and its figures to DIR/<name>.json (DIR defaults to
benchmarks/results). At the end a Markdown summary of every goal is printed
and written to DIR/summary.md.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time
from pathlib import Path

from benchmarks import _common as C

HERE = Path(__file__).resolve().parent
SCRIPTS = [
    "bench_pixels",
    "bench_png_read",
    "bench_png_memory",
    "bench_png_fresh",
    "bench_threads",
    "bench_png_write",
    "bench_bmp",
    "bench_encode",
    "bench_info",
    "bench_import",
]


def summary(out: Path) -> str:
    lines = ["| benchmark | case | ours | reference | ratio | goal | |", "|---|---|---|---|---|---|---|"]

    t = C.fmt_time

    def ok(b):
        return "met" if b else "**missed**"

    def mib(b):
        return f"{b / 2**20:.1f} MiB"

    def records(name: str, key: str = "results") -> list:
        """The records of one benchmark's JSON results, if it ran."""
        p = out / f"{name}.json"
        return json.loads(p.read_text())[key] if p.exists() else []

    for s in records("bench_pixels", "summary"):
        lines.append(
            f"| pixels | {s['op']}Pixel, {s['variant']} coords | {t(s['ours_s'])} | "
            f"{s['fastest_pillow']} {t(s['pillow_s'])} | {s['ratio']:.2f}x (net of loop {s['ratio_net']:.2f}x) | < 1 | {ok(s['met'])} |"
        )
    # The 4096² files may come from a run of their own (bench_png_read_4096).
    png_read = records("bench_png_read")
    done = {r["file"] for r in png_read}
    png_read += [r for r in records("bench_png_read_4096") if r["file"] not in done]
    for r in png_read:
        f = r["ours_over_floor"]
        peers = r["peer_over_ours"]
        closest = min(peers, key=lambda n: peers[n]["median"]) if peers else None
        lines.append(
            f"| png read | {r['file']} | {t(r['times']['ours']['median'])} | "
            f"floor {t(r['times']['floor']['median'])}"
            + (f", closest peer {closest} {t(r['times'][closest]['median'])}" if closest else "")
            + f" | {f['min']:.2f}/{f['median']:.2f}x floor"
            + (f", {closest} {peers[closest]['median']:.2f}x ours" if closest else "")
            + f" | ≤ 1.15 floor, peers ≥ 1.2 | {ok(r['met_floor'])}, {ok(r['met_peers'])} |"
        )
    for r in records("bench_png_memory"):
        g = r["growth"]
        lines.append(
            f"| png memory | {r['mode']} {r['side']} {r['variant']} | {mib(g['ours bytes'])} (bytes) | "
            f"pixels {mib(r['pixel_bytes'])}; "
            + ", ".join(f"{n} {mib(v)}" for n, v in g.items() if n != "ours bytes")
            + f" | {g['ours bytes'] / r['goal_bytes']:.2f} of goal | ≤ 1.05 × pixels + 2 MiB | {ok(r['met'])} |"
        )
    for r in records("bench_threads"):
        if "goal" not in r:
            continue
        s = r["speedup"]
        lines.append(
            f"| threads | {r['work']}, {r['items']} files | {t(r['threaded_s']['min'])} | serial "
            f"{t(r['serial_s']['min'])} | {s['min']:.2f}x / {s['median']:.2f}x (min / median) | "
            f"≥ {r['goal']} | {ok(r['met'])} |"
        )
    for r in records("bench_png_write"):
        lines.append(
            f"| png write | RGB {r['side']} | {t(r['ours_s'])} | floor {t(r['floor_s'])}, Pillow {t(r['pillow_s'])} | "
            f"{r['ours_over_floor']:.2f}x floor | ≤ 1.1 | {ok(r['met'])} |"
        )
    for r in records("bench_bmp"):
        lines.append(
            f"| bmp {r['op']} | RGB {r['side']} | {t(r['ours_s'])} | Pillow {t(r['pillow_s'])} | "
            f"Pillow/ours {r['pillow_over_ours']:.2f}x | ≥ 2 | {ok(r['met_pillow'])} |"
        )
        lines.append(
            f"| bmp {r['op']} | RGB {r['side']} | {t(r['ours_s'])} | copy {t(r['copy_s'])} | "
            f"ours/copy {r['ours_over_copy']:.2f}x | ≤ 3 | {ok(r['met_copy'])} |"
        )
    for r in records("bench_encode"):
        lines.append(
            f"| encode | {r['format']} RGB {r['side']} | {t(r['encode_s'])} | save {t(r['save_s'])} | "
            f"{r['encode_over_save']:.2f}x save | ≤ 1.1 | {ok(r['met'])} |"
        )
    for r in records("bench_info"):
        lines.append(
            f"| info | {r['files']} PNGs of {r['side']}², {r['where']} | {t(r['ours_s'])} | "
            f"Pillow {t(r['pillow_s'])}, full decode {t(r['decode_s'])} | {r['ours_over_pillow']:.2f}x Pillow | "
            f"≤ 3 | {ok(r['met'])} |"
        )
    return "\n".join(lines) + "\n"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--wait-idle", type=float, default=300)
    ap.add_argument("--out", default=str(HERE / "results"))
    ap.add_argument("--only", default=None, help="comma-separated script names to run (default: all)")
    ap.add_argument("--summary-only", action="store_true", help="only rebuild summary.md from DIR/*.json")
    args = ap.parse_args()
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    if not args.summary_only:
        names = args.only.split(",") if args.only else SCRIPTS
        for name in names:
            # Relative to the repository's root, where the scripts run, when
            # it lies inside: the outputs name no path of this machine.
            target = out / f"{name}.json"
            if target.resolve().is_relative_to(HERE.parent):
                target = target.resolve().relative_to(HERE.parent)
            cmd = [sys.executable, "-m", f"benchmarks.{name}", "--json", str(target)]
            cmd += ["--wait-idle", str(args.wait_idle)]
            if args.quick:
                cmd.append("--quick")
            print(f"\n### {' '.join(cmd)}", flush=True)
            t0 = time.perf_counter()
            proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, cwd=HERE.parent)
            text = proc.stdout + f"\n[{name}: exit {proc.returncode}, {time.perf_counter() - t0:.0f} s]\n"
            (out / f"{name}.txt").write_text(text)
            print(text, flush=True)
            if proc.returncode:
                sys.exit(proc.returncode)
    md = summary(out)
    (out / "summary.md").write_text(md)
    print(md)


if __name__ == "__main__":
    main()
