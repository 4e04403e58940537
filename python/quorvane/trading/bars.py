"""Bars from ticks, by exchange time: 1-minute and N-minute bars with open, high, low, close, volume,
turnover and open interest, and the feed that hands finished bars to a strategy's on_bar.

A bar covers [start, start + N minutes) of exchange time, aligned on the clock (5-minute bars start
at 09:00, 09:05, ...), and never spans a break: where its product's trading hours are known (the
tick's exchange is, and market_time's table has its product), a bar is cut at the open and the close
of its session (a 60-minute bar of 10:00 ends at 10:15, the next starts at 10:30), and its
`minutes` say how long it is then. The snapshot stamped at a session's close (10:15:00, 15:00:00,
23:00:00, ...) is the session's last: it closes the session's last bar, which is handed over at
once; one within the auction minutes before an open goes to the session's first bar; a snapshot
outside the sessions, or stamped at a close whose bar was already handed over, belongs to no bar.
Otherwise a bar is finished, and handed over, when the first tick of a later bar of the same
instrument arrives, or when the day ends (flush). A night session's ticks after midnight belong to
the same trading day and sort after its evening ones.

Volume and turnover of a bar are what traded within it: the differences of the day's cumulative
totals between the bar's last tick and the tick before the bar (the first tick of a day counts
nothing, since what traded before it is unknown; what a tick outside the bars reports counts in no
bar). Open interest is the bar's last value.
"""
import csv
import os
from typing import TYPE_CHECKING, Any, Callable, Dict, List, NamedTuple, Optional, Tuple, Union

from .market_time import AT_CLOSE, BEFORE_OPEN, ProductHours, TradingHours, place, product_of
from .records import CQVMarketDataField, CThostFtdcDepthMarketDataField
from .timers import tick_seconds

if TYPE_CHECKING:
    from .strategy import Strategy

__all__ = ["Bar", "BarBuilder", "BarFeed", "bars_from_csv"]


class Bar(NamedTuple):
    """One finished bar of an instrument: its trading day, its start ("HH:MM:00" of exchange
    time) and length in minutes (the bar length, less where a session's open or close cuts it),
    its prices, what traded within it and its last open interest."""

    instrument: str
    trading_day: str
    start: str
    minutes: int
    open: float
    high: float
    low: float
    close: float
    volume: int
    turnover: float
    open_interest: float
    ticks: int

# Minutes of the clock at which a trading day's sessions begin counting: 18:00, before the night
# session, so that a day's bars sort in trading order.
_DAY_OFFSET = 18 * 60


def _minute_index(update_time: str) -> int:
    """Minutes since 18:00 of the trading day's evening, from "HH:MM:SS"."""
    hours, minutes = int(update_time[0:2]), int(update_time[3:5])
    return (hours * 60 + minutes - _DAY_OFFSET) % (24 * 60)


def _span_index(minutes: int) -> int:
    """A session bound (minutes past its own midnight; a night's may pass 24:00) on that scale."""
    return minutes - _DAY_OFFSET if minutes >= _DAY_OFFSET else minutes + 24 * 60 - _DAY_OFFSET


