"""A day of a run's journal read back (quorvane.trading.journal writes it): its orders with their
life, its fills, risk decisions and outages, as `python3 -m quorvane journal RUN_DIR [--csv]`
prints them.

Outages are the spans from a front's loss to its first answer after it (the trader front:
TraderDisconnected to Authenticate or LoginTrader; market data: MdDisconnected to LoginMd), and
the spans in which no process ran:
from the last row of a run that ended without its Stop (killed, or the machine went down) to the
Start of the next run. Their lengths are measured on the local clock; the times shown are the
exchange's.
"""
import csv
import glob
import io
import json
import os
import sqlite3
import urllib.parse
from typing import Any, Dict, List, NamedTuple, Optional, TextIO, Tuple

from ..errors import InputFileError
from ..trading.journal import JOURNAL_PATTERN, SCHEMA_VERSION

__all__ = ["JournalDay", "Order", "Outage", "journal_files", "open_day", "text", "write_csv"]

# How the life of an order reads, by event.
_STEP = {"Sent": "sent", "Accepted": "accepted", "Canceled": "canceled",
         "InsertRejected": "refused", "CancelRejected": "cancel refused", "Cached": "cached",
         "Restored": "listed by the exchange"}
_END = {"4": "Filled", "5": "Refused", "3": "Working", "1": "Sent", "0": "Not sent"}


class Row(NamedTuple):
    """One row of the journal's events table."""

    seq: int
    run: int
    kind: str
    name: str
    exchange_date: Optional[str]
    exchange_time: Optional[str]
    local_time: float
    instrument: Optional[str]
    exchange: Optional[str]
    order_id: Optional[int]
    order_sys_id: Optional[str]
    direction: Optional[str]
    offset_flag: Optional[str]
    price: Optional[float]
    volume: Optional[int]
    traded: Optional[int]
    canceled: Optional[int]
    status: Optional[str]
    amount: Optional[float]
    error_id: Optional[int]
    message: Optional[str]
    data: Optional[str]

    @property
    def time(self) -> str:
        """HH:MM:SS of the exchange time, or '' when it has none."""
        return (self.exchange_time or "")[:8]

    def fields(self) -> Dict[str, Any]:
        return json.loads(self.data) if self.data else {}


class Order:
    """One order of the day and every row of its life, in the order seen."""

    def __init__(self, first: Row) -> None:
        self.order_id = first.order_id
        self.instrument = first.instrument or ""
        self.exchange = first.exchange or ""
        self.direction = first.direction or ""
        self.offset = first.offset_flag or ""
        self.price = first.price
        self.volume = first.volume or 0
        self.rows: List[Row] = []
        self.fills: List[Row] = []

    @property
    def last(self) -> Row:
        return self.rows[-1]

    @property
    def sent(self) -> str:
        sent = [r for r in self.rows if r.name == "Sent"]
        return (sent[0] if sent else self.rows[0]).time

    @property
    def traded(self) -> int:
        return sum(f.volume or 0 for f in self.fills)

    @property
    def state(self) -> str:
        """Filled, Partly filled, Canceled, Refused, Working, Sent or Not sent."""
        last = self.last
        if last.status == "4":
            if (last.canceled or 0) > 0:
                return "Canceled"
            return "Filled" if self.traded >= self.volume or not self.fills else "Partly filled"
        if last.status == "3" and self.traded:
            return "Partly filled"
        return _END.get(last.status or "", last.status or "")

    def life(self) -> str:
        """The order's steps with their exchange times."""
        steps: List[str] = []
        fills = iter(self.fills)
        for row in self.rows:
            if row.name in ("Traded", "UpdateCost"):
                if row.name == "UpdateCost":
                    fill = next(fills, None)
                    if fill is not None:
                        whole = (fill.traded or 0) >= self.volume
                        steps.append("%s %d at %s %s" % (
                            "filled" if whole else "partly filled", fill.volume or 0,
                            _price(fill.price), fill.time))
                continue
            step = _STEP.get(row.name, row.name)
            if row.name == "Sent":
                if row.status == "0":
                    step = "not sent"
            elif row.name == "Canceled":
                step = "canceled %d" % (row.canceled or 0)
            elif row.name == "Restored":
                step = "listed by the exchange: %s" % _listed(row)
            elif row.name in ("InsertRejected", "CancelRejected") and row.message:
                step += " (%s)" % row.message
            steps.append("%s %s" % (step, row.time) if row.time else step)
        for fill in fills:   # fills restored from the exchange's list, without their events
            steps.append("filled %d at %s %s (listed by the exchange)" % (
                fill.volume or 0, _price(fill.price), fill.time))
        return ", ".join(steps)


