"""A host ends the way Python programs end (the script runs out, sys.exit, an uncaught exception)
while the runtime's threads are inside its callables, and the process ends with the status the host
asked for, never an abort.

Each run is a fresh process: a client streams snapshots from the stand-in into a handler that lets
go of the interpreter lock (a short sleep, or the event text printed to a pipe), and the main thread
ends as soon as the handler has run a few times, so that the end of the interpreter meets library
threads inside the host. Many runs per way of ending, several at a time."""
import concurrent.futures
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
RUNS = 50

HOST = r"""
import os, sys, threading, time
from quorvane import host, sim

way, workdir = sys.argv[1], sys.argv[2]
market = sim.Sim()
market.load_scenario({"tradingDay": "20260108", "instruments": [
    {"instrumentId": "rb2605", "exchangeId": "SHFE", "multiplier": 10, "priceTick": 1,
     "marginRatio": 0.1, "preSettlementPrice": 3500}]})
market.set_flow_control(0, 0)
market.set_latency(100)
seen = threading.Semaphore(0)


class Sleeper(host.Strategy):
    def on_tick(self, tick):
        seen.release()
        time.sleep(0.0005)


class Printer(host.Strategy):
    def on_tick(self, tick):
        seen.release()
        print("tick", tick.LastPrice, flush=True)


strategy = Printer() if way.startswith("print") else Sleeper()
client = host.Client(strategy, user_id="u1", password="pw", broker_id="9999",
                     app_id="simnow_client_test", auth_code="0000000000000000",
                     trader_front="tcp://127.0.0.1:1", md_front="tcp://127.0.0.1:2",
                     base_path=workdir, task_execute_gap=5_000, loop_gap=500)
client.start()
assert client.wait_ready(20.0)
market.set_md_rate(1000)
client.subscribe(["rb2605"], "SHFE")
for _ in range(20):
    seen.acquire(timeout=10)
sys.stdout.flush()
if way.endswith("exit"):
    sys.exit(3)
if way.endswith("raise"):
    raise RuntimeError("the strategy gave up")
"""

# (way of ending, the status the host asked for)
WAYS = [("end", 0), ("exit", 3), ("raise", 1), ("print-end", 0)]


def run_host(way, workdir, lib_path):
    env = dict(os.environ, QUORVANE_LIB=lib_path, PYTHONPATH=os.path.join(ROOT, "python"))
    done = subprocess.run([sys.executable, "-c", HOST, way, workdir], env=env, cwd=workdir,
                          timeout=60, capture_output=True, text=True)
    return done.returncode, done.stderr[-2000:]


@pytest.mark.parametrize("way,status", WAYS, ids=[w for w, _ in WAYS])
def test_the_host_ends_with_its_own_status(way, status, tmp_path, lib_path):
    folders = [str(tmp_path / str(i)) for i in range(RUNS)]
    for folder in folders:
        os.mkdir(folder)
    with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
        results = list(pool.map(lambda folder: run_host(way, folder, lib_path), folders))
    wrong = [(code, err) for code, err in results if code != status]
    assert not wrong, "%d of %d runs ended with another status; first: %r" % (
        len(wrong), RUNS, wrong[0])
    if way == "raise":
        assert all("the strategy gave up" in err for _, err in results)
