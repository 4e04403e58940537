"""What the host sees of a run, as it runs: the strategy's fills, each side of its positions, the
price of every instrument and the profit marked to market, tick by tick, in exchange time.

A Recorder is a Client observer: it runs on the runtime's callback threads (snapshots on the
market-data thread, fills on the trader thread) and only appends to arrays and updates small
dicts, which the interpreter lock keeps consistent.
"""
from array import array

from . import codes
from .host import Strategy

__all__ = ["Recorder", "InstrumentTrack"]


class InstrumentTrack:
    """One instrument: its last price, each side held, and its price over the run with the
    strategy's fills on it."""

    __slots__ = ("name", "multiplier", "last_price", "long", "short", "times", "prices", "fills")

    def __init__(self, name, multiplier):
        self.name = name
        self.multiplier = multiplier
        self.last_price = 0.0
        self.long = 0
        self.short = 0
        self.times = array("d")      # exchange seconds of each tick
        self.prices = array("d")
        self.fills = []              # (exchange seconds, price, volume, "Buy" or "Sell")

    @property
    def net(self):
        return self.long - self.short


class Recorder(Strategy):
    """Collects fills (one per trade report, from UpdateCost events) and an equity point per tick.
    Equity = cash flows of the fills + open position x last price x multiplier; it does not depend
    on how the exchange pairs opens with closes. `clock` (an ExchangeClock, or None to number the
    ticks) gives each tick its time."""

    def __init__(self, multipliers, clock=None):
        self.multipliers = dict(multipliers)
        self.clock = clock
        self.tracks = {}             # instrument -> InstrumentTrack
        self._by_view = {}           # id of a snapshot view -> (the view, its InstrumentTrack)
        self.fills = []
        self.cash_flow = 0.0
        self._marked = 0.0           # sum of net x last price x multiplier, kept per tick
        self.equity_times = array("d")
        self.equity = array("d")
        self.ticks = 0

    def track(self, instrument):
        track = self.tracks.get(instrument)
        if track is None:
            track = self.tracks[instrument] = InstrumentTrack(
                instrument, self.multipliers.get(instrument, 1))
        return track

    def begin(self, instrument, long, short, mark):
        """A position held before the run started, valued at `mark` (the exchange's last price):
        the run's profit counts from there."""
        track = self.track(instrument)
        track.long += long
        track.short += short
        track.last_price = mark
        value = (long - short) * mark * track.multiplier
        self.cash_flow -= value
        self._marked += value

    def on_order(self, event_id, order, position, usable_cash):
        if event_id != codes.UPDATE_COST or order.TradedVolumeChangeOfTurnover <= 0:
            return
        instrument = order.StandardID.decode()
        track = self.track(instrument)
        volume = order.TradedVolumeChangeOfTurnover
        price = order.LastTradedPrice
        buying = codes.char(order.Direction) == "0"
        opening = codes.char(order.OffsetFlag) == "0"
        sign = 1 if buying else -1
        self.cash_flow -= sign * price * volume * track.multiplier
        self._marked += sign * volume * track.last_price * track.multiplier
        if opening:
            if buying:
                track.long += volume
            else:
                track.short += volume
        elif buying:
            track.short -= volume
        else:
            track.long -= volume
        direction = codes.direction_name(order.Direction)
        when = track.times[-1] if track.times else (self.equity_times[-1] if self.equity_times
                                                     else 0.0)
        track.fills.append((when, price, volume, direction))
        self.fills.append({"order_id": order.OrderID, "instrument": instrument,
                           "exchange": order.ExchangeID.decode(), "direction": direction,
                           "offset": codes.offset_name(order.OffsetFlag),
                           "price": price, "volume": volume, "time": order.UpdateTime.decode()})

    def on_tick(self, tick):
        known = self._by_view.get(id(tick))
        if known is None:
            # The view is kept with its track, so its id cannot be reused for another object.
            known = self._by_view[id(tick)] = (tick, self.track(tick.StandardID.decode()))
        track = known[1]
        price = tick.LastPrice
        held = track.long - track.short
        if held:
            self._marked += held * (price - track.last_price) * track.multiplier
        track.last_price = price
        clock = self.clock
        seconds = clock.now_seconds if clock is not None else None
        if seconds is None:
            seconds = float(self.ticks)
        self.ticks += 1
        track.times.append(seconds)
        track.prices.append(price)
        self.equity_times.append(seconds)
        self.equity.append(self.cash_flow + self._marked)

    @property
    def net(self):
        """{instrument: net lots} of every instrument traded or held."""
        return {name: t.net for name, t in self.tracks.items() if t.long or t.short or t.fills}

    def sides(self):
        """{instrument: (long lots, short lots)} of every instrument traded or held."""
        return {name: (t.long, t.short) for name, t in self.tracks.items()
                if t.long or t.short or t.fills}

    def pnl(self):
        """Gross profit so far, open positions marked at their last price."""
        return self.cash_flow + sum(t.net * t.last_price * t.multiplier
                                    for t in self.tracks.values())
