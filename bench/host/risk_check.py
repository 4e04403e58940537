"""Times the pre-trade check per order with every rule on, against the bare order path measured
in the same run: the runtime's buyOpen/sellOpen export called through ctypes on the stand-in,
with no check and no view. Orders rest (a bid far below the market and an offer far above it,
the way a quoting strategy holds them); every round the working orders are canceled outside the
timed part, so that each side holds up to ROUND orders as it would live. The stand-in answers
30 ms after each request, so that no order event competes for the interpreter while a round is
timed. Rounds of both sides
interleave and the fastest of each is compared, so that both meet the same phases of a shared
machine.

Printed, each as a ratio to the bare export of the same phase: in short rounds, each starting cold
after the wait for the exchange's answers, the check per order between exports (its admit and
placed around each export, timed as the verb's added cost) and the whole verb; in steady runs
(STEADY_EXPORTS orders a side in a row), the check between exports and its decisions back to
back (nothing booked).

Usage: /usr/bin/python3 bench/host/risk_check.py [ORDERS a side per round, default 20]
with QUORVANE_LIB naming the built runtime (the stand-in's control library is found beside it).
"""
import os
import sys
import time

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(ROOT, "python"))

TARGET_MICROS = 2.0       # the check's own cost per order, every rule on
ROUNDS = 60
STEADY, STEADY_EXPORTS, STEADY_ROUNDS = 10_000, 1_000, 5
LATENCY_MICROS = 30_000
INSTRUMENT, EXCHANGE = "rb2605", "SHFE"
SCENARIO = {"tradingDay": "20260108", "instruments": [
    {"instrumentId": INSTRUMENT, "exchangeId": EXCHANGE, "productId": "rb", "multiplier": 10,
     "priceTick": 1, "marginRatio": 0.1, "preSettlementPrice": 3500}]}
# Every rule on, with limits the benchmark never reaches.
EVERY_RULE = {
    "account": {"order_lots": 100, "working_orders": 100_000, "orders_per_second": 1_000_000,
                "margin_share": 1000.0, "daily_loss": 1e12, "collar_ticks": 1000,
                "cancels": 1_000_000, "cancel_warning": 1_000_000},
    "products": {"rb": {"long": 1_000_000, "short": 1_000_000, "net": 1_000_000}},
    "instruments": {INSTRUMENT: {"long": 1_000_000, "short": 1_000_000, "net": 1_000_000,
                                 "working_orders": 100_000, "orders_per_second": 1_000_000}}}


