"""The host package against the runtime and the stand-in: a strategy's handlers fire in order with
readable views of the runtime's records, a raising handler does not stop delivery, and a host ends
cleanly through shutdown or Ctrl-C.

Each scenario runs in a fresh process (clients live until their process ends): the test runs this
file as a script, which prints what the strategy saw as one JSON line.
"""
import json
import os
import signal
import subprocess
import sys
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))

from quorvane import codes, host, sim  # noqa: E402

INSTRUMENT, EXCHANGE = "rb2605", "SHFE"
SCENARIO = {"tradingDay": "20260108", "instruments": [
    {"instrumentId": INSTRUMENT, "exchangeId": EXCHANGE, "productId": "rb", "multiplier": 10,
     "priceTick": 1, "marginRatio": 0.1, "preSettlementPrice": 3500}]}


def make_client(strategy, workdir):
    market = sim.Sim()
    market.load_scenario(SCENARIO)
    market.set_flow_control(0, 0)
    market.set_latency(200)
    client = host.Client(strategy, user_id="u1", password="pw", broker_id="9999",
                         app_id="simnow_client_test", auth_code="0000000000000000",
                         trader_front="tcp://127.0.0.1:1", md_front="tcp://127.0.0.1:2",
                         base_path=workdir, task_execute_gap=20_000, loop_gap=2_000)
    return market, client


def wait(predicate, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.01)
    return False


class Journal(host.Strategy):
    """Writes down every handler call in arrival order, reading the records through the views."""

    def __init__(self):
        self.calls = []
        self.views = {}
        self.loops = 0

    def on_ready(self):
        self.calls.append(["ready"])

    def on_tick(self, tick):
        self.calls.append(["tick", tick.StandardID.decode(), tick.LastPrice > 0,
                           tick.AskPrice1 >= tick.BidPrice1])

    def on_loop(self):
        if self.loops == 0:
            self.calls.append(["loop"])
        self.loops += 1

    def on_order(self, event_id, order, position, usable_cash):
        same = self.views.setdefault(order.OrderID, order) is order
        self.calls.append([codes.event_name(event_id), order.OrderID,
                           codes.status_name(order.OrderStatus), order.StandardID.decode(),
                           order.CanceledVolume, order.ErrorID, same,
                           position is not None and position.StandardID.decode(), usable_cash])


def scenario_journal(workdir):
    journal = Journal()
    market, client = make_client(journal, workdir)
    client.start()
    client.wait_ready()
    market.set_md_rate(100)
    client.subscribe([INSTRUMENT], EXCHANGE)
    wait(lambda: client.ticks_seen >= 3)
    cash_before = client.usable_cash
    order = client.buy(INSTRUMENT, 2, price=3400.0, exchange_id=EXCHANGE)
    wait(lambda: any(c[0] == "Accepted" for c in journal.calls))
    frozen = cash_before - client.usable_cash
    client.cancel(order)
    wait(lambda: any(c[0] == "Canceled" for c in journal.calls))
    refused = client.buy(INSTRUMENT, 1, price=3400.5, exchange_id=EXCHANGE)
    wait(lambda: any(c[0] == "InsertRejected" for c in journal.calls))
    account = client.trading_account()
    market.set_md_rate(0)
    return {"calls": journal.calls, "order_id": order.OrderID, "frozen": frozen,
            "cash": client.usable_cash, "balance": account.Balance,
            "refused": [refused.OrderID, codes.status_name(refused.OrderStatus),
                        refused.Message.decode("gb2312", "replace")],
            "orders": [o.OrderID for o in client.orders()], "errors": client.errors}


class Raising(host.Strategy):
    """Every tick handler raises; the loop handler raises once; the errors are written down."""

    def __init__(self):
        self.ticks = 0
        self.loops = 0
        self.failed = []
        self.orders = []

    def on_tick(self, tick):
        self.ticks += 1
        raise ValueError("bad tick handler")

    def on_loop(self):
        self.loops += 1
        if self.loops == 1:
            raise KeyError("bad loop handler")

    def on_order(self, event_id, order, position, usable_cash):
        self.orders.append(codes.event_name(event_id))

    def on_error(self, handler, error):
        self.failed.append([handler, type(error).__name__])


def scenario_raising(workdir):
    strategy = Raising()
    market, client = make_client(strategy, workdir)
    client.start()
    client.wait_ready()
    market.set_md_rate(100)
    client.subscribe([INSTRUMENT], EXCHANGE)
    wait(lambda: strategy.ticks >= 5 and strategy.loops >= 5)
    client.buy(INSTRUMENT, 1, price=3400.0, exchange_id=EXCHANGE)
    wait(lambda: strategy.orders)
    market.set_md_rate(0)
    return {"ticks": strategy.ticks, "loops": strategy.loops, "orders": strategy.orders,
            "failed": strategy.failed[:3], "errors": client.errors,
            "failed_count": len(strategy.failed)}


