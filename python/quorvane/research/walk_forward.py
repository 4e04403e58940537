"""Walk-forward optimisation: the grid of a sweep chosen on some trading days and tried on the days
that follow, window after window, and the test days' results stitched into one out-of-sample run.

With TRAIN:TEST over the day files in trading-day order (numbered from 0), window k (from 0)
replays every combination on days [k*TEST, k*TEST+TRAIN) and its best by the sort key on the
next TEST days, [k*TEST+TRAIN, k*TEST+TRAIN+TEST); the last window tests on the days that are
left when fewer than TEST are. So every day after the first TRAIN is tested exactly once, by the
window whose train days end just before it. The best combination is the first of
sweep.ordered: the best value of the key (the largest, or the smallest for max_drawdown,
max_drawdown_pct and fees), n/a below any value, failed combinations never, and of equal values
the first in grid order. A window whose combinations all failed has no test.

Each replay, train or test, is one task on the sweep's Dask scheduler; a window's test is
submitted as soon as its train replays have their results, while other windows still train. A
test replays its days as `replay` does several days: from the scenario's own state (funds,
positions) on its first test day. The stitched run chains the tests: the balance starts at the
scenario's funds and moves by each test day's profit in turn (each window's first day counted from
the funds its replay started with), so the stitched statistics are those of stats.compute over
those days, on the day ends (the drawdown too); round trips pair within a window, whose replay
began flat, and the fills, round trips and fees are all the windows'.
"""
import csv
import os
import typing
from typing import Any, Callable, Dict, Iterable, List, Mapping, NamedTuple, Optional, Sequence
from typing import Tuple, Union, cast

from ..errors import ParameterError
from . import stats as statistics
from .days import DayFile, day_files
from .grids import combinations
from .instrument_terms import Terms
from .sweep import COLUMNS, Result, Setup, Task, execute, forget, label, ordered, write_csv

__all__ = ["Window", "parse_windows", "windows", "choose", "WindowOutcome", "WalkForward",
           "walk_forward", "stitch", "table", "write_windows"]

_PathArg = Union[str, "os.PathLike[str]"]

# The test's statistics the printed table shows (walk_forward.csv has every column).
_SHOWN = ["net_profit", "sharpe", "max_drawdown", "win_rate", "round_trips", "trades", "fees"]


class Window(NamedTuple):
    """One window of a walk-forward: its number (from 1), its train days and its test days."""

    number: int
    train: List[DayFile]
    test: List[DayFile]


def parse_windows(text: str) -> Tuple[int, int]:
    """(TRAIN, TEST) trading days from "TRAIN:TEST", each at least 1."""
    train, sep, test = text.partition(":")
    try:
        sizes = int(train), int(test)
    except ValueError:
        sizes = (0, 0)
    if not sep or min(sizes) < 1:
        raise ParameterError("--walk-forward is TRAIN:TEST, two numbers of trading days from 1; "
                             "not %r" % text)
    return sizes


def windows(days: Sequence[DayFile], train: int, test: int) -> List[Window]:
    """The windows over the days, in trading-day order (see the module's description)."""
    if len(days) <= train:
        raise ParameterError("--walk-forward %d:%d needs more than %d trading days; %d given" % (
            train, test, train, len(days)))
    out: List[Window] = []
    for start in range(0, len(days) - train, test):
        out.append(Window(len(out) + 1, list(days[start:start + train]),
                          list(days[start + train:start + train + test])))
    return out


def choose(results: Iterable[Result], key: str) -> Optional[Result]:
    """The best combination that ran, by `key` (sweep.ordered); None when none ran."""
    return next((r for r in ordered(results, key) if r["ok"]), None)


class WindowOutcome:
    """A window's train results (in grid order), the combination chosen and its test result."""

    def __init__(self, window: Window, train: List[Result], choice: Optional[Result],
                 test: Optional[Result]) -> None:
        self.window, self.train, self.choice, self.test = window, train, choice, test

    @property
    def error(self) -> Optional[str]:
        """Why the window has no out-of-sample result; None when it has one."""
        if self.choice is None:
            return "no combination ran on the train days"
        if self.test is None or not self.test["ok"]:
            return "the test failed: %s" % (self.test or {}).get("error")
        return None


class WalkForward:
    """What a walk-forward produced: each window's outcome, the stitched statistics of the tests
    (None when no test ran), every replay's result, and the files written."""

    def __init__(self, names: List[str], key: str, outcomes: List[WindowOutcome],
                 stitched: Optional["typing.OrderedDict[str, Any]"],
                 results: List[Result]) -> None:
        self.names, self.key, self.outcomes, self.stitched = names, key, outcomes, stitched
        self.results = results
        self.files: Dict[str, str] = {}

    @property
    def failed(self) -> List[Result]:
        """The replays that did not run to their statistics."""
        return [r for r in self.results if not r["ok"]]


