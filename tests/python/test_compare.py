"""A live day against its replay: a strategy trades the stand-in's generated market live while
the recorder writes its ticks, the recording is replayed with the same strategy, and the
comparison accounts for every fill of both journals, lot by lot; on journals whose fills the test
chose, it reports the slippage, the time differences and the one-sided fills they hold.

The live day is a child process (this file run as a script): the stand-in's world is one per
process, so the recorder watches the trading client itself, as `record --strategy` does.
"""
import datetime
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(ROOT, "python"))

from quorvane.research import compare as comparing  # noqa: E402
from quorvane.research.journal_day import open_day  # noqa: E402
from quorvane.trading.journal import Journal  # noqa: E402
from journal_feed import Feed  # noqa: E402

STRATEGY = os.path.join(ROOT, "examples", "ma_cross.py")
PARAMS = ["--param", "fast=3", "--param", "slow=8", "--param", "patience=4"]


def live_day(ticks, run_dir, seconds):
    from quorvane import sim
    from quorvane.research import loading, recording
    from quorvane.research.replay import DEMO_LOGIN
    from quorvane.trading.client import shutdown
    market = sim.Sim()
    market.set_md_rate(12)
    cls = loading.load_strategy_class(STRATEGY)
    strategy = cls(**loading.strategy_params(cls, loading.parse_params(
        [p for p in PARAMS if p != "--param"])))
    recorder = recording.run_record([("rb2705", "SHFE")], ticks, DEMO_LOGIN, seconds=seconds,
                                    report_every=seconds, strategy=strategy, run_dir=run_dir,
                                    log=lambda text: None)
    print(recorder.paths[0], flush=True)
    shutdown(0)


def environment(lib_path):
    return dict(os.environ, QUORVANE_LIB=lib_path, PYTHONPATH=os.path.join(ROOT, "python"))


def lots(orders):
    return sum(o.traded for o in orders)


