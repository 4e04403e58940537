"""The order verbs of a client, one per trading export, and the names a Strategy repeats them under.

Every verb returns the view of the first order the call made (Client.chain lists them all), or
None when the runtime sent nothing (an unknown instrument). Prices of 0 with order type '0' mean
"no price given": the runtime takes the price the order type asks for. Texts are str or bytes;
None passes a null text (the runtime then looks the instrument's exchange up itself).
"""
from typing import Any, Optional, Union

from .records import CQVOrderField

__all__ = ["OrderVerbs", "VERBS", "MAX_VOLUME", "Text", "Code"]

# Volume meaning "everything there is" for the closing verbs.
MAX_VOLUME = 2**31 - 1

# A text argument: str (encoded as UTF-8), bytes as they are, or None for a null text.
Text = Optional[Union[str, bytes]]
# A one-character code: "0" or b"0".
Code = Union[str, bytes]
Order = Optional[CQVOrderField]


def _text(value: Text) -> Optional[bytes]:
    if value is None:
        return None
    return value.encode() if isinstance(value, str) else value


def _code(order_type: Code) -> bytes:
    return order_type.encode() if isinstance(order_type, str) else order_type


class OrderVerbs:
    """The verbs, over two primitives that the class using them provides: `_quorvane_order`
    calls an order export and returns the view of the first order it made, `_quorvane_cancel`
    calls a cancelling export and returns its code. Client sends through the runtime, Strategy
    through its client. (The names are long so that a strategy's own helpers never hide them.)"""

    def _quorvane_order(self, export: str, instrument: Text, quantity: Union[int, float],
                        order_type: Code, price: float, mark: int, exchange_id: Text,
                        *rest: Any) -> Order:
        raise NotImplementedError

    def _quorvane_cancel(self, export: str, *args: Any) -> int:
        raise NotImplementedError

    # By volume: close the opposite side first, open the rest.
    def buy(self, instrument: Text, volume: int, price: float = 0.0, order_type: Code = "0",
            exchange_id: Text = None, mark: int = 0) -> Order:
        """Buys `volume` lots: closes shorts first (yesterday's, then today's), opens the rest."""
        return self._quorvane_order("buy", instrument, volume, order_type, price, mark,
                                    exchange_id, 0)

    def sell(self, instrument: Text, volume: int, price: float = 0.0, order_type: Code = "0",
             exchange_id: Text = None, mark: int = 0) -> Order:
        """Sells `volume` lots: closes longs first, opens the rest short."""
        return self._quorvane_order("sell", instrument, volume, order_type, price, mark,
                                    exchange_id, 0)

    # By money: the volume follows from the price, the multiplier and the margin ratio.
    def buy_amount(self, instrument: Text, amount: float, price: float = 0.0,
                   order_type: Code = "0", exchange_id: Text = None, mark: int = 0) -> Order:
        """Buys as many lots as `amount` of money margins (closing shorts first)."""
        return self._quorvane_order("buyAmount", instrument, float(amount), order_type, price, mark,
                                    exchange_id, 0)

    def sell_amount(self, instrument: Text, amount: float, price: float = 0.0,
                    order_type: Code = "0", exchange_id: Text = None, mark: int = 0) -> Order:
        """Sells as many lots as `amount` of money margins (closing longs first)."""
        return self._quorvane_order("sellAmount", instrument, float(amount), order_type, price,
                                    mark, exchange_id, 0)

    def buy_ratio(self, instrument: Text, ratio: float, price: float = 0.0,
                  order_type: Code = "0", exchange_id: Text = None, mark: int = 0) -> Order:
        """buy_amount with `ratio` (0 to 1) of the usable cash."""
        return self._quorvane_order("buyRatio", instrument, float(ratio), order_type, price, mark,
                                    exchange_id, 0)

    def sell_ratio(self, instrument: Text, ratio: float, price: float = 0.0,
                   order_type: Code = "0", exchange_id: Text = None, mark: int = 0) -> Order:
        """sell_amount with `ratio` (0 to 1) of the usable cash."""
        return self._quorvane_order("sellRatio", instrument, float(ratio), order_type, price, mark,
                                    exchange_id, 0)

    # To a target position.
    def balance_to_long(self, instrument: Text, volume: int, price: float = 0.0,
                        order_type: Code = "0", exchange_id: Text = None, mark: int = 0) -> Order:
        """Brings the net position to `volume` lots long (negative: that many short)."""
        if volume < 0:
            return self.balance_to_short(instrument, -volume, price, order_type, exchange_id, mark)
        return self._quorvane_order("balanceToLongVolume", instrument, volume, order_type, price,
                                    mark, exchange_id)

    def balance_to_short(self, instrument: Text, volume: int, price: float = 0.0,
                         order_type: Code = "0", exchange_id: Text = None, mark: int = 0) -> Order:
        """Brings the net position to `volume` lots short."""
        return self._quorvane_order("balanceToShortVolume", instrument, volume, order_type, price,
                                    mark, exchange_id)

    def balance_to_long_value(self, instrument: Text, value: float, price: float = 0.0,
                              order_type: Code = "0", exchange_id: Text = None,
                              mark: int = 0) -> Order:
        """Brings the position to as many lots long as `value` of money margins."""
        return self._quorvane_order("balanceToLongValue", instrument, float(value), order_type,
                                    price, mark, exchange_id)

    def balance_to_short_value(self, instrument: Text, value: float, price: float = 0.0,
                               order_type: Code = "0", exchange_id: Text = None,
                               mark: int = 0) -> Order:
        """Brings the position to as many lots short as `value` of money margins."""
        return self._quorvane_order("balanceToShortValue", instrument, float(value), order_type,
                                    price, mark, exchange_id)

    # Explicit offsets.
    def buy_open(self, instrument: Text, volume: int, price: float = 0.0, order_type: Code = "0",
                 exchange_id: Text = None, mark: int = 0) -> Order:
        """Opens `volume` lots long, whatever is held short."""
        return self._quorvane_order("buyOpen", instrument, volume, order_type, price, mark,
                                    exchange_id, 0)

    def sell_open(self, instrument: Text, volume: int, price: float = 0.0, order_type: Code = "0",
                  exchange_id: Text = None, mark: int = 0) -> Order:
        """Opens `volume` lots short, whatever is held long."""
        return self._quorvane_order("sellOpen", instrument, volume, order_type, price, mark,
                                    exchange_id, 0, 0)

    def buy_close(self, instrument: Text, volume: int, price: float = 0.0, order_type: Code = "0",
                  exchange_id: Text = None, mark: int = 0, offset: Code = "1") -> Order:
        """Buys to close shorts with the given offset flag ('1' close, '3' close today, '4' close
        yesterday; SHFE and INE refuse '1')."""
        return self._quorvane_order("buyClose", instrument, volume, order_type, price, mark,
                                    exchange_id, 0, _code(offset), 0)

    def sell_close(self, instrument: Text, volume: int, price: float = 0.0,
                   order_type: Code = "0", exchange_id: Text = None, mark: int = 0,
                   offset: Code = "1") -> Order:
        """Sells to close longs with the given offset flag (as buy_close)."""
        return self._quorvane_order("sellClose", instrument, volume, order_type, price, mark,
                                    exchange_id, 0, _code(offset), 0)

    def close_long(self, instrument: Text = None, volume: int = MAX_VOLUME, price: float = 0.0,
                   order_type: Code = "0", exchange_id: Text = None, mark: int = 0,
                   close_today_first: bool = False) -> Order:
        """Closes up to `volume` lots of longs (every instrument's when none is given),
        yesterday's first unless close_today_first."""
        return self._quorvane_order("closeLong", instrument, volume, order_type, price, mark,
                                    exchange_id, 1 if close_today_first else 0)

    def close_short(self, instrument: Text = None, volume: int = MAX_VOLUME, price: float = 0.0,
                    order_type: Code = "0", exchange_id: Text = None, mark: int = 0,
                    close_today_first: bool = False) -> Order:
        """Closes up to `volume` lots of shorts, as close_long."""
        return self._quorvane_order("closeShort", instrument, volume, order_type, price, mark,
                                    exchange_id, 1 if close_today_first else 0)

    # Cancellation: each returns the runtime's code (the sum of the requests' results).
    def cancel(self, order: Union[int, CQVOrderField]) -> int:
        """Cancels one working order, given as a view or an OrderID."""
        order_id = order if isinstance(order, int) else order.OrderID
        return self._quorvane_cancel("cancelOrderByOrderID", order_id)

    def cancel_all(self) -> int:
        """Cancels every working order."""
        return self._quorvane_cancel("cancelOrderAll")

    def cancel_exchange(self, exchange_id: Text) -> int:
        """Cancels every working order at one exchange."""
        return self._quorvane_cancel("cancelOrderByExchangeID", _text(exchange_id))

    def cancel_instrument(self, instrument: Text, exchange_id: Text = None) -> int:
        """Cancels every working order of one instrument."""
        return self._quorvane_cancel("cancelOrderByStandardID", _text(instrument),
                                     _text(exchange_id))

    def cancel_order(self, exchange_id: Text, instrument: Text, order_sys_id: Text, order_id: int,
                     front_id: int = 0, session_id: int = 0) -> int:
        """Sends one order action as given (0 front and session: the client's own)."""
        return self._quorvane_cancel("cancelOrder", _text(exchange_id), _text(instrument),
                                     _text(order_sys_id), order_id, front_id, session_id)


# What a Strategy offers under the same names (self.buy(...) is self.client.buy(...)).
VERBS = [name for name, value in vars(OrderVerbs).items()
         if callable(value) and not name.startswith("_")]
