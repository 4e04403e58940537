"""The journal's writer (journal.py tells what the journal keeps and how): the thread that takes
the rows the hooks queued, writes them to the day's SQLite file in batches and commits; the
schema, and the reading of the exchange's lists at a login."""
import datetime
import itertools
import json
import os
import sqlite3
import sys
import time
import typing
from typing import Any, Dict, List, Optional, Set, Tuple

from . import codes

if typing.TYPE_CHECKING:
    from .journal import Journal

__all__ = ["Writer", "SCHEMA", "SCHEMA_VERSION", "FLUSH_SECONDS", "JOURNAL_PATTERN",
           "journal_name", "text_of", "EXCHANGE_ZONE"]

SCHEMA_VERSION = "1"
FLUSH_SECONDS = 0.05
# Rows of one transaction at most, so that a long backlog is committed as it is written.
_BATCH = 20_000
_RETRY_SECONDS = 1.0
JOURNAL_PATTERN = "journal-*.sqlite"
EXCHANGE_ZONE = datetime.timezone(datetime.timedelta(hours=8))

SCHEMA = """
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS runs (
    run INTEGER PRIMARY KEY, source TEXT NOT NULL, started REAL NOT NULL, pid INTEGER NOT NULL,
    strategy TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS events (
    seq INTEGER PRIMARY KEY, run INTEGER NOT NULL, kind TEXT NOT NULL, name TEXT NOT NULL,
    exchange_date TEXT, exchange_time TEXT, local_time REAL NOT NULL,
    instrument TEXT, exchange TEXT, order_id INTEGER, order_sys_id TEXT,
    direction TEXT, offset_flag TEXT, price REAL, volume INTEGER, traded INTEGER,
    canceled INTEGER, status TEXT, amount REAL, error_id INTEGER, message TEXT, data TEXT);
CREATE UNIQUE INDEX IF NOT EXISTS one_fill ON events (exchange, order_sys_id, traded)
    WHERE kind = 'fill';
CREATE TABLE IF NOT EXISTS instruments (
    instrument TEXT PRIMARY KEY, exchange TEXT, price_tick REAL, multiplier INTEGER);
"""

_COLUMNS = ("run", "kind", "name", "exchange_date", "exchange_time", "local_time", "instrument",
            "exchange", "order_id", "order_sys_id", "direction", "offset_flag", "price", "volume",
            "traded", "canceled", "status", "amount", "error_id", "message", "data")
# A fill already there (the same exchange, OrderSysID and lots traded) is not written again.
_VALUES = "(%s)" % ", ".join("?" * len(_COLUMNS))
_INSERT = "INSERT OR IGNORE INTO events (%s) VALUES %s" % (", ".join(_COLUMNS), _VALUES)
# Rows go in by statements of many: each statement's step lets the interpreter lock go and takes
# it back, which the event threads would otherwise meet at every row. 40 rows of 21 values stay
# under SQLite's oldest limit of 999 parameters a statement.
_ROWS_A_STATEMENT = 40
_INSERT_MANY = "INSERT OR IGNORE INTO events (%s) VALUES %s" % (
    ", ".join(_COLUMNS), ", ".join([_VALUES] * _ROWS_A_STATEMENT))

_DIRECTION = {b"0": "Buy", b"1": "Sell"}
_OFFSET = {b"0": "Open", b"1": "Close", b"2": "ForceClose", b"3": "CloseToday",
           b"4": "CloseYesterday"}
_STATUS = {b"": "0", b"1": "1", b"3": "3", b"4": "4", b"5": "5"}
# The runtime's OrderStatus for the CTP status of an order the exchange lists.
_CTP_STATUS = {"0": "4", "1": "3", "2": "4", "3": "3", "4": "4", "5": "4", "a": "1"}


def journal_name(trading_day: str) -> str:
    """The file name of a trading day's journal."""
    return "journal-%s.sqlite" % trading_day


