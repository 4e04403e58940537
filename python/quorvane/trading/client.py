"""The strategy developer's client over the ctypes runtime: it builds its login record from keyword
arguments, starts the runtime, runs its loop on a background thread and delivers the runtime's
events to a Strategy (see strategy.py for the threads they arrive on).

Records. Orders, positions and snapshots are handed to handlers as ctypes views of the runtime's
own records, read in place (records.view). A view is made once per record address and reused, so
no event copies a record. Order and position records live as long as the client; snapshot records
are updated in place by the next tick of their instrument.
"""
import atexit
import collections
import ctypes
import datetime
import os
import signal
import sys
import threading
import time
import traceback
import typing
from typing import Any, Callable, Dict, Iterable, List, NoReturn, Optional, Tuple, Type, TypeVar, Union

from . import codes, records, runtime
from ._event_names import NOT_SENT
from .fills import FillLedger, fill_of
from .journal import Journal
from .market_time import MarketTime, Session
from .orders import Code, Order, OrderVerbs, Text, _code, _text
from .risk import RiskCheck
from .risk_limits import RiskLimits, Source
from .strategy import Strategy
from .timers import ExchangeClock, Timers, wall_seconds

__all__ = ["Client", "Strategy", "login_record", "shutdown", "shared_runtime", "LOGIN_DEFAULTS"]

_Record = TypeVar("_Record", bound=ctypes.Structure)

# The keyword arguments of login_record and the values the runtime itself would use for them.
LOGIN_DEFAULTS = {
    "user_type": 20001,                 # trading and market-data client, no authentication check
    "user_id": "",
    "password": "",
    "investor_id": "",                  # the runtime fills an empty one from user_id
    "account_id": "",
    "department_id": "",
    "trader_front": "",
    "md_front": "",
    "connect_timeout": 10_000_000,      # µs init waits for each front; 0 or less waits for ever
    "task_execute_gap": 1_000_000,      # µs between two requests; the runtime's value for -1
    "task_execute_timeout": 10_000_000,  # µs a request may wait for its answer; also the minimum
    "loop_gap": 100_000,                # µs between loop callable calls; the runtime's value for < 0
    "base_path": ".",                   # root of the CTP flow directories; the runtime's value for ""
    "broker_id": "",
    "app_id": "",
    "auth_code": "",
    "hd_serial": "",
    "mac_address": "",
    "outer_ip_address": "",
    "outer_port": 0,
    "inner_ip_address": "",
    "user_product_info": "",
    "terminal_info": "",
}

_FIELD_OF = {
    "user_type": "UserType", "user_id": "UserID", "password": "Password",
    "investor_id": "InvestorID", "account_id": "AccountID", "department_id": "DepartmentID",
    "trader_front": "TraderFront", "md_front": "MdFront", "connect_timeout": "ConnectTimeout",
    "task_execute_gap": "TaskExecuteGap", "task_execute_timeout": "TaskExecuteTimeout",
    "loop_gap": "LoopGap", "base_path": "BasePath", "broker_id": "BrokerID", "app_id": "AppID",
    "auth_code": "AuthCode", "hd_serial": "HDSerial", "mac_address": "MacAddress",
    "outer_ip_address": "OuterIPAddress", "outer_port": "OuterPort",
    "inner_ip_address": "InnerIPAddress", "user_product_info": "UserProductInfo",
    "terminal_info": "TerminalInfo",
}


def login_record(**kwargs: Any) -> records.CQVLoginField:
    """A CQVLoginField from keyword arguments (names and defaults in LOGIN_DEFAULTS). Texts are
    encoded as UTF-8; a text longer than its field raises ValueError instead of being cut."""
    unknown = set(kwargs) - set(LOGIN_DEFAULTS)
    if unknown:
        raise TypeError("unknown login field(s): %s" % ", ".join(sorted(unknown)))
    login = records.CQVLoginField()
    sizes = {name: getattr(records.CQVLoginField, name).size for name, _ in login._fields_}
    for key, default in LOGIN_DEFAULTS.items():
        value = kwargs.get(key, default)
        field = _FIELD_OF[key]
        if isinstance(default, str):
            data = os.fsencode(value) if key == "base_path" else str(value).encode("utf-8")
            if len(data) >= sizes[field]:
                raise ValueError("%s is %d bytes; %s holds at most %d" % (
                    key, len(data), field, sizes[field] - 1))
            setattr(login, field, data)
        else:
            setattr(login, field, int(value))
    return login


