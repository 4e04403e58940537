"""Parameter sweeps: every combination of a grid of strategy parameters replayed in a process of its
own (the runtime and its exchange are one world per process), in parallel on Dask's distributed
scheduler: a local cluster of one worker process per core by default, started and stopped here, or
an existing cluster by address (the project importable and the tick files readable on its
workers). A combination runs exactly the command `python3 -m quorvane replay` would run for it
alone, so its result is the same; one that fails is reported with its error and the others go on.

A replay that ended by itself records its result in its folder (result.json, renamed into place
once written whole), with what it replayed (the files' paths, sizes and times, the strategy, the
scenario and the parameters): a sweep resumed after Ctrl-C, a lost worker or a lost scheduler
replays only the combinations without such a result for the same inputs. A worker lost
mid-replay has the scheduler run its task again elsewhere, from the start, into the same folder.
"""
import csv
import ctypes
import itertools
import json
import os
import pathlib
import signal
import subprocess
import sys
import time
import uuid
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple
from typing import TypedDict, TypeVar, Union, cast

from .grids import combinations, parse_grid
from .progress import progress_bar


__all__ = ["parse_grid", "combinations", "run_combination", "finished", "sweep", "execute",
           "Setup", "ordered", "cell_text", "table", "write_csv", "plot_heatmap", "COLUMNS",
           "ASCENDING", "RESULT_FILE"]

# The statistics shown in the results table, after the parameters.
COLUMNS = ["net_profit", "total_return", "sharpe", "max_drawdown", "max_drawdown_pct", "win_rate",
           "profit_factor", "round_trips", "trades", "fees"]
# Sorting keys for which smaller is better.
ASCENDING = {"max_drawdown", "max_drawdown_pct", "fees"}
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


# The arguments of run_combination for one replay: (files, strategy, params, fixed,
# scenario, out_dir, strict, risk file).
Task = Tuple[List[_PathArg], str, Dict[str, str], Dict[str, Any], Optional[str], str, bool,
             Optional[str]]


def label(params: Mapping[str, Any]) -> str:
    """A combination's name, NAME=VALUE,...: its folder under runs/."""
    return ",".join("%s=%s" % kv for kv in params.items())


# The file holding a combination's finished result, in its folder; written whole or not at all.
RESULT_FILE = "result.json"
# Exit statuses of a replay that ended by itself: its result is the combination's, run again or
# not. Anything else (Ctrl-C, a signal, a time limit) leaves the combination unfinished.
_FINISHED_STATUSES = (0, 1)


def _file_stamp(path: Optional[str]) -> Optional[List[Any]]:
    """[path, size, modification time] of an input file, so that a result replayed from other
    bytes is never taken for this one's."""
    if path is None:
        return None
    try:
        status = os.stat(path)
    except OSError:
        return [path, None, None]
    return [path, status.st_size, status.st_mtime_ns]


def _inputs(task: Task) -> Dict[str, Any]:
    """What a combination's replay depends on, as JSON values."""
    files, strategy, params, fixed, scenario, _, strict, risk = task
    inputs = {"files": [_file_stamp(str(f)) for f in files],
              "strategy": [strategy, _file_stamp(strategy.partition(":")[0])],
              "params": params, "fixed": fixed, "scenario": _file_stamp(scenario),
              "strict": strict}
    if risk is not None:
        inputs["risk"] = _file_stamp(risk)
    return json.loads(json.dumps(inputs))


def _write_atomically(path: str, text: str) -> None:
    """Writes the file under a name of its own, then renames it into place: a reader sees the
    whole file or none."""
    temporary = "%s.%d.%s.tmp" % (path, os.getpid(), uuid.uuid4().hex[:8])
    with open(temporary, "w") as out:
        out.write(text)
        out.flush()
        os.fsync(out.fileno())
    os.replace(temporary, path)


def finished(task: Task) -> Optional[Result]:
    """The result a combination's replay recorded when it finished with these same inputs (the
    same files, strategy, scenario and parameters); None when it has none."""
    try:
        with open(os.path.join(task[5], RESULT_FILE)) as source:
            kept = json.load(source)
    except (OSError, ValueError):
        return None
    if not isinstance(kept, dict) or kept.get("inputs") != _inputs(task):
        return None
    return cast(Result, kept["result"])


def forget(folders: Iterable[str]) -> None:
    """Removes the finished results kept in these folders."""
    for folder in folders:
        try:
            os.remove(os.path.join(folder, RESULT_FILE))
        except FileNotFoundError:
            pass


