"""Times the monitor's cost to a replay: the quoting example on a generated trading day of the two
sample contracts, replayed as fast as it goes (speed 0), three ways in the same run: without a
monitor (the baseline), with a monitor and no page, and with a monitor and a page attached. The
page is a WebSocket client that takes and parses every update the server pushes, as the browser's
script does (a headless browser would compete with the replay for the machine's cores, which
measures the machine, not the monitor). Events are the ticks plus the rows of the run's journal
(every order event, fill, position and session change), over the replay phase the command
measures (the replay's own elapsed time, to the microsecond); the ways take turns, ROUNDS times,
and each keeps its fastest.

Usage: /usr/bin/python3 bench/host/monitor.py [DAYS, default 1]
with QUORVANE_LIB naming the built runtime.
"""
import asyncio
import glob
import json
import os
import re
import sqlite3
import subprocess
import sys
import tempfile
import threading
from typing import List, Optional, Tuple

from host_runs import DEMO_SCENARIO, ROOT, generate, package_env
from replay_command import MARK

QUOTING = os.path.join(ROOT, "examples", "quote_both_sides.py")
GOAL = 0.10         # the replay's speed with the monitor within 10% of the baseline's
ROUNDS = 5
ADDRESS = re.compile(r"Monitor: (http://\S+)")


def attach(url: str, seen: List[int]) -> threading.Thread:
    """A page on `url`'s WebSocket, on a thread of its own, counting the updates in seen[0]."""
    import aiohttp

    async def read() -> None:
        async with aiohttp.ClientSession() as session:
            async with session.ws_connect(url.split("/?")[0].replace("http", "ws") + "/ws") as ws:
                async for message in ws:
                    json.loads(message.data)
                    seen[0] += 1

    def run() -> None:
        try:
            asyncio.run(read())
        except Exception:    # the replay's end closes the connection
            pass

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread


def replay(days: str, out: str, monitor: bool, page: bool) -> Tuple[float, int, int]:
    """(replay phase seconds, events, page updates) of one run."""
    command = [sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                            "replay_command.py"), "--child", "replay", days,
               "--strategy", QUOTING,
               "--scenario", DEMO_SCENARIO, "--no-progress", "--no-pictures", "--no-html",
               "--out", out]
    if monitor:
        command += ["--monitor", "127.0.0.1:0"]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True, env=package_env())
    assert process.stdout is not None
    seen = [0]
    reader: Optional[threading.Thread] = None
    phase: Optional[Tuple[int, float]] = None
    text = []
    for line in process.stdout:
        text.append(line)
        found = ADDRESS.search(line)
        if found and page:
            reader = attach(found.group(1), seen)
        if line.startswith(MARK):
            figures = json.loads(line[len(MARK):])
            phase = figures["ticks"], figures["seconds"]
    if process.wait() != 0 or phase is None:
        raise SystemExit("the replay failed (%s):\n%s" % (process.returncode, "".join(text)))
    if reader is not None:
        reader.join(5.0)
    rows = 0
    for path in glob.glob(os.path.join(out, "journal-*.sqlite")):
        db = sqlite3.connect(path)
        rows += db.execute("SELECT count(*) FROM events").fetchone()[0]
        db.close()
    return phase[1], phase[0] + rows, seen[0]


def main() -> None:
    days = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    ways = [("no monitor (baseline)", False, False), ("monitor, no page", True, False),
            ("monitor, a page", True, True)]
    best = {}
    with tempfile.TemporaryDirectory() as work:
        folder = os.path.join(work, "days")
        generate(folder, days)
        for round_ in range(ROUNDS):
            for n, (name, monitor, page) in enumerate(ways):
                seconds, events, updates = replay(folder, os.path.join(work, "run-%d-%d" % (
                    round_, n)), monitor, page)
                if name not in best or seconds < best[name][0]:
                    best[name] = (seconds, events, updates)
    base_seconds, base_events, _ = best[ways[0][0]]
    base_rate = base_events / base_seconds
    print("the monitor's cost to a replay: the quoting example on %d generated day%s, speed 0, "
          "fastest of %d" % (days, "" if days == 1 else "s", ROUNDS))
    for name, _, page in ways:
        seconds, events, updates = best[name]
        rate = events / seconds
        print("  %-22s %7.3f s  %9.0f events/s  %.3f x baseline%s" % (
            name + ":", seconds, rate, rate / base_rate,
            "  (%d updates, %.1f a second)" % (updates, updates / seconds) if page else ""))
    worst = min(best[name][1] / best[name][0] for name, _, _ in ways[1:]) / base_rate
    print("  goal: within %.0f%% of the baseline: %s" % (
        GOAL * 100, "met" if worst >= 1.0 - GOAL else "not met"))


if __name__ == "__main__":
    main()
