"""Options end to end: the stand-in lists option contracts the way real fronts report them (margin
ratios of DBL_MAX, with underlying, strike and type), and a host that buys, cancels, fills and
sells them keeps a usable cash that is a finite number and the exchange's own.

Each scenario runs in a fresh process (the stand-in's world and the runtime live once per
process): the test runs this file as a script, which prints what the host saw as one JSON line."""
import json
import math
import os
import subprocess
import sys
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))

from quorvane import codes, host, records, sim  # noqa: E402

DAY = "20260108"
CALL = "m2605-C-3000"
INSTRUMENTS = [
    {"instrumentId": "m2605", "exchangeId": "DCE", "multiplier": 10, "priceTick": 1,
     "marginRatio": 0.1, "preSettlementPrice": 3000},
    {"instrumentId": CALL, "exchangeId": "DCE", "productId": "m_o", "multiplier": 10,
     "priceTick": 0.5, "marginRatio": 0.1, "preSettlementPrice": 100, "limitRatio": 0.5,
     "optionType": "call", "underlying": "m2605", "strike": 3000},
]
FUNDS = 1_000_000
QRY_INSTRUMENT = 11402


def depth(instrument, bid, ask, last):
    d = records.CThostFtdcDepthMarketDataField()
    d.InstrumentID = instrument.encode()
    d.LastPrice = last
    d.BidPrice1, d.BidVolume1 = bid, 50
    d.AskPrice1, d.AskVolume1 = ask, 50
    return d


def wait(predicate, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.005)
    return predicate()


def scenario_premium(workdir):
    market = sim.Sim()
    market.load_scenario({"tradingDay": DAY, "instruments": INSTRUMENTS, "initialFunds": FUNDS})
    market.set_flow_control(0, 0)
    market.set_latency(200)
    market.set_md_rate(0)
    client = host.Client(host.Strategy(), user_id="u1", password="pw", broker_id="9999",
                         app_id="simnow_client_test", auth_code="0000000000000000",
                         trader_front="tcp://127.0.0.1:1", md_front="tcp://127.0.0.1:2",
                         base_path=workdir, task_execute_gap=5_000, loop_gap=2_000)
    client.start()
    assert client.wait_ready(20.0)
    out = {}
    listed = client.query(QRY_INSTRUMENT, records.CThostFtdcInstrumentField)
    option = next(i for i in listed if i.InstrumentID.decode() == CALL)
    out["listed"] = [option.ProductClass.decode(), option.LongMarginRatio,
                     option.ShortMarginRatio, option.UnderlyingInstrID.decode(),
                     option.StrikePrice, option.OptionsType.decode()]

    def both(label):
        # The runtime's own cash first: the account answer then sets it to the exchange's.
        cash = client.usable_cash
        out[label] = [cash, client.trading_account().Available]

    market.push_depth(depth(CALL, 99.5, 100.5, 100.0))
    resting = client.buy(CALL, 2, price=90.0, exchange_id="DCE")
    wait(lambda: resting.OrderStatus == b"3")
    both("resting")
    client.cancel(resting)
    wait(lambda: resting.OrderStatus == b"4")
    both("canceled")
    # Bought at the ask; the last price is the trade's, so the exchange marks no profit yet.
    bought = client.buy(CALL, 3, price=101.0, exchange_id="DCE")
    market.push_depth(depth(CALL, 100.0, 100.5, 100.5))
    wait(lambda: bought.TradedVolume == 3)
    both("bought")
    sold = client.sell(CALL, 3, price=100.0, exchange_id="DCE")
    market.push_depth(depth(CALL, 100.0, 101.0, 100.0))
    wait(lambda: sold.TradedVolume == 3)
    both("sold")
    # A sold option moves no cash in the runtime; the account answer brings the exchange's margin.
    cash_before_write = client.usable_cash
    written = client.sell(CALL, 1, price=100.0, exchange_id="DCE")
    market.push_depth(depth(CALL, 100.0, 101.0, 100.0))
    wait(lambda: written.TradedVolume == 1)
    out["written"] = [cash_before_write, client.usable_cash]
    available = client.trading_account().Available
    out["answered"] = [client.usable_cash, available]
    out["orders"] = [o.OrderStatus.decode() for o in (resting, bought, sold, written)]
    return out


def run(scenario, tmp_path, lib_path):
    env = dict(os.environ, QUORVANE_LIB=lib_path)
    done = subprocess.run([sys.executable, __file__, scenario, str(tmp_path)], env=env,
                          timeout=120, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_an_option_trades_by_premium_and_cash_stays_the_exchanges(tmp_path, lib_path):
    seen = run("premium", tmp_path, lib_path)
    kind, long_ratio, short_ratio, underlying, strike, option_type = seen["listed"]
    assert kind == "2" and option_type == "1"
    assert long_ratio == short_ratio == sys.float_info.max
    assert (underlying, strike) == ("m2605", 3000)

    for label in ("resting", "canceled", "bought", "sold", "written", "answered"):
        assert all(math.isfinite(cash) for cash in seen[label]), (label, seen[label])
    # A working buy holds its premium at the order's price; the cancel gives it back.
    assert seen["resting"][0] == pytest.approx(FUNDS - 2 * 90.0 * 10)
    assert seen["canceled"][0] == pytest.approx(FUNDS)
    # Filled at the ask: the premium paid, not the order's price.
    assert seen["bought"][0] == pytest.approx(FUNDS - 3 * 100.5 * 10)
    # Sold back at the bid: the premium received.
    assert seen["sold"][0] == pytest.approx(FUNDS - 3 * 0.5 * 10)
    for label in ("resting", "canceled", "bought", "sold", "answered"):
        runtime_cash, available = seen[label]
        assert runtime_cash == pytest.approx(available, abs=0.01), label
    before, after = seen["written"]
    assert after == before
    assert seen["orders"] == ["4", "4", "4", "4"]


if __name__ == "__main__":
    name, workdir = sys.argv[1], sys.argv[2]
    result = globals()["scenario_" + name](workdir)
    sys.stdout.write(json.dumps(result) + "\n")
    sys.stdout.flush()
    os._exit(0)
