"""A backtest is a function of its inputs. The demo and a market maker that reacts to its own
fills each replay the sample day ten times, each run in a process of its own: at speed 0 every
run writes the same report and trades file, byte for byte, and the market maker never goes past
its position limit (it would, were it told of its fills late). A paced replay does not wait for
the strategy, so its trades differ with the machine's load: at a pace the host keeps up with (20
times real time: 12 ms between ticks on average, ten times what a tick costs the market maker)
the typical run stays within a few trades of lock step, and every run is whole and confirmed by
the exchange, though a run starved of the processor may drift further."""
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

PACED_SPEED, PACED_TICKS = "20", 200
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
def test_paced_replays_stay_within_a_few_trades_of_lock_step(tmp_path, lib_path, name):
    with open(SAMPLE) as source:
        morning = source.read().splitlines()[:PACED_TICKS + 1]
    ticks = tmp_path / "morning.csv"
    ticks.write_text("\n".join(morning) + "\n")
    report, _ = replay(name, tmp_path / "lock-step", lib_path, ticks=str(ticks))
    expected = fills(report)
    paced = [fills(replay(name, tmp_path / ("paced%d" % n), lib_path, "--speed", PACED_SPEED,
                          ticks=str(ticks))[0])
             for n in range(RUNS)]
    tolerance = max(3, expected // 4)
    assert abs(sorted(paced)[len(paced) // 2] - expected) <= tolerance, (expected, paced)
