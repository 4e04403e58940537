"""Replays of several trading days through the command line: the simulated exchange settles between
the day files and the client logs in to each new day, positions are carried as yesterday's and
closed with SHFE's close-yesterday offset, the report gains a table by day, and the statistics
agree with what this test recomputes from the trades file and the tick files' own prices."""
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
sys.path.insert(0, os.path.join(ROOT, "python"))

from day_files import write_day  # noqa: E402

DAYS = ["20261207", "20261208", "20261209"]
SCENARIO = os.path.join(ROOT, "examples", "demo_scenario.json")
CARRY = os.path.join(HERE, "strategies", "carry.py")


def run_cli(args, cwd, lib_path, timeout=180):
    env = dict(os.environ, QUORVANE_LIB=lib_path, PYTHONPATH=os.path.join(ROOT, "python"))
    return subprocess.run([sys.executable, "-m", "quorvane", *args, "--no-progress"], env=env,
                          cwd=str(cwd), timeout=timeout, capture_output=True, text=True)


def write_days(folder, ticks=150):
    """Three day files, each starting where the previous one ended; returns each day's last price."""
    folder.mkdir(exist_ok=True)
    last, closes = 3500.0, []
    # Written out of order: the run orders them by their TradingDay, not by name.
    for n, day in enumerate(DAYS):
        last = write_day(folder / ("%d-%s.csv" % (len(DAYS) - n, day)), day, ticks=ticks,
                         start=last, seed=n + 7)
        closes.append(last)
    return closes


def read_csv(path):
    with open(path, newline="") as source:
        return list(csv.DictReader(source))


@pytest.fixture(scope="module")
def three_days(tmp_path_factory, lib_path):
    base = tmp_path_factory.mktemp("days")
    closes = write_days(base / "ticks")
    log = base / "hooks.jsonl"
    done = run_cli(["replay", str(base / "ticks"), "--strategy", CARRY, "--param",
                    "log=%s" % log, "--scenario", SCENARIO, "--out", str(base / "out")],
                   base, lib_path)
    assert done.returncode == 0, done.stdout + done.stderr
    return base, closes, done.stdout, [json.loads(line) for line in log.read_text().splitlines()]


class TestThreeDays:
    def test_positions_are_carried_and_yesterdays_lots_closed_with_close_yesterday(
            self, three_days):
        base, _, out, hooks = three_days
        trades = read_csv(base / "out" / "trades.csv")
        by_day = {day: sorted((t["Direction"], t["Offset"], int(t["Volume"]))
                              for t in trades if t["TradingDay"] == day) for day in DAYS}
        assert by_day == {
            "20261207": [("Buy", "Open", 3)],
            "20261208": [("Buy", "Open", 1), ("Sell", "CloseYesterday", 2)],
            "20261209": [("Sell", "CloseYesterday", 2), ("Sell", "Open", 1)],
        }
        # The runtime saw each new day's positions as yesterday's before the first tick.
        starts = [h for h in hooks if h["hook"] == "start"]
        assert [(h["day"], h["long"], h["long_yesterday"]) for h in starts] == [
            ("20261207", 0, 0), ("20261208", 3, 3), ("20261209", 2, 2)]
        assert [h["day"] for h in hooks if h["hook"] == "end"] == DAYS
        days = read_csv(base / "out" / "days.csv")
        assert [d["Positions"] for d in days] == ["rb2705:3:0", "rb2705:2:0", "rb2705:0:1"]
        assert "DIFFERS" not in out

    def test_the_report_has_a_table_by_day(self, three_days):
        _, _, out, _ = three_days
        table = out[out.index("By day:"):].splitlines()
        assert [line.split()[0] for line in table[2:5]] == DAYS
        assert "rb2705 long 3" in table[2] and "rb2705 short 1" in table[4]

    def test_statistics_agree_with_a_recomputation_from_trades_and_prices(self, three_days):
        base, closes, out, _ = three_days
        stats = json.loads((base / "out" / "stats.json").read_text())
        days = read_csv(base / "out" / "days.csv")
        trades = read_csv(base / "out" / "trades.csv")
        multiplier = 10
        # Each day's profit: the fills' cash flows plus the held lots re-marked from the previous
        # day's settlement (the files give none, so the last price) to this day's, less the fees.
        held, mark, balance = 0, None, 1000000.0
        balances, turnover = [balance], 0.0
        for day, close, row in zip(DAYS, closes, days):
            cash = 0.0
            start_held = held
            for t in (t for t in trades if t["TradingDay"] == day):
                lots, price = int(t["Volume"]), float(t["Price"])
                sign = 1 if t["Direction"] == "Buy" else -1
                cash -= sign * lots * price * multiplier
                held += sign * lots
                turnover += lots * price * multiplier
            opening_value = start_held * (mark or 0.0) * multiplier
            profit = cash + held * close * multiplier - opening_value - float(row["Fees"])
            balance += profit
            balances.append(balance)
            mark = close
            assert stats["daily_profit"][day] == pytest.approx(profit, abs=0.01)
        assert stats["final_balance"] == pytest.approx(balances[-1], abs=0.01)
        assert stats["total_return"] == pytest.approx(balances[-1] / 1e6 - 1, abs=1e-8)
        returns = [b / a - 1 for a, b in zip(balances, balances[1:])]
        mean = sum(returns) / 3
        sd = math.sqrt(sum((r - mean) ** 2 for r in returns) / 2)
        assert stats["sharpe"] == pytest.approx(mean / sd * math.sqrt(240), rel=1e-4)
        assert stats["turnover"] == pytest.approx(turnover)
        assert stats["fees"] == pytest.approx(sum(float(d["Fees"]) for d in days), abs=0.01)
        assert stats["trades"] == len(trades) == 5
        # Round trips: day 2 closes 2 of day 1's lots; day 3 closes day 1's last and day 2's lot.
        price = {(t["TradingDay"], t["Direction"], t["Offset"]): float(t["Price"]) for t in trades}
        first = price[("20261207", "Buy", "Open")]
        second = price[("20261208", "Buy", "Open")]
        trips = [(price[("20261208", "Sell", "CloseYesterday")] - first) * 2 * multiplier,
                 (price[("20261209", "Sell", "CloseYesterday")] * 2 - first - second) * multiplier]
        assert stats["round_trips"] == 2
        assert stats["average_trade"] == pytest.approx(sum(trips) / 2)
        assert stats["win_rate"] == pytest.approx(sum(p > 0 for p in trips) / 2)
        assert "Sharpe ratio" in out and (base / "out" / "stats.csv").exists()

    def test_bars_reach_the_strategy_by_minute_and_day(self, three_days):
        _, _, _, hooks = three_days
        bars = [h for h in hooks if h["hook"] == "bar"]
        # 150 ticks at two a second from 09:00:00: bars of 09:00 and 09:01 each day, the second
        # one handed over when the day ends.
        assert [(b["day"], b["start"]) for b in bars] == [
            (day, start) for day in DAYS for start in ("09:00:00", "09:01:00")]


