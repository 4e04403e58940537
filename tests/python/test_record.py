"""Recording from the command line: the stand-in's market recorded for a few seconds replays to the
same snapshots, field by field; the file is written as the ticks come, so a recorder stopped by
Ctrl-C or killed outright keeps every complete row it received."""
import csv
import json
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(ROOT, "python"))

from quorvane.record import COLUMNS  # noqa: E402

TAPE = os.path.join(HERE, "strategies", "tape.py")
INSTRUMENTS = ["--instrument", "rb2705.SHFE", "--instrument", "m2705.DCE"]


def command(args):
    return [sys.executable, "-m", "quorvane", *args]


def environment(lib_path):
    return dict(os.environ, QUORVANE_LIB=lib_path, PYTHONPATH=os.path.join(ROOT, "python"))


def day_file(folder):
    files = sorted(p for p in folder.iterdir() if p.suffix == ".csv")
    assert len(files) == 1, files
    return files[0]


def parsed(row):
    return [value if name in ("TradingDay", "InstrumentID", "ExchangeID", "UpdateTime")
            else (int(value) if name in ("UpdateMillisec", "Volume") or "Volume" in name
                  else float(value)) for name, value in zip(COLUMNS, row)]


class TestRecording:
    def test_a_recorded_file_replays_to_the_same_snapshots(self, tmp_path, lib_path):
        env = environment(lib_path)
        done = subprocess.run(command(["record", *INSTRUMENTS, "--out", str(tmp_path / "ticks"),
                                       "--seconds", "3", "--report-every", "1"]),
                              env=env, cwd=str(tmp_path), capture_output=True, text=True,
                              timeout=120)
        assert done.returncode == 0, done.stdout + done.stderr
        recorded = day_file(tmp_path / "ticks")
        with open(recorded, newline="") as source:
            rows = list(csv.reader(source))
        assert rows[0] == COLUMNS and len(rows) > 8
        assert {r[1] for r in rows[1:]} == {"rb2705", "m2705"}
        assert "Recorded %d ticks" % (len(rows) - 1) in done.stdout
        # One line of what was recorded per period (every second here), then the total.
        assert sum(" ticks (" in line for line in done.stdout.splitlines()) >= 3

        # The generated market trades at any hour; its recording replays on such an exchange.
        tape = tmp_path / "tape.jsonl"
        any_hour = tmp_path / "any_hour.json"
        any_hour.write_text('{"sessions": "always"}')
        done = subprocess.run(command(["replay", str(recorded), "--strategy", TAPE, "--param",
                                       "tape=%s" % tape, "--out", str(tmp_path / "replayed"),
                                       "--scenario", str(any_hour), "--no-progress", "--no-pictures"]),
                              env=env, cwd=str(tmp_path), capture_output=True, text=True,
                              timeout=120)
        assert done.returncode == 0, done.stdout + done.stderr
        replayed = [json.loads(line) for line in tape.read_text().splitlines()]
        assert replayed == [parsed(r) for r in rows[1:]]

    def test_an_interrupted_or_killed_recorder_keeps_what_it_received(self, tmp_path, lib_path):
        env = environment(lib_path)
        for stop in (signal.SIGINT, signal.SIGKILL):
            out = tmp_path / stop.name
            process = subprocess.Popen(command(["record", *INSTRUMENTS, "--out", str(out)]),
                                       env=env, cwd=str(tmp_path), stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, text=True)
            deadline = time.monotonic() + 60
            seen = 0
            while seen < 6 and time.monotonic() < deadline:
                time.sleep(0.2)
                files = list(out.glob("*.csv")) if out.exists() else []
                seen = len(files[0].read_text().splitlines()) - 1 if files else 0
            process.send_signal(stop)
            stdout, _ = process.communicate(timeout=60)
            text = day_file(out).read_text()
            rows = text.splitlines()[1:]
            assert len(rows) >= seen >= 6
            assert text.endswith("\n") and all(len(r.split(",")) == len(COLUMNS) for r in rows)
            if stop == signal.SIGINT:
                assert process.returncode == 0
                assert "Recorded %d ticks" % len(rows) in stdout
