"""A strategy process for the session tests: runs one named scenario against the stand-in and
prints what the host saw as one JSON document, then ends the process (the runtime's workers never
end by themselves, as in a real host).

Usage: session_host.py SCENARIO WORKDIR
"""
import ctypes
import json
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))

from quorvane import records, runtime, sim  # noqa: E402

READY = 10002

# Instruments of the scenarios that need known codes: three SHFE, two DCE, one CZCE.
INSTRUMENTS = [
    {"instrumentId": "rb2605", "exchangeId": "SHFE", "productId": "rb", "multiplier": 10,
     "priceTick": 1, "marginRatio": 0.1, "preSettlementPrice": 3500},
    {"instrumentId": "cu2605", "exchangeId": "SHFE", "productId": "cu", "multiplier": 5,
     "priceTick": 10, "marginRatio": 0.1, "preSettlementPrice": 70000},
    {"instrumentId": "au2606", "exchangeId": "SHFE", "productId": "au", "multiplier": 1000,
     "priceTick": 0.02, "marginRatio": 0.1, "preSettlementPrice": 500},
    {"instrumentId": "m2605", "exchangeId": "DCE", "productId": "m", "multiplier": 10,
     "priceTick": 1, "marginRatio": 0.1, "preSettlementPrice": 3000},
    {"instrumentId": "i2605", "exchangeId": "DCE", "productId": "i", "multiplier": 100,
     "priceTick": 0.5, "marginRatio": 0.1, "preSettlementPrice": 800},
    {"instrumentId": "SR605", "exchangeId": "CZCE", "productId": "SR", "multiplier": 10,
     "priceTick": 1, "marginRatio": 0.1, "preSettlementPrice": 6000},
]


