"""The journal of a trading day: every order event, fill, position and account change, risk
decision, session change and instrument status a client sees, with its exchange time and local
time, kept in SQLite in the run's folder as journal-YYYYMMDD.sqlite, one file per trading day.

Threads. The hooks (the Journal's handler methods, which the Client calls on the runtime's event
threads just before the strategy's) copy the fields they keep into a tuple and append it to a
deque: no lock, no wait, no export call. A thread of the journal's own ("quorvane-journal") takes
the rows every FLUSH_SECONDS (50 ms), writes them in one transaction and commits, so that while
rows arrive a commit follows them within COMMIT_SECONDS (200 ms). The database is in WAL mode with
synchronous=NORMAL: a commit is in the operating system's hands when it returns, so a process
killed with SIGKILL loses only the rows not yet committed, and a reader (`quorvane journal`) may
read the day while it is being written.

The trading day. Rows go to the file of the trading day the last trader login told (event
11101). Until the first login, and from a DayRolling (10001) to the login that follows it, rows
wait in the writer for that login; rows of a session that never logs in are written, at close,
to the file of the local date. A restart on the same trading day appends to that day's file: a
new row of `runs`, and `seq` goes on.

What the exchange lists at a login. The runtime loads the day's orders and trades at every login
(events 11202 and 11204). The writer compares them with the journal: a fill the journal lacks (it
came in the last moments before a kill, or while the process was down) is written with the name
"Restored", and so is an order whose state differs from the journal's last. A fill is known by
its exchange, its order's OrderSysID and the order's lots traded with it (`traded`), which the
fill events and the exchange's trade list give alike, so no fill is written twice.

Backlog. The writer may fall behind (a stalled disk). Order events, fills and session changes are
always queued, however far behind: a day holds as many of them as the exchange lets a strategy
send (a row is under 1 KB). When more than MAX_BACKLOG rows wait, instrument statuses, account
answers and risk decisions are counted instead of queued, and once the writer caught up a "gap"
row tells how many of each went unrecorded. When writing fails (a full disk), the rows are kept
and written again every second, with one line on stderr.

Schema (SCHEMA below; `schema` in table `meta` is its version):
  meta(key, value)              'schema', 'trading_day'
  runs(run, source, started, pid, strategy)
                                each start of a process on the day: 'live' or 'replay', its local
                                start time (Unix seconds), process id, the strategy's class
  events(seq, run, kind, name, exchange_date, exchange_time, local_time, instrument, exchange,
         order_id, order_sys_id, direction, offset_flag, price, volume, traded, canceled, status,
         amount, error_id, message, data)
                                one row per thing seen, in the order seen (seq); `kind` and `name`:
    order     Sent, Accepted, Traded, UpdateCost, Canceled, InsertRejected, CancelRejected,
              Cached, Restored: price and volume are the order's limit price and lots, traded and
              canceled its lots so far, status its OrderStatus ('1' sent, '3' working,
              '4' finished, '5' rejected, '0' made but not sent), amount the usable cash after
              the event (the account's change)
    fill      Fill (an UpdateCost's trade), Restored (from the exchange's trade list): price and
              volume are the fill's, traded the order's lots traded with it; data its trade id
              (Restored)
    position  Position: volume the net lots after an order event changed them; data the sides
    account   TradingAccount: a query's answer (amount: Available; data: balance, margin,
              fees, profits); the usable cash after each order event is in its order row
    risk      the decision's action (or kind): message its rule, amount its value, data every
              plain field it has (rule, instrument, limit, value, ...)
    session   Start, Authenticate, DayRolling, LoginTrader, ConfirmSettlementInfo, Ready,
              LoginMd, TraderDisconnected, MdDisconnected, DayStart, DayEnd, Stop: error_id and
              message as the runtime gave them (Stop: the run's end reason)
    status    InstrumentStatus: instrument the product or instrument, status the phase
    gap       Behind: data counts what the writer left out while behind
  instruments(instrument, exchange, price_tick, multiplier)
                                the terms of every instrument the day's orders name
Times: exchange_date (YYYYMMDD) and exchange_time (HH:MM:SS, with .mmm from the client's clock)
are the record's own where it has one (an order's update or insert time, a fill's trade time, a
status's enter time) dated by the client's clock, else the client's clock: the replayed market's
in a replay, the wall clock in exchange time (UTC+8) live. local_time is the wall clock (Unix
seconds) when the hook ran.
"""
import atexit
import collections
import datetime
import json
import os
import sqlite3
import sys
import threading
import time
import typing
from typing import Any, Callable, Deque, Dict, List, Optional, Tuple

from . import codes, records

