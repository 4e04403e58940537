"""What the host sees of a run, as it runs: the strategy's fills, each side of its positions and
the price of every instrument, tick by tick, in exchange time; from them, the profit marked to
market over the run.

A RunTracker is a Client observer: it runs on the runtime's callback threads (snapshots on the
market-data thread, fills on the trader thread) and only appends to arrays and updates small
dicts, which the interpreter lock keeps consistent. A snapshot costs it two appends; the profit
curve is worked out when it is asked for.
"""
import copy
import heapq
import itertools
import math
import operator
from array import array
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Mapping, Optional, Tuple

from ..trading import codes
from ..trading.records import CQVMarketDataField, CQVOrderField, CQVPositionField
from ..trading.strategy import Strategy
from .thinning import Thinned

if TYPE_CHECKING:
    from ..trading.timers import ExchangeClock

__all__ = ["RunTracker", "InstrumentTrack"]


class InstrumentTrack:
    """One instrument: each side held, its price over the run and the strategy's fills on it."""

    __slots__ = ("name", "multiplier", "start_price", "long", "short", "times", "prices",
                 "fills", "last", "picture")

    def __init__(self, name: str, multiplier: int) -> None:
        self.name = name
        self.multiplier = multiplier
        self.start_price = 0.0       # the mark of what was held when the run started
        self.long = 0
        self.short = 0
        # Exchange seconds and last price of each tick since the curve last took a day's ticks
        self.times = array("d")
        self.prices = array("d")
        self.last: Optional[float] = None   # the last price of the ticks taken
        # Times and prices of every tick, thinned for a picture
        self.picture = Thinned(2)
        # (exchange seconds, price, signed volume, "Buy" or "Sell")
        self.fills: List[Tuple[float, float, int, str]] = []

    @property
    def net(self) -> int:
        """Lots held long less lots held short."""
        return self.long - self.short

    @property
    def last_price(self) -> float:
        """The last tick's price, or the start mark before any tick."""
        if self.prices:
            return self.prices[-1]
        return self.last if self.last is not None else self.start_price

    def picture_series(self) -> Tuple["array[float]", "array[float]"]:
        """(times, prices) of the whole run, thinned for a picture."""
        times, prices = self.picture.with_more((self.times, self.prices))
        return times, prices


