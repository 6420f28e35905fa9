"""Decoding from several threads at once.

The decoders undo PNG rows and place BMP rows without the interpreter lock,
so other threads run meanwhile; what any call gives must be what it gives on
its own, whatever the other threads do with the same or other sources and
images."""

import io
import os
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from testkit import reference
from testkit.spy import bmp, rgb, simple_png

WIDTH, HEIGHT = 300, 200
PIXELS = rgb(WIDTH, HEIGHT, seed=3)


def _png(filter_byte, bpp=3):
    rows = []
    for y in range(HEIGHT):
        row = PIXELS[y * WIDTH * 3 : (y + 1) * WIDTH * 3]
        if bpp == 4:
            row = b"".join(row[x : x + 3] + b"\xff" for x in range(0, len(row), 3))
        rows.append(bytes([filter_byte]) + row)
    return simple_png(WIDTH, HEIGHT, b"".join(rows), colour=2 if bpp == 3 else 6)


# Rows of more than a piece and a quarter of the inflater's output (640
# KiB): a decode alone undoes them on the row worker while the inflater
# makes the next piece.
LARGE_WIDTH, LARGE_HEIGHT = 600, 450
LARGE_PIXELS = rgb(LARGE_WIDTH, LARGE_HEIGHT, seed=4)
LARGE = simple_png(
    LARGE_WIDTH,
    LARGE_HEIGHT,
    b"".join(
        bytes([y % 5]) + LARGE_PIXELS[y * LARGE_WIDTH * 3 : (y + 1) * LARGE_WIDTH * 3] for y in range(LARGE_HEIGHT)
    ),
)

SOURCES = {
    "png-large": LARGE,
    "png-up": _png(2),
    "png-paeth-rgba": _png(4, bpp=4),
    "bmp": bmp(WIDTH, HEIGHT, PIXELS),
    "bmp-top-down": bmp(WIDTH, HEIGHT, PIXELS, top_down=True),
}


@pytest.fixture(scope="module")
def expected():
    return {name: reference.decode(data) for name, data in SOURCES.items()}


@pytest.mark.parametrize("shared", [True, False], ids=["shared-sources", "separate-sources"])
def test_threads_decoding_at_once_get_what_one_gets(m, expected, shared, tmp_path):
    paths = {}
    for name, data in SOURCES.items():
        paths[name] = tmp_path / name
        paths[name].write_bytes(data)

    def work(k):
        name = list(SOURCES)[k % len(SOURCES)]
        data = SOURCES[name] if shared else bytes(bytearray(SOURCES[name]))
        how = k % 3
        if how == 0:
            image = m.SimpleImage.open(data)
            got = (image.width, image.height, bytes(image._pixels))
        elif how == 1:
            got = m.SimpleImage._streamToImage(io.BytesIO(data))
            got = (got[0], got[1], bytes(got[2]))
        else:
            image = m.SimpleImage.open(paths[name])
            got = (image.width, image.height, bytes(image._pixels))
        want = expected[name]
        return got == (want.width, want.height, bytes(want.pixels))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        with ThreadPoolExecutor(4) as pool:
            assert all(pool.map(work, range(96)))
    finally:
        sys.setswitchinterval(interval)


def test_threads_sharing_images_while_others_decode(m):
    # Pixel access, copies and saving on images that other threads use too,
    # while decodes run without the lock.
    images = [m.SimpleImage.open(SOURCES["png-up"]) for _ in range(2)]
    want = bytes(images[0]._pixels)
    stop = threading.Event()
    errors = []

    def decode():
        while not stop.is_set():
            for data in SOURCES.values():
                m.SimpleImage.open(data)

    def touch(k):
        image = images[k % 2]
        for i in range(2000):
            x, y = (i * 7) % WIDTH, (i * 13) % HEIGHT
            image.putPixel((x, y), image.getPixel((x, y)))
        copy = image.copy()
        if bytes(copy._pixels) != want:
            errors.append(k)

    decoders = [threading.Thread(target=decode) for _ in range(2)]
    for t in decoders:
        t.start()
    try:
        with ThreadPoolExecutor(3) as pool:
            list(pool.map(touch, range(12)))
    finally:
        stop.set()
        for t in decoders:
            t.join()
    assert errors == []
    assert all(bytes(image._pixels) == want for image in images)


def test_bmp_rows_placed_without_the_lock(m):
    # While the rows of a BMP are placed from an in-memory stream, the stream
    # stands at the pixel offset (it is moved past the rows afterwards), and
    # another thread runs: it sees the stream there. Holding the lock
    # throughout, the decoder would never let it look at that moment.
    width, height = 4096, 2048  # rows placed over a few milliseconds, even on a busy machine
    data = bmp(width, height, bytes(width * height * 3))
    seen = []
    for _ in range(50):
        stream = io.BytesIO(data)
        stop = threading.Event()

        def watch(stream=stream, stop=stop):
            while not stop.is_set():
                if stream.tell() == 54:
                    seen.append(True)
                    return

        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            m.SimpleImage._streamToImage(stream)
        finally:
            stop.set()
            watcher.join()
        if seen:
            break
    assert seen


WORKER_CHILD = """
import os, sys
from Morvane import SimpleImage

def threads():
    return len(os.listdir("/proc/self/task"))

small, large = (open(path, "rb").read() for path in sys.argv[1:3])
start = threads()
SimpleImage.open(small)
after_small = threads()
os.environ["MORVANE_ROW_WORKER"] = "0"
first = bytes(SimpleImage.open(large)._pixels)
turned_off = threads()
del os.environ["MORVANE_ROW_WORKER"]
assert bytes(SimpleImage.open(large)._pixels) == first
after_large = threads()
SimpleImage.open(large)
after_two = threads()
pid = os.fork()
if pid == 0:
    before = threads()
    same = bytes(SimpleImage.open(large)._pixels) == first
    sys.exit(0 if same and threads() == before + 1 else 1)
_, status = os.waitpid(pid, 0)
print(after_small - start, turned_off - start, after_large - start, after_two - start, os.waitstatus_to_exitcode(status))
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts the process's threads in /proc")
@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="the row worker needs two processors")
def test_one_row_worker_serves_the_large_decodes(tmp_path):
    # A small image starts no thread, nor does a large one while
    # MORVANE_ROW_WORKER=0; the first large one after starts the row worker,
    # which every later decode reuses. A child made by fork() has
    # none of its parent's threads: it decodes on a worker of its own
    # (waiting on its parent's would hang it).
    small, large = tmp_path / "small.png", tmp_path / "large.png"
    small.write_bytes(SOURCES["png-up"])
    large.write_bytes(LARGE)
    proc = subprocess.run(
        [sys.executable, "-c", WORKER_CHILD, str(small), str(large)], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.split() == ["0", "0", "1", "1", "0"]