if typing.TYPE_CHECKING:
    from .client import Client

__all__ = ["Journal", "SCHEMA", "SCHEMA_VERSION", "journal_name", "JOURNAL_PATTERN",
           "FLUSH_SECONDS", "COMMIT_SECONDS", "MAX_BACKLOG"]

SCHEMA_VERSION = "1"
FLUSH_SECONDS = 0.05
COMMIT_SECONDS = 0.2
MAX_BACKLOG = 100_000
# Rows of one transaction at most, so that a long backlog is committed as it is written.
_BATCH = 20_000
_RETRY_SECONDS = 1.0
JOURNAL_PATTERN = "journal-*.sqlite"

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
_INSERT = "INSERT OR IGNORE INTO events (%s) VALUES (%s)" % (", ".join(_COLUMNS),
                                                           ", ".join("?" * len(_COLUMNS)))

# Session events kept by their runtime names; the others of on_response are not journaled, but
# for the answers the writer reads (orders, trades, the account, the instruments).
_SESSION = {codes.DAY_ROLLING, 11002, 11003, 11101, 11102, 11103, 11104}
_DROPPABLE = ("status", "account", "risk")

# The runtime's OrderStatus for the CTP status of an order the exchange lists.
_DIRECTION = {b"0": "Buy", b"1": "Sell"}
_OFFSET = {b"0": "Open", b"1": "Close", b"2": "ForceClose", b"3": "CloseToday",
           b"4": "CloseYesterday"}
_STATUS = {b"": "0", b"1": "1", b"3": "3", b"4": "4", b"5": "5"}
_CTP_STATUS = {"0": "4", "1": "3", "2": "4", "3": "3", "4": "4", "5": "4", "a": "1"}


_EXCHANGE_ZONE = datetime.timezone(datetime.timedelta(hours=8))


def journal_name(trading_day: str) -> str:
    """The file name of a trading day's journal."""
    return "journal-%s.sqlite" % trading_day


def _text(value: bytes) -> str:
    return value.decode("gb2312", "replace").rstrip("\0")


def _plain(value: Any) -> Any:
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if isinstance(value, bytes):
        return _text(value)
    return str(value)


def _fields_of(decision: Any) -> Dict[str, Any]:
    """The plain fields of a risk decision, whatever its kind of object."""
    if isinstance(decision, dict):
        found = dict(decision)
    elif hasattr(decision, "_asdict"):
        found = dict(decision._asdict())
    elif hasattr(decision, "__dict__"):
        found = dict(vars(decision))
    else:
        found = {}
        for name in getattr(type(decision), "__slots__", ()):
            if hasattr(decision, name):
                found[name] = getattr(decision, name)
    for name in ("rule", "instrument", "exchange", "limit", "value", "action", "kind", "message"):
        if name not in found and hasattr(decision, name):
            found[name] = getattr(decision, name)
    return {str(k): _plain(v) for k, v in found.items() if not str(k).startswith("_")}


