"""The command line end to end: the demo and a replay of the other example strategy run a day of
the sample ticks on the simulated exchange and end with a report whose numbers the exchange's own
queries confirm, plus the trades CSV and the equity-curve picture."""
import csv
import os
import re
import subprocess
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(ROOT, "python"))

from quorvane.replay import SAMPLE_TICKS  # noqa: E402


def run_cli(args, tmp_path, lib_path):
    env = dict(os.environ, QUORVANE_LIB=lib_path, PYTHONPATH=os.path.join(ROOT, "python"))
    done = subprocess.run([sys.executable, "-m", "quorvane", *args, "--out", str(tmp_path),
                           "--no-progress"], env=env, cwd=str(tmp_path), timeout=180,
                          capture_output=True, text=True)
    return done


def check_report(done, tmp_path):
    assert done.returncode == 0, done.stdout + done.stderr
    out = done.stdout
    assert "DIFFERS" not in out and "agrees" in out
    assert "Handler errors" not in out
    fills = int(re.search(r"^Fills: (\d+), (\d+) lots", out, re.M).group(1))
    with open(tmp_path / "trades.csv", newline="") as source:
        trades = list(csv.DictReader(source))
    assert len(trades) == fills
    for picture in ("equity.png", "price_rb2705.png", "price_m2705.png"):
        assert (tmp_path / picture).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert (tmp_path / "report.txt").read_text() in out
    return fills, trades


class TestCommandLine:
    def test_demo_trades_the_sample_day_and_the_exchange_confirms_its_report(self, tmp_path,
                                                                             lib_path):
        done = run_cli(["demo"], tmp_path, lib_path)
        fills, trades = check_report(done, tmp_path)
        assert fills > 0
        assert {t["Direction"] for t in trades} == {"Buy", "Sell"}
        assert "Positions at the end: flat" in done.stdout
        # The demo's exchange charges fees, and the net profit check accounts for them.
        fees = float(re.search(r"^Fees: ([\d.]+)", done.stdout, re.M).group(1))
        assert fees > 0

    def test_replay_runs_the_quoting_example(self, tmp_path, lib_path):
        done = run_cli(["replay", str(SAMPLE_TICKS), "--strategy",
                        os.path.join(ROOT, "examples", "quote_both_sides.py")], tmp_path, lib_path)
        fills, _ = check_report(done, tmp_path)
        assert fills > 0
        assert "Canceled" in done.stdout

    def test_the_readme_walk_through_runs_as_written(self, tmp_path, lib_path):
        with open(os.path.join(ROOT, "README.md")) as source:
            readme = source.read()
        section = readme[readme.index("## Writing a strategy in five minutes"):]
        code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
        (tmp_path / "breakout.py").write_text(code)
        done = run_cli(["replay", str(SAMPLE_TICKS), "--strategy", "breakout.py"], tmp_path,
                       lib_path)
        fills, _ = check_report(done, tmp_path)
        assert fills > 0
        assert re.search(r"^09:01:00 high [\d.]+ fills \d+$", done.stdout, re.M)
        assert "stopped (finished) after %d fills" % fills in done.stdout

    def test_a_tick_file_with_unknown_instruments_is_refused(self, tmp_path, lib_path):
        ticks = tmp_path / "ticks.csv"
        ticks.write_text("InstrumentID,ExchangeID,UpdateTime,LastPrice\nzz9999,SHFE,09:00:00,1\n")
        done = run_cli(["replay", str(ticks)], tmp_path, lib_path)
        assert done.returncode == 1
        assert "zz9999" in done.stderr
