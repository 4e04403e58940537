"""Bars from ticks by exchange time: 1- and N-minute bars with their open, high, low, close, the
volume and turnover traded within them, the last open interest; a night session that runs past
midnight; several instruments interleaved; a tick file read into bars; bars cut at the breaks."""
import csv
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))

from day_files import write_day  # noqa: E402
from quorvane.bars import BarBuilder, bars_from_csv  # noqa: E402


def feed(builder, ticks, instrument="rb2705", day="20260105"):
    for time_, price, volume, turnover, interest in ticks:
        builder.update(instrument, day, time_, price, volume, turnover, interest)


class TestBars:
    def test_minute_bars_take_the_volume_traded_within_them(self):
        builder = BarBuilder(1)
        feed(builder, [("09:00:00", 3500, 100, 3.5e6, 10), ("09:00:30", 3504, 110, 3.9e6, 12),
                       ("09:00:59", 3498, 130, 4.6e6, 11), ("09:01:00", 3499, 131, 4.65e6, 11),
                       ("09:03:10", 3510, 150, 5.3e6, 9)])
        builder.flush()
        first, second, third = builder.finished
        assert first[2:] == ("09:00:00", 1, 3500, 3504, 3498, 3498, 30, pytest.approx(1.1e6), 11, 3)
        assert (second.start, second.volume, second.open, second.close) == ("09:01:00", 1, 3499, 3499)
        # No ticks in 09:02: no bar for it.
        assert (third.start, third.volume, third.open_interest) == ("09:03:00", 19, 9)

    def test_five_minute_bars_are_aligned_on_the_clock(self):
        builder = BarBuilder(5)
        feed(builder, [("09:03:00", 1, 0, 0, 0), ("09:04:59", 2, 5, 0, 0), ("09:05:00", 3, 6, 0, 0),
                       ("09:09:59", 4, 9, 0, 0), ("09:10:00", 5, 10, 0, 0)])
        builder.flush()
        assert [(b.start, b.open, b.close, b.volume) for b in builder.finished] == [
            ("09:00:00", 1, 2, 5), ("09:05:00", 3, 4, 4), ("09:10:00", 5, 5, 1)]

    def test_a_night_session_past_midnight_stays_in_its_trading_day(self):
        builder = BarBuilder(1)
        feed(builder, [("23:59:30", 10, 1, 0, 0), ("00:00:10", 11, 2, 0, 0),
                       ("09:00:00", 12, 3, 0, 0)], day="20260106")
        builder.flush()
        assert [b.start for b in builder.finished] == ["23:59:00", "00:00:00", "09:00:00"]
        assert {b.trading_day for b in builder.finished} == {"20260106"}

    def test_instruments_interleaved_and_a_new_day_restarting_the_totals(self):
        bars = []
        builder = BarBuilder(1, on_bar=bars.append)
        builder.update("a", "20260105", "09:00:00", 1.0, 100, 0.0, 0)
        builder.update("b", "20260105", "09:00:01", 7.0, 500, 0.0, 0)
        builder.update("a", "20260105", "09:00:30", 2.0, 104, 0.0, 0)
        builder.update("a", "20260106", "09:00:00", 3.0, 20, 0.0, 0)   # next day: totals restart
        builder.update("a", "20260106", "09:00:40", 4.0, 26, 0.0, 0)
        builder.flush()
        assert [(b.instrument, b.trading_day, b.volume) for b in bars] == [
            ("a", "20260105", 4), ("b", "20260105", 0), ("a", "20260106", 6)]

    @pytest.mark.parametrize("minutes", [0, 1.5, 1441, "5"], ids=["zero", "fraction", "day+1", "text"])
    def test_a_bar_length_outside_whole_minutes_of_a_day_is_refused(self, minutes):
        with pytest.raises((ValueError, TypeError)):
            BarBuilder(minutes)

    def test_a_tick_file_becomes_bars_whose_volumes_add_up(self, tmp_path):
        path = tmp_path / "day.csv"
        write_day(path, "20260105", ticks=300)          # 09:00:00 to 09:02:29, two a second
        bars = bars_from_csv(path, minutes=1)
        assert [b.start for b in bars] == ["09:00:00", "09:01:00", "09:02:00"]
        assert sum(b.ticks for b in bars) == 300
        with open(path, newline="") as source:
            rows = list(csv.DictReader(source))
        assert sum(b.volume for b in bars) == int(rows[-1]["Volume"]) - int(rows[0]["Volume"])
        assert bars[-1].close == float(rows[-1]["LastPrice"])


class TestBarsAtTheBreaks:
    """With the tick's exchange given, bars follow the product's sessions (the shipped table)."""

    def test_an_hour_bar_is_cut_at_the_break_and_the_close_stamped_tick_ends_it(self):
        builder = BarBuilder(60)
        for time_, price, volume in [("08:59:00", 10, 5), ("09:30:00", 11, 7), ("10:14:59", 12, 9),
                                     ("10:15:00", 13, 10), ("10:15:00", 14, 12),   # a repeat
                                     ("10:20:00", 15, 20),                          # in the break
                                     ("10:30:00", 16, 21), ("11:30:00", 17, 25)]:
            builder.update("rb2705", "20261214", time_, price, volume, 0.0, 0, exchange="SHFE")
        assert [(b.start, b.minutes, b.open, b.close, b.volume, b.ticks)
                for b in builder.finished] == [
            ("09:00:00", 60, 10, 11, 2, 2),      # the auction's snapshot opens the session's bar
            ("10:00:00", 15, 12, 13, 3, 2),      # 10:00-10:15, closed by the 10:15:00 snapshot
            ("10:30:00", 30, 16, 16, 1, 1),      # what the repeat and the break reported: no bar
            ("11:00:00", 30, 17, 17, 4, 1)]

    def test_a_night_past_midnight_is_cut_at_its_close(self):
        bars = []
        builder = BarBuilder(240, on_bar=bars.append)
        for time_ in ["21:00:00", "21:59:59", "22:00:00", "01:59:59", "02:00:00", "02:30:00"]:
            builder.update("au2706", "20261214", time_, 600, 0, 0.0, 0, exchange="SHFE")
        builder.update("rb2705", "20261214", "23:30:00", 3500, 0, 0.0, 0, exchange="SHFE")
        assert [(b.start, b.minutes, b.ticks) for b in bars] == [
            ("21:00:00", 60, 2), ("22:00:00", 240, 2), ("02:00:00", 30, 2)]
        builder.flush()
        assert len(bars) == 3            # rb's night ended at 23:00: its 23:30 tick is in no bar
