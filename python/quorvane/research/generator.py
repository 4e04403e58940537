"""Generated trading days: full days of snapshots in the replay's CSV format, shaped as a careful
recorder writes the real market, for strategies that need more than the sample's minutes.

Each trading day of the calendar from the first day on is one file, DIR/YYYYMMDD.csv, holding every
instrument's snapshots in time order. The sessions are the trading-hours table's (the night on the
evening of the trading day before, none after a holiday): two snapshots a second while a session
runs, from a snapshot at its open to one stamped at its close, none in the breaks. The session that
opens the trading day opens with the opening call auction's result: its first snapshot carries the
auction's price and volume. TradingDay is the day the snapshot belongs to, ActionDay the calendar
date it was taken on (a night's evening, the next date after midnight).

Prices are a random walk on the tick grid inside the day's price limits (the pre-settlement price
+/- the limit ratio), with five levels of bids and asks around a spread of a tick or two. Volume and
turnover count up from the day's first snapshot; open interest moves with the trades. The day's
settlement price (its volume-weighted average, on the grid) is in the SettlementPrice of its last
snapshot and is the next day's pre-settlement price; elsewhere SettlementPrice is the largest
double, as the fronts send "no value". The same terms, days and seed give the same bytes, and each
instrument's market depends on its own terms and the seed alone.

Files are written ten minutes of snapshots at a time, under a temporary name until the day is
complete: memory does not grow with the days asked for, and an interrupted run leaves no partial
day that the replay would take for a whole one.
"""
import datetime
import itertools
import math
import os
import random
import sys
import time
from typing import IO, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

from ..errors import ParameterError
from .instrument_terms import InstrumentTerms, limits_in_ticks, to_ticks
from ..trading.market_time import Calendar, DateLike, ProductHours, Session, TradingHours, as_date
from ..trading.market_time import sessions

__all__ = ["COLUMNS", "MAX_DAYS", "DayWritten", "generate"]

# The recorder's columns, then the settlement price and the calendar date.
COLUMNS = (["TradingDay", "InstrumentID", "ExchangeID", "UpdateTime", "UpdateMillisec",
            "LastPrice", "Volume", "Turnover", "OpenInterest"]
           + ["%s%d" % (side, level) for level in range(1, 6)
              for side in ("BidPrice", "BidVolume", "AskPrice", "AskVolume")]
           + ["UpperLimitPrice", "LowerLimitPrice", "PreSettlementPrice", "PreClosePrice",
              "PreOpenInterest", "OpenPrice", "HighestPrice", "LowestPrice", "AveragePrice",
              "SettlementPrice", "ActionDay"])

# A run asks for at most this many trading days (ten years).
MAX_DAYS = 2500

_STEP_MS = 500
_LEVELS = 5
# Random draws pick from pools made once per instrument: 2**_POOL_BITS trades and books,
# 2**_MOVE_BITS moves of the walk.
_POOL_BITS = 10
_POOL_MASK = (1 << _POOL_BITS) - 1
_MOVE_BITS = 12
_BLOCK_STEPS = 1200   # steps written at a time: ten minutes of every instrument in session
_NO_VALUE = repr(sys.float_info.max)
# The typical move of a day of six hours' trading, as a share of the price, and the typical gap at
# an open after twelve hours shut (it grows with the square root of the time).
_DAILY_VOLATILITY = 0.01
_GAP_VOLATILITY = 0.003
_STEPS_PER_DAY = 2 * 6 * 3600
# Lots scale with the contract's value: this many yuan of a contract trade in a typical snapshot.
_NOTIONAL_PER_SNAPSHOT = 400_000.0


class DayWritten(NamedTuple):
    """One day file as written: its trading day, the evening its night ran on (None: no night),
    and its snapshots."""

    trading_day: str
    path: str
    night_evening: Optional[datetime.date]
    snapshots: int
    size: int


def _millis(moment: datetime.datetime) -> int:
    """A moment of exchange time as milliseconds on a count of days (the proleptic ordinal)."""
    return ((moment.toordinal() * 86400 + moment.hour * 3600 + moment.minute * 60
             + moment.second) * 1000)


