"""The evening a trading day's night ran on, as the strategy's clock dates it: a recorded ActionDay
when it is sound, else the day replayed before (unless a trading day lies between them), else the
calendar of weekends and holidays."""
import datetime
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))

from quorvane.trading.market_time import Calendar, MarketTime, evening_of_action_day  # noqa: E402

FRI, SAT, MON, TUE = (datetime.date(2026, 12, d) for d in (11, 12, 14, 15))


@pytest.mark.parametrize("trading_day, action_day, time_, evening", [
    ("20261214", "20261211", "21:00:00", FRI),
    ("20261214", "20261212", "00:30:00", FRI),       # past midnight: the day after the evening
    ("20261215", "20261215", "00:30:00", MON),
    ("20261214", "20261214", "21:00:00", None),      # the trading day, as some recorders write
    ("20261214", "20261214", "00:30:00", None),      # ... which past midnight would read Sunday
    ("20261214", "", "21:00:00", None),
    ("20261214", "2026121", "21:00:00", None),
    ("20261217", "20261214", "21:00:00", None),      # three days before a Thursday: not its night
    ("20261214", "20261211", "09:00:00", None),      # a day-session snapshot tells no evening
], ids=["monday-evening", "monday-past-midnight", "tuesday-past-midnight", "trading-day",
        "trading-day-past-midnight", "empty", "unreadable", "too-early", "day-session"])
def test_a_sound_action_day_tells_the_evening(trading_day, action_day, time_, evening):
    hours, minutes, seconds = (int(p) for p in time_.split(":"))
    assert evening_of_action_day(trading_day, action_day,
                                 hours * 3600 + minutes * 60 + seconds) == evening


def test_what_the_run_learned_wins_over_the_calendar():
    market = MarketTime(calendar=Calendar([FRI]))    # a calendar wrong about the Friday
    assert market.evening(MON) == datetime.date(2026, 12, 10)
    market.note_day(FRI)
    assert market.evening(MON) == FRI                # the Friday was replayed: it traded
    assert market.moment(MON, 30 * 60) == datetime.datetime(2026, 12, 12, 0, 30)
    market.note_day(MON, evening=SAT)                # as the data told, however odd
    assert market.evening(MON) == SAT
    gap = MarketTime()
    gap.note_day(datetime.date(2026, 12, 9))         # Wednesday replayed, Thursday's file missing
    assert gap.evening(FRI) == datetime.date(2026, 12, 10)
    assert gap.evening(TUE) == MON and gap.moment(TUE, 9 * 3600).date() == TUE
