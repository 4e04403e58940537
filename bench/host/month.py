"""A month of research on one machine: generated full trading days of ten contracts replayed with
an empty strategy and with the demo's, each printing its time and peak memory, then the same
month as a sweep of 16 combinations of the demo's averages on a local cluster of one worker and of
two, printing the scale-out efficiency (one worker's time over twice the two workers' time; 1.0 is
ideal) against its goal.

The month is written by the package's generator on a scenario of its own: ten contracts of five
exchanges delivered in 2027, so the input is the same whatever today's date.

Usage: /usr/bin/python3 bench/host/month.py [--days N] [--contracts K] [--no-sweep]
(defaults: 20 days, 10 contracts) with QUORVANE_LIB naming the built runtime.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from typing import Any, Dict, List, Tuple

from host_runs import MA_CROSS as DEMO_STRATEGY
from host_runs import generate, package_env, write_empty

SCALE_OUT_GOAL = 0.8
GRID = ["--grid", "fast=3,5,8,13", "--grid", "slow=20,30,40,60"]


# (instrument, exchange, product, multiplier, tick, pre-settlement price, limit ratio, margin)
CONTRACTS: List[Tuple[str, str, str, int, float, float, float, float]] = [
    ("rb2705", "SHFE", "rb", 10, 1.0, 3500.0, 0.07, 0.13),
    ("m2705", "DCE", "m", 10, 1.0, 3000.0, 0.06, 0.10),
    ("cu2705", "SHFE", "cu", 5, 10.0, 72000.0, 0.08, 0.12),
    ("au2706", "SHFE", "au", 1000, 0.02, 460.0, 0.07, 0.10),
    ("ag2706", "SHFE", "ag", 15, 1.0, 5800.0, 0.08, 0.12),
    ("i2705", "DCE", "i", 100, 0.5, 800.0, 0.11, 0.13),
    ("SR705", "CZCE", "SR", 10, 1.0, 6000.0, 0.06, 0.08),
    ("TA705", "CZCE", "TA", 5, 2.0, 5000.0, 0.06, 0.07),
    ("IF2703", "CFFEX", "IF", 300, 0.2, 3800.0, 0.10, 0.12),
    ("IC2703", "CFFEX", "IC", 200, 0.2, 5600.0, 0.10, 0.14),
]


def scenario(contracts: int) -> Dict[str, Any]:
    instruments = []
    for code, exchange, product, multiplier, tick, price, limit, margin in CONTRACTS[:contracts]:
        instruments.append({
            "instrumentId": code, "exchangeId": exchange, "productId": product,
            "multiplier": multiplier, "priceTick": tick, "marginRatio": margin,
            "preSettlementPrice": price, "limitRatio": limit, "deliveryYear": 2027,
            "deliveryMonth": int(code[-2:]), "commissionByVolume": 1.0,
            "closeTodayCommissionByVolume": 1.0})
    # Funds enough for the demo to trade (and lose) on every day of the month.
    return {"initialFunds": 1e12, "persist": False, "instruments": instruments}


def run(command: List[str]) -> Tuple[float, float]:
    """(seconds, peak memory in MB) of a `python3 -m quorvane` command and its children."""
    with tempfile.TemporaryFile("w+") as output:
        started = time.perf_counter()
        process = subprocess.Popen([sys.executable, "-m", "quorvane"] + command, stdout=output,
                                   stderr=subprocess.STDOUT, env=package_env())
        _, status, usage = os.wait4(process.pid, 0)
        seconds = time.perf_counter() - started
        if not (os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0):
            output.seek(0)
            raise SystemExit("%s failed:\n%s" % (" ".join(command), output.read()))
    return seconds, usage.ru_maxrss / 1024.0


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--days", type=int, default=20)
    parser.add_argument("--contracts", type=int, default=10, choices=range(1, len(CONTRACTS) + 1))
    parser.add_argument("--no-sweep", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        scenario_file = os.path.join(work, "month.json")
        with open(scenario_file, "w") as out:
            json.dump(scenario(args.contracts), out)
        empty = write_empty(work)
        days = os.path.join(work, "days")
        snapshots = generate(days, args.days, ["%s.%s" % (code, exchange) for code, exchange, *_
                                               in CONTRACTS[:args.contracts]],
                             ["--scenario", scenario_file])
        print("a month: %d generated trading days of %d contracts, %d snapshots" % (
            args.days, args.contracts, snapshots))
        common = ["--scenario", scenario_file, "--no-pictures", "--no-progress"]
        for name, strategy in (("empty strategy", empty), ("demo strategy", DEMO_STRATEGY)):
            seconds, peak = run(["replay", days, "--strategy", strategy,
                                 "--out", os.path.join(work, name.split()[0])] + common)
            print("  replay, %-14s %7.1f s  (%.0f snapshots/s), peak memory %.0f MB" % (
                name + ":", seconds, snapshots / seconds, peak))
        if args.no_sweep:
            return
        times = {}
        for workers in (1, 2):
            times[workers], _ = run(["sweep", days, "--strategy", DEMO_STRATEGY, "--workers",
                                     str(workers), "--out", os.path.join(work, "sweep%d" % workers)]
                                    + GRID + common)
            print("  sweep of 16 combinations, %d worker%s: %7.1f s" % (
                workers, "" if workers == 1 else "s", times[workers]))
        efficiency = times[1] / (2 * times[2])
        print("  scale-out efficiency of 2 workers: %.2f of ideal; goal >= %.1f: %s" % (
            efficiency, SCALE_OUT_GOAL, "met" if efficiency >= SCALE_OUT_GOAL else "not met"))


if __name__ == "__main__":
    main()
