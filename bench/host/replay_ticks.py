"""Times a lock-step replay end to end through the Python host: ticks per second from the first
snapshot sent to the replay's completion, for an empty strategy run by `run_replay` (the Client,
its Strategy routing, the report's Recorder, the exchange clock) against the baseline, timed in
the same run, of the same file delivered to a bare ctypes callable registered on the runtime
(the stand-in, the runtime and one call into the interpreter per tick, nothing of the host).
Each replay runs in a process of its own (the runtime and the stand-in are one world per
process). The tick file is generated: the sample day's snapshots repeated with times moving on by
50 ms a tick, so that the exchange sees one long day of its two contracts.

Usage: /usr/bin/python3 bench/host/replay_ticks.py [TICKS, default 300000]
with QUORVANE_LIB naming the built runtime (the stand-in's control library is found beside it).
"""
import csv
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(ROOT, "python"))

TARGET = 150_000            # ticks per second through the host with an empty strategy
SNAPSHOT, SUBSCRIBED, READY = 10010, 11007, 10002


def write_ticks(path, count):
    with open(os.path.join(ROOT, "sim", "data", "sample_ticks.csv"), newline="") as source:
        reader = csv.reader(source)
        header = next(reader)
        rows = list(reader)
    at_time, at_millis = header.index("UpdateTime"), header.index("UpdateMillisec")
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(header)
        for n in range(count):
            row = list(rows[n % len(rows)])
            millis = 9 * 3600 * 1000 + 50 * n
            seconds = millis // 1000
            row[at_time] = "%02d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60)
            row[at_millis] = str(millis % 1000)
            writer.writerow(row)


def bare(path):
    """The baseline: a no-op snapshot callable on the runtime, no host layer."""
    from quorvane import host, runtime, sim
    from quorvane.replay import DEMO_LOGIN
    market = sim.Sim()
    market.set_flow_control(0, 0)
    market.set_md_rate(0)
    count = market.replay_open(path) if hasattr(market, "replay_open") else None
    ready, subscribed = threading.Event(), threading.Semaphore(0)

    def on_response(event_id, record, is_last, user, error_id, message):
        if event_id == READY:
            ready.set()
        elif event_id == SUBSCRIBED:
            subscribed.release()

    def on_snapshot(event_id, address):
        pass

    rt = runtime.Runtime()
    rt.set_run_mode("1")
    with tempfile.TemporaryDirectory() as flow:
        login = host.login_record(**dict(DEMO_LOGIN, base_path=flow))
        client = rt.init(0, login, None, on_response, None, on_snapshot)
        threading.Thread(target=rt.loop, daemon=True).start()
        assert ready.wait(30), "no login"
        for instrument, exchange in (("rb2705", "SHFE"), ("m2705", "DCE")):
            client.subscribe([instrument], exchange)
            assert subscribed.acquire(timeout=10), "no subscription"
        started = time.perf_counter()
        if count is None:
            count = market.replay(path, 0.0)
        else:
            market.replay_play(0.0)
        market.replay_wait(None)
        return count, time.perf_counter() - started


def hosted(path):
    """The host: run_replay with an empty strategy, its recorder and exchange clock included."""
    from quorvane import Strategy
    from quorvane.replay import run_replay
    with tempfile.TemporaryDirectory() as out:
        result = run_replay(Strategy(), path, out_dir=out, progress=False, pictures=False,
                            log=lambda text: None)
        assert result.complete, result.problems
        return result.total, result.elapsed


def child(kind, path):
    count, seconds = {"bare": bare, "host": hosted}[kind](path)
    print(json.dumps({"ticks": count, "seconds": seconds}))
    sys.stdout.flush()
    os._exit(0)      # the runtime's threads never end by themselves


def measure(kind, path):
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", kind, path],
                          capture_output=True, text=True, check=True)
    figures = json.loads(done.stdout.strip().splitlines()[-1])
    return figures["ticks"] / figures["seconds"], figures["seconds"]


def main():
    if sys.argv[1:2] == ["--child"]:
        child(sys.argv[2], sys.argv[3])
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 300_000
    with tempfile.TemporaryDirectory() as workdir:
        path = os.path.join(workdir, "ticks.csv")
        write_ticks(path, count)
        base_rate, base_time = measure("bare", path)
        host_rate, host_time = measure("host", path)
    print("lock-step replay of %d ticks, one process each" % count)
    print("  bare ctypes callable (baseline): %9.0f ticks/s  (%.2f s)" % (base_rate, base_time))
    print("  Python host, empty strategy:     %9.0f ticks/s  (%.2f s)" % (host_rate, host_time))
    print("  host cost per tick: %.2f x the baseline's, %.2f us more" % (
        base_rate / host_rate, 1e6 * (host_time - base_time) / count))
    print("  goal %d ticks/s through the host: %s (%.2f x the goal)" % (
        TARGET, "met" if host_rate >= TARGET else "not met", host_rate / TARGET))


if __name__ == "__main__":
    main()