def text_of(value: bytes) -> str:
    """A record's text (GB2312, as the fronts send it)."""
    return value.decode("gb2312", "replace").rstrip("\0")


class Writer:
    """The writer thread's state: the open day's connection and what it knows of the day (the
    last state of each order and position), to write only what changed. Touched by the writer
    thread alone; it reads the journal's queue, its dropped counts (under their lock) and the
    instrument terms the hooks took."""

    def __init__(self, journal: "Journal") -> None:
        self.journal = journal
        self.paths: List[str] = []
        self.day: Optional[str] = None
        self.db: Optional[sqlite3.Connection] = None
        self.run_number = 0
        self.pending: List[Tuple[Any, ...]] = []     # rows waiting for the trading day
        self.waiting = False                         # the day is changing: wait for its login
        self.held: List[Tuple[Any, ...]] = []        # rows of a failed write, first to retry
        self.failed: Optional[str] = None
        self.orders: Dict[int, Tuple[str, int, int]] = {}
        self.positions: Dict[str, Tuple[int, int, int, int]] = {}
        self.written_terms: Set[str] = set()
        self.listed_trades: List[Tuple[Any, ...]] = []
        self.listed_orders: List[Tuple[Any, ...]] = []
        self.out: List[Tuple[Any, ...]] = []           # rows of events not yet inserted
        self.dated: Tuple[Any, str] = (None, "")        # the last date seen and its text

    # The loop --------------------------------------------------------------------------------

    def run(self) -> None:
        journal = self.journal
        while True:
            stopping = journal._stop.wait(FLUSH_SECONDS)
            self.flush()
            if self.failed is not None and not stopping:
                journal._stop.wait(_RETRY_SECONDS)
            if stopping:
                self.finish()
                return

    def flush(self) -> None:
        rows = self.journal._rows
        while True:
            batch, self.held = self.held, []
            while rows and len(batch) < _BATCH:
                batch.append(rows.popleft())
            dropped = self.journal._take_dropped() if not rows else {}
            if not batch and not dropped:
                return
            kept = (list(self.pending), self.day, self.waiting)
            try:
                self.write(batch, dropped)
                if self.failed is not None:
                    sys.stderr.write("quorvane: the journal in %s is written again\n"
                                     % self.journal.run_dir)
                    self.failed = None
            except (sqlite3.Error, OSError) as error:
                # The transaction is rolled back with the connection: everything it took is
                # taken again, from the state the last commit left.
                self.held = kept[0] + batch
                self.pending, self.day, self.waiting = [], kept[1], kept[2]
                with self.journal._dropped_lock:
                    self.journal._dropped.update(dropped)
                if self.failed != str(error):
                    self.failed = str(error)
                    sys.stderr.write("quorvane: the journal in %s cannot be written (%s); its "
                                     "rows are kept and written again\n"
                                     % (self.journal.run_dir, error))
                self.close_db()
                return

    def write(self, batch: List[Tuple[Any, ...]], dropped: Dict[str, int]) -> None:
        for row in batch:
            self.place(row)
        if dropped:
            if self.db is None:
                with self.journal._dropped_lock:
                    self.journal._dropped.update(dropped)
            else:
                self.insert(("gap", "Behind", None, None, time.time()), data=dropped,
                            message=", ".join("%d %s rows" % (n, k)
                                              for k, n in sorted(dropped.items())))
        self.commit()

    def commit(self) -> None:
        if self.db is not None:
            out, self.out = self.out, []
            whole = len(out) - len(out) % _ROWS_A_STATEMENT
            if whole:
                self.db.executemany(_INSERT_MANY, [
                    tuple(itertools.chain.from_iterable(out[i:i + _ROWS_A_STATEMENT]))
                    for i in range(0, whole, _ROWS_A_STATEMENT)])
            if whole < len(out):
                self.db.executemany(_INSERT, out[whole:])
            self.db.commit()

    def place(self, row: Tuple[Any, ...]) -> None:
        """Takes a row into the day's file, or keeps it until the day's login."""
        if row[0] == "session" and row[1] == "LoginTrader" and row[6]:
            self.begin_day(text_of(row[6]))
        elif row[0] == "session" and row[1] == "DayRolling":
            self.waiting = True
        if self.waiting or self.day is None:
            self.pending.append(row)
            return
        if self.db is None:
            self.open(self.day)
        if self.pending:
            pending, self.pending = self.pending, []
            for kept in pending:
                self.take(kept)
        self.take(row)

    def finish(self) -> None:
        """At close: rows still waiting for a login go to the day's file, or to the local
        date's when no login told a day."""
        if self.pending:
            self.waiting = False
            if self.day is None:
                self.day = time.strftime("%Y%m%d")
            try:
                if self.db is None:
                    self.open(self.day)
                pending, self.pending = self.pending, []
                for kept in pending:
                    self.take(kept)
                self.commit()
            except (sqlite3.Error, OSError) as error:
                sys.stderr.write("quorvane: the journal in %s lost %d rows (%s)\n"
                                 % (self.journal.run_dir, len(self.pending), error))
        self.close_db()

    # Files -----------------------------------------------------------------------------------

    def begin_day(self, day: str) -> None:
        self.waiting = False
        if day != self.day or self.db is None:
            self.open(day)

    def open(self, day: str) -> None:
        if self.db is not None:
            self.commit()
            self.close_db()
        path = os.path.join(self.journal.run_dir, journal_name(day))
        db = _connect(path)
        self.db, self.day = db, day
        if path not in self.paths:
            self.paths.append(path)
        db.executemany("INSERT OR IGNORE INTO meta VALUES (?, ?)",
                       [("schema", SCHEMA_VERSION), ("trading_day", day)])
        self.run_number = db.execute(
            "INSERT INTO runs (source, started, pid, strategy) VALUES (?, ?, ?, ?)",
            (self.journal.source, time.time(), os.getpid(), self.journal.strategy)).lastrowid or 0
        self.load_state(db)
        self.insert(("session", "Start", None, None, time.time()), message=self.journal.source)
        self.commit()

    def close_db(self) -> None:
        self.out = []
        if self.db is not None:
            try:
                self.db.close()
            except sqlite3.Error:
                pass
            self.db = None

    def load_state(self, db: sqlite3.Connection) -> None:
        self.orders, self.positions = {}, {}
        for order_id, status, traded, canceled in db.execute(
                "SELECT order_id, status, traded, canceled FROM events WHERE kind = 'order' "
                "ORDER BY seq"):
            self.orders[order_id] = (status, traded, canceled)
        for instrument, data in db.execute(
                "SELECT instrument, data FROM events WHERE kind = 'position' ORDER BY seq"):
            sides = json.loads(data)
            self.positions[instrument] = (sides["long"], sides["long_today"], sides["short"],
                                          sides["short_today"])
        self.written_terms = {name for (name,) in db.execute("SELECT instrument FROM instruments")}

    # Rows ------------------------------------------------------------------------------------

    def times(self, now: Optional[datetime.datetime], stamped: bytes
              ) -> Tuple[Optional[str], Optional[str]]:
        """(YYYYMMDD, HH:MM:SS[.mmm]): the record's own time when it has one, dated by the
        clock, else the clock's."""
        text = stamped.decode("ascii", "replace").rstrip("\0 ") if stamped else ""
        if now is None:
            return None, text or None
        if not text:
            text = "%02d:%02d:%02d.%03d" % (now.hour, now.minute, now.second,
                                            now.microsecond // 1000)
        date = now.date()
        if date != self.dated[0]:
            self.dated = (date, date.strftime("%Y%m%d"))
        return self.dated[1], text

    def insert(self, head: Tuple[str, str, Optional[float], Optional[bytes], float],
               data: Optional[Dict[str, Any]] = None, **columns: Any) -> None:
        """One row of `events`: head is (kind, name, the hooks' clock mark, the record's time,
        local time); columns name the rest."""
        kind, name, mark, stamped, local = head
        date, clock = self.times(self.journal.moment(mark, local), stamped or b"")
        values: Dict[str, Any] = {"exchange_date": date, "exchange_time": clock}
        values.update(columns)
        values.update(run=self.run_number, kind=kind, name=name, local_time=local,
                      data=None if data is None else json.dumps(data, sort_keys=True))
        self.out.append(tuple(values.get(column) for column in _COLUMNS))

    def terms_of(self, instrument: str) -> None:
        if instrument in self.written_terms:
            return
        terms = self.journal.terms.get(instrument)
        if terms is not None:
            assert self.db is not None
            self.db.execute("INSERT OR REPLACE INTO instruments VALUES (?, ?, ?, ?)",
                            (instrument,) + terms)
            self.written_terms.add(instrument)

    def take(self, row: Tuple[Any, ...]) -> None:
        kind = row[0]
        if kind == "order":
            self.take_order(row)
        elif kind == "session":
            _, name, now, local, error_id, message, day = row
            self.insert(("session", name, now, None, local), error_id=error_id,
                        message=message or None)
        elif kind == "status":
            _, now, local, exchange, instrument, status, entered, reason = row
            self.insert(("status", "InstrumentStatus", now, entered, local),
                        exchange=text_of(exchange), instrument=text_of(instrument),
                        status=text_of(status), message=text_of(reason) or None)
        elif kind == "account":
            _, now, local, values = row
            self.insert(("account", "TradingAccount", now, None, local),
                        amount=values["available"], data=values)
        elif kind == "risk":
            _, now, local, fields = row
            value = fields.get("value")
            action = fields.get("action") or fields.get("kind") or "decision"
            self.insert(("risk", str(action), now, None, local),
                        instrument=fields.get("instrument"), exchange=fields.get("exchange"),
                        amount=value if isinstance(value, (int, float)) else None,
                        message=fields.get("rule"), data=fields)
        elif kind == "trades":
            if row[3] is not None:
                self.listed_trades.append(row)
            if row[4]:
                self.restore_trades()
        elif kind == "orders":
            if row[3] is not None:
                self.listed_orders.append(row)
            if row[4]:
                self.restore_orders()

    def take_order(self, row: Tuple[Any, ...]) -> None:
        """An order event, the fill it reports, and the position and cash it changed: the
        busiest rows, built in the table's column order."""
        (_, name, now, local, order_id, instrument, exchange, sys_id, direction, offset, price,
         volume, traded, canceled, status, error_id, message, stamped, held, cash, fill) = row
        code = instrument.decode("ascii", "replace")
        if code not in self.written_terms:
            self.terms_of(code)
        market = exchange.decode("ascii", "replace")
        system = sys_id.decode("ascii", "replace").strip() or None
        side = _DIRECTION.get(direction, "")
        flag = _OFFSET.get(offset, "")
        date, at = self.times(self.journal.moment(now, local), stamped)
        run = self.run_number
        if fill is not None:
            self.out.append((run, "fill", "Fill", date, at, local, code, market, order_id, system,
                             side, flag, fill[0], fill[1], fill[2], None, None, None, None, None,
                             None))
        status_text = _STATUS.get(status) or codes.char(status)
        self.out.append((run, "order", name, date, at, local, code, market, order_id, system,
                         side, flag, price, volume, traded, canceled, status_text, cash,
                         error_id, text_of(message) or None, None))
        self.orders[order_id] = (status_text, traded, canceled)
        if held is not None:
            sides = held[2:6]
            position_code = held[0].decode("ascii", "replace")
            known = self.positions.get(position_code)
            if known is None and not any(sides):
                self.positions[position_code] = sides
            elif known != sides:
                self.positions[position_code] = sides
                self.out.append((
                    run, "position", "Position", date, at, local, position_code,
                    held[1].decode("ascii", "replace"), None, None, None, None, None,
                    sides[0] - sides[2], None, None, None, None, None, None,
                    '{"long": %d, "long_cost": %r, "long_today": %d, "short": %d, '
                    '"short_cost": %r, "short_today": %d}' % (
                        sides[0], held[6], sides[1], sides[2], held[7], sides[3])))

    def restore_trades(self) -> None:
        """The exchange's trades of the day: those the journal lacks are written as Restored."""
        listed, self.listed_trades = self.listed_trades, []
        traded: Dict[Tuple[str, str], int] = {}
        for _, now, local, trade in (row[:4] for row in listed):
            (instrument, exchange, order_ref, sys_id, trade_id, direction, offset, price, volume,
             date, at) = trade
            key = (text_of(exchange), text_of(sys_id).strip())
            traded[key] = traded.get(key, 0) + volume
            code = text_of(instrument)
            self.terms_of(code)
            self.insert(("fill", "Restored", None, None, local),
                        exchange_date=text_of(date) or None, exchange_time=text_of(at) or None,
                        instrument=code, exchange=key[0], order_id=_int(order_ref),
                        order_sys_id=key[1], direction=codes.direction_name(direction),
                        offset_flag=codes.offset_name(offset), price=price, volume=volume,
                        traded=traded[key], data={"trade_id": text_of(trade_id).strip()})

    def restore_orders(self) -> None:
        """The exchange's orders of the day: one whose state the journal lacks is written as
        Restored, with the runtime's OrderStatus for the exchange's."""
        listed, self.listed_orders = self.listed_orders, []
        for _, now, local, order in (row[:4] for row in listed):
            (instrument, exchange, order_ref, sys_id, direction, offset, price, volume, traded,
             status, submit, date, at, message) = order
            order_id = _int(order_ref)
            ctp = codes.char(status)
            ours = "5" if codes.char(submit) == "4" else _CTP_STATUS.get(ctp, "1")
            canceled = volume - traded if ctp == "5" else 0
            if order_id is not None and self.orders.get(order_id) == (ours, traded, canceled):
                continue
            if order_id is not None:
                self.orders[order_id] = (ours, traded, canceled)
            self.insert(("order", "Restored", None, None, local), instrument=text_of(instrument),
                        exchange=text_of(exchange), exchange_date=text_of(date) or None,
                        exchange_time=text_of(at) or None, order_id=order_id,
                        order_sys_id=text_of(sys_id).strip() or None,
                        direction=codes.direction_name(direction),
                        offset_flag=codes.offset_name(offset), price=price, volume=volume,
                        traded=traded, canceled=canceled, status=ours,
                        message=text_of(message) or None)


def _int(text: bytes) -> Optional[int]:
    try:
        return int(text.strip())
    except ValueError:
        return None


def _connect(path: str) -> sqlite3.Connection:
    """The day's journal, created or opened to append; one that is not a journal SQLite can read
    is moved aside (PATH.damaged-N) and a new one begun."""
    for attempt in range(2):
        db = sqlite3.connect(path, isolation_level="DEFERRED", check_same_thread=False)
        try:
            db.execute("PRAGMA journal_mode=WAL")
            db.execute("PRAGMA synchronous=NORMAL")
            db.executescript(SCHEMA)
            db.commit()
            return db
        except sqlite3.DatabaseError as error:
            db.close()
            if attempt or isinstance(error, sqlite3.OperationalError):
                raise
            number = 1
            while os.path.exists("%s.damaged-%d" % (path, number)):
                number += 1
            os.replace(path, "%s.damaged-%d" % (path, number))
            for suffix in ("-wal", "-shm"):
                if os.path.exists(path + suffix):
                    os.remove(path + suffix)
            sys.stderr.write("quorvane: %s was not a journal; moved to %s.damaged-%d\n"
                             % (path, path, number))
    raise AssertionError("unreachable")
