"""Where the package's own files are: the native libraries installed inside it, the sample data
and the example strategies.

An installed package holds them as `quorvane/_lib/` (the runtime, the stand-in CTP libraries and
the stand-in's control library, which find one another beside themselves), `quorvane/data/` and
`quorvane/examples/`. `QUORVANE_LIB` names another runtime library (a build folder's, or one built
against the vendor's CTP libraries); the stand-in's control library is then the one beside it,
unless `QUORVANE_SIM_LIB` names it.
"""
import os
import pathlib

from .errors import StartupError

__all__ = ["LIBRARY_NAME", "SIM_LIBRARY_NAME", "library_path", "sim_library_path", "data_path",
           "example_path"]

LIBRARY_NAME = "libQuorvaneForPython38.so"
SIM_LIBRARY_NAME = "libquorvanesim.so"

_PACKAGE = pathlib.Path(__file__).resolve().parent


def _installed(name: str) -> str:
    path = _PACKAGE / "_lib" / name
    if not path.is_file():
        raise StartupError("%s is not installed with this package (%s): install the package "
                           "(pip install .) or set QUORVANE_LIB to a built %s" % (
                               name, path.parent, LIBRARY_NAME))
    return str(path)


def library_path() -> str:
    """The runtime library: $QUORVANE_LIB, else the package's own."""
    return os.environ.get("QUORVANE_LIB") or _installed(LIBRARY_NAME)


def sim_library_path() -> str:
    """The stand-in's control library: $QUORVANE_SIM_LIB, else the one beside $QUORVANE_LIB, else
    the package's own."""
    if os.environ.get("QUORVANE_SIM_LIB"):
        return os.environ["QUORVANE_SIM_LIB"]
    if os.environ.get("QUORVANE_LIB"):
        return str(pathlib.Path(os.environ["QUORVANE_LIB"]).resolve().parent / SIM_LIBRARY_NAME)
    return _installed(SIM_LIBRARY_NAME)


def data_path(*parts: str) -> pathlib.Path:
    """A file of the sample data (data/sample_ticks.csv, data/days/...)."""
    return (_PACKAGE / "data").joinpath(*parts).resolve()


def example_path(name: str) -> pathlib.Path:
    """A file of the example strategies and scenarios (examples/ma_cross.py, ...)."""
    return (_PACKAGE / "examples" / name).resolve()
