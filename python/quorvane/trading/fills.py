"""The fills of a strategy's orders, as the runtime reports them, and the order in which their
events reach the strategy.

For each fill the runtime raises two order events: Traded when an order report counts the traded
lots, UpdateCost when the trade report counts their price. A front sends the order report first,
so Traded comes while the order record still holds the previous fill's price. The client holds
such a Traded back (FillLedger) and hands it to on_trade with the UpdateCost of its trade, once
the record holds that trade's price; a Traded that follows its trade report goes on at once. Each
UpdateCost is one fill, handed to on_fill as an OrderFill.

The trade report's UpdateCost zeroes the record's TradedVolumeChange (its lots were counted by
the order report); for the on_trade it brings, the client shows the Traded event's own value
there, and puts the zero back after. Both events come on the trader library's thread, which is
the only one that writes the field.
"""
import collections
import datetime
import threading
import typing
from typing import Callable, Dict, List, NamedTuple, Optional, Tuple

from . import codes
from .records import CQVOrderField, CQVPositionField

__all__ = ["OrderFill", "FillLedger", "Held", "fill_of"]


class OrderFill(NamedTuple):
    """One fill of an order: its own price and lots, when it traded (exchange time, its trading
    day and calendar date, YYYYMMDD), its side and offset ("Buy"/"Sell"; "Open", "Close",
    "CloseToday", "CloseYesterday"), and the order it belongs to (the runtime's OrderID, which is
    the order's OrderRef at the exchange, and the exchange's OrderSysID)."""

    instrument: str
    exchange: str
    direction: str
    offset: str
    price: float
    volume: int
    time: str
    trading_day: str
    date: str
    order_id: int
    order_sys_id: str


def fill_of(order: CQVOrderField, now: Optional[datetime.datetime]) -> OrderFill:
    """The fill an UpdateCost event reports on `order`; `now` is the client's time (the replayed
    market's in a replay), which gives the fill's calendar date, and its time when the order
    record carries none."""
    time = order.UpdateTime.decode("ascii", "replace")
    if not time and now is not None:
        time = now.strftime("%H:%M:%S")
    date = now.strftime("%Y%m%d") if now is not None else ""
    return OrderFill(order.StandardID.decode("ascii", "replace"),
                     order.ExchangeID.decode("ascii", "replace"),
                     codes.direction_name(order.Direction), codes.offset_name(order.OffsetFlag),
                     order.LastTradedPrice, order.TradedVolumeChangeOfTurnover, time,
                     order.TradingDay.decode("ascii", "replace"), date, order.OrderID,
                     order.OrderSysID.decode("ascii", "replace").strip())


# A Traded event held back: (the order's TradedVolume it reported, its TradedVolumeChange, the
# order, its position, usable cash).
Held = Tuple[int, int, CQVOrderField, Optional[CQVPositionField], float]


class FillLedger:
    """The Traded events of each order whose trade reports have not come yet.

    Order events and Ready arrive on the trader library's thread; the lock guards the ledger's
    own bookkeeping only, and what is due is returned for the caller to deliver without it."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        # order record address -> Traded events waiting for their trade reports, oldest first
        self._held: Dict[int, "typing.Deque[Held]"] = {}
        # order record address -> lots counted as traded that no trade report will explain
        self._unexplained: Dict[int, int] = {}

    def _explained(self, key: int, order: CQVOrderField) -> int:
        return order.TradedVolumeOfTurnover + self._unexplained.get(key, 0)

    def traded(self, key: int, order: CQVOrderField, position: Optional[CQVPositionField],
               usable_cash: float) -> bool:
        """A Traded event: True when the order record already holds its trades' prices (deliver
        it now), False when it is held until they come."""
        with self._lock:
            if order.TradedVolume <= self._explained(key, order) and key not in self._held:
                return True
            self._held.setdefault(key, collections.deque()).append(
                (order.TradedVolume, order.TradedVolumeChange, order, position, usable_cash))
            return False

    def update_cost(self, key: int, order: CQVOrderField) -> List[Held]:
        """An UpdateCost event: the held Traded events of the order that its trades now explain,
        oldest first."""
        with self._lock:
            held = self._held.get(key)
            if not held:
                return []
            explained, due = self._explained(key, order), []
            while held and held[0][0] <= explained:
                due.append(held.popleft())
            if not held:
                del self._held[key]
            return due

    def release(self) -> List[Held]:
        """Every held Traded event, oldest first, for delivery as it is: called when the session
        is ready again, after a reconnection restored the orders, by when a trade report still
        missing will never come. Their lots count as explained from then on."""
        out: List[Held] = []
        with self._lock:
            for key, held in self._held.items():
                order = held[0][2]
                self._unexplained[key] = order.TradedVolume - order.TradedVolumeOfTurnover
                out.extend(held)
            self._held.clear()
        return out

    @staticmethod
    def showing(held: Held, deliver: Callable[[], None]) -> None:
        """Calls deliver() while the order record shows the held Traded event's
        TradedVolumeChange; the record's own value is back after."""
        order = held[2]
        own = order.TradedVolumeChange
        order.TradedVolumeChange = held[1]
        try:
            deliver()
        finally:
            order.TradedVolumeChange = own
