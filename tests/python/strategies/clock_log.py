"""Writes what the strategy's clock shows to `log`, one JSON line each: every tick with now() and
session_ending() for its instrument, the bars, the session and day hooks, and the firings of a
timer every `timer` seconds. `holidays` (comma-separated YYYYMMDD) are added to its calendar."""
import json

from quorvane import Strategy


class ClockLog(Strategy):
    def __init__(self, log="", minutes=1, timer=60.0, holidays=""):
        self.out = open(log, "a")
        self.bar_minutes = minutes
        self.timer, self.holidays = timer, [d for d in holidays.split(",") if d]
        self.armed = False

    def _note(self, **entry):
        self.out.write(json.dumps(entry) + "\n")
        self.out.flush()

    def on_ready(self):
        self.client.market_time.calendar.add_holidays(self.holidays)
        if not self.armed:
            self.armed = True
            self.every(self.timer, lambda: self._note(hook="timer", now=self.now().isoformat()))

    def on_tick(self, tick):
        code = tick.StandardID.decode()
        self._note(hook="tick", instrument=code, time=tick.UpdateTime.decode(),
                   millis=tick.UpdateMillisec, now=self.now().isoformat(),
                   ending=self.session_ending(instrument=code))

    def on_bar(self, bar):
        self._note(hook="bar", **bar._asdict())

    def _session(self, hook, session):
        self._note(hook=hook, day=session.trading_day, name=session.name,
                   open=session.open.isoformat(), close=session.close.isoformat())

    def on_session_start(self, session):
        self._session("session_start", session)

    def on_session_end(self, session):
        self._session("session_end", session)

    def on_day_start(self, trading_day):
        self._note(hook="day_start", day=trading_day)

    def on_day_end(self, trading_day):
        self._note(hook="day_end", day=trading_day)
