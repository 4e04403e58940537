"""Times the `buy` export called from Python through ctypes, as a strategy calls it, against the
stand-in CTP libraries: a client logs in, loads an SHFE instrument with 2 yesterday and 1 today
short lots, and each call buys 5 lots (close yesterday 2, close today 1, open 2: three orders up
to the library call). Before each call the three frozen counters of the position are set back to
0, as fills would, so every call walks the same two-step close plan.

The baseline, timed in the same run, is the same loop calling `getUsableCash` (an export that only
takes a flag and copies a double), so the difference is what order entry adds to a ctypes call.
During the timed loop the stand-in holds back its answers (no order events reach the host, so
the loop never waits for a library thread that wants the interpreter lock) but still checks each
request in its simulated broker, which looks through every order it holds: the figure includes
that check, which grows with the orders already sent, so the run is short and the median call is
reported.

Usage: /usr/bin/python3 bench/trading/buy_ctypes.py [CALLS, default 2000]
with QUORVANE_LIB naming the built runtime (the stand-in's control library is found beside it).
"""
import os
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))

from quorvane import records, runtime, sim  # noqa: E402

READY = 10002
SCENARIO = {
    "tradingDay": "20260108",
    "instruments": [{"instrumentId": "bq2605", "exchangeId": "SHFE", "productId": "bq",
                     "multiplier": 10, "priceTick": 1, "marginRatio": 0.1,
                     "preSettlementPrice": 3500, "maxLimitOrderVolume": 500}],
    "users": [{"userId": "u1", "password": "pw", "funds": 1e12}],
    "positions": [{"userId": "u1", "instrumentId": "bq2605", "direction": "short",
                   "yesterday": 2, "today": 1}],
    "orders": [],
    "trades": [],
}


def start_client(workdir):
    control = sim.Sim()
    control.reset()
    control.set_flow_control(0, 0)
    control.set_latency(0)
    control.load_scenario(SCENARIO)
    rt = runtime.Runtime()
    rt.set_run_mode(ord("1"))
    ready = threading.Event()

    def on_response(event_id, record, is_last, user, error_id, message):
        if event_id == READY:
            ready.set()

    login = records.CQVLoginField()
    login.UserType = 20001
    login.UserID = b"u1"
    login.Password = b"pw"
    login.BrokerID = b"9999"
    login.AppID = b"simnow_client_test"
    login.AuthCode = b"0000000000000000"
    login.TraderFront = b"tcp://127.0.0.1:1"
    login.MdFront = b"tcp://127.0.0.1:2"
    login.BasePath = workdir.encode()
    login.TaskExecuteGap = 1000
    login.LoopGap = 1000
    client = rt.init(0, login, None, on_response, None, None)
    threading.Thread(target=rt.loop, daemon=True).start()
    if not ready.wait(30):
        sys.exit("the client did not become ready")
    return rt, client, control, on_response


def timed(calls, reset, call):
    """The median time of one call, in nanoseconds."""
    times = []
    clock = time.perf_counter_ns
    for _ in range(calls):
        reset()
        start = clock()
        call()
        times.append(clock() - start)
    times.sort()
    return times[len(times) // 2]


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    with tempfile.TemporaryDirectory() as workdir:
        rt, client, control, _keep = start_client(workdir)
        lib, handle = rt.lib, client.handle
        position = client.position("bq2605", "SHFE")
        if position is None or position.ShortVolume != 3:
            sys.exit("the position did not load")

        def reset():
            position.ShortVolumeHistoryFrozen = 0
            position.ShortVolumeTodayFrozen = 0
            position.ShortVolumeFrozen = 0

        def buy():
            lib.buy(handle, b"bq2605", 5, b"0", 3500.0, 1, b"SHFE", 0)

        def baseline():
            lib.getUsableCash(handle)

        first = records.view(records.CQVOrderField,
                             lib.buy(handle, b"bq2605", 5, b"0", 3500.0, 1, b"SHFE", 0))
        plan = []
        record = first
        while record is not None:
            plan.append((record.OffsetFlag.decode(), record.OriginalVolume))
            record = record.NextOrder.contents if record.NextOrder else None
        print("orders of one call:", plan)
        time.sleep(0.5)  # the first call's answers are delivered
        control.hold_answers("ReqOrderInsert")
        base = timed(calls, reset, baseline)
        order = timed(calls, reset, buy)
        print("getUsableCash via ctypes: %8.0f ns per call (median)" % base)
        print("buy via ctypes:           %8.0f ns per call (median)" % order)
        print("order entry added:        %8.0f ns per call (%.1f x the baseline call)"
              % (order - base, order / base))
        sys.stdout.flush()
        os._exit(0)  # the runtime's workers never end by themselves


if __name__ == "__main__":
    main()
