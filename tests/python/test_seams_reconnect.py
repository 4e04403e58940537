"""Reconnects, outages and day rolls end to end: a host trades on the stand-in while its trader or
market-data front goes down, and afterwards the runtime's orders, positions, frozen lots and cash
are the exchange's, with every fill raised once.

Each scenario runs in a fresh process (clients live until their process ends): the test runs this
file as a script, which prints what the host saw as one JSON line (the script does not load pytest,
to start quickly).
"""
import collections
import json
import math
import os
import random
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))

from quorvane import codes, host, records, sim  # noqa: E402

DAY = "20260108"
INSTRUMENTS = [
    {"instrumentId": "rb2605", "exchangeId": "SHFE", "productId": "rb", "multiplier": 10,
     "priceTick": 1, "marginRatio": 0.1, "preSettlementPrice": 3500},
    {"instrumentId": "m2605", "exchangeId": "DCE", "productId": "m", "multiplier": 10,
     "priceTick": 1, "marginRatio": 0.1, "preSettlementPrice": 3000},
]
TICKS = os.path.join(HERE, "..", "..", "sim", "data", "sample_ticks.csv")


def wait(predicate, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.005)
    return predicate()


class Journal(host.Strategy):
    """Every order event and the count of each response event, in arrival order."""

    def __init__(self):
        self.lock = threading.Lock()
        self.orders = []
        self.responses = collections.Counter()

    def on_trade(self, order, position, usable_cash):
        with self.lock:
            self.orders.append(["Traded", order.OrderID, order.TradedVolumeChange,
                                order.LastTradedPrice])

    def on_order(self, event_id, order, position, usable_cash):
        with self.lock:
            self.orders.append([codes.event_name(event_id), order.OrderID,
                                order.TradedVolumeChange, order.LastTradedPrice])

    def on_ready(self):
        with self.lock:
            self.responses[codes.READY] += 1

    def on_response(self, event_id, record_address, is_last, error_id, message):
        with self.lock:
            self.responses[event_id] += 1

    def count(self, name, order_id=None):
        with self.lock:
            return sum(1 for e in self.orders if e[0] == name and order_id in (None, e[1]))

    def readies(self):
        with self.lock:
            return self.responses[codes.READY]


def start(workdir, scenario=None, strategy=None):
    market = sim.Sim()
    market.load_scenario(dict({"tradingDay": DAY, "instruments": INSTRUMENTS}, **(scenario or {})))
    market.set_flow_control(0, 0)
    market.set_latency(200)
    market.set_md_rate(0)
    journal = strategy or Journal()
    client = host.Client(journal, user_id="u1", password="pw", broker_id="9999",
                         app_id="simnow_client_test", auth_code="0000000000000000",
                         trader_front="tcp://127.0.0.1:1", md_front="tcp://127.0.0.1:2",
                         base_path=workdir, task_execute_gap=5_000, loop_gap=2_000)
    client.start()
    assert client.wait_ready(20.0)
    return market, client, journal


def depth(instrument, bid, ask, last=None, volume=100):
    d = records.CThostFtdcDepthMarketDataField()
    d.InstrumentID = instrument.encode()
    d.LastPrice = last if last is not None else (bid + ask) / 2
    d.BidPrice1, d.BidVolume1 = bid, volume
    d.AskPrice1, d.AskVolume1 = ask, volume
    return d


def outage(market, journal, while_down=None):
    """Drops the trader front, runs `while_down` at the exchange, brings the front back and waits
    for the reloaded session to be ready."""
    readies = journal.readies()
    market.drop_front("T", 4097, 0)
    time.sleep(0.05)
    if while_down is not None:
        while_down()
        time.sleep(0.05)
    market.restore_front("T")
    assert wait(lambda: journal.readies() > readies, 20.0)


def side(position, prefix):
    if position is None:
        return [0, 0]
    return [getattr(position, prefix + "Volume"), getattr(position, prefix + "VolumeFrozen")]


# ---- Scenarios (run in their own process) -------------------------------------------------------