class _Query:
    """Records of one query round, copied out of the callback (the library owns them only for
    the duration of the call)."""

    def __init__(self, record_type: Type[ctypes.Structure]) -> None:
        self.record_type = record_type
        self.records: List[Any] = []
        self.error_id = 0
        self.message = ""
        self.done = threading.Event()


_loop_lock = threading.Lock()
_loop_thread: Optional[threading.Thread] = None


def _start_loop(lib: ctypes.CDLL) -> threading.Thread:
    """Starts the runtime's `loop` once per process on a daemon thread: a second `loop` would start
    a second worker for every client."""
    global _loop_thread
    with _loop_lock:
        if _loop_thread is None:
            _loop_thread = threading.Thread(target=lib.loop, name="quorvane-loop", daemon=True)
            _loop_thread.start()
    return _loop_thread


_runtime: Optional[runtime.Runtime] = None
_runtime_lock = threading.Lock()


_clients: List["Client"] = []
_in_handler = threading.local()      # .depth: strategy handlers running on this thread


def shutdown(code: int = 0) -> NoReturn:
    """Runs the end hook (on_stop) of every client not yet ended, the atexit handlers, stops every
    client (exitX with no handle) and ends the process. The runtime's workers and the CTP
    libraries' threads never end on their own and call into the interpreter, so the process must
    end without the interpreter's own finalisation."""
    try:
        for client in list(_clients):
            client.end("shutdown")
        atexit._run_exitfuncs()
        if _runtime is not None:
            _runtime.lib.exitX(None)
    finally:
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(code)


def _install_kill_signal() -> None:
    """SIGUSR1 trips the kill switch of every client, from a thread of its own: the signal may
    come while the main thread is inside a check."""
    if threading.current_thread() is not threading.main_thread():
        return
    if signal.getsignal(signal.SIGUSR1) is not signal.SIG_DFL:
        return

    def killed(signum: int, frame: Any) -> None:
        for client in list(_clients):
            threading.Thread(target=client.kill, args=("SIGUSR1",), name="quorvane-kill",
                             daemon=True).start()
    signal.signal(signal.SIGUSR1, killed)


def shared_runtime(path: Optional[str] = None) -> runtime.Runtime:
    """The one loaded runtime of this process (the library keeps process-wide state)."""
    global _runtime
    with _runtime_lock:
        if _runtime is None:
            _runtime = runtime.Runtime(path)
        return _runtime


