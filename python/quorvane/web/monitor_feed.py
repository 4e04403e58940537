"""What the monitor's page shows of a client, collected from its events, and the same state read
back from a run's journal.

Threads. MonitorFeed's handler methods run on the runtime's event threads: each copies a few plain
values into a dict (the working orders' and the positions' views, the fronts, the instruments) or
appends one tuple to a bounded deque, and returns. The order and position records live as long
as the client, so the server thread reads their fields itself when it shows them. No lock, no wait, no export call: a dict assignment and a deque
append are atomic under the interpreter's lock. The monitor's server thread alone calls snapshot(),
which copies the dicts (dict.copy() is atomic too), drains the ticks into minute bars it owns, and
makes the JSON-ready state of the page.
"""
import collections
import ctypes
import sqlite3
import time
import urllib.parse
from typing import Any, Deque, Dict, List, Optional, Tuple

from ..trading import codes, records

__all__ = ["MonitorFeed", "JournalFeed", "MAX_EVENTS", "MAX_TRADES", "MAX_BARS"]

MAX_EVENTS = 200        # the last events the page lists
MAX_TRADES = 500        # the fills kept for the table and the chart's marks
MAX_BARS = 600          # one-minute bars a chart keeps, per instrument
MAX_TICKS = 50_000      # ticks waiting for the server thread to make bars of them
PARTIAL_ROWS = 100      # trades and events in an update without whole charts

_WORKING = (b"1", b"3")
_FRONTS = {11101: ("trader", "connected"), 11102: ("md", "connected"),
           11002: ("trader", "disconnected"), 11003: ("md", "disconnected")}
_SESSION_NAMES = {10001: "day rolling", 11103: "authenticated", 11101: "logged in",
                  11104: "settlement confirmed", 10002: "ready"}


def _text(value: bytes) -> str:
    return value.decode("gb2312", "replace").rstrip("\0").strip()


def _order_shown(order: records.CQVOrderField) -> List[Any]:
    """The fields of an order the page shows."""
    return [order.OrderID, _text(order.StandardID), _text(order.ExchangeID),
            codes.direction_name(order.Direction), codes.offset_name(order.OffsetFlag),
            order.OriginalPrice, order.OriginalVolume, order.TradedVolume, order.CanceledVolume,
            order.OrderStatus.decode("ascii", "replace"), _text(order.InsertTime),
            _text(order.UpdateTime)]


def _position_shown(position: records.CQVPositionField) -> List[Any]:
    return [_text(position.ExchangeID), position.LongVolume, position.LongVolumeToday,
            position.LongVolumeHistory, position.LongVolumeFrozen, position.LongAverageCost,
            position.ShortVolume, position.ShortVolumeToday, position.ShortVolumeHistory,
            position.ShortVolumeFrozen, position.ShortAverageCost]


class _Bars:
    """One-minute bars of each instrument, made from (instrument, minute, price, volume)."""

    def __init__(self) -> None:
        self.bars: Dict[str, Deque[List[Any]]] = {}

    def add(self, instrument: str, minute: int, price: float) -> None:
        bars = self.bars.get(instrument)
        if bars is None:
            bars = self.bars[instrument] = collections.deque(maxlen=MAX_BARS)
        if bars and bars[-1][0] == minute:
            bar = bars[-1]
            bar[2] = max(bar[2], price)
            bar[3] = min(bar[3], price)
            bar[4] = price
        elif not bars or bars[-1][0] < minute:
            bars.append([minute, price, price, price, price])

    def view(self, last: Optional[int] = None) -> Dict[str, List[List[Any]]]:
        """Each instrument's bars, or its `last` ones."""
        if last is None:
            return {name: list(bars) for name, bars in self.bars.items()}
        return {name: list(bars)[-last:] for name, bars in self.bars.items()}


def _minute_of(date: str, clock: str) -> Optional[int]:
    """Seconds since the epoch of the minute of `date` (YYYYMMDD) and `clock` (HH:MM:SS), as if
    UTC: the chart shows exchange time as it is written."""
    try:
        day = time.strptime(date + clock[:5], "%Y%m%d%H:%M")
    except ValueError:
        return None
    return int(_timegm(day))


