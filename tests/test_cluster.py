"""The README's worker functions on a real dask.distributed cluster: two
worker processes on this machine, reached over loopback."""

import logging
import os
import pathlib

import pytest
from test_readme import _example

import Morvane
from Morvane import SimpleImage

distributed = pytest.importorskip("distributed")


@pytest.fixture
def restored_environ():
    # The cluster's nanny sets variables for its workers in this process's
    # environment (MALLOC_TRIM_THRESHOLD_, OMP_NUM_THREADS, ...) and leaves
    # them there, where every later test's child processes would inherit them.
    saved = dict(os.environ)
    yield
    os.environ.clear()
    os.environ.update(saved)


def test_workers_convert_paths_and_bytes_on_a_local_cluster(restored_environ, tmp_path, monkeypatch):
    (workers_folder := tmp_path / "workers").mkdir()
    (workers_folder / "workers.py").write_text(_example("# workers.py"))
    monkeypatch.syspath_prepend(str(workers_folder))  # the worker processes inherit it
    monkeypatch.setenv("PYTHONPATH", str(workers_folder))
    import workers as functions

    images = [
        SimpleImage(w, h, bytes(range(256)) * (w * h * 3 // 256) + bytes(w * h * 3 % 256))
        for w, h in [(5, 3), (64, 48), (7, 1)]
    ]
    paths = []
    for i, image in enumerate(images):
        paths.append(str(tmp_path / f"image{i}.png"))
        Morvane.save(image, paths[-1])
    with (
        distributed.LocalCluster(
            n_workers=2,
            processes=True,
            threads_per_worker=1,
            host="127.0.0.1",
            dashboard_address=None,
            silence_logs=logging.ERROR,
            death_timeout=120,
        ) as cluster,
        distributed.Client(cluster, timeout=120) as client,
    ):
        client.wait_for_workers(2, timeout=120)
        workers = client.run(os.getpid)
        written = client.gather(client.map(functions.to_bmp, paths))
        data = client.gather(client.map(functions.to_bmp_bytes, [pathlib.Path(p).read_bytes() for p in paths]))
    # Two processes of their own did the work.
    assert len(set(workers.values()) - {os.getpid()}) == 2
    assert written == [p.removesuffix(".png") + ".bmp" for p in paths]
    assert data == [Morvane.encode(image, "bmp") for image in images]
    assert [pathlib.Path(p).read_bytes() for p in written] == data
