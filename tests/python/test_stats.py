"""Statistics of a run, checked on small cases worked out by hand: returns and Sharpe ratio from
the daily balances, the drawdown's depth and length on curves with a known worst fall, round trips
paired first-in first-out across partial closes, the undefined cases, and the files written."""
import csv
import json
import math
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))

from quorvane import stats  # noqa: E402
from quorvane.stats import Day, Fill  # noqa: E402


def fill(direction, offset, price, volume, instrument="rb2705", day="20260105"):
    return Fill(day, "09:00:00", instrument, direction, offset, price, volume)


class TestReturns:
    def test_daily_profit_total_annualised_return_and_sharpe(self):
        days = [Day("20260105", 1010000.0, 10.0), Day("20260106", 1005000.0, 5.0),
                Day("20260107", 1020000.0, 0.0)]
        s = stats.compute(days, [], {}, 1000000.0)
        assert s["daily_profit"] == {"20260105": 10000.0, "20260106": -5000.0,
                                     "20260107": 15000.0}
        assert s["total_return"] == pytest.approx(0.02)
        assert s["annualised_return"] == pytest.approx(1.02 ** 80 - 1)
        returns = [0.01, -5000 / 1010000, 15000 / 1005000]
        mean = sum(returns) / 3
        sd = math.sqrt(sum((r - mean) ** 2 for r in returns) / 2)
        assert s["sharpe"] == pytest.approx(mean / sd * math.sqrt(240))
        assert s["fees"] == 15.0

    @pytest.mark.parametrize("days", [
        [Day("20260105", 1010000.0, 0.0)],
        [Day("20260105", 1000000.0, 0.0), Day("20260106", 1000000.0, 0.0)],
    ], ids=["one-day", "no-variation"])
    def test_sharpe_is_undefined_without_two_varying_days(self, days):
        assert stats.compute(days, [], {}, 1000000.0)["sharpe"] is None

    def test_a_run_without_trades_has_no_trade_statistics(self):
        s = stats.compute([Day("20260105", 1000000.0, 0.0)], [], {}, 1000000.0)
        assert (s["win_rate"], s["profit_factor"], s["average_trade"]) == (None, None, None)
        assert s["trades"] == s["round_trips"] == 0
        assert "n/a" in stats.text(s)


class TestDrawdown:
    def test_the_deepest_fall_and_the_longest_stretch_below_a_peak(self):
        curve = [("20260105", 100.0), ("20260106", 120.0), ("20260107", 90.0),
                 ("20260108", 125.0), ("20260109", 110.0), ("20260112", 115.0),
                 ("20260113", 118.0)]
        amount, share, peak, trough, days, start, end = stats.drawdown(curve)
        assert (amount, peak, trough) == (30.0, "20260106", "20260107")
        assert share == pytest.approx(0.25)
        # Below 125 from Thursday the 8th to the end, Tuesday the 13th: 3 trading days (the
        # weekend counts none), longer than the first.
        assert (days, start, end) == (3, "20260108", "20260113")

    def test_a_drawdown_over_a_weekend_counts_trading_days(self):
        curve = [("20260109 09:00:00", 100.0), ("20260109 14:00:00", 90.0),
                 ("20260112 21:30:00", 95.0), ("20260112 14:00:00", 100.0)]
        assert stats.drawdown(curve)[4:] == (1, "20260109 09:00:00", "20260112 14:00:00")

    def test_a_rising_curve_has_none(self):
        curve = [("20260105", 100.0), ("20260106", 101.0), ("20260107", 101.0)]
        assert stats.drawdown(curve) == (0.0, 0.0, None, None, 0, None, None)

    def test_intraday_marks_count_the_days_they_span(self):
        curve = [("20260105 09:00:00", 100.0), ("20260105 14:00:00", 80.0),
                 ("20260106 09:30:00", 95.0), ("20260107 10:00:00", 100.0)]
        amount, _, _, _, days, start, end = stats.drawdown(curve)
        assert amount == 20.0
        assert (days, start, end) == (2, "20260105 09:00:00", "20260107 10:00:00")


