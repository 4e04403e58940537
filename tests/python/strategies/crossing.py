"""A moving-average cross for sweeps: long one lot while the fast average is above the slow one,
flat otherwise and at each day's end. Refuses a fast window that is not shorter than the slow one."""
from collections import deque

from quorvane import Strategy


class Crossing(Strategy):
    def __init__(self, fast=3, slow=10, instrument="rb2705", exchange="SHFE"):
        if not 0 < fast < slow:
            raise ValueError("fast (%d) must be shorter than slow (%d)" % (fast, slow))
        self.fast, self.slow = fast, slow
        self.instrument, self.exchange = instrument, exchange
        self.prices = deque(maxlen=slow)
        self.held = 0

    def on_day_start(self, trading_day):
        self.prices.clear()

    def on_tick(self, tick):
        self.prices.append(tick.LastPrice)
        if len(self.prices) < self.slow:
            return
        fast = sum(list(self.prices)[-self.fast:]) / self.fast
        slow = sum(self.prices) / self.slow
        target = 0 if self.day_ending() else (1 if fast > slow else 0)
        if target > self.held:
            self.client.buy(self.instrument, 1, price=tick.AskPrice1, exchange_id=self.exchange)
        elif target < self.held:
            self.client.sell(self.instrument, 1, price=tick.BidPrice1, exchange_id=self.exchange)
        self.held = target