def _listed(row: Row) -> str:
    """What the exchange's list said of an order."""
    if row.status == "4" and row.canceled:
        return "canceled %d" % row.canceled
    if row.status == "4":
        return "traded %d" % (row.traded or 0)
    if row.status == "3":
        return "working, traded %d" % (row.traded or 0)
    return _END.get(row.status or "", row.status or "").lower()


class Outage(NamedTuple):
    """A span without a front or without a running process."""

    what: str            # "trader front", "market data" or "process"
    start: str           # exchange time, HH:MM:SS
    end: Optional[str]   # None: not over when the journal ends
    seconds: Optional[float]
    note: str


class JournalDay:
    """One trading day's journal file, read whole."""

    def __init__(self, path: str) -> None:
        self.path = path
        try:
            db = _open(path)
            try:
                meta = dict(db.execute("SELECT key, value FROM meta"))
                self.runs = list(db.execute(
                    "SELECT run, source, started, pid, strategy FROM runs ORDER BY run"))
                self.rows = [Row(*r) for r in db.execute(
                    "SELECT seq, run, kind, name, exchange_date, exchange_time, local_time, "
                    "instrument, exchange, order_id, order_sys_id, direction, offset_flag, "
                    "price, volume, traded, canceled, status, amount, error_id, message, data "
                    "FROM events ORDER BY seq")]
                self.terms: Dict[str, Tuple[float, int]] = {
                    name: (tick, multiplier) for name, tick, multiplier in db.execute(
                        "SELECT instrument, price_tick, multiplier FROM instruments")}
            finally:
                db.close()
        except sqlite3.Error as error:
            raise InputFileError("%s is not a journal SQLite can read: %s" % (path, error)) \
                from None
        if meta.get("schema") != SCHEMA_VERSION:
            raise InputFileError("%s is a journal of schema %s; this package reads schema %s" % (
                path, meta.get("schema"), SCHEMA_VERSION))
        self.trading_day = meta.get("trading_day", "")
        self.orders = self._orders()

    @property
    def source(self) -> str:
        kinds = sorted({r[1] for r in self.runs})
        return "/".join(kinds) or "empty"

    @property
    def strategy(self) -> str:
        names = [r[4] for r in self.runs if r[4]]
        return names[-1] if names else ""

    def _orders(self) -> List[Order]:
        by_id: Dict[int, Order] = {}
        for row in self.rows:
            if row.kind not in ("order", "fill") or row.order_id is None:
                continue
            order = by_id.get(row.order_id)
            if order is None:
                order = by_id[row.order_id] = Order(row)
            if row.kind == "order":
                order.rows.append(row)
            else:
                order.fills.append(row)
        for order in by_id.values():
            order.fills.sort(key=lambda f: f.traded or 0)
            if not order.rows:   # only restored fills: the order's own events were lost
                order.rows.append(order.fills[0]._replace(kind="order", name="Restored",
                                                          status="4"))
        return [by_id[k] for k in sorted(by_id)]

    def fills(self) -> List[Row]:
        """Every fill of the day, in the order the journal took them."""
        return [r for r in self.rows if r.kind == "fill"]

    def risk(self) -> List[Row]:
        return [r for r in self.rows if r.kind == "risk"]

    def gaps(self) -> List[Row]:
        return [r for r in self.rows if r.kind == "gap"]

    def positions(self) -> Dict[str, int]:
        """The net lots of each instrument after the journal's last position row."""
        held: Dict[str, int] = {}
        for row in self.rows:
            if row.kind == "position" and row.instrument:
                held[row.instrument] = row.volume or 0
        return held

    def outages(self) -> List[Outage]:
        found: List[Outage] = []
        lost: Dict[str, Row] = {}
        # The front is back when the session answers on it again.
        ends = {"Authenticate": "TraderDisconnected", "LoginTrader": "TraderDisconnected",
                "LoginMd": "MdDisconnected"}
        names = {"TraderDisconnected": "trader front", "MdDisconnected": "market data"}
        previous: Optional[Row] = None
        for row in self.rows:
            if row.kind == "session" and row.name == "Start" and previous is not None \
                    and previous.run != row.run:
                stopped = any(r.run == previous.run and r.name == "Stop" for r in self.rows
                              if r.kind == "session")
                if not stopped:
                    found.append(Outage("process", previous.time, row.time or None,
                                        row.local_time - previous.local_time,
                                        "run %d ended without its stop, run %d started"
                                        % (previous.run, row.run)))
                lost.clear()
            if row.kind == "session" and row.name in names and row.name not in lost:
                lost[row.name] = row
            elif row.kind == "session" and row.name in ends and not row.error_id:
                began = lost.pop(ends[row.name], None)
                if began is not None:
                    found.append(Outage(names[began.name], began.time, row.time,
                                        row.local_time - began.local_time,
                                        began.message or ""))
            previous = row
        for began in lost.values():
            found.append(Outage(names[began.name], began.time, None, None,
                                (began.message or "") + "; not back when the journal ends"))
        return found