def _timegm(value: time.struct_time) -> float:
    import calendar
    return calendar.timegm(value)


class MonitorFeed:
    """An observer of a Client (add it before start()) holding what the page shows."""

    def __init__(self, client: Any) -> None:
        self._client = client
        self.fronts: Dict[str, str] = {"trader": "not connected", "md": "not connected"}
        self.session = "starting"
        self.orders: Dict[int, records.CQVOrderField] = {}      # working orders only
        self.positions: Dict[int, records.CQVPositionField] = {}  # by the record's address
        self.account: Dict[str, float] = {}
        self.multipliers: Dict[str, int] = {}
        self.cash = 0.0
        self.events_seen = 0
        # Appended on the event threads, taken (popleft) by the server thread.
        self._events: Deque[Tuple[Any, ...]] = collections.deque(maxlen=MAX_EVENTS)
        self._fills: Deque[Tuple[Any, ...]] = collections.deque(maxlen=MAX_TRADES)
        self._ticks: Deque[Tuple[bytes, bytes, float]] = collections.deque(maxlen=MAX_TICKS)
        # The server thread's own.
        self._bars = _Bars()
        self._equity: Deque[Tuple[int, float]] = collections.deque(maxlen=MAX_BARS)
        self._shown_events: Deque[List[Any]] = collections.deque(maxlen=MAX_EVENTS)
        self._trades: Deque[List[Any]] = collections.deque(maxlen=MAX_TRADES)
        self._prices: Dict[str, float] = {}
        self._exchange_time = ""
        self._names: Dict[bytes, str] = {}
        self._minutes: Dict[Tuple[str, bytes], Optional[int]] = {}

    # Event threads --------------------------------------------------------------------------

    def _event(self, name: Any, message: Any = "", instrument: bytes = b"") -> None:
        self.events_seen += 1
        self._events.append((time.time(), name, message, instrument))

    def on_tick(self, tick: records.CQVMarketDataField) -> None:
        self._ticks.append((tick.StandardID, tick.UpdateTime, tick.LastPrice))

    def _order(self, order: records.CQVOrderField) -> None:
        if order.OrderStatus in _WORKING:
            self.orders[order.OrderID] = order
        else:
            self.orders.pop(order.OrderID, None)

    def on_order_sent(self, order: records.CQVOrderField) -> None:
        self._order(order)
        self._event("Sent", order.OrderID, order.StandardID)

    def on_order(self, event_id: int, order: Optional[records.CQVOrderField],
                 position: Optional[records.CQVPositionField], usable_cash: float) -> None:
        self.cash = usable_cash
        if order is not None:
            self._order(order)
            self._event(event_id, order.OrderID, order.StandardID)
        if position is not None:
            self.positions[ctypes.addressof(position)] = position

    def on_fill(self, fill: Any) -> None:
        self._fills.append((time.time(), fill))

    def on_response(self, event_id: int, address: Optional[int], is_last: bool,
                    error_id: int, message: str) -> None:
        front = _FRONTS.get(event_id)
        if front is not None and not error_id:
            self.fronts[front[0]] = front[1]
        session = _SESSION_NAMES.get(event_id)
        if session is not None and not error_id:
            self.session = session
        if event_id == codes.QRY_TRADING_ACCOUNT and address:
            account = records.CThostFtdcTradingAccountField.from_address(address)
            self.account = {
                "balance": account.Balance, "available": account.Available,
                "margin": account.CurrMargin, "frozen": account.FrozenMargin + account.FrozenCash
                + account.FrozenCommission, "close_profit": account.CloseProfit,
                "position_profit": account.PositionProfit, "fees": account.Commission}
        elif event_id == 11402 and address:
            instrument = records.CThostFtdcInstrumentField.from_address(address)
            self.multipliers[_text(instrument.InstrumentID)] = instrument.VolumeMultiple
        if event_id != codes.SNAPSHOT:
            self._event(event_id, ("%s %s" % (codes.error_name(error_id), message)).strip()
                        if error_id else message)

    def on_ready(self) -> None:
        self.session = "ready"
        self._event("Ready")

    def on_risk(self, decision: Any) -> None:
        self._event("Risk", str(getattr(decision, "message", "") or decision))

    def on_stop(self, reason: str) -> None:
        self.session = "stopped: %s" % reason
        self._event("Stop", reason)

    # The server thread ----------------------------------------------------------------------

    def _take(self) -> None:
        """Moves what the event threads appended into the server thread's own state."""
        # The ticks' calendar date is the client's clock's (the replayed market's in a replay).
        now = self._client.now()
        date = now.strftime("%Y%m%d") if now is not None else time.strftime("%Y%m%d")
        names, minutes, bars, clock = self._names, self._minutes, self._bars, b""
        while True:
            try:
                code, clock, price = self._ticks.popleft()
            except IndexError:
                break
            if price <= 0:
                continue
            instrument = names.get(code)
            if instrument is None:
                instrument = names[code] = _text(code)
            key = (date, clock[:5])
            minute = minutes.get(key, -1)
            if minute == -1:
                if len(minutes) > 10_000:
                    minutes.clear()
                minute = minutes[key] = _minute_of(date, _text(clock))
            self._prices[instrument] = price
            if minute is not None:
                bars.add(instrument, minute, price)
        if clock:
            self._exchange_time = _text(clock)
        while True:
            try:
                local, name, message, named = self._events.popleft()
            except IndexError:
                break
            if isinstance(name, int):
                name = codes.event_name(name)
            if isinstance(message, int):
                message = "order %d %s" % (message, _text(named))
            self._shown_events.append([local, name, message])
        while True:
            try:
                local, fill = self._fills.popleft()
            except IndexError:
                break
            self._trades.append([local, fill.instrument, fill.direction, fill.offset,
                                 fill.price, fill.volume, fill.time, fill.order_id,
                                 _minute_of(fill.date or fill.trading_day, fill.time)])

    def snapshot(self, full: bool = True) -> Dict[str, Any]:
        """The page's state; with `full` false, only each chart's last two bars."""
        self._take()
        # Copies made in one step each (no Python code runs while they are made), so that the
        # event threads may go on changing the originals.
        orders = self.orders.copy()
        positions = self.positions.copy()
        prices = self._prices
        shown = []
        profit = 0.0
        for name, held in sorted((_text(p.StandardID), _position_shown(p))
                                 for p in positions.values()):
            multiplier = self.multipliers.get(name, 1)
            last = prices.get(name, 0.0)
            marked = 0.0
            if last:
                marked = ((last - held[5]) * held[1] + (held[10] - last) * held[6]) * multiplier
            profit += marked
            shown.append([name, *held, marked])
        account = dict(self.account)
        account["usable_cash"] = self.cash
        account["marked_profit"] = profit
        risk = self._client.risk.summary()
        day = max(risk.cancels) if risk.cancels else None
        cancels = risk.cancels.get(day, {}) if day is not None else {}
        working = [_order_shown(o) for _, o in sorted(orders.items())]
        check = self._client.risk
        loss = check.loss
        risk_view = {
            "cancels": cancels, "cancel_limit": risk.threshold, "working": len(working),
            "working_limit": check.limits.get("working_orders"),
            "loss": -loss.profit if loss is not None else None,
            "loss_limit": loss.limit if loss is not None else None,
            "refusals": risk.refusals, "halts": len(risk.halts), "killed": check.killed}
        if self._bars.bars:
            latest = max(bars[-1][0] for bars in self._bars.bars.values() if bars)
            balance = account.get("balance")
            value = (balance if balance is not None else self.cash) + profit
            if not self._equity or self._equity[-1][0] < latest:
                self._equity.append((latest, value))
            else:
                self._equity[-1] = (latest, value)
        return {"fronts": dict(self.fronts), "session": self.session,
                "exchange_time": self._exchange_time, "account": account, "positions": shown,
                "working": working,
                "trades": list(self._trades) if full else list(self._trades)[-PARTIAL_ROWS:],
                "risk": risk_view,
                "bars": self._bars.view(None if full else 2), "full": full,
                "equity": [list(e) for e in self._equity] if full else
                [list(e) for e in list(self._equity)[-2:]],
                "events": list(self._shown_events)[-PARTIAL_ROWS:],
                "events_seen": self.events_seen}