def main():
    from quorvane import Client, sim
    per_round = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    market = sim.Sim()
    market.load_scenario(SCENARIO)
    market.set_flow_control(0, 0)
    # The exchange answers after a round is timed, so that no order event runs on the trader
    # library's thread while one is.
    market.set_latency(LATENCY_MICROS)
    client = Client(None, risk=EVERY_RULE, user_id="u1", password="pw", broker_id="9999",
                    app_id="simnow_client_test", auth_code="0000000000000000",
                    trader_front="tcp://127.0.0.1:1", md_front="tcp://127.0.0.1:2",
                    base_path=os.path.join("/tmp", "quorvane-bench-risk-%d" % os.getpid()),
                    task_execute_gap=20_000, loop_gap=2_000)
    client.start(kill_signal=False)
    assert client.wait_ready(30.0)
    market.set_md_rate(50)
    client.subscribe([INSTRUMENT], EXCHANGE)
    deadline = time.monotonic() + 15
    while client.ticks_seen < 3 and time.monotonic() < deadline:
        time.sleep(0.01)
    market.set_md_rate(0)
    tick = next(iter(client._tick_views.values()))
    bid, ask = tick.LastPrice - 200, tick.LastPrice + 200
    lib, handle = client.lib, client.handle
    code, exchange = INSTRUMENT.encode(), EXCHANGE.encode()
    check = client.risk

    def bare():
        started = time.perf_counter()
        for _ in range(per_round):
            lib.buyOpen(handle, code, 1, b"0", bid, 0, exchange, 0)
            lib.sellOpen(handle, code, 1, b"0", ask, 0, exchange, 0, 0)
        return time.perf_counter() - started

    def checked(count=per_round):
        # The verb's path with its check and nothing else of the client: admit, export, placed.
        view = client.order_view
        spent = 0.0
        for _ in range(count):
            for export, price, rest in (("buyOpen", bid, (0,)), ("sellOpen", ask, (0, 0))):
                started = time.perf_counter()
                ticket = check.admit(export, INSTRUMENT, 1, "0", price, EXCHANGE)
                middle = time.perf_counter()
                if ticket is None:           # counted in the summary, which fails the run
                    continue
                order = view(getattr(lib, export)(handle, code, 1, b"0", price, 0, exchange,
                                                  *rest))
                after = time.perf_counter()
                check.placed(ticket, [order] if order is not None else [])
                spent += (middle - started) + (time.perf_counter() - after)
        return spent

    def verbs():
        started = time.perf_counter()
        for _ in range(per_round):
            client.buy_open(INSTRUMENT, 1, price=bid, exchange_id=EXCHANGE)
            client.sell_open(INSTRUMENT, 1, price=ask, exchange_id=EXCHANGE)
        return time.perf_counter() - started

    def alone():
        # The check's decisions back to back, no export between them, in a steady run: the
        # interpreter's caches stay warm. Nothing is booked, so the working orders stay.
        started = time.perf_counter()
        for _ in range(STEADY):
            check.placed(check.admit("buyOpen", INSTRUMENT, 1, "0", bid, EXCHANGE), [])
            check.placed(check.admit("sellOpen", INSTRUMENT, 1, "0", ask, EXCHANGE), [])
        return time.perf_counter() - started

    def bare_steady():
        started = time.perf_counter()
        for _ in range(STEADY_EXPORTS):
            lib.buyOpen(handle, code, 1, b"0", bid, 0, exchange, 0)
            lib.sellOpen(handle, code, 1, b"0", ask, 0, exchange, 0, 0)
        return time.perf_counter() - started

    def settle():
        time.sleep(2 * LATENCY_MICROS / 1e6)      # the orders' answers, then the cancels'
        client.cancel_all()
        time.sleep(2 * LATENCY_MICROS / 1e6)

    best = {"bare": float("inf"), "check": float("inf"), "verb": float("inf")}
    for n in range(ROUNDS):
        for name, run in sorted((("bare", bare), ("check", checked), ("verb", verbs)),
                                key=lambda item: (hash((n, item[0])) & 0xff)):
            spent = run()
            best[name] = min(best[name], spent)
            settle()
    orders = 2 * per_round
    micros = {name: 1e6 * spent / orders for name, spent in best.items()}
    steady = {"alone": float("inf"), "bare": float("inf"), "check": float("inf")}
    for n in range(STEADY_ROUNDS):
        steady["alone"] = min(steady["alone"], alone() / (2 * STEADY))
        steady["bare"] = min(steady["bare"], bare_steady() / (2 * STEADY_EXPORTS))
        settle()
        steady["check"] = min(steady["check"], checked(STEADY_EXPORTS) / (2 * STEADY_EXPORTS))
        settle()
    steady = {name: 1e6 * spent for name, spent in steady.items()}
    refused = client.risk.summary().refusals
    print("orders per round: %d (%d a side, resting); rounds: %d; refused: %d" % (
        orders, per_round, ROUNDS, refused))
    print("short rounds, each after a wait (cold):")
    print("  bare export (buyOpen/sellOpen through ctypes) %6.2f us per order" % micros["bare"])
    print("  the check between exports, every rule on      %6.2f us per order, %.2fx the export"
          % (micros["check"], micros["check"] / micros["bare"]))
    print("  the whole verb (check, export, views)         %6.2f us per order, %.2fx the export"
          % (micros["verb"], micros["verb"] / micros["bare"]))
    print("steady runs (%d orders a side in a row; %d decisions a side back to back):" % (
        STEADY_EXPORTS, STEADY))
    print("  bare export                                   %6.2f us per order" % steady["bare"])
    print("  the check between exports, every rule on      %6.2f us per order, %.2fx the export"
          % (steady["check"], steady["check"] / steady["bare"]))
    print("  the check back to back, every rule on         %6.2f us per order, %.2fx the export"
          % (steady["alone"], steady["alone"] / steady["bare"]))
    for figure, what in ((micros["check"], "between exports, cold"),
                         (steady["check"], "between exports, steady"),
                         (steady["alone"], "back to back, steady")):
        print("goal: the check under %.1f us per order %s: %s" % (
            TARGET_MICROS, what, "met" if figure < TARGET_MICROS else "NOT met"))
    for decision in client.risk.summary().first:
        print("refused: %s" % decision.text)
    sys.stdout.flush()
    os._exit(0 if refused == 0 else 1)


if __name__ == "__main__":
    main()