def _die_with_parent() -> None:
    """In a replay's process before it starts (Linux): a signal to end it when the worker that
    started it dies, so that a lost worker leaves no replay writing into the combination's folder
    while it is run again elsewhere."""
    if _prctl is not None:
        _prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


_PR_SET_PDEATHSIG = 1
_prctl: Optional[Callable[..., int]] = None
if sys.platform.startswith("linux"):
    try:
        _prctl = ctypes.CDLL(None, use_errno=True).prctl
    except (OSError, AttributeError):
        pass


def run_combination(files: Sequence[_PathArg], strategy: str, params: Mapping[str, str],
                    fixed: Mapping[str, Any], scenario: Optional[str], out_dir: str,
                    strict: bool = False, risk: Optional[str] = None,
                    timeout: float = 3600.0, html: bool = True) -> Result:
    """Replays one combination in a new interpreter; returns {"params", "ok", "stats", "error",
    "seconds", "out"}. A replay that ended by itself (with its statistics, or with its error)
    leaves its result in out_dir/result.json, which finished() reads. `html`: the replay writes
    its page, report.html (which changes no result). Runs on a Dask worker, so it never
    raises."""
    started = time.monotonic()
    task: Task = (list(files), strategy, dict(params), dict(fixed), scenario, out_dir, strict,
                  risk)
    result: Result = {"params": params, "ok": False, "stats": None, "error": None, "out": out_dir}
    command = [sys.executable, "-m", "quorvane", "replay", *files, "--strategy", strategy,
               "--out", out_dir, "--no-progress", "--no-pictures"]
    for name, value in list(fixed.items()) + list(params.items()):
        command += ["--param", "%s=%s" % (name, value)]
    if scenario:
        command += ["--scenario", scenario]
    if strict:
        command.append("--strict")
    if risk:
        command += ["--risk", risk]
    if not html:
        command.append("--no-html")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (_IMPORT_ROOT, env.get("PYTHONPATH")) if p)
    # The replay runs in its own folder: a library named relative to where the worker started
    # is found from there.
    for name in ("QUORVANE_LIB", "QUORVANE_SIM_LIB"):
        if env.get(name):
            env[name] = os.path.abspath(env[name])
    try:
        os.makedirs(out_dir, exist_ok=True)
        kept = os.path.join(out_dir, RESULT_FILE)
        if os.path.exists(kept):
            os.remove(kept)
        done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=timeout,
                              cwd=out_dir, preexec_fn=_die_with_parent if _prctl else None)
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
        result["seconds"] = time.monotonic() - started
        if done.returncode in _FINISHED_STATUSES:
            _write_atomically(kept, json.dumps({"inputs": _inputs(task), "result": result},
                                               indent=1) + "\n")
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
          log: Callable[[str], Any] = print, strict: bool = False,
          sample: Optional[int] = None, seed: int = 1, resume: bool = False,
          risk: Optional[_PathArg] = None, html: bool = True) -> List[Result]:
    """Runs every combination of the grid, or `sample` of them drawn with `seed`
    (grids.combinations); returns the results in grid order. `strict` refuses tick files that
    loading would normalise, as `replay --strict` does. `resume` replays only the combinations
    without a finished result in out_dir from an earlier sweep of the same inputs; without it,
    earlier results there are forgotten and every combination is replayed. `risk` names the
    limits file of every replay's pre-trade check (replay --risk). `html`: each replay writes
    its page."""
    combos = combinations(grid, sample, seed)
    out_dir = os.path.abspath(out_dir)
    setup = Setup(files, strategy, fixed, scenario, strict, risk)
    tasks = [setup.task(params, os.path.join(out_dir, "runs", label(params))) for params in combos]
    return execute(tasks, out_dir, "Sweeping %d combinations" % len(tasks), scheduler=scheduler,
                   workers=workers, progress=progress, log=log, resume=resume, html=html)


class Setup:
    """What every replay of a sweep shares: the tick files, the strategy, the fixed parameters,
    the scenario, strictness and the risk limits file, with absolute paths as the workers read
    them. A risk file it cannot take is refused here, before any replay."""

    def __init__(self, files: Iterable[_PathArg], strategy: _PathArg,
                 fixed: Optional[Mapping[str, Any]] = None, scenario: Optional[_PathArg] = None,
                 strict: bool = False, risk: Optional[_PathArg] = None) -> None:
        self.files: List[_PathArg] = [os.path.abspath(f) for f in files]
        self.strategy = _absolute_strategy(strategy)
        self.fixed = dict(fixed or {})
        self.scenario = os.path.abspath(scenario) if scenario else None
        self.strict = strict
        self.risk = os.path.abspath(risk) if risk else None
        if self.risk is not None:
            from ..trading.risk_limits import RiskLimits
            RiskLimits(self.risk)

    def task(self, params: Mapping[str, str], out_dir: str,
             files: Optional[Sequence[_PathArg]] = None) -> Task:
        """The replay of `params` on these files (default: all of them) into out_dir."""
        return (list(self.files if files is None else files), self.strategy, dict(params),
                dict(self.fixed), self.scenario, out_dir, self.strict, self.risk)


