import importlib
import importlib.abc
import sys

import pytest


def pytest_addoption(parser):
    parser.addoption(
        "--no-zlib-ng", action="store_true", help="run as on a machine without the zlib-ng package: importing it fails"
    )


class _NoZlibNg(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name == "zlib_ng" or name.startswith("zlib_ng."):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None


def pytest_configure(config):
    if config.getoption("--no-zlib-ng"):
        # The module imports zlib-ng while it initialises and keeps the
        # outcome for the process, so the import must fail before the module
        # is first imported (the test files import it as they are collected,
        # after this hook).
        assert "Morvane.simpleImage_ext" not in sys.modules, "the module was imported before the tests began"
        assert "zlib_ng" not in sys.modules, "zlib_ng was imported before the tests began"
        sys.meta_path.insert(0, _NoZlibNg())


@pytest.fixture
def m():
    """The extension module."""
    return importlib.import_module("Morvane.simpleImage_ext")


@pytest.fixture
def fast_zlib(request):
    """zlib-ng's zlib module, which the decoder inflates with; skips the test
    in a run without it."""
    if request.config.getoption("--no-zlib-ng"):
        pytest.skip("zlib-ng made unavailable (--no-zlib-ng)")
    return pytest.importorskip("zlib_ng.zlib_ng")