class Client(OrderVerbs):
    """One trading client of the runtime driving a Strategy.

    client = Client(MyStrategy(), user_id="u1", password="pw", broker_id="9999",
                    trader_front="tcp://...", md_front="tcp://...")
    client.start()            # init, then loop on a daemon thread
    client.wait_ready()
    client.run()              # until Ctrl-C or client.stop()

    With run_dir, the client keeps the journal of its days in that folder (journal.py). With
    monitor (a port, or "HOST:PORT"; port 0 picks a free one), its page is served in the browser
    (web/monitor.py) and its address, with the token that allows actions, printed.
    `risk` holds the limits of the pre-trade check (risk.py) that every order and cancel passes:
    a mapping or a JSON file's path, over the strategy class's own `risk`; the defaults
    without either. ParameterError or InputFileError when a limit cannot be taken.
    """

    def __init__(self, strategy: Optional[Strategy] = None, client_index: int = 0,
                 quiet: bool = True, library: Optional[str] = None,
                 run_dir: Optional[str] = None, risk: Source = None,
                 monitor: Optional[Union[int, str]] = None, **login: Any) -> None:
        self.strategy = strategy or Strategy()
        limits = RiskLimits(type(self.strategy).risk, risk)
        self.strategy.client = self
        self.client_index = client_index
        self.login = login_record(**login)
        self.runtime = shared_runtime(library)
        self.lib = self.runtime.lib
        if quiet:
            # Events without a handler would otherwise be printed as text blocks.
            self.runtime.set_run_mode("1")
        self.raw: Optional[runtime.NativeClient] = None
        self.handle: Optional[int] = None
        self.ready = threading.Event()
        self.errors = 0
        self._views: Dict[Tuple[type, int], Any] = {}
        self._queries: Dict[int, _Query] = {}
        self._query_lock = threading.Lock()
        self._orders: List[records.CQVOrderField] = []
        self._fills = FillLedger()           # Traded events waiting for their trade reports
        self._stop = threading.Event()
        self._ended = False
        self._end_lock = threading.Lock()
        self._attached: Optional[Strategy] = self.strategy  # None once the run has ended
        self._handlers_running = 0           # handlers being delivered now, on any thread
        self._count_lock = threading.Lock()  # guards _handlers_running; no export call under it
        self._handlers_idle = threading.Event()  # set when none runs once the run has ended
        self._tick_views: Dict[int, Any] = {}  # snapshot record address -> its view
        # Snapshots take a path of their own, the busiest one: handlers bound once, and instead
        # of the count, a flag the market-data thread alone writes.
        self._tick_observers: List[Callable[[Any], Any]] = []
        self._strategy_tick = getattr(self.strategy, "on_tick", None)
        self._in_tick = False
        self._tick_thread: Optional[int] = None
        self._observers: List[Any] = []
        self._sent_observers: List[Any] = []    # observers with on_order_sent
        # The pre-trade check sees every event first, so that a handler's orders meet the
        # state the event left.
        self.risk = RiskCheck(self, limits)
        self.add_observer(self.risk)
        if self.risk.loss is not None:
            self.add_observer(self.risk.loss)
        self.ticks_seen = 0
        self.events_seen: typing.Counter[int] = collections.Counter()
        # The market's hours and calendar, and what a replay tells of its days: the clock, the
        # bars and the session hooks read them.
        self.market_time = MarketTime()
        self._watch_sessions()
        self._events_changed = threading.Condition()
        self.exchange_clock: Optional[ExchangeClock] = None
        self.timers = Timers(wall_seconds)
        self.journal: Optional[Journal] = None
        if run_dir is not None:
            self.keep_journal(run_dir)
        self.monitor: Any = None
        if monitor is not None:
            from ..web.monitor import start_monitor
            self.monitor = start_monitor(self, monitor)
        _clients.append(self)
        # A host that ends as any Python program does still ends its run.
        atexit.register(self._at_exit)

    def _at_exit(self) -> None:
        self.end("shutdown")
        if self.journal is not None:
            self.journal.close()

    def keep_journal(self, run_dir: str, source: str = "live") -> Journal:
        """Keeps the journal of the client's days in `run_dir` (before start()); the client's
        stop, or the process's end, writes what is left of it."""
        if self.journal is None:
            self.journal = Journal(run_dir, source=source).attach(self)
        return self.journal

    # Clock ---------------------------------------------------------------------------------------

    def use_exchange_time(self) -> None:
        """Runs the timers on the replayed market's time, taken from each snapshot before the
        strategy sees it (a replay calls this before its first snapshot)."""
        self.exchange_clock = ExchangeClock(self.market_time)
        self.timers = Timers(self.exchange_clock.seconds)

    def now(self) -> Optional[datetime.datetime]:
        """The replayed market's time during a replay, the wall clock's live (a datetime)."""
        if self.exchange_clock is not None:
            return self.exchange_clock.now()
        return datetime.datetime.now()

    def open_sessions(self, instrument: Optional[str] = None) -> List[Session]:
        """The trading sessions open at the client's time (their close included) of `instrument`,
        or of every instrument that has ticked, in the order the instruments first ticked."""
        now = self.now()
        if now is None:
            return []
        market = self.market_time
        found: List[Session] = []
        for tick in list(self._tick_views.values()):
            code = tick.StandardID.decode()
            if instrument is not None and code != instrument:
                continue
            day = market.trading_day or tick.TradingDay.decode()
            for session in market.sessions_of(tick.ExchangeID.decode(), code, day):
                if session.open <= now <= session.close and session not in found:
                    found.append(session)
        return found

    def _watch_sessions(self) -> None:
        """Bars for a strategy with on_bar, placed in their sessions with the session hooks."""
        kind = type(self.strategy)
        bars = None
        if kind.on_bar is not Strategy.on_bar:
            from .bars import BarFeed
            bars = BarFeed(self.strategy, self.market_time.hours)
        if (bars is not None or kind.on_session_start is not Strategy.on_session_start
                or kind.on_session_end is not Strategy.on_session_end):
            from .session_feed import SessionFeed
            self.add_observer(SessionFeed(self, bars))

    def _fire_timers(self) -> None:
        for timer in self.timers.due():
            if timer.cancelled:
                continue
            try:
                timer.callback()
            except Exception as error:
                self.errors += 1
                try:
                    self.strategy.on_error("timer %s" % getattr(
                        timer.callback, "__name__", "callback"), error)
                except Exception:
                    traceback.print_exc()

    def add_observer(self, observer: Any) -> None:
        """Objects with Strategy's handler methods that see every event just before the strategy
        (a recorder, a risk check, the journal). Add them before start(). Observers also get
        on_order_sent(order) for each order a verb made, and on_risk(decision) for each decision
        of the risk check."""
        self._observers.append(observer)
        if getattr(observer, "on_tick", None) is not None:
            self._tick_observers.append(observer.on_tick)
        if getattr(observer, "on_order_sent", None) is not None:
            self._sent_observers.append(observer)

    # Views ------------------------------------------------------------------------------------

    def _view(self, cls: Type[_Record], address: Optional[int]) -> Optional[_Record]:
        if not address:
            return None
        key = (cls, address)
        view = self._views.get(key)
        if view is None:
            view = self._views[key] = records.view(cls, address)
        return view

    def order_view(self, address: Optional[int]) -> Optional[records.CQVOrderField]:
        return self._view(records.CQVOrderField, address)

    def position_view(self, address: Optional[int]) -> Optional[records.CQVPositionField]:
        return self._view(records.CQVPositionField, address)

    def tick_view(self, address: Optional[int]) -> Optional[records.CQVMarketDataField]:
        return self._view(records.CQVMarketDataField, address)

    # Event handlers handed to the runtime ----------------------------------------------------

    def _call(self, target: Any, name: str, args: Tuple[Any, ...]) -> None:
        handler = getattr(target, name, None)
        if handler is None:
            return
        try:
            handler(*args)
        except Exception as error:  # one bad handler must not stop event delivery
            self._failed(name, error)

    def _failed(self, name: str, error: BaseException) -> None:
        self.errors += 1
        try:
            self.strategy.on_error(name, error)
        except Exception:
            traceback.print_exc()

    def _guard(self, name: str, *args: Any) -> None:
        for target in self._observers:
            self._call(target, name, args)
        # Counted before the strategy is read, so that end(), which detaches it first, either
        # sees this call running or this call sees the strategy gone.
        with self._count_lock:
            self._handlers_running += 1
        local = _in_handler.__dict__
        local["depth"] = local.get("depth", 0) + 1
        try:
            strategy = self._attached
            if strategy is not None:
                self._call(strategy, name, args)
        finally:
            local["depth"] -= 1
            with self._count_lock:
                self._handlers_running -= 1
                idle = not self._handlers_running
            if idle and self._attached is None:
                self._handlers_idle.set()

    def hook(self, name: str, *args: Any) -> None:
        """Calls handler `name` (on_day_start, on_session_end, ...) of the observers and the
        strategy, as the runtime's events are delivered: a handler that raises goes to on_error."""
        self._guard(name, *args)

    def _on_order_event(self, event_id: int, order_address: Optional[int],
                        position_address: Optional[int], usable_cash: float) -> None:
        order = self.order_view(order_address)
        position = self.position_view(position_address)
        if event_id == codes.TRADED:
            # Held back until the order record holds the price of the trade it counts.
            if order is None or self._fills.traded(order_address or 0, order, position,
                                                   usable_cash):
                self._guard("on_trade", order, position, usable_cash)
            return
        if event_id == codes.UPDATE_COST and order is not None:
            for held in self._fills.update_cost(order_address or 0, order):
                self._fills.showing(held, lambda: self._guard("on_trade", order, position,
                                                               usable_cash))
            if order.TradedVolumeChangeOfTurnover > 0:
                self._guard("on_fill", fill_of(order, self.now()))
        self._guard("on_order", event_id, order, position, usable_cash)

    def _on_response(self, event_id: int, record_address: Optional[int], is_last: bool,
                     user_id: str, error_id: int, message: str) -> None:
        with self._events_changed:
            self.events_seen[event_id] += 1
            self._events_changed.notify_all()
        if event_id == codes.READY:
            # The orders are restored: a trade report still missing will not come.
            for held in self._fills.release():
                self._fills.showing(held, lambda: self._guard("on_trade", *held[2:]))
            self.ready.set()
            self._guard("on_ready")
            return
        query = self._queries.get(event_id)
        if query is not None:
            self._collect(query, record_address, is_last, error_id, message)
        self._guard("on_response", event_id, record_address, is_last,
                    error_id, message)

    def _on_snapshot(self, event_id: int, address: int) -> None:
        self.ticks_seen += 1
        tick = self._tick_views.get(address)
        if tick is None:
            tick = self._tick_views[address] = self.tick_view(address)
        clock = self.exchange_clock
        if clock is not None:
            clock.take(tick)
            if self.timers.armed:
                self._fire_timers()
        for handler in self._tick_observers:
            try:
                handler(tick)
            except Exception as error:
                self._failed("on_tick", error)
        # Flagged before the strategy's handler is read, as _guard counts (see end()).
        self._in_tick = True
        self._tick_thread = threading.get_ident()
        strategy_tick = self._strategy_tick
        if strategy_tick is not None:
            try:
                strategy_tick(tick)
            except Exception as error:
                self._failed("on_tick", error)
        self._in_tick = False
        if self._attached is None:
            self._handlers_idle.set()

    def _on_loop(self) -> None:
        if self.exchange_clock is None and self.timers.armed:
            self._fire_timers()
        self._guard("on_loop")

    def _collect(self, query: _Query, record_address: Optional[int], is_last: bool,
                 error_id: int, message: str) -> None:
        if record_address and error_id == 0:
            query.records.append(query.record_type.from_buffer_copy(
                ctypes.string_at(record_address, ctypes.sizeof(query.record_type))))
        if error_id:
            query.error_id, query.message = error_id, message
        if is_last or error_id:
            query.done.set()

    # Life cycle ----------------------------------------------------------------------------------

    def start(self, loop: bool = True, kill_signal: Optional[bool] = None) -> "Client":
        """init (raises runtime.InitError), then the runtime's loop on a daemon thread. Start every
        client of the process before the first loop: clients made later get no worker.
        kill_signal: SIGUSR1 trips every client's kill switch (None: when trading live, not in a
        replay); the handler is installed from the main thread only, and only over the
        signal's default action."""
        self.raw = self.runtime.init(self.client_index, self.login, self._on_order_event,
                                     self._on_response, self._on_loop, self._on_snapshot)
        self.handle = self.raw.handle
        if kill_signal is None:
            kill_signal = self.exchange_clock is None
        if kill_signal:
            _install_kill_signal()
        if loop:
            _start_loop(self.lib)
        return self

    def kill(self, reason: str = "the kill switch") -> None:
        """Trips the kill switch: every working order is canceled and every order refused until
        reset_kill(). The strategy's on_risk hears of it."""
        self.risk.kill(reason)

    def reset_kill(self) -> None:
        """Lets orders go again after kill()."""
        self.risk.reset_kill()

    def wait_ready(self, timeout: float = 30.0) -> bool:
        """True once the session is ready (event 10002)."""
        return self.ready.wait(timeout)

    def wait_events(self, event_id: int, count: int, timeout: float = 10.0) -> bool:
        """True once `count` response events `event_id` have arrived (since the client started),
        False when the timeout passed first."""
        with self._events_changed:
            return self._events_changed.wait_for(lambda: self.events_seen[event_id] >= count,
                                                 timeout)

    def end(self, reason: str, timeout: float = 10.0) -> bool:
        """Ends the run once, whichever way it ends first (later calls do nothing; True when this
        call ended it): the strategy gets no more events, the handlers it is running are let
        finish (unless called from one), then its on_stop(reason) runs, and the observers'.
        Orders sent from on_stop reach the exchange; their answers reach the observers only."""
        with self._end_lock:
            if self._ended:
                return False
            self._ended = True
        self._attached = None
        self._strategy_tick = None
        if not _in_handler.__dict__.get("depth", 0):
            on_tick_thread = threading.get_ident() == self._tick_thread
            deadline = time.monotonic() + timeout
            while True:
                self._handlers_idle.clear()
                with self._count_lock:
                    running = self._handlers_running
                if not running and (on_tick_thread or not self._in_tick):
                    break
                if not self._handlers_idle.wait(deadline - time.monotonic()):
                    break
        for target in self._observers + [self.strategy]:
            self._call(target, "on_stop", (reason,))
        return True

    def stop(self, reason: str = "stopped") -> None:
        """Ends the run (on_stop(reason), once) and stops this client's work: no more requests or
        loop calls (exitX)."""
        self.end(reason)
        self._stop.set()
        if self.handle:
            self.lib.exitX(self.handle)
        if self.journal is not None:
            # From a handler, an event thread does not wait for the disk: the process's end does.
            self.journal.close(0.0 if _in_handler.__dict__.get("depth", 0) else 10.0)

    def stop_requested(self) -> bool:
        return self._stop.is_set()

    def run(self, until: Optional[Callable[[], bool]] = None, timeout: Optional[float] = None,
            poll: float = 0.05) -> bool:
        """Blocks the calling thread until `until()` is true, the timeout passes, stop() is called
        or Ctrl-C; returns False when interrupted by Ctrl-C (the client is stopped then)."""
        deadline = None if timeout is None else time.monotonic() + timeout
        try:
            while not self._stop.is_set():
                if until is not None and until():
                    return True
                if deadline is not None and time.monotonic() >= deadline:
                    return True
                time.sleep(poll)
            return True
        except KeyboardInterrupt:
            self.stop("interrupted")
            self.lib.exitX(None)
            return False

    # Market data ---------------------------------------------------------------------------------

    def _started(self) -> runtime.NativeClient:
        if self.raw is None:
            raise RuntimeError("the client is not started: call start() first")
        return self.raw

    def subscribe(self, instruments: Iterable[Union[str, bytes]], exchange_id: Text = None) -> int:
        """Subscribes instrument codes (of one exchange, or None); returns the runtime's code."""
        return self._started().subscribe(list(instruments), exchange_id)

    def unsubscribe(self, instruments: Iterable[Union[str, bytes]],
                    exchange_id: Text = None) -> int:
        """Unsubscribes instrument codes; returns the runtime's code."""
        return self._started().unsubscribe(list(instruments), exchange_id)

    # Orders --------------------------------------------------------------------------------------

    def _quorvane_order(self, export: str, instrument: Text, quantity: Union[int, float],
                        order_type: Code, price: float, mark: int, exchange_id: Text,
                        *rest: Any) -> Order:
        ticket = self.risk.admit(export, instrument, quantity, order_type, price, exchange_id)
        if ticket is None:
            return None
        made: List[records.CQVOrderField] = []
        try:
            order = self.order_view(getattr(self.lib, export)(
                self.handle, _text(instrument), quantity, _code(order_type), price, mark,
                _text(exchange_id), *rest))
            if order is not None:
                made = self.chain(order)
                self._orders.extend(made)
                for observer in self._sent_observers:
                    for each in made:
                        self._call(observer, "on_order_sent", (each,))
        finally:
            self.risk.placed(ticket, made)
        return order

    def _quorvane_cancel(self, export: str, *args: Any) -> int:
        result: int = getattr(self.lib, export)(self.handle, *args)
        self.risk.cancelled(export, args, result)
        return result

    def chain(self, order: Optional[records.CQVOrderField]) -> List[records.CQVOrderField]:
        """Every order one call made, starting at the record it returned (NextOrder links)."""
        out = []
        while order is not None:
            out.append(order)
            link = ctypes.cast(order.NextOrder, ctypes.c_void_p).value
            order = self.order_view(link)
        return out

    def order(self, order_id: int) -> Order:
        return self.order_view(self.lib.getOrder(self.handle, order_id))

    def orders(self) -> List[records.CQVOrderField]:
        """Views of every order this client placed through this object, in placing order."""
        return list(self._orders)

    def position(self, instrument: str, exchange_id: Text = None
                 ) -> Optional[records.CQVPositionField]:
        return self.position_view(self.lib.getPosition(self.handle, instrument.encode(),
                                                       _text(exchange_id)))

    @property
    def usable_cash(self) -> float:
        return self.lib.getUsableCash(self.handle)

    # Queries -------------------------------------------------------------------------------------

    def query(self, task_id: int, record_type: Type[_Record], timeout: float = 15.0,
              attempts: int = 20) -> List[_Record]:
        """Runs one query round (addTask, after the client is ready) and returns copies of the
        records it answered; raises TimeoutError or RuntimeError. A request the CTP library
        refuses (flow control) is sent again here; the task itself is not marked for retrying,
        because a retried task that the server answers with an error would stay at the front of
        the queue for ever. One round per task id at a time."""
        with self._query_lock:
            if task_id in self._queries:
                raise RuntimeError("a %s query is already running" % codes.event_name(task_id))
        try:
            for _ in range(attempts):
                query = _Query(record_type)
                with self._query_lock:
                    self._queries[task_id] = query
                command = records.CQVQueryCommandField()
                code = self.lib.addTask(self.handle, task_id, ctypes.byref(command), 1, 0, 0, 0)
                if code != 0:
                    raise RuntimeError("addTask %d: %s" % (task_id, codes.error_name(code)))
                if not query.done.wait(timeout):
                    raise TimeoutError("no answer to %s" % codes.event_name(task_id))
                if query.error_id and query.message == NOT_SENT:
                    time.sleep(0.2)
                    continue
                if query.error_id:
                    raise RuntimeError("%s failed: %s %s" % (
                        codes.event_name(task_id), codes.error_name(query.error_id), query.message))
                return query.records
            raise RuntimeError("%s: the library kept refusing the request" %
                               codes.event_name(task_id))
        finally:
            with self._query_lock:
                self._queries.pop(task_id, None)

    def trading_account(self, timeout: float = 15.0
                        ) -> Optional[records.CThostFtdcTradingAccountField]:
        """The exchange's own account record (CThostFtdcTradingAccountField), or None."""
        found = self.query(codes.QRY_TRADING_ACCOUNT, records.CThostFtdcTradingAccountField,
                           timeout)
        return found[-1] if found else None

    def exchange_positions(self, timeout: float = 15.0
                           ) -> List[records.CThostFtdcInvestorPositionField]:
        return self.query(codes.QRY_POSITION, records.CThostFtdcInvestorPositionField, timeout)

    def exchange_trades(self, timeout: float = 15.0) -> List[records.CThostFtdcTradeField]:
        return self.query(codes.QRY_TRADE, records.CThostFtdcTradeField, timeout)