def _absolute_strategy(location: _PathArg) -> str:
    path, sep, name = str(location).partition(":")
    return os.path.abspath(path) + (sep + name if sep else "")


# Called with a task's index and result once it has one; returns the tasks that can run now.
_Then = Callable[[int, Result], Sequence[Task]]


class _Tasks:
    """The replays of a run, those known from the start and those added as results arrive, with
    their results. A task with a finished result (when resuming) is done without running."""

    def __init__(self, then: Optional[_Then], resume: bool, bar: Any, html: bool = True) -> None:
        self.tasks: List[Task] = []
        self.results: List[Optional[Result]] = []
        self.then, self.resume, self.bar, self.html = then, resume, bar, html
        self.reused = 0

    def add(self, tasks: Sequence[Task]) -> List[int]:
        """Adds tasks; returns the indexes of those to run (also those that the finished results
        of the others made possible)."""
        runnable: List[int] = []
        for task in tasks:
            n = len(self.tasks)
            self.tasks.append(task)
            self.results.append(None)
            kept = finished(task) if self.resume else None
            if kept is None:
                runnable.append(n)
            else:
                self.reused += 1
                runnable += self.done(n, kept)
        return runnable

    def done(self, n: int, result: Result) -> List[int]:
        """Records a task's result; returns the indexes of the tasks it made possible to run."""
        self.results[n] = result
        if self.bar is not None:
            self.bar.update(1)
        return self.add(self.then(n, result)) if self.then is not None else []


def execute(tasks: Sequence[Task], out_dir: str, what: str, then: Optional[_Then] = None,
            expected: Optional[int] = None, scheduler: Optional[str] = None,
            workers: Optional[int] = None, progress: bool = True,
            log: Callable[[str], Any] = print, resume: bool = False,
            html: bool = True) -> List[Result]:
    """Runs the tasks, and those `then` adds as results arrive, on Dask (or threads without it);
    returns every result, in the order the tasks were added. `what` begins the line saying where
    they run; `expected` is how many tasks there will be in all, for the progress bar; `html`:
    each replay writes its page."""
    if not resume:
        forget(task[5] for task in tasks)
    bar = progress_bar(expected or len(tasks), progress, "run", "sweep")
    plan = _Tasks(then, resume, bar, html)
    try:
        runnable = plan.add(tasks)
        if resume:
            log("Resuming the sweep in %s: %d replay%s had finished; replaying %d%s." % (
                out_dir, plan.reused, "" if plan.reused == 1 else "s", len(runnable),
                " and the tests they choose" if then is not None and len(plan.tasks) < (
                    expected or 0) else ""))
        if runnable:
            try:
                import distributed
            except ImportError:
                distributed = None
            if distributed is None:
                if scheduler:
                    raise RuntimeError("--scheduler needs Dask's distributed scheduler: install "
                                       "python3-distributed")
                count = workers or os.cpu_count() or 1
                log("Dask's distributed scheduler is not installed (python3-distributed): "
                    "running the replays on this machine, %d at a time." % count)
                _run_threads(plan, runnable, count)
            else:
                _run_dask(distributed, plan, runnable, what, scheduler, workers, log)
    finally:
        if bar is not None:
            bar.close()
    # Every task added was run or reused, so each has its result.
    return cast(List[Result], plan.results)


def _lost(task: Task, error: BaseException) -> Result:
    """The result of a task whose worker or scheduler was lost: an error, never recorded."""
    return {"params": task[2], "ok": False, "stats": None, "error": "%s: %s" % (
        type(error).__name__, error), "out": task[5], "seconds": 0.0}


def _run_threads(plan: _Tasks, runnable: List[int], count: int) -> None:
    from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
    with ThreadPoolExecutor(max_workers=count) as pool:
        running: Dict["Future[Result]", int] = {}

        def start(indexes: Iterable[int]) -> None:
            for n in indexes:
                running[pool.submit(run_combination, *plan.tasks[n], html=plan.html)] = n
        start(runnable)
        while running:
            ended, _ = wait(list(running), return_when=FIRST_COMPLETED)
            for future in ended:
                start(plan.done(running.pop(future), future.result()))


