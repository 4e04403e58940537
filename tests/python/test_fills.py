"""What a strategy sees of its fills, whichever order a front sends an order report and its trade
report in: on_trade gets the order holding the price and the lots of the fill it reports, on_fill
each fill once with its own price and lots, and a fill whose trade report never comes still
reaches on_trade, once the session is ready again after a reconnection.

The reports are handed to the runtime through the stand-in as a front would send them, on one order
resting far from the market (so that the exchange itself fills nothing). Each scenario runs in a
fresh process, as in test_host_client.
"""
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))

from quorvane import Client, Strategy, sim  # noqa: E402
from quorvane.trading import records  # noqa: E402

INSTRUMENT, EXCHANGE, DAY = "rb2605", "SHFE", "20260108"
SCENARIO = {"tradingDay": DAY, "instruments": [
    {"instrumentId": INSTRUMENT, "exchangeId": EXCHANGE, "productId": "rb", "multiplier": 10,
     "priceTick": 1, "marginRatio": 0.1, "preSettlementPrice": 3500}]}


def wait(predicate, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.01)
    return False


class Journal(Strategy):
    def __init__(self):
        self.calls = []

    def on_ready(self):
        self.calls.append(["ready"])

    def on_trade(self, order, position, usable_cash):
        self.calls.append(["trade", order.TradedVolume, order.TradedVolumeChange,
                           order.LastTradedPrice])

    def on_fill(self, fill):
        self.calls.append(["fill", fill.price, fill.volume, fill.time, fill.trading_day,
                           fill.direction, fill.offset, fill.order_id, fill.order_sys_id])

    def count(self, kind):
        return sum(1 for c in self.calls if c[0] == kind)


def order_report(order, traded, status):
    report = records.CThostFtdcOrderField()
    report.InstrumentID, report.ExchangeID = INSTRUMENT.encode(), EXCHANGE.encode()
    report.OrderRef = b"%d" % order.OrderID
    report.OrderSysID = order.OrderSysID
    report.Direction, report.CombOffsetFlag = b"0", b"0"
    report.VolumeTotalOriginal, report.VolumeTraded = 3, traded
    report.VolumeTotal = 3 - traded
    report.OrderStatus, report.OrderSubmitStatus = status, b"3"
    report.InsertTime, report.UpdateTime = b"09:30:00", b"09:31:%02d" % traded
    report.TradingDay = DAY.encode()
    return report


def trade_report(order, number, price):
    trade = records.CThostFtdcTradeField()
    trade.InstrumentID, trade.ExchangeID = INSTRUMENT.encode(), EXCHANGE.encode()
    trade.OrderRef, trade.OrderSysID = b"%d" % order.OrderID, order.OrderSysID
    trade.TradeID = b"%12d" % number
    trade.Direction, trade.OffsetFlag = b"0", b"0"
    trade.Price, trade.Volume = price, 1
    trade.TradeDate, trade.TradingDay = DAY.encode(), DAY.encode()
    trade.TradeTime = b"09:31:%02d" % number
    return trade


def scenario_reports(workdir):
    journal = Journal()
    market = sim.Sim()
    market.load_scenario(SCENARIO)
    market.set_flow_control(0, 0)
    client = Client(journal, user_id="u1", password="pw", broker_id="9999",
                    app_id="simnow_client_test", auth_code="0000000000000000",
                    trader_front="tcp://127.0.0.1:1", md_front="tcp://127.0.0.1:2",
                    base_path=workdir, task_execute_gap=20_000, loop_gap=2_000)
    client.start()
    client.wait_ready()
    order = client.buy_open(INSTRUMENT, 3, price=3400.0, exchange_id=EXCHANGE)
    wait(lambda: order.OrderSysID != b"")
    steps = {}
    # The order report first, as fronts send them.
    market.deliver("T", "OnRtnOrder", order_report(order, 1, b"1"))
    market.deliver("T", "OnRtnTrade", trade_report(order, 1, 3401.0))
    wait(lambda: journal.count("fill") == 1)
    steps["order first"] = journal.calls[1:]
    # The trade report first.
    market.deliver("T", "OnRtnTrade", trade_report(order, 2, 3402.0))
    market.deliver("T", "OnRtnOrder", order_report(order, 2, b"1"))
    wait(lambda: journal.count("fill") == 2)
    time.sleep(0.2)
    steps["trade first"] = journal.calls[1 + len(steps["order first"]):]
    # An order report whose trade report is lost.
    done = len(journal.calls)
    market.deliver("T", "OnRtnOrder", order_report(order, 3, b"0"))
    time.sleep(0.3)
    steps["before the reconnection"] = journal.calls[done:]
    market.drop_front("T", 4097, 0)
    time.sleep(0.05)
    market.restore_front("T")
    wait(lambda: journal.count("ready") == 2 and journal.count("trade") == 3, 20.0)
    steps["after it"] = journal.calls[done:]
    steps["sys_id"] = order.OrderSysID.decode().strip()
    steps["order_id"] = order.OrderID
    return steps


def run(scenario, tmp_path, lib_path, timeout=60):
    env = dict(os.environ, QUORVANE_LIB=lib_path)
    done = subprocess.run([sys.executable, __file__, scenario, str(tmp_path)], env=env,
                          timeout=timeout, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


class TestFillEvents:
    def test_on_trade_holds_the_price_of_its_fill_whichever_report_comes_first(
            self, tmp_path, lib_path):
        seen = run("reports", tmp_path, lib_path)
        fill = [seen["order_id"], seen["sys_id"]]
        assert seen["order first"] == [
            ["trade", 1, 1, 3401.0],
            ["fill", 3401.0, 1, "09:31:01", DAY, "Buy", "Open"] + fill]
        assert seen["trade first"] == [
            ["trade", 2, 1, 3402.0],
            ["fill", 3402.0, 1, "09:31:02", DAY, "Buy", "Open"] + fill]
        # Lots no trade report explains reach on_trade when the session is ready again.
        assert seen["before the reconnection"] == []
        assert seen["after it"] == [["trade", 3, 1, 3402.0], ["ready"]]


if __name__ == "__main__":
    scenario, workdir = sys.argv[1], sys.argv[2]
    result = globals()["scenario_" + scenario](workdir)
    print(json.dumps(result), flush=True)
    os._exit(0)
