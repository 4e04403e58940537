"""Generated trading days from the command line: one file per trading day with the night of Monday
on Friday evening and none after a holiday, snapshots in the sessions only, two a second from the
open to a snapshot at the close, prices on the grid inside each day's limits, volumes counting up
within the day, the settlement carried into the next day, the same bytes for the same seed, and
files that replay cleanly with the example strategy."""
import csv
import datetime
import filecmp
import functools
import json
import math
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
STRATEGY = os.path.join(ROOT, "examples", "ma_cross.py")
NO_VALUE = sys.float_info.max

# Independent of the shipped table: the sessions of rb (night to 23:00) and au (night to 02:30),
# as (open, close) times of day, night first.
DAY = [("09:00:00", "10:15:00"), ("10:30:00", "11:30:00"), ("13:30:00", "15:00:00")]
NIGHT = {"rb2705": ("21:00:00", "23:00:00"), "au2705": ("21:00:00", "02:30:00")}
TERMS = {"rb2705": {"instrumentId": "rb2705", "exchangeId": "SHFE", "multiplier": 10,
                    "priceTick": 1, "preSettlementPrice": 3500, "limitRatio": 0.07},
         "au2705": {"instrumentId": "au2705", "exchangeId": "SHFE", "multiplier": 1000,
                    "priceTick": 0.02, "preSettlementPrice": 460, "limitRatio": 0.07}}


def quorvane(args, cwd, lib_path=None):
    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"))
    if lib_path:
        env["QUORVANE_LIB"] = lib_path
    return subprocess.run([sys.executable, "-m", "quorvane", *args], env=env, cwd=str(cwd),
                          timeout=300, capture_output=True, text=True)


def generate(folder, start, days, *instruments, extra=()):
    args = ["generate", "--start", start, "--days", str(days), "--out", str(folder), *extra]
    for instrument in instruments:
        args += ["--instrument", instrument]
    done = quorvane(args, folder.parent)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


@functools.lru_cache(maxsize=8)
def _read(path):
    with open(path, newline="") as source:
        return tuple(csv.DictReader(source))


def rows_of(path, instrument=None):
    """The rows of a CSV file (of one instrument), read once per test module."""
    return [r for r in _read(str(path)) if instrument is None or r["InstrumentID"] == instrument]


def moment(row):
    return datetime.datetime.strptime(row["ActionDay"] + row["UpdateTime"], "%Y%m%d%H:%M:%S") + \
        datetime.timedelta(milliseconds=int(row["UpdateMillisec"]))


@pytest.fixture(scope="module")
def weekend(tmp_path_factory):
    """Friday 2026-12-04 and Monday 2026-12-07 of rb2705 and au2705 on a scenario's terms."""
    base = tmp_path_factory.mktemp("weekend")
    scenario = base / "scenario.json"
    scenario.write_text(json.dumps({"instruments": list(TERMS.values())}))
    out = generate(base / "ticks", "20261204", 2, "rb2705.SHFE", "au2705",
                   extra=["--scenario", str(scenario)])
    return base, scenario, out


@pytest.fixture(scope="module")
def new_year(tmp_path_factory):
    """Thursday 2026-12-31, Monday 2027-01-04 after the New Year holiday, Tuesday 2027-01-05."""
    base = tmp_path_factory.mktemp("new_year")
    generate(base / "ticks", "20261231", 3, "rb2705.SHFE", "m2705.DCE")
    return base


class TestCalendar:
    def test_the_night_of_monday_runs_on_friday_evening(self, weekend):
        base, _, out = weekend
        assert sorted(os.listdir(base / "ticks")) == ["20261204.csv", "20261207.csv"]
        rows = rows_of(base / "ticks" / "20261207.csv")
        assert {r["TradingDay"] for r in rows} == {"20261207"}
        night = [r for r in rows if r["ActionDay"] != "20261207"]
        assert {r["ActionDay"] for r in night if r["InstrumentID"] == "rb2705"} == {"20261204"}
        # au's night passes midnight into Saturday and is stamped with Saturday's date.
        au = [r for r in night if r["InstrumentID"] == "au2705"]
        assert (au[0]["ActionDay"], au[0]["UpdateTime"]) == ("20261204", "21:00:00")
        assert (au[-1]["ActionDay"], au[-1]["UpdateTime"]) == ("20261205", "02:30:00")
        assert "Fri 20261204 21:00 to Mon 20261207 15:00" in out

    def test_no_night_after_a_holiday(self, new_year):
        files = sorted(os.listdir(new_year / "ticks"))
        assert files == ["20261231.csv", "20270104.csv", "20270105.csv"]
        monday = rows_of(new_year / "ticks" / "20270104.csv")
        assert {r["ActionDay"] for r in monday} == {"20270104"}
        assert monday[0]["UpdateTime"] == "09:00:00"
        tuesday = rows_of(new_year / "ticks" / "20270105.csv")
        assert (tuesday[0]["ActionDay"], tuesday[0]["UpdateTime"]) == ("20270104", "21:00:00")


