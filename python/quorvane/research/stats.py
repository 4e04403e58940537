"""Performance statistics of a run, from its trades and its daily marks, with JSON and CSV writers
and two pictures (equity with its drawdown beneath, daily profit bars).

Definitions, so that anyone can recompute them:
  daily profit      the change of the account's balance over the trading day, net of fees
                    (positions marked at the day's settlement); the first day starts from the
                    initial capital
  daily return      daily profit / the balance at the start of that day
  total return      (final balance - initial capital) / initial capital
  annualised return (1 + total return) ** (periods_per_year / days) - 1, 240 trading days a year
  Sharpe ratio      mean daily return / sample standard deviation of the daily returns
                    * sqrt(periods_per_year); undefined (None) with fewer than two days or no
                    variation; no risk-free rate is subtracted
  equity curve      a point per tick of a replay: the initial capital plus the profit marked to
                    the last price, less the fees paid so far, each fill's when it fills (a
                    day's fees shared among its fills in proportion to their fees at the
                    broker's commission rates); without marks, one point per day end: the
                    balance
  drawdown          on the equity curve: the largest
                    fall from a running peak, as an amount and as a share of that peak; its
                    duration is the longest stretch below a peak, from the peak's point to the
                    point that regains it (or the last point), counted in trading days of the
                    curve (Friday to Monday is one)
  exchange order    fills in the order they traded: by trading day, then by the time counted
                    from 18:00 of the evening the trading day opens (its night session first,
                    past midnight next, then its day), then as the exchange numbered them
  round trips       closing fills, in exchange order, paired first-in first-out with the
                    opening fills of the same instrument and side; each closing fill is one
                    trade whose profit is
                    (close - open) * lots * multiplier (reversed for shorts), gross of fees
  win rate          round trips with a profit above zero / all round trips
  profit factor     sum of winning round trips / -sum of losing ones (None without losses)
  average trade     mean profit of a round trip, gross of fees
  turnover          sum of price * lots * multiplier over every fill
"""
import bisect
import collections
import csv
import json
import math
import os
import typing
from array import array
from typing import Any, Callable, Dict, Iterable, List, Mapping, NamedTuple, Optional, Sequence
from typing import Tuple, TypeVar, Union, cast

__all__ = ["Fill", "Day", "Curve", "PERIODS_PER_YEAR", "exchange_order", "round_trips", "Trip",
           "FillTotals", "drawdown", "Drawdown", "compute", "shown", "text", "write_json",
           "write_csv", "plot"]

PERIODS_PER_YEAR = 240

_Path = TypeVar("_Path", bound=Union[str, "os.PathLike[str]"])
# A point of an equity curve: (label starting with the trading day, value).
Point = Tuple[str, float]
# The statistics of a run, as compute returns them.
Stats = Mapping[str, Any]


class Fill(NamedTuple):
    """One fill, as the trades file writes it: direction Buy or Sell, offset Open or a
close (Close, CloseToday, CloseYesterday), and the calendar date it traded on."""

    trading_day: str
    time: str
    instrument: str
    direction: str
    offset: str
    price: float
    volume: int
    date: str = ""


# A trading day opens with the evening before it: times of day count from 18:00.
_EVENING = 18 * 3600


def exchange_order(trading_day: str, time: str) -> Tuple[str, int]:
    """Sort key of a fill traded at `time` ("HH:MM:SS") of `trading_day`: the trading day, then
    the seconds since 18:00 of the evening it opens, so that its night session (also past
    midnight, also on a Friday evening for a Monday) comes before its day session."""
    try:
        hours, minutes, seconds = (int(part) for part in time.split(":"))
    except ValueError:
        return trading_day, 0
    return trading_day, (hours * 3600 + minutes * 60 + seconds - _EVENING) % 86400


class Day(NamedTuple):
    """The account at the end of one trading day: its balance (net of the day's fees,
positions marked at the settlement) and the fees the day cost."""

    trading_day: Optional[str]
    balance: float
    fees: float


def round_trips(fills: Iterable[Fill], multipliers: Mapping[str, float]) -> List[float]:
    """Profit of each closing fill in exchange order (fills of one time keep their order),
    paired first-in first-out with the open lots it closes; lots closed without a known opening
    (yesterday's positions of a scenario) count from the close price, i.e. zero."""
    totals = FillTotals(multipliers, keep_trips=True)
    totals.add(fills)
    return totals.trip_profits


