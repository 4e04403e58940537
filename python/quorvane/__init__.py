"""Quorvane: a native CTP trading runtime driven from Python through ctypes.

    from quorvane import Client, Strategy, run_replay

The trading core is `quorvane.trading` (the runtime's declarations, records, Client, Strategy and
its order verbs, codes, timers, bars, the pre-trade check); the research tools are
`quorvane.research` (replay of one or several days, report, statistics, pictures, sweeps,
recording); `quorvane.sim` controls the stand-in CTP libraries. Every exception the package raises on purpose is a QuorvaneError.
"""
from typing import TYPE_CHECKING, Any

from . import _legacy
from ._version import __version__
from .errors import InputFileError, ParameterError, QuorvaneError, SimError, StartupError
from .trading import codes
from .trading.bars import Bar, BarBuilder, bars_from_csv
from .trading.client import Client, login_record, shutdown
from .trading.fills import OrderFill
from .trading.risk import RiskDecision
from .trading.strategy import Strategy

if TYPE_CHECKING:
    from .research.loading import load_strategy
    from .research.replay import ReplayResult, run_replay
    from .sim import Sim

__all__ = ["Client", "Strategy", "OrderFill", "RiskDecision", "login_record", "shutdown", "codes", "Bar",
           "BarBuilder", "bars_from_csv", "run_replay", "ReplayResult", "load_strategy", "Sim",
           "QuorvaneError", "StartupError", "InputFileError", "SimError", "ParameterError",
           "__version__"]

_legacy.install()

# The research tools load on first use, so that a live strategy imports only the trading core.
_LAZY = {"run_replay": "research.replay", "ReplayResult": "research.replay",
         "load_strategy": "research.loading", "Sim": "sim"}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        import importlib
        return getattr(importlib.import_module("." + _LAZY[name], __name__), name)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