class TestSessions:
    @pytest.mark.parametrize("instrument", ["rb2705", "au2705"])
    def test_two_snapshots_a_second_from_open_to_close_and_none_in_the_breaks(
            self, weekend, instrument):
        base, _, _ = weekend
        friday, saturday, monday = (datetime.date(2026, 12, d) for d in (4, 5, 7))
        night_open, night_close = NIGHT[instrument]
        close_day = saturday if night_close < night_open else friday
        sessions = [(datetime.datetime.combine(friday, _time(night_open)),
                     datetime.datetime.combine(close_day, _time(night_close)))]
        sessions += [(datetime.datetime.combine(monday, _time(o)),
                      datetime.datetime.combine(monday, _time(c))) for o, c in DAY]
        times = [moment(r) for r in rows_of(base / "ticks" / "20261207.csv", instrument)]
        expected = []
        for opened, closed in sessions:
            steps = int((closed - opened).total_seconds() * 2)
            expected += [opened + datetime.timedelta(milliseconds=500 * n)
                         for n in range(steps + 1)]
        assert times == expected

    def test_a_file_is_in_time_order_across_instruments(self, weekend):
        base, _, _ = weekend
        times = [moment(r) for r in rows_of(base / "ticks" / "20261207.csv")]
        assert times == sorted(times)


def _time(text):
    return datetime.datetime.strptime(text, "%H:%M:%S").time()


def _prices(row):
    names = ["LastPrice", "OpenPrice", "HighestPrice", "LowestPrice", "SettlementPrice"] + [
        "%sPrice%d" % (side, level) for side in ("Bid", "Ask") for level in range(1, 6)]
    return [float(row[n]) for n in names if float(row[n]) != NO_VALUE]


class TestPrices:
    @pytest.mark.parametrize("instrument", ["rb2705", "au2705"])
    def test_on_the_grid_inside_the_limits_of_each_day(self, weekend, instrument):
        base, _, _ = weekend
        terms = TERMS[instrument]
        tick, ratio = terms["priceTick"], terms["limitRatio"]
        pre = terms["preSettlementPrice"]
        for name in ("20261204.csv", "20261207.csv"):
            rows = rows_of(base / "ticks" / name, instrument)
            upper = math.floor(pre / tick * (1 + ratio) + 1e-6) * tick
            lower = math.ceil(pre / tick * (1 - ratio) - 1e-6) * tick
            assert float(rows[0]["PreSettlementPrice"]) == pytest.approx(pre)
            assert (float(rows[0]["UpperLimitPrice"]), float(rows[0]["LowerLimitPrice"])) == \
                pytest.approx((upper, lower))
            for row in rows:
                for price in _prices(row):
                    assert abs(price / tick - round(price / tick)) < 1e-6, (name, row)
                    assert lower - 1e-9 <= price <= upper + 1e-9, (name, row)
                bids = [float(row["BidPrice%d" % n]) for n in range(1, 6)]
                asks = [float(row["AskPrice%d" % n]) for n in range(1, 6)]
                assert bids == sorted(bids, reverse=True) and asks == sorted(asks)
                assert bids[0] < asks[0]
                assert float(row["LowestPrice"]) <= float(row["LastPrice"]) <= \
                    float(row["HighestPrice"])
            # The day's settlement, its average price on the grid, is the next day's
            # pre-settlement; its last price the next day's previous close.
            settlement = float(rows[-1]["SettlementPrice"])
            average = float(rows[-1]["Turnover"]) / int(rows[-1]["Volume"]) / terms["multiplier"]
            assert settlement == pytest.approx(math.floor(average / tick + 0.5) * tick)
            assert all(float(r["SettlementPrice"]) == NO_VALUE for r in rows[:-1])
            pre = settlement
            if name == "20261204.csv":
                monday = rows_of(base / "ticks" / "20261207.csv", instrument)
                assert float(monday[0]["PreClosePrice"]) == float(rows[-1]["LastPrice"])
                assert monday[0]["PreOpenInterest"] == rows[-1]["OpenInterest"]

    def test_the_opening_auction_opens_the_day_with_its_price_and_volume(self, new_year):
        for name, first_time in (("20270104.csv", "09:00:00"), ("20270105.csv", "21:00:00")):
            first = rows_of(new_year / "ticks" / name, "rb2705")[0]
            assert (first["UpdateTime"], first["UpdateMillisec"]) == (first_time, "0")
            assert int(first["Volume"]) > 0
            assert float(first["Turnover"]) == float(first["LastPrice"]) * int(first["Volume"]) * 10
            assert first["LastPrice"] == first["OpenPrice"] == first["HighestPrice"] == \
                first["LowestPrice"]


