"""Command line of the quorvane package (the `quorvane` command, or python3 -m quorvane):

    python3 -m quorvane demo                 the example strategy on the sample day, with its report
    python3 -m quorvane replay FILE... [--strategy file.py[:Class]] [--param NAME=VALUE ...]
    python3 -m quorvane sweep FILE... --strategy S --grid fast=3,5,8 --grid slow=20..60:10
    python3 -m quorvane sweep DAYS... --strategy S --grid ... --walk-forward 20:5 [--resume]
    python3 -m quorvane record --instrument rb2705.SHFE [...] --out DIR [--strategy S --run-dir R]
    python3 -m quorvane journal RUN_DIR [--csv] [--day YYYYMMDD]
    python3 -m quorvane compare LIVE_RUN_DIR REPLAY_RUN_DIR [--day YYYYMMDD]
    python3 -m quorvane generate --instrument rb2705.SHFE [...] --start DAY --days N --out DIR
    python3 -m quorvane info                 the runtime's version, exports and record sizes
"""
import argparse
import ctypes
import os
import shutil
import subprocess
import sys
import time
from typing import Dict, List, Optional, Sequence, TextIO, Union

from .trading import records, runtime

_RECORDS = ["CQVLoginField", "CQVOrderField", "CQVPositionField", "CQVMarketDataField",
            "CQVSimpleMarketDataField", "CQVDetailDataField", "CQVQueryCommandField",
            "CQVTransferAssetField", "CQVCreditDebtField"]


def exported_symbols(path: str) -> Optional[List[str]]:
    """The library's defined dynamic symbols (demangled), or None when nm is not available."""
    nm = shutil.which("nm")
    if nm is None:
        return None
    result = subprocess.run([nm, "-D", "--defined-only", "--demangle", path],
                            capture_output=True, text=True, check=True)
    symbols = []
    for line in result.stdout.splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[1] in "TtWwDdBbRrVviu":
            symbols.append(parts[2])
    return symbols


def info(out: TextIO) -> int:
    """Prints the runtime's version, exports and record sizes; 1 when an export is missing."""
    path = runtime.library_path()
    lib = runtime.load(path)
    print("QuorvaneForPython38 runtime %s" % runtime.__version__, file=out)
    print("library: %s" % path, file=out)
    missing = [name for name in runtime.EXPORTS if not hasattr(lib, name)]
    print("exports: %d declared, %d missing%s" % (
        len(runtime.EXPORTS), len(missing), (": " + ", ".join(missing)) if missing else ""), file=out)
    symbols = exported_symbols(path)
    if symbols is not None:
        helpers = [s for s in symbols if s.startswith("CQVPrintHelper::")]
        functions = sorted(s for s in symbols if s not in helpers)
        print("exported symbols: %d functions, %d CQVPrintHelper members" % (
            len(functions), len(helpers)), file=out)
        for symbol in functions:
            print("  " + symbol, file=out)
    print("record sizes:", file=out)
    for name in _RECORDS:
        print("  %-26s %5d" % (name, ctypes.sizeof(getattr(records, name))), file=out)
    return 1 if missing else 0


def replay(args: argparse.Namespace, out: TextIO) -> int:
    """Runs one strategy on one tick file, or several trading days. 0 when every tick reached the strategy, no handler
    raised and the exchange confirms the report; 130 when Ctrl-C cut the run short (its files are
    written, marked partial); 1 otherwise."""
    from .research import loading
    from .research.replay import run_replay
    cls = loading.load_strategy_class(args.strategy)
    strategy = cls(**loading.strategy_params(cls, loading.parse_params(args.param)))
    print("Strategy: %s (%s)" % (cls.__name__, args.strategy), file=out)
    result = run_replay(strategy, args.ticks, out_dir=args.out, speed=args.speed,
                        progress=not args.no_progress, scenario=args.scenario,
                        continue_from=args.continue_from, pictures=not args.no_pictures,
                        log=lambda text: print(text, file=out, flush=True), strict=args.strict,
                        journal=not args.no_journal, risk=args.risk, html=not args.no_html,
                        monitor=args.monitor)
    for problem in result.problems:
        print(problem, file=out)
    if result.partial and "Ctrl-C" in result.partial:
        return 130
    return 0 if result.ok else 1


