"""Walk-forward optimisation from the command line: ten generated trading days, a 2x2 grid walked
forward 3:2 on a local Dask cluster; the windows, each window's choice and the stitched
out-of-sample statistics recomputed here from the replays' own files."""
import csv
import json
import math
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, HERE)

from day_files import write_day  # noqa: E402

CROSSING = os.path.join(HERE, "strategies", "crossing.py")
SCENARIO = os.path.join(ROOT, "examples", "demo_scenario.json")
# Ten trading days across a weekend (no holiday in them), trending down and up by turns.
DAYS = ["20261207", "20261208", "20261209", "20261210", "20261211",
        "20261214", "20261215", "20261216", "20261217", "20261218"]
GRID = [("2", "6"), ("2", "9"), ("3", "6"), ("3", "9")]       # fast=2..3, slow=6,9 in grid order
# TRAIN:TEST = 3:2 rolls by two days; the last window has one test day left.
WINDOWS = [(DAYS[0:3], DAYS[3:5]), (DAYS[2:5], DAYS[5:7]), (DAYS[4:7], DAYS[7:9]),
           (DAYS[6:9], DAYS[9:10])]


def run_cli(args, cwd, lib_path):
    env = dict(os.environ, QUORVANE_LIB=lib_path, PYTHONPATH=os.path.join(ROOT, "python"))
    return subprocess.run([sys.executable, "-m", "quorvane", *args, "--no-progress"], env=env,
                          cwd=str(cwd), timeout=600, capture_output=True, text=True)