class Trip(NamedTuple):
    """A round trip as FillTotals paired it: its closing fill and the opening fills it closes,
    with the lots it takes of each, as the fills' numbers in the order they were added (from 0),
    and its profit."""

    close: int
    opens: List[Tuple[int, int]]
    profit: float


class FillTotals:
    """What the statistics need of a run's fills, counted as they come, so that the fills
    themselves need not be kept: the fills and their lots, the turnover, and the round trips
    (paired as round_trips pairs them), their total and the winning and losing ones. `add` takes
    them a trading day at a time, in the run's order; `keep_trips` also keeps each trip's
    profit, and `keep_pairs` each Trip."""

    def __init__(self, multipliers: Mapping[str, float], keep_trips: bool = False,
                 keep_pairs: bool = False) -> None:
        self.multipliers = multipliers
        self.fills = 0
        self.lots = 0
        self.turnover: float = 0
        self.trips = 0
        self.trips_total: float = 0
        self.wins = 0
        self.wins_total: float = 0
        self.losses = 0
        self.losses_total: float = 0
        self.trip_profits: List[float] = []
        self.pairs: List[Trip] = []
        self._keep, self._keep_pairs = keep_trips, keep_pairs
        # (instrument, long?) -> [price, lots, fill number] of the lots open, oldest first
        self._open: typing.DefaultDict[Tuple[str, bool], typing.Deque[List[float]]] = \
            collections.defaultdict(collections.deque)

    def add(self, fills: Iterable[Fill], paired: bool = True) -> None:
        """Counts `fills` (one trading day's, or the rest of the run's); `paired`: their round
        trips too."""
        listed = list(fills)
        base = self.fills
        for f in listed:
            self.fills += 1
            self.lots += f.volume
            self.turnover += f.price * f.volume * self.multipliers.get(f.instrument, 1)
        if not paired:
            return
        for number, f in sorted(enumerate(listed, base),
                                key=lambda n_f: exchange_order(n_f[1].trading_day, n_f[1].time)):
            multiplier = self.multipliers.get(f.instrument, 1)
            buy = f.direction.lower() == "buy"
            if f.offset.lower() == "open":
                self._open[(f.instrument, buy)].append([f.price, f.volume, number])
                continue
            held = self._open[(f.instrument, not buy)]   # a buy closes shorts, a sell longs
            remaining: float
            remaining, profit = f.volume, 0.0
            taken: List[Tuple[int, int]] = []
            while remaining and held:
                lot = held[0]
                take = min(remaining, lot[1])
                sign = -1.0 if buy else 1.0        # closing a short profits when the price fell
                profit += sign * (f.price - lot[0]) * take * multiplier
                lot[1] -= take
                remaining -= take
                if self._keep_pairs:
                    taken.append((int(lot[2]), int(take)))
                if lot[1] == 0:
                    held.popleft()
            self.add_trips((profit,))
            if self._keep_pairs:
                self.pairs.append(Trip(number, taken, profit))

    def add_trips(self, profits: Iterable[float]) -> None:
        """Counts round trips paired elsewhere."""
        for profit in profits:
            self.trips += 1
            self.trips_total += profit
            if profit > 0:
                self.wins += 1
                self.wins_total += profit
            elif profit < 0:
                self.losses += 1
                self.losses_total += profit
            if self._keep:
                self.trip_profits.append(profit)


class Curve(Sequence[Point]):
    """An equity curve kept compact: its values in an array, the trading days as stretches of
    points (the end of each and its name) and the labels made only for the points asked for:
    curve[n] is (label(n, its trading day), values[n])."""

    def __init__(self, values: "array[float]", ends: Sequence[int], days: Sequence[str],
                 label: Callable[[int, str], str]) -> None:
        self.values, self.ends, self.days, self._label = values, list(ends), list(days), label

    def __len__(self) -> int:
        return len(self.values)

    @typing.overload
    def __getitem__(self, n: int) -> Point: ...

    @typing.overload
    def __getitem__(self, n: slice) -> List[Point]: ...

    def __getitem__(self, n: Union[int, slice]) -> Union[Point, List[Point]]:
        if isinstance(n, slice):
            return [self[k] for k in range(*n.indices(len(self)))]
        if n < 0:
            n += len(self)
        if not 0 <= n < len(self):
            raise IndexError("curve index out of range")
        return self.label(n), self.values[n]

    def day_of(self, n: int) -> int:
        """The stretch (trading day) point n is in."""
        return bisect.bisect_right(self.ends, n)

    def label(self, n: int) -> str:
        """Point n's label, starting with its trading day."""
        return self._label(n, self.days[self.day_of(n)])