def sweep(args: argparse.Namespace, out: TextIO) -> int:
    """Every combination of the grids (or a draw of them) replayed in its own process on Dask,
    or walked forward over the days; 0 when all ran."""
    from .research import sweep as sweeping
    grid = sweeping.parse_grid(args.grid)
    fixed = dict(pair.partition("=")[::2] for pair in args.param or [])
    clash = set(grid) & set(fixed)
    if clash:
        raise ValueError("%s: both a --grid and a --param" % ", ".join(sorted(clash)))
    if args.sort not in sweeping.COLUMNS:
        raise ValueError("--sort takes one of %s" % ", ".join(sweeping.COLUMNS))
    if args.walk_forward:
        return _walk_forward(args, grid, fixed, out)
    sweeping.combinations(grid, args.sample, args.seed)     # a grid too large is refused here
    os.makedirs(args.out, exist_ok=True)
    started = time.monotonic()
    results = sweeping.sweep(args.ticks, args.strategy, grid, args.out, fixed=fixed,
                             scenario=args.scenario, scheduler=args.scheduler,
                             workers=args.workers, progress=not args.no_progress,
                             strict=args.strict, sample=args.sample, seed=args.seed,
                             resume=args.resume, risk=args.risk, html=not args.no_html,
                             log=lambda text: print(text, file=out, flush=True))
    failed = [r for r in results if not r["ok"]]
    print("Ran %d combinations in %.1f s: %d completed, %d failed." % (
        len(results), time.monotonic() - started, len(results) - len(failed), len(failed)),
        file=out)
    ranked = sweeping.ordered(results, args.sort)
    print("By %s:" % args.sort, file=out)
    print(sweeping.table(ranked, list(grid)), file=out)
    print("Results: %s" % sweeping.write_csv(os.path.join(args.out, "sweep.csv"), ranked,
                                             list(grid)), file=out)
    if len(grid) == 2:
        picture = sweeping.plot_heatmap(os.path.join(args.out, "heatmap.png"), results, grid,
                                        args.sort, log=lambda text: print(text, file=out))
        if picture:
            print("Heat map: %s" % picture, file=out)
    if not args.no_html:
        from .web.sweep_page import write_sweep_page
        print("Page: %s" % write_sweep_page(os.path.join(args.out, "sweep.html"), results, grid,
                                            args.sort), file=out)
    print("Each combination's files: %s" % os.path.join(args.out, "runs"), file=out, flush=True)
    return 1 if failed else 0


def _walk_forward(args: argparse.Namespace, grid: Dict[str, List[str]], fixed: Dict[str, str],
                  out: TextIO) -> int:
    from .research import stats, walk_forward
    train, test = walk_forward.parse_windows(args.walk_forward)
    os.makedirs(args.out, exist_ok=True)
    started = time.monotonic()
    done = walk_forward.walk_forward(
        args.ticks, args.strategy, grid, args.out, train, test, args.sort, fixed=fixed,
        scenario=args.scenario, scheduler=args.scheduler, workers=args.workers,
        progress=not args.no_progress, strict=args.strict, sample=args.sample, seed=args.seed,
        resume=args.resume, risk=args.risk, html=not args.no_html,
        log=lambda text: print(text, file=out, flush=True))
    failed = done.failed
    print("Ran %d replays in %.1f s: %d completed, %d failed." % (
        len(done.results), time.monotonic() - started, len(done.results) - len(failed),
        len(failed)), file=out)
    print("By window, the best by %s on the train days replayed on the test days:" % args.sort,
          file=out)
    print(walk_forward.table(done), file=out)
    if done.stitched is not None:
        tested = list(done.stitched["daily_profit"])
        print("Out of sample, %d test days from %s to %s stitched:" % (
            len(tested), tested[0], tested[-1]), file=out)
        print(stats.text(done.stitched), file=out)
    print("Results: %s" % ", ".join(os.path.join(args.out, name) for name in done.files),
          file=out)
    print("Each window's files: %s" % os.path.join(args.out, "windows"), file=out, flush=True)
    missing = [o for o in done.outcomes if o.error is not None]
    return 1 if failed or missing else 0


def record(args: argparse.Namespace, out: TextIO) -> int:
    """Records ticks until Ctrl-C or --seconds; 0 when something was recorded."""
    import json
    from .research import recording
    from .research.replay import DEMO_LOGIN
    instruments = [recording.parse_instrument(text) for text in args.instrument]
    login = dict(DEMO_LOGIN)
    if args.login:
        with open(args.login) as source:
            login = json.load(source)
    if args.seconds is not None and args.seconds <= 0:
        raise ValueError("--seconds must be above 0")
    strategy = None
    if args.strategy:
        from .research import loading
        cls = loading.load_strategy_class(args.strategy)
        strategy = cls(**loading.strategy_params(cls, loading.parse_params(args.param)))
    elif args.param:
        raise ValueError("--param is for a --strategy")
    if args.run_dir and strategy is None:
        raise ValueError("--run-dir keeps a --strategy's journal")
    recorder = recording.run_record(instruments, args.out, login, seconds=args.seconds,
                                    report_every=args.report_every,
                                    log=lambda text: print(text, file=out, flush=True),
                                    strategy=strategy, run_dir=args.run_dir)
    print("Recorded %d ticks: %s" % (recorder.total, ", ".join(recorder.paths) or "nothing"),
          file=out, flush=True)
    return 0 if recorder.total else 1


