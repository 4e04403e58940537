"""The exchanges' clock: trading hours by product and the calendar of trading days.

Both come from the tables the package ships (``data/market/sessions.csv`` and
``data/market/holidays.csv``), the same ones the simulated exchange is built with; a scenario or the
user may extend them. Times are exchange time (UTC+8) as naive datetimes. The night session of
trading day T runs on the evening of the trading day before T, and there is none when a holiday lies
between the two.

A run's MarketTime adds what its data tell: the evening a recorded day's night ran on (from its
snapshots' ActionDay, or the day replayed before it), which wins over the calendar, so that a
Monday's night reads Friday evening even for years the holidays table does not cover.
"""
from __future__ import annotations

import csv
import datetime
import pathlib
import re
from typing import Dict, Iterable, List, NamedTuple, Optional, Tuple, Union

from .. import _resources
from ..errors import InputFileError, ParameterError

DateLike = Union[str, datetime.date]

# How long the opening call auction collects orders before the open, and how long it matches.
AUCTION_MINUTES = 5
AUCTION_MATCH_MINUTES = 1
# How far the calendar looks for a trading day before giving up (a gap longer than any holiday).
_MAX_GAP_DAYS = 40
# A time of day (seconds since midnight) from EVENING on belongs to a night session's evening,
# one before MORNING to its hours past midnight; the day sessions lie between.
EVENING = 18 * 3600
MORNING = 6 * 3600

_SPAN = re.compile(r"^(\d{1,2}):(\d{2})-(\d{1,2}):(\d{2})$")


class Span(NamedTuple):
    """One session as minutes past midnight; a night's may pass 24:00 (01:00 is 1500)."""

    open: int
    close: int


class ProductHours(NamedTuple):
    """A product's sessions: the night's (run on the evening before) and the day's, in order."""

    night: Tuple[Span, ...]
    day: Tuple[Span, ...]


class Session(NamedTuple):
    """One session of a trading day in exchange time: "night", or "day1", "day2", ... in order."""

    trading_day: str
    name: str
    open: datetime.datetime
    close: datetime.datetime

    @property
    def night(self) -> bool:
        return self.name == "night"

    def holds(self, moment: datetime.datetime) -> bool:
        """Whether `moment` is in the session (its close is not)."""
        return self.open <= moment < self.close


def _parse_spans(text: str, where: str) -> ProductHours:
    night: List[Span] = []
    day: List[Span] = []
    for word in text.split():
        m = _SPAN.match(word)
        if m is None:
            raise InputFileError("%s: session %r is not HH:MM-HH:MM" % (where, word))
        span = Span(int(m.group(1)) * 60 + int(m.group(2)), int(m.group(3)) * 60 + int(m.group(4)))
        if not span.open < span.close <= 30 * 60:
            raise InputFileError("%s: session %r does not end after it opens" % (where, word))
        part = night if span.open >= 18 * 60 else day
        if part is night and day:
            raise InputFileError("%s: night session %r after a day session" % (where, word))
        if part and span.open < part[-1].close:
            raise InputFileError("%s: session %r opens before the one before it closes" % (where, word))
        part.append(span)
    if not day:
        raise InputFileError("%s: no day session in %r" % (where, text))
    return ProductHours(tuple(night), tuple(day))


def _read_table(path: pathlib.Path) -> str:
    try:
        return path.read_text(encoding="utf-8")
    except OSError as exc:
        raise InputFileError("%s: %s" % (path, exc.strerror or exc)) from exc