# The figures `drawdown` gives: (amount, share of the peak, peak label, trough label, trading days
# of the longest stretch below a peak, its start label, its end label).
DrawdownFigures = Tuple[float, float, Optional[str], Optional[str], int, Optional[str],
                        Optional[str]]


class Drawdown:
    """The deepest fall from a running peak and the longest stretch below one, fed a trading
    day's points at a time, so that a curve of any length is never held whole. A point is known
    by a key (any value) that `figures` turns into its label; only the keys of the points the
    figures name are kept."""

    def __init__(self) -> None:
        self.started = False
        self.peak_value = 0.0
        self.peak: Any = None
        self.peak_day = 0
        self.fall = 0.0
        self.fall_share = 0.0
        self.fall_peak: Any = None
        self.trough: Any = None
        self.longest = 0
        self.longest_from: Any = None
        self.longest_to: Any = None
        self.under = False
        self.last: Any = None
        self.last_day = 0

    def feed(self, values: Sequence[float], day: int, key: Callable[[int], Any]) -> None:
        """Takes the points `values` of trading day number `day` (days numbered in the curve's
        order); key(n) is the key of values[n]."""
        if not len(values):
            return
        if not self.started:
            self.started = True
            self.peak_value, self.peak, self.peak_day = values[0], key(0), day
        peak_value, peak_day, fall, under = self.peak_value, self.peak_day, self.fall, self.under
        for n, value in enumerate(values):
            if value >= peak_value:
                if under:
                    days = day - peak_day
                    if days > self.longest:
                        self.longest, self.longest_from, self.longest_to = days, self.peak, key(n)
                peak_value, peak_day, under = value, day, False
                self.peak = key(n)
                continue
            under = True
            if peak_value - value > fall:
                fall = peak_value - value
                self.fall_share = fall / peak_value if peak_value > 0 else 0.0
                self.fall_peak, self.trough = self.peak, key(n)
        self.peak_value, self.peak_day, self.fall, self.under = peak_value, peak_day, fall, under
        self.last, self.last_day = key(len(values) - 1), day

    def figures(self, label: Callable[[Any], str]) -> DrawdownFigures:
        """The figures of the points fed so far, the points named by label(key)."""
        if not self.started:
            return 0.0, 0.0, None, None, 0, None, None
        longest, longest_from, longest_to = self.longest, self.longest_from, self.longest_to
        if self.under and self.last_day - self.peak_day > longest:
            longest, longest_from, longest_to = self.last_day - self.peak_day, self.peak, self.last
        named = lambda key: label(key) if key is not None else None  # noqa: E731
        return (self.fall, self.fall_share, named(self.fall_peak), named(self.trough), longest,
                named(longest_from), named(longest_to))


def drawdown(curve: Sequence[Point]) -> DrawdownFigures:
    """(amount, share of the peak, peak label, trough label, trading days of the longest stretch
    below a peak, its start label, its end label) of a curve of (label, value) points whose
    labels start with the trading day ("20260105" or "20260105 09:30:00"); the trading days
    counted are the curve's own."""
    found = Drawdown()
    # The curve's trading days, numbered in their order.
    day_number: Dict[str, int] = {}
    if isinstance(curve, Curve) and all(len(day) >= 8 for day in curve.days):
        begin = 0
        for end, day in zip(curve.ends, curve.days):
            end = min(end, len(curve.values))
            if end > begin:
                found.feed(curve.values[begin:end], day_number.setdefault(day[:8], len(day_number)),
                           begin.__add__)
            begin = max(begin, end)
        return found.figures(curve.label)
    labels = [label for label, _ in curve]
    values = [value for _, value in curve]
    for n, (label, value) in enumerate(zip(labels, values)):
        found.feed((value,), day_number.setdefault(label[:8], len(day_number)), n.__add__)
    return found.figures(labels.__getitem__)


