"""The replay command as a quant uses it, end to end on the stand-in: what a strategy can do
(order verbs, both sides held, timers in exchange time, the end hook), how a run ends (every
way writes its files or refuses before starting, and the exit status says which), where its
files go, and continuing a kept trading day."""
import json
import os
import re
import signal
import subprocess
import sys
import time

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SAMPLE = os.path.join(ROOT, "sim", "data", "sample_ticks.csv")
SCENARIO = os.path.join(ROOT, "examples", "demo_scenario.json")

# A strategy that does one thing (`act`) and tells in on_stop what it saw, as JSON in `log`.
PROBE = r'''
import json
from quorvane import Strategy


class Probe(Strategy):
    def __init__(self, log="probe.json", act="idle", timer=0.0, lots=1):
        self.log, self.act, self.timer, self.lots = log, act, timer, lots
        self.fired = []
        self.ticks = 0
        self.orders = []

    def on_ready(self):
        if self.timer:
            self.every(self.timer, lambda: self.fired.append(self.now().strftime("%H:%M:%S")))

    def on_tick(self, tick):
        self.ticks += 1
        if tick.StandardID != b"rb2705":
            return
        position = self.client.position("rb2705", "SHFE")
        long = position.LongVolume if position is not None else 0
        if self.act == "both" and not self.orders:
            self.orders = [self.buy_open("rb2705", 1, price=tick.AskPrice1),
                           self.sell_open("rb2705", 1, price=tick.BidPrice1)]
        elif self.act == "hold" and long == 0 and not self.orders:
            self.orders = [self.buy("rb2705", self.lots, price=tick.AskPrice1)]
        elif self.act == "raise" and self.ticks == 5:
            raise RuntimeError("a strategy bug")

    def on_stop(self, reason):
        with open(self.log, "w") as out:
            json.dump({"reason": reason, "fired": self.fired, "ticks": self.ticks,
                       "now": str(self.now())}, out)
'''


def run(args, cwd, lib_path, env=None, **kwargs):
    environment = dict(os.environ, QUORVANE_LIB=lib_path, PYTHONPATH=os.path.join(ROOT, "python"))
    environment.update(env or {})
    return subprocess.run([sys.executable, "-m", "quorvane", *args, "--no-progress"],
                          env=environment, cwd=str(cwd), timeout=180, capture_output=True,
                          text=True, **kwargs)


@pytest.fixture
def probe(tmp_path):
    path = tmp_path / "probe.py"
    path.write_text(PROBE)
    return str(path)


def replay(probe, act, out, *extra, ticks=SAMPLE):
    return ["replay", ticks, "--scenario", SCENARIO, "--strategy", probe, "--out", str(out),
            "--param", "act=" + act, "--param", "log=%s" % (out.parent / (out.name + ".json")),
            *extra]


def seen(out):
    return json.loads((out.parent / (out.name + ".json")).read_text())


def fills_of(text):
    return int(re.search(r"^Fills: (\d+)", text, re.M).group(1))


class TestStrategyApi:
    def test_both_sides_are_held_reported_and_timers_follow_exchange_time(self, tmp_path, probe,
                                                                          lib_path):
        out = tmp_path / "both"
        done = run(replay(probe, "both", out, "--param", "timer=30", "--no-pictures"),
                   tmp_path, lib_path)
        assert done.returncode == 0, done.stdout + done.stderr
        assert "Positions at the end: rb2705 long 1 short 1 (margin held" in done.stdout
        assert "flat" not in done.stdout and "DIFFERS" not in done.stdout
        log = seen(out)
        assert log["reason"] == "finished"
        # 09:00:00 to 09:12:29 of replayed market: a timer every 30 s fires 24 times, on time.
        assert log["fired"] == ["09:%02d:%02d" % divmod(30 * n, 60) for n in range(1, 25)]
        assert log["now"].endswith("09:12:29.500000") or log["now"].endswith("09:12:29")

    def test_a_raising_handler_makes_the_run_fail(self, tmp_path, probe, lib_path):
        out = tmp_path / "raise"
        done = run(replay(probe, "raise", out, "--no-pictures"), tmp_path, lib_path)
        assert done.returncode == 1
        assert "Handler errors: 1" in done.stdout
        assert "a strategy bug" in done.stderr
        assert seen(out)["reason"] == "finished"


