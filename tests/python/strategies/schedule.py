"""Trades a fixed plan at exchange times: "DAY HH:MM VERB LOTS; ..." sends VERB (buy_open,
sell_open, close_long, close_short) on the first tick of trading day DAY at or after HH:MM, as a
limit at the opposite best. LOTS "sweep" buys the lots shown at the best ask and one more, limited
at the second ask, so that the order fills at two prices; "all" closes every lot held, limited at
the day's price limit. Writes what on_trade and on_fill see to `log`, one JSON line each."""
import json

from quorvane import Strategy


class Schedule(Strategy):
    def __init__(self, plan="", log="", instrument="rb2705", exchange="SHFE"):
        self.instrument, self.exchange = instrument, exchange
        self.steps = [step.split() for step in plan.split(";") if step.strip()]
        self.log = open(log, "a") if log else None

    def _note(self, **entry):
        if self.log is not None:
            self.log.write(json.dumps(entry) + "\n")
            self.log.flush()

    def on_tick(self, tick):
        day, time = tick.TradingDay.decode(), tick.UpdateTime.decode()[:5]
        # A night session's times come before the day's: compare from 18:00 on.
        at = (int(time[:2]) - 18) % 24 * 60 + int(time[3:5])
        while self.steps:
            when_day, when, verb, lots = self.steps[0]
            if (when_day, (int(when[:2]) - 18) % 24 * 60 + int(when[3:5])) > (day, at):
                return
            self.steps.pop(0)
            buying = verb in ("buy_open", "close_short")
            price = tick.AskPrice1 if buying else tick.BidPrice1
            if lots == "sweep":
                lots, price = tick.AskVolume1 + 1, tick.AskPrice2
            elif lots == "all":
                position = self.client.position(self.instrument, self.exchange)
                lots = position.LongVolume if verb == "close_long" else position.ShortVolume
                price = tick.UpperLimitPrice if buying else tick.LowerLimitPrice
            getattr(self.client, verb)(self.instrument, int(lots), price=price,
                                       exchange_id=self.exchange)

    def on_trade(self, order, position, usable_cash):
        self._note(hook="trade", order_id=order.OrderID, traded=order.TradedVolume,
                   change=order.TradedVolumeChange, last_price=order.LastTradedPrice)

    def on_fill(self, fill):
        self._note(hook="fill", **fill._asdict())