def _open(path: str) -> sqlite3.Connection:
    """A connection that reads the journal: one that may write, so that the last to close
    leaves no -wal and -shm files behind, else a read-only one."""
    uri = "file:%s?mode=%%s" % urllib.parse.quote(os.path.abspath(path))
    try:
        db = sqlite3.connect(uri % "rw", uri=True)
        db.execute("SELECT count(*) FROM sqlite_master")
        return db
    except sqlite3.OperationalError:
        return sqlite3.connect(uri % "ro", uri=True)


def journal_files(run_dir: str) -> Dict[str, str]:
    """{trading day: journal path} of a run folder (or the one journal file given)."""
    if os.path.isfile(run_dir):
        day = os.path.basename(run_dir)[len("journal-"):-len(".sqlite")]
        return {day: run_dir}
    if not os.path.isdir(run_dir):
        raise InputFileError("%s: no such run folder" % run_dir)
    found = {}
    for path in glob.glob(os.path.join(glob.escape(run_dir), JOURNAL_PATTERN)):
        found[os.path.basename(path)[len("journal-"):-len(".sqlite")]] = path
    if not found:
        raise InputFileError("%s holds no journal (journal-YYYYMMDD.sqlite)" % run_dir)
    return dict(sorted(found.items()))


def open_day(run_dir: str, day: Optional[str] = None) -> JournalDay:
    """The journal of `day` in a run folder, or of its latest day."""
    files = journal_files(run_dir)
    if day is None:
        day = list(files)[-1]
    if day not in files:
        raise InputFileError("%s holds no journal of %s (its days: %s)" % (
            run_dir, day, ", ".join(files)))
    return JournalDay(files[day])


def _price(value: Optional[float]) -> str:
    return "" if value is None else ("%.10g" % value)