def scenario_query_refused(workdir):
    market, client = make_client(host.Strategy(), workdir)
    client.start()
    client.wait_ready()
    market.clear_requests()
    market.refuse_requests("ReqQryTradingAccount", -3, 2)
    account = client.trading_account()
    sent = [r.name for r in market.requests() if r.name == "ReqQryTradingAccount"]
    return {"balance": account.Balance, "sent": len(sent), "cash": client.usable_cash}


class Ending(host.Strategy):
    """Counts its ticks and timer calls, and prints how its run ended."""

    def __init__(self):
        self.ticks = 0
        self.fired = 0

    def on_tick(self, tick):
        self.ticks += 1

    def on_stop(self, reason):
        print(json.dumps({"on_stop": reason}), flush=True)


def scenario_live_timer(workdir):
    strategy = Ending()
    market, client = make_client(strategy, workdir)
    client.start()
    client.wait_ready()
    timer = strategy.every(0.05, lambda: setattr(strategy, "fired", strategy.fired + 1))
    market.set_md_rate(200)
    client.subscribe([INSTRUMENT], EXCHANGE)
    wait(lambda: strategy.fired >= 5 and strategy.ticks >= 5)
    timer.cancel()
    client.stop()
    client.stop("again")
    at_stop = strategy.ticks
    wait(lambda: client.ticks_seen > at_stop + 20)
    market.set_md_rate(0)
    return {"fired": strategy.fired, "ticks_after_stop": strategy.ticks - at_stop,
            "delivered_after_stop": client.ticks_seen - at_stop, "now": type(strategy.now()).__name__}


def scenario_shutdown(workdir):
    import atexit
    atexit.register(lambda: print(json.dumps({"atexit": True}), flush=True))
    market, client = make_client(Ending(), workdir)
    client.start()
    client.wait_ready()
    market.set_md_rate(200)
    client.subscribe([INSTRUMENT], EXCHANGE)
    wait(lambda: client.ticks_seen > 0)
    print(json.dumps({"ready": True}), flush=True)
    host.shutdown(3)


def scenario_exit(workdir):
    market, client = make_client(Ending(), workdir)
    client.start()
    client.wait_ready()
    market.set_md_rate(200)
    client.subscribe([INSTRUMENT], EXCHANGE)
    wait(lambda: client.ticks_seen > 0)
    print(json.dumps({"ready": True}), flush=True)
    sys.exit(4)


def scenario_interrupt(workdir):
    market, client = make_client(Ending(), workdir)
    client.start()
    client.wait_ready()
    market.set_md_rate(200)
    client.subscribe([INSTRUMENT], EXCHANGE)
    print(json.dumps({"ready": True}), flush=True)
    finished = client.run()
    print(json.dumps({"finished": finished, "stopped": client.stop_requested()}), flush=True)
    host.shutdown(130)


