"""The order verbs of a client, one per trading export, and the names a Strategy repeats them under.

Every verb returns the view of the first order the call made (Client.chain lists them all), or
None when the runtime sent nothing (an unknown instrument). Prices of 0 with order type '0' mean
"no price given": the runtime takes the price the order type asks for. Texts are str or bytes;
None passes a null text (the runtime then looks the instrument's exchange up itself).
"""

__all__ = ["OrderVerbs", "VERBS", "MAX_VOLUME"]

# Volume meaning "everything there is" for the closing verbs.
MAX_VOLUME = 2**31 - 1


def _text(value):
    if value is None:
        return None
    return value.encode() if isinstance(value, str) else value


def _code(order_type):
    return order_type.encode() if isinstance(order_type, str) else order_type


class OrderVerbs:
    """Mixin of Client: needs `lib` (the loaded runtime), `handle` and `_placed(address)`."""

    def _send(self, export, instrument, quantity, order_type, price, mark, exchange_id, *rest):
        return self._placed(getattr(self.lib, export)(
            self.handle, _text(instrument), quantity, _code(order_type), price, mark,
            _text(exchange_id), *rest))

    # By volume: close the opposite side first, open the rest.
    def buy(self, instrument, volume, price=0.0, order_type="0", exchange_id=None, mark=0):
        """Buys `volume` lots: closes shorts first (yesterday's, then today's), opens the rest."""
        return self._send("buy", instrument, volume, order_type, price, mark, exchange_id, 0)

    def sell(self, instrument, volume, price=0.0, order_type="0", exchange_id=None, mark=0):
        """Sells `volume` lots: closes longs first, opens the rest short."""
        return self._send("sell", instrument, volume, order_type, price, mark, exchange_id, 0)

    # By money: the volume follows from the price, the multiplier and the margin ratio.
    def buy_amount(self, instrument, amount, price=0.0, order_type="0", exchange_id=None, mark=0):
        """Buys as many lots as `amount` of money margins (closing shorts first)."""
        return self._send("buyAmount", instrument, float(amount), order_type, price, mark,
                          exchange_id, 0)

    def sell_amount(self, instrument, amount, price=0.0, order_type="0", exchange_id=None, mark=0):
        return self._send("sellAmount", instrument, float(amount), order_type, price, mark,
                          exchange_id, 0)

    def buy_ratio(self, instrument, ratio, price=0.0, order_type="0", exchange_id=None, mark=0):
        """buy_amount with `ratio` (0 to 1) of the usable cash."""
        return self._send("buyRatio", instrument, float(ratio), order_type, price, mark,
                          exchange_id, 0)

    def sell_ratio(self, instrument, ratio, price=0.0, order_type="0", exchange_id=None, mark=0):
        return self._send("sellRatio", instrument, float(ratio), order_type, price, mark,
                          exchange_id, 0)

    # To a target position.
    def balance_to_long(self, instrument, volume, price=0.0, order_type="0", exchange_id=None,
                        mark=0):
        """Brings the net position to `volume` lots long (negative: that many short)."""
        if volume < 0:
            return self.balance_to_short(instrument, -volume, price, order_type, exchange_id, mark)
        return self._send("balanceToLongVolume", instrument, volume, order_type, price, mark,
                          exchange_id)

    def balance_to_short(self, instrument, volume, price=0.0, order_type="0", exchange_id=None,
                         mark=0):
        """Brings the net position to `volume` lots short."""
        return self._send("balanceToShortVolume", instrument, volume, order_type, price, mark,
                          exchange_id)

    def balance_to_long_value(self, instrument, value, price=0.0, order_type="0",
                              exchange_id=None, mark=0):
        """Brings the position to as many lots long as `value` of money margins."""
        return self._send("balanceToLongValue", instrument, float(value), order_type, price, mark,
                          exchange_id)

    def balance_to_short_value(self, instrument, value, price=0.0, order_type="0",
                               exchange_id=None, mark=0):
        return self._send("balanceToShortValue", instrument, float(value), order_type, price,
                          mark, exchange_id)

    # Explicit offsets.
    def buy_open(self, instrument, volume, price=0.0, order_type="0", exchange_id=None, mark=0):
        """Opens `volume` lots long, whatever is held short."""
        return self._send("buyOpen", instrument, volume, order_type, price, mark, exchange_id, 0)

    def sell_open(self, instrument, volume, price=0.0, order_type="0", exchange_id=None, mark=0):
        """Opens `volume` lots short, whatever is held long."""
        return self._send("sellOpen", instrument, volume, order_type, price, mark, exchange_id,
                          0, 0)

    def buy_close(self, instrument, volume, price=0.0, order_type="0", exchange_id=None, mark=0,
                  offset="1"):
        """Buys to close shorts with the given offset flag ('1' close, '3' close today, '4' close
        yesterday; SHFE and INE refuse '1')."""
        return self._send("buyClose", instrument, volume, order_type, price, mark, exchange_id,
                          0, _code(offset), 0)

    def sell_close(self, instrument, volume, price=0.0, order_type="0", exchange_id=None, mark=0,
                   offset="1"):
        return self._send("sellClose", instrument, volume, order_type, price, mark, exchange_id,
                          0, _code(offset), 0)

    def close_long(self, instrument=None, volume=MAX_VOLUME, price=0.0, order_type="0",
                   exchange_id=None, mark=0, close_today_first=False):
        """Closes up to `volume` lots of longs (every instrument's when none is given),
        yesterday's first unless close_today_first."""
        return self._send("closeLong", instrument, volume, order_type, price, mark, exchange_id,
                          1 if close_today_first else 0)

    def close_short(self, instrument=None, volume=MAX_VOLUME, price=0.0, order_type="0",
                    exchange_id=None, mark=0, close_today_first=False):
        return self._send("closeShort", instrument, volume, order_type, price, mark, exchange_id,
                          1 if close_today_first else 0)

    # Cancellation: each returns the runtime's code (the sum of the requests' results).
    def cancel(self, order):
        """Cancels one working order, given as a view or an OrderID."""
        order_id = order if isinstance(order, int) else order.OrderID
        return self.lib.cancelOrderByOrderID(self.handle, order_id)

    def cancel_all(self):
        return self.lib.cancelOrderAll(self.handle)

    def cancel_exchange(self, exchange_id):
        """Cancels every working order at one exchange."""
        return self.lib.cancelOrderByExchangeID(self.handle, _text(exchange_id))

    def cancel_instrument(self, instrument, exchange_id=None):
        """Cancels every working order of one instrument."""
        return self.lib.cancelOrderByStandardID(self.handle, _text(instrument), _text(exchange_id))

    def cancel_order(self, exchange_id, instrument, order_sys_id, order_id, front_id=0,
                     session_id=0):
        """Sends one order action as given (0 front and session: the client's own)."""
        return self.lib.cancelOrder(self.handle, _text(exchange_id), _text(instrument),
                                    _text(order_sys_id), order_id, front_id, session_id)


# What a Strategy offers under the same names (self.buy(...) is self.client.buy(...)).
VERBS = [name for name, value in vars(OrderVerbs).items()
         if callable(value) and not name.startswith("_")]
