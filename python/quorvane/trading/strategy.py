"""The Strategy base class: the handlers a strategy overrides to receive the runtime's events, the
order verbs it calls on its client, its timers and its clock.

Threads. The runtime calls back on its own native threads with the interpreter lock held: order
events on the trader library's thread, snapshots on the market-data library's thread, the loop
callable on the client's worker. Handlers therefore run one at a time but not on one thread, and
may interleave between Python statements. Never hold a Python lock in a handler while calling an
export (buy, cancel, ...) that another handler's thread may need: the runtime holds an order's and a
position's spin locks while it delivers that order's event.
"""
import datetime
import sys
import traceback
from typing import TYPE_CHECKING, Any, Callable, Mapping, Optional

from .orders import Order, OrderVerbs
from .records import CQVMarketDataField, CQVOrderField, CQVPositionField

if TYPE_CHECKING:
    from .bars import Bar
    from .client import Client
    from .fills import OrderFill
    from .market_time import Session
    from .risk import RiskDecision
    from .timers import Timer

__all__ = ["Strategy"]


class Strategy(OrderVerbs):
    """Base class of a strategy: override the handlers you need. `self.client` is set when the
    strategy is attached to a Client, before any handler runs.

    Routing of the runtime's events:
      10002 Ready                       -> on_ready()
      10010 snapshot                    -> on_tick(tick)          (CQVMarketDataField view)
      10003 Traded                      -> on_trade(order, position, usable_cash), once
                                           the order record holds the traded price
      10005 UpdateCost of a trade       -> on_fill(fill)            (an OrderFill)
      10004..10009 other order events   -> on_order(event_id, order, position, usable_cash)
                                           (UpdateCost after its on_fill)
      every other response/status event -> on_response(event_id, record_address, is_last,
                                                       error_id, message)
      each turn of the worker when ready -> on_loop()
      a trading session of the ticks begins or ends -> on_session_start(session),
                                                     on_session_end(session)
      an order refused by the pre-trade check, a warning of it, a halt -> on_risk(decision)
      the end of the run, however it ends -> on_stop(reason)
    A handler that raises is reported through on_error and event delivery carries on.

    The order verbs of the client are the strategy's own too: self.buy(...) is
    self.client.buy(...) (see OrderVerbs for the list). self.every(seconds, fn) and
    self.after(seconds, fn) run fn on the client's clock: the replayed market's time in a replay,
    the wall clock live; self.now() tells that time. In a replay a night session's time reads the
    evening it ran on (a Monday's night: Friday evening), from the recorded ActionDay when it is
    sound, else from the day replayed before, else from the calendar (client.market_time).
    """

    client: Optional["Client"] = None
    # Limits of the pre-trade check for this strategy (risk_limits.RiskLimits: the shape of a
    # risk file); a client's or a command's own limits go over them.
    risk: Optional[Mapping[str, Any]] = None
    # Ticks a replay will deliver (set by the replay before it starts); None when trading live.
    ticks_expected: Optional[int] = None
    # The client's ticks_seen when the replayed day began (a run of several days).
    ticks_at_day_start = 0

    def day_ending(self, share: float = 0.03) -> bool:
        """True during the last `share` of a replayed day's ticks: time to go flat."""
        if not self.ticks_expected or self.client is None:
            return False
        seen = self.client.ticks_seen - self.ticks_at_day_start
        return seen >= (1.0 - share) * self.ticks_expected

    def session_ending(self, share: float = 0.03, instrument: Optional[str] = None) -> bool:
        """True during the last `share` of the time of a trading session open now (its close
        included): time to go flat before a break. The session of `instrument`, or of any
        instrument that has ticked (one whose session ends first makes it true). On the client's
        clock: the replayed market's, or the wall clock live (exchange time, UTC+8)."""
        if self.client is None:
            return False
        now = self.client.now()
        for session in self.client.open_sessions(instrument):
            assert now is not None   # sessions are open only at a time
            if now >= session.close - share * (session.close - session.open):
                return True
        return False

    def on_ready(self) -> None:
        pass

    def on_tick(self, tick: CQVMarketDataField) -> None:
        pass

    def on_order(self, event_id: int, order: Optional[CQVOrderField],
                 position: Optional[CQVPositionField], usable_cash: float) -> None:
        pass

    def on_trade(self, order: Optional[CQVOrderField], position: Optional[CQVPositionField],
                 usable_cash: float) -> None:
        """The order traded more lots (Traded): `order` is its record with the lots this event
        adds (TradedVolumeChange) and the fills counted so far (TradedVolume, LastTradedPrice of
        the latest, AverageCost), `position` the instrument's position after them."""

    def on_fill(self, fill: "OrderFill") -> None:
        """One fill of an order, once per trade report, with its own price, lots and time (an
        OrderFill): the handler for counting what traded and at what price. It comes before the
        on_order(UpdateCost, ...) of the same report."""

    def on_response(self, event_id: int, record_address: int, is_last: bool, error_id: int,
                    message: str) -> None:
        pass

    def on_loop(self) -> None:
        pass

    def on_risk(self, decision: "RiskDecision") -> None:
        """The pre-trade check refused an order (the verb returned None), warned (cancels
        nearing the day's limit) or halted trading (the daily loss, the kill switch): a
        RiskDecision with the rule, the instrument, the limit and the value that met it. Called on
        the thread of the verb or event that caused it, with no lock of the check held."""

    # Bars of `bar_minutes` minutes, by exchange time and cut at the breaks, built from the ticks
    # when on_bar is overridden (quorvane.bars); each finished bar arrives before the tick that
    # finished it, and a session's last one before on_session_end.
    bar_minutes = 1

    def on_bar(self, bar: "Bar") -> None:
        pass

    def on_session_start(self, session: "Session") -> None:
        """A trading session of the ticking instruments' products begins, before its first tick
        (quorvane.trading.session_feed: one call per distinct session when products of several
        hours trade)."""

    def on_session_end(self, session: "Session") -> None:
        """A trading session ended: its last bars were handed over; the snapshot that showed
        the end (its close-stamped one, or a later one) reaches on_tick next."""

    def on_day_start(self, trading_day: str) -> None:
        """A replayed trading day begins (after the day roll's new login, before its first tick)."""

    def on_day_end(self, trading_day: str) -> None:
        """A replayed trading day's last tick was delivered; the exchange settles it next."""

    def on_stop(self, reason: str) -> None:
        """The run has ended: reason is "finished" (a replay played every tick), "interrupted"
        (Ctrl-C), "failed" (an error ended it), "stopped" (Client.stop) or "shutdown". Runs once
        per client, however the run ends."""

    def every(self, seconds: float, callback: Callable[[], Any]) -> "Timer":
        """Calls callback() every `seconds` of the client's clock; returns a Timer (.cancel())."""
        return self._attached().timers.add(seconds, callback, repeat=True)

    def after(self, seconds: float, callback: Callable[[], Any]) -> "Timer":
        """Calls callback() once, `seconds` from now on the client's clock."""
        return self._attached().timers.add(seconds, callback, repeat=False)

    def now(self) -> Optional[datetime.datetime]:
        """The client's time as a datetime: the replayed market's during a replay (None before
        its first snapshot), the wall clock's live."""
        return self._attached().now()

    def _attached(self) -> "Client":
        if self.client is None:
            raise RuntimeError("%s is not attached to a client yet: use timers and orders from "
                               "on_ready or later" % type(self).__name__)
        return self.client

    def on_error(self, handler: str, error: BaseException) -> None:
        """Called with the handler's name and the exception it raised; prints the traceback."""
        sys.stderr.write("quorvane: %s raised:\n%s" % (handler, "".join(
            traceback.format_exception(type(error), error, error.__traceback__))))

    # The order verbs, sent through the client this strategy is attached to.
    def _quorvane_order(self, *args: Any) -> Order:
        return self._attached()._quorvane_order(*args)

    def _quorvane_cancel(self, export: str, *args: Any) -> int:
        return self._attached()._quorvane_cancel(export, *args)