def run(scenario, tmp_path, lib_path, timeout=60):
    env = dict(os.environ, QUORVANE_LIB=lib_path)
    done = subprocess.run([sys.executable, __file__, scenario, str(tmp_path)], env=env,
                          timeout=timeout, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


class TestStrategyEvents:
    def test_handlers_fire_in_order_with_readable_views(self, tmp_path, lib_path):
        seen = run("journal", tmp_path, lib_path)
        calls = seen["calls"]
        kinds = [c[0] for c in calls]
        assert kinds[0] == "ready"
        assert "loop" in kinds and "tick" in kinds
        assert all(c[1:] == [INSTRUMENT, True, True] for c in calls if c[0] == "tick")

        order_calls = [c for c in calls if c[0] not in ("ready", "tick", "loop")]
        assert [c[0] for c in order_calls] == ["Accepted", "Canceled", "InsertRejected"]
        accepted, canceled, rejected = order_calls
        assert accepted[1:5] == [seen["order_id"], "Working", INSTRUMENT, 0]
        assert canceled[1:5] == [seen["order_id"], "Finished", INSTRUMENT, 2]
        # The view handed to the second event is the object handed to the first: no copies.
        assert canceled[6] is True
        assert accepted[7] == INSTRUMENT
        # The freeze of the working order shows in the cash it carried; the cancel gives it back.
        assert seen["frozen"] == pytest.approx(2 * 3400 * 10 * 0.1, rel=1e-3)
        assert accepted[8] == pytest.approx(1_000_000 - seen["frozen"])
        assert canceled[8] == pytest.approx(1_000_000)
        assert rejected[2] == "Rejected" and rejected[5] != 0
        assert seen["refused"][1] == "Rejected" and "CTPTrader" in seen["refused"][2]
        assert seen["orders"] == [seen["order_id"], seen["refused"][0]]
        assert seen["cash"] == pytest.approx(seen["balance"])
        assert seen["errors"] == 0

    def test_a_raising_handler_does_not_stop_delivery(self, tmp_path, lib_path):
        seen = run("raising", tmp_path, lib_path)
        assert seen["ticks"] >= 5 and seen["loops"] >= 5
        assert seen["orders"] == ["Accepted"]
        assert ["on_loop", "KeyError"] in seen["failed"]
        assert ["on_tick", "ValueError"] in seen["failed"]
        assert seen["errors"] == seen["failed_count"] >= seen["ticks"]


class TestQueries:
    def test_a_refused_query_is_sent_again_until_answered(self, tmp_path, lib_path):
        seen = run("query_refused", tmp_path, lib_path)
        assert seen["sent"] == 3
        assert seen["balance"] == pytest.approx(1_000_000)
        assert seen["cash"] == pytest.approx(seen["balance"])


class TestShutdown:
    def test_shutdown_ends_the_process_with_its_code(self, tmp_path, lib_path):
        env = dict(os.environ, QUORVANE_LIB=lib_path)
        started = time.monotonic()
        done = subprocess.run([sys.executable, __file__, "shutdown", str(tmp_path)], env=env,
                              timeout=60, capture_output=True, text=True)
        assert done.returncode == 3, done.stderr
        lines = [json.loads(line) for line in done.stdout.splitlines()]
        assert lines == [{"ready": True}, {"on_stop": "shutdown"}, {"atexit": True}]
        assert "Traceback" not in done.stderr
        assert time.monotonic() - started < 30

    def test_a_host_that_exits_as_any_program_ends_its_run(self, tmp_path, lib_path):
        env = dict(os.environ, QUORVANE_LIB=lib_path)
        done = subprocess.run([sys.executable, __file__, "exit", str(tmp_path)], env=env,
                              timeout=60, capture_output=True, text=True)
        assert done.returncode == 4, done.stderr
        lines = [json.loads(line) for line in done.stdout.splitlines()]
        assert lines == [{"ready": True}, {"on_stop": "shutdown"}]

    def test_ctrl_c_stops_the_run_and_the_process(self, tmp_path, lib_path):
        env = dict(os.environ, QUORVANE_LIB=lib_path)
        process = subprocess.Popen([sys.executable, __file__, "interrupt", str(tmp_path)], env=env,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            assert json.loads(process.stdout.readline()) == {"ready": True}
            time.sleep(0.2)
            process.send_signal(signal.SIGINT)
            out, err = process.communicate(timeout=20)
        finally:
            if process.poll() is None:
                process.kill()
        assert process.returncode == 130, err
        lines = [json.loads(line) for line in out.strip().splitlines()]
        assert lines == [{"on_stop": "interrupted"}, {"finished": False, "stopped": True}]

    def test_a_stopped_client_ends_its_strategy_once_and_delivers_it_nothing_more(
            self, tmp_path, lib_path):
        env = dict(os.environ, QUORVANE_LIB=lib_path)
        done = subprocess.run([sys.executable, __file__, "live_timer", str(tmp_path)], env=env,
                              timeout=60, capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        lines = [json.loads(line) for line in done.stdout.splitlines()]
        assert lines[0] == {"on_stop": "stopped"} and len(lines) == 2
        seen = lines[1]
        # Live, timers run on the wall clock, turned by the client's worker.
        assert seen["fired"] >= 5 and seen["now"] == "datetime"
        assert seen["ticks_after_stop"] == 0 and seen["delivered_after_stop"] > 20


class TestLoginRecord:
    def test_keywords_fill_the_record_and_defaults_are_the_runtimes(self):
        login = host.login_record(user_id="u1", md_front="tcp://h:1", outer_port=7)
        assert (login.UserID, login.MdFront, login.OuterPort) == (b"u1", b"tcp://h:1", 7)
        assert (login.UserType, login.TaskExecuteGap, login.TaskExecuteTimeout, login.LoopGap,
                login.BasePath) == (20001, 1_000_000, 10_000_000, 100_000, b".")

    def test_bad_keywords_are_refused_not_cut(self):
        with pytest.raises(ValueError, match="user_id"):
            host.login_record(user_id="u" * 16)
        host.login_record(user_id="u" * 15)
        with pytest.raises(TypeError, match="user_name"):
            host.login_record(user_name="u1")


if __name__ == "__main__":
    name, workdir = sys.argv[1], sys.argv[2]
    result = globals()["scenario_" + name](workdir)
    sys.stdout.write(json.dumps(result) + "\n")
    sys.stdout.flush()
    os._exit(0)
