"""The pre-trade check of a client: every order and cancel the package sends passes it, live and in
replays, whichever verb sent it (a Strategy's or the Client's).

Rules, each with its limits in risk_limits.RiskLimits:
  order_size     lots of one call above the instrument's MaxLimitOrderVolume (MaxMarketOrderVolume
                 for market orders) from the instrument records the runtime loads, or a lower cap
  position       lots per instrument and per product, each side and net, after the order
  margin         margin of the lots held and of the working opening orders (the last price, the
                 instrument's margin ratio) as a share of the balance (usable cash plus it)
  working_orders working orders at once, per instrument and in all
  order_rate     orders in the last second of the client's clock, per instrument and in all
  cancels        cancels of an instrument in the trading day: a warning at cancel_warning and at
                 the limit; from the limit on, new orders of the instrument are refused. Cancels
                 are never refused.
  self_trade     an order that would trade with a working order of the account on the other side
  price_collar   a limit price more than collar_ticks ticks from the last price, or outside the
                 day's limit prices
  daily_loss     the day's loss above the limit: working orders are canceled, opening orders
                 refused, closing orders let through, the strategy told once
  kill_switch    Client.kill(): working orders canceled, every order refused until reset_kill()
A refused verb returns None and the client's on_risk hook gets the RiskDecision (observers first,
then the strategy).

Threads. Orders come from any handler's thread, order events on the trader library's thread.
The lock guards the check's own state and is a leaf: no export is called and no handler runs
while it is held. What a check needs from the runtime (a position record's address) is looked
up before it is taken; records are read in place under it. Decisions are told after it is
released. The clock is the client's: the replayed market's in a replay (so a replay decides the
same every run), the monotonic clock live.
"""
import collections
import datetime
import threading
import time
import typing
from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional, Tuple

from .orders import MAX_VOLUME
from .records import CQVOrderField, CThostFtdcInstrumentField
from .risk_limits import CANCEL_THRESHOLD, InstrumentLimits, ProductTotals, RiskLimits
from .risk_loss import DailyLoss

if TYPE_CHECKING:
    from .client import Client

__all__ = ["RiskCheck", "RiskDecision", "RiskSummary", "RULES", "REFUSED", "WARNING", "HALTED",
           "RESUMED"]

RULES = ("kill_switch", "order_size", "daily_loss", "cancels", "price_collar", "self_trade",
         "working_orders", "order_rate", "position", "margin")
REFUSED, WARNING, HALTED, RESUMED = "refused", "warning", "halted", "resumed"
# Rules of the whole account: the report names their first refusal once, not by instrument.
_ACCOUNT_RULES = ("kill_switch", "daily_loss", "margin")

_LIVE = (b"1", b"3")            # sent, or working at the exchange
_NO_VALUE = 1e300               # CTP's "no value" prices are at or above this
_INFINITY = float("inf")
_QUERY_INSTRUMENT = 11402
_DAY_ROLLING = 10001


class RiskDecision(NamedTuple):
    """One decision of the check. action: "refused" (the verb sent nothing), "warning",
    "halted" (the daily loss or the kill switch stopped trading) or "resumed" (the kill switch
    was reset). rule is one of RULES; instrument is "" for the account; limit and value are the
    limit and the figure that met it (None where the rule has none); verb is the export
    refused; time the client's (exchange time in a replay); text says it in a sentence."""

    action: str
    rule: str
    instrument: str
    limit: Optional[float]
    value: Optional[float]
    verb: str
    time: Optional[datetime.datetime]
    text: str


class RiskSummary(NamedTuple):
    """What the check decided over a run. refused: refusals by rule; first: the first refusal of
    each (rule, instrument), of the account-wide rules the first of each, in the order they
    happened; warnings and halts in order; cancels:
    trading day -> instrument -> cancels sent (a day the check was not told of is "")."""

    refused: "typing.Counter[str]"
    first: List[RiskDecision]
    warnings: List[RiskDecision]
    halts: List[RiskDecision]
    cancels: Dict[str, Dict[str, int]]
    threshold: int

    @property
    def refusals(self) -> int:
        return sum(self.refused.values())


class _Instrument(NamedTuple):
    exchange: str
    product: str
    max_limit: int
    max_market: int
    tick: float
    multiplier: int
    margin: float


