"""The benchmarks: each bench_*.py a script of its own, run as
``python -m benchmarks.NAME`` from the repository's root (see README.md here)."""
