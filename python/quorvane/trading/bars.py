"""Bars from ticks, by exchange time: 1-minute and N-minute bars with open, high, low, close, volume,
turnover and open interest, and the feed that hands finished bars to a strategy's on_bar.

A bar covers [start, start + N minutes) of exchange time, aligned on the clock (5-minute bars start
at 09:00, 09:05, ...). It is finished, and handed over, when the first tick of a later bar of the
same instrument arrives, or when the day ends (flush). A night session's ticks after midnight
belong to the same trading day and sort after its evening ones.

Volume and turnover of a bar are what traded within it: the differences of the day's cumulative
totals between the bar's last tick and the tick before the bar (the first tick of a day counts
nothing, since what traded before it is unknown). Open interest is the bar's last value.
"""
import csv
import os
from typing import TYPE_CHECKING, Any, Callable, Dict, List, NamedTuple, Optional, Tuple, Union

from .records import CQVMarketDataField, CThostFtdcDepthMarketDataField

if TYPE_CHECKING:
    from .strategy import Strategy

__all__ = ["Bar", "BarBuilder", "BarFeed", "bars_from_csv"]


class Bar(NamedTuple):
    """One finished bar of an instrument: its trading day, its start ("HH:MM:00" of exchange
    time) and length in minutes, its prices, what traded within it and its last open interest."""

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


def _clock(index: int) -> str:
    total = (index + _DAY_OFFSET) % (24 * 60)
    return "%02d:%02d:00" % (total // 60, total % 60)


class _Open:
    """A bar being built."""

    __slots__ = ("key", "start", "open", "high", "low", "close", "volume", "turnover",
                 "open_interest", "ticks")

    def __init__(self, key: Tuple[str, int], start: int, price: float) -> None:
        self.key, self.start = key, start
        self.open = self.high = self.low = self.close = price
        self.volume, self.turnover, self.open_interest, self.ticks = 0, 0.0, 0.0, 0


class BarBuilder:
    """Builds N-minute bars of any number of instruments; `on_bar(bar)` receives each finished
    bar. Feed ticks in their order of arrival (one instrument's times never go back)."""

    def __init__(self, minutes: int = 1, on_bar: Optional[Callable[[Bar], Any]] = None) -> None:
        if int(minutes) != minutes or not 1 <= minutes <= 24 * 60:
            raise ValueError("bar length must be a whole number of minutes from 1 to 1440, not %r"
                             % (minutes,))
        self.minutes = int(minutes)
        self.on_bar = on_bar
        self.finished: List[Bar] = []
        self._open: Dict[str, _Open] = {}
        # instrument -> (trading day, cumulative volume, cumulative turnover)
        self._totals: Dict[str, Tuple[str, int, float]] = {}

    def update(self, instrument: str, trading_day: str, update_time: str, price: float,
               volume: int, turnover: float, open_interest: float) -> None:
        """One tick: cumulative volume and turnover of the day, as a front sends them."""
        index = _minute_index(update_time)
        key = (trading_day, index // self.minutes)
        bar = self._open.get(instrument)
        if bar is not None and bar.key != key:
            self._finish(instrument)
            bar = None
        day, last_volume, last_turnover = self._totals.get(instrument, (None, None, None))
        if day != trading_day or last_volume is None or volume < last_volume:
            last_volume, last_turnover = volume, turnover
        assert last_turnover is not None   # known with the volume, or taken with it just now
        if bar is None:
            bar = self._open[instrument] = _Open(key, key[1] * self.minutes, price)
        bar.high = max(bar.high, price)
        bar.low = min(bar.low, price)
        bar.close = price
        bar.volume += volume - last_volume
        bar.turnover += turnover - last_turnover
        bar.open_interest = open_interest
        bar.ticks += 1
        self._totals[instrument] = (trading_day, volume, turnover)

    def update_tick(self, tick: Union[CQVMarketDataField, CThostFtdcDepthMarketDataField],
                    trading_day: Optional[str] = None) -> None:
        """One CQVMarketDataField (or CThostFtdcDepthMarketDataField) view; `trading_day` when
        known better than the tick's own."""
        code = getattr(tick, "StandardID", None) or tick.InstrumentID
        self.update(code.decode(), trading_day or tick.TradingDay.decode(),
                    tick.UpdateTime.decode(), tick.LastPrice, tick.Volume, tick.Turnover,
                    tick.OpenInterest)

    def flush(self) -> None:
        """Finishes every bar still open (the day or the run ended)."""
        for instrument in list(self._open):
            self._finish(instrument)

    def _finish(self, instrument: str) -> None:
        b = self._open.pop(instrument)
        bar = Bar(instrument, b.key[0], _clock(b.start), self.minutes, b.open, b.high, b.low,
                  b.close, b.volume, b.turnover, b.open_interest, b.ticks)
        if self.on_bar is None:
            self.finished.append(bar)
        else:
            self.on_bar(bar)


class BarFeed:
    """A client observer that builds bars from the ticks and calls the strategy's on_bar with each
    finished one, before the tick that finished it reaches on_tick. The strategy's `bar_minutes`
    (default 1) sets the bar length."""

    def __init__(self, strategy: "Strategy") -> None:
        self.strategy = strategy
        self.builder = BarBuilder(getattr(strategy, "bar_minutes", 1), strategy.on_bar)
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


def bars_from_csv(path: Union[str, "os.PathLike[str]"], minutes: int = 1) -> List[Bar]:
    """Every bar of a tick file (the replay's CSV format), in the order they finish."""
    builder = BarBuilder(minutes)
    with open(path, newline="") as source:
        for row in csv.DictReader(source):
            builder.update(row["InstrumentID"], row.get("TradingDay", ""), row["UpdateTime"],
                           float(row["LastPrice"]), int(float(row.get("Volume") or 0)),
                           float(row.get("Turnover") or 0.0),
                           float(row.get("OpenInterest") or 0.0))
    builder.flush()
    return builder.finished