def _span(days: Sequence[DayFile]) -> str:
    first, last = days[0].trading_day, days[-1].trading_day
    return "%s" % first if first == last else "%s-%s" % (first, last)


def walk_forward(files: Iterable[_PathArg], strategy: _PathArg, grid: Mapping[str, Sequence[str]],
                 out_dir: _PathArg, train: int, test: int, key: str = "sharpe",
                 fixed: Optional[Mapping[str, Any]] = None, scenario: Optional[_PathArg] = None,
                 scheduler: Optional[str] = None, workers: Optional[int] = None,
                 progress: bool = True, log: Callable[[str], Any] = print, strict: bool = False,
                 sample: Optional[int] = None, seed: int = 1,
                 resume: bool = False, risk: Optional[_PathArg] = None,
                 html: bool = True) -> WalkForward:
    """Walks the grid (or `sample` combinations of it drawn with `seed`) forward over the day
    files, TRAIN:TEST trading days a window, choosing by `key`; writes each window's train table
    (windows/NN/train.csv), walk_forward.csv and walk_forward_stats.json into out_dir, and each
    replay's files under windows/ (with its page when `html`). `resume` keeps the replays
    finished before, as sweep does; `risk` names the limits file of every replay (replay
    --risk)."""
    if key not in COLUMNS:
        raise ParameterError("--sort takes one of %s" % ", ".join(COLUMNS))
    combos = combinations(grid, sample, seed)
    out_dir = os.path.abspath(out_dir)
    setup = Setup(files, strategy, fixed, scenario, strict, risk)
    ordered_days = day_files(setup.files)
    plan = windows(ordered_days, train, test)
    width = len(str(len(plan)))
    folders = [os.path.join(out_dir, "windows", "%0*d" % (width, w.number)) for w in plan]
    tasks = [setup.task(params, os.path.join(folder, "train", label(params)),
                        [d.path for d in w.train])
             for w, folder in zip(plan, folders) for params in combos]
    results_of: List[List[Optional[Result]]] = [[None] * len(combos) for _ in plan]
    left = [len(combos)] * len(plan)

    def then(n: int, result: Result) -> List[Task]:
        if n >= len(tasks):
            return []   # a test
        w, c = divmod(n, len(combos))
        results_of[w][c] = result
        left[w] -= 1
        if left[w]:
            return []
        best = choose(cast(List[Result], results_of[w]), key)
        return [] if best is None else [setup.task(best["params"],
                                                   os.path.join(folders[w], "test"),
                                                   [d.path for d in plan[w].test])]
    if not resume:
        forget(os.path.join(folder, "test") for folder in folders)
    results = execute(
        tasks, out_dir, "Walking forward %d:%d over %d trading days, %d windows: %d train "
        "replays (%d combination%s a window) and %d tests," % (
            train, test, len(ordered_days), len(plan), len(tasks), len(combos),
            "" if len(combos) == 1 else "s", len(plan)),
        then=then, expected=len(tasks) + len(plan), scheduler=scheduler, workers=workers,
        progress=progress, log=log, resume=resume, html=html)
    tests = {r["out"]: r for r in results[len(tasks):]}
    outcomes = []
    for w, folder in zip(plan, folders):
        trained = results[(w.number - 1) * len(combos):w.number * len(combos)]
        outcomes.append(WindowOutcome(w, trained, choose(trained, key),
                                      tests.get(os.path.join(folder, "test"))))
        write_csv(os.path.join(folder, "train.csv"), ordered(trained, key), list(grid))
    done = WalkForward(list(grid), key, outcomes, stitch(outcomes, scenario), results)
    done.files["walk_forward.csv"] = write_windows(os.path.join(out_dir, "walk_forward.csv"),
                                                   done)
    if done.stitched is not None:
        done.files["walk_forward_stats.json"] = statistics.write_json(
            os.path.join(out_dir, "walk_forward_stats.json"), done.stitched)
    return done


def _fills(path: str) -> List[statistics.Fill]:
    with open(path, newline="") as source:
        return [statistics.Fill(row["TradingDay"], row["TradeTime"], row["InstrumentID"],
                                row["Direction"], row["Offset"], float(row["Price"]),
                                int(row["Volume"]), row["TradeDate"])
                for row in csv.DictReader(source)]


