"""The pieces of a replay's report that do not need the runtime: the marked-to-market profit of the
fills, the comparison with the exchange's records and its files, and strategy loading."""
import os
import sys
from types import SimpleNamespace

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))

from quorvane import codes, records  # noqa: E402
from quorvane.replay import load_strategy  # noqa: E402
from quorvane.report import Recorder, StartState, build_report, write_trades  # noqa: E402


def fill(order_id, direction, offset, price, volume, instrument=b"rb2605"):
    return SimpleNamespace(OrderID=order_id, StandardID=instrument, ExchangeID=b"SHFE",
                           Direction=direction, OffsetFlag=offset, LastTradedPrice=price,
                           TradedVolumeChangeOfTurnover=volume, UpdateTime=b"09:01:00",
                           OrderStatus=b"4", CanceledVolume=0)


def tick(price, instrument=b"rb2605"):
    return SimpleNamespace(StandardID=instrument, LastPrice=price, UpdateTime=b"09:02:00")


def recorded_day():
    """Buy 2 at 100, mark at 105, sell 3 at 110 (close 2, open 1 short), mark at 108."""
    recorder = Recorder({"rb2605": 10})
    recorder.on_order(codes.UPDATE_COST, fill(100, b"0", b"0", 100.0, 2), None, 0.0)
    recorder.on_order(codes.TRADED, fill(100, b"0", b"0", 100.0, 2), None, 0.0)
    recorder.on_tick(tick(105.0))
    recorder.on_order(codes.UPDATE_COST, fill(200, b"1", b"3", 110.0, 2), None, 0.0)
    recorder.on_order(codes.UPDATE_COST, fill(300, b"1", b"0", 110.0, 1), None, 0.0)
    recorder.on_tick(tick(108.0))
    return recorder


class TestRecorder:
    def test_profit_is_marked_to_market_across_a_reversal(self):
        recorder = recorded_day()
        # Each point is the state after everything its tick caused: the sale came before the
        # second tick, so it counts in the first point, marked at 105.
        times, values = recorder.equity_curve()
        assert [round(v, 6) for v in values] == [250.0, 220.0] and list(times) == [1.0, 2.0]
        assert recorder.pnl() == pytest.approx(220.0)
        assert recorder.net == {"rb2605": -1}
        assert recorder.sides() == {"rb2605": (0, 1)}
        assert len(recorder.fills) == 3
        assert recorder.fills[1]["offset"] == "CloseToday"

    def test_the_profit_curve_marks_each_instrument_at_its_own_price(self):
        recorder = Recorder({"rb2605": 10, "m2605": 5})
        recorder.on_tick(tick(100.0))
        recorder.on_tick(tick(3000.0, b"m2605"))
        recorder.on_order(codes.UPDATE_COST, fill(1, b"0", b"0", 3000.0, 1, b"m2605"), None, 0.0)
        recorder.on_tick(tick(101.0))
        recorder.on_tick(tick(3004.0, b"m2605"))
        _, values = recorder.equity_curve()
        assert list(values) == [0.0, 0.0, 0.0, 20.0]
        assert recorder.pnl() == pytest.approx(20.0)

    def test_a_curve_taken_a_day_at_a_time_is_the_whole_runs_curve(self):
        # Two instruments, positions carried over the day's end and fills of the day's last tick:
        # the days' points, laid end to end, are the points of the run taken whole.
        def feed(recorder, cut):
            days = []
            steps = [("t", 100.0, b"rb2605"), ("f", (1, b"0", b"0", 100.0, 2)),
                     ("t", 3000.0, b"m2605"), ("t", 103.0, b"rb2605"),
                     ("f", (2, b"1", b"0", 3001.0, 1, b"m2605")),
                     ("f", (3, b"1", b"3", 104.0, 1)), ("cut",), ("t", 2990.0, b"m2605"),
                     ("t", 99.0, b"rb2605"), ("t", 98.0, b"rb2605")]
            for step in steps:
                if step[0] == "t":
                    recorder.on_tick(tick(step[1], step[2]))
                elif step[0] == "f":
                    recorder.on_order(codes.UPDATE_COST, fill(*step[1]), None, 0.0)
                elif cut:
                    days.append(recorder.take_day())
            days.append(recorder.take_day() if cut else recorder.equity_curve())
            return days
        whole = feed(Recorder({"rb2605": 10, "m2605": 5}), cut=False)[0]
        first, second = feed(Recorder({"rb2605": 10, "m2605": 5}), cut=True)
        assert list(first[1]) + list(second[1]) == list(whole[1])
        assert list(first[0]) + list(second[0]) == list(whole[0])
        assert len(first[1]) == 3 and list(second[1])[0] == pytest.approx(whole[1][3])

    def test_a_long_series_is_thinned_evenly_whatever_its_parts(self):
        from quorvane.research.thinning import Thinned
        whole, parts = Thinned(1, cap=100), Thinned(1, cap=100)
        whole.extend([[float(n) for n in range(1000)]])
        for begin in range(0, 1000, 37):
            parts.extend([[float(n) for n in range(begin, min(1000, begin + 37))]])
        assert list(whole.columns[0]) == list(parts.columns[0])
        assert 50 <= len(whole) <= 100 and whole.columns[0][0] == 0.0
        steps = {b - a for a, b in zip(whole.columns[0], whole.columns[0][1:])}
        assert steps == {16.0}


