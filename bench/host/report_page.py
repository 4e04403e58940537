"""Times what a replay's page costs against the replay itself, in the same run: the demo (the
sample day, the moving-average strategy) and a generated trading day of rb2705.SHFE and m2705.DCE
(82,808 snapshots) with an empty strategy and with the moving-average one, which fills there
almost ten thousand times. The page's cost is its candles, built as each day closes, and the
writing of report.html, timed inside the command; the baseline is the same command's replay phase
(ReplayResult.elapsed). The whole command is also timed with its page and with --no-html,
the repetitions of both sides alternating and the fastest of each counting, so that both meet the
same phases of a shared machine; report.txt, trades.csv, days.csv and stats.json are checked to be
the same bytes either way.

Usage: /usr/bin/python3 bench/host/report_page.py [REPETITIONS, default 3]
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

GOAL = 0.2                   # the page within this share of the replay phase
MARK = "page cost: "
SAME = ("report.txt", "trades.csv", "days.csv", "stats.json")


def child(argv: List[str]) -> None:
    """The command, as `python3 -m quorvane` runs it, saying its replay phase's length and the
    time its page took."""
    from quorvane import cli
    from quorvane.research import replay as replaying
    from quorvane.web import candles, report_page
    spent = [0.0]

    def timing(function: Any) -> Any:
        def timed(*args: Any, **kwargs: Any) -> Any:
            started = time.perf_counter()
            try:
                return function(*args, **kwargs)
            finally:
                spent[0] += time.perf_counter() - started
        return timed
    candles.MinuteCandles.add_day = timing(candles.MinuteCandles.add_day)
    report_page.write_report_page = timing(report_page.write_report_page)
    play = replaying.run_replay

    def timed_replay(*args: Any, **kwargs: Any) -> replaying.ReplayResult:
        result = play(*args, **kwargs)
        print(MARK + json.dumps({"replay": result.elapsed, "page": spent[0],
                                 "fills": len(result.report.trades)}), flush=True)
        return result
    replaying.run_replay = timed_replay
    sys.exit(cli.main(argv))


def measure(ticks: str, strategy: str, out: str, html: bool) -> Tuple[float, Dict[str, Any]]:
    """(command seconds, {"replay", "page", "fills"}) of one replay into `out`."""
    command = [sys.executable, os.path.abspath(__file__), "--child", "replay", ticks,
               "--strategy", strategy, "--scenario", SCENARIO, "--no-pictures",
               "--no-progress", "--no-journal", "--out", out] + ([] if html else ["--no-html"])
    started = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True, env=package_env())
    seconds = time.perf_counter() - started
    if done.returncode != 0:
        raise SystemExit("the replay command failed (%d):\n%s%s" % (
            done.returncode, done.stdout, done.stderr))
    phase = json.loads(next(line for line in done.stdout.splitlines()
                            if line.startswith(MARK))[len(MARK):])
    return seconds, phase


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
            command = {True: 1e9, False: 1e9}
            replay = page = 1e9
            fills, size = 0, 0
            for repetition in range(repetitions):
                for html in ((True, False) if repetition % 2 else (False, True)):
                    out = os.path.join(workdir, "%s-%d" % ("with" if html else "without",
                                                          repetition))
                    seconds, phase = measure(ticks, strategy, out, html)
                    command[html] = min(command[html], seconds)
                    fills = phase["fills"]
                    if html:
                        replay, page = min(replay, phase["replay"]), min(page, phase["page"])
                        size = os.path.getsize(os.path.join(out, "report.html"))
            identical = same_files(os.path.join(workdir, "with-0"),
                                   os.path.join(workdir, "without-0"), SAME)
            print("%s, %d fills, fastest of %d each:" % (label, fills, repetitions))
            print("  replay phase (baseline):        %6.3f s" % replay)
            print("  the page (candles and writing): %6.3f s  %.3f x the replay phase, "
                  "report.html %.2f MB" % (page, page / replay, size / 1e6))
            print("  whole command --no-html / with: %6.3f s / %.3f s  %.3f x" % (
                command[False], command[True], command[True] / command[False]))
            print("  goal <= %.2f x: %s; %s %s" % (
                GOAL, "met" if page <= GOAL * replay else "not met", ", ".join(SAME),
                "identical" if identical else "DIFFER"))


if __name__ == "__main__":
    main()
