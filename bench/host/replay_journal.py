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

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
PACKAGE = os.path.join(ROOT, "python")
sys.path.insert(0, PACKAGE)

GOAL = 1.05                  # a replay with its journal within this many times one without
MARK = "replay phase: "
STRATEGY = os.path.join(ROOT, "examples", "ma_cross.py")
EMPTY_STRATEGY = '''from quorvane import Strategy


class Empty(Strategy):
    """Does nothing: the replay's cost around a strategy."""
'''
SCENARIO = os.path.join(ROOT, "examples", "demo_scenario.json")
SAMPLE = os.path.join(ROOT, "sim", "data", "sample_ticks.csv")


def _env() -> Dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE, env.get("PYTHONPATH")) if p)
    return env


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
    done = subprocess.run(command, capture_output=True, text=True, env=_env())
    seconds = time.perf_counter() - started
    if done.returncode != 0:
        raise SystemExit("the replay command failed (%d):\n%s%s" % (
            done.returncode, done.stdout, done.stderr))
    phase = json.loads(next(line for line in done.stdout.splitlines()
                            if line.startswith(MARK))[len(MARK):])
    return seconds, phase["seconds"], phase["fills"]


def same_files(a: str, b: str) -> bool:
    for name in ("report.txt", "trades.csv"):
        with open(os.path.join(a, name), "rb") as one, open(os.path.join(b, name), "rb") as two:
            if one.read() != two.read():
                return False
    return True


def main() -> None:
    if sys.argv[1:2] == ["--child"]:
        child(sys.argv[2:])
    repetitions = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    with tempfile.TemporaryDirectory() as workdir:
        days = os.path.join(workdir, "days")
        subprocess.run([sys.executable, "-m", "quorvane", "generate", "--start", "20261207",
                        "--days", "1", "--out", days, "--instrument", "rb2705.SHFE",
                        "--instrument", "m2705.DCE"], check=True, stdout=subprocess.DEVNULL,
                       env=_env())
        day = os.path.join(days, sorted(os.listdir(days))[0])
        empty = os.path.join(workdir, "empty.py")
        with open(empty, "w") as out:
            out.write(EMPTY_STRATEGY)
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
                                   os.path.join(workdir, "without-0"))
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
