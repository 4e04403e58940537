"""A market maker that reacts to its own fills: it quotes `lots` on each side of every instrument
at the best bid and ask, leaning its prices away from the inventory it holds, and quotes again
as soon as a quote fills or its cancel is confirmed, not at the next snapshot. A side is quoted
only while a fill of every working quote on it would keep the net position within `max_position`
lots either way, so the limit holds whenever the strategy learns of its fills in time. Quotes
buy and sell closing first; a quote placed while flat opens, so both sides may be held at once.

Every `refresh` seconds of exchange time (a timer, so a replay runs it at the same ticks every
run) quotes that are no longer at the price wanted are pulled. At the end of a replayed day the
quotes are canceled and the position is closed across the spread.

Run it:
    python3 -m quorvane replay sim/data/sample_ticks.csv --strategy examples/market_maker.py \\
        --scenario examples/demo_scenario.json --param max_position=2
"""
import threading

from quorvane import Strategy, codes

_LIVE = (b"1", b"3")       # sent, or working at the exchange


class MarketMaker(Strategy):
    def __init__(self, lots=1, max_position=3, lean=1.0, refresh=30.0):
        self.lots, self.max_position = lots, max_position
        self.lean, self.refresh = lean, refresh
        self.books = {}             # instrument -> (exchange, best bid, best ask)
        self.quotes = {}            # (instrument, "bid" or "ask") -> order views placed
        self.requotes = 0           # quotes placed in reaction to a fill or a cancel
        self._canceling = {}        # OrderID -> the tick count when its cancel was sent
        self._dirty = set()
        self._quoting = threading.Lock()

    def on_ready(self):
        self.every(self.refresh, self._pull_stale)

    def on_tick(self, tick):
        instrument = tick.StandardID.decode()
        self.books[instrument] = (tick.ExchangeID.decode(), tick.BidPrice1, tick.AskPrice1)
        self._requote(instrument)

    def on_trade(self, order, position, usable_cash):
        self.requotes += 1
        self._requote(order.StandardID.decode())

    def on_order(self, event_id, order, position, usable_cash):
        # A quote can only be canceled once the exchange has accepted it.
        if event_id in (codes.CANCELED, codes.ACCEPTED):
            self._requote(order.StandardID.decode())

    def _requote(self, instrument):
        # Snapshots and order events arrive on two threads. Whichever thread is quoting does the
        # other's work too; nobody waits on the lock (a handler must never block on another).
        self._dirty.add(instrument)
        while self._dirty and self._quoting.acquire(blocking=False):
            try:
                while self._dirty:
                    self._quote(self._dirty.pop())
            finally:
                self._quoting.release()

    def _held(self, instrument, exchange):
        position = self.client.position(instrument, exchange)
        return (position.LongVolume, position.ShortVolume) if position is not None else (0, 0)

    def _net(self, instrument, exchange):
        long, short = self._held(instrument, exchange)
        return long - short

    def _working(self, instrument, side):
        quotes = [q for q in self.quotes.get((instrument, side), []) if q.OrderStatus in _LIVE]
        self.quotes[(instrument, side)] = quotes
        return quotes

    def _quote(self, instrument):
        book = self.books.get(instrument)
        if book is None:
            return
        exchange, bid, ask = book
        if self.day_ending():
            self._flatten(instrument, exchange, bid, ask)
            return
        net = self._net(instrument, exchange)
        if bid <= 0 or ask <= 0:
            return
        # Lean away from the inventory: long lots lower both prices, short lots raise them.
        shift = self.lean * net
        self._side(instrument, exchange, "bid", min(bid, bid - shift), net, self.buy)
        self._side(instrument, exchange, "ask", max(ask, ask - shift), -net, self.sell)

    def _side(self, instrument, exchange, side, price, held, place):
        """held: lots this side's fills add to (long for the bid, short for the ask)."""
        working = self._working(instrument, side)
        for quote in working:
            if quote.OriginalPrice != price:
                self._cancel(quote)
        if any(q.OriginalPrice == price for q in working):
            return
        pending = sum(q.OriginalVolume - q.TradedVolume for q in working)
        if held + pending + self.lots > self.max_position:
            return
        order = place(instrument, self.lots, price=price, exchange_id=exchange)
        if order is not None:
            self.quotes.setdefault((instrument, side), []).extend(self.client.chain(order))

    def _cancel(self, quote):
        # Once per tick at most: a cancel the runtime did not send is sent again on a later one.
        ticks = self.client.ticks_seen
        if quote.OrderStatus == b"3" and self._canceling.get(quote.OrderID, -1) < ticks:
            self._canceling[quote.OrderID] = ticks
            self.cancel(quote)

    def _pull_stale(self):
        for (instrument, side), quotes in list(self.quotes.items()):
            book = self.books.get(instrument)
            best = book[1] if side == "bid" else book[2]
            for quote in quotes:
                if quote.OrderStatus in _LIVE and quote.OriginalPrice != best:
                    self._cancel(quote)

    def _flatten(self, instrument, exchange, bid, ask):
        working = self._working(instrument, "bid") + self._working(instrument, "ask")
        for quote in working:
            self._cancel(quote)
        if working:
            return
        # A quote placed while flat may have opened the other side: close each side held.
        long, short = self._held(instrument, exchange)
        if long:
            self._closing(instrument, "ask", self.close_long(instrument, long, price=bid,
                                                             exchange_id=exchange))
        if short:
            self._closing(instrument, "bid", self.close_short(instrument, short, price=ask,
                                                              exchange_id=exchange))

    def _closing(self, instrument, side, order):
        if order is not None:
            self.quotes[(instrument, side)] = self.client.chain(order)
