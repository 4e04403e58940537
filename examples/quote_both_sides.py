"""Works resting orders on both sides: one lot bid at the best bid and one lot offered at the best
ask of every instrument; when the best price moves away from a quote, the quote is canceled and
placed again at the new price once the cancel is confirmed. No bid is placed while the position is
`max_position` lots long (no offer while that short). At the end of a replayed day the quotes are
canceled and the position is closed across the spread.

Run it:
    python3 -m quorvane replay sim/data/sample_ticks.csv --strategy examples/quote_both_sides.py
"""
from quorvane import Strategy, codes


class QuoteBothSides(Strategy):
    def __init__(self, lots=1, max_position=3):
        self.lots, self.max_position = lots, max_position
        self.quotes = {}       # (instrument, "bid" or "ask") -> the order view of the quote
        self.replaced = 0

    def on_tick(self, tick):
        instrument, exchange = tick.StandardID.decode(), tick.ExchangeID.decode()
        position = self.client.position(instrument, exchange)
        net = (position.LongVolume - position.ShortVolume) if position is not None else 0
        if self.day_ending():
            self._flatten(instrument, exchange, net, tick)
            return
        self._work(instrument, exchange, "bid", tick.BidPrice1, net < self.max_position)
        self._work(instrument, exchange, "ask", tick.AskPrice1, net > -self.max_position)

    def _work(self, instrument, exchange, side, price, wanted):
        quote = self.quotes.get((instrument, side))
        if quote is not None and quote.OrderStatus in (b"1", b"3"):
            # Still working: leave it while it is at the right price, else pull it.
            if not wanted or quote.OriginalPrice != price:
                self.client.cancel(quote)
            return
        if not wanted or price <= 0:
            return
        place = self.client.buy if side == "bid" else self.client.sell
        order = place(instrument, self.lots, price=price, exchange_id=exchange)
        if order is not None:
            if quote is not None:
                self.replaced += 1
            self.quotes[(instrument, side)] = order

    def _flatten(self, instrument, exchange, net, tick):
        working = [q for (i, _), q in self.quotes.items()
                   if i == instrument and q.OrderStatus in (b"1", b"3")]
        if working:
            for quote in working:
                self.client.cancel(quote)
            return
        if net > 0:
            self._closing(instrument, "ask", self.client.sell(
                instrument, net, price=tick.BidPrice1, exchange_id=exchange))
        elif net < 0:
            self._closing(instrument, "bid", self.client.buy(
                instrument, -net, price=tick.AskPrice1, exchange_id=exchange))

    def _closing(self, instrument, side, order):
        # None when nothing was sent (the pre-trade check refused it, say): tried again next tick.
        if order is not None:
            self.quotes[(instrument, side)] = order

    def on_order(self, event_id, order, position, usable_cash):
        if event_id == codes.INSERT_REJECTED:
            print("rejected: %s" % order.Message.decode("gb2312", "replace"))