def scenario_flat_while_down(workdir):
    market, client, journal = start(workdir, {"positions": [
        {"userId": "u1", "instrumentId": "rb2605", "direction": "long", "yesterday": 2}]})
    market.push_depth(depth("rb2605", 3499, 3501))
    close = client.close_long("rb2605", 2, price=3520.0, exchange_id="SHFE")
    assert wait(lambda: journal.count("Accepted") == 1)
    before = side(client.position("rb2605", "SHFE"), "Long")
    # The resting sell fills while the trader front is down.
    outage(market, journal, lambda: market.push_depth(depth("rb2605", 3520, 3521)))
    time.sleep(0.1)
    return {"before": before, "after": side(client.position("rb2605", "SHFE"), "Long"),
            "events": [e for e in journal.orders if e[1] == close.OrderID],
            "status": codes.status_name(close.OrderStatus), "traded": close.TradedVolume}


def scenario_dce_reload_while_closing(workdir):
    market, client, journal = start(workdir, {"positions": [
        {"userId": "u1", "instrumentId": "m2605", "direction": "long", "yesterday": 5}]})
    market.push_depth(depth("m2605", 2999, 3001))
    close = client.close_long("m2605", 3, price=3050.0, exchange_id="DCE")
    assert wait(lambda: journal.count("Accepted") == 1)
    outage(market, journal)
    reloaded = side(client.position("m2605", "DCE"), "Long")
    client.cancel(close)
    assert wait(lambda: journal.count("Canceled") == 1)
    canceled = side(client.position("m2605", "DCE"), "Long")
    sold = client.chain(client.sell("m2605", 5, price=3050.0, exchange_id="DCE"))
    return {"reloaded": reloaded, "canceled": canceled,
            "sold": [[o.OffsetFlag.decode(), o.OriginalVolume] for o in sold]}


def scenario_cancel_refused(workdir):
    market, client, journal = start(workdir)
    market.push_depth(depth("rb2605", 3499, 3501))
    order = client.buy("rb2605", 1, price=3400.0, exchange_id="SHFE")
    assert wait(lambda: journal.count("Accepted") == 1)
    # The first cancel goes through at the exchange, but its report is held back, so the order
    # still works here when the second cancel is refused as too late.
    market.hold_answers("ReqOrderAction", 1)
    codes_ = [client.cancel(order), client.cancel(order)]
    assert wait(lambda: journal.count("CancelRejected") >= 1)
    time.sleep(0.2)
    market.release_held()
    assert wait(lambda: journal.count("Canceled") == 1)
    time.sleep(0.1)
    return {"codes": codes_, "refusals": journal.count("CancelRejected"),
            "cancels": journal.count("Canceled")}


def scenario_market_data_reconnect(workdir):
    market, client, journal = start(workdir)
    client.subscribe(["rb2605"], "SHFE")
    market.set_md_rate(100)
    assert wait(lambda: client.ticks_seen >= 3)
    logins = sum(1 for r in market.requests() if r.api == "M" and r.name == "ReqUserLogin")
    market.drop_front("M", 4097, 200_000)
    assert wait(lambda: journal.responses[11003] == 1)
    time.sleep(0.05)
    seen = client.ticks_seen
    ticks_back = wait(lambda: client.ticks_seen >= seen + 3, 5.0)
    market.set_md_rate(0)
    requests = [r.name for r in market.requests() if r.api == "M"]
    return {"ticks_back": ticks_back, "logins": requests.count("ReqUserLogin") - logins,
            "trader_logins": journal.responses[11101]}


def scenario_day_roll(workdir):
    market, client, journal = start(workdir)
    market.push_depth(depth("rb2605", 3499, 3501))
    first = client.buy("rb2605", 1, price=3501.0, exchange_id="SHFE")
    resting = client.buy("rb2605", 1, price=3400.0, exchange_id="SHFE")
    assert wait(lambda: journal.count("UpdateCost") == 1 and
                journal.count("Accepted", resting.OrderID) == 1)
    first_ids = [t.TradeID.decode().strip() for t in client.exchange_trades()]

    def next_day():
        market.load_scenario({"tradingDay": "20260109", "instruments": INSTRUMENTS})
        market.set_flow_control(0, 0)
        market.set_latency(200)

    outage(market, journal, next_day)
    rolled = journal.responses[codes.DAY_ROLLING]
    market.clear_requests()
    cancel_all = client.cancel_all()
    market.push_depth(depth("rb2605", 3499, 3501))
    second = client.buy("rb2605", 1, price=3501.0, exchange_id="SHFE")
    wait(lambda: journal.count("UpdateCost", second.OrderID) == 1, 3.0)
    second_ids = [t.TradeID.decode().strip() for t in client.exchange_trades()]
    return {"first_ids": first_ids, "second_ids": second_ids, "rolled": rolled,
            "resting": [codes.status_name(resting.OrderStatus), resting.CanceledVolume],
            "cancel_all": cancel_all,
            "actions": [r.name for r in market.requests() if r.name == "ReqOrderAction"],
            "second": [journal.count("Traded", second.OrderID),
                       journal.count("UpdateCost", second.OrderID), second.Turnover],
            "first": first.OrderID}