def _instrument_of(record: CThostFtdcInstrumentField) -> _Instrument:
    return _Instrument(record.ExchangeID.decode(), record.ProductID.decode(),
                       record.MaxLimitOrderVolume, record.MaxMarketOrderVolume, record.PriceTick,
                       record.VolumeMultiple,
                       max(record.LongMarginRatio, record.ShortMarginRatio))


class _Working:
    """A working order as the check counts it. resting: the exchange said it works; marketable:
    it crossed the market when sent (until the exchange says it works, it is taken to trade on
    arrival rather than rest)."""

    __slots__ = ("buy", "price", "lots", "opens", "resting", "marketable")

    def __init__(self, buy: bool, price: float, lots: int, opens: bool, resting: bool,
                 marketable: bool) -> None:
        self.buy, self.price, self.lots, self.opens = buy, price, lots, opens
        self.resting, self.marketable = resting, marketable


def _working_of(order: CQVOrderField, status: bytes, marketable: bool, fresh: bool) -> _Working:
    """The working order a record shows; a fresh one has traded nothing yet (or the event that
    says so comes next)."""
    lots = order.OriginalVolume
    if not fresh:
        lots -= order.TradedVolume + order.CanceledVolume
    return _Working(order.Direction == b"0", order.OriginalPrice, lots,
                    order.OffsetFlag == b"0", status == b"3", marketable)


class _Book:
    """What the check keeps of one instrument."""

    __slots__ = ("code", "key", "exchange", "product", "limits", "totals", "info", "cap_limit",
                 "cap_market", "tick_size", "multiplier", "margin", "timed", "sided", "working",
                 "buys", "sells", "sums", "best", "pending", "times", "cancels", "warned",
                 "position", "tick", "bounds", "peers")

    def __init__(self, code: str, exchange: str, product: str, limits: InstrumentLimits,
                 totals: Optional[ProductTotals], info: Optional[_Instrument],
                 exchange_size: bool, rate_all: bool) -> None:
        self.code, self.key, self.exchange, self.product = code, code.encode(), exchange, product
        self.limits = limits
        self.totals = totals                       # the product's, None when it has none
        self.timed = rate_all or limits.orders_per_second is not None
        self.sided = totals is not None or (limits.long, limits.short, limits.net) != (
            None, None, None)
        self.know(info, exchange_size)
        self.working: Dict[int, _Working] = {}     # OrderID -> its working order
        self.buys: Dict[int, _Working] = {}        # the working buys, and the sells
        self.sells: Dict[int, _Working] = {}
        # Lots the working orders still trade: buying, selling, opening buys, opening sells.
        self.sums = [0, 0, 0, 0]
        # The highest buy and the lowest sell an order of the other side would trade with (the
        # working orders that rest, or will), None when to be worked out again.
        self.best: List[Optional[float]] = [-_INFINITY, _INFINITY]
        self.pending = 0                           # calls admitted and not yet placed
        # When the last orders_per_second orders were admitted, oldest first.
        self.times: Optional["typing.Deque[float]"] = None
        if limits.orders_per_second is not None:
            self.times = collections.deque(maxlen=limits.orders_per_second)
        self.cancels = 0                           # cancels sent in the trading day
        self.warned = 0                            # cancel warnings told in the day (0 to 2)
        self.position: Any = None                  # the runtime's position record, once it has one
        self.tick: Any = None                      # the instrument's snapshot record, once seen
        self.bounds: Optional[Tuple[float, float]] = None   # the day's limit prices, once read
        self.peers: List["_Book"] = [self]         # the books of its product, itself among them

    def know(self, info: Optional[_Instrument], exchange_size: bool) -> None:
        """Takes the instrument's record: the most lots of one order, its tick and margin."""
        self.info = info
        caps = []
        for most in ((info.max_limit, info.max_market) if info is not None and exchange_size
                     else (0, 0)):
            cap = self.limits.order_lots
            if most > 0 and (cap is None or most < cap):
                cap = most
            caps.append(cap)
        self.cap_limit, self.cap_market = caps
        self.tick_size = info.tick if info is not None else 0.0
        self.multiplier = info.multiplier if info is not None else 0
        self.margin = info.margin if info is not None else 0.0


# An admitted call, until its orders are known: (its instrument's book, whether it crossed the
# market, and (buys, price, lots) when it is one opening order of known price and lots).
Ticket = Tuple[Optional[_Book], bool, Optional[Tuple[bool, float, int]]]


