"""Tick files as ordinary CTP recorders write them, replayed from the command line and from
Python: prices without a value and the snapshots a front pushes again are normalised, the day
trades as the clean file does and the report counts what was changed; a strict run refuses the
file at its first quirk, naming the file, the line and the field."""
import json
import os
import subprocess
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, HERE)

from day_files import COLUMNS, write_day  # noqa: E402

SAMPLE = os.path.join(ROOT, "sim", "data", "sample_ticks.csv")
SCENARIO = os.path.join(ROOT, "examples", "demo_scenario.json")
NORMALISED = ("normalised: 2 stale snapshots skipped, 4 'no value' prices, 1 trading or action day "
              "corrected, 2 snapshots outside the sessions skipped")


def environment(lib_path):
    return dict(os.environ, QUORVANE_LIB=lib_path, PYTHONPATH=os.path.join(ROOT, "python"))


def replay(ticks, out, lib_path, *extra):
    return subprocess.run([sys.executable, "-m", "quorvane", "replay", str(ticks), "--scenario",
                           SCENARIO, "--out", str(out), "--no-progress", "--no-pictures", *extra],
                          env=environment(lib_path), cwd=str(out.parent), timeout=180,
                          capture_output=True, text=True)


def write_recorded(folder):
    """The sample day's first 300 snapshots as they are (clean.csv) and as a recorder could have
    written them (recorded.csv): four prices without a value in cells the trading never reads, an
    empty volume, two snapshots pushed again after later ones, a wrong action day and two
    snapshots outside the sessions."""
    with open(SAMPLE) as source:
        header, *rows = [line.split(",") for line in source.read().splitlines()[:301]]
    (folder / "clean.csv").write_text("\n".join(",".join(r) for r in [header] + rows) + "\n")
    column = {name: n for n, name in enumerate(header)}
    quirks = [list(r) for r in rows]
    for row, name, text in [(20, "AskPrice5", "N/A"), (21, "BidPrice5", ""),
                            (22, "AveragePrice", "nan"), (23, "PreClosePrice", "1e300"),
                            (24, "BidVolume5", "")]:
        quirks[row][column[name]] = text
    quirks[61:61] = [list(rows[40]), list(rows[41])]
    # A day snapshot stamped with another action day, and two after the last taken in the
    # morning break and after the close.
    quirks[30][column["ActionDay"]] = "20261208"
    for time in ("10:20:00", "15:00:30"):
        late = list(rows[-1])
        late[column["UpdateTime"]] = time
        quirks.append(late)
    (folder / "recorded.csv").write_text("\n".join(",".join(r) for r in [header] + quirks) + "\n")


class TestCommandLine:
    def test_a_recorded_file_trades_as_the_clean_one_and_its_report_counts_the_changes(
            self, tmp_path, lib_path):
        write_recorded(tmp_path)
        clean = replay(tmp_path / "clean.csv", tmp_path / "clean", lib_path)
        recorded = replay(tmp_path / "recorded.csv", tmp_path / "recorded", lib_path)
        assert clean.returncode == 0 and recorded.returncode == 0, recorded.stdout + recorded.stderr
        assert "Replaying 300 ticks of recorded.csv" in recorded.stdout
        assert "Normalised" not in clean.stdout
        lines = (tmp_path / "clean" / "report.txt").read_text().splitlines()
        lines.insert(1, NORMALISED)    # after the start line
        assert (tmp_path / "recorded" / "report.txt").read_text().splitlines() == lines
        assert ((tmp_path / "recorded" / "trades.csv").read_bytes()
                == (tmp_path / "clean" / "trades.csv").read_bytes())

    def test_strict_refuses_the_file_at_its_first_quirk_and_writes_nothing(self, tmp_path,
                                                                         lib_path):
        write_recorded(tmp_path)
        done = replay(tmp_path / "recorded.csv", tmp_path / "out", lib_path, "--strict")
        assert done.returncode == 1
        assert "recorded.csv:22: field AskPrice5: 'N/A' is not a price" in done.stderr, done.stderr
        assert "Replaying" not in done.stdout and not (tmp_path / "out").exists()