class Journal:
    """Keeps the journal of a client's days in `run_dir` (made when missing). attach(client) adds
    it as an observer of the client and starts its writer; close() writes what is left and ends
    the writer (also at exit). `source` is 'live' or 'replay'."""

    def __init__(self, run_dir: str, source: str = "live",
                 clock: Optional[Callable[[], Optional[datetime.datetime]]] = None,
                 max_backlog: int = MAX_BACKLOG) -> None:
        self.run_dir = os.path.abspath(run_dir)
        os.makedirs(self.run_dir, exist_ok=True)
        self.source = source
        self.strategy = ""
        self.max_backlog = max_backlog
        self._clock = clock
        self._client: Optional["Client"] = None
        self._rows: Deque[Tuple[Any, ...]] = collections.deque()
        self._dropped: typing.Counter[str] = collections.Counter()
        self._dropped_lock = threading.Lock()   # held for a count or a swap only
        self._stop = threading.Event()
        self._writer: Optional[_Writer] = None
        self._thread: Optional[threading.Thread] = None
        # Instrument terms from the login's instrument answers: code -> (exchange, tick, lots).
        self.terms: Dict[str, Tuple[str, float, int]] = {}

    # Life ------------------------------------------------------------------------------------

    def attach(self, client: "Client") -> "Journal":
        """Observes `client` (before its start) and starts writing."""
        self._client = client
        self.strategy = type(client.strategy).__name__
        client.add_observer(self)
        return self.start(at_exit=False)

    def start(self, at_exit: bool = True) -> "Journal":
        """Starts the writer; `at_exit`: close() at the process's end (a client closes the
        journal it keeps itself, after the run's end)."""
        if self._thread is None:
            self._writer = _Writer(self)
            self._thread = threading.Thread(target=self._writer.run, name="quorvane-journal",
                                            daemon=True)
            self._thread.start()
            if at_exit:
                atexit.register(self.close)
        return self

    def close(self, timeout: float = 10.0) -> None:
        """Has the writer write every row queued and end, and waits up to `timeout` seconds for
        it (a later call waits again); rows queued after the writer ended are not kept."""
        self._stop.set()
        if self._thread is not None and timeout > 0:
            self._thread.join(timeout)

    @property
    def backlog(self) -> int:
        """Rows waiting for the writer."""
        return len(self._rows)

    def paths(self) -> List[str]:
        """The files written so far, in the order they were begun."""
        return list(self._writer.paths) if self._writer is not None else []

    # Hooks: on the runtime's event threads; they copy and queue, nothing more ------------------

    def _now(self) -> Optional[float]:
        """The client's clock as the hooks read it: the replayed market's seconds in a replay
        (None before its first snapshot), else None (the writer dates the row by its local
        time). The writer makes a datetime of it (moment)."""
        client = self._client
        if client is None:
            return None
        clock = client.exchange_clock
        return clock.now_seconds if clock is not None else None

    def moment(self, mark: Optional[float], local: float) -> Optional[datetime.datetime]:
        """The exchange time of a row the hooks stamped with `mark` at `local` time: a given
        clock's time, the replayed market's, or the wall clock's in exchange time."""
        if self._clock is not None:
            return self._clock()
        client = self._client
        if client is not None and client.exchange_clock is not None:
            return None if mark is None else client.exchange_clock.at(mark)
        return datetime.datetime.fromtimestamp(local, _EXCHANGE_ZONE).replace(tzinfo=None)

    def _keep(self, kind: str, row: Tuple[Any, ...]) -> None:
        if kind in _DROPPABLE and len(self._rows) > self.max_backlog:
            with self._dropped_lock:
                self._dropped[kind] += 1
            return
        self._rows.append(row)

    def _order(self, name: str, order: Optional[records.CQVOrderField],
               position: Optional[records.CQVPositionField], cash: Optional[float],
               cost: bool = False) -> None:
        if order is None:
            return
        fill = None
        if cost and order.TradedVolumeChangeOfTurnover > 0:
            # The fill this trade report counts, known by the order's lots traded with it.
            fill = (order.LastTradedPrice, order.TradedVolumeChangeOfTurnover,
                    order.TradedVolumeOfTurnover)
        held = None
        if position is not None:
            held = (position.StandardID, position.ExchangeID, position.LongVolume,
                    position.LongVolumeToday, position.ShortVolume, position.ShortVolumeToday,
                    position.LongAverageCost, position.ShortAverageCost)
        self._rows.append((
            "order", name, self._now(), time.time(), order.OrderID, order.StandardID,
            order.ExchangeID, order.OrderSysID, order.Direction, order.OffsetFlag,
            order.OriginalPrice, order.OriginalVolume, order.TradedVolume, order.CanceledVolume,
            order.OrderStatus, order.ErrorID, order.Message if order.ErrorID else b"",
            order.UpdateTime or order.InsertTime, held, cash, fill))

    def on_order_sent(self, order: records.CQVOrderField) -> None:
        self._order("Sent", order, None, None)

    def on_order(self, event_id: int, order: Optional[records.CQVOrderField],
                 position: Optional[records.CQVPositionField], usable_cash: float) -> None:
        self._order(codes.EVENTS.get(event_id) or str(event_id), order, position, usable_cash,
                    event_id == codes.UPDATE_COST)

    def on_trade(self, order: Optional[records.CQVOrderField],
                 position: Optional[records.CQVPositionField], usable_cash: float) -> None:
        self._order("Traded", order, position, usable_cash)

    def on_ready(self) -> None:
        self._rows.append(("session", "Ready", self._now(), time.time(), 0, "", None))

    def on_stop(self, reason: str) -> None:
        self._rows.append(("session", "Stop", self._now(), time.time(), 0, reason, None))

    def on_day_start(self, trading_day: str) -> None:
        self._rows.append(("session", "DayStart", self._now(), time.time(), 0, trading_day or "",
                           None))

    def on_day_end(self, trading_day: str) -> None:
        self._rows.append(("session", "DayEnd", self._now(), time.time(), 0, trading_day or "",
                           None))

    def on_risk(self, decision: Any) -> None:
        """A decision of the pre-trade risk check: recorded with every plain field it has."""
        self._keep("risk", ("risk", self._now(), time.time(), _fields_of(decision)))

    def on_response(self, event_id: int, record_address: int, is_last: bool, error_id: int,
                    message: str) -> None:
        if event_id in _SESSION:
            day = None
            if event_id == 11101 and record_address and error_id == 0:
                login = records.CThostFtdcRspUserLoginField.from_address(record_address)
                day = login.TradingDay
            self._rows.append(("session", codes.event_name(event_id), self._now(), time.time(),
                               error_id, message, day))
        elif event_id == 11004 and record_address:
            status = records.CThostFtdcInstrumentStatusField.from_address(record_address)
            self._keep("status", ("status", self._now(), time.time(), status.ExchangeID,
                                  status.InstrumentID, status.InstrumentStatus, status.EnterTime,
                                  status.EnterReason))
        elif event_id == codes.QRY_TRADE:
            trade = None
            if record_address and error_id == 0:
                t = records.CThostFtdcTradeField.from_address(record_address)
                trade = (t.InstrumentID, t.ExchangeID, t.OrderRef, t.OrderSysID, t.TradeID,
                         t.Direction, t.OffsetFlag, t.Price, t.Volume, t.TradeDate, t.TradeTime)
            self._rows.append(("trades", self._now(), time.time(), trade, is_last or error_id))
        elif event_id == codes.QRY_ORDER:
            listed = None
            if record_address and error_id == 0:
                o = records.CThostFtdcOrderField.from_address(record_address)
                listed = (o.InstrumentID, o.ExchangeID, o.OrderRef, o.OrderSysID, o.Direction,
                          o.CombOffsetFlag[:1], o.LimitPrice, o.VolumeTotalOriginal,
                          o.VolumeTraded, o.OrderStatus, o.OrderSubmitStatus, o.InsertDate,
                          o.UpdateTime or o.InsertTime, o.StatusMsg)
            self._rows.append(("orders", self._now(), time.time(), listed, is_last or error_id))
        elif event_id == codes.QRY_TRADING_ACCOUNT and record_address and error_id == 0:
            a = records.CThostFtdcTradingAccountField.from_address(record_address)
            self._keep("account", ("account", self._now(), time.time(), {
                "balance": a.Balance, "available": a.Available, "margin": a.CurrMargin,
                "frozen_margin": a.FrozenMargin, "fees": a.Commission,
                "close_profit": a.CloseProfit, "position_profit": a.PositionProfit}))
        elif event_id == 11402 and record_address and error_id == 0:
            i = records.CThostFtdcInstrumentField.from_address(record_address)
            self.terms[_text(i.InstrumentID)] = (_text(i.ExchangeID), i.PriceTick,
                                                 i.VolumeMultiple)

    def _take_dropped(self) -> Dict[str, int]:
        with self._dropped_lock:
            dropped, self._dropped = dict(self._dropped), collections.Counter()
        return dropped