class TradingHours:
    """The trading hours of every product, by exchange and product id."""

    def __init__(self) -> None:
        self._rows: Dict[Tuple[str, str], ProductHours] = {}

    @classmethod
    def shipped(cls) -> "TradingHours":
        """The table the package ships."""
        hours = cls()
        hours.load(_resources.data_path("market", "sessions.csv"))
        return hours

    def load(self, path: Union[str, pathlib.Path]) -> None:
        """Adds (or replaces) the rows of a table like the shipped one."""
        path = pathlib.Path(path)
        text = _read_table(path)
        lines = [line for line in text.splitlines() if line.strip() and not line.startswith("#")]
        for number, row in enumerate(csv.reader(lines), 1):
            if row == ["exchange", "products", "sessions"]:
                continue
            if len(row) != 3:
                raise InputFileError("%s: row %d has %d cells, expected 3" % (path, number, len(row)))
            self.set(row[0], row[1], row[2], where="%s: row %d" % (path, number))

    def set(self, exchange: str, products: str, sessions: str, where: str = "trading hours") -> None:
        """Sets the sessions of `products` (space-separated, "*" for the exchange's others)."""
        hours = _parse_spans(sessions, where)
        for product in products.split():
            self._rows[(exchange.strip(), product)] = hours

    def of(self, exchange: str, product: str) -> Optional[ProductHours]:
        """A product's hours, else its exchange's default row, else None (no hours known)."""
        return self._rows.get((exchange, product)) or self._rows.get((exchange, "*"))


class Calendar:
    """Trading days: weekdays that are not exchange holidays."""

    def __init__(self, holidays: Iterable[DateLike] = ()) -> None:
        self._holidays = {as_date(d) for d in holidays}

    @classmethod
    def shipped(cls) -> "Calendar":
        """The calendar of the shipped holidays."""
        calendar = cls()
        calendar.load(_resources.data_path("market", "holidays.csv"))
        return calendar

    def load(self, path: Union[str, pathlib.Path]) -> None:
        """Adds the holidays of a file like the shipped one (a date per row, YYYYMMDD first)."""
        path = pathlib.Path(path)
        text = _read_table(path)
        for number, line in enumerate(text.splitlines(), 1):
            cell = line.split(",", 1)[0].strip()
            if not cell or line.startswith("#") or cell == "date":
                continue
            try:
                self._holidays.add(as_date(cell))
            except ParameterError as exc:
                raise InputFileError("%s: line %d: %s" % (path, number, exc)) from exc

    def add_holidays(self, dates: Iterable[DateLike]) -> None:
        self._holidays.update(as_date(d) for d in dates)

    def is_trading_day(self, day: DateLike) -> bool:
        d = as_date(day)
        return d.weekday() < 5 and d not in self._holidays

    def next_trading_day(self, day: DateLike) -> datetime.date:
        """The first trading day after `day`."""
        return self._step(as_date(day), 1)

    def previous_trading_day(self, day: DateLike) -> datetime.date:
        """The last trading day before `day`."""
        return self._step(as_date(day), -1)

    def trading_days(self, start: DateLike, count: int) -> List[datetime.date]:
        """`count` trading days from `start` on (`start` itself when it is one)."""
        d = as_date(start)
        if not self.is_trading_day(d):
            d = self.next_trading_day(d)
        days: List[datetime.date] = []
        while len(days) < count:
            days.append(d)
            d = self.next_trading_day(d)
        return days

    def night_evening(self, trading_day: DateLike) -> Optional[datetime.date]:
        """The calendar date whose evening holds trading day T's night, or None after a holiday."""
        t = as_date(trading_day)
        before = self.previous_trading_day(t)
        d = before + datetime.timedelta(days=1)
        while d < t:
            if d.weekday() < 5:
                return None
            d += datetime.timedelta(days=1)
        return before

    def _step(self, d: datetime.date, direction: int) -> datetime.date:
        for _ in range(_MAX_GAP_DAYS):
            d += datetime.timedelta(days=direction)
            if self.is_trading_day(d):
                return d
        raise ParameterError("no trading day within %d days of %s" % (_MAX_GAP_DAYS, d.strftime("%Y%m%d")))


def as_date(day: DateLike) -> datetime.date:
    """A date from a date or "YYYYMMDD"."""
    if isinstance(day, datetime.datetime):
        return day.date()
    if isinstance(day, datetime.date):
        return day
    try:
        return datetime.datetime.strptime(str(day).strip(), "%Y%m%d").date()
    except ValueError:
        raise ParameterError("%r is not a date (YYYYMMDD)" % (day,)) from None


