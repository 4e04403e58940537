"""The strategy's clock on days shaped like the real market, replayed through the command line: a
Monday whose night runs on Friday evening (rb to 23:00, au past midnight to 02:30), with and
without a sound ActionDay, after a Friday replayed before it; snapshots at the breaks and the
closes. now() reads Friday evening, the session hooks come in market order, bars agree with a
rebuild made here and never span a break, timers step over the breaks and the weekend."""
import datetime
import json
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, HERE)

from day_files import write_stamps  # noqa: E402

FRIDAY, MONDAY = "20261211", "20261214"
CLOCK_LOG = os.path.join(HERE, "strategies", "clock_log.py")
INSTRUMENTS = [("rb2705", "SHFE"), ("au2706", "SHFE")]
DAY = [("09:00", "10:15"), ("10:30", "11:30"), ("13:30", "15:00")]
# Each product's sessions as hours past its trading day's evening midnight (a night past 24:00).
HOURS = {"rb": [("21:00", "23:00")] + DAY, "au": [("21:00", "26:30")] + DAY}


def minutes(text):
    hours, mins = text.split(":")
    return int(hours) * 60 + int(mins)


def at(day, text, seconds=0):
    """The exchange time `text` (HH:MM, past 24:00 for the small hours) on calendar day `day`."""
    base = datetime.datetime.strptime(day, "%Y%m%d")
    return base + datetime.timedelta(minutes=minutes(text), seconds=seconds)


def day_stamps(day):
    """(instrument, time, millis) of a day session: either side of each break, on the closes."""
    times = [("09:00", 0, 0), ("09:00", 30, 0), ("09:01", 0, 0), ("10:14", 58, 0), ("10:15", 0, 0),
             ("10:30", 0, 0), ("10:30", 0, 500), ("11:29", 59, 0), ("11:30", 0, 0),
             ("13:30", 0, 0), ("13:30", 1, 0), ("14:59", 59, 0), ("15:00", 0, 0)]
    out = []
    for text, seconds, millis in times:
        out += [(code, at(day, text, seconds), millis) for code, _ in INSTRUMENTS]
        if text == "10:15":       # a second snapshot stamped at the close, as fronts send
            out.append(("rb2705", at(day, text), 500))
    return out


def monday_stamps(evening="20261211"):
    both = [("21:00", 0, 0), ("21:00", 0, 500), ("21:00", 30, 0), ("21:29", 59, 0), ("21:30", 0, 0),
            ("22:14", 58, 0), ("22:59", 59, 0)]
    out = [(code, at(evening, t, s), ms) for t, s, ms in both for code, _ in INSTRUMENTS]
    out.append(("rb2705", at(evening, "23:00"), 0))
    out += [("au2706", at(evening, t, s), 0) for t, s in [
        ("23:00", 0), ("23:59", 59), ("24:00", 0), ("24:30", 0), ("25:59", 59), ("26:29", 58),
        ("26:30", 0)]]
    return out + day_stamps(MONDAY)


def write(path, trading_day, stamps, action_day):
    """action_day: "sound" (the calendar date), "trading day" (as some recorders write) or None."""
    exchange = dict(INSTRUMENTS)
    return [dict(row, moment=moment) for row, (_, moment, _) in zip(write_stamps(
        path, trading_day,
        [(code, exchange[code], moment.strftime("%H:%M:%S"), millis,
          moment.strftime("%Y%m%d") if action_day == "sound" else trading_day)
         for code, moment, millis in stamps], action_day=action_day is not None), stamps)]


