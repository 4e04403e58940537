"""A replay of two trading days shaped like the real market's, the second opening with a night
session on the evening before (ActionDay that evening, TradingDay the next day): the trades file
lists each day's trades in exchange time, night first, with their calendar dates; round trips,
profit factor and drawdown agree with what this test recomputes from the trades file, the tick
files and the scenario's fees; and the strategy's on_trade and on_fill see each fill's own price.
"""
import csv
import json
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, HERE)

from day_files import write_sessions  # noqa: E402

SCENARIO = os.path.join(ROOT, "examples", "demo_scenario.json")
SCHEDULE = os.path.join(HERE, "strategies", "schedule.py")
MULTIPLIER, FEE_BY_MONEY = 10, 0.0001       # rb2705 in the demo scenario
TUESDAY, WEDNESDAY = "20261208", "20261209"
# Wednesday's night session runs on Tuesday evening, before its day session.
PLAN = ("%(t)s 09:05 buy_open 2; %(t)s 14:00 close_long 1; "
        "%(w)s 21:30 close_long 1; %(w)s 22:30 buy_open sweep; %(w)s 22:50 buy_open 1; "
        "%(w)s 09:05 close_long all; %(w)s 09:30 sell_open 1; %(w)s 14:00 close_short 1"
        % {"t": TUESDAY, "w": WEDNESDAY})
EXCHANGE_TIMES = [(TUESDAY, TUESDAY, "09:05:00"), (TUESDAY, TUESDAY, "14:00:00"),
                  (WEDNESDAY, TUESDAY, "21:30:00"), (WEDNESDAY, TUESDAY, "22:30:00"),
                  (WEDNESDAY, TUESDAY, "22:50:00"), (WEDNESDAY, WEDNESDAY, "09:05:00"),
                  (WEDNESDAY, WEDNESDAY, "09:30:00"), (WEDNESDAY, WEDNESDAY, "14:00:00")]


def read_csv(path):
    with open(path, newline="") as source:
        return list(csv.DictReader(source))


