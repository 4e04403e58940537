"""Drives a Journal's hooks with records of its own, without a runtime: the tests' way to write
a journal whose every row they chose."""
import ctypes

from quorvane import codes, records


class Feed:
    def __init__(self, journal, instrument="rb2605", exchange="SHFE"):
        self.journal = journal
        self.instrument, self.exchange = instrument, exchange
        self.orders = {}

    def login(self, day):
        login = records.CThostFtdcRspUserLoginField()
        login.TradingDay = day.encode()
        self.journal.on_response(11101, ctypes.addressof(login), True, 0, "")

    def order(self, order_id, name="Sent", status=b"1", direction=b"0", offset=b"0",
              price=3500.0, lots=1):
        """Sends an order (name "Sent") or reports one of its events."""
        order = self.orders.get(order_id)
        if order is None:
            order = self.orders[order_id] = records.CQVOrderField()
            order.OrderID, order.StandardID = order_id, self.instrument.encode()
            order.ExchangeID, order.Direction, order.OffsetFlag = (
                self.exchange.encode(), direction, offset)
            order.OriginalVolume, order.OriginalPrice = lots, price
            order.OrderSysID = str(order_id // 100).encode()
        order.OrderStatus = status
        if name == "Sent":
            self.journal.on_order_sent(order)
        else:
            self.journal.on_order(codes.ACCEPTED, order, None, 1e6)
        return order

    def fill(self, order_id, price, lots, at):
        """One fill of the order: its Traded and UpdateCost events."""
        order = self.orders[order_id]
        order.TradedVolume += lots
        order.TradedVolumeOfTurnover += lots
        order.TradedVolumeChangeOfTurnover = lots
        order.LastTradedPrice, order.UpdateTime = price, at.encode()
        order.OrderStatus = b"4" if order.TradedVolume >= order.OriginalVolume else b"3"
        self.journal.on_trade(order, None, 1e6)
        self.journal.on_order(codes.UPDATE_COST, order, None, 1e6)
