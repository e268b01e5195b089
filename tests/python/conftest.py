import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

import pytest

import compiled


@pytest.fixture(scope="session")
def hs071_library(tmp_path_factory):
    """HS071's C callbacks, compiled once per session."""
    return compiled.Library(compiled.build(tmp_path_factory.mktemp("hs071")))


@pytest.fixture
def c_callbacks(hs071_library):
    """Fresh user data (call counters) for each C function of HS071."""
    return hs071_library.callbacks()