def rebuild(rows, length):
    """Bars drawn by hand: a tick's bar is its session's N-minute slot of the clock, cut to the
    session; a tick stamped at a session's close belongs to the slot before, and once that bar is
    closed nothing stamped at the close is in a bar. Volume: the cumulative volume at the bar's
    last tick less that at the instrument's tick before the bar (the day's first counts nothing)."""
    bars, last_volume, closed = {}, {}, set()
    for row in rows:
        code, day = row["InstrumentID"], row["TradingDay"]
        clock = row["moment"].hour * 60 + row["moment"].minute
        clock += 24 * 60 if clock < 6 * 60 else 0
        second = row["moment"].second
        volume = row["Volume"]
        before = last_volume.get((code, day), volume)
        last_volume[(code, day)] = volume
        for number, (opens, closes) in enumerate(HOURS[code[:2]]):
            o, c = minutes(opens), minutes(closes)
            if o <= clock < c:
                slot = clock
            elif clock == c and second == 0 and (code, day, number) not in closed:
                slot = c - 1
                closed.add((code, day, number))
            else:
                continue
            start = max(o, slot // length * length)
            key = (code, day, "%02d:%02d:00" % (start // 60 % 24, start % 60))
            bar = bars.setdefault(key, {"minutes": min(slot // length * length + length, c) - start,
                                        "open": row["LastPrice"], "high": row["LastPrice"],
                                        "low": row["LastPrice"], "volume": 0, "ticks": 0})
            bar["high"] = max(bar["high"], row["LastPrice"])
            bar["low"] = min(bar["low"], row["LastPrice"])
            bar["close"] = row["LastPrice"]
            bar["volume"] += volume - before
            bar["ticks"] += 1
            break
    return bars


def replay(base, lib_path, files, bar_minutes=1, holidays=""):
    log = base / "log.jsonl"
    scenario = base / "scenario.json"
    with open(os.path.join(ROOT, "examples", "demo_scenario.json")) as source:
        world = json.load(source)
    world["instruments"].append({
        "instrumentId": "au2706", "exchangeId": "SHFE", "productId": "au", "name": "gold 2706",
        "multiplier": 1000, "priceTick": 1, "marginRatio": 0.1, "preSettlementPrice": 600,
        "limitRatio": 0.07, "maxLimitOrderVolume": 500, "maxMarketOrderVolume": 30,
        "deliveryYear": 2027, "deliveryMonth": 6, "commissionByVolume": 10})
    scenario.write_text(json.dumps(world))
    env = dict(os.environ, QUORVANE_LIB=lib_path, PYTHONPATH=os.path.join(ROOT, "python"))
    done = subprocess.run(
        [sys.executable, "-m", "quorvane", "replay", *map(str, files), "--strategy", CLOCK_LOG,
         "--param", "log=%s" % log, "--param", "minutes=%d" % bar_minutes, "--param",
         "holidays=%s" % holidays, "--scenario", str(scenario), "--out", str(base / "out"),
         "--no-progress"], env=env, cwd=str(base), timeout=180, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    return [json.loads(line) for line in log.read_text().splitlines()]


def sessions_in(log):
    """The session and day hooks, in their order."""
    return [(e["hook"], e["day"], e["name"], e["open"], e["close"]) if "name" in e
            else (e["hook"], e["day"]) for e in log
            if e["hook"] in ("session_start", "session_end", "day_start", "day_end")]


def monday_sessions(evening="2026-12-11", after="2026-12-12"):
    m = "2026-12-14"
    rb_night = (MONDAY, "night", evening + "T21:00:00", evening + "T23:00:00")
    au_night = (MONDAY, "night", evening + "T21:00:00", after + "T02:30:00")
    days = [(MONDAY, "day%d" % n, "%sT%s:00" % (m, o), "%sT%s:00" % (m, c))
            for n, (o, c) in enumerate(DAY, 1)]
    out = [("day_start", MONDAY), ("session_start",) + rb_night, ("session_start",) + au_night,
           ("session_end",) + rb_night, ("session_end",) + au_night]
    for session in days:
        out += [("session_start",) + session, ("session_end",) + session]
    return out + [("day_end", MONDAY)]


def check_bars(log, rows, length):
    bars = [e for e in log if e["hook"] == "bar"]
    got = {(b["instrument"], b["trading_day"], b["start"]): {
        k: b[k] for k in ("minutes", "open", "high", "low", "close", "volume", "ticks")}
        for b in bars}
    assert len(got) == len(bars)            # no bar handed over twice
    assert got == rebuild(rows, length)
    for b in bars:                          # each bar within one session of its product
        start = minutes(b["start"][:5])
        start += 24 * 60 if start < 6 * 60 else 0
        sessions = HOURS[b["instrument"][:2]]
        assert any(minutes(o) <= start and start + b["minutes"] <= minutes(c)
                   for o, c in sessions), b
        assert start not in [minutes(c) for _, c in sessions], b   # no bar opened by a close


@pytest.fixture(scope="module")
def friday_then_monday(tmp_path_factory, lib_path):
    """Two days, the files without ActionDay, and a calendar that wrongly lists the Friday as a
    holiday: only the Friday replayed before dates the Monday's night."""
    base = tmp_path_factory.mktemp("weekend")
    (base / "ticks").mkdir()
    rows = write(base / "ticks" / "fri.csv", FRIDAY, day_stamps(FRIDAY), None)
    rows += write(base / "ticks" / "mon.csv", MONDAY, monday_stamps(), None)
    return rows, replay(base, lib_path, [base / "ticks"], bar_minutes=30, holidays=FRIDAY)


class TestWeekend:
    def test_now_reads_friday_evening_and_saturday_past_midnight(self, friday_then_monday):
        rows, log = friday_then_monday
        ticks = [e for e in log if e["hook"] == "tick"]
        assert [t["now"] for t in ticks] == [
            (r["moment"] + datetime.timedelta(milliseconds=r["UpdateMillisec"])).isoformat()
            for r in rows]
        first_night = next(t for t in ticks if t["time"] == "21:00:00")
        assert first_night["now"] == "2026-12-11T21:00:00"

    def test_sessions_begin_and_end_in_market_order(self, friday_then_monday):
        _, log = friday_then_monday
        friday = [("day_start", FRIDAY)]
        for n, (o, c) in enumerate(DAY, 1):
            session = (FRIDAY, "day%d" % n, "2026-12-11T%s:00" % o, "2026-12-11T%s:00" % c)
            friday += [("session_start",) + session, ("session_end",) + session]
        assert sessions_in(log) == friday + [("day_end", FRIDAY)] + monday_sessions()

    def test_thirty_minute_bars_are_cut_at_the_breaks(self, friday_then_monday):
        rows, log = friday_then_monday
        check_bars(log, rows, 30)
        cut = {(b["instrument"], b["trading_day"], b["start"]): b["minutes"]
               for b in log if b["hook"] == "bar"}
        assert cut[("rb2705", MONDAY, "10:00:00")] == 15          # 10:00-10:15
        assert cut[("au2706", MONDAY, "02:00:00")] == 30          # 02:00-02:30

    def test_a_timer_steps_over_the_breaks_and_the_weekend_once_each(self, friday_then_monday):
        _, log = friday_then_monday
        fired = [e["now"] for e in log if e["hook"] == "timer"]
        assert len(fired) == len(set(fired))
        # The first ticks after the breaks, and the Monday's night after Friday's close.
        for after_break in ["2026-12-11T10:30:00", "2026-12-11T13:30:00", "2026-12-11T21:00:00",
                            "2026-12-14T09:00:00", "2026-12-14T10:30:00"]:
            assert after_break in fired
        assert not [t for t in fired if "2026-12-11T15:00:00" < t < "2026-12-11T21:00:00"]
        assert not [t for t in fired if t > "2026-12-13" and t < "2026-12-14"]


@pytest.mark.parametrize("action_day, holidays", [
    ("sound", FRIDAY), (None, ""), ("trading day", "")],
    ids=["sound-action-day-over-the-calendar", "no-action-day", "action-day-is-the-trading-day"])
def test_a_monday_alone_reads_friday_evening(tmp_path, lib_path, action_day, holidays):
    rows = write(tmp_path / "mon.csv", MONDAY, monday_stamps(), action_day)
    log = replay(tmp_path, lib_path, [tmp_path / "mon.csv"], holidays=holidays)
    ticks = [e for e in log if e["hook"] == "tick"]
    assert [t["now"] for t in ticks] == [
        (r["moment"] + datetime.timedelta(milliseconds=r["UpdateMillisec"])).isoformat()
        for r in rows]
    assert sessions_in(log) == monday_sessions()
    check_bars(log, rows, 1)
    # The close-stamped snapshot closed the session's last minute bar.
    last = next(e for e in log if e["hook"] == "bar" and e["instrument"] == "rb2705"
                and e["start"] == "10:14:00")
    assert last["ticks"] == 2 and last["close"] == next(
        r["LastPrice"] for r in rows
        if r["InstrumentID"] == "rb2705" and r["UpdateTime"] == "10:15:00")
    ending = {(t["instrument"], t["time"], t["millis"]): t["ending"] for t in ticks}
    assert [ending[("rb2705", t, 0)] for t in ("09:00:30", "10:14:58", "10:15:00", "10:30:00",
                                               "14:59:59", "22:59:59")] == [
        False, True, True, False, True, True]
    # au's night runs on to 02:30: at 22:59:59 it is not ending, at 02:29:58 it is.
    assert (ending[("au2706", "22:59:59", 0)], ending[("au2706", "02:29:58", 0)]) == (False, True)
