"""Parameter sweeps from the command line: every combination of the grids replayed in its own
process on a local Dask cluster, each with the statistics and trades that the same combination
gives replayed alone; failing combinations reported with their error while the others complete;
the results table, its CSV and the heat map; a machine without Dask's scheduler still sweeps;
grids given as ranges or drawn from; and a sweep killed, or losing a worker, mid-way ends with the
table of one never interrupted."""
import csv
import json
import os
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import re

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "python"))

from day_files import write_day  # noqa: E402
from quorvane import ParameterError, sweep  # noqa: E402

CROSSING = os.path.join(HERE, "strategies", "crossing.py")
SCENARIO = os.path.join(ROOT, "examples", "demo_scenario.json")
FAST, SLOW = ["2", "3", "4"], ["3", "6", "9", "12", "15"]


def cli_env(lib_path, pythonpath=None):
    return dict(os.environ, QUORVANE_LIB=lib_path,
                PYTHONPATH=os.pathsep.join(filter(None, [pythonpath,
                                                         os.path.join(ROOT, "python")])))


def run_cli(args, cwd, lib_path, pythonpath=None):
    return subprocess.run([sys.executable, "-m", "quorvane", *args, "--no-progress"],
                          env=cli_env(lib_path, pythonpath), cwd=str(cwd), timeout=600,
                          capture_output=True, text=True)


def sweep_args(ticks, out):
    """The sweep of the `swept` fixture, into `out`."""
    return ["sweep", str(ticks), "--strategy", CROSSING, "--scenario", SCENARIO,
            "--grid", "fast=" + ",".join(FAST), "--grid", "slow=" + ",".join(SLOW),
            "--sort", "net_profit", "--workers", "2", "--out", str(out)]


def printed_table(stdout):
    lines = stdout.splitlines()
    return lines[lines.index("By net_profit:") + 1:next(
        n for n, line in enumerate(lines) if line.startswith("Results:"))]


@pytest.fixture(scope="module")
def ticks(tmp_path_factory):
    path = tmp_path_factory.mktemp("sweep_ticks") / "day.csv"
    write_day(path, "20261207", ticks=120, seed=3)
    return path


@pytest.fixture(scope="module")
def swept(tmp_path_factory, ticks, lib_path):
    out = tmp_path_factory.mktemp("sweep")
    done = run_cli(sweep_args(ticks, out), out, lib_path)
    return out, done


class TestSweepOnALocalCluster:
    def test_every_combination_runs_and_the_failing_ones_are_reported(self, swept):
        out, done = swept
        assert done.returncode == 1, done.stdout + done.stderr
        assert "local Dask cluster of 2 worker processes" in done.stdout
        assert "Ran 15 combinations" in done.stdout and "13 completed, 2 failed" in done.stdout
        failed = [line for line in done.stdout.splitlines() if "FAILED" in line]
        assert sorted(line.split()[:2] for line in failed) == [["3", "3"], ["4", "3"]]
        assert all("must be shorter than slow" in line for line in failed)
        with open(out / "sweep.csv", newline="") as source:
            rows = list(csv.DictReader(source))
        assert len(rows) == 15
        profits = [float(r["net_profit"]) for r in rows if not r["error"]]
        assert profits == sorted(profits, reverse=True), "sorted best first"
        assert [r["error"] != "" for r in rows][-2:] == [True, True], "failures last"
        assert (out / "heatmap.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    def test_each_combination_equals_the_same_replay_run_alone(self, swept, ticks, lib_path,
                                                               tmp_path):
        out, _ = swept
        good = [(f, s) for f in FAST for s in SLOW if int(f) < int(s)]

        def alone(params):
            fast, slow = params
            folder = tmp_path / ("%s-%s" % params)
            done = run_cli(["replay", str(ticks), "--strategy", CROSSING, "--scenario", SCENARIO,
                            "--param", "fast=" + fast, "--param", "slow=" + slow, "--out",
                            str(folder), "--no-pictures"], tmp_path, lib_path)
            assert done.returncode == 0, done.stdout + done.stderr
            return folder

        with ThreadPoolExecutor(max_workers=2) as pool:
            folders = list(pool.map(alone, good))
        traded = 0
        for (fast, slow), folder in zip(good, folders):
            run = out / "runs" / ("fast=%s,slow=%s" % (fast, slow))
            assert json.loads((run / "stats.json").read_text()) == json.loads(
                (folder / "stats.json").read_text()), (fast, slow)
            assert (run / "trades.csv").read_bytes() == (folder / "trades.csv").read_bytes()
            traded += json.loads((folder / "stats.json").read_text())["trades"] > 0
        assert traded == len(good), "every combination traded, so the comparison means something"


