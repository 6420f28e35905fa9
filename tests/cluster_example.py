"""Image work spread over worker processes or machines with dask.distributed.

Images cannot be pickled, so a worker is handed what names or holds a file
(a path, or the file's bytes) and hands back a path or bytes, never an image.
tests/test_cluster.py runs this on a real local cluster of two processes.
"""

from pathlib import Path

from dask.distributed import Client, LocalCluster

import Morvane


def to_bmp(path: str) -> str:
    """For workers that see the same files: a path in, a path out."""
    out = str(Path(path).with_suffix(".bmp"))
    Morvane.save(Morvane.decode(path), out)
    return out


def to_bmp_bytes(data: bytes) -> bytes:
    """For workers that share no files: the file's bytes in, the BMP's bytes out."""
    return Morvane.encode(Morvane.decode(data), "bmp")


def convert(client: Client, paths: list[str]) -> tuple[list[str], list[bytes]]:
    """Both ways over the workers of ``client``: the BMPs' paths, and their bytes."""
    written = client.gather(client.map(to_bmp, paths))
    data = client.gather(client.map(to_bmp_bytes, [Path(p).read_bytes() for p in paths]))
    return written, data


if __name__ == "__main__":
    # Two worker processes on this machine; on a real cluster, Client("the
    # scheduler's address") instead.
    with LocalCluster(n_workers=2, processes=True) as cluster, Client(cluster) as client:
        paths = sorted(str(p) for p in Path(".").glob("*.png"))
        written, data = convert(client, paths)
        print(written)