class TestRoundTrips:
    def test_closes_pair_with_the_earliest_opens_across_partial_fills(self):
        fills = [fill("Buy", "Open", 3500, 2), fill("Buy", "Open", 3510, 1),
                 fill("Sell", "CloseYesterday", 3520, 1), fill("Sell", "CloseToday", 3505, 2),
                 fill("Sell", "Open", 3000, 1, "m2705"), fill("Buy", "Close", 2990, 1, "m2705")]
        trips = stats.round_trips(fills, {"rb2705": 10, "m2705": 10})
        # 1 lot 3500->3520; then 1 lot 3500->3505 and 1 lot 3510->3505; a short 3000->2990.
        assert trips == [200.0, 50.0 - 50.0, 100.0]
        s = stats.compute([Day("20260105", 1000250.0, 0.0)], fills, {"rb2705": 10, "m2705": 10},
                          1000000.0)
        assert s["round_trips"] == 3
        assert s["win_rate"] == pytest.approx(2 / 3)
        assert s["profit_factor"] is None, "no losing round trip"
        assert s["average_trade"] == pytest.approx(100.0)
        assert s["turnover"] == pytest.approx((3500 * 2 + 3510 + 3520 + 3505 * 2 + 3000 + 2990) * 10)

    def test_profit_factor_weighs_wins_against_losses(self):
        fills = [fill("Buy", "Open", 100, 1), fill("Sell", "Close", 103, 1),
                 fill("Buy", "Open", 100, 1), fill("Sell", "Close", 99, 1)]
        s = stats.compute([Day("20260105", 1000.0, 0.0)], fills, {}, 1000.0)
        assert s["profit_factor"] == pytest.approx(3.0)

    def test_a_trading_days_night_fills_pair_before_its_day_fills(self):
        def at(day, time, direction, offset, price, date):
            return Fill(day, time, "rb2705", direction, offset, price, 1, date)
        # Listed by time of day, as the trades of a trading day with a night session sort when
        # the night is not put first: Tuesday 09:05 closes the lot Monday evening's 21:30 opened.
        fills = [at("20260106", "09:05:00", "Sell", "CloseToday", 3510, "20260106"),
                 at("20260106", "21:30:00", "Buy", "Open", 3500, "20260105"),
                 at("20260106", "00:30:00", "Sell", "CloseToday", 3490, "20260106"),
                 at("20260106", "23:00:00", "Buy", "Open", 3520, "20260105")]
        # 21:30 -> 00:30 (after midnight) loses 100, 23:00 -> 09:05 loses 100.
        assert stats.round_trips(fills, {"rb2705": 10}) == [-100.0, -100.0]

    def test_lots_closed_without_a_known_open_count_nothing(self):
        assert stats.round_trips([fill("Sell", "CloseYesterday", 3500, 2)], {"rb2705": 10}) == [0.0]


class TestFiles:
    def test_json_and_csv_hold_the_same_numbers(self, tmp_path):
        days = [Day("20260105", 1010000.0, 3.5), Day("20260106", 1009000.0, 1.25)]
        s = stats.compute(days, [fill("Buy", "Open", 3500, 1)], {"rb2705": 10}, 1000000.0)
        loaded = json.loads(open(stats.write_json(tmp_path / "s.json", s)).read())
        assert loaded["daily_profit"] == {"20260105": 10000.0, "20260106": -1000.0}
        with open(stats.write_csv(tmp_path / "s.csv", s), newline="") as source:
            rows = {r["statistic"]: r["value"] for r in csv.DictReader(source)}
        assert float(rows["daily_profit:20260106"]) == -1000.0
        assert float(rows["sharpe"]) == loaded["sharpe"]
        assert rows["profit_factor"] == "" and loaded["profit_factor"] is None

    def test_pictures_or_a_note_without_matplotlib(self, tmp_path, monkeypatch):
        days = [Day("20260105", 1010000.0, 0.0), Day("20260106", 1009000.0, 0.0)]
        s = stats.compute(days, [], {}, 1000000.0)
        curve = [("20260105", 1010000.0), ("20260106", 1009000.0)]
        paths = stats.plot(str(tmp_path), s, curve)
        assert [os.path.basename(p) for p in paths] == ["equity_drawdown.png", "daily_profit.png"]
        monkeypatch.setitem(sys.modules, "matplotlib", None)
        notes = []
        assert stats.plot(str(tmp_path), s, curve, log=notes.append) == []
        assert len(notes) == 1 and "matplotlib" in notes[0]
