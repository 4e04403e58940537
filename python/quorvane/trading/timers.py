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
from typing import Any, Callable, List, Optional, Tuple, Union

__all__ = ["ExchangeClock", "Timer", "Timers", "tick_seconds"]

_DAY = 86400.0


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
    """The replayed market's time: the latest snapshot time seen, never going back. A time that
    falls back by more than half a day belongs to the next calendar day (a night session running
    past midnight)."""

    def __init__(self) -> None:
        # Seconds since midnight of the first snapshot's day, days added.
        self.now_seconds: Optional[float] = None
        self._origin: Optional[datetime.datetime] = None   # datetime of that midnight
        self._offset = 0.0
        # The last UpdateTime text read, and its whole seconds.
        self._update_time: Optional[Union[str, bytes]] = None
        self._whole: Optional[float] = None
        # A trading day that begins with the next snapshot.
        self._next_day: Optional[Union[str, bytes]] = None

    def begin_day(self, trading_day: Union[str, bytes]) -> None:
        """The next snapshot opens `trading_day` (a replay of several days): its time counts from
        that day's calendar day, not from the day before's."""
        self._next_day = trading_day

    def take(self, tick: Any) -> Optional[float]:
        """Takes a snapshot record's time (TradingDay, UpdateTime, UpdateMillisec). Snapshots
        come many to a second: the text is parsed only when it changes."""
        update_time = tick.UpdateTime
        if update_time != self._update_time or self._next_day is not None:
            whole = tick_seconds(update_time)
            if whole is None:
                return self.now_seconds
            if self._origin is None:
                self._origin = _calendar_day(tick.TradingDay, whole)
            if self._next_day is not None:
                begins = _calendar_day(self._next_day, whole)
                self._offset = max(self._offset, (begins - self._origin).total_seconds())
                self._next_day = None
            whole += self._offset
            if self.now_seconds is not None and whole < self.now_seconds - _DAY / 2:
                self._offset += _DAY
                whole += _DAY
            self._update_time, self._whole = update_time, whole
        assert self._whole is not None   # read with this UpdateTime, here or before
        seconds = self._whole + tick.UpdateMillisec / 1000.0
        if self.now_seconds is None or seconds > self.now_seconds:
            self.now_seconds = seconds
        return self.now_seconds

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
        assert self._origin is not None   # set with the first snapshot's time
        return self._origin + datetime.timedelta(seconds=self.now_seconds)


def _calendar_day(trading_day: Union[str, bytes], seconds: float) -> datetime.datetime:
    """Midnight of the calendar day a session starts on: its trading day, or the day before for
    an evening (night) session."""
    if isinstance(trading_day, bytes):
        trading_day = trading_day.decode("ascii", "replace")
    try:
        day = datetime.datetime.strptime(trading_day.strip(), "%Y%m%d")
    except ValueError:
        day = datetime.datetime(1970, 1, 1)
    if seconds >= 18 * 3600:
        day -= datetime.timedelta(days=1)
    return day


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