def trade(n, direction, offset, price, volume):
    t = records.CThostFtdcTradeField()
    t.TradeID, t.InstrumentID, t.ExchangeID = b"%d" % n, b"rb2605", b"SHFE"
    t.Direction, t.OffsetFlag, t.Price, t.Volume = direction, offset, price, volume
    t.OrderRef, t.TradeTime, t.TradeDate = b"%d" % (100 * n), b"09:01:00", b"20260108"
    return t


class FakeClient:
    """What build_report asks of a client, with the exchange's answers given: the recorded day's
    three trades (after any given as made before the run), its positions and its account."""

    def __init__(self, recorder, positions, balance_change, earlier=(), own=(0, 1)):
        self.errors = 0
        self.usable_cash = 999_000.0
        self._orders = [fill(f["order_id"], b"0", b"0", f["price"], f["volume"])
                        for f in recorder.fills]
        self._positions = positions
        self._balance_change = balance_change
        self._earlier = list(earlier)
        self._own = own

    def orders(self):
        return self._orders

    def exchange_trades(self):
        # Ten before eleven, though "10" < "9" as text: the file follows the exchange's numbers.
        return self._earlier + [trade(11, b"1", b"0", 110.0, 1), trade(9, b"0", b"0", 100.0, 2),
                                trade(10, b"1", b"3", 110.0, 2)]

    def exchange_positions(self):
        out = []
        for direction, volume in self._positions:
            p = records.CThostFtdcInvestorPositionField()
            p.InstrumentID, p.PosiDirection, p.Position = b"rb2605", direction, volume
            out.append(p)
        return out

    def trading_account(self):
        a = records.CThostFtdcTradingAccountField()
        a.PreBalance, a.Commission, a.CurrMargin = 1_000_000.0, 12.5, 1080.0
        a.CloseProfit, a.PositionProfit = 200.0, 20.0
        a.Balance = 1_000_000.0 + self._balance_change
        return a

    def position(self, instrument):
        return SimpleNamespace(LongVolume=self._own[0], ShortVolume=self._own[1])


