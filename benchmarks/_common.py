"""Shared helpers for the benchmark scripts in this folder.

Not a benchmark itself. Each bench_*.py (run as ``python -m benchmarks.NAME``
from the repository's root) imports what it needs from here:

- import of the module under test (installed package, or PYTHONPATH=src);
- the environment header (interpreter, zlib builds, machine load);
- the timer: time.perf_counter, inner loop calibrated to a minimum batch
  time, several repeats run round-robin across the candidates, and the
  MINIMUM per-call time reported (the median is printed beside it as a
  noise check);
- deterministic photo-like test images and PNG helpers (single-filter
  encoding, chunk listing, re-chunking);
- a plain-text table printer.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import io
import json
import os
import platform
import random
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

from testkit.spy import chunk  # the PNG chunk builder

HERE = Path(__file__).resolve().parent
REPO = HERE.parent


# ---------------------------------------------------------------------------
# The module under test and its peers


def import_ours():
    """Return (SimpleImage, module): the installed package, else REPO/src."""
    try:
        import Morvane.simpleImage_ext as ext  # noqa: PLC0415
    except ImportError:
        sys.path.insert(0, str(REPO / "src"))
        try:
            import Morvane.simpleImage_ext as ext  # noqa: PLC0415
        except ImportError as exc:
            sys.exit(
                "cannot import Morvane.simpleImage_ext: install the package "
                "(pip install .) or build it in place and run with PYTHONPATH=src\n"
                f"({exc})"
            )
    return ext.SimpleImage, ext


def import_pillow():
    try:
        import PIL  # noqa: PLC0415
        from PIL import Image  # noqa: PLC0415
    except ImportError:
        sys.exit("Pillow is needed as the peer: pip install Pillow")
    return PIL, Image


def pillow_zlib() -> str:
    """Which zlib Pillow's codecs use, as PIL.features reports it."""
    from PIL import features  # noqa: PLC0415

    parts = []
    try:
        parts.append(f"zlib API {features.version('zlib')}")
    except Exception as exc:  # pragma: no cover - very old Pillow
        parts.append(f"zlib ? ({exc})")
    try:
        if features.check_feature("zlib_ng"):
            parts.append(f"zlib-ng {features.version('zlib_ng')}")
    except Exception:
        pass
    return ", ".join(parts)


def ours_inflater() -> str:
    """What our PNG decoder inflates with: zlib-ng's module where the module's
    initialisation took it (a spy in place of its decompressobj sees a
    decode)."""
    _, ext = import_ours()
    zn = sys.modules.get("zlib_ng.zlib_ng")
    if zn is None:
        return "Python's zlib (zlib-ng not installed)"
    made, real = [], zn.decompressobj
    zn.decompressobj = lambda *a: made.append(a) or real(*a)
    try:
        ext.SimpleImage.open(png_from_stream(1, 1, 2, zlib.compress(b"\x00abc"), 0))
    finally:
        zn.decompressobj = real
    if not made:
        return "Python's zlib (zlib-ng not taken)"
    version = getattr(sys.modules.get("zlib_ng"), "__version__", "?")
    return f"zlib-ng {getattr(zn, 'ZLIBNG_VERSION', '?')} (Python package zlib-ng {version})"


def loadavg() -> str:
    try:
        return " ".join(f"{v:.2f}" for v in os.getloadavg())
    except OSError:
        return "?"


def cpu_busy(interval: float = 1.0) -> float:
    """Fraction of all cores busy over `interval` seconds (from /proc/stat)."""

    def snap():
        with open("/proc/stat") as f:
            vals = [int(v) for v in f.readline().split()[1:]]
        idle = vals[3] + (vals[4] if len(vals) > 4 else 0)
        return idle, sum(vals)

    try:
        i0, t0 = snap()
        time.sleep(interval)
        i1, t1 = snap()
    except OSError:
        return 0.0
    total = t1 - t0
    return 0.0 if total <= 0 else 1.0 - (i1 - i0) / total