class RunTracker(Strategy):
    """Collects fills (one per trade report, from UpdateCost events) and each tick's time and
    price. Profit = cash flows of the fills + open position x last price x multiplier; it does
    not depend on how the exchange pairs opens with closes. `clock` (an ExchangeClock, or None to
    number the ticks) gives each tick its time."""

    def __init__(self, multipliers: Mapping[str, int],
                 clock: Optional["ExchangeClock"] = None) -> None:
        self.multipliers = dict(multipliers)
        self.clock = clock
        self.tracks: Dict[str, InstrumentTrack] = {}  # instrument -> InstrumentTrack
        # id of a snapshot view -> (the view, its times, its prices)
        self._by_view: Dict[int, Tuple[CQVMarketDataField, "array[float]", "array[float]"]] = {}
        self.fills: List[Dict[str, Any]] = []
        # instrument -> (long lots, short lots) held when the run started
        self.started: Dict[str, Tuple[int, int]] = {}
        self.start_cash_flow = 0.0
        self.cash_flow = 0.0
        self.ticks = 0               # counts ticks only while there is no clock
        self._taken = 0              # ticks the curve has taken
        self._curve: Optional[_CurveState] = None
        # Times and gross profit of the curve's points taken, thinned for a picture
        self._picture = Thinned(2)

    def track(self, instrument: str) -> InstrumentTrack:
        """The instrument's track, made on first use."""
        track = self.tracks.get(instrument)
        if track is None:
            track = self.tracks[instrument] = InstrumentTrack(
                instrument, self.multipliers.get(instrument, 1))
        return track

    def begin(self, instrument: str, long: int, short: int, mark: float) -> None:
        """A position held before the run started, valued at `mark` (the exchange's last price):
        the run's profit counts from there."""
        track = self.track(instrument)
        track.long += long
        track.short += short
        track.start_price = mark
        before = self.started.get(instrument, (0, 0))
        self.started[instrument] = (before[0] + long, before[1] + short)
        self.start_cash_flow -= (long - short) * mark * track.multiplier
        self.cash_flow = self.start_cash_flow

    def _now(self) -> float:
        seconds = self.clock.now_seconds if self.clock is not None else None
        return float(self.ticks) if seconds is None else seconds

    def on_tick(self, tick: CQVMarketDataField) -> None:
        """Adds the tick's time and last price to its instrument's track."""
        known = self._by_view.get(id(tick))
        if known is None:
            # The view is kept, so its id cannot be reused for another object.
            track = self.track(tick.StandardID.decode())
            known = self._by_view[id(tick)] = (tick, track.times, track.prices)
        clock = self.clock
        if clock is None:
            self.ticks += 1
            known[1].append(float(self.ticks))
        else:
            assert clock.now_seconds is not None   # the client's clock took this tick first
            known[1].append(clock.now_seconds)
        known[2].append(tick.LastPrice)

    def on_order(self, event_id: int, order: Optional[CQVOrderField],
                 position: Optional[CQVPositionField], usable_cash: float) -> None:
        """Takes the fill an UpdateCost event reports."""
        if event_id != codes.UPDATE_COST:
            return
        assert order is not None   # an order event carries its order
        if order.TradedVolumeChangeOfTurnover <= 0:
            return
        instrument = order.StandardID.decode()
        track = self.track(instrument)
        volume = order.TradedVolumeChangeOfTurnover
        price = order.LastTradedPrice
        buying = codes.char(order.Direction) == "0"
        opening = codes.char(order.OffsetFlag) == "0"
        signed = volume if buying else -volume
        self.cash_flow -= signed * price * track.multiplier
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
        now = self._now()
        track.fills.append((now, price, signed, direction))
        self.fills.append({"order_id": order.OrderID, "instrument": instrument,
                           "exchange": order.ExchangeID.decode(), "direction": direction,
                           "offset": codes.offset_name(order.OffsetFlag),
                           "price": price, "volume": volume, "time": order.UpdateTime.decode(),
                           "seconds": now})

    @property
    def net(self) -> Dict[str, int]:
        """{instrument: net lots} of every instrument traded or held."""
        return {name: t.net for name, t in self.tracks.items() if t.long or t.short or t.fills}

    def sides(self) -> Dict[str, Tuple[int, int]]:
        """{instrument: (long lots, short lots)} of every instrument traded or held."""
        return {name: (t.long, t.short) for name, t in self.tracks.items()
                if t.long or t.short or t.fills}

    def tick_count(self) -> int:
        """Ticks recorded so far, all instruments together."""
        return self._taken + sum(len(t.times) for t in self.tracks.values())

    def pnl(self) -> float:
        """Gross profit so far, open positions marked at their last price."""
        return self.cash_flow + sum(t.net * t.last_price * t.multiplier
                                    for t in self.tracks.values())

    def equity_curve(self) -> Tuple["array[float]", "array[float]"]:
        """(times, gross profit marked to market) at every tick not yet taken by take_day (every
        tick of a run that never took one), in time order: the state after everything the tick
        caused (a fill carries the time of the tick it followed). Ticks of one time come in the
        order of their instruments' names."""
        return self._points(copy.deepcopy(self._state()))

    def take_day(self) -> Tuple["array[float]", "array[float]"]:
        """equity_curve(), then forgets those ticks (their last prices stay, and a thinned copy
        for the pictures): called at the end of each trading day, once everything its
        ticks caused has arrived, so that a run keeps one day's ticks at a time. The curve runs
        on from the state the last day left."""
        times, values = self._points(self._state())
        self._picture.extend((times, values))
        for track in self.tracks.values():
            if track.prices:
                track.picture.extend((track.times, track.prices))
                track.last = track.prices[-1]
                self._taken += len(track.times)
                # Emptied in place: on_tick holds these arrays.
                del track.times[:]
                del track.prices[:]
        return times, values

    def picture_series(self) -> Tuple["array[float]", "array[float]"]:
        """(times, gross profit) of the whole run, thinned for a picture."""
        times, values = self._picture.with_more(self.equity_curve())
        return times, values

    def _state(self) -> "_CurveState":
        if self._curve is None:
            self._curve = _CurveState(self)
        return self._curve

    def _points(self, state: "_CurveState") -> Tuple["array[float]", "array[float]"]:
        """The points of the ticks not yet taken, from `state`, which they move on."""
        names = list(self.tracks)
        tracks = [self.tracks[n] for n in names]
        for name in names:
            state.add(name, self.tracks[name])
        held = [state.held[n] for n in names]
        marks = [state.marks[n] for n in names]
        multipliers = [t.multiplier for t in tracks]
        index = {n: k for k, n in enumerate(names)}
        for name, track in zip(names, tracks):
            state.pending.extend((f[0], name, f[1], f[2]) for f in track.fills[state.fills[name]:])
            state.fills[name] = len(track.fills)
        state.pending.sort()
        fills = [(at, index[name], price, signed) for at, name, price, signed in state.pending]
        fills.append((math.inf, 0, 0.0, 0))
        cash, marked = state.cash, state.marked
        times, values = array("d"), array("d")
        append_time, append_value = times.append, values.append
        next_fill = 0
        due = fills[0][0]
        for seconds, k, price in _in_time_order(names, [t.times for t in tracks],
                                                [t.prices for t in tracks]):
            while due <= seconds:
                _, filled, fill_price, signed = fills[next_fill]
                cash -= signed * fill_price * multipliers[filled]
                held[filled] += signed
                marked += signed * marks[filled] * multipliers[filled]
                next_fill += 1
                due = fills[next_fill][0]
            marked += held[k] * (price - marks[k]) * multipliers[k]
            marks[k] = price
            append_time(seconds)
            append_value(cash + marked)
        del state.pending[:next_fill]
        state.cash, state.marked = cash, marked
        for name, h, m in zip(names, held, marks):
            state.held[name], state.marks[name] = h, m
        return times, values


