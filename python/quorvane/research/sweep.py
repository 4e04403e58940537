"""Parameter sweeps: every combination of a grid of strategy parameters replayed in a process of its
own (the runtime and its exchange are one world per process), in parallel on Dask's distributed
scheduler: a local cluster of one worker process per core by default, started and stopped here, or
an existing cluster by address (the project importable and the tick files readable on its
workers). A combination runs exactly the command `python3 -m quorvane replay` would run for it
alone, so its result is the same; one that fails is reported with its error and the others go on.
"""
import csv
import itertools
import json
import os
import pathlib
import subprocess
import sys
import time
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple
from typing import TypedDict, TypeVar, Union, cast

from ..errors import ParameterError
from .progress import progress_bar


__all__ = ["parse_grid", "combinations", "run_combination", "sweep", "table", "write_csv",
           "plot_heatmap", "COLUMNS"]

# The statistics shown in the results table, after the parameters.
COLUMNS = ["net_profit", "total_return", "sharpe", "max_drawdown", "max_drawdown_pct", "win_rate",
           "profit_factor", "round_trips", "trades", "fees"]
# Sorting keys for which smaller is better.
_ASCENDING = {"max_drawdown", "max_drawdown_pct", "fees"}
# The folder that holds this package, so that a worker's interpreter imports this same copy.
_IMPORT_ROOT = str(pathlib.Path(__file__).resolve().parents[2])

_PathArg = Union[str, "os.PathLike[str]"]
_Path = TypeVar("_Path", bound=_PathArg)


class Result(TypedDict, total=False):
    """The outcome of one combination, as run_combination returns it."""

    params: Mapping[str, str]
    ok: bool
    stats: Optional[Dict[str, Any]]
    error: Optional[str]
    out: str
    seconds: float


# The arguments of run_combination for one combination: (files, strategy, params, fixed,
# scenario, out_dir, strict).
_Task = Tuple[List[_PathArg], str, Dict[str, str], Dict[str, Any], Optional[str], str, bool]


def parse_grid(options: Iterable[str]) -> Dict[str, List[str]]:
    """{"fast": ["3", "5", "8"], ...} from ["fast=3,5,8", ...], in the order given; values stay
    text (the replay converts them as it converts --param)."""
    grid: Dict[str, List[str]] = {}
    for option in options:
        name, sep, values = option.partition("=")
        name = name.strip()
        items = [v.strip() for v in values.split(",")]
        if not sep or not name.isidentifier() or not all(items):
            raise ParameterError("a grid is NAME=V1,V2,...; not %r" % option)
        if name in grid:
            raise ParameterError("parameter %s is given twice" % name)
        grid[name] = items
    if not grid:
        raise ParameterError("a sweep needs at least one --grid NAME=V1,V2,...")
    return grid


def combinations(grid: Mapping[str, Sequence[str]]) -> List[Dict[str, str]]:
    """Every combination, as dicts in grid order (the last parameter varies fastest)."""
    names = list(grid)
    return [dict(zip(names, values)) for values in itertools.product(*grid.values())]


def _label(params: Mapping[str, Any]) -> str:
    return ",".join("%s=%s" % kv for kv in params.items())


def run_combination(files: Sequence[_PathArg], strategy: str, params: Mapping[str, str],
                    fixed: Mapping[str, Any], scenario: Optional[str], out_dir: str,
                    strict: bool = False, timeout: float = 3600.0) -> Result:
    """Replays one combination in a new interpreter; returns {"params", "ok", "stats", "error",
    "seconds", "out"}. Runs on a Dask worker, so it never raises."""
    started = time.monotonic()
    result: Result = {"params": params, "ok": False, "stats": None, "error": None, "out": out_dir}
    command = [sys.executable, "-m", "quorvane", "replay", *files, "--strategy", strategy,
               "--out", out_dir, "--no-progress", "--no-pictures"]
    for name, value in list(fixed.items()) + list(params.items()):
        command += ["--param", "%s=%s" % (name, value)]
    if scenario:
        command += ["--scenario", scenario]
    if strict:
        command.append("--strict")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (_IMPORT_ROOT, env.get("PYTHONPATH")) if p)
    try:
        os.makedirs(out_dir, exist_ok=True)
        done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=timeout,
                              cwd=out_dir)
        with open(os.path.join(out_dir, "output.txt"), "w") as log:
            log.write(done.stdout)
            log.write(done.stderr)
        stats_path = os.path.join(out_dir, "stats.json")
        if done.returncode != 0 or not os.path.exists(stats_path):
            lines = [line for line in (done.stderr or done.stdout).strip().splitlines() if line]
            result["error"] = (lines[-1] if lines else "exit status %d" % done.returncode)
        else:
            with open(stats_path) as source:
                result["stats"] = json.load(source)
            result["ok"] = True
    except subprocess.TimeoutExpired:
        result["error"] = "did not finish in %.0f s" % timeout
    except OSError as error:
        result["error"] = str(error)
    result["seconds"] = time.monotonic() - started
    return result