class TestLiveAgainstReplay:
    def test_every_fill_of_a_live_day_and_its_replay_is_accounted_for(self, tmp_path, lib_path):
        env = environment(lib_path)
        live = str(tmp_path / "live")
        done = subprocess.run([sys.executable, __file__, str(tmp_path / "ticks"), live, "8"],
                              env=env, capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        recorded = done.stdout.strip().splitlines()[-1]
        any_hour = tmp_path / "any_hour.json"
        any_hour.write_text('{"sessions": "always"}')
        replayed = str(tmp_path / "replayed")
        done = subprocess.run([sys.executable, "-m", "quorvane", "replay", recorded, "--strategy",
                               STRATEGY, *PARAMS, "--scenario", str(any_hour), "--out", replayed,
                               "--no-progress", "--no-pictures"],
                              env=env, capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stdout + done.stderr

        comparison = comparing.compare_runs(live, replayed)
        live_day_, replay_day = comparison.live, comparison.replay
        assert live_day_.trading_day == replay_day.trading_day
        assert len(live_day_.fills()) >= 4
        # Every lot of each side is either matched with the other side's or that side's alone.
        for side, day in (("live", live_day_), ("replay", replay_day)):
            assert comparison.matched_lots + comparison.alone(side)[1] == lots(day.orders)
        for pair in comparison.pairs:
            if pair.live is not None and pair.replay is not None:
                assert pair.matched == min(pair.live.traded, pair.replay.traded)
                assert pair.key == (pair.live.instrument, pair.live.direction, pair.live.offset)
        # The same ticks through the same strategy: most orders both sent were filled alike (a
        # snapshot generated between a live order's sending and its matching may part them).
        both = [p for p in comparison.pairs if p.matched]
        assert both and sum(1 for p in both if p.money == 0 and p.seconds == 0) * 2 >= len(both)

        printed = subprocess.run([sys.executable, "-m", "quorvane", "compare", live, replayed],
                                 env=env, capture_output=True, text=True, timeout=60)
        assert printed.returncode == 0, printed.stderr
        paired = sum(1 for p in comparison.pairs if p.live is not None and p.replay is not None)
        assert "Orders: %d paired, %d live only, %d replay only." % (
            paired, sum(1 for p in comparison.pairs if p.replay is None),
            sum(1 for p in comparison.pairs if p.live is None)) in printed.stdout
        assert "Totals: %d lots matched" % comparison.matched_lots in printed.stdout


def journal_of(folder, fills):
    """A journal of trading day 20260108 holding the orders and fills given:
    (order id, direction, offset, lots, [(price, lots, time), ...])."""
    journal = Journal(str(folder), clock=lambda: datetime.datetime(2026, 1, 8, 21, 0, 0))
    journal.terms["rb2605"] = ("SHFE", 1.0, 10)
    journal.start()
    feed = Feed(journal)
    feed.login("20260108")
    for order_id, direction, offset, volume, done in fills:
        feed.order(order_id, direction=direction, offset=offset, lots=volume)
        feed.order(order_id, "Accepted", status=b"3")
        for price, traded, at in done:
            feed.fill(order_id, price, traded, at)
    journal.close()
    return str(folder)


class TestDifferences:
    def test_slippage_times_and_one_sided_fills_are_reported(self, tmp_path):
        live = journal_of(tmp_path / "live", [
            (100, b"0", b"0", 2, [(3502.0, 2, "21:00:01")]),
            (200, b"1", b"3", 1, [(3498.0, 1, "21:00:05")]),
            (300, b"0", b"0", 1, [(3500.0, 1, "21:00:09")])])
        replay = journal_of(tmp_path / "replay", [
            (100, b"0", b"0", 2, [(3500.0, 1, "21:00:02"), (3501.0, 1, "21:00:03")]),
            (200, b"1", b"3", 1, [(3499.0, 1, "21:00:05")]),
            (400, b"1", b"0", 1, [(3490.0, 1, "21:00:07")])])
        comparison = comparing.compare(open_day(live), open_day(replay))
        rows = [(p.key[1:], p.live and p.live.order_id, p.replay and p.replay.order_id,
                 p.matched, p.money, p.seconds) for p in comparison.pairs]
        assert rows == [
            (("Buy", "Open"), 100, 100, 2, 30.0, 1.0),       # live paid 2 and 1 ticks more
            (("Sell", "CloseToday"), 200, 200, 1, 10.0, 0.0),  # live sold a tick lower
            (("Buy", "Open"), 300, None, 0, 0.0, None),
            (("Sell", "Open"), None, 400, 0, 0.0, None)]
        assert [comparison.ticks(p) for p in comparison.pairs[:2]] == [1.5, 1.0]
        assert comparison.alone("live") == (1, 1) and comparison.alone("replay") == (1, 1)
        printed = comparing.text(comparison)
        assert "Orders: 2 paired, 1 live only, 1 replay only." in printed
        assert "Totals: 3 lots matched; slippage +1.33 ticks a lot, +40.00 in money" in printed
        assert "Fills only in live: 1 fills, 1 lots" in printed

    def test_a_partner_that_traded_less_leaves_the_rest_alone(self, tmp_path):
        live = journal_of(tmp_path / "live", [(100, b"0", b"0", 3, [(3500.0, 3, "21:00:01")])])
        replay = journal_of(tmp_path / "replay", [(100, b"0", b"0", 3, [(3500.0, 1, "21:00:01")])])
        comparison = comparing.compare(open_day(live), open_day(replay))
        assert [p.matched for p in comparison.pairs] == [1]
        assert comparison.alone("live") == (1, 2) and comparison.alone("replay") == (0, 0)

    def test_journals_of_other_days_are_refused_with_their_days(self, tmp_path):
        live = journal_of(tmp_path / "live", [])
        other = tmp_path / "other"
        other.mkdir()
        (other / "journal-20260109.sqlite").write_bytes(
            (tmp_path / "live" / "journal-20260108.sqlite").read_bytes())
        done = subprocess.run([sys.executable, "-m", "quorvane", "compare", live, str(other)],
                              capture_output=True, text=True, timeout=60,
                              env=dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python")))
        assert done.returncode == 1 and "no journal of the same trading day" in done.stderr
        assert "20260108" in done.stderr and "20260109" in done.stderr


if __name__ == "__main__":
    live_day(sys.argv[1], sys.argv[2], float(sys.argv[3]))