@pytest.fixture(scope="module")
def walked(tmp_path_factory, lib_path):
    days = tmp_path_factory.mktemp("walk_days")
    for n, day in enumerate(DAYS):
        write_day(days / ("%s.csv" % day), day, ticks=100, seed=10 + n,
                  drift=0.6 if (n // 2) % 2 else -0.6)
    out = tmp_path_factory.mktemp("walk")
    done = run_cli(["sweep", str(days), "--strategy", CROSSING, "--scenario", SCENARIO,
                    "--grid", "fast=2..3", "--grid", "slow=6,9", "--walk-forward", "3:2",
                    "--sort", "net_profit", "--workers", "2", "--out", str(out)], out, lib_path)
    assert done.returncode == 0, done.stdout + done.stderr
    return days, out, done.stdout


def stats_of(folder):
    return json.loads((folder / "stats.json").read_text())


def window_rows(out):
    with open(out / "walk_forward.csv", newline="") as source:
        return list(csv.DictReader(source))


def trip_profits(trades_csv, multiplier=10):
    """Closing fills paired with the open lot before them (the strategy holds one lot at most)."""
    with open(trades_csv, newline="") as source:
        rows = list(csv.DictReader(source))
    profits, opened = [], None
    for row in rows:
        if row["Offset"] == "Open":
            opened = row
            continue
        sign = 1 if opened["Direction"] == "Buy" else -1
        profits.append(sign * (float(row["Price"]) - float(opened["Price"])) * multiplier)
        opened = None
    return profits, len(rows)


class TestWalkForward:
    def test_each_window_trains_and_tests_on_its_days(self, walked):
        _, out, stdout = walked
        assert "4 windows: 16 train replays" in stdout
        assert "local Dask cluster of 2 worker processes" in stdout
        rows = window_rows(out)
        assert [(r["train_from"], r["train_to"], r["test_from"], r["test_to"]) for r in rows[:4]] \
            == [(train[0], train[-1], test[0], test[-1]) for train, test in WINDOWS]
        for number, (train, test) in enumerate(WINDOWS, start=1):
            window = out / "windows" / str(number)
            for fast, slow in GRID:
                run = window / "train" / ("fast=%s,slow=%s" % (fast, slow))
                assert list(stats_of(run)["daily_profit"]) == train, (number, fast, slow)
            assert list(stats_of(window / "test")["daily_profit"]) == test, number

    def test_the_choice_is_the_best_train_result_and_is_what_the_test_replays(self, walked):
        _, out, stdout = walked
        rows = window_rows(out)
        chosen = []
        for number, row in enumerate(rows[:4], start=1):
            best, best_profit = None, None
            for fast, slow in GRID:   # the first of equal profits wins
                run = out / "windows" / str(number) / "train" / ("fast=%s,slow=%s" % (fast, slow))
                profit = stats_of(run)["net_profit"]
                if best_profit is None or profit > best_profit:
                    best, best_profit = (fast, slow), profit
            assert (row["fast"], row["slow"]) == best, number
            assert float(row["train_net_profit"]) == pytest.approx(best_profit)
            test = stats_of(out / "windows" / str(number) / "test")
            assert float(row["net_profit"]) == pytest.approx(test["net_profit"])
            chosen.append(best)
        assert len(set(chosen)) > 1, "the windows choose differently, so the choice matters"
        assert "By window, the best by net_profit" in stdout

    def test_a_test_equals_the_same_replay_run_alone(self, walked, lib_path, tmp_path):
        days, out, _ = walked
        rows = window_rows(out)
        for number in (1, 4):    # several test days, and the last window's single day
            _, test = WINDOWS[number - 1]
            row = rows[number - 1]
            done = run_cli(["replay", *[str(days / ("%s.csv" % d)) for d in test],
                            "--strategy", CROSSING, "--scenario", SCENARIO,
                            "--param", "fast=" + row["fast"], "--param", "slow=" + row["slow"],
                            "--out", str(tmp_path / str(number)), "--no-pictures"], tmp_path,
                           lib_path)
            assert done.returncode == 0, done.stdout + done.stderr
            window = out / "windows" / str(number) / "test"
            assert stats_of(window) == stats_of(tmp_path / str(number))
            assert (window / "trades.csv").read_bytes() == \
                (tmp_path / str(number) / "trades.csv").read_bytes()

    def test_the_stitched_statistics_chain_the_tests(self, walked):
        _, out, stdout = walked
        capital, balance, balances, fees, trips, fills = None, None, [], 0.0, [], 0
        for number in range(1, 5):
            folder = out / "windows" / str(number) / "test"
            test = stats_of(folder)
            capital = test["initial_capital"] if capital is None else capital
            balance = capital if balance is None else balance
            for profit in test["daily_profit"].values():
                balances.append(balance + profit)
                balance += profit
            fees += test["fees"]
            profits, count = trip_profits(folder / "trades.csv")
            trips += profits
            fills += count
        stitched = json.loads((out / "walk_forward_stats.json").read_text())
        assert stitched["days"] == 7 and list(stitched["daily_profit"]) == DAYS[3:]
        assert stitched["net_profit"] == pytest.approx(balances[-1] - capital)
        assert stitched["fees"] == pytest.approx(fees) and fees > 0
        starts = [capital] + balances[:-1]
        returns = [(b - a) / a for a, b in zip(starts, balances)]
        mean = sum(returns) / len(returns)
        deviation = math.sqrt(sum((r - mean) ** 2 for r in returns) / (len(returns) - 1))
        assert stitched["sharpe"] == pytest.approx(mean / deviation * math.sqrt(240))
        peak, worst = capital, 0.0
        for value in balances:
            peak = max(peak, value)
            worst = max(worst, peak - value)
        assert stitched["max_drawdown"] == pytest.approx(worst)
        assert stitched["trades"] == fills and stitched["round_trips"] == len(trips)
        wins = [p for p in trips if p > 0]
        losses = [p for p in trips if p < 0]
        assert stitched["win_rate"] == pytest.approx(len(wins) / len(trips))
        assert stitched["profit_factor"] == pytest.approx(sum(wins) / -sum(losses))
        last = window_rows(out)[-1]
        assert (last["window"], last["test_from"], last["test_to"]) == (
            "stitched", DAYS[3], DAYS[-1])
        assert float(last["net_profit"]) == pytest.approx(stitched["net_profit"])
        assert "7 test days from %s to %s stitched" % (DAYS[3], DAYS[-1]) in stdout
        assert "Net profit                 %.2f" % stitched["net_profit"] in stdout

    @pytest.mark.parametrize("windows, message", [
        ("3", "TRAIN:TEST"), ("3:0", "TRAIN:TEST"), ("x:2", "TRAIN:TEST"),
        ("10:2", "needs more than 10 trading days; 10 given"),
    ], ids=["no-test", "empty-test", "not-a-number", "no-day-left"])
    def test_windows_that_cannot_walk_are_refused(self, walked, lib_path, tmp_path, windows,
                                                   message):
        days, _, _ = walked
        done = run_cli(["sweep", str(days), "--strategy", CROSSING, "--grid", "fast=2",
                        "--walk-forward", windows, "--out", str(tmp_path)], tmp_path, lib_path)
        assert done.returncode == 1 and message in done.stderr, done.stderr