def sweep(files: Iterable[_PathArg], strategy: _PathArg, grid: Mapping[str, Sequence[str]],
          out_dir: _PathArg, fixed: Optional[Mapping[str, Any]] = None,
          scenario: Optional[_PathArg] = None, scheduler: Optional[str] = None,
          workers: Optional[int] = None, progress: bool = True,
          log: Callable[[str], Any] = print, strict: bool = False) -> List[Result]:
    """Runs every combination of the grid; returns the results in grid order. `strict` refuses
    tick files that loading would normalise, as `replay --strict` does."""
    combos = combinations(grid)
    out_dir = os.path.abspath(out_dir)
    files = [os.path.abspath(f) for f in files]
    strategy = _absolute_strategy(strategy)
    scenario = os.path.abspath(scenario) if scenario else None
    tasks = [(files, strategy, params, dict(fixed or {}), scenario,
              os.path.join(out_dir, "runs", _label(params)), strict) for params in combos]
    bar = progress_bar(len(tasks), progress, "run", "sweep")
    results = cast(List[Result], [None] * len(tasks))   # each filled in by its combination
    try:
        try:
            import distributed
        except ImportError:
            distributed = None
        if distributed is None:
            if scheduler:
                raise RuntimeError("--scheduler needs Dask's distributed scheduler: install "
                                   "python3-distributed")
            count = workers or os.cpu_count() or 1
            log("Dask's distributed scheduler is not installed (python3-distributed): running %d "
                "combinations on this machine, %d at a time." % (len(tasks), count))
            _run_threads(tasks, results, count, bar)
        else:
            _run_dask(distributed, tasks, results, scheduler, workers, bar, log)
    finally:
        if bar is not None:
            bar.close()
    return results


def _absolute_strategy(location: _PathArg) -> str:
    path, sep, name = str(location).partition(":")
    return os.path.abspath(path) + (sep + name if sep else "")


def _run_threads(tasks: Sequence[_Task], results: List[Result], count: int, bar: Any) -> None:
    from concurrent.futures import ThreadPoolExecutor, as_completed
    with ThreadPoolExecutor(max_workers=count) as pool:
        futures = {pool.submit(run_combination, *task): n for n, task in enumerate(tasks)}
        for future in as_completed(futures):
            results[futures[future]] = future.result()
            if bar is not None:
                bar.update(1)


def _run_dask(distributed: Any, tasks: Sequence[_Task], results: List[Result],
              scheduler: Optional[str], workers: Optional[int], bar: Any,
              log: Callable[[str], Any]) -> None:
    cluster = None
    if scheduler:
        client = distributed.Client(scheduler)
        log("Sweeping %d combinations on the Dask cluster at %s (%d workers)." % (
            len(tasks), scheduler, len(client.scheduler_info().get("workers", {}))))
    else:
        count = workers or os.cpu_count() or 1
        cluster = distributed.LocalCluster(n_workers=count, threads_per_worker=1, processes=True,
                                           dashboard_address=":0", silence_logs=40)
        client = distributed.Client(cluster)
        log("Sweeping %d combinations on a local Dask cluster of %d worker process%s." % (
            len(tasks), count, "" if count == 1 else "es"))
    try:
        futures = [client.submit(run_combination, *task, pure=False, key="combination-%d-%s" % (
            n, _label(task[2]))) for n, task in enumerate(tasks)]
        index = {future.key: n for n, future in enumerate(futures)}
        for future in distributed.as_completed(futures):
            n = index[future.key]
            try:
                results[n] = future.result()
            except Exception as error:   # a worker lost: report it as this combination's error
                results[n] = {"params": tasks[n][2], "ok": False, "stats": None,
                              "error": "%s: %s" % (type(error).__name__, error),
                              "out": tasks[n][5], "seconds": 0.0}
            if bar is not None:
                bar.update(1)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def _sort_key(result: Result, key: str) -> Tuple[int, float]:
    value = (result["stats"] or {}).get(key)
    if not result["ok"] or value is None:
        return (1, 0.0)
    return (0, value if key in _ASCENDING else -value)