def _decimals(value: float) -> int:
    """How many decimals the shortest text of `value` has (a tick of 0.02: 2, of 1: 0)."""
    mantissa, _, exponent = repr(float(value)).lower().partition("e")
    fraction = mantissa.partition(".")[2].rstrip("0")
    return max(0, len(fraction) - int(exponent or 0))


class _PriceTexts(Dict[int, str]):
    """Price texts by tick count, made as they are first asked for (one day's worth at most)."""

    def __init__(self, tick: float, decimals: int) -> None:
        super().__init__()
        self.tick, self.format = tick, "%%.%df" % decimals

    def __missing__(self, ticks: int) -> str:
        text = self[ticks] = self.format % (ticks * self.tick)
        return text


class _Books(Dict[int, str]):
    """Templates of the five levels by best bid and spread (key bid * 4 + spread), prices in,
    volumes to fill; only books whose every level is inside the limits."""

    def __init__(self, prices: _PriceTexts) -> None:
        super().__init__()
        self.prices = prices

    def __missing__(self, key: int) -> str:
        bid, spread = key >> 2, key & 3
        parts = []
        for level in range(_LEVELS):
            parts += [self.prices[bid - level], "%s", self.prices[bid + spread + level], "%s"]
        text = self[key] = ",".join(parts)
        return text