class TestRefusedBeforeTheReplay:
    @pytest.mark.parametrize("param, message", [
        ("lots=1e3", "lots takes a whole number, not '1e3'"),
        ("size=2", "MovingAverageCross takes no parameter size"),
        ("lots", "parameter 'lots' is not NAME=VALUE"),
    ], ids=["bad-value", "unknown-name", "no-equals"])
    def test_bad_parameters(self, tmp_path, lib_path, param, message):
        done = run(["demo", "--out", str(tmp_path / "run"), "--param", param], tmp_path, lib_path)
        assert done.returncode == 1
        assert message in done.stderr
        assert "Replaying" not in done.stdout
        assert not (tmp_path / "run").exists()

    def test_tick_files_with_a_wrong_exchange_are_refused_and_a_blank_one_is_filled_in(
            self, tmp_path, probe, lib_path):
        with open(SAMPLE) as source:
            lines = source.read().splitlines()[:201]
        wrong = tmp_path / "wrong.csv"
        at = next(n for n, line in enumerate(lines) if n > 40 and ",SHFE," in line)
        wrong.write_text("\n".join(lines[:at] + [lines[at].replace(",SHFE,", ",DCE,")]
                                   + lines[at + 1:]) + "\n")
        done = run(replay(probe, "hold", tmp_path / "wrong", ticks=str(wrong)), tmp_path,
                   lib_path)
        assert done.returncode == 1
        assert "wrong.csv:%d: field ExchangeID" % (at + 1) in done.stderr, done.stderr
        assert not (tmp_path / "wrong" / "trades.csv").exists()

        blank = tmp_path / "blank.csv"
        blank.write_text("\n".join(line.replace(",SHFE,", ",,").replace(",DCE,", ",,")
                                   for line in lines) + "\n")
        done = run(replay(probe, "hold", tmp_path / "blank", "--no-pictures", ticks=str(blank)),
                   tmp_path, lib_path)
        assert done.returncode == 0, done.stdout + done.stderr
        assert "Replayed 200 ticks" in done.stdout and "200 reached the strategy" in done.stdout
        assert "rb2705.SHFE" in done.stdout and "m2705.DCE" in done.stdout


class TestEndings:
    def test_ctrl_c_writes_a_partial_report_of_what_ran(self, tmp_path, probe, lib_path):
        out = tmp_path / "cut"
        environment = dict(os.environ, QUORVANE_LIB=lib_path,
                           PYTHONPATH=os.path.join(ROOT, "python"))
        process = subprocess.Popen(
            [sys.executable, "-m", "quorvane", *replay(probe, "hold", out, "--speed", "20"),
             "--no-progress"], env=environment, cwd=str(tmp_path), stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True)
        try:
            for line in process.stdout:
                if line.startswith("Replaying"):
                    break
            time.sleep(2.0)
            process.send_signal(signal.SIGINT)
            rest, errors = process.communicate(timeout=120)
        finally:
            if process.poll() is None:
                process.kill()
        assert process.returncode == 130, rest + errors
        report = (out / "report.txt").read_text()
        assert re.match(r"PARTIAL RUN: interrupted by Ctrl-C after \d+ of 3000 ticks", report)
        assert "DIFFERS" not in report and "agrees" in report
        trades = (out / "trades.csv").read_text().splitlines()[1:]
        assert len(trades) == fills_of(report) >= 1
        assert (out / "equity.png").exists() and (out / "price_rb2705.png").exists()
        assert seen(out)["reason"] == "interrupted"
        assert "The run is partial" in rest

    def test_without_matplotlib_the_report_comes_first_and_pictures_are_skipped(
            self, tmp_path, probe, lib_path):
        stub = tmp_path / "stub" / "matplotlib"
        stub.mkdir(parents=True)
        (stub / "__init__.py").write_text("raise ImportError('no matplotlib here')\n")
        out = tmp_path / "bare"
        done = run(replay(probe, "hold", out), tmp_path, lib_path, env={
            "PYTHONPATH": os.pathsep.join([str(stub.parent), os.path.join(ROOT, "python")])})
        assert done.returncode == 0, done.stdout + done.stderr
        note = done.stdout.index("Pictures skipped: this interpreter has no matplotlib")
        assert done.stdout.index("Checked against the exchange's own queries") < note
        assert (out / "trades.csv").exists() and not list(out.glob("*.png"))


