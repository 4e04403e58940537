"""1-minute candles of each instrument of a run, built a trading day at a time from the ticks a
RunTracker holds for the day just closed, so that they cost the replay's threads nothing and a run
keeps only its candles (a month of an instrument is some 12,000).

A candle covers a minute of exchange time and is cut where the strategy's 1-minute bars are
(quorvane.trading.bars): the snapshot stamped in a session's closing second ends the session's
last candle (a second one in that second belongs to none), one in the auction minutes before an
open goes to the session's first candle, and one outside the sessions to none; an instrument
whose trading hours are unknown gets candles by the clock alone. A price without a value (CTP's
largest double) is left out.
"""
import bisect
import operator
from array import array
from typing import TYPE_CHECKING, Callable, Dict, List, Optional, Sequence, Tuple

from ..trading.market_time import AT_CLOSE, BEFORE_OPEN, ProductHours, place

if TYPE_CHECKING:
    from ..research.tracking import RunTracker

__all__ = ["MinuteCandles", "Candles", "NO_VALUE"]

# Prices at or above this are CTP's "no value".
NO_VALUE = 1e300
_DAY = 86400


class Candles:
    """One instrument's candles in time order: their starts (the clock's seconds, see
    ExchangeClock) and prices, column by column, and the trading day of each."""

    __slots__ = ("starts", "opens", "highs", "lows", "closes", "days")

    def __init__(self) -> None:
        self.starts, self.opens = array("d"), array("d")
        self.highs, self.lows, self.closes = array("d"), array("d"), array("d")
        # (trading day, index of its first candle), in order
        self.days: List[Tuple[str, int]] = []

    def __len__(self) -> int:
        return len(self.starts)

    def add(self, start: float, prices: Sequence[float]) -> None:
        """Prices of ticks belonging to the candle of `start`, which is this instrument's last or
        a later one."""
        high, low = max(prices), min(prices)
        if self.starts and self.starts[-1] == start:
            self.highs[-1] = max(self.highs[-1], high)
            self.lows[-1] = min(self.lows[-1], low)
            self.closes[-1] = prices[-1]
            return
        self.starts.append(start)
        self.opens.append(prices[0])
        self.highs.append(high)
        self.lows.append(low)
        self.closes.append(prices[-1])

    def coarser(self, minutes: int) -> "Candles":
        """These candles merged into candles of `minutes`, aligned on the clock."""
        merged = Candles()
        width = minutes * 60.0
        first_of_day = dict((index, day) for day, index in self.days)
        for n in range(len(self.starts)):
            start = self.starts[n] // width * width
            if merged.starts and merged.starts[-1] == start:
                merged.highs[-1] = max(merged.highs[-1], self.highs[n])
                merged.lows[-1] = min(merged.lows[-1], self.lows[n])
                merged.closes[-1] = self.closes[n]
            else:
                merged.starts.append(start)
                merged.opens.append(self.opens[n])
                merged.highs.append(self.highs[n])
                merged.lows.append(self.lows[n])
                merged.closes.append(self.closes[n])
            if n in first_of_day:
                merged.days.append((first_of_day[n], len(merged.starts) - 1))
        return merged


# Where the snapshots from a second of the day go: (start of their candle as seconds of the day,
# or None for no candle; the second of the day where that stops holding; whether only the first
# snapshot of the stretch belongs to the candle).
_Slot = Tuple[Optional[float], float, bool]


def _slot(hours: Optional[ProductHours], second: float) -> _Slot:
    minute_end = (second // 60 + 1) * 60
    if hours is None:
        return second // 60 * 60, minute_end, False
    where = place(hours, second % _DAY)
    if where is None:
        return None, second + 1, False
    span = (hours.night + hours.day)[where.number]
    # A night's bounds past midnight are past 24:00 (1500 is 01:00): seconds of the same day.
    opens, closes = span.open * 60 % _DAY, span.close * 60 % _DAY
    if where.where == AT_CLOSE:
        return closes - 60, second + 1, True
    if where.where == BEFORE_OPEN:
        return float(opens), float(opens), False
    return second // 60 * 60, minute_end, False


class MinuteCandles:
    """The run's candles, instrument by instrument. `hours_of(instrument)` gives the trading
    hours that cut an instrument's candles (None: by the clock alone)."""

    def __init__(self, hours_of: Callable[[str], Optional[ProductHours]]) -> None:
        self.hours_of = hours_of
        self.by_instrument: Dict[str, Candles] = {}
        self._hours: Dict[str, Optional[ProductHours]] = {}

    def add_day(self, trading_day: Optional[str], tracker: "RunTracker") -> None:
        """The candles of the day's ticks the tracker still holds: call it when the day has
        closed, before the equity curve takes them."""
        for name in sorted(tracker.tracks):
            track = tracker.tracks[name]
            if not len(track.times):
                continue
            candles = self.by_instrument.get(name)
            if candles is None:
                candles = self.by_instrument[name] = Candles()
            if name not in self._hours:
                self._hours[name] = self.hours_of(name)
            first = len(candles)
            _add_ticks(candles, self._hours[name], track.times, track.prices)
            if len(candles) > first:
                candles.days.append((trading_day or "", first))


def _add_ticks(candles: Candles, hours: Optional[ProductHours], times: "array[float]",
               prices: "array[float]") -> None:
    """Adds one day's ticks of an instrument (times as the clock's seconds) to its candles."""
    if not all(map(operator.le, times[:-1], times[1:])):
        order = sorted(range(len(times)), key=times.__getitem__)
        times = array("d", map(times.__getitem__, order))
        prices = array("d", map(prices.__getitem__, order))
    count = len(times)
    begin = 0
    while begin < count:
        second = times[begin] // 1
        midnight = second // _DAY * _DAY
        start, until, first_only = _slot(hours, second - midnight)
        end = bisect.bisect_left(times, midnight + until, begin)
        end = max(end, begin + 1)
        if start is not None:
            taken = prices[begin:begin + 1] if first_only else prices[begin:end]
            if max(taken) >= NO_VALUE:
                taken = array("d", (p for p in taken if p < NO_VALUE))
            if len(taken):
                candles.add(midnight + start, taken)
        begin = end