# Price sources of the order types (order_pricing.cc): the caller's price, the own-side or
# opposite best, the limit price, the last price; and whether the order is a limit order.
_CALLER, _OWN, _OPPOSITE, _BOUND, _LAST = range(5)
_TYPES: Dict[Any, Tuple[int, bool]] = {}
for _chars, _source, _limit in (("0AGOSBHPTEIRVQU", _CALLER, True), ("2", _OWN, True),
                                ("35", _BOUND, True), ("4", _LAST, True),
                                ("CJDKFLMNWX", _BOUND, False), ("YZ", _OPPOSITE, False)):
    for _char in _chars:
        _TYPES[_char] = _TYPES[_char.encode()] = (_source, _limit)
_DEFAULT_TYPE = (_OPPOSITE, True)

# Verbs: export -> (how its lots are given, True for a buy or a long target, False for a sell or
# a short one). Kinds: lots, money (an amount), ratio (of usable cash), target (net lots), value
# (money to hold), open, close.
_VERBS: Dict[str, Tuple[str, bool]] = {
    "buy": ("lots", True), "sell": ("lots", False), "buyAmount": ("money", True),
    "sellAmount": ("money", False), "buyRatio": ("ratio", True), "sellRatio": ("ratio", False),
    "balanceToLongVolume": ("target", True), "balanceToShortVolume": ("target", False),
    "balanceToLongValue": ("value", True), "balanceToShortValue": ("value", False),
    "buyOpen": ("open", True), "sellOpen": ("open", False), "buyClose": ("close", True),
    "sellClose": ("close", False), "closeLong": ("close", False), "closeShort": ("close", True)}


def _name(text: Any) -> str:
    if text is None:
        return ""
    return text.decode() if isinstance(text, bytes) else str(text)