def _run_dask(distributed: Any, plan: _Tasks, runnable: List[int], what: str,
              scheduler: Optional[str], workers: Optional[int],
              log: Callable[[str], Any]) -> None:
    cluster = None
    if scheduler:
        client = distributed.Client(scheduler)
        log("%s on the Dask cluster at %s (%d workers)." % (
            what, scheduler, len(client.scheduler_info().get("workers", {}))))
    else:
        count = workers or os.cpu_count() or 1
        cluster = distributed.LocalCluster(n_workers=count, threads_per_worker=1, processes=True,
                                           dashboard_address=":0", silence_logs=40)
        client = distributed.Client(cluster)
        log("%s on a local Dask cluster of %d worker process%s." % (
            what, count, "" if count == 1 else "es"))
    # Keys of this run's own: another client's sweep on the same scheduler never shares a task.
    run = uuid.uuid4().hex[:8]
    index: Dict[str, int] = {}

    def submit(n: int) -> Any:
        # A worker lost mid-replay has the scheduler run the task again on another worker (up to
        # distributed.scheduler.allowed-failures times); the replay it started dies with it.
        key = "replay-%s-%d-%s" % (run, n, label(plan.tasks[n][2]))
        index[key] = n
        return client.submit(run_combination, *plan.tasks[n], html=plan.html, pure=False,
                             key=key)
    try:
        pending = distributed.as_completed([submit(n) for n in runnable])
        for future in pending:
            n = index[future.key]
            try:
                result = future.result()
            except Exception as error:   # a worker lost too often, or the scheduler
                result = _lost(plan.tasks[n], error)
            for m in plan.done(n, result):
                pending.add(submit(m))
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

def _sort_key(result: Result, key: str) -> Tuple[int, float]:
    value = (result["stats"] or {}).get(key)
    if not result["ok"] or value is None:
        return (1, 0.0)
    return (0, value if key in ASCENDING else -value)


def ordered(results: Iterable[Result], key: str) -> List[Result]:
    """Successful combinations best first by `key`, then the failed ones, each in grid order."""
    if key not in COLUMNS:
        raise ValueError("--sort takes one of %s" % ", ".join(COLUMNS))
    return sorted(results, key=lambda r: _sort_key(r, key))


def cell_text(value: Any) -> str:
    """A statistic as the results table shows it."""
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
        cells = params + ([cell_text(cast(Dict[str, Any], r["stats"]).get(c)) for c in COLUMNS]
                          if r["ok"] else [])
        widths = [max(cast(int, w), len(c))
                  for w, c in itertools.zip_longest(widths, cells, fillvalue="")]
    lines = ["  ".join(h.rjust(w) for h, w in zip(header, widths))]
    for params, r in rows:
        cells = [c.rjust(w) for c, w in zip(params, widths)]
        if r["ok"]:
            cells += [cell_text(cast(Dict[str, Any], r["stats"]).get(c)).rjust(w)
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
    """A heat map of `key` over a grid of two parameters (a failed combination blank and marked
    "failed", one not drawn by --sample blank); None and a one-line note when matplotlib is
    missing."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        log("matplotlib is not installed: no heat map.")
        return None
    (x_name, xs), (y_name, ys) = list(grid.items())
    values = [[float("nan")] * len(xs) for _ in ys]
    notes = [[""] * len(xs) for _ in ys]    # a combination not drawn by --sample stays blank
    for r in results:
        value = (r["stats"] or {}).get(key)
        y, x = ys.index(r["params"][y_name]), xs.index(r["params"][x_name])
        if r["ok"] and value is not None:
            values[y][x] = value
            notes[y][x] = cell_text(value)
        else:
            notes[y][x] = "failed" if not r["ok"] else "n/a"
    figure, axes = plt.subplots(figsize=(1.2 * len(xs) + 3, 0.8 * len(ys) + 2), dpi=100)
    image = axes.imshow(values, cmap="RdYlGn", aspect="auto", origin="lower")
    axes.set_xticks(range(len(xs)))
    axes.set_xticklabels(xs)
    axes.set_yticks(range(len(ys)))
    axes.set_yticklabels(ys)
    axes.set_xlabel(x_name)
    axes.set_ylabel(y_name)
    for j, row in enumerate(notes):
        for i, note in enumerate(row):
            axes.text(i, j, note, ha="center", va="center", fontsize=8)
    figure.colorbar(image, ax=axes, label=key)
    axes.set_title("%s by %s and %s" % (key, x_name, y_name))
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)
    return path