class Host:
    """One client against the stand-in, with every response event recorded in arrival order."""

    def __init__(self, workdir, gap=20_000, password=b"pw", connect_timeout=5_000_000):
        self.sim = sim.Sim()
        self.sim.set_flow_control(0, 0)
        self.sim.set_latency(200)
        self.rt = runtime.Runtime()
        self.rt.set_run_mode(ord("1"))
        self.events = []
        self.loops = 0
        self.lock = threading.Lock()
        self.login = records.CQVLoginField()
        self.login.UserType = 20001
        self.login.UserID = b"u1"
        self.login.Password = password
        self.login.BrokerID = b"9999"
        self.login.AppID = b"simnow_client_test"
        self.login.AuthCode = b"0000000000000000"
        self.login.TraderFront = b"tcp://127.0.0.1:1"
        self.login.MdFront = b"tcp://127.0.0.1:2"
        self.login.BasePath = workdir.encode()
        self.login.TaskExecuteGap = gap
        self.login.ConnectTimeout = connect_timeout
        self.login.LoopGap = 1000
        self.client = None

    def on_response(self, event_id, record, is_last, user, error_id, message):
        with self.lock:
            self.events.append([event_id, error_id, message, bool(record), bool(is_last)])

    def on_loop(self):
        self.loops += 1

    def start(self, loop=True):
        self.client = self.rt.init(0, self.login, None, self.on_response, self.on_loop, None)
        if loop:
            threading.Thread(target=self.rt.loop, daemon=True).start()
        return self.client

    def wait_for(self, predicate, timeout=20.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                if predicate(self.events):
                    return True
            time.sleep(0.005)
        return False

    def ids(self):
        with self.lock:
            return [e[0] for e in self.events]

    def requests(self, api="T"):
        return [r.name for r in self.sim.requests() if r.api == api]


def has(event_id, count=1):
    return lambda events: sum(1 for e in events if e[0] == event_id) >= count


def scenario_startup(host):
    host.start()
    ready = host.wait_for(has(11102))
    time.sleep(0.1)
    return {"ready": ready, "events": host.events, "loops": host.loops,
            "cash": host.client.usable_cash()}


def scenario_login_refused(host):
    host.sim.load_scenario({"openAccounts": False,
                            "users": [{"userId": "u1", "password": "right"}]})
    host.start()
    host.wait_for(has(11101))
    time.sleep(0.3)
    return {"events": host.events, "loops": host.loops, "requests": host.requests()}


def scenario_login_error_retried(host):
    host.sim.hold_answers("T:ReqUserLogin", 1)
    host.start()
    host.wait_for(lambda events: "ReqUserLogin" in host.requests())
    host.sim.deliver("T", "OnRspUserLogin", None, error_id=7, error_msg="busy".encode("gb2312"))
    ready = host.wait_for(has(READY))
    return {"ready": ready, "events": host.events, "requests": host.requests()}


def scenario_disconnect_midway(host):
    host.sim.hold_answers("ReqQryTrade", 1)
    host.start()
    host.wait_for(lambda events: "ReqQryTrade" in host.requests())
    host.sim.drop_front("T", 4097, 100_000)
    ready = host.wait_for(has(READY))
    return {"ready": ready, "events": host.events, "requests": host.requests()}


def scenario_exit(host):
    host.start()
    host.wait_for(has(READY))
    time.sleep(0.1)
    before = host.loops
    host.client.stop()
    # A turn that began before the stop may still call once; then the count stands still.
    deadline = time.monotonic() + 5
    stopped_at = host.loops
    while time.monotonic() < deadline:
        time.sleep(0.2)
        if host.loops == stopped_at:
            break
        stopped_at = host.loops
    time.sleep(0.3)
    return {"before": before, "stopped_at": stopped_at, "after": host.loops}


def scenario_connect_timeout(host):
    host.sim.drop_front("T", 4097, 0)
    host.login.ConnectTimeout = 1_000_000
    started = time.monotonic()
    try:
        host.start(loop=False)
        code = 0
    except runtime.InitError as error:
        code = error.code
    return {"code": code, "seconds": time.monotonic() - started}


def scenario_invalid_task(host):
    host.start()
    host.wait_for(has(READY))
    lib = host.rt.lib
    lib.addTask(host.client.handle, 11307, None, 1, 0, 0, 0)
    host.wait_for(has(11307))
    time.sleep(0.2)
    return {"events": [e for e in host.events if e[0] == 11307]}


def scenario_time_out(host):
    host.start()
    host.wait_for(has(READY))
    host.sim.hold_answers("ReqQryInvestor", 1)
    command = records.CQVQueryCommandField()
    host.rt.lib.addTask(host.client.handle, 11301, ctypes.byref(command), 1, 0, 0, 0)
    host.wait_for(has(11301), timeout=15.0)
    return {"events": [e for e in host.events if e[0] == 11301]}


def scenario_refused_send_retried(host):
    host.start()
    host.wait_for(has(READY))
    host.sim.refuse_requests("ReqQryExchange", -3, 1)
    host.rt.lib.addTask(host.client.handle, 11406, None, 1, 1, 50_000, 0)
    host.wait_for(lambda events: sum(1 for e in events if e[0] == 11406) >= 2)
    return {"events": [e for e in host.events if e[0] == 11406],
            "sent": host.requests().count("ReqQryExchange")}


def scenario_market_data_down_at_start(host):
    """The market-data front is down while the trading session starts: the host's queries go on,
    and the market data logs in once, with its subscriptions, when its front comes back."""
    host.sim.load_scenario({"instruments": INSTRUMENTS})
    host.sim.drop_front("M", 4097, 0)
    host.start(loop=False)
    host.client.subscribe(["rb2605"], "SHFE")
    threading.Thread(target=host.rt.loop, daemon=True).start()
    ready = host.wait_for(has(READY))
    command = records.CQVQueryCommandField()
    host.rt.lib.addTask(host.client.handle, 11301, ctypes.byref(command), 1, 0, 0, 0)
    answered_while_down = host.wait_for(has(11301), timeout=5.0)
    time.sleep(0.3)
    while_down = [e[:2] for e in host.events if e[0] == 11102]
    host.sim.restore_front("M")
    host.wait_for(lambda events: any(e[0] == 11102 and e[1] == 0 for e in events))
    host.wait_for(has(11007))
    time.sleep(0.3)
    return {"ready": ready, "answered_while_down": answered_while_down, "while_down": while_down,
            "after": [e[:2] for e in host.events if e[0] == 11102][len(while_down):],
            "md_logins": host.requests("M").count("ReqUserLogin"),
            "subscriptions": _md_subscriptions(host)}


def scenario_market_data_login_lost_in_a_drop(host):
    """The chain's market-data login is answered late, and the market-data front drops before the
    answer comes (the drop loses it). The session logs in by itself when its front is back; that
    login ends the chain's step, so a host task queued behind the step goes out at once."""
    host.sim.load_scenario({"instruments": INSTRUMENTS})
    host.sim.hold_answers("M:ReqUserLogin", 1)
    host.start(loop=False)
    host.client.subscribe(["rb2605"], "SHFE")
    threading.Thread(target=host.rt.loop, daemon=True).start()
    ready = host.wait_for(has(READY))
    step_sent = host.wait_for(lambda events: "ReqUserLogin" in host.requests("M"))
    # Queued while the step's login waits for its answer: it goes out only once the step has ended.
    command = records.CQVQueryCommandField()
    host.rt.lib.addTask(host.client.handle, 11301, ctypes.byref(command), 1, 0, 0, 0)
    time.sleep(0.05)
    host.sim.drop_front("M", 4097, 100_000)
    dropped_at = time.monotonic()
    logged_in = host.wait_for(lambda events: any(e[0] == 11102 and e[1] == 0 for e in events))
    # Long enough for the step to time out and be retried, should it still wait.
    answered = host.wait_for(has(11301), timeout=12.0)
    seconds = time.monotonic() - dropped_at
    host.wait_for(has(11007))
    time.sleep(0.3)
    return {"ready": ready, "step_sent": step_sent, "logged_in": logged_in,
            "answered": answered, "seconds": seconds,
            "logins": [e[:3] for e in host.events if e[0] == 11102],
            "md_logins": host.requests("M").count("ReqUserLogin"),
            "subscriptions": _md_subscriptions(host)}


def scenario_trader_reconnect_keeps_the_market_data_login(host):
    """The trader front drops after the start-up: its chain runs again, market-data login step
    included, while the market-data session stays logged in. The step completes without a login."""
    host.sim.load_scenario({"instruments": INSTRUMENTS})
    host.start(loop=False)
    host.client.subscribe(["rb2605"], "SHFE")
    threading.Thread(target=host.rt.loop, daemon=True).start()
    host.wait_for(lambda events: any(e[0] == 11102 and e[1] == 0 for e in events))
    host.wait_for(has(11007))
    host.sim.drop_front("T", 4097, 100_000)
    ready_again = host.wait_for(has(READY, 2))
    # Queued behind the chain's market-data login step: answered only once the step has ended.
    command = records.CQVQueryCommandField()
    host.rt.lib.addTask(host.client.handle, 11301, ctypes.byref(command), 1, 0, 0, 0)
    started = time.monotonic()
    answered = host.wait_for(has(11301), timeout=12.0)
    seconds = time.monotonic() - started
    time.sleep(0.3)
    return {"ready_again": ready_again, "answered": answered, "seconds": seconds,
            "logins": [e[:3] for e in host.events if e[0] == 11102],
            "md_logins": host.requests("M").count("ReqUserLogin"),
            "subscriptions": _md_subscriptions(host)}


def _md_subscriptions(host):
    subs = []
    for r in host.sim.requests():
        if r.api == "M" and r.name == "SubscribeMarketData":
            subs.append(sorted(c.decode() for c in r.record.split(b"\0") if c))
    return subs


def scenario_subscribe_before_login(host):
    host.sim.load_scenario({"instruments": INSTRUMENTS})
    host.start(loop=False)
    shfe = ["rb2605", "cu2605", "au2606"]
    dce = ["m2605", "i2605"]
    results = [host.client.subscribe(shfe, "SHFE"), host.client.subscribe(dce, "DCE"),
               host.client.subscribe(["nosuch1"])]
    threading.Thread(target=host.rt.loop, daemon=True).start()
    host.wait_for(has(11102))
    host.wait_for(has(11007, len(shfe) + len(dce)))
    time.sleep(0.2)
    return {"results": results, "subscriptions": _md_subscriptions(host), "shfe": shfe, "dce": dce}


def scenario_unknown_moves_at_login(host):
    host.sim.load_scenario({"instruments": INSTRUMENTS})
    host.start(loop=False)
    known = "SR605"
    # The instrument table is empty before the first login, so both go to the "U" set.
    host.client.subscribe([known, "nosuch1"])
    threading.Thread(target=host.rt.loop, daemon=True).start()
    host.wait_for(has(11102))
    host.wait_for(has(11007))
    time.sleep(0.2)
    return {"known": known, "subscriptions": _md_subscriptions(host)}


SCENARIOS = {name[len("scenario_"):]: fn for name, fn in globals().items()
             if name.startswith("scenario_")}


def main():
    name, workdir = sys.argv[1], sys.argv[2]
    host = Host(workdir)
    result = SCENARIOS[name](host)
    sys.stdout.write(json.dumps(result) + "\n")
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    main()