def wait_idle(max_wait: float, threshold: float = 0.15, quiet_for: int = 3) -> None:
    """Wait (up to max_wait s) until the machine is idle: under `threshold` of
    all cores busy for `quiet_for` consecutive seconds. Prints what it did."""
    if max_wait <= 0:
        return
    start = time.monotonic()
    calm = 0
    last = 0.0
    while time.monotonic() - start < max_wait:
        last = cpu_busy(1.0)
        calm = calm + 1 if last < threshold else 0
        if calm >= quiet_for:
            print(f"[machine idle after {time.monotonic() - start:.0f} s: {last:.0%} busy]")
            return
    print(f"[gave up waiting for an idle machine after {max_wait:.0f} s: {last:.0%} busy; results may be disturbed]")


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "?"


def header(title: str, ext, *, pillow: bool = True, zlib_line: bool = True, wait: float = 0) -> dict:
    """Print the run's environment; return it as a dict for --json."""
    wait_idle(wait)
    env = {
        "title": title,
        "python": sys.version.split()[0],
        # The file's name only: no path of the machine the figures come from.
        "module": Path(getattr(ext, "__file__", "?")).name,
        "cpu": cpu_model(),
        "cores": os.cpu_count(),
        "loadavg_start": loadavg(),
        "zlib_python": f"{zlib.ZLIB_RUNTIME_VERSION} (built against {zlib.ZLIB_VERSION})",
    }
    if pillow:
        import PIL  # noqa: PLC0415

        env["pillow"] = PIL.__version__
        env["zlib_pillow"] = pillow_zlib()
    print(f"== {title}")
    print(f"python {env['python']}  module {env['module']}")
    if pillow:
        print(f"Pillow {env['pillow']}")
    if zlib_line:
        env["zlib_ng_ours"] = ours_inflater()
        print(f"zlib (the floor, via Python's zlib): {env['zlib_python']}")
        print(f"inflater (ours): {env['zlib_ng_ours']}")
        if pillow:
            print(f"zlib (Pillow): {env['zlib_pillow']}")
    print(f"cpu {env['cpu']}, {env['cores']} cores (shared machine), load average {env['loadavg_start']}")
    print(
        "timing: time.perf_counter, gc off, inner loop calibrated, repeats run "
        "round-robin; figures are the MINIMUM per call (median/min shown as 'spread')"
    )
    return env


def pin_heap() -> str:
    """Fixes glibc's thresholds for the rest of the process, for every
    contender alike: blocks up to 32 MiB (its largest mmap threshold) come
    from the heap, which is never trimmed. Left as they start, the
    thresholds move with each large free, so whether a contender's output
    buffer of a few MiB is reused warm or mapped afresh and faulted in page
    by page (a fifth to three quarters of a fast inflate's time) depended
    on which contender freed what before it. Call it before importing any
    contender. Returns what was done, for the header."""
    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):
        return "allocator as it starts (no mallopt here)"
    m_trim_threshold, m_mmap_threshold = -1, -3
    if mallopt(m_mmap_threshold, 32 << 20) == 1 and mallopt(m_trim_threshold, 1 << 30) == 1:
        return "glibc heap pinned: blocks up to 32 MiB from the heap, never trimmed"
    return "allocator as it starts (mallopt refused)"


def common_args(description: str) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(description=description)
    p.add_argument("--quick", action="store_true", help="short run: fewer repeats, small sizes only")
    p.add_argument("--repeat", type=int, default=None, help="repeats per candidate (default: 7, --quick 3)")
    p.add_argument("--json", metavar="PATH", help="also write the results as JSON to PATH")
    p.add_argument(
        "--clock",
        choices=["wall", "cpu"],
        default="wall",
        help="time with the wall clock (default) or this process's CPU time (for a busy shared machine)",
    )
    p.add_argument(
        "--wait-idle",
        type=float,
        default=0,
        metavar="SECONDS",
        help="first wait up to SECONDS for the machine to be idle (other processes under 15%% of the cores)",
    )
    return p


