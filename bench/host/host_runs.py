"""What the host benchmarks share: the tree's paths, the environment that runs the package from the
tree, the empty strategy, generated days and the comparison of two runs' files. Each benchmark
imports it from beside itself (its folder is the first on the module path).
"""
import os
import subprocess
import sys
from typing import Dict, Sequence

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
PACKAGE = os.path.join(ROOT, "python")
sys.path.insert(0, PACKAGE)

SAMPLE = os.path.join(ROOT, "sim", "data", "sample_ticks.csv")
DEMO_SCENARIO = os.path.join(ROOT, "examples", "demo_scenario.json")
MA_CROSS = os.path.join(ROOT, "examples", "ma_cross.py")
# The two contracts of the sample day, as the generator takes them
TWO_CONTRACTS = ("rb2705.SHFE", "m2705.DCE")

EMPTY_STRATEGY = '''from quorvane import Strategy


class Empty(Strategy):
    """Does nothing: the replay's cost around a strategy."""
'''


def package_env() -> Dict[str, str]:
    """The environment of a child that runs the package from the tree."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE, env.get("PYTHONPATH")) if p)
    return env


def write_empty(folder: str) -> str:
    """The empty strategy's file in `folder`."""
    path = os.path.join(folder, "empty.py")
    with open(path, "w") as out:
        out.write(EMPTY_STRATEGY)
    return path


def generate(folder: str, days: int, instruments: Sequence[str] = TWO_CONTRACTS,
             options: Sequence[str] = ()) -> int:
    """Writes `days` generated trading days from 20261207 into `folder`; returns their
    snapshots."""
    command = [sys.executable, "-m", "quorvane", "generate", "--start", "20261207",
               "--days", str(days), "--out", folder, *options]
    for instrument in instruments:
        command += ["--instrument", instrument]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, env=package_env())
    with_header = 0
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as day:
            with_header += sum(1 for _ in day) - 1
    return with_header


def same_files(a: str, b: str, names: Sequence[str]) -> bool:
    """Whether the files `names` of folders a and b hold the same bytes."""
    for name in names:
        with open(os.path.join(a, name), "rb") as one, open(os.path.join(b, name), "rb") as two:
            if one.read() != two.read():
                return False
    return True