class TestDayFiles:
    def test_a_file_of_two_days_and_two_files_of_one_day_are_refused(self, tmp_path, lib_path):
        write_day(tmp_path / "a.csv", "20261207", ticks=5)
        write_day(tmp_path / "b.csv", "20261207", ticks=5)
        done = run_cli(["replay", str(tmp_path / "a.csv"), str(tmp_path / "b.csv")], tmp_path,
                       lib_path)
        assert done.returncode == 1 and "both trading day 20261207" in done.stderr
        mixed = tmp_path / "mixed.csv"
        rows = (tmp_path / "a.csv").read_text().splitlines()
        mixed.write_text("\n".join(rows + [rows[-1].replace("20261207", "20261208")]) + "\n")
        done = run_cli(["replay", str(mixed), str(tmp_path / "b.csv")], tmp_path, lib_path)
        assert done.returncode == 1 and "one trading day" in done.stderr


def test_settling_at_a_price_other_than_the_last_leaves_the_profit_check_agreeing(tmp_path,
                                                                                  lib_path):
    # The exchange settles what is carried at the day's settlement price, away from its last
    # price: the balance moves by the difference overnight, which no day's profit counts.
    write_days(tmp_path / "ticks")
    for path in (tmp_path / "ticks").iterdir():
        rows = read_csv(path)
        for row in rows:
            row["SettlementPrice"] = "%.1f" % (float(row["LastPrice"]) + 7)
        with open(path, "w", newline="") as out:
            writer = csv.DictWriter(out, fieldnames=list(rows[0]))
            writer.writeheader()
            writer.writerows(rows)
    done = run_cli(["replay", str(tmp_path / "ticks"), "--strategy", CARRY, "--scenario",
                    SCENARIO, "--out", str(tmp_path / "out"), "--no-pictures"], tmp_path, lib_path)
    assert done.returncode == 0, done.stdout + done.stderr
    report = (tmp_path / "out" / "report.txt").read_text()
    gross = next(line for line in report.splitlines() if "gross profit" in line)
    assert gross.split()[-1] == "agrees", gross
    days = read_csv(tmp_path / "out" / "days.csv")
    # The overnight move is real money: carried lots x 7 x multiplier shows in the balances.
    assert float(days[1]["PreBalance"]) != float(days[0]["Balance"])