class _Contract:
    """One instrument's market over the run: its terms and sessions, and what carries from one day
    to the next (the settlement, the close, the open interest, the fair price). Prices are kept as
    whole numbers of ticks."""

    def __init__(self, terms: InstrumentTerms, hours: ProductHours, seed: int) -> None:
        self.terms, self.hours = terms, hours
        # A text seed is hashed the same in every process (random's version 2 seeding).
        rng = self.rng = random.Random("quorvane-generate/%d/%s" % (seed, terms.instrument))
        tick = self.tick = terms.price_tick
        decimals = _decimals(tick)
        self.price_decimals = max(1, decimals)
        # Turnover counts lots times ticks; a lot of one tick is worth unit / scale yuan, exactly.
        self.turnover_scale = 10 ** decimals
        self.turnover_unit = int(round(tick * self.turnover_scale)) * terms.multiplier
        self.turnover_format = "%%.%df" % max(1, decimals)
        self.average_format = "%%.%df" % (decimals + 2)
        self.pre_ticks = max(1, to_ticks(terms.pre_settlement, tick))
        self.close_ticks = self.settlement = self.pre_ticks
        self.fair = float(self.pre_ticks)
        self.lots = lots = max(1.0, min(60.0, _NOTIONAL_PER_SNAPSHOT / (
            terms.pre_settlement * terms.multiplier)))
        self.open_interest = int(lots * 40_000 * (0.8 + 0.4 * rng.random()))
        self.volatility = self.pre_ticks * _DAILY_VOLATILITY / math.sqrt(_STEPS_PER_DAY)
        self.step = 0.0   # the session's volatility a step
        self.drift = 0.0  # and its trend
        self.last_close: Optional[datetime.datetime] = None
        # Each step draws one random number that picks from three pools: what the snapshot trades
        # (lots, change of the open interest, at the ask, the spread), the ten volumes of its book
        # and the walk's move (a pool of normal numbers of mean 0 and variance 1 exactly).
        self.trades: List[Tuple[int, int, bool, int]] = []
        for _ in range(1 << _POOL_BITS):
            traded = 0 if rng.random() < 0.25 else max(1, int(rng.expovariate(1.0 / lots)))
            self.trades.append((traded, int(round(traded * (rng.random() - 0.48) * 0.6)),
                                rng.random() < 0.5, 1 if rng.random() < 0.85 else 2))
        self.depths = [tuple(str(max(1, int(rng.expovariate(1.0 / (lots * (2 + level // 2))))))
                             for level in range(2 * _LEVELS))
                       for _ in range(1 << _POOL_BITS)]
        normals = [rng.gauss(0.0, 1.0) for _ in range(1 << _MOVE_BITS)]
        mean = math.fsum(normals) / len(normals)
        spread = math.sqrt(math.fsum((x - mean) ** 2 for x in normals) / len(normals))
        self.moves = [(x - mean) / spread for x in normals]
        self.spans: List[Tuple[int, int]] = []
        self.marks: List[Tuple[int, str, Session]] = []
        self.next_mark = -1

    def begin(self, trading_day: str, day_sessions: Sequence[Session]) -> None:
        """Readies the contract for `trading_day`, whose sessions are `day_sessions`."""
        terms = self.terms
        self.lower, self.upper = limits_in_ticks(self.pre_ticks, terms.limit_ratio)
        p = self.prices = _PriceTexts(self.tick, self.price_decimals)
        self.books = _Books(p)
        self.volume = self.turnover = 0
        self.open_ticks = self.high = self.low = self.last = self.close_ticks
        self.prefix = "%s,%s,%s," % (trading_day, terms.instrument, terms.exchange)
        self.band = ",%s,%s,%s,%s,%d," % (p[self.upper], p[self.lower], p[self.pre_ticks],
                                          p[self.close_ticks], self.open_interest)
        # Each session's open and close, the next last; the first open is the opening auction's.
        self.spans = [(_millis(s.open), _millis(s.close)) for s in day_sessions]
        self.marks = []
        for number, session in enumerate(day_sessions):
            self.marks.append((self.spans[number][0], "auction" if number == 0 else "open",
                               session))
            self.marks.append((self.spans[number][1],
                               "settle" if number == len(day_sessions) - 1 else "close", session))
        self.marks.reverse()
        self.next_mark = self.marks[-1][0]

    def end(self) -> None:
        """Carries the day's settlement and close into the next day."""
        self.pre_ticks, self.close_ticks = self.settlement, self.last

    def _mark(self) -> str:
        """Takes the next open or close and returns which it was. An open moves the fair price by
        a gap that grows with the time the market was shut and draws the session's volatility
        and trend; the opening auction then trades at one price, which opens the day."""
        _, kind, session = self.marks.pop()
        self.next_mark = self.marks[-1][0] if self.marks else -1
        if kind in ("close", "settle"):
            self.last_close = session.close
            return kind
        rng = self.rng
        shut = 12.0 if self.last_close is None else (
            session.open - self.last_close).total_seconds() / 3600
        self.fair = self._inside(self.fair + rng.gauss(0.0, 1.0) * self.pre_ticks
                                 * _GAP_VOLATILITY * math.sqrt(shut / 12.0))
        self.step = self.volatility * rng.lognormvariate(0.0, 0.3)
        self.drift = rng.gauss(0.0, self.volatility * 0.005)
        if kind == "auction":
            price = min(max(int(self.fair), self.lower), self.upper)
            traded = max(1, int(self.lots * rng.uniform(20, 60)))
            self.volume, self.turnover = traded, traded * price
            self.open_ticks = self.high = self.low = self.last = price
            self.open_interest = max(0, self.open_interest + int(traded * (rng.random() - 0.4) / 2))
        return kind

    def _inside(self, fair: float) -> float:
        """The fair price reflected back inside the limits, below the upper one."""
        low, high = float(self.lower), float(self.upper)
        if high - low < 1.0:
            return low
        for _ in range(4):
            if fair < low:
                fair = 2 * low - fair
            elif fair >= high:
                fair = 2 * high - fair - 1e-6
            else:
                return fair
        return min(max(fair, low), high - 1e-6)

    def block(self, begin: int, stamps: Sequence[Tuple[str, str]]) -> List[str]:
        """The snapshots of the steps from `begin` on, stamped `stamps` ((UpdateTime and
        UpdateMillisec, ActionDay) each), as lines of the file. The walk's state lives in locals
        here and goes back to the contract at an open or close and at the end."""
        lines: List[str] = []
        append = lines.append
        draw = self.rng.getrandbits
        trades, depths, moves, books, p = self.trades, self.depths, self.moves, self.books, self.prices
        lower, upper, unit, scale, tick = (self.lower, self.upper, self.turnover_unit,
                                           self.turnover_scale, self.tick)
        turnover_format, average_format, prefix, band = (
            self.turnover_format, self.average_format, self.prefix, self.band)
        fair, step, drift = self.fair, self.step, self.drift
        last, volume, turnover, high, low = self.last, self.volume, self.turnover, self.high, self.low
        interest, mark_at = self.open_interest, self.next_mark
        # What changes only with a trade, as texts: the last price to the open interest, and the
        # open, highest, lowest and average price.
        traded_text = prices_text = ""
        at = begin
        for stamp, action_day in stamps:
            kind = ""
            if at == mark_at or not traded_text:
                if at == mark_at:
                    self.fair, self.last, self.volume, self.turnover = fair, last, volume, turnover
                    self.high, self.low, self.open_interest = high, low, interest
                    kind = self._mark()
                    fair, step, drift, mark_at = self.fair, self.step, self.drift, self.next_mark
                    last, volume, turnover, high, low = (self.last, self.volume, self.turnover,
                                                         self.high, self.low)
                    interest = self.open_interest
                traded_text = "%s,%d,%s,%d," % (p[last], volume, turnover_format % (
                    turnover * unit / scale), interest)
                prices_text = "%s,%s,%s,%s," % (p[self.open_ticks], p[high], p[low], (
                    average_format % (turnover * tick / volume)) if volume else "0")
            number = draw(_POOL_BITS * 2 + _MOVE_BITS)
            traded, change, at_ask, spread = trades[number & _POOL_MASK]
            if kind == "auction":
                bid, traded = max(lower, last - 1), 0
            else:
                fair += drift + step * moves[number >> 2 * _POOL_BITS]
                if fair < lower or fair >= upper:
                    fair = self._inside(fair)
                bid = int(fair)
            if traded:
                last = bid + spread if at_ask and bid + spread <= upper else bid
                volume += traded
                turnover += traded * last
                if last > high:
                    high = last
                elif last < low:
                    low = last
                interest += change
                if interest < 0:
                    interest = 0
                traded_text = "%s,%d,%s,%d," % (p[last], volume, turnover_format % (
                    turnover * unit / scale), interest)
                prices_text = "%s,%s,%s,%s," % (p[self.open_ticks], p[high], p[low],
                                                average_format % (turnover * tick / volume))
            volumes = depths[number >> _POOL_BITS & _POOL_MASK]
            if bid - _LEVELS + 1 >= lower and bid + spread + _LEVELS - 1 <= upper:
                book = books[bid << 2 | spread] % volumes
            else:
                book = self._book_at_limit(bid, spread, volumes)
            settlement = _NO_VALUE
            if kind == "settle":
                # The day's volume-weighted average price, on the grid.
                self.settlement = (2 * turnover + volume) // (2 * volume)
                settlement = p[self.settlement]
            append("%s%s%s%s%s%s%s,%s\n" % (prefix, stamp, traded_text, book, band, prices_text,
                                           settlement, action_day))
            at += _STEP_MS
        self.fair, self.last, self.volume, self.turnover = fair, last, volume, turnover
        self.high, self.low, self.open_interest = high, low, interest
        return lines

    def _book_at_limit(self, bid: int, spread: int, volumes: Tuple[str, ...]) -> str:
        """A book reaching past a limit: levels beyond it are empty, as the fronts send them."""
        parts = []
        for level in range(_LEVELS):
            for price, volume in ((bid - level, volumes[2 * level]),
                                  (bid + spread + level, volumes[2 * level + 1])):
                if self.lower <= price <= self.upper:
                    parts += [self.prices[price], volume]
                else:
                    parts += [_NO_VALUE, "0"]
        return ",".join(parts)


def _stamps(begin: int, end: int) -> List[Tuple[str, str]]:
    """(UpdateTime and UpdateMillisec, ActionDay) of each step from `begin` to before `end`."""
    out: List[Tuple[str, str]] = []
    day = -1
    action = ""
    for second in range(begin // 1000, (end + 999) // 1000):
        if second // 86400 != day:
            day = second // 86400
            action = datetime.date.fromordinal(day).strftime("%Y%m%d")
        of_day = second % 86400
        stamp = "%02d:%02d:%02d," % (of_day // 3600, of_day // 60 % 60, of_day % 60)
        for millis in range(0, 1000, _STEP_MS):
            if begin <= second * 1000 + millis < end:
                out.append((stamp + "%d," % millis, action))
    return out


def _write_day(out: IO[str], contracts: Sequence[_Contract]) -> int:
    """Writes every contract's snapshots of the day in time order (at one moment, in the order
    given) and returns how many. The day is cut where any session opens or closes, and each
    piece written a block of steps at a time."""
    spans = [(c, c.spans) for c in contracts]
    cuts = sorted({edge for _, s in spans for o, e in s for edge in (o, e + _STEP_MS)})
    count = 0
    for begin, end in zip(cuts, cuts[1:]):
        active = [c for c, s in spans if any(o <= begin <= close for o, close in s)]
        for start in range(begin, end, _BLOCK_STEPS * _STEP_MS) if active else ():
            stamps = _stamps(start, min(end, start + _BLOCK_STEPS * _STEP_MS))
            blocks = [c.block(start, stamps) for c in active]
            out.writelines(blocks[0] if len(blocks) == 1 else itertools.chain.from_iterable(
                zip(*blocks)))
            count += len(stamps) * len(blocks)
    return count


def generate(terms: Sequence[InstrumentTerms], start: DateLike, days: int,
             out_dir: Union[str, "os.PathLike[str]"], seed: int = 1,
             hours: Optional[TradingHours] = None, calendar: Optional[Calendar] = None,
             log: Optional[Callable[[str], object]] = None) -> List[DayWritten]:
    """Writes `days` trading days of `terms`' instruments from `start` on (from the first trading
    day after it, when it is none) into `out_dir`; returns the days written. Trading hours and the
    calendar are the shipped tables unless given. A day file of an earlier run is replaced.
    `log` gets a line before the first day and one per day written. Raises ParameterError before
    anything is written when the arguments are refused."""
    first = as_date(start)
    if not 1 <= days <= MAX_DAYS:
        raise ParameterError("days must be 1 to %d, not %d" % (MAX_DAYS, days))
    if not terms:
        raise ParameterError("no instrument to generate")
    names = [t.instrument for t in terms]
    twice = sorted({n for n in names if names.count(n) > 1})
    if twice:
        raise ParameterError("%s asked for twice" % ", ".join(twice))
    hours = hours or TradingHours.shipped()
    calendar = calendar or Calendar.shipped()
    contracts = []
    for t in terms:
        product_hours = hours.of(t.exchange, t.product)
        if product_hours is None:
            raise ParameterError("no trading hours for %s (product %s of %s)" % (
                t.instrument, t.product, t.exchange))
        contracts.append(_Contract(t, product_hours, seed))
    if log is not None:
        log("Generating %d trading day%s of %s from %s (seed %d) into %s" % (
            days, "" if days == 1 else "s", ", ".join("%s.%s" % (t.instrument, t.exchange)
                                                      for t in terms),
            first.strftime("%Y%m%d"), seed, os.path.abspath(str(out_dir))))
    os.makedirs(str(out_dir), exist_ok=True)
    written: List[DayWritten] = []
    for day in calendar.trading_days(first, days):
        name = day.strftime("%Y%m%d")
        plans = [(c, sessions(c.hours, calendar, day)) for c in contracts]
        for contract, day_sessions in plans:
            contract.begin(name, day_sessions)
        path = os.path.join(str(out_dir), "%s.csv" % name)
        started = time.monotonic()
        try:
            with open(path + ".part", "w", newline="", buffering=1 << 20) as out:
                out.write(",".join(COLUMNS) + "\n")
                count = _write_day(out, contracts)
            os.replace(path + ".part", path)
        except BaseException:
            if os.path.exists(path + ".part"):
                os.remove(path + ".part")
            raise
        for contract in contracts:
            contract.end()
        night = [s for _, day_sessions in plans for s in day_sessions if s.night]
        evening = min(s.open for s in night).date() if night else None
        written.append(DayWritten(name, path, evening, count, os.path.getsize(path)))
        if log is not None:
            log("  %s  %d snapshots, %s%s (%.1f s)" % (
                os.path.basename(path), count, _first_to_last(plans),
                "" if evening else ", no night session", time.monotonic() - started))
    return written


def _first_to_last(plans: Sequence[Tuple[_Contract, List[Session]]]) -> str:
    opens = [s.open for _, day_sessions in plans for s in day_sessions]
    closes = [s.close for _, day_sessions in plans for s in day_sessions]
    return "%s to %s" % (min(opens).strftime("%a %Y%m%d %H:%M"),
                         max(closes).strftime("%a %Y%m%d %H:%M"))