def generate(args: argparse.Namespace, out: TextIO) -> int:
    """Writes generated trading days; 0 when every day was written."""
    from .research import generator, recording
    from .research.instrument_terms import Terms
    terms = Terms(args.scenario)
    chosen = [terms.of(*recording.parse_instrument(text)) for text in args.instrument]
    started = time.monotonic()
    written = generator.generate(chosen, args.start, args.days, args.out, seed=args.seed,
                                 log=lambda text: print(text, file=out, flush=True))
    print("Wrote %d day file%s, %d snapshots (%.1f MB) in %.1f s." % (
        len(written), "" if len(written) == 1 else "s", sum(d.snapshots for d in written),
        sum(d.size for d in written) / 1e6, time.monotonic() - started), file=out, flush=True)
    return 0


def journal(args: argparse.Namespace, out: TextIO) -> int:
    """Prints a run's day from its journal."""
    from .research import journal_day
    return journal_day.main(args.run_dir, args.day, args.csv, out)


def monitor(args: argparse.Namespace, out: TextIO) -> int:
    """Serves the monitor's page of a run's day from its journal, read-only, until Ctrl-C."""
    from .errors import InputFileError
    from .research import journal_day
    from .web.monitor import Monitor
    from .web.monitor_feed import JournalFeed
    files = journal_day.journal_files(args.run_dir)
    day = args.day or list(files)[-1]
    if day not in files:
        raise InputFileError("%s holds no journal of %s (its days: %s)" % (
            args.run_dir, day, ", ".join(files)))
    server = Monitor(JournalFeed(files[day]), args.listen,
                     title="quorvane monitor: %s, %s" % (os.path.basename(
                         os.path.abspath(args.run_dir)), day)).start(out)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        server.stop()
    return 0


def compare(args: argparse.Namespace, out: TextIO) -> int:
    """Prints a live day's fills against those of its replay."""
    from .research import compare as comparing
    out.write(comparing.text(comparing.compare_runs(args.live, args.replay, args.day)))
    return 0


def _replay_options(parser: argparse.ArgumentParser,
                    ticks_default: Optional[Union[str, "os.PathLike[str]"]],
                    scenario_default: Optional[Union[str, "os.PathLike[str]"]] = None) -> None:
    from .research.replay import DEMO_STRATEGY
    if ticks_default is None:
        parser.add_argument("ticks", nargs="+",
                            help="CSV tick files (CThostFtdcDepthMarketDataField columns), one per "
                                 "trading day, or a folder of them")
    else:
        parser.set_defaults(ticks=str(ticks_default))
    parser.add_argument("--scenario", default=scenario_default and str(scenario_default),
                        help="JSON scenario of the simulated exchange (instruments, fees, funds; "
                             "default: %(default)s, none is the built-in one)")
    parser.add_argument("--strategy", default=str(DEMO_STRATEGY),
                        help="strategy file, file.py or file.py:Class (default: %(default)s)")
    parser.add_argument("--param", action="append", metavar="NAME=VALUE",
                        help="argument of the strategy's constructor, converted to the type of "
                             "its default (repeatable)")
    parser.add_argument("--out", default=None, metavar="DIR",
                        help="folder for the report, trades.csv, the pictures and the flow files, "
                             "cleared of an earlier run's files (default: a new folder under "
                             "./quorvane-runs/)")
    parser.add_argument("--continue", dest="continue_from", default=None, metavar="RUN",
                        help="continue the trading day kept by an earlier run's folder (its "
                             "scenario said \"persist\": true) instead of starting the "
                             "scenario's own day")
    parser.add_argument("--speed", type=float, default=0.0,
                        help="0 replays as fast as possible, each tick once everything the last "
                             "one caused was delivered; s > 0 also holds each tick back to its "
                             "time, s times faster than real time (the trades are the same)")
    parser.add_argument("--strict", action="store_true",
                        help="refuse a tick file at the first thing its loading would normalise "
                             "(a price without a value, a snapshot older than its instrument's "
                             "last), naming the file, line and field, instead of normalising it")
    parser.add_argument("--risk", metavar="FILE.json",
                        help="limits of the pre-trade check that every order and cancel passes "
                             "(see the README's Risk limits); default: the strategy's own, else "
                             "the defaults (order size, 500 cancels an instrument a day, "
                             "self-trades)")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    parser.add_argument("--no-pictures", action="store_true", help="no pictures")
    parser.add_argument("--no-html", action="store_true",
                        help="no page in the browser (report.html, and a sweep's sweep.html)")