class Trader(Journal):
    """Trades the replayed ticks: every few ticks of an instrument it buys or sells a lot or two
    at the touch or a tick away (some fill at once, some rest), and cancels what rests too long."""

    def __init__(self):
        super().__init__()
        self.rng = random.Random(7)
        self.ticks = collections.Counter()
        self.placed = []

    def on_tick(self, tick):
        instrument = tick.StandardID.decode()
        exchange = tick.ExchangeID.decode()
        self.ticks[instrument] += 1
        n = self.ticks[instrument]
        if n % 25 == 0:
            self.client.cancel_all()
        if n % 7 != 0:
            return
        lots = self.rng.choice([1, 2])
        away = self.rng.choice([0, 0, 1, 2])
        if self.rng.random() < 0.5:
            order = self.client.buy(instrument, lots, price=tick.AskPrice1 - away,
                                    exchange_id=exchange)
        else:
            order = self.client.sell(instrument, lots, price=tick.BidPrice1 + away,
                                     exchange_id=exchange)
        if order is not None:
            self.placed.extend(self.client.chain(order))


STATUS_AT_EXCHANGE = {"0": "Finished", "5": "Finished", "1": "Working", "3": "Working"}


def scenario_replay_with_outages(workdir):
    trader = Trader()
    market, client, _ = start(workdir, {"instruments": INSTRUMENTS + [
        {"instrumentId": "rb2705", "exchangeId": "SHFE", "productId": "rb", "multiplier": 10,
         "priceTick": 1, "marginRatio": 0.1, "preSettlementPrice": 3500},
        {"instrumentId": "m2705", "exchangeId": "DCE", "productId": "m", "multiplier": 10,
         "priceTick": 1, "marginRatio": 0.1, "preSettlementPrice": 3000}]}, trader)
    client.subscribe(["rb2705"], "SHFE")
    client.subscribe(["m2705"], "DCE")
    assert wait(lambda: trader.responses[11007] >= 2)

    stop = threading.Event()
    drops = collections.Counter()

    def drop_fronts():
        rng = random.Random(3)
        while not stop.wait(0.35):
            api = "T" if drops["T"] <= drops["M"] else "M"
            market.drop_front(api, 4097, rng.randint(60_000, 150_000))
            drops[api] += 1

    dropper = threading.Thread(target=drop_fronts)
    dropper.start()
    # The sample's twelve and a half minutes in about three seconds.
    market.replay(TICKS, 250.0)
    finished = market.replay_wait(60.0)
    stop.set()
    dropper.join()

    # Settle: let the fronts come back, end every working order, and reload once more so that
    # cash is the account's.
    time.sleep(0.3)
    assert wait(lambda: client.cancel_all() == 0 and
                all(o.OrderStatus != b"3" for o in trader.placed), 10.0)
    outage(market, trader)
    time.sleep(0.2)

    runtime = {
        "positions": {i: {s: [getattr(client.position(i, e), s + k) if client.position(i, e)
                              else 0 for k in ("VolumeHistory", "VolumeToday", "Volume",
                                               "VolumeFrozen")]
                          for s in ("Long", "Short")}
                      for i, e in (("rb2705", "SHFE"), ("m2705", "DCE"))},
        "cash": client.usable_cash,
        "orders": {str(o.OrderID): [codes.status_name(o.OrderStatus), o.TradedVolume]
                   for o in trader.placed if o.OrderStatus in (b"3", b"4")},
    }
    with trader.lock:
        traded = collections.defaultdict(lambda: [0, 0])
        for event in trader.orders:
            if event[0] == "Traded":
                traded[str(event[1])][0] += 1
                traded[str(event[1])][1] += event[2]

    account = client.trading_account()
    exchange_trades = collections.defaultdict(lambda: [0, 0])
    for trade in client.exchange_trades():
        ref = str(int(trade.OrderRef.decode().strip()))
        exchange_trades[ref][0] += 1
        exchange_trades[ref][1] += trade.Volume
    exchange_orders = {}
    for order in client.query(codes.QRY_ORDER, records.CThostFtdcOrderField):
        ref = str(int(order.OrderRef.decode().strip()))
        exchange_orders[ref] = [STATUS_AT_EXCHANGE.get(order.OrderStatus.decode(), "?"),
                                order.VolumeTraded]
    positions = {i: {"Long": [0, 0, 0, 0], "Short": [0, 0, 0, 0]} for i in ("rb2705", "m2705")}
    for p in client.exchange_positions():
        instrument = p.InstrumentID.decode()
        if instrument not in positions or p.PosiDirection.decode() not in "23":
            continue
        s = "Long" if p.PosiDirection.decode() == "2" else "Short"
        row = positions[instrument][s]
        row[0 if p.PositionDate.decode() == "2" else 1] += p.Position
        row[2] += p.Position
        row[3] += p.ShortFrozen if s == "Long" else p.LongFrozen
    return {"finished": finished, "drops": dict(drops), "runtime": runtime,
            "traded_events": traded, "exchange_trades": exchange_trades,
            "exchange": {"positions": positions, "cash": account.Available,
                         "orders": exchange_orders}}


