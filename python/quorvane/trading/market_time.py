"""The exchanges' clock: trading hours by product and the calendar of trading days.

Both come from the tables the package ships (``data/market/sessions.csv`` and
``data/market/holidays.csv``), the same ones the simulated exchange is built with; a scenario or the
user may extend them. Times are exchange time (UTC+8) as naive datetimes. The night session of
trading day T runs on the evening of the trading day before T, and there is none when a holiday lies
between the two.
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
        try:
            text = path.read_text(encoding="utf-8")
        except OSError as exc:
            raise InputFileError("%s: %s" % (path, exc.strerror or exc)) from exc
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
        try:
            text = path.read_text(encoding="utf-8")
        except OSError as exc:
            raise InputFileError("%s: %s" % (path, exc.strerror or exc)) from exc
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
    name = t.strftime("%Y%m%d")
    out: List[Session] = []
    evening = calendar.night_evening(t) if hours.night else None
    if evening is not None:
        for span in hours.night:
            out.append(Session(name, "night", _at(evening, span.open), _at(evening, span.close)))
    for number, span in enumerate(hours.day, 1):
        out.append(Session(name, "day%d" % number, _at(t, span.open), _at(t, span.close)))
    return out


def auction(first: Session) -> Tuple[datetime.datetime, datetime.datetime]:
    """When the opening call auction before `first` collects orders and when it matches them."""
    return (first.open - datetime.timedelta(minutes=AUCTION_MINUTES),
            first.open - datetime.timedelta(minutes=AUCTION_MATCH_MINUTES))


def _at(day: datetime.date, minutes: int) -> datetime.datetime:
    return datetime.datetime.combine(day, datetime.time()) + datetime.timedelta(minutes=minutes)