class RiskCheck:
    """The check of one client (one account)."""

    def __init__(self, client: "Client", limits: RiskLimits) -> None:
        self.client = client
        self.limits = limits
        account = limits.get
        self._exchange_size = bool(account("exchange_order_size"))
        self._self_trades = bool(account("self_trades"))
        self._working_all: Optional[int] = account("working_orders")
        self._rate_all: Optional[int] = account("orders_per_second")
        self._margin_share: Optional[float] = account("margin_share")
        self._lock = threading.Lock()
        self._instruments: Dict[str, _Instrument] = {}
        self._books: Dict[Any, _Book] = {}          # instrument as the verb gave it -> book
        self._codes: Dict[bytes, _Book] = {}        # instrument code -> book
        self._ids: Dict[int, _Book] = {}            # OrderID of a working order -> its book
        self._cash: Optional[float] = None         # usable cash, as the last order event told
        self._working = 0                           # working orders in all, and pending calls
        self._times: Optional["typing.Deque[float]"] = None
        if self._rate_all is not None:
            self._times = collections.deque(maxlen=self._rate_all)
        self.killed = False
        self.halted = False                         # the daily loss passed its limit today
        self._day = ""
        self._day_known = False
        self._refused: "typing.Counter[str]" = collections.Counter()
        self._first: Dict[Tuple[str, str], RiskDecision] = {}
        self._warnings: List[RiskDecision] = []
        self._halts: List[RiskDecision] = []
        self._cancel_days: Dict[str, Dict[str, int]] = {}
        limit = account("daily_loss")
        self.loss: Optional[DailyLoss] = None
        if limit is not None:
            self.loss = DailyLoss(limit, self._multiplier, self._held, self._loss_passed)

    # The state the check follows (observer hooks) ------------------------------------------

    def on_response(self, event_id: int, record_address: int, is_last: bool, error_id: int,
                    message: str) -> None:
        if event_id == _QUERY_INSTRUMENT and record_address and not error_id:
            record = CThostFtdcInstrumentField.from_address(record_address)
            info = _instrument_of(record)
            code = record.InstrumentID.decode()
            with self._lock:
                self._instruments[code] = info
                book = self._codes.get(code.encode())
                if book is not None:
                    book.know(info, self._exchange_size)
        elif event_id == _DAY_ROLLING:
            self._new_day(None)

    def on_day_start(self, trading_day: Optional[str]) -> None:
        if trading_day is not None and (not self._day_known or trading_day != self._day):
            if self._day_known:
                self._new_day(trading_day)
            else:
                with self._lock:
                    self._rename_day(trading_day)

    def _rename_day(self, trading_day: str) -> None:
        counted = self._cancel_days.pop(self._day, None)
        if counted:
            self._cancel_days.setdefault(trading_day, {}).update(counted)
        self._day, self._day_known = trading_day, True

    def _new_day(self, trading_day: Optional[str]) -> None:
        """A trading day begins (its name, when known): cancel counts and the daily loss start
        again."""
        with self._lock:
            for book in self._codes.values():
                book.cancels = book.warned = 0
                book.bounds = None
            self.halted = False
            self._day, self._day_known = trading_day or "", trading_day is not None
        if self.loss is not None:
            self.loss.new_day()

    def on_order(self, event_id: int, order: Optional[CQVOrderField], position: Any,
                 usable_cash: float) -> None:
        self._cash = usable_cash
        if order is not None:
            self._seen(order)

    def on_trade(self, order: Optional[CQVOrderField], position: Any, usable_cash: float) -> None:
        self._cash = usable_cash
        if order is not None:
            self._seen(order)

    def _seen(self, order: CQVOrderField) -> None:
        """An order event: the order's working state as its record says it now."""
        status, order_id = order.OrderStatus, order.OrderID
        with self._lock:
            book = self._ids.get(order_id)
            if status in _LIVE:
                if book is None:         # an order of an earlier session, restored
                    self._add(self._book_of(order.StandardID, order.ExchangeID), order_id,
                              _working_of(order, status, False, False))
                    return
                working = book.working[order_id]
                lots = order.OriginalVolume - order.TradedVolume - order.CanceledVolume
                self._count(book, working, lots - working.lots)
                working.lots = lots
                if status == b"3" and not working.resting:
                    working.resting = True
                    self._rests(book, working)
            elif book is not None:
                working = book.working.pop(order_id)
                del (book.buys if working.buy else book.sells)[order_id]
                self._count(book, working, -working.lots)
                if working.resting or not working.marketable:
                    side = 0 if working.buy else 1
                    if working.price == book.best[side]:
                        book.best[side] = None
                del self._ids[order_id]
                self._working -= 1

    def _add(self, book: _Book, order_id: int, working: _Working) -> None:
        book.working[order_id] = working
        (book.buys if working.buy else book.sells)[order_id] = working
        self._count(book, working, working.lots)
        if working.resting or not working.marketable:
            self._rests(book, working)
        self._ids[order_id] = book
        self._working += 1

    @staticmethod
    def _rests(book: _Book, working: _Working) -> None:
        """A working order another of the other side would trade with."""
        if working.buy:
            best = book.best[0]
            if best is not None and working.price > best:
                book.best[0] = working.price
        else:
            best = book.best[1]
            if best is not None and working.price < best:
                book.best[1] = working.price

    @staticmethod
    def _best(book: _Book, buys: bool) -> float:
        """The price a new order of this side would trade with the account's own at."""
        side = 1 if buys else 0
        best = book.best[side]
        if best is None:
            prices = [w.price for w in (book.sells if buys else book.buys).values()
                      if w.resting or not w.marketable]
            best = (min(prices) if prices else _INFINITY) if buys else (
                max(prices) if prices else -_INFINITY)
            book.best[side] = best
        return best

    @staticmethod
    def _count(book: _Book, working: _Working, lots: int) -> None:
        side = 0 if working.buy else 1
        book.sums[side] += lots
        if working.opens:
            book.sums[side + 2] += lots

    def _book_of(self, code: bytes, exchange: bytes) -> _Book:
        book = self._codes.get(code)
        if book is None:
            book = self._make_book(code.decode(), exchange.decode())
        return book

    def _make_book(self, code: str, exchange: str) -> _Book:
        info = self._instruments.get(code)
        product = info.product if info is not None and info.product else code.rstrip(
            "0123456789")
        totals = self.limits.totals(product)
        book = _Book(code, exchange or (info.exchange if info is not None else ""), product,
                     self.limits.of(code, product), None if totals == (None, None, None) else
                     totals, info, self._exchange_size, self._rate_all is not None)
        for other in self._codes.values():
            if other.product == product:
                other.peers.append(book)
                book.peers.append(other)
        self._codes[book.key] = book
        return book

    # Orders --------------------------------------------------------------------------------

    def admit(self, export: str, instrument: Any, quantity: float, order_type: Any, price: float,
              exchange_id: Any) -> Optional[Ticket]:
        """Decides on one order call: a ticket to hand to placed() once the call returned, or
        None when the call is refused (the refusal told already)."""
        if instrument is None:           # closing every instrument's positions
            return self._admit_all(export)
        book = self._books.get(instrument)
        if book is None:
            with self._lock:
                book = self._make_book(_name(instrument), _name(exchange_id))
            self._books[instrument] = book
        if book.position is None:
            book.position = self.client.position(book.code, book.exchange or None)
        if book.tick is None:
            book.tick = self._find_tick(book.key)
        if self._cash is None:
            self._cash = self.client.usable_cash
        with self._lock:
            decided = self._decide(book, export, quantity, order_type, price)
            if len(decided) == 3:
                return decided
        self._refuse(decided, export)
        return None

    def _admit_all(self, export: str) -> Optional[Ticket]:
        with self._lock:
            if not self.killed:
                self._working += 1
                return (None, False, None)
        self._refuse(("kill_switch", "", None, None, "the kill switch is on"), export)
        return None

    def _find_tick(self, code: bytes) -> Any:
        for tick in list(self.client._tick_views.values()):
            if tick.StandardID == code:
                return tick
        return None

    def _decide(self, book: _Book, export: str, quantity: float, order_type: Any,
                price: float) -> Any:
        """A Ticket, or the refusal as (rule, instrument, limit, value, text).
        REQUIRES: the lock held."""
        code = book.code
        if self.killed:
            return ("kill_switch", code, None, None, "the kill switch is on")
        kind, buys = _VERBS[export]
        limits, tick, position = book.limits, book.tick, book.position
        source, is_limit = _TYPES.get(order_type, _DEFAULT_TYPE)
        long = short = 0
        if position is not None:
            long, short = position.LongVolume, position.ShortVolume
        bid = ask = last = 0.0
        if tick is not None:
            bid, ask, last = tick.BidPrice1, tick.AskPrice1, tick.LastPrice
        # The call's lots, the lots it opens, the price it goes at (as the runtime sets it).
        lots: Optional[float] = quantity
        if kind == "lots" or kind == "open" or kind == "close":
            pass
        elif kind == "target" or kind == "value":
            if kind == "value":
                lots = self._lots_for(book, quantity, price if price > 0 else last)
            if lots is not None:
                delta = (lots if buys else -lots) - (long - short)
                buys, lots = delta > 0, abs(delta)
        else:
            amount = quantity * (self._cash or 0.0) if kind == "ratio" else quantity
            lots = self._lots_for(book, amount, price if price > 0 else (ask if buys else bid))
        if source == _CALLER and price > 0:
            effective: Optional[float] = price
        elif source == _BOUND:
            effective = _INFINITY if buys else -_INFINITY
        elif source == _OWN:
            effective = (bid if buys else ask) or None
        elif source == _LAST:
            effective = last or None
        else:
            effective = (ask if buys else bid) or None
        held_against = short if buys else long
        if lots is None:
            opens = 0.0 if kind == "close" else 1.0
        elif kind == "close":
            lots, opens = min(lots, held_against), 0.0
        elif kind == "open":
            opens = lots
        else:
            opens = lots - held_against if lots > held_against else 0.0
        # order size
        cap = book.cap_limit if is_limit else book.cap_market
        if cap is not None and lots is not None and lots > cap and not (
                kind == "close" and quantity >= MAX_VOLUME):
            return ("order_size", code, cap, lots, "%s order of %d lots, above %d in one "
                    "order" % (code, lots, cap))
        # daily loss: closing orders only
        if self.halted and opens > 0:
            loss = self.loss
            return ("daily_loss", code, loss.limit if loss else None,
                    round(-loss.profit, 2) if loss else None,
                    "%s opens: the day's loss passed its limit, closing orders only" % code)
        # cancels of the day
        most = limits.cancels
        if most is not None and book.cancels >= most:
            return ("cancels", code, most, book.cancels, "%s canceled %d times today, the limit "
                    "is %d: no more orders of it" % (code, book.cancels, most))
        # price collar
        collar = limits.collar_ticks
        if collar is not None and source == _CALLER and price > 0 and tick is not None:
            bounds = book.bounds
            if bounds is None:
                bounds = book.bounds = (tick.UpperLimitPrice, tick.LowerLimitPrice)
            upper, lower = bounds
            if 0.0 < upper < _NO_VALUE and price > upper or 0.0 < lower < _NO_VALUE and (
                    price < lower):
                return ("price_collar", code, upper if price > upper else lower, price,
                        "%s price %g outside the limit prices %g to %g" % (
                            code, price, lower, upper))
            if 0.0 < last < _NO_VALUE and book.tick_size > 0:
                away = abs(price - last) / book.tick_size
                if away > collar + 1e-9:
                    return ("price_collar", code, collar, round(away, 1),
                            "%s price %g is %.1f ticks from the last price %g, above %g" % (
                                code, price, away, last, collar))
        # self-trades
        if effective is not None and self._self_trades and (book.sells if buys else book.buys):
            best = self._best(book, buys)
            if best <= effective if buys else best >= effective:
                return ("self_trade", code, best, effective,
                        "%s %s at %g would trade with the account's own %s at %g" % (
                            code, "buy" if buys else "sell", effective,
                            "sell" if buys else "buy", best))
        # working orders
        most = limits.working_orders
        if most is not None and len(book.working) + book.pending >= most:
            count = len(book.working) + book.pending + 1
            return ("working_orders", code, most, count, "%s would have %d working orders, "
                    "above %d" % (code, count, most))
        most = self._working_all
        if most is not None and self._working >= most:
            return ("working_orders", "", most, self._working + 1, "the account would have %d "
                    "working orders, above %d" % (self._working + 1, most))
        # order rate
        timed = book.timed
        now = 0.0
        if timed:
            clock = self.client.exchange_clock
            now = time.monotonic() if clock is None else clock.now_seconds or 0.0
            # Full when the oldest of the last `most` orders went within the second.
            since = now - 1.0
            times = book.times
            if times is not None and len(times) == times.maxlen and (
                    not times or times[0] > since):
                return self._too_fast(code, len(times))
            times = self._times
            if times is not None and len(times) == times.maxlen and (
                    not times or times[0] > since):
                return self._too_fast("", len(times))
        # position: the instrument's side and net after the order, with its working orders (a
        # figure the order does not raise always passes), then its product's
        if book.sided and lots:
            sums = book.sums
            most = limits.long if buys else limits.short
            if most is not None and opens > 0:
                after = (long + sums[2] if buys else short + sums[3]) + opens
                if after > most:
                    return ("position", code, most, after, "%s would hold %s %d lots, above "
                            "%d" % (code, "long" if buys else "short", after, most))
            most = limits.net
            if most is not None:
                net = long - short + sums[0] - sums[1]
                after = abs(net + lots if buys else net - lots)
                if after > most and after > abs(net):
                    return ("position", code, most, after, "%s would hold net %d lots, above "
                            "%d" % (code, after, most))
            if book.totals is not None:
                refusal = self._product(book, buys, lots, opens, long, short)
                if refusal is not None:
                    return refusal
        # margin: of the lots held and of the working orders that open (usable cash has both
        # taken off), at the last price
        if self._margin_share is not None and opens > 0 and lots:
            sums = book.sums
            used = (long + short + sums[2] + sums[3]) * last * book.multiplier * book.margin
            if len(self._codes) > 1:
                for other in self._codes.values():
                    held, other_tick = other.position, other.tick
                    if other is not book and other_tick is not None:
                        lots_in = other.sums[2] + other.sums[3] + (
                            held.LongVolume + held.ShortVolume if held is not None else 0)
                        used += (lots_in * other_tick.LastPrice * other.multiplier
                                 * other.margin)
            share = (used + opens * (effective or last) * book.multiplier * book.margin) / (
                (self._cash or 0.0) + used or 1.0)
            most_share = self._margin_share
            if share > most_share:
                return ("margin", "", most_share, round(share, 4), "margin would be %.1f%% of "
                        "the balance, above %.1f%%" % (100 * share, 100 * most_share))
        book.pending += 1
        self._working += 1
        if timed:
            if book.times is not None:
                book.times.append(now)
            if self._times is not None:
                self._times.append(now)
        marketable = effective is not None and (
            (effective >= ask > 0) if buys else (0 < bid and effective <= bid))
        seed = (buys, price, int(quantity)) if kind == "open" and source == _CALLER and (
            price > 0) else None
        return (book, marketable, seed)

    @staticmethod
    def _too_fast(code: str, most: int) -> Any:
        return ("order_rate", code, most, most + 1, "%s would send %d orders in a second, above "
                "%d" % (code or "the account", most + 1, most))

    @staticmethod
    def _lots_for(book: _Book, amount: float, price: float) -> Optional[float]:
        """The lots the runtime sizes `amount` of margin to (volume_limits.cc)."""
        if not price > 0.010001 or not book.multiplier or not book.margin:
            return None
        return float(int(amount / (book.multiplier * price * book.margin + 0.0001)))

    def _product(self, book: _Book, buys: bool, lots: float, opens: float, long: int,
                 short: int) -> Any:
        """The product's sides and net after the order fills, with its working orders."""
        totals = book.totals
        refusal = None
        if totals is not None:
            held_long, held_short, sums = long, short, book.sums
            if len(book.peers) > 1:
                held = [p.position for p in book.peers if p.position is not None]
                held_long = sum(p.LongVolume for p in held)
                held_short = sum(p.ShortVolume for p in held)
                sums = [sum(p.sums[n] for p in book.peers) for n in range(4)]
            refusal = self._sides(book.code, "product " + book.product, totals.long,
                                  totals.short, totals.net, held_long, held_short, sums, buys,
                                  lots, opens)
        return refusal

    @staticmethod
    def _sides(code: str, where: str, most_long: Optional[int], most_short: Optional[int],
               most_net: Optional[int], held_long: int, held_short: int, sums: List[int],
               buys: bool, lots: float, opens: float) -> Any:
        if buys:
            side, most, after = "long", most_long, held_long + sums[2] + opens
        else:
            side, most, after = "short", most_short, held_short + sums[3] + opens
        if most is None or opens <= 0 or after <= most:
            net = held_long - held_short + sums[0] - sums[1]
            side, most, after = "net", most_net, abs(net + (lots if buys else -lots))
            if most is None or after <= abs(net) or after <= most:
                return None
        return ("position", code, most, after, "%s would hold %s %d lots, above %d" % (
            where, side, after, most))

    def placed(self, ticket: Ticket, orders: List[CQVOrderField]) -> None:
        """The orders an admitted call made (none when it raised)."""
        book, marketable, seed = ticket
        with self._lock:
            self._working -= 1
            if book is not None:
                book.pending -= 1
            if seed is not None and book is not None and len(orders) == 1:
                # One opening order: booked as _add would, from what the check decided.
                order = orders[0]
                status, order_id = order.OrderStatus, order.OrderID
                if status in _LIVE and order_id not in self._ids:
                    buys, price, lots = seed
                    working = _Working(buys, price, lots, True, status == b"3", marketable)
                    book.working[order_id] = working
                    sums, best = book.sums, book.best
                    if buys:
                        book.buys[order_id] = working
                        sums[0] += lots
                        sums[2] += lots
                        if (working.resting or not marketable) and best[0] is not None and (
                                price > best[0]):
                            best[0] = price
                    else:
                        book.sells[order_id] = working
                        sums[1] += lots
                        sums[3] += lots
                        if (working.resting or not marketable) and best[1] is not None and (
                                price < best[1]):
                            best[1] = price
                    self._ids[order_id] = book
                    self._working += 1
                return
            for order in orders:
                status, order_id = order.OrderStatus, order.OrderID
                if status in _LIVE and order_id not in self._ids:
                    owner = book
                    if owner is None or len(orders) > 1 and owner.key != order.StandardID:
                        owner = self._book_of(order.StandardID, order.ExchangeID)
                    self._add(owner, order_id, _working_of(order, status, marketable, True))

    def _refuse(self, refusal: Tuple[str, str, Optional[float], Optional[float], str],
                export: str) -> None:
        rule, instrument, limit, value, text = refusal
        decision = RiskDecision(REFUSED, rule, instrument, limit, value, export,
                                self.client.now(), text)
        with self._lock:
            self._refused[rule] += 1
            self._first.setdefault((rule, "" if rule in _ACCOUNT_RULES else instrument),
                                   decision)
        self.client.hook("on_risk", decision)

    # Cancels -------------------------------------------------------------------------------

    def cancelled(self, export: str, args: Tuple[Any, ...], result: int) -> None:
        """Counts the cancels a cancelling call sent (never refused) and tells the warnings."""
        told: List[RiskDecision] = []
        lookup: Optional[CQVOrderField] = None
        if export == "cancelOrderByOrderID" and result != -1 and args[0] not in self._ids:
            lookup = self.client.order(args[0])
        with self._lock:
            counted: List[Tuple[_Book, int]] = []
            if export == "cancelOrderByOrderID":
                book = self._ids.get(args[0])
                if book is None and lookup is not None and lookup.OrderStatus in _LIVE:
                    book = self._book_of(lookup.StandardID, lookup.ExchangeID)
                if book is not None and result != -1:
                    counted.append((book, 1))
            elif export == "cancelOrder":
                if result == 0 and args[1]:
                    counted.append((self._book_of(args[1], args[0] or b""), 1))
            else:
                for book in list(self._codes.values()):
                    if not book.working:
                        continue
                    if (export == "cancelOrderAll"
                            or export == "cancelOrderByStandardID" and args[0] is not None
                            and book.key == args[0]
                            or export == "cancelOrderByExchangeID" and args[0] is not None
                            and book.exchange.encode() == args[0]):
                        counted.append((book, len(book.working)))
            day = self._cancel_days.setdefault(self._day, {})
            for book, count in counted:
                book.cancels += count
                day[book.code] = book.cancels
                warning, limit = book.limits.cancel_warning, book.limits.cancels
                for step, at in enumerate((warning, limit)):
                    if at is not None and book.warned <= step and book.cancels >= at:
                        book.warned = step + 1
                        told.append(RiskDecision(
                            WARNING, "cancels", book.code, limit if limit is not None else at,
                            book.cancels, export, None, self._cancel_text(book, step)))
            self._warnings.extend(told)
        for decision in told:
            self.client.hook("on_risk", decision._replace(time=self.client.now()))

    @staticmethod
    def _cancel_text(book: _Book, step: int) -> str:
        said = "%s canceled %d times today" % (book.code, book.cancels)
        if step:
            return said + ", the limit: new orders of it are refused today"
        if book.limits.cancels is None:
            return said
        return said + "; at %d new orders of it are refused" % book.limits.cancels

    # Halts ---------------------------------------------------------------------------------

    def kill(self, reason: str = "the kill switch") -> None:
        """Cancels every working order and refuses every order until reset_kill()."""
        with self._lock:
            if self.killed:
                return
            self.killed = True
        self.client.cancel_all()
        self._halt(HALTED, "kill_switch", None, None, "%s: working orders canceled, no orders "
                   "until it is reset" % reason)

    def reset_kill(self) -> None:
        with self._lock:
            if not self.killed:
                return
            self.killed = False
        self._halt(RESUMED, "kill_switch", None, None, "the kill switch is reset: orders go again")

    def _loss_passed(self, loss: float) -> None:
        assert self.loss is not None       # called by it
        with self._lock:
            if self.halted:
                return
            self.halted = True
        self.client.cancel_all()
        self._halt(HALTED, "daily_loss", self.loss.limit, round(loss, 2),
                   "the day's loss %.2f passed its limit %.2f: working orders canceled, closing "
                   "orders only" % (loss, self.loss.limit))

    def _halt(self, action: str, rule: str, limit: Optional[float], value: Optional[float],
              text: str) -> None:
        decision = RiskDecision(action, rule, "", limit, value, "", self.client.now(), text)
        with self._lock:
            self._halts.append(decision)
        self.client.hook("on_risk", decision)

    # What the daily loss reads -------------------------------------------------------------

    def _multiplier(self, code: str) -> float:
        info = self._instruments.get(code)
        return float(info.multiplier) if info is not None and info.multiplier else 1.0

    def _held(self, code: str) -> int:
        book = self._codes.get(code.encode())
        position = book.position if book is not None else None
        if position is None:
            position = self.client.position(code)
        if position is None:
            return 0
        return int(position.LongVolume - position.ShortVolume)

    # Results -------------------------------------------------------------------------------

    def summary(self) -> RiskSummary:
        with self._lock:
            return RiskSummary(collections.Counter(self._refused), list(self._first.values()),
                               list(self._warnings), list(self._halts),
                               {day: dict(counts) for day, counts in self._cancel_days.items()
                                if counts}, CANCEL_THRESHOLD)

    def cancels(self, instrument: str) -> int:
        """Cancels of `instrument` sent in the trading day."""
        book = self._codes.get(instrument.encode())
        return book.cancels if book is not None else 0
