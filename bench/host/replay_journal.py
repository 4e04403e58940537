"""Times replays with their journal against the same replays without it (`--no-journal`), in the
same run: the demo (the sample day, the moving-average strategy), and a generated trading day of
rb2705.SHFE and m2705.DCE (82,808 snapshots) with an empty strategy and with the moving-average
one, which fills there almost ten thousand times (some 80,000 rows of journal). The repetitions of both sides alternate and the fastest of each counts, so that
both meet the same phases of a shared machine. The replay phase is the command's own timing
(ReplayResult.elapsed); the whole command runs from the process's start to its end, its journal
closed. It also checks that the journal changes none of the files a replay writes: report.txt
and trades.csv are the same bytes with and without it.

Usage: /usr/bin/python3 bench/host/replay_journal.py [REPETITIONS, default 3]
with QUORVANE_LIB naming the built runtime (the stand-in's control library is found beside it).
"""
import json
import os
import subprocess
import sys
import tempfile
import time
from typing import Any, Dict, List, Tuple

from host_runs import DEMO_SCENARIO as SCENARIO
from host_runs import MA_CROSS as STRATEGY
from host_runs import SAMPLE, generate, package_env, same_files, write_empty

GOAL = 1.05                  # a replay with its journal within this many times one without
MARK = "replay phase: "


def child(argv: List[str]) -> None:
    """The command, as `python3 -m quorvane` runs it, saying its replay phase's length."""
    from quorvane import cli
    from quorvane.research import replay as replaying
    play = replaying.run_replay

    def timed(*args: Any, **kwargs: Any) -> replaying.ReplayResult:
        result = play(*args, **kwargs)
        print(MARK + json.dumps({"seconds": result.elapsed, "fills": len(result.report.trades)}),
              flush=True)
        return result
    replaying.run_replay = timed
    sys.exit(cli.main(argv))


def measure(ticks: str, strategy: str, out: str, journal: bool) -> Tuple[float, float, int]:
    """(command seconds, replay phase seconds, fills) of one replay into `out`."""
    command = [sys.executable, os.path.abspath(__file__), "--child", "replay", ticks,
               "--strategy", strategy, "--scenario", SCENARIO, "--no-pictures",
               "--no-progress", "--out", out] + ([] if journal else ["--no-journal"])
    started = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True, env=package_env())
    seconds = time.perf_counter() - started
    if done.returncode != 0:
        raise SystemExit("the replay command failed (%d):\n%s%s" % (
            done.returncode, done.stdout, done.stderr))
    phase = json.loads(next(line for line in done.stdout.splitlines()
                            if line.startswith(MARK))[len(MARK):])
    return seconds, phase["seconds"], phase["fills"]


def main() -> None:
    if sys.argv[1:2] == ["--child"]:
        child(sys.argv[2:])
    repetitions = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    with tempfile.TemporaryDirectory() as workdir:
        days = os.path.join(workdir, "days")
        generate(days, 1)
        day = os.path.join(days, sorted(os.listdir(days))[0])
        empty = write_empty(workdir)
        for label, ticks, strategy in (
                ("the demo (sample day, moving averages)", SAMPLE, STRATEGY),
                ("a generated day, empty strategy", day, empty),
                ("a generated day, moving averages", day, STRATEGY)):
            best: Dict[bool, List[float]] = {True: [1e9, 1e9], False: [1e9, 1e9]}
            fills = 0
            for repetition in range(repetitions):
                for journal in ((True, False) if repetition % 2 else (False, True)):
                    out = os.path.join(workdir, "%s-%d" % ("with" if journal else "without",
                                                          repetition))
                    command, phase, fills = measure(ticks, strategy, out, journal)
                    best[journal] = [min(best[journal][0], command), min(best[journal][1], phase)]
            identical = same_files(os.path.join(workdir, "with-0"),
                                   os.path.join(workdir, "without-0"),
                                   ("report.txt", "trades.csv"))
            print("%s, %d fills, fastest of %d each:" % (label, fills, repetitions))
            print("  replay phase without the journal (baseline): %6.3f s" % best[False][1])
            print("  replay phase with the journal:               %6.3f s  %.3f x" % (
                best[True][1], best[True][1] / best[False][1]))
            print("  whole command without / with:               %6.3f s / %.3f s  %.3f x" % (
                best[False][0], best[True][0], best[True][0] / best[False][0]))
            print("  goal <= %.2f x: %s; report.txt and trades.csv %s" % (
                GOAL, "met" if best[True][1] <= GOAL * best[False][1] else "not met",
                "identical" if identical else "DIFFER"))


if __name__ == "__main__":
    main()
