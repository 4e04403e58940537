"""The trading sessions a strategy's ticks fall in: the client observer that calls the strategy's
on_session_start(session) and on_session_end(session), and ends the bars of a session with it.

A session is a market_time.Session of the ticking instrument's product, on the client's
MarketTime (so its night is dated as the strategy's clock dates it). Instruments whose products
have the same hours share their sessions: each distinct session (trading day, name, open, close)
starts once and ends once, whatever the number of its instruments; products of other hours (a
night to 02:30 beside one to 23:00, CFFEX's 09:30 open) have sessions of their own, started and
ended in market order. Instruments whose hours the table lacks have none.

A session starts with the first tick placed in it (one in the auction minutes before its open
counts; a close-stamped one does not, as the snapshot a front repeats on subscription after the
close), before that tick's on_tick. It ends, after the last of its bars was handed over, at the
first of: the close-stamped tick of the last of its instruments still trading in it, a tick
stamped after its close (of any instrument), the end of the replayed day. The tick that shows the
end reaches on_tick after on_session_end, as a finished bar arrives before the tick that
finished it.
"""
import datetime
from typing import TYPE_CHECKING, Dict, List, Optional, Set, Tuple, cast

from .market_time import AT_CLOSE, Place, ProductHours, Session, place
from .records import CQVMarketDataField
from .timers import tick_seconds

if TYPE_CHECKING:
    from .bars import BarFeed
    from .client import Client

__all__ = ["SessionFeed"]


class _State:
    """One session as the feed follows it: new, open or ended, the instruments placed in it and
    those of them that had their close-stamped tick."""

    __slots__ = ("session", "status", "placed", "closed")

    NEW, OPEN, ENDED = 0, 1, 2

    def __init__(self, session: Session) -> None:
        self.session = session
        self.status = _State.NEW
        self.placed: Set[str] = set()
        self.closed: Set[str] = set()


class _Instrument:
    """What the feed keeps of one instrument: its names, its product's hours, where its times of
    day fall in them (shared by the products of those hours) and its sessions of the day."""

    __slots__ = ("code", "exchange", "hours", "places", "day", "states")

    def __init__(self, code: str, exchange: str, hours: Optional[ProductHours],
                 places: Dict[bytes, Optional[Place]]) -> None:
        self.code, self.exchange, self.hours, self.places = code, exchange, hours, places
        self.day: Optional[str] = None
        # The day's sessions by their number in the hours, night first (None: no night that day).
        self.states: List[Optional[_State]] = []


class SessionFeed:
    """Places each tick in its session and raises the session hooks through the client (to its
    observers and its strategy); finishes the bars of `bars` that a session's end leaves open."""

    def __init__(self, client: "Client", bars: Optional["BarFeed"] = None) -> None:
        self.client = client
        self.market = client.market_time
        self.bars = bars
        self.trading_day: Optional[str] = None       # the replayed day, when a replay names it
        self._instruments: Dict[int, _Instrument] = {}   # id of the tick view -> its instrument
        self._places: Dict[int, Dict[bytes, Optional[Place]]] = {}   # id of hours -> places
        self._states: Dict[Session, _State] = {}     # every session met, by value
        self._open: List[_State] = []                # in the order they began
        self._now: Optional[datetime.datetime] = None
        self._first_close: Optional[datetime.datetime] = None   # of the sessions open
        # The exchange time of each UpdateTime text of one trading day.
        self._moments: Dict[bytes, Optional[datetime.datetime]] = {}
        self._moments_day: Optional[str] = None

    def on_day_start(self, trading_day: str) -> None:
        self.trading_day = trading_day
        self._states = {s: v for s, v in self._states.items() if s.trading_day >= trading_day}
        if self.bars is not None:
            self.bars.on_day_start(trading_day)

    def on_tick(self, tick: CQVMarketDataField) -> None:
        instrument = self._instruments.get(id(tick)) or self._instrument(tick)
        state: Optional[_State] = None
        closing = False
        if instrument.hours is not None:
            update_time = tick.UpdateTime
            day = self.trading_day or tick.TradingDay.decode()
            if day != self._moments_day:
                self._moments, self._moments_day = {}, day
            try:
                moment = self._moments[update_time]
            except KeyError:
                moment = self._moments[update_time] = self._moment(day, update_time)
            if moment is not None:
                if self._now is None or moment > self._now:
                    self._now = moment
                    if self._first_close is not None and moment > self._first_close:
                        self._end_before(moment)
                try:
                    where = instrument.places[update_time]
                except KeyError:
                    where = instrument.places[update_time] = place(
                        instrument.hours, cast(float, tick_seconds(update_time)))
                if where is not None:
                    if instrument.day != day:
                        self._enter_day(instrument, day)
                    state = instrument.states[where.number]
                    closing = where.where == AT_CLOSE
                if state is not None and state.status == _State.NEW and not closing:
                    state.status = _State.OPEN
                    self._open.append(state)
                    self._first_close = min(s.session.close for s in self._open)
                    self.client.hook("on_session_start", state.session)
        if self.bars is not None:
            self.bars.on_tick(tick)
        if state is not None and state.status == _State.OPEN:
            state.placed.add(instrument.code)
            if closing:
                state.closed.add(instrument.code)
                if state.placed <= state.closed:
                    self._end(state)

    def on_day_end(self, trading_day: str) -> None:
        for state in sorted(self._open, key=_order):
            self._end(state)
        if self.bars is not None:
            self.bars.on_day_end(trading_day)

    def on_stop(self, reason: str) -> None:
        if self.bars is not None:
            self.bars.on_stop(reason)

    def _instrument(self, tick: CQVMarketDataField) -> _Instrument:
        code, exchange = tick.StandardID.decode(), tick.ExchangeID.decode()
        hours = self.market.hours_of(exchange, code)
        known = _Instrument(code, exchange, hours, self._places.setdefault(id(hours), {}))
        self._instruments[id(tick)] = known
        return known

    def _moment(self, day: str, update_time: bytes) -> Optional[datetime.datetime]:
        seconds = tick_seconds(update_time)
        return self.market.moment(day, seconds) if seconds is not None else None

    def _enter_day(self, instrument: _Instrument, day: str) -> None:
        """The instrument's sessions of `day`, shared by value with the other instruments'."""
        assert instrument.hours is not None   # only placed instruments have sessions
        sessions = self.market.sessions_of(instrument.exchange, instrument.code, day)
        missing = len(instrument.hours.night) + len(instrument.hours.day) - len(sessions)
        instrument.day = day
        instrument.states = [None] * missing + [
            self._states.setdefault(s, _State(s)) for s in sessions]

    def _end_before(self, now: datetime.datetime) -> None:
        """Ends the sessions that closed before `now`."""
        for state in sorted((s for s in self._open if s.session.close < now), key=_order):
            self._end(state)

    def _end(self, state: _State) -> None:
        self._open.remove(state)
        state.status = _State.ENDED
        self._first_close = min((s.session.close for s in self._open), default=None)
        if self.bars is not None:
            for code in sorted(state.placed):
                self.bars.builder.finish(code)
        self.client.hook("on_session_end", state.session)


def _order(state: _State) -> Tuple[datetime.datetime, datetime.datetime, str]:
    return (state.session.close, state.session.open, state.session.name)