def ordered(results: Iterable[Result], key: str) -> List[Result]:
    """Successful combinations best first by `key`, then the failed ones, each in grid order."""
    if key not in COLUMNS:
        raise ValueError("--sort takes one of %s" % ", ".join(COLUMNS))
    return sorted(results, key=lambda r: _sort_key(r, key))


def _cell(value: Any) -> str:
    if value is None:
        return "n/a"
    if isinstance(value, float):
        return "%.4f" % value if abs(value) < 10 else "%.2f" % value
    return str(value)


def table(results: Iterable[Result], names: Sequence[str]) -> str:
    """The results table as printed; a failed combination shows its error after its parameters."""
    header = list(names) + COLUMNS
    rows = [([r["params"][n] for n in names], r) for r in results]
    widths = [len(h) for h in header]
    # A combination that ran has its stats; a row has no more cells than the header (the
    # fill value is never a width).
    for params, r in rows:
        cells = params + ([_cell(cast(Dict[str, Any], r["stats"]).get(c)) for c in COLUMNS]
                          if r["ok"] else [])
        widths = [max(cast(int, w), len(c))
                  for w, c in itertools.zip_longest(widths, cells, fillvalue="")]
    lines = ["  ".join(h.rjust(w) for h, w in zip(header, widths))]
    for params, r in rows:
        cells = [c.rjust(w) for c, w in zip(params, widths)]
        if r["ok"]:
            cells += [_cell(cast(Dict[str, Any], r["stats"]).get(c)).rjust(w)
                      for c, w in zip(COLUMNS, widths[len(params):])]
        else:
            cells.append("FAILED: %s" % r["error"])
        lines.append("  ".join(cells))
    return "\n".join(lines)


def write_csv(path: _Path, results: Iterable[Result], names: Sequence[str]) -> _Path:
    """sweep.csv: one row per combination, its parameters, its statistics, its error and folder."""
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(list(names) + COLUMNS + ["error", "out"])
        for r in results:
            stats = r["stats"] or {}
            writer.writerow([r["params"][n] for n in names]
                            + ["" if stats.get(c) is None else stats[c] for c in COLUMNS]
                            + [r["error"] or "", r["out"]])
    return path


def plot_heatmap(path: _Path, results: Iterable[Result], grid: Mapping[str, Sequence[str]],
                 key: str, log: Callable[[str], Any] = print) -> Optional[_Path]:
    """A heat map of `key` over a grid of two parameters (failed combinations blank); None and a
    one-line note when matplotlib is missing."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        log("matplotlib is not installed: no heat map.")
        return None
    (x_name, xs), (y_name, ys) = list(grid.items())
    values = [[float("nan")] * len(xs) for _ in ys]
    for r in results:
        value = (r["stats"] or {}).get(key)
        if r["ok"] and value is not None:
            values[ys.index(r["params"][y_name])][xs.index(r["params"][x_name])] = value
    figure, axes = plt.subplots(figsize=(1.2 * len(xs) + 3, 0.8 * len(ys) + 2), dpi=100)
    image = axes.imshow(values, cmap="RdYlGn", aspect="auto", origin="lower")
    axes.set_xticks(range(len(xs)))
    axes.set_xticklabels(xs)
    axes.set_yticks(range(len(ys)))
    axes.set_yticklabels(ys)
    axes.set_xlabel(x_name)
    axes.set_ylabel(y_name)
    for j, row in enumerate(values):
        for i, value in enumerate(row):
            axes.text(i, j, "failed" if value != value else _cell(value), ha="center",
                      va="center", fontsize=8)
    figure.colorbar(image, ax=axes, label=key)
    axes.set_title("%s by %s and %s" % (key, x_name, y_name))
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)
    return path