def repeats(args, full: int = 7, quick: int = 3) -> int:
    set_clock(getattr(args, "clock", "wall"))
    if args.repeat:
        return max(1, args.repeat)
    return quick if args.quick else full


def package_root(ext) -> str:
    """The folder a child process puts first on its path to import the
    module from where this process found it."""
    return str(Path(ext.__file__).resolve().parent.parent)


def run_child(script: str, how: str, path: str, extra_path: list) -> dict:
    """`script` in a fresh interpreter, given `how`, `path`, the repository
    and `extra_path` as arguments: the JSON of its last output line."""
    proc = subprocess.run(
        [sys.executable, "-c", script, how, path, str(REPO), *extra_path], capture_output=True, text=True, timeout=900
    )
    if proc.returncode != 0:
        raise RuntimeError(f"{how} {path}: {proc.stderr[-2000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def write_json(path: str | None, payload: dict) -> None:
    if path:
        Path(path).write_text(json.dumps(payload, indent=2))
        print(f"results written to {path}")


def finish(path: str | None, env: dict, results: list) -> None:
    """The end of a codec benchmark: flag disturbed rows, the load, the JSON."""
    bad = [r for r in results if r["spread"] > 1.25]
    if bad:
        print(f"warning: {len(bad)} rows noisy (median > 1.25 x min)")
    print(f"load average at end: {loadavg()}")
    write_json(path, {"env": env, "results": results})


# ---------------------------------------------------------------------------
# Timing


# The clock of every timing: wall time by default; CPU time of this process
# (--clock cpu) on a machine shared with busy processes, where wall time
# also counts the time spent waiting for a core.
_clock = time.perf_counter


def set_clock(name: str) -> None:
    global _clock
    _clock = {"wall": time.perf_counter, "cpu": time.process_time}[name]


def _batch(fn, number: int) -> float:
    t0 = _clock()
    for _ in range(number):
        fn()
    return _clock() - t0


def calibrate(fn, target: float) -> int:
    """Calls per batch so that one batch takes at least `target` seconds."""
    number = 1
    while True:
        t = _batch(fn, number)
        if t >= target or number >= 1 << 24:
            return number
        if t <= 0:
            number *= 10
        else:
            number = max(number * 2, int(number * target / t * 1.1) + 1)


def compare(cands: dict, repeat: int, target: float = 0.05, per: dict | None = None) -> dict:
    """Time several zero-argument callables side by side.

    Each is calibrated on its own, then the repeats run round-robin (A B C,
    A B C, ...) so that a disturbance of the machine hits all of them. `per`
    maps a name to a divisor (e.g. calls made inside fn) for per-call times.
    Returns {name: {"min": s, "median": s, "spread": median/min}}.
    """
    per = per or {}
    gcold = gc.isenabled()
    gc.disable()
    try:
        numbers = {name: calibrate(fn, target) for name, fn in cands.items()}
        samples: dict = {name: [] for name in cands}
        for _ in range(repeat):
            for name, fn in cands.items():
                n = numbers[name]
                samples[name].append(_batch(fn, n) / n / per.get(name, 1))
    finally:
        if gcold:
            gc.enable()
    out = {}
    for name, s in samples.items():
        lo, med = min(s), statistics.median(s)
        out[name] = {"min": lo, "median": med, "spread": med / lo if lo > 0 else float("inf")}
    return out


def fmt_time(seconds: float) -> str:
    """A time with a unit that keeps 3-4 significant digits."""
    if seconds < 1e-6:
        return f"{seconds * 1e9:.1f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.2f} us"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.3f} s"


def fmt_ratio(r: float) -> str:
    return f"{r:.2f}x"


def verdict(ok: bool) -> str:
    return "MET" if ok else "MISSED"


def noisy(results: dict, limit: float = 1.25) -> list:
    """Names whose median is well above their minimum (a disturbed run)."""
    return [n for n, r in results.items() if r["spread"] > limit]


# ---------------------------------------------------------------------------
# Output


