"""The strategy developer's layer over the ctypes runtime: a Client that builds its login record
from keyword arguments, starts the runtime and runs its loop on a background thread, and a Strategy base
class whose methods receive the runtime's events.

Threads. The runtime calls back on its own native threads with the interpreter lock held: order
events on the trader library's thread, snapshots on the market-data library's thread, the loop
callable on the client's worker. Handlers therefore run one at a time but not on one thread, and
may interleave between Python statements. Never hold a Python lock in a handler while calling an
export (buy, cancel, ...) that another handler's thread may need: the runtime holds an order's and a
position's spin locks while it delivers that order's event.

Records. Orders, positions and snapshots are handed to handlers as ctypes views of the runtime's
own records, read in place (records.view). A view is made once per record address and reused, so
no event copies a record. Order and position records live as long as the client; snapshot records
are updated in place by the next tick of their instrument.
"""
import atexit
import collections
import ctypes
import datetime
import functools
import os
import sys
import threading
import time
import traceback

from . import codes, records, runtime
from .orders import VERBS, OrderVerbs, _text
from .timers import ExchangeClock, Timers, wall_seconds

__all__ = ["Client", "Strategy", "login_record", "shutdown", "LOGIN_DEFAULTS"]

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


def login_record(**kwargs):
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


class Strategy:
    """Base class of a strategy: override the handlers you need. `self.client` is set when the
    strategy is attached to a Client, before any handler runs.

    Routing of the runtime's events:
      10002 Ready                       -> on_ready()
      10010 snapshot                    -> on_tick(tick)          (CQVMarketDataField view)
      10003 Traded                      -> on_trade(order, position, usable_cash)
      10004..10009 other order events   -> on_order(event_id, order, position, usable_cash)
      every other response/status event -> on_response(event_id, record_address, is_last,
                                                       error_id, message)
      each turn of the worker when ready -> on_loop()
      the end of the run, however it ends -> on_stop(reason)
    A handler that raises is reported through on_error and event delivery carries on.

    The order verbs of the client are the strategy's own too: self.buy(...) is
    self.client.buy(...) (see orders.OrderVerbs for the list). self.every(seconds, fn) and
    self.after(seconds, fn) run fn on the client's clock: the replayed market's time in a replay,
    the wall clock live; self.now() tells that time.
    """

    client = None
    # Ticks a replay will deliver (set by the replay before it starts); None when trading live.
    ticks_expected = None
    # The client's ticks_seen when the replayed day began (a run of several days).
    ticks_at_day_start = 0

    def day_ending(self, share=0.03):
        """True during the last `share` of a replayed day's ticks: time to go flat."""
        if not self.ticks_expected or self.client is None:
            return False
        seen = self.client.ticks_seen - self.ticks_at_day_start
        return seen >= (1.0 - share) * self.ticks_expected

    def on_ready(self):
        pass

    def on_tick(self, tick):
        pass

    def on_order(self, event_id, order, position, usable_cash):
        pass

    def on_trade(self, order, position, usable_cash):
        pass

    def on_response(self, event_id, record_address, is_last, error_id, message):
        pass

    def on_loop(self):
        pass

    # Bars of `bar_minutes` minutes, by exchange time, built from the ticks when on_bar is
    # overridden (quorvane.bars); each finished bar arrives before the tick that finished it.
    bar_minutes = 1

    def on_bar(self, bar):
        pass

    def on_day_start(self, trading_day):
        """A replayed trading day begins (after the day roll's new login, before its first tick)."""

    def on_day_end(self, trading_day):
        """A replayed trading day's last tick was delivered; the exchange settles it next."""

    def on_stop(self, reason):
        """The run has ended: reason is "finished" (a replay played every tick), "interrupted"
        (Ctrl-C), "failed" (an error ended it), "stopped" (Client.stop) or "shutdown". Runs once
        per client, however the run ends."""

    def every(self, seconds, callback):
        """Calls callback() every `seconds` of the client's clock; returns a Timer (.cancel())."""
        return self._attached().timers.add(seconds, callback, repeat=True)

    def after(self, seconds, callback):
        """Calls callback() once, `seconds` from now on the client's clock."""
        return self._attached().timers.add(seconds, callback, repeat=False)

    def now(self):
        """The client's time as a datetime: the replayed market's during a replay (None before
        its first snapshot), the wall clock's live."""
        return self._attached().now()

    def _attached(self):
        if self.client is None:
            raise RuntimeError("%s is not attached to a client yet: use timers and orders from "
                               "on_ready or later" % type(self).__name__)
        return self.client

    def on_error(self, handler, error):
        """Called with the handler's name and the exception it raised; prints the traceback."""
        sys.stderr.write("quorvane: %s raised:\n%s" % (handler, "".join(
            traceback.format_exception(type(error), error, error.__traceback__))))


