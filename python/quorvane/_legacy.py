"""The import names the package's modules had before it was split into `trading` and `research`,
kept so that strategies and scripts written against them still import: `quorvane.host`,
`quorvane.replay`, `quorvane.records` and the others below name the modules that now hold their
code, with the classes that were renamed under their old names too.

Each old name is a module object of its own that reads through to the new module, so that
`from quorvane.replay import run_replay` and `quorvane.replay.run_replay` both keep working;
assigning to one (a monkeypatch) changes the new module as well.
"""
import importlib
import importlib.abc
import importlib.machinery
import os
import sys
import types
from typing import Any, Dict, List, Optional, Sequence, Tuple

__all__ = ["MOVED", "install"]

# old module name: (new module name, {old attribute: new attribute})
MOVED: Dict[str, Tuple[str, Dict[str, str]]] = {
    "runtime": ("trading.runtime", {"Client": "NativeClient"}),
    "records": ("trading.records", {}),
    "host": ("trading.client", {}),
    "orders": ("trading.orders", {}),
    "codes": ("trading.codes", {}),
    "timers": ("trading.timers", {}),
    "bars": ("trading.bars", {}),
    "replay": ("research.replay", {}),
    "loading": ("research.loading", {}),
    "runs": ("research.runs", {}),
    "progress": ("research.progress", {}),
    "recorder": ("research.tracking", {"Recorder": "RunTracker"}),
    "report": ("research.report", {"Recorder": "RunTracker"}),
    "charts": ("research.pictures", {}),
    "days": ("research.days", {}),
    "stats": ("research.stats", {}),
    "sweep": ("research.sweep", {}),
    "record": ("research.recording", {"Recorder": "TickRecorder"}),
}

_PACKAGE = __name__.rpartition(".")[0]


class _Moved(types.ModuleType):
    """An old module name reading through to the module that holds its code now."""

    def __init__(self, name: str, target: types.ModuleType, renamed: Dict[str, str]) -> None:
        super().__init__(name, target.__doc__)
        object.__setattr__(self, "_target", target)
        object.__setattr__(self, "_renamed", renamed)
        # Where the module's file was, so that code finding the package's folder from it still
        # finds the same folder.
        folder = os.path.dirname(os.path.dirname(str(target.__file__)))
        object.__setattr__(self, "__file__", os.path.join(folder, name.rpartition(".")[2] + ".py"))

    def __getattr__(self, name: str) -> Any:
        return getattr(self._target, self._renamed.get(name, name))

    def __setattr__(self, name: str, value: Any) -> None:
        if name.startswith("__") and name.endswith("__"):
            # The import system's own attributes (__spec__, __loader__, ...) are this module's.
            super().__setattr__(name, value)
        else:
            setattr(self._target, self._renamed.get(name, name), value)

    def __dir__(self) -> List[str]:
        return sorted(set(dir(self._target)) | set(self._renamed))


class _Finder(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    def find_spec(self, fullname: str, path: Optional[Sequence[str]],
                  target: Optional[types.ModuleType] = None
                  ) -> Optional[importlib.machinery.ModuleSpec]:
        package, _, name = fullname.rpartition(".")
        if package != _PACKAGE or name not in MOVED:
            return None
        return importlib.machinery.ModuleSpec(fullname, self)

    def create_module(self, wanted: importlib.machinery.ModuleSpec) -> types.ModuleType:
        new_name, renamed = MOVED[wanted.name.rpartition(".")[2]]
        return _Moved(wanted.name, importlib.import_module(_PACKAGE + "." + new_name), renamed)

    def exec_module(self, module: types.ModuleType) -> None:
        pass


def install() -> None:
    """Makes the old names importable (once per process)."""
    if not any(isinstance(finder, _Finder) for finder in sys.meta_path):
        sys.meta_path.append(_Finder())