class TestFromPython:
    def test_several_days_count_by_file_and_in_all_and_strict_raises_an_input_file_error(
            self, tmp_path, lib_path):
        """Two day files, one pushed a snapshot again, the other lost a price."""
        for n, day in enumerate(["20261207", "20261208"]):
            write_day(tmp_path / ("%s.csv" % day), day, ticks=40, seed=n + 1)
        monday = (tmp_path / "20261207.csv").read_text().splitlines()
        (tmp_path / "20261207.csv").write_text("\n".join(monday + [monday[10]]) + "\n")
        tuesday = [line.split(",") for line in
                   (tmp_path / "20261208.csv").read_text().splitlines()]
        tuesday[5][COLUMNS.index("AskPrice5")] = "N/A"
        (tmp_path / "20261208.csv").write_text("\n".join(",".join(r) for r in tuesday) + "\n")
        code = textwrap.dedent("""
            import json
            from quorvane import InputFileError, run_replay
            from quorvane.research.replay import DEMO_STRATEGY
            days = [%r, %r]
            try:
                run_replay(str(DEMO_STRATEGY), days, out_dir=%r, pictures=False, progress=False,
                           strict=True, log=lambda text: None)
            except InputFileError as error:
                print("refused:", error)
            result = run_replay(str(DEMO_STRATEGY), days, out_dir=%r, pictures=False,
                                progress=False, log=lambda text: None)
            print(json.dumps([result.normalised, result.normalised_files]))
        """) % (str(tmp_path / "20261207.csv"), str(tmp_path / "20261208.csv"),
                str(tmp_path / "strict"), str(tmp_path / "run"))
        done = subprocess.run([sys.executable, "-c", code], env=environment(lib_path),
                              cwd=str(tmp_path), timeout=180, capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
        refused, counts = done.stdout.splitlines()[0], done.stdout.splitlines()[-1]
        assert ("20261207.csv:42: field UpdateTime: 09:00:04 is before the previous rb2705 "
                "snapshot of the day") in refused
        total, by_file = json.loads(counts)
        none = {"days_corrected": 0, "outside_sessions": 0}
        assert total == dict(none, stale_snapshots=1, no_value_prices=1)
        assert by_file == {
            str(tmp_path / "20261207.csv"): dict(none, stale_snapshots=1, no_value_prices=0),
            str(tmp_path / "20261208.csv"): dict(none, stale_snapshots=0, no_value_prices=1)}
        report = (tmp_path / "run" / "report.txt").read_text()
        assert "normalised: 1 stale snapshot skipped" in report

    def test_checking_files_on_several_threads_finds_what_opening_them_finds(self, tmp_path,
                                                                             lib_path):
        # A run checks its day files side by side before the first plays: each check must read
        # its file as the replay will, and leave the file the exchange has open alone.
        write_recorded(tmp_path)
        (tmp_path / "broken.csv").write_text(
            (tmp_path / "clean.csv").read_text().replace("rb2705", "zz9999", 1))
        code = textwrap.dedent("""
            import json, sys
            from concurrent.futures import ThreadPoolExecutor
            from quorvane import sim
            market = sim.Sim()
            market.load_scenario_file(%r)
            paths = [%r, %r] * 4
            with ThreadPoolExecutor(4) as pool:
                checked = list(pool.map(market.replay_check, paths))
            opened = []
            for path in paths[:2]:
                count = market.replay_open(path)
                opened.append([count, [list(i) for i in market.replay_instruments()],
                               market.replay_trading_days(), market.replay_normalised()])
            market.replay_check(paths[0])
            try:
                market.replay_check(%r)
            except sim.SimError as error:
                print(error.message)
            print(json.dumps([[c.ticks, [list(i) for i in c.instruments], c.trading_days,
                               c.normalised] for c in checked]))
            print(json.dumps(opened + [[list(i) for i in market.replay_instruments()]]))
        """) % (SCENARIO, str(tmp_path / "clean.csv"), str(tmp_path / "recorded.csv"),
                str(tmp_path / "broken.csv"))
        done = subprocess.run([sys.executable, "-c", code], env=environment(lib_path),
                              cwd=str(tmp_path), timeout=180, capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
        refused, checked, opened = done.stdout.splitlines()
        assert "broken.csv:2" in refused and "zz9999" in refused
        checked, opened = json.loads(checked), json.loads(opened)
        assert checked == opened[:2] * 4
        assert checked[1][3]["stale_snapshots"] == 2 and checked[1][2] == ["20261207"]
        # The last file opened is still the exchange's, whatever was checked after it.
        assert opened[2] == opened[1][1]
