"""The account's profit or loss of the trading day, for the daily-loss limit of the pre-trade
check: what the day's fills closed plus what the lots held are worth at the last price, net of
the fills' fees at the broker's commission rates (none known: no fees), counted from the lots
held when each instrument first ticked in the day (marked at its pre-settlement price).

Snapshots arrive on the market-data thread, fills on the trader library's thread; the lock
guards the tally only, and the limit's handler is called after it is released.
"""
import threading
from typing import Any, Callable, Dict, Mapping

from .fills import OrderFill

__all__ = ["DailyLoss"]

# Prices at or above this are CTP's "no value".
_NO_VALUE = 1e300


class _Mark:
    __slots__ = ("held_before", "held", "cash", "before", "last", "profit")

    def __init__(self, held_before: int, before: float) -> None:
        self.held_before = held_before   # net lots when the day began, marked at `before`
        self.held = held_before          # net lots now
        self.cash = 0.0                  # money the day's fills took in (sold) less paid (bought)
        self.before = before
        self.last = before
        self.profit = 0.0                # in money, at the multiplier


class DailyLoss:
    """Calls passed(loss) once a trading day, when the day's loss goes above `limit`.
    multiplier(code) is an instrument's contract size, held(code) the net lots it holds now."""

    def __init__(self, limit: float, multiplier: Callable[[str], float],
                 held: Callable[[str], int], passed: Callable[[float], None]) -> None:
        self.limit = limit
        self._multiplier = multiplier
        self._held = held
        self._passed = passed
        self.rates: Mapping[str, Any] = {}   # instrument or product -> commission rate record
        self._lock = threading.Lock()
        self._marks: Dict[bytes, _Mark] = {}
        self._profit = 0.0
        self.fees = 0.0
        self._told = False

    @property
    def profit(self) -> float:
        """The day's profit so far, net of fees (a loss is negative)."""
        return self._profit - self.fees

    def new_day(self) -> None:
        with self._lock:
            self._marks.clear()
            self._profit = 0.0
            self.fees = 0.0
            self._told = False

    def _mark(self, code: bytes, before: float) -> _Mark:
        mark = self._marks.get(code)
        if mark is None:
            mark = self._marks[code] = _Mark(self._held(code.decode()), before)
        return mark

    def on_tick(self, tick: Any) -> None:
        last = tick.LastPrice
        if not 0.0 < last < _NO_VALUE:
            return
        code = tick.StandardID
        mark = self._marks.get(code)
        if mark is None:
            before = tick.PreSettlementPrice
            mark = self._mark(code, before if 0.0 < before < _NO_VALUE else last)
        if last == mark.last:
            return
        self._revalue(code, mark, last)

    def on_fill(self, fill: OrderFill) -> None:
        code = fill.instrument.encode()
        multiplier = self._multiplier(fill.instrument)
        with self._lock:
            mark = self._mark(code, fill.price)
            lots = fill.volume if fill.direction == "Buy" else -fill.volume
            mark.held += lots
            mark.cash -= lots * fill.price
            self.fees += self._fee(fill, multiplier)
        self._revalue(code, mark, mark.last)

    def _revalue(self, code: bytes, mark: _Mark, last: float) -> None:
        multiplier = self._multiplier(code.decode())
        with self._lock:
            mark.last = last
            profit = multiplier * (mark.cash + mark.held * last - mark.held_before * mark.before)
            self._profit += profit - mark.profit
            mark.profit = profit
            loss = self.fees - self._profit
            due = loss > self.limit and not self._told
            if due:
                self._told = True
        if due:
            self._passed(loss)

    def _fee(self, fill: OrderFill, multiplier: float) -> float:
        rate = self.rates.get(fill.instrument)
        if rate is None:
            rate = self.rates.get(fill.instrument.rstrip("0123456789"))
        if rate is None:
            return 0.0
        kind = {"Open": "Open", "CloseToday": "CloseToday"}.get(fill.offset, "Close")
        money: float = getattr(rate, kind + "RatioByMoney")
        volume: float = getattr(rate, kind + "RatioByVolume")
        return money * fill.price * fill.volume * multiplier + volume * fill.volume