class TestReport:
    def test_numbers_that_match_the_exchange_agree_and_the_trades_file_keeps_their_order(
            self, tmp_path):
        recorder = recorded_day()
        report = build_report(FakeClient(recorder, [(b"3", 1)], 220.0 - 12.5), recorder)
        assert report.agrees, report.text()
        assert (report.fills, report.fill_volume, report.fees) == (3, 5, 12.5)
        assert report.gross_pnl == pytest.approx(220.0)
        assert report.net_pnl == pytest.approx(207.5)
        write_trades(tmp_path / "trades.csv", report.trades)
        rows = (tmp_path / "trades.csv").read_text().splitlines()
        assert [r.split(",")[0] for r in rows[1:]] == ["9", "10", "11"]
        assert rows[2].split(",")[6:10] == ["Sell", "CloseToday", "110.0000", "2"]
        assert "DIFFERS" not in report.text()
        assert "Positions at the end: rb2605 short 1 (margin held 1080.00)" in report.text()

    def test_a_position_or_balance_the_exchange_does_not_confirm_differs(self):
        recorder = recorded_day()
        report = build_report(FakeClient(recorder, [(b"2", 1)], 220.0), recorder)
        assert not report.agrees
        differing = [c[0] for c in report.checks if not c[3]]
        assert differing == ["position rb2605", "net profit (balance change)"]
        assert "DIFFERS" in report.text()

    def test_both_sides_held_are_shown_not_netted_to_flat(self):
        recorder = Recorder({"rb2605": 10})
        recorder.on_tick(tick(100.0))
        recorder.on_order(codes.UPDATE_COST, fill(1, b"0", b"0", 100.0, 1), None, 0.0)
        recorder.on_order(codes.UPDATE_COST, fill(2, b"1", b"0", 100.0, 1), None, 0.0)
        client = FakeClient(recorder, [(b"2", 1), (b"3", 1)], 0.0, own=(1, 1))
        report = build_report(client, recorder)
        assert report.positions == {"rb2605": (1, 1)}
        assert "Positions at the end: rb2605 long 1 short 1 (margin held" in report.text()
        assert "flat" not in report.text()
        assert ("position rb2605", (1, 1), (1, 1), True) in report.checks

    def test_a_continued_day_counts_from_where_it_started(self):
        """A run that starts with the day's earlier trades and a position at the exchange reports
        only its own trades, and its profit from the start's marks."""
        earlier = [trade(n, b"0", b"0", 100.0, 1) for n in (1, 2)]
        before = records.CThostFtdcTradingAccountField()
        before.Balance, before.Commission, before.CloseProfit = 1_000_050.0, 2.0, 40.0
        before.PositionProfit, before.TradingDay = 30.0, b"20260108"
        held = records.CThostFtdcInvestorPositionField()
        held.InstrumentID, held.PosiDirection, held.Position = b"rb2605", b"2", 1
        held.PositionCost, held.PositionProfit = 1000.0, 30.0      # marked at 103
        start = StartState(before, [held], earlier, kept_from="run-001")
        recorder = Recorder({"rb2605": 10})
        for instrument, (long, short, mark) in start.holdings(recorder.multipliers).items():
            recorder.begin(instrument, long, short, mark)
        assert recorder.pnl() == pytest.approx(0.0)
        recorder.on_tick(tick(105.0))                                 # +20 on the held lot
        recorder.on_order(codes.UPDATE_COST, fill(9, b"1", b"1", 105.0, 1), None, 0.0)

        class Continued(FakeClient):
            def exchange_trades(self):
                return earlier + [trade(9, b"1", b"1", 105.0, 1)]

            def trading_account(self):
                a = records.CThostFtdcTradingAccountField()
                a.Commission, a.CloseProfit, a.PositionProfit = 3.0, 90.0, 0.0
                a.Balance = 1_000_050.0 + 20.0 - 1.0
                return a

        report = build_report(Continued(recorder, [], 0.0, own=(0, 0)), recorder, start)
        assert report.agrees, report.text()
        assert (report.fills, len(report.trades), report.fees) == (1, 1, 1.0)
        assert report.gross_pnl == pytest.approx(20.0)
        assert report.text().startswith("Start: continued the trading day")
        assert "kept by run-001" in report.text()


class TestInputs:
    def test_strategy_files_load_by_file_or_by_class(self, tmp_path):
        path = tmp_path / "two.py"
        path.write_text("from quorvane import Strategy\n"
                        "class A(Strategy):\n    def __init__(self, n=1):\n        self.n = n\n"
                        "class B(Strategy):\n    pass\n")
        with pytest.raises(ValueError, match="name the strategy class"):
            load_strategy(path)
        assert load_strategy("%s:A" % path, n=5).n == 5
        root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
        for example in ("ma_cross.py", "quote_both_sides.py"):
            assert load_strategy(os.path.join(root, example)).client is None
