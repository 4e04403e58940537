"""The run's equity curve, built a trading day at a time as each day closes: a point per tick,
worth the capital plus the RunTracker's profit marked to market, less the fees paid so far (each
fill's share of its day's fees, fees.day_fill_fees, from the tick it followed on; the day's last
point has paid all of the day's fees). Only what the statistics and the pictures need is kept:
the drawdown's figures as they run (stats.Drawdown) and a thinned copy of the points, so that a
run of any length holds one day's points at a time.
"""
import bisect
import datetime
import itertools
import operator
from array import array
from typing import TYPE_CHECKING, Callable, Dict, List, Mapping, Optional, Tuple

from . import stats
from .fees import Rates, day_fill_fees
from .thinning import Thinned

if TYPE_CHECKING:
    from ..trading.timers import ExchangeClock
    from .days import DayResult
    from .tracking import RunTracker

__all__ = ["EquityCurve"]

# A point the drawdown names: (its number in the run, its trading day, its exchange seconds)
_Key = Tuple[int, str, float]
_Labeller = Callable[[_Key], str]


class EquityCurve:
    """`capital` is the balance the run starts from, `rates` the broker's commission rates,
    `held_before` the lots held when the run began and `paid_before` the fees the first day had
    paid by then."""

    def __init__(self, capital: float, rates: Optional[Rates], multipliers: Mapping[str, float],
                 held_before: Mapping[str, Tuple[int, int]], paid_before: float = 0.0) -> None:
        self.capital, self.rates, self.multipliers = capital, rates or {}, multipliers
        self.held_before, self.paid_before = held_before, paid_before
        self.drawdown = stats.Drawdown()
        self.points = 0                      # points of the days added
        self.paid = 0.0                      # fees paid by the last point
        self._days = 0                       # days added
        self._fills = 0                      # the tracker's fills already shared out
        self._unpaid: List[Tuple[float, float]] = []    # (seconds, fee) of fills not yet paid
        self._numbers: Dict[str, int] = {}   # trading day -> its number in the curve
        # (point number, exchange seconds, value) of the points, thinned for the pictures
        self._kept = Thinned(3)
        self._ends: List[int] = []           # the point number after each day's last
        self._names: List[str] = []          # and the day's name

    def add_day(self, day: "DayResult", previous: Optional["DayResult"],
                tracker: "RunTracker") -> None:
        """The points of a day just closed (`previous`: the day before, None for the first):
        takes the day's ticks from `tracker`."""
        times, values = tracker.take_day()
        held = self.held_before if previous is None else previous.positions
        fills = tracker.fills[self._fills:day.fills_end]
        self._fills = max(self._fills, day.fills_end)
        fees, left = day_fill_fees(fills, day.fees, held, self.rates, self.multipliers,
                                   self.paid_before if not self._days else 0.0)
        self._days += 1
        self._unpaid += [(f["seconds"], fee) for f, fee in zip(fills, fees)]
        end = len(values)
        if not end:
            # A day without ticks has no points: its fills are paid from the next day's.
            return
        rising = all(map(operator.le, times[:-1], times[1:]))
        equity = array("d")
        start = 0
        for seconds, fee in self._unpaid:
            at = _first_at(times, seconds, start, end - 1, rising)
            _less_paid(equity, self.capital, values, start, at, self.paid)
            self.paid += fee
            start = at
        self._unpaid = []
        _less_paid(equity, self.capital, values, start, end - 1, self.paid)
        self.paid += left
        _less_paid(equity, self.capital, values, end - 1, end, self.paid)
        name = str(day.trading_day)
        base = self.points
        self.drawdown.feed(equity, self._numbers.setdefault(name[:8], len(self._numbers)),
                           lambda n: (base + n, name, times[n]))
        self._kept.extend((array("d", range(base, base + end)), times, equity))
        self.points += end
        self._names.append(name)
        self._ends.append(self.points)

    def figures(self, clock: Optional["ExchangeClock"]) -> stats.DrawdownFigures:
        """The drawdown's figures, its points labelled with their exchange time."""
        return self.drawdown.figures(self._labeller(clock))

    def curve(self, clock: Optional["ExchangeClock"]) -> stats.Curve:
        """The kept points as a curve, for the pictures."""
        label = self._labeller(clock)
        numbers, times, values = self._kept.columns
        ends = [bisect.bisect_left(numbers, end) for end in self._ends]
        return stats.Curve(values, ends, self._names,
                           lambda n, day: label((int(numbers[n]), day, times[n])))

    def kept(self) -> Tuple["array[float]", "array[float]"]:
        """(exchange seconds, equity) of the kept points, in the curve's order."""
        _, times, values = self._kept.columns
        return times, values

    @staticmethod
    def _labeller(clock: Optional["ExchangeClock"]) -> _Labeller:
        # A clock that has seconds has a time too.
        seconds = clock.seconds() if clock is not None else None
        now = clock.now() if clock is not None else None
        if seconds is None or now is None:
            return lambda key: "%s #%d" % (key[1], key[0])
        origin = now - datetime.timedelta(seconds=seconds)

        def label(key: _Key) -> str:
            when = origin + datetime.timedelta(seconds=key[2])
            return "%s %s" % (key[1], when.strftime("%H:%M:%S"))
        return label


def _first_at(times: "array[float]", seconds: float, begin: int, end: int, rising: bool) -> int:
    """The first index of times[begin:end] at or after `seconds`, else `end`."""
    if rising:
        return bisect.bisect_left(times, seconds, begin, end)
    return next((n for n in range(begin, end) if seconds <= times[n]), end)


def _less_paid(equity: "array[float]", capital: float, values: "array[float]", begin: int,
               end: int, paid: float) -> None:
    """Appends capital + values[n] - paid for n in [begin, end)."""
    equity.extend(map(operator.sub, map(operator.add, itertools.repeat(capital, end - begin),
                                        values[begin:end]), itertools.repeat(paid)))