class TestVolumes:
    @pytest.mark.parametrize("name", ["20261231.csv", "20270104.csv", "20270105.csv"])
    def test_volume_and_turnover_count_up_within_the_trading_day(self, new_year, name):
        for instrument in ("rb2705", "m2705"):
            rows = rows_of(new_year / "ticks" / name, instrument)
            for before, after in zip(rows, rows[1:]):
                traded = int(after["Volume"]) - int(before["Volume"])
                assert traded >= 0
                # What traded since the last snapshot traded at its last price.
                assert float(after["Turnover"]) - float(before["Turnover"]) == pytest.approx(
                    traded * float(after["LastPrice"]) * 10)
                assert int(after["OpenInterest"]) >= 0


class TestDeterminism:
    def test_the_same_seed_writes_the_same_bytes_and_another_seed_another_market(
            self, weekend, tmp_path):
        base, scenario, _ = weekend
        generate(tmp_path / "again", "20261204", 2, "rb2705.SHFE", "au2705",
                 extra=["--scenario", str(scenario)])
        generate(tmp_path / "seed2", "20261204", 1, "rb2705.SHFE", "au2705",
                 extra=["--scenario", str(scenario), "--seed", "2"])
        for name in ("20261204.csv", "20261207.csv"):
            assert filecmp.cmp(base / "ticks" / name, tmp_path / "again" / name, shallow=False)
        assert not filecmp.cmp(base / "ticks" / "20261204.csv",
                               tmp_path / "seed2" / "20261204.csv", shallow=False)

    def test_an_instruments_market_does_not_depend_on_the_others(self, new_year, tmp_path):
        generate(tmp_path / "alone", "20261231", 1, "rb2705.SHFE")
        alone = rows_of(tmp_path / "alone" / "20261231.csv")
        assert alone == rows_of(new_year / "ticks" / "20261231.csv", "rb2705")


class TestRefused:
    @pytest.mark.parametrize("args, message", [
        (["--instrument", "ni2705.SHFE"], "not a contract of the built-in products"),
        (["--instrument", "rb2705.DCE"], "rb2705 trades on SHFE, not DCE"),
        (["--instrument", "rb2705", "--days", "0"], "days must be 1 to"),
        (["--instrument", "rb2705", "--start", "2026-12-04"], "is not a date"),
    ], ids=["unknown product", "wrong exchange", "no days", "bad date"])
    def test_bad_arguments_stop_the_command_before_anything_is_written(self, tmp_path, args,
                                                                       message):
        defaults = {"--start": "20261204", "--days": "1"}
        for name, value in defaults.items():
            if name not in args:
                args = args + [name, value]
        done = quorvane(["generate", *args, "--out", str(tmp_path / "ticks")], tmp_path)
        assert done.returncode == 1 and message in done.stderr, done.stderr
        assert not (tmp_path / "ticks").exists() or not os.listdir(tmp_path / "ticks")


class TestReplay:
    def test_generated_days_replay_cleanly_with_the_example_strategy(self, weekend, lib_path):
        base, scenario, _ = weekend
        done = quorvane(["replay", str(base / "ticks"), "--strategy", STRATEGY, "--scenario",
                         str(scenario), "--out", str(base / "run"), "--no-progress",
                         "--no-pictures"], base, lib_path)
        assert done.returncode == 0, done.stdout + done.stderr
        friday = len(rows_of(base / "ticks" / "20261204.csv"))
        monday = len(rows_of(base / "ticks" / "20261207.csv"))
        assert "Replaying %d ticks of 20261204.csv (rb2705.SHFE, au2705.SHFE), trading day " \
               "20261204" % friday in done.stdout
        assert "Replaying %d ticks of 20261207.csv" % monday in done.stdout
        assert "%d reached the strategy" % (friday + monday) in done.stdout
        assert "DIFFERS" not in done.stdout and "Rejected" not in done.stdout
        with open(base / "run" / "days.csv", newline="") as source:
            days = list(csv.DictReader(source))
        assert [d["TradingDay"] for d in days] == ["20261204", "20261207"]
        assert all(int(d["Trades"]) > 0 for d in days)
