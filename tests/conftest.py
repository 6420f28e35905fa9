import pytest

import Morvane.simpleImage_ext as _module


@pytest.fixture
def m():
    """The extension module."""
    return _module