@pytest.fixture(scope="module")
def run(tmp_path_factory, lib_path):
    base = tmp_path_factory.mktemp("night")
    (base / "ticks").mkdir()
    last = write_sessions(base / "ticks" / "tuesday.csv", TUESDAY, seed=3)
    # Falling through Wednesday: the run ends at its lowest, after the day's fees.
    write_sessions(base / "ticks" / "wednesday.csv", WEDNESDAY, evening=TUESDAY, start=last,
                   seed=4, drift=-0.6)
    log = base / "handlers.jsonl"
    env = dict(os.environ, QUORVANE_LIB=lib_path, PYTHONPATH=os.path.join(ROOT, "python"))
    done = subprocess.run(
        [sys.executable, "-m", "quorvane", "replay", str(base / "ticks"), "--strategy", SCHEDULE,
         "--scenario", SCENARIO, "--param", "plan=" + PLAN, "--param", "log=%s" % log,
         "--out", str(base / "out"), "--no-progress", "--no-pictures"],
        env=env, cwd=str(base), timeout=180, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    out = base / "out"
    return {"stdout": done.stdout, "trades": read_csv(out / "trades.csv"),
            "days": read_csv(out / "days.csv"),
            "stats": json.loads((out / "stats.json").read_text()),
            "ticks": [row for name in ("tuesday.csv", "wednesday.csv")
                      for row in read_csv(base / "ticks" / name)],
            "handlers": [json.loads(line) for line in log.read_text().splitlines()]}


def exchange_key(trade):
    return (trade["TradingDay"], trade["TradeDate"], trade["TradeTime"], int(trade["TradeID"]))


def signed(trade):
    return 1 if trade["Direction"] == "Buy" else -1


def fee(trade):
    return FEE_BY_MONEY * float(trade["Price"]) * int(trade["Volume"]) * MULTIPLIER


def gross_profit(stdout):
    line = next(l for l in stdout.splitlines() if l.startswith("Profit: gross "))
    return float(line.split()[2].rstrip(","))


class TestTradesInExchangeOrder:
    def test_a_days_night_trades_come_first_with_their_calendar_date(self, run):
        trades = run["trades"]
        assert list(trades[0])[:4] == ["TradeID", "TradingDay", "TradeDate", "TradeTime"]
        assert trades == sorted(trades, key=exchange_key)
        # One row per fill: the sweep at 22:30 filled at two prices.
        times = [(t["TradingDay"], t["TradeDate"], t["TradeTime"]) for t in trades]
        assert sorted(set(times), key=times.index) == EXCHANGE_TIMES
        assert "DIFFERS" not in run["stdout"] and "Positions at the end: flat" in run["stdout"]

    def test_round_trips_pair_in_exchange_order_and_add_up_to_the_gross_profit(self, run):
        open_lots = {}
        trips = []
        for t in sorted(run["trades"], key=exchange_key):
            side = signed(t)
            price, lots = float(t["Price"]), int(t["Volume"])
            if t["Offset"] == "Open":
                open_lots.setdefault(side, []).append([price, lots])
                continue
            held, profit = open_lots.get(-side, []), 0.0
            while lots and held:
                taken = min(lots, held[0][1])
                profit += -side * (price - held[0][0]) * taken * MULTIPLIER
                held[0][1] -= taken
                lots -= taken
                if not held[0][1]:
                    held.pop(0)
            assert lots == 0, "every lot closed was opened in the run"
            trips.append(profit)
        wins = sum(p for p in trips if p > 0)
        losses = -sum(p for p in trips if p < 0)
        assert wins > 0 and losses > 0, "the data should give both"
        stats = run["stats"]
        assert stats["round_trips"] == len(trips) == 4
        assert stats["profit_factor"] == pytest.approx(wins / losses)
        assert stats["win_rate"] == pytest.approx(sum(p > 0 for p in trips) / len(trips))
        assert stats["average_trade"] * stats["round_trips"] == pytest.approx(
            gross_profit(run["stdout"]), abs=0.01)
        assert sum(trips) == pytest.approx(gross_profit(run["stdout"]), abs=0.01)


class TestDrawdown:
    def equity(self, run):
        """(trading day, equity) after each tick: capital, the fills' cash flows and the lots held
        marked at the last price, less each fill's fee from its tick on."""
        fills = {}
        for t in run["trades"]:
            fills.setdefault((t["TradingDay"], t["TradeDate"], t["TradeTime"]), []).append(t)
        cash = held = paid = 0.0
        points = []
        for tick in run["ticks"]:
            for t in fills.pop((tick["TradingDay"], tick["ActionDay"], tick["UpdateTime"]), []):
                cash -= signed(t) * float(t["Price"]) * int(t["Volume"]) * MULTIPLIER
                held += signed(t) * int(t["Volume"])
                paid += fee(t)
            points.append((tick["TradingDay"],
                           1e6 + cash + held * float(tick["LastPrice"]) * MULTIPLIER - paid))
        assert not fills, "every fill followed a tick"
        return points

    def test_fees_are_charged_when_paid_and_the_last_point_is_the_final_balance(self, run):
        for day in run["days"]:
            paid = sum(fee(t) for t in run["trades"] if t["TradingDay"] == day["TradingDay"])
            assert float(day["Fees"]) == pytest.approx(paid, abs=0.01)
        points = self.equity(run)
        stats = run["stats"]
        assert points[-1][1] == pytest.approx(stats["final_balance"], abs=0.01)
        peak, worst, share = points[0][1], 0.0, 0.0
        for _, value in points:
            peak = max(peak, value)
            if peak - value > worst:
                worst, share = peak - value, (peak - value) / peak
        assert stats["max_drawdown"] == pytest.approx(worst, abs=0.01)
        assert stats["max_drawdown_pct"] == pytest.approx(share * 100.0, abs=1e-6)
        # A run that lost falls at least by what it lost.
        assert stats["net_profit"] < 0 and stats["max_drawdown"] >= -stats["net_profit"]

    def test_the_longest_drawdown_counts_trading_days(self, run):
        points = self.equity(run)
        days = sorted({day for day, _ in points})
        longest, peak_day, peak = 0, points[0][0], points[0][1]
        for day, value in points:
            if value >= peak:
                longest = max(longest, days.index(day) - days.index(peak_day))
                peak, peak_day = value, day
        longest = max(longest, days.index(points[-1][0]) - days.index(peak_day))
        assert run["stats"]["max_drawdown_duration_days"] == longest == 1


class TestHandlersSeeEachFill:
    def test_on_fill_gets_each_trade_once_with_its_own_price_and_date(self, run):
        fills = [h for h in run["handlers"] if h["hook"] == "fill"]
        assert [(f["trading_day"], f["date"], f["time"], f["instrument"], f["exchange"],
                 f["direction"], f["offset"], f["price"], f["volume"], f["order_id"],
                 f["order_sys_id"]) for f in fills] == [
            (t["TradingDay"], t["TradeDate"], t["TradeTime"], t["InstrumentID"], t["ExchangeID"],
             t["Direction"], t["Offset"], float(t["Price"]), int(t["Volume"]), int(t["OrderID"]),
             t["OrderSysID"]) for t in run["trades"]]

    def test_on_trade_sees_the_price_of_the_fill_it_reports(self, run):
        seen, expected = {}, {}
        for h in run["handlers"]:
            if h["hook"] == "trade":
                seen.setdefault(h["order_id"], []).append(
                    (h["traded"], h["change"], h["last_price"]))
        for t in sorted(run["trades"], key=lambda t: int(t["TradeID"])):
            made = expected.setdefault(int(t["OrderID"]), [])
            lots = int(t["Volume"])
            made.append(((made[-1][0] if made else 0) + lots, lots, float(t["Price"])))
        assert seen == expected
        assert any(len(fills) == 2 for fills in expected.values()), "the sweep fills twice"