def compute(days: Sequence[Day], fills: Union[Sequence[Fill], FillTotals],
            multipliers: Mapping[str, float],
            initial_capital: float, curve: Optional[Sequence[Point]] = None,
            periods_per_year: float = PERIODS_PER_YEAR,
            trips: Optional[Sequence[float]] = None,
            drawn: Optional[DrawdownFigures] = None) -> "typing.OrderedDict[str, Any]":
    """The statistics of a run as an ordered dict: `days` are Day records in trading-day order,
    `fills` Fill records (paired in exchange order unless `trips` gives the round trips' profits
    already paired) or their FillTotals, `curve` (label, equity) points (default: the day ends); `drawn` gives the
    drawdown figures of a curve already worked out (a Drawdown's)."""
    stats: "typing.OrderedDict[str, Any]" = collections.OrderedDict()
    balances = [initial_capital] + [d.balance for d in days]
    daily = [b - a for a, b in zip(balances, balances[1:])]
    returns = [p / a if a else 0.0 for p, a in zip(daily, balances)]
    final = balances[-1]
    total_return = (final - initial_capital) / initial_capital if initial_capital else 0.0
    n = len(days)
    stats["days"] = n
    stats["initial_capital"] = initial_capital
    stats["final_balance"] = final
    stats["net_profit"] = final - initial_capital
    stats["total_return"] = total_return
    stats["annualised_return"] = ((1.0 + total_return) ** (periods_per_year / n) - 1.0
                                  if n and total_return > -1.0 else None)
    stats["daily_profit_mean"] = sum(daily) / n if n else 0.0
    stats["sharpe"] = _sharpe(returns, periods_per_year)
    if curve is None:
        curve = [("%s" % d.trading_day, d.balance) for d in days]
        if days:
            # The days' own curve needs their trading days.
            curve.insert(0, (cast(str, days[0].trading_day) + " start", initial_capital))
    amount, share, peak, trough, length, start, end = (drawn if drawn is not None
                                                      else drawdown(curve))
    stats["max_drawdown"] = amount
    stats["max_drawdown_pct"] = share * 100.0
    stats["max_drawdown_peak"] = peak
    stats["max_drawdown_trough"] = trough
    stats["max_drawdown_duration_days"] = length
    stats["max_drawdown_duration_from"] = start
    stats["max_drawdown_duration_to"] = end
    if isinstance(fills, FillTotals):
        totals = fills
    else:
        totals = FillTotals(multipliers)
        totals.add(fills, paired=trips is None)
        if trips is not None:
            totals.add_trips(trips)
    stats["trades"] = totals.fills
    stats["lots"] = totals.lots
    stats["round_trips"] = totals.trips
    stats["win_rate"] = totals.wins / totals.trips if totals.trips else None
    stats["profit_factor"] = (totals.wins_total / -totals.losses_total if totals.losses
                              else None)
    stats["average_trade"] = totals.trips_total / totals.trips if totals.trips else None
    stats["turnover"] = totals.turnover
    stats["fees"] = sum(d.fees for d in days)
    stats["daily_profit"] = collections.OrderedDict(
        (d.trading_day, p) for d, p in zip(days, daily))
    return stats


def _sharpe(returns: Sequence[float], periods_per_year: float) -> Optional[float]:
    if len(returns) < 2:
        return None
    mean = sum(returns) / len(returns)
    variance = sum((r - mean) ** 2 for r in returns) / (len(returns) - 1)
    if variance <= 0.0:
        return None
    return mean / math.sqrt(variance) * math.sqrt(periods_per_year)


_LABELS = [
    ("days", "Trading days", "%d"), ("initial_capital", "Initial capital", "%.2f"),
    ("final_balance", "Final balance", "%.2f"), ("net_profit", "Net profit", "%.2f"),
    ("total_return", "Total return", "%.4f%%"), ("annualised_return", "Annualised return", "%.2f%%"),
    ("daily_profit_mean", "Mean daily profit", "%.2f"), ("sharpe", "Sharpe ratio", "%.2f"),
    ("max_drawdown", "Max drawdown", "%.2f"), ("max_drawdown_pct", "Max drawdown %", "%.4f%%"),
    ("max_drawdown_duration_days", "Longest drawdown (days)", "%d"),
    ("trades", "Fills", "%d"), ("lots", "Lots", "%d"), ("round_trips", "Round trips", "%d"),
    ("win_rate", "Win rate", "%.1f%%"), ("profit_factor", "Profit factor", "%.2f"),
    ("average_trade", "Average round trip", "%.2f"), ("turnover", "Turnover", "%.2f"),
    ("fees", "Fees", "%.2f"),
]
_PERCENT = {"total_return", "annualised_return", "win_rate"}