class _Writer:
    """The writer thread's state: the open day's connection and what it knows of the day (the
    last state of each order, position and the cash), to write only what changed. Touched by the
    writer thread alone."""

    def __init__(self, journal: Journal) -> None:
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
        self.written_terms: set = set()
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
            if self.out:
                self.db.executemany(_INSERT, self.out)
                self.out = []
            self.db.commit()

    def place(self, row: Tuple[Any, ...]) -> None:
        """Takes a row into the day's file, or keeps it until the day's login."""
        if row[0] == "session" and row[1] == "LoginTrader" and row[6]:
            self.begin_day(_text(row[6]))
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
                        exchange=_text(exchange), instrument=_text(instrument),
                        status=_text(status), message=_text(reason) or None)
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
                         error_id, _text(message) or None, None))
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
            key = (_text(exchange), _text(sys_id).strip())
            traded[key] = traded.get(key, 0) + volume
            code = _text(instrument)
            self.terms_of(code)
            self.insert(("fill", "Restored", None, None, local),
                        exchange_date=_text(date) or None, exchange_time=_text(at) or None,
                        instrument=code, exchange=key[0], order_id=_int(order_ref),
                        order_sys_id=key[1], direction=codes.direction_name(direction),
                        offset_flag=codes.offset_name(offset), price=price, volume=volume,
                        traded=traded[key], data={"trade_id": _text(trade_id).strip()})

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
            self.insert(("order", "Restored", None, None, local), instrument=_text(instrument),
                        exchange=_text(exchange), exchange_date=_text(date) or None,
                        exchange_time=_text(at) or None, order_id=order_id,
                        order_sys_id=_text(sys_id).strip() or None,
                        direction=codes.direction_name(direction),
                        offset_flag=codes.offset_name(offset), price=price, volume=volume,
                        traded=traded, canceled=canceled, status=ours,
                        message=_text(message) or None)


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
