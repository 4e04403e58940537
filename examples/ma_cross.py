"""Moving-average cross with a stop: long when the fast average of the last price is above the
slow one, short when below, one lot per instrument; a position that loses `stop_ticks` price ticks
from its entry is closed and stays flat until the averages cross again. Goes flat at the end of a
replayed day.

Orders cross the spread (buy at the best ask, sell at the best bid) as good-for-day limit orders;
while an instrument has an order working, no new one is sent, and one that has worked for
`patience` ticks is canceled.

Run it:  python3 -m quorvane replay sim/data/sample_ticks.csv --strategy examples/ma_cross.py
"""
from collections import deque

from quorvane import Strategy


class MovingAverageCross(Strategy):
    def __init__(self, fast=10, slow=40, stop_ticks=12, lots=1, patience=20):
        self.fast, self.slow, self.stop_ticks = fast, slow, stop_ticks
        self.lots, self.patience = lots, patience
        self.prices = {}     # instrument -> recent last prices
        self.entry = {}      # instrument -> price of the last entry
        self.stopped = {}    # instrument -> the signal that was stopped out (wait for a new one)
        self.working = {}    # instrument -> [order views, ticks waited]

    def on_tick(self, tick):
        instrument = tick.StandardID.decode()
        window = self.prices.setdefault(instrument, deque(maxlen=self.slow))
        window.append(tick.LastPrice)
        if self._busy(instrument):
            return
        target = self._target(instrument, window, tick)
        if target is None:
            return
        position = self.client.position(instrument, tick.ExchangeID.decode())
        net = (position.LongVolume - position.ShortVolume) if position is not None else 0
        if target == net:
            return
        price = tick.AskPrice1 if target > net else tick.BidPrice1
        order = self.client.balance_to_long(instrument, target, price=price,
                                            exchange_id=tick.ExchangeID.decode())
        if order is not None:
            self.working[instrument] = [self.client.chain(order), 0]
            if target != 0:
                self.entry[instrument] = price

    def _target(self, instrument, window, tick):
        if self.day_ending():
            return 0
        if len(window) < self.slow:
            return None
        fast = sum(list(window)[-self.fast:]) / self.fast
        slow = sum(window) / len(window)
        signal = self.lots if fast > slow else -self.lots
        if self.stopped.get(instrument) == signal:
            return 0
        self.stopped.pop(instrument, None)
        entry = self.entry.get(instrument)
        position = self.client.position(instrument, tick.ExchangeID.decode())
        net = (position.LongVolume - position.ShortVolume) if position is not None else 0
        if entry is not None and net != 0:
            loss = (entry - tick.LastPrice) * (1 if net > 0 else -1)
            if loss >= self.stop_ticks * self._tick_size(window):
                self.stopped[instrument] = signal
                return 0
        return signal

    def _tick_size(self, window):
        steps = [abs(a - b) for a, b in zip(window, list(window)[1:]) if a != b]
        return min(steps) if steps else 1.0

    def _busy(self, instrument):
        """True while an order of the instrument works; cancels it once it has waited too long."""
        entry = self.working.get(instrument)
        if entry is None:
            return False
        orders, waited = entry
        live = [o for o in orders if o.OrderStatus in (b"1", b"3")]
        if not live:
            del self.working[instrument]
            return False
        entry[1] = waited + 1
        if entry[1] == self.patience:
            for order in live:
                self.client.cancel(order)
        return True