def table(headers: list, rows: list, aligns: str | None = None) -> str:
    """Plain-text table; aligns is a string of 'l'/'r' per column."""
    cols = len(headers)
    aligns = aligns or ("l" + "r" * (cols - 1))
    cells = [[str(h) for h in headers]] + [[str(c) for c in row] for row in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(cols)]

    def line(r):
        return "  ".join(c.ljust(w) if a == "l" else c.rjust(w) for c, w, a in zip(r, widths, aligns)).rstrip()

    out = [line(cells[0]), "  ".join("-" * w for w in widths)]
    out += [line(r) for r in cells[1:]]
    return "\n".join(out)


def scratch_dir() -> tempfile.TemporaryDirectory:
    """A temporary directory, in /dev/shm when there is one (no disk I/O)."""
    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    return tempfile.TemporaryDirectory(prefix="morvane-bench-", dir=base)


# ---------------------------------------------------------------------------
# Test images


def photo(width: int, height: int, mode: str = "RGB", seed: int = 1234):
    """A deterministic photo-like Pillow image (mode RGB or RGBA).

    Smooth content (gradients, and a coarse random field upscaled bicubically,
    like soft shapes and lighting), hard edges (filled shapes in random solid
    colours), then per-sample noise of +-6 levels, like sensor noise. The
    result depends only on the arguments.
    """
    from PIL import Image, ImageChops, ImageDraw  # noqa: PLC0415

    rnd = random.Random(seed * 1_000_003 + width * 7919 + height)
    size = (width, height)

    def coarse(n: int):
        small = Image.frombytes("L", (n, n), rnd.randbytes(n * n))
        return small.resize(size, Image.Resampling.BICUBIC)

    hgrad = Image.linear_gradient("L").rotate(90).resize(size, Image.Resampling.BILINEAR)
    vgrad = Image.linear_gradient("L").resize(size, Image.Resampling.BILINEAR)
    radial = Image.radial_gradient("L").resize(size, Image.Resampling.BILINEAR)
    bands = [
        ImageChops.add(hgrad, coarse(6), scale=2.0),
        ImageChops.add(vgrad, coarse(5), scale=2.0),
        ImageChops.add(radial, coarse(7), scale=2.0),
    ]
    base = Image.merge("RGB", bands)
    draw = ImageDraw.Draw(base)
    for _ in range(16):
        x0, y0 = rnd.randrange(width), rnd.randrange(height)
        x1 = min(width - 1, x0 + rnd.randrange(max(2, width // 4)))
        y1 = min(height - 1, y0 + rnd.randrange(max(2, height // 4)))
        colour = (rnd.randrange(256), rnd.randrange(256), rnd.randrange(256))
        shape = rnd.randrange(3)
        if shape == 0:
            draw.rectangle((x0, y0, x1, y1), fill=colour)
        elif shape == 1:
            draw.ellipse((x0, y0, x1, y1), fill=colour)
        else:
            pts = [
                (x0, y0),
                (x1, y0 + rnd.randrange(max(2, height // 4))),
                (x0 + rnd.randrange(max(2, width // 4)), y1),
            ]
            draw.polygon(pts, fill=colour)
    noise = Image.frombytes("RGB", size, rnd.randbytes(width * height * 3)).point(lambda v: v % 13)
    img = ImageChops.add(base, noise, scale=1.0, offset=-6)
    if mode == "RGB":
        return img
    if mode != "RGBA":
        raise ValueError(mode)
    # Alpha: mostly opaque, a soft transparent region, a few hard-edged holes.
    alpha = ImageChops.add(Image.new("L", size, 255), radial.point(lambda v: 255 - v), scale=1.0, offset=-128)
    adraw = ImageDraw.Draw(alpha)
    for _ in range(6):
        x0, y0 = rnd.randrange(width), rnd.randrange(height)
        adraw.ellipse((x0, y0, x0 + width // 8, y0 + height // 8), fill=rnd.randrange(256))
    alpha = ImageChops.add(
        alpha, Image.frombytes("L", size, rnd.randbytes(width * height)).point(lambda v: v % 5), offset=-2
    )
    img.putalpha(alpha)
    return img


# ---------------------------------------------------------------------------
# PNG helpers

PNG_SIG = b"\x89PNG\r\n\x1a\n"


def png_chunks(data: bytes) -> list:
    """[(type, payload)] of a PNG file, without checking CRCs."""
    if data[:8] != PNG_SIG:
        raise ValueError("not a PNG")
    out, pos = [], 8
    while pos + 8 <= len(data):
        (n,) = struct.unpack(">I", data[pos : pos + 4])
        ctype = data[pos + 4 : pos + 8]
        out.append((ctype, data[pos + 8 : pos + 8 + n]))
        pos += 12 + n
        if ctype == b"IEND":
            break
    return out


def idat_data(data: bytes) -> bytes:
    """The concatenated IDAT payload: the zlib stream the decoder inflates."""
    return b"".join(p for t, p in png_chunks(data) if t == b"IDAT")


def png_from_stream(width: int, height: int, colour_type: int, zstream: bytes, idat_size: int) -> bytes:
    """A PNG file around a zlib stream, split into IDAT chunks of idat_size."""
    ihdr = struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0)
    parts = [PNG_SIG, chunk(b"IHDR", ihdr)]
    step = idat_size if idat_size > 0 else max(1, len(zstream))
    for i in range(0, max(1, len(zstream)), step):
        parts.append(chunk(b"IDAT", zstream[i : i + step]))
    parts.append(chunk(b"IEND", b""))
    return b"".join(parts)


def rechunk(data: bytes, idat_size: int) -> bytes:
    """The same PNG with its IDAT data re-split (0: a single IDAT chunk)."""
    chunks = png_chunks(data)
    ihdr = next(p for t, p in chunks if t == b"IHDR")
    width, height, _, colour_type = struct.unpack(">IIBB", ihdr[:10])
    return png_from_stream(width, height, colour_type, idat_data(data), idat_size)


def _filtered_band(band, ftype: int):
    """One band (mode L) with PNG filter `ftype` applied to every row."""
    from PIL import Image, ImageMath  # noqa: PLC0415

    w, h = band.size
    if ftype == 0:
        return band
    left = Image.new("L", (w, h), 0)
    left.paste(band.crop((0, 0, w - 1, h)), (1, 0))
    up = Image.new("L", (w, h), 0)
    up.paste(band.crop((0, 0, w, h - 1)), (0, 1))
    if ftype == 1:
        res = ImageMath.lambda_eval(lambda a: (a["x"] - a["l"]) & 255, x=band, l=left)
    elif ftype == 2:
        res = ImageMath.lambda_eval(lambda a: (a["x"] - a["u"]) & 255, x=band, u=up)
    elif ftype == 3:
        res = ImageMath.lambda_eval(lambda a: (a["x"] - ((a["l"] + a["u"]) >> 1)) & 255, x=band, l=left, u=up)
    elif ftype == 4:
        upleft = Image.new("L", (w, h), 0)
        upleft.paste(band.crop((0, 0, w - 1, h - 1)), (1, 1))

        def paeth(a):
            x, left, u, c = a["x"], a["l"], a["u"], a["c"]
            pa = abs(u - c)
            pb = abs(left - c)
            pc = abs(left + u - c - c)
            use_a = (pa <= pb) & (pa <= pc)
            use_b = (use_a == 0) & (pb <= pc)
            use_c = (use_a == 0) & (use_b == 0)
            pred = use_a * left + use_b * u + use_c * c
            return (x - pred) & 255

        res = ImageMath.lambda_eval(paeth, x=band, l=left, u=up, c=upleft)
    else:
        raise ValueError(ftype)
    return res.convert("L")


def png_single_filter(img, ftype: int, idat_size: int = 65536, level: int = 6) -> bytes:
    """Encode a Pillow RGB/RGBA image as PNG with filter `ftype` on every row.

    Pillow always chooses filters adaptively, so the filtering is done here
    (band by band with ImageMath) and compressed with Python's zlib.
    """
    from PIL import Image  # noqa: PLC0415

    mode = img.mode
    bands = [_filtered_band(b, ftype) for b in img.split()]
    filtered = Image.merge(mode, bands).tobytes()
    w, h = img.size
    row = w * len(mode)
    fb = bytes([ftype])
    raw = b"".join(fb + filtered[y * row : (y + 1) * row] for y in range(h))
    return png_from_stream(w, h, 2 if mode == "RGB" else 6, zlib.compress(raw, level), idat_size)


def pillow_png(img, **kw) -> bytes:
    buf = io.BytesIO()
    img.save(buf, "PNG", **kw)
    return buf.getvalue()


def pillow_bytes(img, fmt: str) -> bytes:
    buf = io.BytesIO()
    img.save(buf, fmt)
    return buf.getvalue()


# ---------------------------------------------------------------------------
# Real files

# Photographs and drawings that scikit-image ships in its package (8-bit RGB
# and RGBA PNGs written by other tools; astronaut.png is stored without
# compression, horse.png and phantom.png are flat drawings that compress 34
# and 147 to 1).
REAL_FILES = ["astronaut", "chelsea", "coffee", "color", "ihc", "logo", "motorcycle_left", "horse", "phantom"]


def real_files() -> list:
    """[(name, png_bytes)] of the real files that are installed (the bench
    extra installs scikit-image), and a screenshot-like picture made here."""
    files = []
    try:
        import importlib.util  # noqa: PLC0415

        spec = importlib.util.find_spec("skimage")
    except (ImportError, ValueError):
        spec = None
    if spec and spec.origin:
        data = Path(spec.origin).parent / "data"
        for name in REAL_FILES:
            path = data / f"{name}.png"
            if path.exists():
                files.append((name, path.read_bytes()))
    files.append(("screenshot-like", pillow_png(screenshot())))
    return files


def screenshot(width: int = 1600, height: int = 1000, seed: int = 7):
    """A deterministic picture like a screenshot of a desktop program: flat
    panels, borders, buttons and lines of text on a light background (highly
    compressible, as screenshots are)."""
    from PIL import Image, ImageDraw  # noqa: PLC0415

    rnd = random.Random(seed)
    img = Image.new("RGB", (width, height), (246, 246, 248))
    d = ImageDraw.Draw(img)
    d.rectangle((0, 0, width, 36), fill=(45, 52, 64))
    d.rectangle((0, 36, 240, height), fill=(232, 234, 238))
    d.line((240, 36, 240, height), fill=(200, 202, 208))
    for i in range(30):
        d.text(
            (16, 48 + 28 * i),
            f"Item {i:02d}  " + "".join(rnd.choice("abcdefghij ") for _ in range(14)),
            fill=(40, 40, 48),
        )
    for k in range(6):
        x = 270 + k * 150
        d.rounded_rectangle((x, 52, x + 130, 84), radius=6, fill=(rnd.randrange(40, 200), 110, 220))
        d.text((x + 14, 62), f"Button {k}", fill=(255, 255, 255))
    y = 110
    while y < height - 20:
        words = " ".join("".join(rnd.choice("etaoinshrdlu") for _ in range(rnd.randrange(2, 9))) for _ in range(18))
        d.text((270, y), words, fill=(30, 30, 30) if rnd.random() < 0.9 else (20, 90, 200))
        y += 18
    for _ in range(4):
        x0, y0 = rnd.randrange(300, width - 300), rnd.randrange(120, height - 200)
        d.rectangle((x0, y0, x0 + 260, y0 + 150), fill=(255, 255, 255), outline=(180, 180, 190))
        for k in range(8):
            d.line(
                (x0 + 10, y0 + 140 - k * 16, x0 + 250, y0 + 140 - rnd.randrange(0, 130)),
                fill=(rnd.randrange(256), 80, 160),
            )
    return img
