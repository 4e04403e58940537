"""Timers of a strategy, on one of two clocks: the replayed market's (exchange time, advanced by
the snapshots' own times, so that a replay fires the same timers at the same ticks every run) or
the wall clock (live trading, advanced by the client's loop).

Timers fire from whichever thread advances their clock (the market-data thread in a replay, the
client's worker live), one at a time, in order of their due time, then of their creation.
"""
import datetime
import heapq
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

from ..errors import ParameterError
from .market_time import EVENING, MORNING, MarketTime, as_date

__all__ = ["ExchangeClock", "Timer", "Timers", "tick_seconds"]


def tick_seconds(update_time: Union[str, bytes], millis: float = 0) -> Optional[float]:
    """Seconds since midnight of a snapshot's UpdateTime ("HH:MM:SS", str or bytes) and
    UpdateMillisec; None when unreadable."""
    if isinstance(update_time, bytes):
        update_time = update_time.decode("ascii", "replace")
    parts = update_time.split(":")
    if len(parts) != 3:
        return None
    try:
        hours, minutes, seconds = (int(p) for p in parts)
    except ValueError:
        return None
    return hours * 3600 + minutes * 60 + seconds + millis / 1000.0


class ExchangeClock:
    """The replayed market's time: the latest snapshot time seen, never going back. A snapshot's
    time of day is dated by its trading day (the one begin_day named, else its own TradingDay)
    through the client's MarketTime: a night session's evening on the evening its night ran on (a
    Monday's on Friday), its hours past midnight on the day after, the day sessions on the
    trading day itself."""

    def __init__(self, market: Optional[MarketTime] = None) -> None:
        self.market = market if market is not None else MarketTime()
        # Seconds since midnight of the first snapshot's calendar day.
        self.now_seconds: Optional[float] = None
        self._origin: Optional[datetime.datetime] = None   # datetime of that midnight
        # The last UpdateTime text read, and its seconds on the clock.
        self._update_time: Optional[Union[str, bytes]] = None
        self._whole: Optional[float] = None
        # The trading day begin_day named, and whether the next snapshot is its first.
        self._day: Optional[datetime.date] = None
        self._day_begins = False
        # (trading day, part of the day) -> seconds from the origin to that part's midnight
        self._bases: Dict[Tuple[Any, int], float] = {}

    def begin_day(self, trading_day: Union[str, bytes]) -> None:
        """The next snapshot opens `trading_day` (a replay of several days): its times are dated
        by that day, whatever the snapshots' own TradingDay says."""
        self._day = _trading_date(trading_day)
        self._day_begins = True

    def take(self, tick: Any) -> Optional[float]:
        """Takes a snapshot record's time (TradingDay, UpdateTime, UpdateMillisec). Snapshots
        come many to a second: the text is parsed only when it changes."""
        update_time = tick.UpdateTime
        if update_time != self._update_time or self._day_begins:
            whole = tick_seconds(update_time)
            if whole is None:
                return self.now_seconds
            day = self._day if self._day is not None else tick.TradingDay
            part = 0 if whole >= EVENING else 1 if whole < MORNING else 2
            base = self._bases.get((day, part))
            if base is None:
                base = self._base(day, whole)
                self._bases[(day, part)] = base
            self._update_time, self._whole = update_time, base + whole
            self._day_begins = False
        assert self._whole is not None   # read with this UpdateTime, here or before
        seconds = self._whole + tick.UpdateMillisec / 1000.0
        if self.now_seconds is None or seconds > self.now_seconds:
            self.now_seconds = seconds
        return self.now_seconds

    def _base(self, day: Any, whole: float) -> float:
        date = self.market.date_of(_trading_date(day), whole)
        midnight = datetime.datetime.combine(date, datetime.time())
        if self._origin is None:
            self._origin = midnight
        return (midnight - self._origin).total_seconds()

    def advance(self, trading_day: Union[str, bytes], update_time: Union[str, bytes],
                millis: int = 0) -> Optional[float]:
        """Takes one snapshot's time given as fields; returns the clock's seconds, or None while
        it has none."""
        class _Tick:
            TradingDay, UpdateTime, UpdateMillisec = trading_day, update_time, millis
        return self.take(_Tick)

    def seconds(self) -> Optional[float]:
        """The clock's seconds (None before the first snapshot)."""
        return self.now_seconds

    def now(self) -> Optional[datetime.datetime]:
        """The exchange time as a datetime (None before the first snapshot)."""
        if self.now_seconds is None:
            return None
        return self.at(self.now_seconds)

    def at(self, seconds: float) -> datetime.datetime:
        """The datetime of a reading of the clock's seconds (REQUIRES: a snapshot was taken)."""
        assert self._origin is not None   # set with the first snapshot's time
        return self._origin + datetime.timedelta(seconds=seconds)


