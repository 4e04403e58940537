"""Shared fixtures: where the built runtime library is."""
import os
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def lib_path():
    path = os.environ.get("QUORVANE_LIB") or str(ROOT / "build" / "lib" / "libQuorvaneForPython38.so")
    if not os.path.exists(path):
        pytest.fail("runtime library not built: %s" % path)
    return path