def _verb(name):
    method = getattr(OrderVerbs, name)

    @functools.wraps(method)
    def call(self, *args, **kwargs):
        return getattr(self._attached(), name)(*args, **kwargs)
    return call


for _name in VERBS:
    setattr(Strategy, _name, _verb(_name))


class _Query:
    """Records of one query round, copied out of the callback (the library owns them only for
    the duration of the call)."""

    def __init__(self, record_type):
        self.record_type = record_type
        self.records = []
        self.error_id = 0
        self.message = ""
        self.done = threading.Event()


# The runtime's message for a request that the CTP library refused to send.
_NOT_SENT = "Error:Fail To Sended."

_loop_lock = threading.Lock()
_loop_thread = None


def _start_loop(lib):
    """Starts the runtime's `loop` once per process on a daemon thread: a second `loop` would start
    a second worker for every client."""
    global _loop_thread
    with _loop_lock:
        if _loop_thread is None:
            _loop_thread = threading.Thread(target=lib.loop, name="quorvane-loop", daemon=True)
            _loop_thread.start()
    return _loop_thread


_runtime = None
_runtime_lock = threading.Lock()


_clients = []
_in_handler = threading.local()      # .depth: strategy handlers running on this thread


def shutdown(code=0):
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


def shared_runtime(path=None):
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
    """

    def __init__(self, strategy=None, client_index=0, quiet=True, library=None, **login):
        self.strategy = strategy or Strategy()
        self.strategy.client = self
        self.client_index = client_index
        self.login = login_record(**login)
        self.runtime = shared_runtime(library)
        self.lib = self.runtime.lib
        if quiet:
            # Events without a handler would otherwise be printed as text blocks.
            self.runtime.set_run_mode("1")
        self.raw = None
        self.handle = None
        self.ready = threading.Event()
        self.errors = 0
        self._views = {}
        self._queries = {}
        self._query_lock = threading.Lock()
        self._orders = []
        self._stop = threading.Event()
        self._ended = False
        self._end_lock = threading.Lock()
        self._attached = self.strategy       # None once the run has ended
        self._handlers_running = 0           # handlers being delivered now, on any thread
        self._count_lock = threading.Lock()  # guards _handlers_running; no export call under it
        self._handlers_idle = threading.Event()  # set when none runs once the run has ended
        self._tick_views = {}                # snapshot record address -> its view
        # Snapshots take a path of their own, the busiest one: handlers bound once, and instead
        # of the count, a flag the market-data thread alone writes.
        self._tick_observers = []
        self._strategy_tick = getattr(self.strategy, "on_tick", None)
        self._in_tick = False
        self._tick_thread = None
        self._observers = []
        self.ticks_seen = 0
        self.events_seen = collections.Counter()
        if type(self.strategy).on_bar is not Strategy.on_bar:
            from .bars import BarFeed
            self.add_observer(BarFeed(self.strategy))
        self._events_changed = threading.Condition()
        self.exchange_clock = None
        self.timers = Timers(wall_seconds)
        _clients.append(self)
        # A host that ends as any Python program does still ends its run.
        atexit.register(self.end, "shutdown")

    # Clock ---------------------------------------------------------------------------------------

    def use_exchange_time(self):
        """Runs the timers on the replayed market's time, taken from each snapshot before the
        strategy sees it (a replay calls this before its first snapshot)."""
        self.exchange_clock = ExchangeClock()
        self.timers = Timers(self.exchange_clock.seconds)

    def now(self):
        """The replayed market's time during a replay, the wall clock's live (a datetime)."""
        if self.exchange_clock is not None:
            return self.exchange_clock.now()
        return datetime.datetime.now()

    def _fire_timers(self):
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

    def add_observer(self, observer):
        """Objects with Strategy's handler methods that see every event just before the strategy
        (a recorder, a risk check). Add them before start()."""
        self._observers.append(observer)
        if getattr(observer, "on_tick", None) is not None:
            self._tick_observers.append(observer.on_tick)

    # Views ------------------------------------------------------------------------------------

    def _view(self, cls, address):
        if not address:
            return None
        key = (cls, address)
        view = self._views.get(key)
        if view is None:
            view = self._views[key] = records.view(cls, address)
        return view

    def order_view(self, address):
        return self._view(records.CQVOrderField, address)

    def position_view(self, address):
        return self._view(records.CQVPositionField, address)

    def tick_view(self, address):
        return self._view(records.CQVMarketDataField, address)

    # Event handlers handed to the runtime ----------------------------------------------------

    def _call(self, target, name, args):
        handler = getattr(target, name, None)
        if handler is None:
            return
        try:
            handler(*args)
        except Exception as error:  # one bad handler must not stop event delivery
            self._failed(name, error)

    def _failed(self, name, error):
        self.errors += 1
        try:
            self.strategy.on_error(name, error)
        except Exception:
            traceback.print_exc()

    def _guard(self, name, *args):
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

    def hook(self, name, *args):
        """Calls handler `name` (on_day_start, on_day_end) of the observers and the strategy, as
        the runtime's events are delivered: a handler that raises goes to on_error."""
        self._guard(name, *args)

    def _on_order_event(self, event_id, order_address, position_address, usable_cash):
        order = self.order_view(order_address)
        position = self.position_view(position_address)
        if event_id == codes.TRADED:
            self._guard("on_trade", order, position, usable_cash)
        else:
            self._guard("on_order", event_id, order, position, usable_cash)

    def _on_response(self, event_id, record_address, is_last, user_id, error_id, message):
        with self._events_changed:
            self.events_seen[event_id] += 1
            self._events_changed.notify_all()
        if event_id == codes.READY:
            self.ready.set()
            self._guard("on_ready")
            return
        query = self._queries.get(event_id)
        if query is not None:
            self._collect(query, record_address, is_last, error_id, message)
        self._guard("on_response", event_id, record_address, is_last,
                    error_id, message)

    def _on_snapshot(self, event_id, address):
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
        handler = self._strategy_tick
        if handler is not None:
            try:
                handler(tick)
            except Exception as error:
                self._failed("on_tick", error)
        self._in_tick = False
        if self._attached is None:
            self._handlers_idle.set()

    def _on_loop(self):
        if self.exchange_clock is None and self.timers.armed:
            self._fire_timers()
        self._guard("on_loop")

    def _collect(self, query, record_address, is_last, error_id, message):
        if record_address and error_id == 0:
            query.records.append(query.record_type.from_buffer_copy(
                ctypes.string_at(record_address, ctypes.sizeof(query.record_type))))
        if error_id:
            query.error_id, query.message = error_id, message
        if is_last or error_id:
            query.done.set()

    # Life cycle ----------------------------------------------------------------------------------

    def start(self, loop=True):
        """init (raises runtime.InitError), then the runtime's loop on a daemon thread. Start every
        client of the process before the first loop: clients made later get no worker."""
        self.raw = self.runtime.init(self.client_index, self.login, self._on_order_event,
                                     self._on_response, self._on_loop, self._on_snapshot)
        self.handle = self.raw.handle
        if loop:
            _start_loop(self.lib)
        return self

    def wait_ready(self, timeout=30.0):
        """True once the session is ready (event 10002)."""
        return self.ready.wait(timeout)

    def wait_events(self, event_id, count, timeout=10.0):
        """True once `count` response events `event_id` have arrived (since the client started),
        False when the timeout passed first."""
        with self._events_changed:
            return self._events_changed.wait_for(lambda: self.events_seen[event_id] >= count,
                                                 timeout)

    def end(self, reason, timeout=10.0):
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

    def stop(self, reason="stopped"):
        """Ends the run (on_stop(reason), once) and stops this client's work: no more requests or
        loop calls (exitX)."""
        self.end(reason)
        self._stop.set()
        if self.handle:
            self.lib.exitX(self.handle)

    def stop_requested(self):
        return self._stop.is_set()

    def run(self, until=None, timeout=None, poll=0.05):
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

    def subscribe(self, instruments, exchange_id=None):
        return self.raw.subscribe(list(instruments), exchange_id)

    def unsubscribe(self, instruments, exchange_id=None):
        return self.raw.unsubscribe(list(instruments), exchange_id)

    # Orders --------------------------------------------------------------------------------------

    def _placed(self, address):
        order = self.order_view(address)
        if order is not None:
            self._orders.extend(self.chain(order))
        return order

    def chain(self, order):
        """Every order one call made, starting at the record it returned (NextOrder links)."""
        out = []
        while order is not None:
            out.append(order)
            link = ctypes.cast(order.NextOrder, ctypes.c_void_p).value
            order = self.order_view(link)
        return out

    def order(self, order_id):
        return self.order_view(self.lib.getOrder(self.handle, order_id))

    def orders(self):
        """Views of every order this client placed through this object, in placing order."""
        return list(self._orders)

    def position(self, instrument, exchange_id=None):
        return self.position_view(self.lib.getPosition(self.handle, instrument.encode(),
                                                       _text(exchange_id)))

    @property
    def usable_cash(self):
        return self.lib.getUsableCash(self.handle)

    # Queries -------------------------------------------------------------------------------------

    def query(self, task_id, record_type, timeout=15.0, attempts=20):
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
                if query.error_id and query.message == _NOT_SENT:
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

    def trading_account(self, timeout=15.0):
        """The exchange's own account record (CThostFtdcTradingAccountField), or None."""
        found = self.query(codes.QRY_TRADING_ACCOUNT, records.CThostFtdcTradingAccountField,
                           timeout)
        return found[-1] if found else None

    def exchange_positions(self, timeout=15.0):
        return self.query(codes.QRY_POSITION, records.CThostFtdcInvestorPositionField, timeout)

    def exchange_trades(self, timeout=15.0):
        return self.query(codes.QRY_TRADE, records.CThostFtdcTradeField, timeout)

