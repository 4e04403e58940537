"""The pre-trade check as a strategy meets it: on a live client of the stand-in (each rule's
refusal with its reason, the cancel warnings, cancels that always go, the kill switch by call and
by SIGUSR1, what observers hear) and in replays (a quoting strategy under the default limits on
the sample day, with its report; the daily loss; cancel counts that start again each trading
day; the demo unchanged by the defaults); and the limits a caller may give, with their errors.

Runs of the stand-in are child processes: its world and the runtime live once per process."""
import json
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
SAMPLE = os.path.join(ROOT, "sim", "data", "sample_ticks.csv")
DAYS = os.path.join(ROOT, "sim", "data", "days")
SCENARIO = os.path.join(ROOT, "examples", "demo_scenario.json")
sys.path.insert(0, os.path.join(ROOT, "python"))

from quorvane import InputFileError, ParameterError  # noqa: E402
from quorvane.trading.risk_limits import RiskLimits  # noqa: E402


def environment(lib_path):
    return dict(os.environ, QUORVANE_LIB=lib_path, PYTHONPATH=os.path.join(ROOT, "python"))


def quorvane(args, cwd, lib_path):
    return subprocess.run([sys.executable, "-m", "quorvane", *args, "--no-progress",
                           "--no-pictures"], env=environment(lib_path), cwd=str(cwd),
                          timeout=240, capture_output=True, text=True)


class TestLimits:
    def test_an_instrument_beats_its_product_which_beats_the_account(self):
        limits = RiskLimits({"account": {"order_lots": 20, "collar_ticks": 30},
                             "products": {"rb": {"order_lots": 10, "long": 8}},
                             "instruments": {"rb2705": {"order_lots": 5}}})
        assert limits.of("rb2705", "rb").order_lots == 5
        assert limits.of("rb2710", "rb").order_lots == 10
        assert limits.of("m2705", "m").order_lots == 20
        assert limits.of("rb2710", "rb").collar_ticks == 30
        # A product's long is the product's, not each instrument's.
        assert limits.of("rb2705", "rb").long is None and limits.totals("rb").long == 8

    def test_the_defaults_are_on_and_null_turns_one_off(self):
        assert RiskLimits().of("rb2705", "rb").cancels == 500
        assert RiskLimits().of("rb2705", "rb").cancel_warning == 400
        off = RiskLimits({"account": {"cancels": None, "self_trades": False}})
        assert off.of("rb2705", "rb").cancels is None and off.get("self_trades") is False
        # A later source goes over an earlier one, key by key.
        both = RiskLimits({"account": {"cancels": 300}}, {"instruments": {"m2705": {"cancels": 9}}})
        assert both.of("rb2705", "rb").cancels == 300 and both.of("m2705", "m").cancels == 9

    @pytest.mark.parametrize("given, message", [
        ({"acount": {}}, "unknown risk limits section 'acount'"),
        ({"account": {"max_cancels": 3}}, "unknown risk limit 'max_cancels' in account"),
        ({"instruments": {"rb2705": {"cancels": -1}}},
         "instruments.rb2705.cancels must be a finite number of 0 or more, not -1"),
        ({"account": {"order_lots": 2.5}}, "account.order_lots takes a whole number, not 2.5"),
        ({"account": {"self_trades": 1}}, "account.self_trades takes true, false or null"),
        ({"products": {"rb": {"long": "10"}}}, "products.rb.long takes a number or null"),
        ({"account": {"daily_loss": float("nan")}}, "account.daily_loss must be a finite"),
    ], ids=["section", "key", "negative", "fraction", "switch", "text", "nan"])
    def test_a_limit_it_cannot_take_is_refused_by_name(self, given, message):
        with pytest.raises(ParameterError, match=message.replace(".", r"\.").replace("(", r"\(")):
            RiskLimits(given)

    def test_a_file_it_cannot_read_names_the_file(self, tmp_path):
        broken = tmp_path / "risk.json"
        broken.write_text('{"account": {"cancels": 3,}}')
        with pytest.raises(InputFileError, match="risk file .*risk.json: not JSON"):
            RiskLimits(str(broken))
        broken.write_text('{"account": {"cancels": -3}}')
        with pytest.raises(InputFileError, match="risk.json: risk limit account.cancels must"):
            RiskLimits(str(broken))
        with pytest.raises(InputFileError, match="missing.json"):
            RiskLimits(str(tmp_path / "missing.json"))

    def test_the_replay_command_refuses_a_bad_file_before_it_starts(self, tmp_path, lib_path):
        bad = tmp_path / "risk.json"
        bad.write_text('{"account": {"working_orders": -1}}')
        done = quorvane(["replay", SAMPLE, "--scenario", SCENARIO, "--risk", str(bad),
                         "--out", str(tmp_path / "run")], tmp_path, lib_path)
        assert done.returncode == 1
        assert "account.working_orders must be a finite number of 0 or more" in done.stderr
        assert "Replaying" not in done.stdout and not (tmp_path / "run").exists()


