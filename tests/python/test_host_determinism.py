"""A backtest is a function of its inputs. The demo and a market maker that reacts to its own
fills each replay the sample day ten times, each run in a process of its own: at speed 0 every
run writes the same report and trades file, byte for byte, and the market maker never goes past
its position limit (it would, were it told of its fills late). A paced replay holds each snapshot
back to its time but, as lock step does, never sends it before what the one before caused was
delivered: paced at 20 times real time, and at a pace faster than the market maker answers a
tick, it writes the lock-step run's report and trades, byte for byte."""
import csv
import os
import re
import subprocess
import sys

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SAMPLE = os.path.join(ROOT, "sim", "data", "sample_ticks.csv")
SCENARIO = os.path.join(ROOT, "examples", "demo_scenario.json")
MARKET_MAKER = os.path.join(ROOT, "examples", "market_maker.py")
RUNS = 10
LIMIT = 2

PACED_SPEEDS, PACED_TICKS = ("20", "5000"), 200
STRATEGIES = {
    "demo": os.path.join(ROOT, "examples", "ma_cross.py"),
    "market_maker": MARKET_MAKER,
}


def replay(name, out, lib_path, *extra, ticks=SAMPLE):
    environment = dict(os.environ, QUORVANE_LIB=lib_path, PYTHONPATH=os.path.join(ROOT, "python"))
    command = ["replay", ticks, "--scenario", SCENARIO, "--strategy", STRATEGIES[name]]
    if name == "market_maker":
        command += ["--param", "max_position=%d" % LIMIT]
    done = subprocess.run([sys.executable, "-m", "quorvane", *command, *extra,
                           "--out", str(out), "--no-progress", "--no-pictures"],
                          env=environment, cwd=str(out.parent), timeout=300,
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    return (out / "report.txt").read_bytes(), (out / "trades.csv").read_bytes()


def fills(report):
    return int(re.search(rb"^Fills: (\d+)", report, re.M).group(1))


def widest_position(trades):
    """The largest net position any instrument reached, from the trades file."""
    net, widest = {}, 0
    for row in csv.DictReader(trades.decode().splitlines()):
        sign = 1 if row["Direction"] == "Buy" else -1
        net[row["InstrumentID"]] = net.get(row["InstrumentID"], 0) + sign * int(row["Volume"])
        widest = max(widest, abs(net[row["InstrumentID"]]))
    return widest


@pytest.mark.parametrize("name", sorted(STRATEGIES))
def test_lock_step_replays_give_the_same_bytes_every_run(tmp_path, lib_path, name):
    runs = [replay(name, tmp_path / ("run%d" % n), lib_path) for n in range(RUNS)]
    reports = {report for report, _ in runs}
    trades = {trade for _, trade in runs}
    assert len(reports) == 1, "reports differ:\n" + "\n----\n".join(
        r.decode() for r in sorted(reports))
    assert len(trades) == 1, "trades files differ: fills %s" % sorted(fills(r) for r, _ in runs)
    report, trade = runs[0]
    assert fills(report) > 0 and b"DIFFERS" not in report
    if name == "market_maker":
        assert widest_position(trade) <= LIMIT


@pytest.mark.parametrize("name", sorted(STRATEGIES))
def test_paced_replays_trade_as_lock_step_does(tmp_path, lib_path, name):
    with open(SAMPLE) as source:
        morning = source.read().splitlines()[:PACED_TICKS + 1]
    ticks = tmp_path / "morning.csv"
    ticks.write_text("\n".join(morning) + "\n")
    expected = replay(name, tmp_path / "lock-step", lib_path, ticks=str(ticks))
    assert fills(expected[0]) > 0
    for speed in PACED_SPEEDS:
        for n in range(3):
            paced = replay(name, tmp_path / ("paced-%s-%d" % (speed, n)), lib_path, "--speed",
                           speed, ticks=str(ticks))
            assert paced[1] == expected[1], "speed %s: fills %d, lock step %d" % (
                speed, fills(paced[0]), fills(expected[0]))
            assert paced[0] == expected[0]
