"""Timers on the replayed market's clock: they fire by the snapshots' own times, in due order,
once after a gap in the market, and the clock runs on past midnight in a night session, whose
evening is a Monday's Friday."""
import datetime
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))

from quorvane.timers import ExchangeClock, Timers  # noqa: E402


class Market:
    """An exchange clock fed snapshot times, with timers that log what fired and when."""

    def __init__(self):
        self.clock = ExchangeClock()
        self.timers = Timers(self.clock.seconds)
        self.fired = []

    def every(self, seconds, name, repeat=True):
        return self.timers.add(seconds, lambda: self.fired.append((name, self.time())), repeat)

    def time(self):
        return self.clock.now().strftime("%H:%M:%S")

    def tick(self, update_time, millis=0, day=b"20260108"):
        self.clock.advance(day, update_time.encode(), millis)
        for timer in self.timers.due():
            if not timer.cancelled:
                timer.callback()


class TestExchangeTimers:
    def test_timers_fire_by_snapshot_time_in_due_order(self):
        market = Market()
        market.every(10, "ten")
        market.every(15, "fifteen")
        market.every(12, "once", repeat=False)
        for second in range(0, 31):
            market.tick("09:00:%02d" % second, 500)
        assert market.fired == [
            ("ten", "09:00:10"), ("once", "09:00:12"), ("fifteen", "09:00:15"),
            ("ten", "09:00:20"), ("ten", "09:00:30"), ("fifteen", "09:00:30")]

    def test_a_gap_in_the_market_fires_a_timer_once_and_keeps_its_step(self):
        market = Market()
        market.every(60, "minute")
        market.tick("11:29:00")
        market.tick("11:30:00")
        market.tick("13:30:05")                       # after the midday break
        market.tick("13:30:59")
        market.tick("13:31:00")
        assert market.fired == [("minute", "11:30:00"), ("minute", "13:30:05"),
                                ("minute", "13:31:00")]

    def test_cancel_stops_a_timer_and_nothing_fires_before_the_first_snapshot(self):
        market = Market()
        timer = market.every(1, "second")
        assert market.timers.due() == []
        market.tick("09:00:00")
        market.tick("09:00:01")
        timer.cancel()
        market.tick("09:00:05")
        assert market.fired == [("second", "09:00:01")]

    def test_a_night_session_runs_past_midnight(self):
        market = Market()
        market.every(3600, "hour")
        market.tick("21:00:00", day=b"20260109")
        market.tick("23:59:59", day=b"20260109")
        market.tick("00:00:01", day=b"20260109")
        market.tick("01:00:00", day=b"20260109")
        # The session began the evening before its trading day.
        assert market.clock.now() == datetime.datetime(2026, 1, 9, 1, 0, 0)
        assert [t for _, t in market.fired] == ["23:59:59", "00:00:01", "01:00:00"]
        # A snapshot late by a second does not move the clock back.
        market.tick("00:59:59", day=b"20260109")
        assert market.clock.now() == datetime.datetime(2026, 1, 9, 1, 0, 0)

    def test_a_mondays_night_reads_friday_evening_and_its_day_reads_monday(self):
        market = Market()
        market.every(3600, "hour")
        for update_time in ["21:00:00", "00:30:00", "02:30:00", "09:00:00"]:
            market.tick(update_time, day=b"20261214")
            market.fired.append(("now", market.clock.now().isoformat()))
        assert market.fired == [
            ("now", "2026-12-11T21:00:00"), ("hour", "00:30:00"), ("now", "2026-12-12T00:30:00"),
            ("hour", "02:30:00"), ("now", "2026-12-12T02:30:00"),
            ("hour", "09:00:00"), ("now", "2026-12-14T09:00:00")]   # once over the weekend
