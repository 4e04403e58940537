"""Command line of the quorvane package: `python3 -m quorvane info`."""
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


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m quorvane")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("info", help="print the runtime's version, exports and record sizes")
    args = parser.parse_args(argv)
    if args.command == "info":
        return info(sys.stdout)
    return 2


if __name__ == "__main__":
    sys.exit(main())