class TestSweepArguments:
    @pytest.mark.parametrize("options, message", [
        (["fast"], "NAME=V1,V2"),
        (["fast=1,,2"], "NAME=V1,V2"),
        (["fast=1", "fast=2"], "given twice"),
        (["fast=1,2,1"], "fast=1,2,1: 1 given twice"),
        ([], "at least one"),
        (["fast=20..3"], "fast=20..3: an empty range"),
        (["k=0.5..2.0"], "k=0.5..2.0: a range of decimals needs its step"),
        (["k=0.5..2.0:0"], "k=0.5..2.0:0: the step must be above 0"),
        (["k=1..x"], "k=1..x: 'x' is not a number"),
        (["k=1..1e3"], "'1e3' is not a plain number"),
        (["fast=1..20000"], "fast=1..20000: 20000 values, more than the 10000"),
    ], ids=["no-values", "empty-value", "twice", "value-twice", "none", "empty-range",
            "decimal-without-step", "zero-step", "not-a-number", "exponent", "too-long"])
    def test_a_bad_grid_is_refused(self, options, message):
        with pytest.raises(ParameterError, match=re.escape(message)):
            sweep.parse_grid(options)

    def test_ranges_expand_with_inclusive_ends(self):
        grid = sweep.parse_grid(["fast=3..20", "slow=20..60:15", "k=0.5..2.0:0.25",
                                 "x=0.1..1.0:0.1", "y=-1..1:0.5"])
        assert grid["fast"] == [str(n) for n in range(3, 21)]
        assert grid["slow"] == ["20", "35", "50"], "the last step before the stop"
        assert grid["k"] == ["0.50", "0.75", "1.00", "1.25", "1.50", "1.75", "2.00"]
        assert grid["x"] == ["0.1", "0.2", "0.3", "0.4", "0.5", "0.6", "0.7", "0.8", "0.9",
                             "1.0"], "decimal steps do not drift"
        assert grid["y"] == ["-1.0", "-0.5", "0.0", "0.5", "1.0"]

    def test_a_draw_is_the_seeds_own_without_replacement(self):
        grid = sweep.parse_grid(["fast=1..100", "slow=1..100:3"])
        drawn = sweep.combinations(grid, sample=50, seed=7)
        assert drawn == sweep.combinations(grid, sample=50, seed=7)
        assert drawn != sweep.combinations(grid, sample=50, seed=8)
        assert len({tuple(c.items()) for c in drawn}) == 50
        everything = sweep.combinations(grid)
        assert [c for c in everything if c in drawn] == drawn, "in grid order, from the grid"
        small = sweep.parse_grid(["fast=2,3", "slow=6,9"])
        assert sweep.combinations(small, sample=10, seed=7) == sweep.combinations(small)

    def test_a_grid_too_large_is_replayed_only_as_a_draw(self, ticks, lib_path, tmp_path):
        done = run_cli(["sweep", str(ticks), "--strategy", CROSSING, "--grid", "fast=1..200",
                        "--grid", "slow=1..200", "--out", str(tmp_path / "out")], tmp_path,
                       lib_path)
        assert done.returncode == 1
        assert "40000 combinations, more than the 10000" in done.stderr
        assert "--sample N" in done.stderr
        done = run_cli(["sweep", str(ticks), "--strategy", CROSSING, "--grid", "fast=1..200",
                        "--grid", "slow=1..200", "--sample", "3", "--seed", "5",
                        "--sort", "net_profit", "--workers", "2", "--out", str(tmp_path / "out")],
                       tmp_path, lib_path)
        assert "Ran 3 combinations" in done.stdout, done.stdout + done.stderr
        drawn = sweep.combinations(sweep.parse_grid(["fast=1..200", "slow=1..200"]), 3, 5)
        rows = [line.split()[:2] for line in printed_table(done.stdout)[1:]]
        assert sorted(rows) == sorted([c["fast"], c["slow"]] for c in drawn)

    def test_without_dask_the_combinations_run_on_this_machine(self, ticks, lib_path, tmp_path):
        hidden = tmp_path / "hidden"
        (hidden / "distributed").mkdir(parents=True)
        (hidden / "distributed" / "__init__.py").write_text("raise ImportError('hidden')\n")
        done = run_cli(["sweep", str(ticks), "--strategy", CROSSING, "--grid", "fast=2",
                        "--grid", "slow=6,9", "--workers", "2", "--out", str(tmp_path / "out")],
                       tmp_path, lib_path, pythonpath=str(hidden))
        assert done.returncode == 0, done.stdout + done.stderr
        assert "scheduler is not installed" in done.stdout
        assert "2 completed, 0 failed" in done.stdout
        done = run_cli(["sweep", str(ticks), "--strategy", CROSSING, "--grid", "fast=2",
                        "--scheduler", "tcp://127.0.0.1:1", "--out", str(tmp_path / "out")],
                       tmp_path, lib_path, pythonpath=str(hidden))
        assert done.returncode == 1 and "install python3-distributed" in done.stderr

    def test_a_library_named_relative_to_the_command_is_found_by_every_replay(
            self, ticks, lib_path, tmp_path):
        # Each combination replays in its own folder, not where the command was started.
        here = os.path.dirname(os.path.dirname(lib_path))
        relative = os.path.relpath(lib_path, here)
        done = run_cli(["sweep", str(ticks), "--strategy", CROSSING, "--grid", "fast=2",
                        "--grid", "slow=6", "--workers", "1", "--out", str(tmp_path / "out")],
                       here, relative)
        assert done.returncode == 0, done.stdout + done.stderr
        assert "1 completed, 0 failed" in done.stdout