class JournalFeed:
    """The page's state read from a run's journal (journal-YYYYMMDD.sqlite), polled through a
    read-only connection at most every `poll` seconds; the server thread alone calls it."""

    def __init__(self, path: str, poll: float = 0.5) -> None:
        self.path = path
        self.poll = poll
        self._db: Optional[sqlite3.Connection] = None
        self._seq = 0
        self._polled = 0.0
        self._state: Dict[str, Any] = {}
        self.fronts: Dict[str, str] = {"trader": "not connected", "md": "not connected"}
        self.session = ""
        self.exchange_time = ""
        self.orders: Dict[int, List[Any]] = {}
        self.positions: Dict[str, List[Any]] = {}
        self.account: Dict[str, Any] = {}
        self.trades: Deque[List[Any]] = collections.deque(maxlen=MAX_TRADES)
        self.events: Deque[List[Any]] = collections.deque(maxlen=MAX_EVENTS)
        self.events_seen = 0
        self._bars = _Bars()

    def _connect(self) -> sqlite3.Connection:
        if self._db is None:
            uri = "file:%s?mode=ro" % urllib.parse.quote(self.path)
            self._db = sqlite3.connect(uri, uri=True, check_same_thread=False)
        return self._db

    def _read(self) -> None:
        try:
            rows = self._connect().execute(
                "SELECT seq, kind, name, exchange_date, exchange_time, local_time, instrument, "
                "exchange, order_id, direction, offset_flag, price, volume, traded, canceled, "
                "status, amount, error_id, message FROM events WHERE seq > ? ORDER BY seq",
                (self._seq,)).fetchall()
        except sqlite3.Error as error:
            self.session = "journal not readable: %s" % error
            return
        for row in rows:
            (self._seq, kind, name, date, clock, local, instrument, exchange, order_id,
             direction, offset, price, volume, traded, canceled, status, amount, error_id,
             message) = row
            self.events_seen += 1
            if clock:
                self.exchange_time = clock
            self.events.append([local, name, message or ("order %s %s" % (
                order_id, instrument) if kind == "order" else instrument or "")])
            if kind == "order" and order_id is not None:
                self.orders[order_id] = [order_id, instrument, exchange, direction, offset,
                                         price, volume, traded, canceled, status, "", clock]
                if amount is not None:
                    self.account["usable_cash"] = amount
            elif kind == "fill":
                minute = _minute_of(date or "", clock or "")
                self.trades.append([local, instrument, direction, offset, price, volume, clock,
                                    order_id, minute])
                if minute is not None and price:
                    self._bars.add(instrument, minute, price)
            elif kind == "position":
                self.positions[instrument] = [instrument, exchange, volume]
            elif kind == "account":
                self.account["available"] = amount
            elif kind == "session":
                for event_id, (front, state) in _FRONTS.items():
                    if codes.event_name(event_id) == name and not error_id:
                        self.fronts[front] = state
                self.session = name

    def snapshot(self, full: bool = True) -> Dict[str, Any]:
        now = time.monotonic()
        if not self._state or now - self._polled >= self.poll:
            self._polled = now
            self._read()
            positions = [[p[0], p[1], max(p[2], 0), 0, 0, 0, 0.0, max(-p[2], 0), 0, 0, 0, 0.0,
                          0.0] for _, p in sorted(self.positions.items())]
            self._state = {
                "fronts": dict(self.fronts), "session": self.session,
                "exchange_time": self.exchange_time, "account": dict(self.account),
                "positions": positions,
                "working": [o for o in self.orders.values() if o[9] in ("1", "3")],
                "trades": list(self.trades), "risk": None, "bars": self._bars.view(),
                "full": True,
                "equity": [], "events": list(self.events), "events_seen": self.events_seen}
        return self._state