def _clock(index: int) -> str:
    total = (index + _DAY_OFFSET) % (24 * 60)
    return "%02d:%02d:00" % (total // 60, total % 60)


# An open bar's identity: (trading day, session number or -1 when the hours are unknown, bar of
# the clock).
_Key = Tuple[str, int, int]


class _Open:
    """A bar being built."""

    __slots__ = ("key", "start", "minutes", "open", "high", "low", "close", "volume", "turnover",
                 "open_interest", "ticks")

    def __init__(self, key: _Key, start: int, minutes: int, price: float) -> None:
        self.key, self.start, self.minutes = key, start, minutes
        self.open = self.high = self.low = self.close = price
        self.volume, self.turnover, self.open_interest, self.ticks = 0, 0.0, 0.0, 0


# Where a time of day puts a tick of a product: (session number, bar of the clock, start and
# length of the bar in minutes since 18:00, whether it is the close-stamped tick).
_Slot = Tuple[int, int, int, int, bool]


class _Slots(Dict[str, Optional[_Slot]]):
    """The slots of one product's hours by UpdateTime text, filled as the times arrive."""

    def __init__(self, hours: ProductHours) -> None:
        super().__init__()
        self.hours = hours


class BarBuilder:
    """Builds N-minute bars of any number of instruments; `on_bar(bar)` receives each finished
    bar. Feed ticks in their order of arrival (one instrument's times never go back). `hours`
    are the trading hours that cut bars at the breaks (None: the shipped table); they apply to
    the ticks given with their exchange."""

    def __init__(self, minutes: int = 1, on_bar: Optional[Callable[[Bar], Any]] = None,
                 hours: Optional[TradingHours] = None) -> None:
        if int(minutes) != minutes or not 1 <= minutes <= 24 * 60:
            raise ValueError("bar length must be a whole number of minutes from 1 to 1440, not %r"
                             % (minutes,))
        self.minutes = int(minutes)
        self.on_bar = on_bar
        self.finished: List[Bar] = []
        self.hours = hours if hours is not None else TradingHours.shipped()
        self._open: Dict[str, _Open] = {}
        # instrument -> (trading day, cumulative volume, cumulative turnover)
        self._totals: Dict[str, Tuple[str, int, float]] = {}
        # instrument -> the key of its bar that a close-stamped tick finished
        self._closed: Dict[str, _Key] = {}
        self._products: Dict[Tuple[str, str], Optional[_Slots]] = {}

    def update(self, instrument: str, trading_day: str, update_time: str, price: float,
               volume: int, turnover: float, open_interest: float, exchange: str = "") -> None:
        """One tick: cumulative volume and turnover of the day, as a front sends them."""
        slots = self._slots_of(exchange, instrument) if exchange else None
        closing = False
        if slots is None:
            bucket = _minute_index(update_time) // self.minutes
            key: _Key = (trading_day, -1, bucket)
            start, length = bucket * self.minutes, self.minutes
        else:
            try:
                slot = slots[update_time]
            except KeyError:
                slot = slots[update_time] = self._slot(slots.hours, update_time)
            if slot is None:
                self._count(instrument, trading_day, volume, turnover)
                return
            number, bucket, start, length, closing = slot
            key = (trading_day, number, bucket)
        bar = self._open.get(instrument)
        if bar is not None and bar.key != key:
            self._finish(instrument)
            bar = None
        if bar is None and self._closed.get(instrument) == key:
            self._count(instrument, trading_day, volume, turnover)   # its bar was handed over
            return
        day, last_volume, last_turnover = self._totals.get(instrument, (None, None, None))
        if day != trading_day or last_volume is None or volume < last_volume:
            last_volume, last_turnover = volume, turnover
        assert last_turnover is not None   # known with the volume, or taken with it just now
        if bar is None:
            bar = self._open[instrument] = _Open(key, start, length, price)
        bar.high = max(bar.high, price)
        bar.low = min(bar.low, price)
        bar.close = price
        bar.volume += volume - last_volume
        bar.turnover += turnover - last_turnover
        bar.open_interest = open_interest
        bar.ticks += 1
        self._totals[instrument] = (trading_day, volume, turnover)
        if closing:
            self._closed[instrument] = key
            self._finish(instrument)

    def _count(self, instrument: str, trading_day: str, volume: int, turnover: float) -> None:
        """A tick in no bar: the next bar counts what traded after it."""
        self._totals[instrument] = (trading_day, volume, turnover)

    def _slots_of(self, exchange: str, instrument: str) -> Optional[_Slots]:
        """The slots of the instrument's product hours (shared by the products of those hours),
        None when they are unknown."""
        key = (exchange, instrument)
        if key not in self._products:
            hours = self.hours.of(exchange, product_of(instrument))
            slots = None
            if hours is not None:
                slots = next((s for s in self._products.values()
                              if s is not None and s.hours is hours), None)
                if slots is None:
                    slots = _Slots(hours)
            self._products[key] = slots
        return self._products[key]

    def _slot(self, hours: ProductHours, update_time: str) -> Optional[_Slot]:
        """The bar slot of a time of day within `hours`; None outside the sessions."""
        seconds = tick_seconds(update_time)
        where = place(hours, seconds) if seconds is not None else None
        if where is None:
            return None
        span = (hours.night + hours.day)[where.number]
        opens, closes = _span_index(span.open), _span_index(span.close)
        closing = where.where == AT_CLOSE
        index = (closes - 1 if closing else opens if where.where == BEFORE_OPEN
                 else _minute_index(update_time))
        bucket = index // self.minutes
        start = max(bucket * self.minutes, opens)
        return (where.number, bucket, start, min((bucket + 1) * self.minutes, closes) - start,
                closing)

    def update_tick(self, tick: Union[CQVMarketDataField, CThostFtdcDepthMarketDataField],
                    trading_day: Optional[str] = None) -> None:
        """One CQVMarketDataField (or CThostFtdcDepthMarketDataField) view; `trading_day` when
        known better than the tick's own."""
        code = getattr(tick, "StandardID", None) or tick.InstrumentID
        self.update(code.decode(), trading_day or tick.TradingDay.decode(),
                    tick.UpdateTime.decode(), tick.LastPrice, tick.Volume, tick.Turnover,
                    tick.OpenInterest, tick.ExchangeID.decode())

    def finish(self, instrument: str) -> None:
        """Finishes the instrument's open bar, if it has one (its session ended)."""
        if instrument in self._open:
            self._finish(instrument)

    def flush(self) -> None:
        """Finishes every bar still open (the day or the run ended)."""
        for instrument in list(self._open):
            self._finish(instrument)

    def _finish(self, instrument: str) -> None:
        b = self._open.pop(instrument)
        bar = Bar(instrument, b.key[0], _clock(b.start), b.minutes, b.open, b.high, b.low,
                  b.close, b.volume, b.turnover, b.open_interest, b.ticks)
        if self.on_bar is None:
            self.finished.append(bar)
        else:
            self.on_bar(bar)


class BarFeed:
    """A client observer that builds bars from the ticks and calls the strategy's on_bar with each
    finished one, before the tick that finished it reaches on_tick. The strategy's `bar_minutes`
    (default 1) sets the bar length; `hours` cut the bars at the breaks (None: the shipped
    table)."""

    def __init__(self, strategy: "Strategy", hours: Optional[TradingHours] = None) -> None:
        self.strategy = strategy
        self.builder = BarBuilder(getattr(strategy, "bar_minutes", 1), strategy.on_bar, hours)
        self.trading_day: Optional[str] = None

    def on_day_start(self, trading_day: str) -> None:
        """A replayed day begins: its bars carry `trading_day`."""
        # The runtime's snapshot record keeps the TradingDay of an instrument's first snapshot.
        self.trading_day = trading_day

    def on_tick(self, tick: CQVMarketDataField) -> None:
        """Adds the tick to its instrument's bar, finishing the bar it ends."""
        self.builder.update_tick(tick, self.trading_day)

    def on_day_end(self, trading_day: str) -> None:
        """Finishes the day's open bars."""
        self.builder.flush()

    def on_stop(self, reason: str) -> None:
        """Finishes the bars still open when the run ends."""
        self.builder.flush()


def bars_from_csv(path: Union[str, "os.PathLike[str]"], minutes: int = 1,
                  hours: Optional[TradingHours] = None) -> List[Bar]:
    """Every bar of a tick file (the replay's CSV format), in the order they finish; the rows
    with an ExchangeID are cut at their product's breaks by `hours` (None: the shipped table)."""
    builder = BarBuilder(minutes, hours=hours)
    with open(path, newline="") as source:
        for row in csv.DictReader(source):
            builder.update(row["InstrumentID"], row.get("TradingDay", ""), row["UpdateTime"],
                           float(row["LastPrice"]), int(float(row.get("Volume") or 0)),
                           float(row.get("Turnover") or 0.0),
                           float(row.get("OpenInterest") or 0.0), row.get("ExchangeID") or "")
    builder.flush()
    return builder.finished