# ---- Tests ---------------------------------------------------------------------------------------

def run(scenario, tmp_path, lib_path, timeout=120):
    env = dict(os.environ, QUORVANE_LIB=lib_path)
    done = subprocess.run([sys.executable, __file__, scenario, str(tmp_path)], env=env,
                          timeout=timeout, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


class TestTraderOutage:
    def test_a_position_closed_while_down_is_flat_and_its_fill_raised_once(self, tmp_path,
                                                                         lib_path):
        seen = run("flat_while_down", tmp_path, lib_path)
        assert seen["before"] == [2, 2]
        assert seen["after"] == [0, 0]
        assert seen["status"] == "Finished" and seen["traded"] == 2
        traded = [e for e in seen["events"] if e[0] == "Traded"]
        assert traded == [["Traded", traded[0][1], 2, 3520.0]]
        assert [e[0] for e in seen["events"]].count("UpdateCost") == 1

    def test_cancelling_a_close_after_a_reload_frees_its_lots(self, tmp_path, lib_path):
        seen = run("dce_reload_while_closing", tmp_path, lib_path)
        assert seen["reloaded"] == [5, 3]
        assert seen["canceled"] == [5, 0]
        assert seen["sold"] == [["1", 5]]

    def test_a_refused_cancel_is_raised_once(self, tmp_path, lib_path):
        seen = run("cancel_refused", tmp_path, lib_path)
        assert seen["codes"] == [0, 0]
        assert seen["refusals"] == 1
        assert seen["cancels"] == 1


class TestMarketDataOutage:
    def test_the_feed_logs_in_again_and_resubscribes_on_its_own(self, tmp_path, lib_path):
        seen = run("market_data_reconnect", tmp_path, lib_path)
        assert seen["ticks_back"]
        assert seen["logins"] == 1
        assert seen["trader_logins"] == 1


class TestDayRoll:
    def test_a_new_day_counts_reused_trade_ids_and_drops_old_working_orders(self, tmp_path,
                                                                          lib_path):
        seen = run("day_roll", tmp_path, lib_path)
        assert seen["rolled"] == 2
        assert seen["first_ids"] == seen["second_ids"]
        assert seen["resting"] == ["Finished", 1]
        assert seen["cancel_all"] == 0 and seen["actions"] == []
        assert seen["second"][:2] == [1, 1] and math.isclose(seen["second"][2], 35010.0)


class TestReplayWithOutages:
    def test_state_matches_the_exchange_and_every_fill_is_raised_once(self, tmp_path, lib_path):
        seen = run("replay_with_outages", tmp_path, lib_path)
        assert seen["finished"]
        assert seen["drops"]["T"] >= 2 and seen["drops"]["M"] >= 2
        exchange = seen["exchange"]
        assert seen["runtime"]["positions"] == exchange["positions"]
        assert math.isclose(seen["runtime"]["cash"], exchange["cash"], rel_tol=1e-9)
        for order_id, state in seen["runtime"]["orders"].items():
            assert state == exchange["orders"].get(order_id), order_id
        assert sum(n for n, _ in seen["exchange_trades"].values()) > 0
        assert seen["traded_events"] == seen["exchange_trades"]


if __name__ == "__main__":
    name, workdir = sys.argv[1], sys.argv[2]
    result = globals()["scenario_" + name](workdir)
    sys.stdout.write(json.dumps(result) + "\n")
    sys.stdout.flush()
    os._exit(0)
