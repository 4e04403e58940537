"""Command line of the quorvane package:

    python3 -m quorvane demo                 the example strategy on the sample day, with its report
    python3 -m quorvane replay FILE [--strategy file.py[:Class]]
    python3 -m quorvane info                 the runtime's version, exports and record sizes
"""
import argparse
import ctypes
import os
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


def _strategy_params(pairs):
    params = {}
    for pair in pairs or []:
        key, _, value = pair.partition("=")
        try:
            params[key] = int(value)
        except ValueError:
            try:
                params[key] = float(value)
            except ValueError:
                params[key] = value
    return params


def replay(args, out):
    """Runs one strategy on one tick file; 0 when the report agrees with the exchange."""
    from . import replay as replaying
    strategy = replaying.load_strategy(args.strategy, **_strategy_params(args.param))
    print("Strategy: %s (%s)" % (type(strategy).__name__, args.strategy), file=out)
    if isinstance(args.ticks, list):
        if len(args.ticks) > 1 or os.path.isdir(args.ticks[0]):
            return replay_days(strategy, args, out)
        args.ticks = args.ticks[0]
    report = replaying.run_replay(strategy, args.ticks, out_dir=args.out, speed=args.speed,
                                  progress=not args.no_progress, scenario=args.scenario,
                                  log=lambda text: print(text, file=out, flush=True))
    print(report.text(), file=out, flush=True)
    if not report.agrees:
        print("The host's numbers differ from the exchange's.", file=out)
        return 1
    return 0


def replay_days(strategy, args, out):
    """Runs one strategy across several day files; 0 when the last day agrees with the exchange."""
    from . import days, stats
    files = days.day_files(args.ticks)
    report, results, computed = days.run_days(
        strategy, files, args.out, speed=args.speed, progress=not args.no_progress,
        scenario=args.scenario, log=lambda text: print(text, file=out, flush=True))
    print(report.text(), file=out)
    print(days.day_table(results), file=out)
    print(stats.text(computed), file=out)
    print("Statistics: %s, %s" % (os.path.join(args.out, "stats.json"),
                                  os.path.join(args.out, "stats.csv")), file=out, flush=True)
    return 0 if report.agrees else 1


def _replay_options(parser, ticks_default, scenario_default=None):
    from .replay import DEMO_STRATEGY
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
                        help="keyword argument of the strategy's constructor (repeatable)")
    parser.add_argument("--out", default="quorvane-demo",
                        help="folder for trades.csv, equity.png and the flow files "
                             "(default: %(default)s)")
    parser.add_argument("--speed", type=float, default=0.0,
                        help="0 replays as fast as possible; s > 0 paces the ticks s times faster "
                             "than real time")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")


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
        print("\nInterrupted; stopping.", file=sys.stderr)
        code = 130
    except (RuntimeError, ValueError, OSError) as error:
        print("quorvane: %s" % error, file=sys.stderr)
        code = 1
    shutdown(code)


if __name__ == "__main__":
    sys.exit(main())