class _CurveState:
    """Where the profit curve stands after the ticks it has taken: the cash of the fills applied,
    each instrument's lots and mark, and the fills not yet applied (their tick not yet taken)."""

    def __init__(self, tracker: RunTracker) -> None:
        self.cash = tracker.start_cash_flow
        self.marked = 0.0
        self.held: Dict[str, int] = {}
        self.marks: Dict[str, float] = {}
        self.fills: Dict[str, int] = {}     # fills of each track already pending or applied
        self.pending: List[Tuple[float, str, float, int]] = []

    def add(self, name: str, track: InstrumentTrack) -> None:
        """Takes a track the first time it is seen: what it held before its first fill."""
        if name in self.held:
            return
        self.held[name] = track.long - track.short - sum(f[2] for f in track.fills)
        self.marks[name] = track.start_price
        self.fills[name] = 0
        self.marked += self.held[name] * track.start_price * track.multiplier


def _in_time_order(names: List[str], times: List["array[float]"], prices: List["array[float]"]
                   ) -> Iterator[Tuple[float, int, float]]:
    """(seconds, track index, price) of the ticks of each track's `times` and `prices`, merged by
    time and then by instrument name. Each track's times only grow (the exchange clock never goes
    back), so the merge is a stable sort of the tracks laid end to end in name order, which finds
    them as runs; a track whose times fall somewhere is merged tick by tick instead."""
    ranked = sorted(range(len(names)), key=names.__getitem__)
    if all(all(map(operator.le, times[k][:-1], times[k][1:])) for k in ranked):
        laid, laid_prices, owners = array("d"), array("d"), array("l")
        for k in ranked:
            laid.extend(times[k])
            laid_prices.extend(prices[k])
            owners.extend(itertools.repeat(k, len(times[k])))
        order = sorted(range(len(laid)), key=laid.__getitem__)
        return zip(map(laid.__getitem__, order), map(owners.__getitem__, order),
                   map(laid_prices.__getitem__, order))
    merged = heapq.merge(*[zip(times[k], itertools.repeat(names[k]), itertools.repeat(k),
                               prices[k]) for k in ranked])
    return ((seconds, k, price) for seconds, _, k, price in merged)
