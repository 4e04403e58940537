"""Parameter sweeps from the command line: every combination of the grids replayed in its own
process on a local Dask cluster, each with the statistics and trades that the same combination
gives replayed alone; failing combinations reported with their error while the others complete;
the results table, its CSV and the heat map; and a machine without Dask's scheduler still sweeps."""
import csv
import json
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "python"))

from day_files import write_day  # noqa: E402
from quorvane import sweep  # noqa: E402

CROSSING = os.path.join(HERE, "strategies", "crossing.py")
SCENARIO = os.path.join(ROOT, "examples", "demo_scenario.json")
FAST, SLOW = ["2", "3", "4"], ["3", "6", "9", "12", "15"]


def run_cli(args, cwd, lib_path, pythonpath=None):
    env = dict(os.environ, QUORVANE_LIB=lib_path,
               PYTHONPATH=os.pathsep.join(filter(None, [pythonpath, os.path.join(ROOT, "python")])))
    return subprocess.run([sys.executable, "-m", "quorvane", *args, "--no-progress"], env=env,
                          cwd=str(cwd), timeout=600, capture_output=True, text=True)


@pytest.fixture(scope="module")
def ticks(tmp_path_factory):
    path = tmp_path_factory.mktemp("sweep_ticks") / "day.csv"
    write_day(path, "20261207", ticks=120, seed=3)
    return path


@pytest.fixture(scope="module")
def swept(tmp_path_factory, ticks, lib_path):
    out = tmp_path_factory.mktemp("sweep")
    done = run_cli(["sweep", str(ticks), "--strategy", CROSSING, "--scenario", SCENARIO,
                    "--grid", "fast=" + ",".join(FAST), "--grid", "slow=" + ",".join(SLOW),
                    "--sort", "net_profit", "--workers", "2", "--out", str(out)], out, lib_path)
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
        ([], "at least one"),
    ], ids=["no-values", "empty-value", "twice", "none"])
    def test_a_bad_grid_is_refused(self, options, message):
        with pytest.raises(ValueError, match=message):
            sweep.parse_grid(options)

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