def _trading_date(trading_day: Union[str, bytes, datetime.date]) -> datetime.date:
    """A snapshot's trading day; one that is not YYYYMMDD counts as 1970-01-01."""
    if isinstance(trading_day, datetime.date):
        return trading_day
    if isinstance(trading_day, bytes):
        trading_day = trading_day.decode("ascii", "replace")
    try:
        return as_date(trading_day)
    except ParameterError:
        return datetime.date(1970, 1, 1)


class Timer:
    """One scheduled callable; cancel() stops it."""

    def __init__(self, number: int, interval: float, callback: Callable[[], Any],
                 repeat: bool) -> None:
        self.number = number      # creation order: breaks ties between timers due together
        self.interval = interval
        self.callback = callback
        self.repeat = repeat
        self.due: Optional[float] = None
        self.cancelled = False

    def cancel(self) -> None:
        """Stops the timer: it fires no more."""
        self.cancelled = True


class Timers:
    """Timers on one clock, given as a callable returning seconds (None while it has no time).

    A repeating timer fires at most once per advance: after a gap in the market (a break between
    sessions) it fires once, then keeps its step from the time it fired."""

    def __init__(self, clock: Callable[[], Optional[float]]) -> None:
        self._clock = clock
        self._heap: List[Tuple[float, int, Timer]] = []  # (due, creation number, timer)
        self._pending: List[Timer] = []  # timers added before the clock had a time
        self._sequence = 0
        self._lock = threading.Lock()
        self.armed = False        # any timer scheduled: read on every snapshot, so kept at hand

    def add(self, interval: Union[float, datetime.timedelta], callback: Callable[[], Any],
            repeat: bool = True) -> Timer:
        """Calls callback() every `interval` seconds (once, after `interval`, when not repeat)."""
        if isinstance(interval, datetime.timedelta):
            interval = interval.total_seconds()
        interval = float(interval)
        if not interval > 0:
            raise ValueError("a timer's interval must be above 0 seconds, not %r" % interval)
        if not callable(callback):
            raise TypeError("a timer needs a callable, not %r" % (callback,))
        now = self._clock()
        with self._lock:
            self._sequence += 1
            timer = Timer(self._sequence, interval, callback, repeat)
            if now is None:
                self._pending.append(timer)
            else:
                self._push(timer, now + interval)
            self.armed = True
        return timer

    def _push(self, timer: Timer, due: float) -> None:
        timer.due = due
        heapq.heappush(self._heap, (due, timer.number, timer))

    def due(self) -> List[Timer]:
        """Timers due at the clock's time, in firing order; repeating ones rescheduled."""
        now = self._clock()
        if now is None:
            return []
        fired = []
        with self._lock:
            for timer in self._pending:
                self._push(timer, now + timer.interval)
            self._pending = []
            while self._heap and self._heap[0][0] <= now:
                due, _, timer = heapq.heappop(self._heap)
                if timer.cancelled:
                    continue
                fired.append(timer)
                if timer.repeat:
                    steps = int((now - due) // timer.interval) + 1
                    self._push(timer, due + steps * timer.interval)
            self.armed = bool(self._heap)
        return [t for t in fired if not t.cancelled]

    def __bool__(self) -> bool:
        return self.armed

    def __len__(self) -> int:
        with self._lock:
            return sum(1 for _, _, t in self._heap if not t.cancelled) + len(self._pending)


def wall_seconds() -> float:
    """The wall clock's seconds since the epoch: the clock of live trading."""
    return time.time()
