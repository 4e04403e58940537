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
import collections
import csv

__all__ = ["Bar", "BarBuilder", "BarFeed", "bars_from_csv"]

Bar = collections.namedtuple(
    "Bar", "instrument trading_day start minutes open high low close volume turnover "
           "open_interest ticks")

# Minutes of the clock at which a trading day's sessions begin counting: 18:00, before the night
# session, so that a day's bars sort in trading order.
_DAY_OFFSET = 18 * 60


def _minute_index(update_time):
    """Minutes since 18:00 of the trading day's evening, from "HH:MM:SS"."""
    hours, minutes = int(update_time[0:2]), int(update_time[3:5])
    return (hours * 60 + minutes - _DAY_OFFSET) % (24 * 60)


def _clock(index):
    total = (index + _DAY_OFFSET) % (24 * 60)
    return "%02d:%02d:00" % (total // 60, total % 60)


class _Open:
    """A bar being built."""

    __slots__ = ("key", "start", "open", "high", "low", "close", "volume", "turnover",
                 "open_interest", "ticks")

    def __init__(self, key, start, price):
        self.key, self.start = key, start
        self.open = self.high = self.low = self.close = price
        self.volume, self.turnover, self.open_interest, self.ticks = 0, 0.0, 0.0, 0


class BarBuilder:
    """Builds N-minute bars of any number of instruments; `on_bar(bar)` receives each finished
    bar. Feed ticks in their order of arrival (one instrument's times never go back)."""

    def __init__(self, minutes=1, on_bar=None):
        if int(minutes) != minutes or not 1 <= minutes <= 24 * 60:
            raise ValueError("bar length must be a whole number of minutes from 1 to 1440, not %r"
                             % (minutes,))
        self.minutes = int(minutes)
        self.on_bar = on_bar
        self.finished = []
        self._open = {}
        self._totals = {}   # instrument -> (trading day, cumulative volume, cumulative turnover)

    def update(self, instrument, trading_day, update_time, price, volume, turnover,
               open_interest):
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

    def update_tick(self, tick, trading_day=None):
        """One CQVMarketDataField (or CThostFtdcDepthMarketDataField) view; `trading_day` when
        known better than the tick's own."""
        code = getattr(tick, "StandardID", None) or tick.InstrumentID
        self.update(code.decode(), trading_day or tick.TradingDay.decode(),
                    tick.UpdateTime.decode(), tick.LastPrice, tick.Volume, tick.Turnover,
                    tick.OpenInterest)

    def flush(self):
        """Finishes every bar still open (the day or the run ended)."""
        for instrument in list(self._open):
            self._finish(instrument)

    def _finish(self, instrument):
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

    def __init__(self, strategy):
        self.strategy = strategy
        self.builder = BarBuilder(getattr(strategy, "bar_minutes", 1), strategy.on_bar)
        self.trading_day = None

    def on_day_start(self, trading_day):
        # The runtime's snapshot record keeps the TradingDay of an instrument's first snapshot.
        self.trading_day = trading_day

    def on_tick(self, tick):
        self.builder.update_tick(tick, self.trading_day)

    def on_day_end(self, trading_day):
        self.builder.flush()

    def on_stop(self, reason):
        self.builder.flush()


def bars_from_csv(path, minutes=1):
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