def text(day: JournalDay) -> str:
    """The day as `quorvane journal` prints it."""
    out = io.StringIO()
    w = out.write
    w("Journal of trading day %s: %s (%s, %d run%s%s, %d rows)\n" % (
        day.trading_day, day.path, day.source, len(day.runs), "" if len(day.runs) == 1 else "s",
        ", %s" % day.strategy if day.strategy else "", len(day.rows)))
    states: Dict[str, int] = {}
    for order in day.orders:
        states[order.state] = states.get(order.state, 0) + 1
    w("Orders: %d%s\n" % (len(day.orders), " (%s)" % ", ".join(
        "%d %s" % (n, s.lower()) for s, n in sorted(states.items())) if states else ""))
    if day.orders:
        w("  %6s  %-10s %-4s %-14s %5s %10s  %-9s %-13s %s\n" % (
            "order", "instrument", "side", "offset", "lots", "price", "sent", "end", "life"))
        for o in day.orders:
            w("  %6s  %-10s %-4s %-14s %5d %10s  %-9s %-13s %s\n" % (
                o.order_id, o.instrument, o.direction, o.offset, o.volume, _price(o.price),
                o.sent, o.state, o.life()))
    fills = day.fills()
    w("Fills: %d, %d lots\n" % (len(fills), sum(f.volume or 0 for f in fills)))
    if fills:
        w("  %-9s %6s  %-10s %-4s %-14s %5s %10s  %s\n" % (
            "time", "order", "instrument", "side", "offset", "lots", "price", "from"))
        for f in fills:
            w("  %-9s %6s  %-10s %-4s %-14s %5d %10s  %s\n" % (
                f.time, f.order_id, f.instrument, f.direction, f.offset_flag, f.volume or 0,
                _price(f.price), "the exchange's list" if f.name == "Restored" else "event"))
    held = {k: v for k, v in day.positions().items() if v}
    w("Positions at the end: %s\n" % (", ".join("%s %+d" % kv for kv in sorted(held.items()))
                                      or "flat"))
    risk = day.risk()
    w("Risk decisions: %s\n" % (len(risk) if risk else "none"))
    for r in risk:
        fields = r.fields()
        w("  %-9s %-8s %-18s %-10s value %s limit %s%s\n" % (
            r.time, r.name, r.message or "", r.instrument or "", fields.get("value", ""),
            fields.get("limit", ""), ("  " + str(fields["message"])) if fields.get("message")
            else ""))
    outages = day.outages()
    w("Outages: %s\n" % (len(outages) if outages else "none"))
    for span in outages:
        w("  %-13s %s to %s%s  %s\n" % (
            span.what, span.start or "?", span.end or "the end", " (%.1f s)" % span.seconds
            if span.seconds is not None else "", span.note))
    for g in day.gaps():
        w("Left out while the writer was behind: %s\n" % g.message)
    return out.getvalue()


CSV_COLUMNS = ["section", "name", "exchange_date", "exchange_time", "local_time", "order_id",
               "order_sys_id", "instrument", "exchange", "direction", "offset", "volume", "price",
               "traded", "canceled", "status", "value", "message", "end_time", "seconds"]


def write_csv(day: JournalDay, out: TextIO) -> None:
    """Machine-readable rows of the day: each row of each order's life (section order; value
    the usable cash after it), each fill, each risk decision (value the value checked), each
    outage (exchange_time its start, end_time its end)."""
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(CSV_COLUMNS)

    def row(section: str, r: Row, value: Any = "") -> List[Any]:
        return [section, r.name, r.exchange_date or "", r.exchange_time or "",
                "%.6f" % r.local_time, _cell(r.order_id), r.order_sys_id or "",
                r.instrument or "", r.exchange or "", r.direction or "", r.offset_flag or "",
                _cell(r.volume), _price(r.price), _cell(r.traded), _cell(r.canceled),
                r.status or "", value, r.message or "", "", ""]
    for order in day.orders:
        for r in order.rows:
            writer.writerow(row("order", r, _cell(r.amount)))
    for r in day.fills():
        writer.writerow(row("fill", r))
    for r in day.risk():
        writer.writerow(row("risk", r, _cell(r.amount)))
    for span in day.outages():
        writer.writerow(["outage", span.what, day.trading_day, span.start, "", "", "", "", "",
                         "", "", "", "", "", "", "", "", span.note, span.end or "",
                         "" if span.seconds is None else "%.3f" % span.seconds])


def _cell(value: Any) -> str:
    return "" if value is None else str(value)


def main(run_dir: str, day: Optional[str], as_csv: bool, out: TextIO) -> int:
    """The journal command."""
    read = open_day(run_dir, day)
    if as_csv:
        write_csv(read, out)
    else:
        out.write(text(read))
    return 0