def product_of(instrument_id: str) -> str:
    """The product id of a futures instrument id: its leading letters ("rb2705" -> "rb")."""
    m = re.match(r"[A-Za-z]+", instrument_id)
    return m.group(0) if m else instrument_id


def sessions(hours: ProductHours, calendar: Calendar, trading_day: DateLike) -> List[Session]:
    """The sessions of one trading day, night first; none when it is not a trading day."""
    t = as_date(trading_day)
    if not calendar.is_trading_day(t):
        return []
    return day_sessions(hours, t, calendar.night_evening(t) if hours.night else None)


def day_sessions(hours: ProductHours, trading_day: DateLike,
                 evening: Optional[DateLike]) -> List[Session]:
    """The sessions of a day known to trade, night first: its night on `evening` (None: none)."""
    t = as_date(trading_day)
    name = t.strftime("%Y%m%d")
    out: List[Session] = []
    if evening is not None:
        e = as_date(evening)
        for span in hours.night:
            out.append(Session(name, "night", _at(e, span.open), _at(e, span.close)))
    for number, span in enumerate(hours.day, 1):
        out.append(Session(name, "day%d" % number, _at(t, span.open), _at(t, span.close)))
    return out


def auction(first: Session) -> Tuple[datetime.datetime, datetime.datetime]:
    """When the opening call auction before `first` collects orders and when it matches them."""
    return (first.open - datetime.timedelta(minutes=AUCTION_MINUTES),
            first.open - datetime.timedelta(minutes=AUCTION_MATCH_MINUTES))


def _at(day: datetime.date, minutes: int) -> datetime.datetime:
    return datetime.datetime.combine(day, datetime.time()) + datetime.timedelta(minutes=minutes)


# Where a snapshot's time falls among its product's sessions (Place.where).
INSIDE = "inside"            # open <= time < close
AT_CLOSE = "close"           # stamped in the close's own second: the session's last snapshot
BEFORE_OPEN = "before open"  # within the auction minutes before the open: the session's first


class Place(NamedTuple):
    """A snapshot's session: its number among the product's sessions, night first (as in
    ProductHours.night + ProductHours.day, from 0), and where in it the snapshot falls."""

    number: int
    where: str


def place(hours: ProductHours, seconds: float) -> Optional[Place]:
    """The session of a snapshot stamped `seconds` after midnight, or None outside them all (in
    a break, after the close, long before the open)."""
    night = seconds >= EVENING or seconds < MORNING
    spans, first = (hours.night, 0) if night else (hours.day, len(hours.night))
    t = seconds + 86400 if seconds < MORNING else seconds
    for number, span in enumerate(spans):
        opens, closes = span.open * 60, span.close * 60
        if opens <= t < closes:
            return Place(first + number, INSIDE)
        if closes <= t < closes + 1:
            return Place(first + number, AT_CLOSE)
        if opens - AUCTION_MINUTES * 60 <= t < opens:
            return Place(first + number, BEFORE_OPEN)
    return None


def evening_of_action_day(trading_day: DateLike, action_day: Union[str, bytes, None],
                          seconds: float) -> Optional[datetime.date]:
    """The evening a night snapshot's ActionDay tells (the calendar date it was stamped on: the
    evening itself, or the day after past midnight), or None when it tells nothing sound: a
    missing or unreadable one, one equal to the trading day (as some recorders and one exchange
    write at night), or one whose evening is not a weekday before the trading day with only a
    weekend between them."""
    if isinstance(action_day, bytes):
        action_day = action_day.decode("ascii", "replace")
    if not action_day or MORNING <= seconds < EVENING:
        return None
    try:
        stamped = as_date(action_day)
    except ParameterError:
        return None
    evening = stamped - datetime.timedelta(days=1) if seconds < MORNING else stamped
    return evening if _night_before(evening, as_date(trading_day)) else None


def _night_before(evening: datetime.date, trading_day: datetime.date) -> bool:
    """Whether a night run on `evening` can be trading day's: a weekday before it with only a
    weekend between them."""
    if evening.weekday() >= 5 or evening >= trading_day:
        return False
    d = evening + datetime.timedelta(days=1)
    while d < trading_day and d.weekday() >= 5:
        d += datetime.timedelta(days=1)
    return d == trading_day