def _monitor_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--monitor", metavar="[HOST:]PORT",
                        help="serve the run's live page in the browser on PORT (0: a free "
                             "one), on 127.0.0.1 unless HOST is given; its address is printed "
                             "with the token that allows actions")


def _journal_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--no-journal", action="store_true",
                        help="keep no journal of the run's days (journal-YYYYMMDD.sqlite)")


def main(argv: Optional[Sequence[str]] = None, prog: str = "python3 -m quorvane") -> int:
    """Runs one command; returns its exit status (replay, demo and record end the process
    instead, through shutdown)."""
    from .research.replay import DEMO_SCENARIO, SAMPLE_TICKS
    parser = argparse.ArgumentParser(prog=prog)
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser(
        "demo", help="run the example strategy on the sample day and print its report")
    _replay_options(demo, SAMPLE_TICKS, DEMO_SCENARIO)
    _journal_option(demo)
    _monitor_option(demo)
    replaying = commands.add_parser("replay", help="run a strategy on a tick file")
    _replay_options(replaying, None)
    _journal_option(replaying)
    _monitor_option(replaying)
    sweeper = commands.add_parser(
        "sweep", help="replay every combination of a parameter grid, in parallel on Dask")
    _replay_options(sweeper, None)
    sweeper.set_defaults(out="quorvane-sweep")
    sweeper.add_argument("--grid", action="append", required=True, metavar="NAME=V1,V2,...",
                         help="values of one strategy parameter, listed or as a range with "
                              "inclusive ends, NAME=3..20 or NAME=0.5..2.0:0.25 (repeatable; "
                              "every combination is run)")
    sweeper.add_argument("--sort", default="sharpe",
                         help="statistic the table is sorted by (default: %(default)s)")
    sweeper.add_argument("--scheduler", metavar="ADDRESS",
                         help="an existing Dask scheduler (tcp://host:8786); default: a local "
                              "cluster of one worker process per core")
    sweeper.add_argument("--workers", type=int,
                         help="worker processes of the local cluster (default: one per core)")
    sweeper.add_argument("--sample", type=int, metavar="N",
                         help="replay N combinations drawn from the grid without replacement "
                              "(all of them when it has no more)")
    sweeper.add_argument("--seed", type=int, default=1,
                         help="seed of the --sample draw (default: %(default)s)")
    sweeper.add_argument("--walk-forward", metavar="TRAIN:TEST",
                         help="walk forward over the trading days: the grid replayed on TRAIN "
                              "days, its best by --sort on the TEST days after them, rolling "
                              "by TEST days; the tests stitched out of sample")
    sweeper.add_argument("--resume", action="store_true",
                         help="continue the interrupted sweep in --out: replay only the "
                              "combinations without a finished result for the same inputs")
    recorder = commands.add_parser(
        "record", help="write the ticks of a market-data front to day files the replay reads")
    recorder.add_argument("--instrument", action="append", required=True,
                          metavar="CODE.EXCHANGE", help="instrument to record (repeatable)")
    recorder.add_argument("--out", default="quorvane-ticks",
                          help="folder of the day files YYYYMMDD.csv (default: %(default)s)")
    recorder.add_argument("--login", metavar="FILE",
                          help="JSON of the client's login keywords (fronts, broker, user; see "
                               "quorvane.trading.client.LOGIN_DEFAULTS); default: the stand-in's")
    recorder.add_argument("--seconds", type=float, help="stop after this long (default: Ctrl-C)")
    recorder.add_argument("--report-every", type=float, default=60.0, metavar="SECONDS",
                          help="a line of what was recorded this often (default: %(default)s)")
    recorder.add_argument("--strategy", metavar="FILE.py[:Class]",
                          help="a strategy that trades live on the recorded session meanwhile")
    recorder.add_argument("--param", action="append", metavar="NAME=VALUE",
                          help="argument of the strategy's constructor (repeatable)")
    recorder.add_argument("--run-dir", metavar="DIR",
                          help="folder of the strategy's journal (journal-YYYYMMDD.sqlite), "
                               "for `journal` and `compare`")
    reading = commands.add_parser("journal", help="print a run's day from its journal")
    reading.add_argument("run_dir", metavar="RUN_DIR",
                         help="a run's folder (or one journal-YYYYMMDD.sqlite)")
    reading.add_argument("--csv", action="store_true", help="machine-readable rows")
    reading.add_argument("--day", metavar="YYYYMMDD",
                         help="the trading day (default: the folder's latest)")
    watching = commands.add_parser(
        "monitor", help="serve the live page of a finished or running day from its journal")
    watching.add_argument("run_dir", metavar="RUN_DIR",
                          help="a run's folder (or one journal-YYYYMMDD.sqlite)")
    watching.add_argument("--day", metavar="YYYYMMDD",
                          help="the trading day (default: the folder's latest)")
    watching.add_argument("--listen", default="127.0.0.1:0", metavar="[HOST:]PORT",
                          help="address of the page (default: %(default)s, a free port)")
    comparing = commands.add_parser(
        "compare", help="match a live day's fills with those of its replay")
    comparing.add_argument("live", metavar="LIVE_RUN_DIR", help="the live run's folder")
    comparing.add_argument("replay", metavar="REPLAY_RUN_DIR", help="the replay's folder")
    comparing.add_argument("--day", metavar="YYYYMMDD",
                           help="the trading day (default: the latest both journals hold)")
    generating = commands.add_parser(
        "generate", help="write generated trading days of full length, one tick file a day")
    generating.add_argument("--instrument", action="append", required=True,
                            metavar="CODE[.EXCHANGE]", help="instrument to generate (repeatable)")
    generating.add_argument("--start", required=True, metavar="YYYYMMDD",
                            help="the first trading day (or the first after this date)")
    generating.add_argument("--days", type=int, required=True, metavar="N",
                            help="how many trading days (weekends and holidays are skipped)")
    generating.add_argument("--out", required=True, metavar="DIR",
                            help="folder of the day files YYYYMMDD.csv (a day's earlier file is "
                                 "replaced)")
    generating.add_argument("--seed", type=int, default=1,
                            help="seed of the random market (default: %(default)s)")
    generating.add_argument("--scenario", metavar="FILE",
                            help="JSON scenario whose instruments' terms (tick, multiplier, "
                                 "pre-settlement price, limit ratio) to trade on; default: the "
                                 "stand-in's built-in instruments")
    commands.add_parser("info", help="print the runtime's version, exports and record sizes")
    args = parser.parse_args(argv)
    if args.command == "info":
        try:
            return info(sys.stdout)
        except (RuntimeError, OSError) as error:
            print("quorvane: %s" % error, file=sys.stderr)
            return 1
    if args.command in ("journal", "compare", "monitor"):
        try:
            return {"journal": journal, "compare": compare, "monitor": monitor}[args.command](
                args, sys.stdout)
        except BrokenPipeError:
            # The reader went away (| head): nothing more to say, and no flush at exit.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 0
        except (ValueError, OSError) as error:
            print("quorvane: %s" % error, file=sys.stderr)
            return 1
    if args.command == "generate":
        try:
            return generate(args, sys.stdout)
        except KeyboardInterrupt:
            print("\nInterrupted; the days written so far are complete.", file=sys.stderr)
            return 130
        except (ValueError, OSError) as error:
            print("quorvane: %s" % error, file=sys.stderr)
            return 1
    if args.command == "sweep":
        try:
            return sweep(args, sys.stdout)
        except KeyboardInterrupt:
            print("\nInterrupted; the replays that finished keep their results in %s: the same "
                  "command with --resume replays only the others." % args.out, file=sys.stderr)
            return 130
        except (RuntimeError, ValueError, OSError) as error:
            print("quorvane: %s" % error, file=sys.stderr)
            return 1
    # The runtime's threads never end: finish through shutdown, which ends the process.
    from .trading.client import shutdown
    try:
        code = record(args, sys.stdout) if args.command == "record" else replay(args, sys.stdout)
    except KeyboardInterrupt:
        print("\nInterrupted before the replay started; nothing was written.", file=sys.stderr)
        code = 130
    except (RuntimeError, ValueError, OSError) as error:
        print("quorvane: %s" % error, file=sys.stderr)
        code = 1
    shutdown(code)


def console() -> None:
    """The `quorvane` command."""
    sys.exit(main(prog="quorvane"))
