"""Holds positions across trading days: buys 3 on the first day, closes 2 of them and buys 1 on the
second, sells 3 on the third (closing the 2 left, opening 1 short). Writes its day hooks and bars to `log`
(one JSON line each) when given."""
import json

from quorvane import Strategy

PLAN = [[("buy_open", 3)], [("close_long", 2), ("buy_open", 1)], [("sell", 3)]]


class Carry(Strategy):
    bar_minutes = 1

    def __init__(self, log="", instrument="rb2705", exchange="SHFE"):
        self.log, self.instrument, self.exchange = log, instrument, exchange
        self.day = -1
        self.todo = []

    def _note(self, **entry):
        if self.log:
            with open(self.log, "a") as out:
                out.write(json.dumps(entry) + "\n")

    def on_day_start(self, trading_day):
        self.day += 1
        self.todo = list(PLAN[self.day]) if self.day < len(PLAN) else []
        position = self.client.position(self.instrument, self.exchange)
        self._note(hook="start", day=trading_day,
                   long=position.LongVolume if position is not None else 0,
                   long_yesterday=position.LongVolumeHistory if position is not None else 0)

    def on_day_end(self, trading_day):
        self._note(hook="end", day=trading_day)

    def on_bar(self, bar):
        self._note(hook="bar", day=bar.trading_day, start=bar.start, volume=bar.volume,
                   open=bar.open, close=bar.close)

    def on_tick(self, tick):
        while self.todo:
            verb, lots = self.todo.pop(0)
            price = tick.AskPrice1 if verb.startswith("buy") else tick.BidPrice1
            if verb == "close_long":
                self.client.close_long(self.instrument, lots, price=price, exchange_id=self.exchange)
            else:
                getattr(self.client, verb)(self.instrument, lots, price=price,
                                           exchange_id=self.exchange)