def shown(stats: Stats) -> List[Tuple[str, str, str]]:
    """(key, label, value as text prints it) of each statistic text prints, in its order."""
    rows = []
    for key, label, fmt in _LABELS:
        value = stats.get(key)
        if value is None:
            rows.append((key, label, "n/a"))
        else:
            rows.append((key, label, fmt % (value * 100.0 if key in _PERCENT else value)))
    return rows


def text(stats: Stats) -> str:
    """The statistics as aligned lines, for printing."""
    return "\n".join(["Statistics:"] + ["  %-26s %s" % (label, value)
                                        for _, label, value in shown(stats)])


def _plain(stats: Stats) -> Dict[str, Any]:
    return {k: (dict(v) if isinstance(v, dict) else v) for k, v in stats.items()}


def write_json(path: _Path, stats: Stats) -> _Path:
    """stats.json: the statistics as one JSON object, the daily profits as an object in it."""
    with open(path, "w") as out:
        json.dump(_plain(stats), out, indent=2, sort_keys=False)
        out.write("\n")
    return path


def write_csv(path: _Path, stats: Stats) -> _Path:
    """One row per statistic (statistic, value); the daily profits as daily_profit:YYYYMMDD."""
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["statistic", "value"])
        for key, value in stats.items():
            if isinstance(value, dict):
                for day, profit in value.items():
                    writer.writerow(["%s:%s" % (key, day), repr(profit)])
            else:
                writer.writerow([key, "" if value is None else
                                 (repr(value) if isinstance(value, float) else value)])
    return path


def plot(out_dir: Union[str, "os.PathLike[str]"], stats: Stats, curve: Sequence[Point],
         log: Callable[[str], Any] = print) -> List[str]:
    """equity_drawdown.png and daily_profit.png in out_dir; a one-line note and no pictures when
    matplotlib is missing. Returns the paths written."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        log("matplotlib is not installed: no pictures of the statistics.")
        return []
    paths = []
    values = list(curve.values) if isinstance(curve, Curve) else [v for _, v in curve]
    if values:
        peaks, running = [], -math.inf
        for v in values:
            running = max(running, v)
            peaks.append(running)
        figure, (top, bottom) = plt.subplots(2, 1, figsize=(9, 6), dpi=100, sharex=True,
                                             gridspec_kw={"height_ratios": [3, 1]})
        xs = range(len(values))
        top.plot(xs, values, linewidth=1.2, label="equity")
        top.set_ylabel("equity (CNY)")
        top.set_title("Equity (net profit %.2f, max drawdown %.2f)" % (
            stats["net_profit"], stats["max_drawdown"]))
        top.grid(True, alpha=0.3)
        bottom.fill_between(xs, [v - p for v, p in zip(values, peaks)], 0, color="tab:red",
                            alpha=0.5, step="post")
        bottom.set_ylabel("drawdown")
        bottom.grid(True, alpha=0.3)
        step = max(1, len(curve) // 8)
        bottom.set_xticks(list(xs)[::step])
        bottom.set_xticklabels([curve[n][0] for n in range(0, len(curve), step)], rotation=30,
                               fontsize=7)
        figure.tight_layout()
        paths.append(os.path.join(out_dir, "equity_drawdown.png"))
        figure.savefig(paths[-1])
        plt.close(figure)
    daily = stats.get("daily_profit") or {}
    if daily:
        figure, axes = plt.subplots(figsize=(9, 3.5), dpi=100)
        days, profits = list(daily), list(daily.values())
        axes.bar(range(len(days)), profits,
                 color=["tab:green" if p >= 0 else "tab:red" for p in profits])
        axes.set_xticks(range(len(days)))
        axes.set_xticklabels(days, rotation=30, fontsize=8)
        axes.set_ylabel("profit (CNY)")
        axes.set_title("Daily profit, net of fees")
        axes.grid(True, axis="y", alpha=0.3)
        figure.tight_layout()
        paths.append(os.path.join(out_dir, "daily_profit.png"))
        figure.savefig(paths[-1])
        plt.close(figure)
    return paths