class TestRunFolders:
    def test_each_run_has_a_folder_of_its_own_and_a_reused_one_is_cleared(self, tmp_path, probe,
                                                                           lib_path):
        args = ["replay", SAMPLE, "--scenario", SCENARIO, "--strategy", probe, "--no-pictures",
                "--param", "act=hold"]
        first, second = run(args, tmp_path, lib_path), run(args, tmp_path, lib_path)
        assert first.returncode == second.returncode == 0
        folders = sorted(os.listdir(tmp_path / "quorvane-runs"))
        assert folders == ["Probe-sample_ticks-001", "Probe-sample_ticks-002"]
        for folder in folders:
            assert (tmp_path / "quorvane-runs" / folder / "trades.csv").exists()

        out = tmp_path / "mine"
        out.mkdir()
        (out / "price_zz9999.png").write_bytes(b"an earlier run's picture")
        (out / "notes.txt").write_text("the user's own file")
        done = run(replay(probe, "hold", out, "--no-pictures"), tmp_path, lib_path)
        assert "Replacing the earlier run's files in %s" % out in done.stdout
        assert not (out / "price_zz9999.png").exists()
        assert (out / "notes.txt").read_text() == "the user's own file"

    def test_a_kept_day_is_continued_only_when_asked(self, tmp_path, probe, lib_path):
        scenario = tmp_path / "persist.json"
        with open(SCENARIO) as source:
            kept = dict(json.load(source), persist=True)
        scenario.write_text(json.dumps(kept))

        def day(out, *extra):
            return run(["replay", SAMPLE, "--scenario", str(scenario), "--strategy", probe,
                        "--out", str(tmp_path / out), "--no-pictures", "--param", "act=hold",
                        "--param", "lots=2", *extra], tmp_path, lib_path)

        first = day("first")
        assert first.returncode == 0, first.stdout + first.stderr
        assert "Positions at the end: rb2705 long 2" in first.stdout
        kept_trades = (tmp_path / "first" / "trades.csv").read_bytes()

        again = day("again")
        assert again.returncode == 0, again.stdout + again.stderr
        assert "Start: the scenario's trading day" in again.stdout
        assert fills_of(again.stdout) == fills_of(first.stdout)

        continued = day("continued", "--continue", str(tmp_path / "first"))
        assert continued.returncode == 0, continued.stdout + continued.stderr
        assert re.search(r"Start: continued the trading day \d+ kept by first: balance [\d.]+, "
                         r"\d+ trades before, positions rb2705 long 2", continued.stdout)
        assert fills_of(continued.stdout) == 0
        assert "Positions at the end: rb2705 long 2" in continued.stdout
        assert "DIFFERS" not in continued.stdout
        assert (tmp_path / "first" / "trades.csv").read_bytes() == kept_trades

        (tmp_path / "empty").mkdir()
        nothing_kept = day("nothing", "--continue", str(tmp_path / "empty"))
        assert nothing_kept.returncode == 1
        assert "holds no kept trading day" in nothing_kept.stderr