def result_files(out):
    return sorted((out / "runs").glob("*/result.json"))


def wait_for(condition, what, timeout=120.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.05)


class TestInterruptedSweeps:
    def test_killed_then_interrupted_then_resumed_ends_with_the_uninterrupted_table(
            self, swept, ticks, lib_path, tmp_path):
        _, whole = swept
        out = tmp_path / "out"
        command = [sys.executable, "-m", "quorvane", *sweep_args(ticks, out), "--no-progress"]
        first = subprocess.Popen(command, env=cli_env(lib_path), cwd=str(tmp_path),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        wait_for(lambda: len(result_files(out)) >= 3, "three results")
        first.send_signal(signal.SIGKILL)
        first.communicate()
        kept = {path: path.stat().st_mtime_ns for path in result_files(out)}
        assert 3 <= len(kept) < 15
        second = subprocess.Popen(command + ["--resume"], env=cli_env(lib_path),
                                  cwd=str(tmp_path), stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
        wait_for(lambda: len(result_files(out)) >= len(kept) + 2, "two more results")
        second.send_signal(signal.SIGINT)
        stdout, stderr = second.communicate(timeout=120)
        assert second.returncode == 130, stdout + stderr
        assert "--resume replays only the others" in stderr
        assert "%d replays had finished" % len(kept) in stdout
        for path, stamp in kept.items():
            assert path.stat().st_mtime_ns == stamp, "%s was replayed again" % path.parent.name
        done = run_cli(sweep_args(ticks, out) + ["--resume"], tmp_path, lib_path)
        assert done.returncode == 1, done.stdout + done.stderr   # the two failing combinations
        assert "Ran 15 combinations" in done.stdout
        assert printed_table(done.stdout) == printed_table(whole.stdout)

    def test_a_worker_lost_mid_replay_has_it_replayed_elsewhere(self, swept, ticks, lib_path,
                                                                tmp_path):
        _, whole = swept
        out = tmp_path / "out"
        running = subprocess.Popen(
            [sys.executable, "-m", "quorvane", *sweep_args(ticks, out), "--no-progress"],
            env=cli_env(lib_path), cwd=str(tmp_path), stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True)

        def a_replay():
            for entry in os.listdir("/proc"):
                try:
                    with open("/proc/%s/cmdline" % entry, "rb") as source:
                        words = source.read().split(b"\0")
                    with open("/proc/%s/stat" % entry) as source:
                        parent = int(source.read().rpartition(")")[2].split()[1])
                except (OSError, ValueError):
                    continue
                if b"replay" in words and str(out).encode() in b" ".join(words):
                    return parent
            return None
        wait_for(lambda: a_replay() is not None and len(result_files(out)) >= 2, "a replay")
        os.kill(a_replay(), signal.SIGKILL)    # the worker running it
        stdout, stderr = running.communicate(timeout=300)
        assert "Ran 15 combinations" in stdout, stdout + stderr
        assert printed_table(stdout) == printed_table(whole.stdout)
