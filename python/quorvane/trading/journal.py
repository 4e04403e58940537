"""The journal of a trading day: every order event, fill, position and account change, risk
decision, session change and instrument status a client sees, with its exchange time and local
time, kept in SQLite in the run's folder as journal-YYYYMMDD.sqlite, one file per trading day.
The hooks are here; the writer and the schema are _journal_writer.py's.

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
import os
import threading
import time
import typing
from typing import Any, Callable, Deque, Dict, List, Optional, Tuple

from . import codes, records
from ._journal_writer import (EXCHANGE_ZONE, FLUSH_SECONDS, JOURNAL_PATTERN, SCHEMA,
                              SCHEMA_VERSION, Writer, journal_name, text_of)

if typing.TYPE_CHECKING:
    from .client import Client

__all__ = ["Journal", "SCHEMA", "SCHEMA_VERSION", "journal_name", "JOURNAL_PATTERN",
           "FLUSH_SECONDS", "COMMIT_SECONDS", "MAX_BACKLOG"]

COMMIT_SECONDS = 0.2
MAX_BACKLOG = 100_000

# Session events kept by their runtime names; the others of on_response are not journaled, but
# for the answers the writer reads (orders, trades, the account, the instruments).
_SESSION = {codes.DAY_ROLLING, 11002, 11003, 11101, 11102, 11103, 11104}
_DROPPABLE = ("status", "account", "risk")


def _plain(value: Any) -> Any:
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if isinstance(value, bytes):
        return text_of(value)
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
        self._writer: Optional[Writer] = None
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
            self._writer = Writer(self)
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
        return datetime.datetime.fromtimestamp(local, EXCHANGE_ZONE).replace(tzinfo=None)

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
            self.terms[text_of(i.InstrumentID)] = (text_of(i.ExchangeID), i.PriceTick,
                                                 i.VolumeMultiple)

    def _take_dropped(self) -> Dict[str, int]:
        with self._dropped_lock:
            dropped, self._dropped = dict(self._dropped), collections.Counter()
        return dropped