def stitch(outcomes: Sequence[WindowOutcome], scenario: Optional[_PathArg] = None
           ) -> Optional["typing.OrderedDict[str, Any]"]:
    """The statistics of the windows' tests chained into one run (see the module's description),
    from each test's statistics, days.csv and trades.csv; the instruments' multipliers are the
    scenario's (default: the built-in ones). None when no window has a test result."""
    results = [cast(Result, o.test) for o in outcomes if o.error is None]
    if not results:
        return None
    terms = Terms(scenario)
    capital = cast(Dict[str, Any], results[0]["stats"])["initial_capital"]
    balance = capital
    days: List[statistics.Day] = []
    fills: List[statistics.Fill] = []
    trips: List[float] = []
    multipliers: Dict[str, float] = {}
    for result in results:
        test = cast(Dict[str, Any], result["stats"])
        with open(os.path.join(result["out"], "days.csv"), newline="") as source:
            fees = {row["TradingDay"]: float(row["Fees"]) for row in csv.DictReader(source)}
        tested = list(test["daily_profit"].items())
        for n, (day, profit) in enumerate(tested):
            balance += profit
            # days.csv rounds each day's fees to the cent; the last day has the window's rest.
            paid = fees[day] if n < len(tested) - 1 else test["fees"] - sum(
                fees[d] for d, _ in tested[:-1])
            days.append(statistics.Day(day, balance, paid))
        window = _fills(os.path.join(result["out"], "trades.csv"))
        for fill in window:
            if fill.instrument not in multipliers:
                multipliers[fill.instrument] = terms.of(fill.instrument).multiplier
        trips += statistics.round_trips(window, multipliers)
        fills += window
    return statistics.compute(days, fills, multipliers, capital, trips=trips)


def _cell(value: Any) -> str:
    if value is None:
        return "n/a"
    if isinstance(value, float):
        return "%.4f" % value if abs(value) < 10 else "%.2f" % value
    return str(value)


def table(done: WalkForward) -> str:
    """The windows as printed: their days, the choice, its train value and its test's figures."""
    header = ["window", "train", "test"] + done.names + ["train " + done.key] + _SHOWN
    rows: List[List[str]] = []
    for o in done.outcomes:
        row = [str(o.window.number), _span(o.window.train), _span(o.window.test)]
        if o.choice is None:
            rows.append(row + ["FAILED: %s" % o.error])
            continue
        row += [o.choice["params"][n] for n in done.names]
        row.append(_cell(cast(Dict[str, Any], o.choice["stats"]).get(done.key)))
        if o.error is None:
            row += [_cell(cast(Dict[str, Any], cast(Result, o.test)["stats"]).get(c))
                    for c in _SHOWN]
        else:
            row.append("FAILED: %s" % o.error)
        rows.append(row)
    widths = [max([len(h)] + [len(r[i]) for r in rows if i < len(r) and not
                              r[i].startswith("FAILED")]) for i, h in enumerate(header)]
    lines = ["  ".join(h.rjust(w) for h, w in zip(header, widths))]
    for row in rows:
        lines.append("  ".join(c if c.startswith("FAILED") else c.rjust(w)
                               for c, w in zip(row, widths + [0])))
    return "\n".join(lines)


def write_windows(path: str, done: WalkForward) -> str:
    """walk_forward.csv: a row per window (its days, the choice, its train value, its test's
    statistics, why it has none), then the stitched statistics as a row "stitched"."""
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["window", "train_from", "train_to", "test_from", "test_to"] + done.names
                        + ["train_" + done.key] + COLUMNS + ["error", "out"])
        for o in done.outcomes:
            w = o.window
            chosen = o.choice["params"] if o.choice is not None else {}
            value = (o.choice["stats"] or {}).get(done.key) if o.choice is not None else None
            tested = (o.test or {}).get("stats") or {} if o.error is None else {}
            writer.writerow([w.number, w.train[0].trading_day, w.train[-1].trading_day,
                             w.test[0].trading_day, w.test[-1].trading_day]
                            + [chosen.get(n, "") for n in done.names]
                            + ["" if value is None else value]
                            + ["" if tested.get(c) is None else tested[c] for c in COLUMNS]
                            + [o.error or "", (o.test or {}).get("out", "")])
        if done.stitched is not None:
            stitched = done.stitched
            tested_days = list(stitched["daily_profit"])
            writer.writerow(["stitched", "", "", tested_days[0], tested_days[-1]]
                            + [""] * len(done.names) + [""]
                            + ["" if stitched.get(c) is None else stitched[c] for c in COLUMNS]
                            + ["", ""])
    return path
