"""Command line of the quorvane package:

    python3 -m quorvane demo                 the example strategy on the sample day, with its report
    python3 -m quorvane replay FILE [--strategy file.py[:Class]] [--param NAME=VALUE ...]
    python3 -m quorvane info                 the runtime's version, exports and record sizes
"""
import argparse
import ctypes
import shutil
import subprocess
import sys

from . import records, runtime

_RECORDS = ["CQVLoginField", "CQVOrderField", "CQVPositionField", "CQVMarketDataField",
            "CQVSimpleMarketDataField", "CQVDetailDataField", "CQVQueryCommandField",
            "CQVTransferAssetField", "CQVCreditDebtField"]


def exported_symbols(path):
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


def info(out):
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


def replay(args, out):
    """Runs one strategy on one tick file. 0 when every tick reached the strategy, no handler
    raised and the exchange confirms the report; 130 when Ctrl-C cut the run short (its files are
    written, marked partial); 1 otherwise."""
    from . import loading
    from .replay import run_replay
    cls = loading.load_strategy_class(args.strategy)
    strategy = cls(**loading.strategy_params(cls, loading.parse_params(args.param)))
    print("Strategy: %s (%s)" % (cls.__name__, args.strategy), file=out)
    result = run_replay(strategy, args.ticks, out_dir=args.out, speed=args.speed,
                        progress=not args.no_progress, scenario=args.scenario,
                        continue_from=args.continue_from, pictures=not args.no_pictures,
                        log=lambda text: print(text, file=out, flush=True))
    for problem in result.problems:
        print(problem, file=out)
    if result.partial and "Ctrl-C" in result.partial:
        return 130
    return 0 if result.ok else 1


def _replay_options(parser, ticks_default, scenario_default=None):
    from .replay import DEMO_STRATEGY
    if ticks_default is None:
        parser.add_argument("ticks", help="CSV tick file (CThostFtdcDepthMarketDataField columns)")
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
                             "one caused was delivered; s > 0 paces the ticks s times faster "
                             "than real time")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    parser.add_argument("--no-pictures", action="store_true", help="no pictures")


def main(argv=None):
    from .replay import DEMO_SCENARIO, SAMPLE_TICKS
    parser = argparse.ArgumentParser(prog="python3 -m quorvane")
    commands = parser.add_subparsers(dest="command", required=True)
    _replay_options(commands.add_parser(
        "demo", help="run the example strategy on the sample day and print its report"),
        SAMPLE_TICKS, DEMO_SCENARIO)
    _replay_options(commands.add_parser("replay", help="run a strategy on a tick file"), None)
    commands.add_parser("info", help="print the runtime's version, exports and record sizes")
    args = parser.parse_args(argv)
    if args.command == "info":
        return info(sys.stdout)
    # The runtime's threads never end: finish through shutdown, which ends the process.
    from .host import shutdown
    try:
        code = replay(args, sys.stdout)
    except KeyboardInterrupt:
        print("\nInterrupted before the replay started; nothing was written.", file=sys.stderr)
        code = 130
    except (RuntimeError, ValueError, OSError) as error:
        print("quorvane: %s" % error, file=sys.stderr)
        code = 1
    shutdown(code)


if __name__ == "__main__":
    sys.exit(main())