class MarketTime:
    """The market's clock for one client: the trading hours and the calendar, and what the run
    learned of its trading days (the days replayed, the evenings their nights ran on). Sessions
    and calendar dates of a trading day come from here, so that the strategy's clock, its bars and
    its session hooks agree. Both are kept once found: change the hours or the calendar before
    the first tick (in on_ready, say)."""

    def __init__(self, hours: Optional[TradingHours] = None,
                 calendar: Optional[Calendar] = None) -> None:
        self.hours = hours if hours is not None else TradingHours.shipped()
        self.calendar = calendar if calendar is not None else Calendar.shipped()
        self._days: List[datetime.date] = []                  # noted trading days, in order
        self._evenings: Dict[datetime.date, datetime.date] = {}
        self._sessions: Dict[Tuple[str, str, str], List[Session]] = {}
        self._dates: Dict[Tuple[str, int], datetime.date] = {}
        self.trading_day: Optional[str] = None                # the last day noted

    def note_day(self, trading_day: DateLike, evening: Optional[DateLike] = None) -> None:
        """A trading day the run plays next, before its first snapshot, with the evening its night
        ran on when its data tell (None: the days before it or the calendar will)."""
        t = as_date(trading_day)
        if t not in self._days:
            self._days.append(t)
            self._days.sort()
        if evening is not None:
            self._evenings[t] = as_date(evening)
        self.trading_day = t.strftime("%Y%m%d")
        self._sessions.clear()
        self._dates.clear()

    def evening(self, trading_day: DateLike) -> datetime.date:
        """The calendar date whose evening holds the trading day's night: as the data told, else
        the trading day replayed before it (unless the calendar knows a trading day between,
        whose file is missing), else the calendar; a night the calendar does not expect (a
        holiday between) is dated on the trading day before."""
        t = as_date(trading_day)
        found = self._night_evening(t)
        if found is None:
            before = [d for d in self._days if d < t]
            found = max(before[-1:] + [self.calendar.previous_trading_day(t)])
        return found

    def _night_evening(self, t: datetime.date) -> Optional[datetime.date]:
        told = self._evenings.get(t)
        if told is not None:
            return told
        before = [d for d in self._days if d < t]
        if before and before[-1] >= self.calendar.previous_trading_day(t):
            return before[-1] if _night_before(before[-1], t) else None
        return self.calendar.night_evening(t)

    def date_of(self, trading_day: DateLike, seconds: float) -> datetime.date:
        """The calendar date of a time of day (seconds since midnight) within a trading day."""
        part = 0 if seconds >= EVENING else 1 if seconds < MORNING else 2
        key = (str(trading_day), part)
        found = self._dates.get(key)
        if found is None:
            if part == 2:
                found = as_date(trading_day)
            else:
                found = self.evening(trading_day) + datetime.timedelta(days=part)
            self._dates[key] = found
        return found

    def moment(self, trading_day: DateLike, seconds: float) -> datetime.datetime:
        """The exchange time of a time of day within a trading day."""
        return (datetime.datetime.combine(self.date_of(trading_day, seconds), datetime.time())
                + datetime.timedelta(seconds=seconds))

    def hours_of(self, exchange: str, instrument: str) -> Optional[ProductHours]:
        """The hours of an instrument's product, None when the table has none."""
        return self.hours.of(exchange, product_of(instrument))

    def sessions_of(self, exchange: str, instrument: str, trading_day: DateLike) -> List[Session]:
        """The sessions of an instrument's product on a trading day, night first (none when its
        hours are unknown). The day is taken to trade: the instrument's data say it does."""
        key = (exchange, product_of(instrument), str(trading_day))
        found = self._sessions.get(key)
        if found is None:
            hours = self.hours.of(exchange, key[1])
            if hours is None:
                found = []
            else:
                t = as_date(trading_day)
                found = day_sessions(hours, t, self._night_evening(t) if hours.night else None)
            self._sessions[key] = found
        return found
