"""Times a replay's day roll: the `replay` command on N short trading days against the same on one
of them, in the same run. Each day keeps the first 60 snapshots of a generated full day of
rb2705.SHFE, so what the longer run adds is N - 1 day rolls: the day's end (settlement, expiry of
working orders, the day table's queries), the front's drop, the new login with its whole session
chain and loads, and the strategy's day hooks. The replay phase the command itself times is used,
so start-up and the report do not count.

Usage: /usr/bin/python3 bench/host/day_roll.py [DAYS, default 20]
with QUORVANE_LIB naming the built runtime.
"""
import os
import sys
import tempfile

from host_runs import generate, write_empty
from replay_command import measure

GOAL_MS = 50.0
SNAPSHOTS = 60


def short_days(folder: str, days: int) -> None:
    """`days` generated days in `folder`, each cut to its first SNAPSHOTS snapshots."""
    full = folder + "-full"
    generate(full, days, ["rb2705.SHFE"])
    os.makedirs(folder)
    for name in sorted(os.listdir(full)):
        with open(os.path.join(full, name)) as source, open(os.path.join(folder, name), "w") as out:
            for _ in range(SNAPSHOTS + 1):
                out.write(source.readline())


def main() -> None:
    days = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    with tempfile.TemporaryDirectory() as work:
        folder = os.path.join(work, "days")
        short_days(folder, days)
        one = os.path.join(work, "one")
        os.makedirs(one)
        first = sorted(os.listdir(folder))[0]
        os.link(os.path.join(folder, first), os.path.join(one, first))
        strategy = write_empty(work)
        _, single, _, _ = measure(one, strategy, os.path.join(work, "run-one"))
        _, several, _, _ = measure(folder, strategy, os.path.join(work, "run-all"))
    roll = (several - single) / (days - 1) * 1000.0
    print("day rolls of a replay: %d days of %d snapshots against one such day, empty strategy"
          % (days, SNAPSHOTS))
    print("  %-19s %7.3f s" % ("one day (baseline):", single))
    print("  %-19s %7.3f s" % ("%d days:" % days, several))
    print("  per day roll: %.1f ms (%.2f x one day's replay); goal <= %.0f ms: %s" % (
        roll, roll / 1000.0 / single, GOAL_MS, "met" if roll <= GOAL_MS else "not met"))


if __name__ == "__main__":
    main()
