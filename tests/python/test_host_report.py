"""The pieces of a replay's report that do not need the runtime: the marked-to-market profit of the
fills, the comparison with the exchange's records and its files, tick files and strategy loading."""
import os
import sys
from types import SimpleNamespace

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))

from quorvane import codes, records  # noqa: E402
from quorvane.replay import TickFile, load_strategy  # noqa: E402
from quorvane.report import Recorder, build_report  # noqa: E402


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
        assert [round(v, 6) for _, v in recorder.equity] == [100.0, 220.0]
        assert recorder.net == {"rb2605": -1}
        assert len(recorder.fills) == 3
        assert recorder.fills[1]["offset"] == "CloseToday"


class FakeClient:
    """What build_report asks of a client, with the exchange's answers given."""

    def __init__(self, recorder, positions, balance_change):
        self.errors = 0
        self.usable_cash = 999_000.0
        self._orders = [fill(f["order_id"], b"0", b"0", f["price"], f["volume"])
                        for f in recorder.fills]
        self._positions = positions
        self._balance_change = balance_change

    def orders(self):
        return self._orders

    def exchange_trades(self):
        out = []
        for n, (direction, offset, price, volume) in enumerate(
                [(b"0", b"0", 100.0, 2), (b"1", b"3", 110.0, 2), (b"1", b"0", 110.0, 1)]):
            t = records.CThostFtdcTradeField()
            t.TradeID, t.InstrumentID, t.ExchangeID = b"%d" % n, b"rb2605", b"SHFE"
            t.Direction, t.OffsetFlag, t.Price, t.Volume = direction, offset, price, volume
            t.OrderRef, t.TradeTime = b"%d" % (100 * (n + 1)), b"09:0%d:00" % n
            out.append(t)
        return out

    def exchange_positions(self):
        out = []
        for direction, volume in self._positions:
            p = records.CThostFtdcInvestorPositionField()
            p.InstrumentID, p.PosiDirection, p.Position = b"rb2605", direction, volume
            out.append(p)
        return out

    def trading_account(self):
        a = records.CThostFtdcTradingAccountField()
        a.PreBalance, a.Commission = 1_000_000.0, 12.5
        a.CloseProfit, a.PositionProfit = 200.0, 20.0
        a.Balance = 1_000_000.0 + self._balance_change
        return a

    def position(self, instrument):
        return SimpleNamespace(LongVolume=0, ShortVolume=1)


class TestReport:
    def test_numbers_that_match_the_exchange_agree_and_files_are_written(self, tmp_path):
        recorder = recorded_day()
        report = build_report(FakeClient(recorder, [(b"3", 1)], 220.0 - 12.5), recorder, tmp_path)
        assert report.agrees, report.text()
        assert (report.fills, report.fill_volume, report.fees) == (3, 5, 12.5)
        assert report.gross_pnl == pytest.approx(220.0)
        assert report.net_pnl == pytest.approx(207.5)
        rows = (tmp_path / "trades.csv").read_text().splitlines()
        assert len(rows) == 4 and rows[2].split(",")[5:9] == ["Sell", "CloseToday", "110.0000", "2"]
        assert (tmp_path / "equity.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        assert "DIFFERS" not in report.text()

    def test_a_position_or_balance_the_exchange_does_not_confirm_differs(self, tmp_path):
        recorder = recorded_day()
        report = build_report(FakeClient(recorder, [(b"2", 1)], 220.0), recorder, tmp_path)
        assert not report.agrees
        differing = [c[0] for c in report.checks if not c[3]]
        assert differing == ["position rb2605", "net profit (balance change)"]
        assert "DIFFERS" in report.text()


class TestInputs:
    def test_tick_file_lists_instruments_in_order_and_counts_ticks(self, tmp_path):
        path = tmp_path / "ticks.csv"
        path.write_text("InstrumentID,ExchangeID,UpdateTime,LastPrice\n"
                        "rb2605,SHFE,09:00:00,3500\nm2605,DCE,09:00:00,3000\n"
                        "rb2605,SHFE,09:00:01,3501\n")
        ticks = TickFile(path)
        assert (list(ticks.instruments.items()), ticks.count) == (
            [("rb2605", "SHFE"), ("m2605", "DCE")], 3)
        path.write_text("InstrumentID,UpdateTime\nrb2605,09:00:00\n")
        with pytest.raises(ValueError, match="ExchangeID"):
            TickFile(path)

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
