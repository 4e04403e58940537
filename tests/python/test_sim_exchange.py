"""The simulated exchange from Python: tick-file replay through quorvane.sim.Sim (progress, waiting,
stopping, refused files), and a strategy host that restarts in the middle of a replayed day and
finds, through the runtime, the orders, positions and usable cash the exchange reports.

Each case runs in a child process: the stand-in's world and the runtime live once per process."""
import json
import os
import subprocess
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SAMPLE = os.path.join(ROOT, "sim", "data", "sample_ticks.csv")


def run_child(code, lib_path, tmp_path, *args, persist=True):
    env = dict(os.environ, QUORVANE_LIB=lib_path, PYTHONPATH=os.path.join(ROOT, "python"),
               QVSIM_PERSIST="1" if persist else "0")
    done = subprocess.run([sys.executable, "-c", code, str(tmp_path), *args], env=env,
                          cwd=str(tmp_path), timeout=240, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


REPLAY_CONTROL = r"""
import json, os, sys
from quorvane import sim
tmp = sys.argv[1]
market = sim.Sim()
out = {}
try:
    market.replay(os.path.join(tmp, "missing.csv"))
except sim.SimError as error:
    out["missing"] = error.code
out["idle_wait"] = market.replay_wait(0)
total = market.replay(sys.argv[2], 0.0)
out["finished"] = market.replay_wait(30.0)
out["progress"] = list(market.replay_progress())
out["total"] = total
# Paced at real time, 3000 ticks over 12.5 minutes are far from done a moment later.
market.replay(sys.argv[2], 1.0)
out["paced_done_early"] = market.replay_wait(0.2)
out["paced_progress"] = list(market.replay_progress())
market.replay_stop()
out["stopped_wait"] = market.replay_wait(5.0)
print(json.dumps(out))
os._exit(0)
"""


def test_replay_is_driven_and_observed_from_python(tmp_path, lib_path):
    seen = run_child(REPLAY_CONTROL, lib_path, tmp_path, SAMPLE, persist=False)
    assert seen["missing"] < 0
    assert seen["idle_wait"] is True
    assert seen["total"] == 3000 and seen["finished"] is True
    assert seen["progress"] == [3000, 3000]
    assert seen["paced_done_early"] is False
    delivered, total = seen["paced_progress"]
    assert total == 3000 and delivered < 3000
    assert seen["stopped_wait"] is True


# One process of the host: logs in with the demo account on the flow folder, replays one part of
# the sample day through the moving-average strategy, and reports what the runtime holds next to
# what the exchange reports. The process then ends without logging out, as a crash would.
HOST = r"""
import json, os, sys, time
from quorvane import codes, records, sim
from quorvane.host import Client
from quorvane.replay import DEMO_LOGIN, load_strategy
tmp, ticks, root = sys.argv[1], sys.argv[2], sys.argv[3]
market = sim.Sim()
market.set_flow_control(0, 0)
market.set_latency(100)
market.set_md_rate(0)
strategy = load_strategy(os.path.join(root, "examples", "ma_cross.py"))
client = Client(strategy, base_path=os.path.join(tmp, "flow"), **DEMO_LOGIN)
client.start()
assert client.wait_ready(30.0)


def state():
    orders = client.query(codes.QRY_ORDER, records.CThostFtdcOrderField)
    runtime_orders = []
    for o in orders:
        mine = client.order(int(o.OrderRef.decode()))
        runtime_orders.append(None if mine is None else [mine.OrderStatus.decode(), mine.TradedVolume])
    positions = {}
    for p in client.exchange_positions():
        key = p.InstrumentID.decode()
        net = p.Position if p.PosiDirection == b"2" else -p.Position
        positions[key] = positions.get(key, 0) + net
    runtime_positions = {}
    for instrument in ("rb2705", "m2705"):
        p = client.position(instrument)
        runtime_positions[instrument] = 0 if p is None else p.LongVolume - p.ShortVolume
    account = client.trading_account()
    return {"orders": [[o.OrderStatus.decode(), o.VolumeTraded] for o in orders],
            "runtime_orders": runtime_orders,
            "trades": len(client.exchange_trades()),
            "positions": {k: v for k, v in positions.items() if v},
            "runtime_positions": {k: v for k, v in runtime_positions.items() if v},
            "available": account.Available, "usable_cash": client.usable_cash}


restarted = state()
client.subscribe(["rb2705"], "SHFE")
client.subscribe(["m2705"], "DCE")
deadline = time.monotonic() + 10
while client.events_seen[11007] < 2 and time.monotonic() < deadline:
    time.sleep(0.01)
strategy.ticks_expected = int(sys.argv[4])
market.replay(ticks, 0.0)
assert market.replay_wait(120.0)
time.sleep(0.5)
print(json.dumps({"restarted": restarted, "end": state()}))
sys.stdout.flush()
os._exit(0)
"""


def test_a_host_restarted_mid_day_finds_what_the_exchange_reports(tmp_path, lib_path):
    with open(SAMPLE) as source:
        lines = source.read().splitlines()
    header, rows = lines[0], lines[1:]
    middle = len(rows) // 2
    first, second = tmp_path / "morning.csv", tmp_path / "afternoon.csv"
    first.write_text("\n".join([header] + rows[:middle]) + "\n")
    second.write_text("\n".join([header] + rows[middle:]) + "\n")

    # ticks_expected stretches over the whole day, so the strategy holds its position at the cut.
    morning = run_child(HOST, lib_path, tmp_path, str(first), ROOT, str(len(rows)))
    assert morning["restarted"]["orders"] == []
    held = morning["end"]
    assert held["trades"] > 0

    afternoon = run_child(HOST, lib_path, tmp_path, str(second), ROOT, str(len(rows) - middle))
    restarted = afternoon["restarted"]
    # The exchange kept the day: the same orders, trades, positions and funds as at the cut.
    assert restarted["orders"] == held["orders"]
    assert restarted["trades"] == held["trades"]
    assert restarted["positions"] == held["positions"]
    # And the restarted runtime agrees with the exchange on each of them (the runtime's states:
    # '3' working, '4' finished, whether filled or canceled).
    runtime_state = {"0": "4", "5": "4", "1": "3", "3": "3"}
    assert restarted["runtime_orders"] == [[runtime_state[status], traded]
                                           for status, traded in restarted["orders"]]
    assert restarted["runtime_positions"] == restarted["positions"]
    assert abs(restarted["usable_cash"] - restarted["available"]) < 1e-6

    end = afternoon["end"]
    assert end["trades"] > held["trades"]
    assert end["positions"] == {} and end["runtime_positions"] == {}
    assert abs(end["usable_cash"] - end["available"]) < 0.01