# A live client of the stand-in's generated market, its limits from the strategy class and the
# client: each step tries one rule and writes down what the verb returned and what on_risk heard.
LIVE = r"""
import json, os, signal, sys, time
from quorvane import Client, Strategy, codes, sim

SCENARIO = {"tradingDay": "20260108", "instruments": [
    {"instrumentId": "rb2605", "exchangeId": "SHFE", "productId": "rb", "multiplier": 10,
     "priceTick": 1, "marginRatio": 0.1, "preSettlementPrice": 3500, "maxLimitOrderVolume": 5},
    {"instrumentId": "m2605", "exchangeId": "DCE", "productId": "m", "multiplier": 10,
     "priceTick": 1, "marginRatio": 0.1, "preSettlementPrice": 3000}]}


class Watch(Strategy):
    risk = {"instruments": {"rb2605": {"working_orders": 3}}}

    def __init__(self):
        self.heard = []

    def on_risk(self, decision):
        self.heard.append([decision.action, decision.rule, decision.instrument, decision.limit,
                           decision.value, decision.verb])


class Observer:
    def __init__(self):
        self.heard = []

    def on_risk(self, decision):
        self.heard.append(decision.rule)


def wait(predicate, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.01)
    return False


market = sim.Sim()
market.load_scenario(SCENARIO)
market.set_flow_control(0, 0)
market.set_latency(200)
watch, observer = Watch(), Observer()
client = Client(watch, risk={"account": {"cancels": 4, "cancel_warning": 3, "collar_ticks": 50},
                             "instruments": {"m2605": {"orders_per_second": 2, "long": 1}}},
                user_id="u1", password="pw", broker_id="9999", app_id="simnow_client_test",
                auth_code="0000000000000000", trader_front="tcp://127.0.0.1:1",
                md_front="tcp://127.0.0.1:2", base_path=sys.argv[1], task_execute_gap=20_000,
                loop_gap=2_000)
client.add_observer(observer)
client.start()
assert client.wait_ready()
market.set_md_rate(20)
client.subscribe(["rb2605"], "SHFE")
client.subscribe(["m2605"], "DCE")
assert wait(lambda: len(client._tick_views) == 2)
ticks = {t.StandardID.decode(): t for t in client._tick_views.values()}
market.set_md_rate(0)
rb, m = ticks["rb2605"].LastPrice, ticks["m2605"].LastPrice
out = {}


def tried(name, order):
    out[name] = [order is not None, watch.heard[-1] if watch.heard else None]
    return order


def working(order):
    return wait(lambda: order.OrderStatus == b"3")


def canceled(order):
    client.cancel(order)
    return wait(lambda: order.OrderStatus == b"4")


tried("size", client.buy_open("rb2605", 6, price=rb - 10, exchange_id="SHFE"))
tried("collar", client.buy_open("rb2605", 1, price=rb - 60, exchange_id="SHFE"))
bid = tried("resting bid", client.buy_open("rb2605", 1, price=rb - 20, exchange_id="SHFE"))
working(bid)
tried("self-trade", client.sell_open("rb2605", 1, price=rb - 25, exchange_id="SHFE"))
more = [client.buy_open("rb2605", 1, price=rb - 21 - n, exchange_id="SHFE") for n in range(2)]
tried("working", client.buy_open("rb2605", 1, price=rb - 30, exchange_id="SHFE"))
for order in more:
    working(order)
    canceled(order)
for n in range(2):
    extra = client.buy_open("rb2605", 1, price=rb - 30, exchange_id="SHFE")
    working(extra)
    canceled(extra)
out["warnings"] = [h for h in watch.heard if h[0] == "warning"]
tried("cancels", client.buy_open("rb2605", 1, price=rb - 30, exchange_id="SHFE"))
out["cancel goes"] = client.cancel(bid)
wait(lambda: bid.OrderStatus == b"4")
out["bid after its cancel"] = [bid.OrderStatus.decode(), bid.CanceledVolume,
                               client.risk.cancels("rb2605")]

rated = [client.sell_open("m2605", 1, price=m + 20, exchange_id="DCE") for n in range(2)]
tried("rate", client.sell_open("m2605", 1, price=m + 20, exchange_id="DCE"))
for order in rated:
    working(order)
client.kill()
out["killed"] = watch.heard[-1]
wait(lambda: all(o.OrderStatus == b"4" for o in rated))
out["canceled by the kill"] = [o.OrderStatus.decode() for o in rated]
tried("while killed", client.buy_open("m2605", 1, price=m - 20, exchange_id="DCE"))
client.reset_kill()
out["reset"] = watch.heard[-1]
time.sleep(1.1)
filled = client.buy_open("m2605", 1, price=m + 20, exchange_id="DCE")
out["after the reset"] = filled is not None
wait(lambda: filled.OrderStatus == b"4")
tried("position", client.buy_open("m2605", 1, price=m - 20, exchange_id="DCE"))
out["closing goes"] = client.sell_close("m2605", 1, price=m - 20, exchange_id="DCE") is not None
os.kill(os.getpid(), signal.SIGUSR1)
out["signal"] = wait(lambda: client.risk.killed)
tried("after the signal", client.sell_open("m2605", 1, price=m + 30, exchange_id="DCE"))
out["observer"] = observer.heard == [h[1] for h in watch.heard]
print(json.dumps(out))
sys.stdout.flush()
os._exit(0)
"""


