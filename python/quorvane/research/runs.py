"""The folder a run writes to: a new one of its own by default, or the one it was told, which is
first cleared of an earlier run's files so that no file of two runs is ever mixed. A run keeps the
stand-in's flow files (and, with persistence, its trading day) in the folder's flow/; a later run
continues that day only when asked to, from a copy, so the earlier run's folder stays as it was.
"""
import glob
import os
import re
import shutil
from typing import List, Optional, Set, Union

from ..errors import InputFileError


__all__ = ["RunFolder", "new_run_folder", "RUNS_ROOT"]

# Where runs without a folder of their own go, relative to the working directory.
RUNS_ROOT = "quorvane-runs"

# The files a run writes; an earlier run's are removed before a run reuses its folder.
RUN_FILES = ("report.txt", "trades.csv", "equity.png", "days.csv", "stats.json", "stats.csv",
             "equity_drawdown.png", "daily_profit.png", "report.html")
# The journal of each trading day (quorvane.trading.journal), with SQLite's files beside it.
RUN_PATTERNS = ("price_*.png", "journal-*.sqlite", "journal-*.sqlite-wal", "journal-*.sqlite-shm")
FLOW = "flow"


def _kept_days(flow: str) -> List[str]:
    return glob.glob(os.path.join(glob.escape(flow), "**", "qvsim_*.sqlite3"), recursive=True)


def new_run_folder(root: Union[str, "os.PathLike[str]"], name: str) -> str:
    """root/name-NNN, the first number not taken."""
    os.makedirs(root, exist_ok=True)
    taken: Set[int] = set()
    pattern = re.compile(re.escape(name) + r"-(\d+)$")
    for entry in os.listdir(root):
        match = pattern.match(entry)
        if match:
            taken.add(int(match.group(1)))
    number = 1
    while True:
        while number in taken:
            number += 1
        path = os.path.join(root, "%s-%03d" % (name, number))
        try:
            os.mkdir(path)
            return path
        except FileExistsError:   # another run took it meanwhile
            taken.add(number)


class RunFolder:
    """The folder of one run. `replaced` tells whether an earlier run's files were removed,
    `continued` names the folder whose kept trading day this run continues (None: the
    scenario's own day)."""

    def __init__(self, path: Optional[Union[str, "os.PathLike[str]"]] = None, name: str = "run",
                 continue_from: Optional[Union[str, "os.PathLike[str]"]] = None,
                 root: Union[str, "os.PathLike[str]"] = RUNS_ROOT) -> None:
        source_flow = None
        if continue_from is not None:
            source_flow = os.path.join(os.path.abspath(continue_from), FLOW)
            if not _kept_days(source_flow):
                raise InputFileError("%s holds no kept trading day to continue (a run keeps one when "
                                 "its scenario says \"persist\": true)" % continue_from)
        if path is None:
            path = new_run_folder(root, name)
        self.path = os.path.abspath(path)
        self.flow = os.path.join(self.path, FLOW)
        self.continued = continue_from
        in_place = source_flow is not None and os.path.abspath(source_flow) == self.flow
        self.replaced = self._clear(keep_flow=in_place)
        if source_flow is not None and not in_place:
            shutil.copytree(source_flow, self.flow)
        os.makedirs(self.flow, exist_ok=True)

    def _clear(self, keep_flow: bool) -> bool:
        os.makedirs(self.path, exist_ok=True)
        found = [os.path.join(self.path, f) for f in RUN_FILES]
        for pattern in RUN_PATTERNS:
            found += glob.glob(os.path.join(glob.escape(self.path), pattern))
        found = [f for f in found if os.path.exists(f)]
        for path in found:
            os.remove(path)
        flow_there = os.path.isdir(self.flow) and bool(os.listdir(self.flow))
        if flow_there and not keep_flow:
            shutil.rmtree(self.flow)
        return bool(found) or (flow_there and not keep_flow)

    def file(self, name: str) -> str:
        """The path of one of the run's files."""
        return os.path.join(self.path, name)
