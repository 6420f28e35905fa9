"""Helpers shared by the tests (tests/), the fuzz targets (fuzz/) and the
benchmarks (benchmarks/), importable from the repository's root (pytest puts
it on the path; the fuzz and benchmark scripts run with ``python -m`` from
there):

* ``testkit.spy``: PNG and BMP bytes built with the standard library alone,
  and streams and file descriptors that show what a reader or writer did;
* ``testkit.reference``: the reference decoder, the oracle of the
  differential tests and the fuzz targets.
"""