@pytest.fixture(scope="module")
def live(lib_path, tmp_path_factory):
    workdir = tmp_path_factory.mktemp("live")
    done = subprocess.run([sys.executable, "-c", LIVE, str(workdir)], env=environment(lib_path),
                          cwd=str(workdir), timeout=240, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


class TestLiveClient:
    @pytest.mark.parametrize("step, heard", [
        ("size", ["refused", "order_size", "rb2605", 5, 6, "buyOpen"]),
        ("collar", ["refused", "price_collar", "rb2605", 50, 60.0, "buyOpen"]),
        ("self-trade", ["refused", "self_trade", "rb2605", None, None, "sellOpen"]),
        ("working", ["refused", "working_orders", "rb2605", 3, 4, "buyOpen"]),
        ("cancels", ["refused", "cancels", "rb2605", 4, 4, "buyOpen"]),
        ("rate", ["refused", "order_rate", "m2605", 2, 3, "sellOpen"]),
        ("while killed", ["refused", "kill_switch", "m2605", None, None, "buyOpen"]),
        ("position", ["refused", "position", "m2605", 1, 2, "buyOpen"]),
        ("after the signal", ["refused", "kill_switch", "m2605", None, None, "sellOpen"]),
    ], ids=lambda value: value if isinstance(value, str) else "")
    def test_a_refused_order_returns_none_and_on_risk_hears_why(self, live, step, heard):
        sent, told = live[step]
        assert not sent
        if step == "self-trade":       # the limit and value are the two prices
            told[3:5] = [None, None]
        assert told == heard

    def test_orders_within_the_limits_go(self, live):
        assert live["resting bid"][0] and live["after the reset"] and live["closing goes"]

    def test_cancels_warn_at_the_warning_and_the_limit_and_still_go_after_it(self, live):
        assert [w[1:5] for w in live["warnings"]] == [["cancels", "rb2605", 4, 3],
                                                      ["cancels", "rb2605", 4, 4]]
        assert live["cancel goes"] == 0
        status, canceled, count = live["bid after its cancel"]
        assert status == "4" and canceled == 1 and count == 5

    def test_the_kill_switch_cancels_everything_until_reset_and_sigusr1_trips_it(self, live):
        assert live["killed"][:2] == ["halted", "kill_switch"]
        assert live["canceled by the kill"] == ["4", "4"]
        assert live["reset"][:2] == ["resumed", "kill_switch"]
        assert live["signal"] is True

    def test_observers_hear_every_decision_before_the_strategy(self, live):
        assert live["observer"] is True


# Replayed on the sample day: a probe that buys at the ask after a resting bid, so that the spread
# and the fees pass a small daily loss at once, then tries to open and to close.
LOSS = r'''
import json
from quorvane import Strategy


class Loss(Strategy):
    risk = {"account": {"daily_loss": 40}}

    def __init__(self, log="loss.json"):
        self.log = log
        self.heard = []
        self.ticks = 0
        self.bid = None
        self.tried = {}

    def on_risk(self, decision):
        self.heard.append([decision.action, decision.rule, decision.limit])

    def on_tick(self, tick):
        if tick.StandardID != b"rb2705":
            return
        self.ticks += 1
        if self.ticks == 1:
            self.bid = self.buy_open("rb2705", 1, price=tick.BidPrice1 - 50)
            self.buy_open("rb2705", 5, price=tick.AskPrice1)
        elif self.ticks == 20:
            self.tried["open"] = self.buy_open("rb2705", 1, price=tick.AskPrice1) is not None
            self.tried["close"] = self.close_long("rb2705", 2, price=tick.BidPrice1) is not None

    def on_stop(self, reason):
        with open(self.log, "w") as out:
            json.dump({"heard": self.heard, "tried": self.tried,
                       "bid": [self.bid.OrderStatus.decode(), self.bid.CanceledVolume]}, out)
'''

# Quotes one lot at the bid of every tick, canceling the last quote first: cancels pile up.
CHURN = r'''
import json
from quorvane import Strategy


class Churn(Strategy):
    def __init__(self, log="churn.json"):
        self.log = log
        self.quote = None
        self.day = None
        self.by_day = {}

    def on_day_start(self, trading_day):
        self.day = trading_day

    def on_risk(self, decision):
        if decision.action == "refused":
            self.by_day.setdefault(self.day, [0, 0])[1] += 1

    def on_tick(self, tick):
        if self.quote is not None and self.quote.OrderStatus == b"3":
            self.cancel(self.quote)
            return
        order = self.buy_open("rb2705", 1, price=tick.BidPrice1 - 5)
        if order is not None:
            self.quote = order
            self.by_day.setdefault(self.day, [0, 0])[0] += 1

    def on_stop(self, reason):
        with open(self.log, "w") as out:
            json.dump(self.by_day, out)
'''


# Two bids at every rb2705 snapshot (two a second of replayed time), four a second against a
# limit of three.
RATE = r'''
import json
from quorvane import Strategy


class Rate(Strategy):
    risk = {"instruments": {"rb2705": {"orders_per_second": 3}}}

    def __init__(self, log="rate.json"):
        self.log = log
        self.refused = []

    def on_risk(self, decision):
        self.refused.append(str(decision.time))

    def on_tick(self, tick):
        if tick.StandardID == b"rb2705":
            for away in (30, 31):
                self.buy_open("rb2705", 1, price=tick.BidPrice1 - away)

    def on_stop(self, reason):
        with open(self.log, "w") as out:
            json.dump(self.refused, out)
'''


# Buys a lot at the ask of every rb2705 snapshot while the margin allows: about ten lots of rb2705
# (4,566 of margin each) fit in 5% of a balance of a million.
MARGIN = r'''
import json
from quorvane import Strategy


class Margin(Strategy):
    risk = {"account": {"margin_share": 0.05}}

    def __init__(self, log="margin.json"):
        self.log = log
        self.heard = []

    def on_risk(self, decision):
        self.heard.append([decision.rule, decision.limit, decision.value])

    def on_tick(self, tick):
        if tick.StandardID == b"rb2705" and not self.heard:
            self.buy_open("rb2705", 1, price=tick.AskPrice1)

    def on_stop(self, reason):
        held = self.client.position("rb2705")
        with open(self.log, "w") as out:
            json.dump({"heard": self.heard, "long": held.LongVolume}, out)
'''


class TestReplays:
    def test_a_quoting_strategy_meets_the_cancel_limit_and_the_report_counts_it(self, tmp_path,
                                                                               lib_path):
        strategy = os.path.join(ROOT, "examples", "quote_both_sides.py")
        runs = []
        for name in ("first", "second"):
            done = quorvane(["replay", SAMPLE, "--scenario", SCENARIO, "--strategy", strategy,
                             "--out", str(tmp_path / name)], tmp_path, lib_path)
            assert "DIFFERS" not in done.stdout, done.stdout + done.stderr
            runs.append(((tmp_path / name / "report.txt").read_text(),
                         (tmp_path / name / "trades.csv").read_bytes()))
        report = runs[0][0]
        risk = [line for line in report.splitlines() if "Risk" in line or line.startswith("  ")
                and ("rule" in line or "threshold" in line)]
        assert risk[0].startswith("Risk: ") and " orders refused: rb2705 cancels 50" in risk[0]
        assert "m2705 cancels 500 of 500" in risk[0] and "; self-trades prevented " in risk[0]
        assert any(line.startswith("  refused by rule: cancels ") for line in risk)
        assert any("rb2705 cancels 400 of 500" in line for line in risk)
        counts = [line for line in risk if "threshold of 500" in line]
        assert counts and "m2705 50" in counts[0] and "rb2705 50" in counts[0]
        # The same limits on the replayed clock give the same bytes every run.
        assert runs[0] == runs[1]

    def test_the_order_rate_runs_on_the_replayed_clock_whatever_the_pace(self, tmp_path,
                                                                        lib_path):
        with open(SAMPLE) as source:
            lines = source.read().splitlines()[:401]          # 100 s of the market
        ticks = tmp_path / "short.csv"
        ticks.write_text("\n".join(lines) + "\n")
        probe = tmp_path / "rate.py"
        probe.write_text(RATE)
        seen = []
        for speed in ("0", "50"):
            log = tmp_path / ("rate-%s.json" % speed)
            done = quorvane(["replay", str(ticks), "--scenario", SCENARIO, "--strategy",
                             str(probe), "--param", "log=%s" % log, "--speed", speed,
                             "--out", str(tmp_path / speed)], tmp_path, lib_path)
            assert done.returncode == 0, done.stdout + done.stderr
            seen.append((json.loads(log.read_text()),
                         (tmp_path / speed / "report.txt").read_text()))
        refused, report = seen[0]
        # Each second of replayed time turns its fourth bid away, at its second snapshot.
        assert len(refused) == 100
        assert refused[:2] == ["2026-12-07 09:00:00.500000", "2026-12-07 09:00:01.500000"]
        assert "refused by rule: order_rate %d" % len(refused) in report
        assert seen[0] == seen[1]

    def test_the_default_limits_leave_the_demo_as_it_was(self, tmp_path, lib_path):
        off = tmp_path / "off.json"
        off.write_text(json.dumps({"account": {"exchange_order_size": None, "cancels": None,
                                               "cancel_warning": None, "self_trades": None}}))
        reports = []
        for name, extra in (("default", []), ("off", ["--risk", str(off)])):
            done = quorvane(["demo", "--out", str(tmp_path / name), *extra], tmp_path, lib_path)
            assert done.returncode == 0, done.stdout + done.stderr
            reports.append([(tmp_path / name / f).read_bytes() for f in ("report.txt",
                                                                         "trades.csv")])
        assert reports[0] == reports[1]
        assert b"Risk" not in reports[0][0]

    def test_the_daily_loss_cancels_working_orders_and_lets_only_closes_through(
            self, tmp_path, lib_path):
        probe = tmp_path / "loss.py"
        probe.write_text(LOSS)
        log = tmp_path / "loss.json"
        done = quorvane(["replay", SAMPLE, "--scenario", SCENARIO, "--strategy", str(probe),
                         "--param", "log=%s" % log, "--out", str(tmp_path / "run")], tmp_path,
                        lib_path)
        assert "DIFFERS" not in done.stdout, done.stdout + done.stderr
        seen = json.loads(log.read_text())
        halts = [h for h in seen["heard"] if h[0] == "halted"]
        assert halts == [["halted", "daily_loss", 40]]        # told once
        assert seen["bid"] == ["4", 1]                        # its working bid canceled
        assert seen["tried"] == {"open": False, "close": True}
        assert ["refused", "daily_loss", 40] in seen["heard"]
        assert "daily_loss halted: the day's loss" in done.stdout

    def test_the_margin_share_stops_opening_once_the_margin_would_pass_it(self, tmp_path,
                                                                         lib_path):
        probe = tmp_path / "margin.py"
        probe.write_text(MARGIN)
        log = tmp_path / "margin.json"
        done = quorvane(["replay", SAMPLE, "--scenario", SCENARIO, "--strategy", str(probe),
                         "--param", "log=%s" % log, "--out", str(tmp_path / "run")], tmp_path,
                        lib_path)
        assert done.returncode == 0, done.stdout + done.stderr
        seen = json.loads(log.read_text())
        rule, limit, value = seen["heard"][0]
        assert rule == "margin" and limit == 0.05 and 0.05 < value < 0.056
        assert seen["long"] == 10

    def test_cancel_counts_start_again_each_trading_day(self, tmp_path, lib_path):
        probe = tmp_path / "churn.py"
        probe.write_text(CHURN)
        risk = tmp_path / "risk.json"
        risk.write_text(json.dumps({"instruments": {"rb2705": {"cancels": 20,
                                                               "cancel_warning": 15}}}))
        log = tmp_path / "churn.json"
        done = quorvane(["replay", DAYS, "--scenario", SCENARIO, "--strategy", str(probe),
                         "--risk", str(risk), "--param", "log=%s" % log,
                         "--out", str(tmp_path / "run")], tmp_path, lib_path)
        assert "DIFFERS" not in done.stdout, done.stdout + done.stderr
        by_day = json.loads(log.read_text())
        assert sorted(by_day) == ["20261207", "20261208", "20261209"]
        for sent, refused in by_day.values():
            assert sent == 20 and refused > 0
        assert "threshold of 500: rb2705 20 (20261207)" in done.stdout
