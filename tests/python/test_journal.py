"""The journal of a live day: a trading process killed with SIGKILL mid-day and restarted on the
same trading day keeps one journal holding every event it saw up to the last 200 ms before the
kill, and its fills equal the exchange's own trade list; the writer never drops an order event
however far behind it falls; a damaged journal or a bad folder gets a clear answer.

The killed run is a child process (this file run as a script) trading the stand-in's generated
market with its day kept in SQLite (persistence), so that the restarted child logs in to the same
exchange day. The child prints each event's id as its handler sees it, after the journal's hook
queued it; the parent stamps each line as it arrives, so a line that arrived 200 ms before the
kill was queued earlier still.
"""
import collections
import csv
import io
import json
import os
import signal
import sqlite3
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(ROOT, "python"))

from quorvane import codes, host, sim  # noqa: E402
from quorvane.research import journal_day  # noqa: E402
from quorvane.trading.journal import COMMIT_SECONDS, Journal  # noqa: E402
from journal_feed import Feed  # noqa: E402

DAY = "20260108"
SCENARIO = {"tradingDay": DAY, "persist": True, "instruments": [
    {"instrumentId": "rb2605", "exchangeId": "SHFE", "productId": "rb", "multiplier": 10,
     "priceTick": 1, "marginRatio": 0.1, "preSettlementPrice": 3500}]}


class Busy(host.Strategy):
    """Trades on every tick: crosses the spread one way, then the other, and rests an order far
    away that it cancels at the next tick; prints every event it sees as a JSON line."""

    def __init__(self):
        self.ticks = 0
        self.resting = None

    def say(self, *fields):
        sys.stdout.write(json.dumps(fields) + "\n")
        sys.stdout.flush()

    def on_tick(self, tick):
        self.ticks += 1
        if self.resting is not None:
            self.client.cancel(self.resting)
            self.resting = None
        if self.ticks % 2:
            order = self.buy("rb2605", 1, price=tick.AskPrice1, exchange_id="SHFE")
        else:
            order = self.sell("rb2605", 1, price=tick.BidPrice1, exchange_id="SHFE")
        for sent in self.client.chain(order):
            self.say("order", sent.OrderID, "Sent")
        if self.ticks % 3 == 0:
            self.resting = self.buy_open("rb2605", 1, price=tick.BidPrice1 - 20,
                                         exchange_id="SHFE")
            if self.resting is not None:
                self.say("order", self.resting.OrderID, "Sent")

    def on_order(self, event_id, order, position, usable_cash):
        self.say("order", order.OrderID, codes.event_name(event_id))

    def on_trade(self, order, position, usable_cash):
        self.say("order", order.OrderID, "Traded")

    def on_fill(self, fill):
        self.say("fill", fill.order_id, fill.price, fill.volume)


def child(workdir, phase):
    market = sim.Sim()
    market.load_scenario(SCENARIO)
    market.set_flow_control(0, 0)
    market.set_latency(200)
    strategy = Busy() if phase == "trade" else host.Strategy()
    client = host.Client(strategy, user_id="u1", password="pw", broker_id="9999",
                         app_id="simnow_client_test", auth_code="0000000000000000",
                         trader_front="tcp://127.0.0.1:1", md_front="tcp://127.0.0.1:2",
                         base_path=os.path.join(workdir, "flow"), task_execute_gap=20_000,
                         loop_gap=2_000, run_dir=workdir)
    client.start()
    assert client.wait_ready(20.0)
    if phase == "trade":
        market.set_md_rate(40)
        client.subscribe(["rb2605"], "SHFE")
        time.sleep(60)          # killed long before
    trades = [[t.OrderSysID.decode().strip(), t.Price, t.Volume, t.TradeTime.decode()]
              for t in client.exchange_trades()]
    client.stop()
    sys.stdout.write(json.dumps({"trades": trades}) + "\n")
    sys.stdout.flush()
    os._exit(0)


def environment(lib_path):
    return dict(os.environ, QUORVANE_LIB=lib_path, PYTHONPATH=os.path.join(ROOT, "python"))


def journal_rows(path, sql):
    db = sqlite3.connect(path)
    try:
        return list(db.execute(sql))
    finally:
        db.close()


class TestKilledAndRestarted:
    def test_the_journal_keeps_the_day_up_to_the_kill_and_the_exchanges_fills(
            self, tmp_path, lib_path):
        env = environment(lib_path)
        process = subprocess.Popen([sys.executable, __file__, str(tmp_path), "trade"], env=env,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        seen = []

        def read():
            for line in process.stdout:
                seen.append((time.monotonic(), json.loads(line)))
        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        deadline = time.monotonic() + 60
        while sum(1 for _, e in seen if e[0] == "fill") < 30 and time.monotonic() < deadline:
            time.sleep(0.01)
        killed = time.monotonic()
        process.send_signal(signal.SIGKILL)
        process.wait(30)
        reader.join(10)
        assert process.returncode == -signal.SIGKILL, process.stderr.read()
        before = [e for at, e in seen if at < killed - COMMIT_SECONDS]
        assert sum(1 for e in before if e[0] == "fill") >= 20

        path = str(tmp_path / ("journal-%s.sqlite" % DAY))
        kept = collections.Counter(
            ("order", order_id, name) for order_id, name in journal_rows(
                path, "SELECT order_id, name FROM events WHERE kind = 'order'"))
        kept.update(("fill", order_id, price, volume) for order_id, price, volume in journal_rows(
            path, "SELECT order_id, price, volume FROM events WHERE kind = 'fill'"))
        wanted = collections.Counter(tuple(e) for e in before)
        assert not wanted - kept, "lost before the kill: %s" % sorted(wanted - kept)[:5]

        done = subprocess.run([sys.executable, __file__, str(tmp_path), "resume"], env=env,
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        exchange = json.loads(done.stdout.strip().splitlines()[-1])["trades"]
        fills = journal_rows(path, "SELECT order_sys_id, price, volume, exchange_time FROM events "
                                   "WHERE kind = 'fill'")
        assert len(exchange) >= sum(1 for e in before if e[0] == "fill")
        assert sorted(map(list, fills)) == sorted(exchange)

        # One file for the day, appended by the restart; the kill shows as an outage.
        assert sorted(p.name for p in tmp_path.glob("journal-*.sqlite")) == [os.path.basename(path)]
        assert [r[0] for r in journal_rows(path, "SELECT run FROM runs")] == [1, 2]
        day = journal_day.open_day(str(tmp_path))
        assert [o.what for o in day.outages()] == ["process"]
        printed = subprocess.run([sys.executable, "-m", "quorvane", "journal", str(tmp_path)],
                                 env=env, capture_output=True, text=True, timeout=60)
        assert printed.returncode == 0, printed.stderr
        assert "Fills: %d, %d lots" % (len(fills), sum(f[2] for f in fills)) in printed.stdout
        assert "process" in printed.stdout and "run 1 ended without its stop" in printed.stdout
        rows = list(csv.DictReader(io.StringIO(subprocess.run(
            [sys.executable, "-m", "quorvane", "journal", str(tmp_path), "--csv"], env=env,
            capture_output=True, text=True, timeout=60).stdout)))
        assert sum(1 for r in rows if r["section"] == "fill") == len(fills)
        assert {r["section"] for r in rows} == {"order", "fill", "outage"}


class TestReplayed:
    def test_a_replays_journal_holds_its_trades_and_changes_none_of_its_files(
            self, tmp_path, lib_path):
        """The demo's day replayed with its journal and without: the same report and trades,
        byte for byte, and the journal's fills are the trades file's; a replay into the folder of
        an earlier one begins a journal of its own."""
        runs = {}
        # The first run's journal is replaced by the second's in the same folder, not appended.
        for name, extra in (("with", []), ("with", []), ("without", ["--no-journal"])):
            out = tmp_path / name
            done = subprocess.run(
                [sys.executable, "-m", "quorvane", "replay", os.path.join(ROOT, "sim", "data",
                                                                          "sample_ticks.csv"),
                 "--strategy", os.path.join(ROOT, "examples", "ma_cross.py"), "--scenario",
                 os.path.join(ROOT, "examples", "demo_scenario.json"), "--out", str(out),
                 "--no-progress", "--no-pictures", *extra],
                env=environment(lib_path), capture_output=True, text=True, timeout=120)
            assert done.returncode == 0, done.stdout + done.stderr
            runs[name] = out
        for kept in ("report.txt", "trades.csv"):
            assert (runs["with"] / kept).read_bytes() == (runs["without"] / kept).read_bytes()
        assert not list(runs["without"].glob("journal-*"))
        with open(runs["with"] / "trades.csv", newline="") as source:
            trades = sorted([r["OrderSysID"], float(r["Price"]), int(r["Volume"]), r["TradeTime"]]
                            for r in csv.DictReader(source))
        path = str(runs["with"] / "journal-20261207.sqlite")
        fills = journal_rows(path, "SELECT order_sys_id, price, volume, exchange_time FROM events "
                                   "WHERE kind = 'fill'")
        assert sorted(map(list, fills)) == trades and len(trades) == 74
        assert journal_rows(path, "SELECT source FROM runs") == [("replay",)]


class TestWriter:
    def test_a_writer_far_behind_keeps_every_order_event_and_counts_what_it_left_out(
            self, tmp_path):
        journal = Journal(str(tmp_path), max_backlog=10)
        feed = Feed(journal)
        feed.login(DAY)
        for number in range(1, 51):      # queued while no writer runs: 50 rows behind and more
            feed.order(number * 100)
            journal.on_risk({"rule": "order_rate", "instrument": "rb2605", "value": number,
                             "limit": 10, "action": "refuse"})
        journal.start()
        journal.close()
        path = str(tmp_path / ("journal-%s.sqlite" % DAY))
        assert journal_rows(path, "SELECT count(*) FROM events WHERE kind = 'order'") == [(50,)]
        gap = journal_rows(path, "SELECT data FROM events WHERE kind = 'gap'")
        risk = journal_rows(path, "SELECT count(*) FROM events WHERE kind = 'risk'")[0][0]
        assert json.loads(gap[0][0]) == {"risk": 50 - risk} and risk >= 1
        text = journal_day.text(journal_day.open_day(str(tmp_path)))
        assert "Left out while the writer was behind: %d risk rows" % (50 - risk) in text
        assert "refuse" in text and "order_rate" in text

    def test_a_risk_decision_of_any_shape_is_kept_with_its_fields(self, tmp_path):
        """The risk check hands over objects of its own: their fields are kept, whatever the
        class, and the day prints them."""
        class Decision:
            __slots__ = ("rule", "instrument", "limit", "value", "kind")

            def __init__(self):
                self.rule, self.instrument, self.limit, self.value = "cancels", "rb2605", 500, 400
                self.kind = "warn"
        journal = Journal(str(tmp_path)).start()
        Feed(journal).login(DAY)
        journal.on_risk(Decision())
        journal.close()
        day = journal_day.open_day(str(tmp_path))
        [row] = day.risk()
        assert (row.name, row.message, row.instrument, row.amount) == ("warn", "cancels",
                                                                        "rb2605", 400)
        assert row.fields()["limit"] == 500
        assert "warn" in journal_day.text(day) and "limit 500" in journal_day.text(day)

    def test_a_damaged_journal_is_moved_aside_and_the_day_goes_on(self, tmp_path):
        path = tmp_path / ("journal-%s.sqlite" % DAY)
        path.write_bytes(b"not a database" * 100)
        journal = Journal(str(tmp_path)).start()
        feed = Feed(journal)
        feed.login(DAY)
        feed.order(100)
        journal.close()
        assert (tmp_path / (path.name + ".damaged-1")).read_bytes().startswith(b"not a database")
        assert [o.order_id for o in journal_day.open_day(str(tmp_path)).orders] == [100]


class TestOutages:
    def test_a_lost_front_is_an_outage_until_its_session_answers_again(self, tmp_path):
        journal = Journal(str(tmp_path)).start()
        Feed(journal).login(DAY)
        journal.on_response(11002, 0, True, 4097, "Error:Trader Disconnected.")
        journal.on_response(11003, 0, True, 4097, "Error:Md Disconnected.")
        time.sleep(0.05)
        journal.on_response(11103, 0, True, 0, "")       # the trader front answers again
        journal.close()
        outages = journal_day.open_day(str(tmp_path)).outages()
        assert [(o.what, o.end is not None) for o in outages] == [("trader front", True),
                                                                  ("market data", False)]
        assert outages[0].seconds >= 0.05 and "not back" in outages[1].note


class TestReadingErrors:
    def run(self, *args):
        return subprocess.run([sys.executable, "-m", "quorvane", *args], capture_output=True,
                              text=True, timeout=60,
                              env=dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python")))

    def test_a_folder_without_a_journal_or_a_file_that_is_none_gets_a_sentence(self, tmp_path):
        missing = self.run("journal", str(tmp_path / "nowhere"))
        empty = self.run("journal", str(tmp_path))
        (tmp_path / ("journal-%s.sqlite" % DAY)).write_text("garbage")
        damaged = self.run("journal", str(tmp_path))
        other_day = self.run("journal", str(tmp_path), "--day", "20260109")
        for done, words in ((missing, "no such run folder"), (empty, "holds no journal"),
                            (damaged, "is not a journal"), (other_day, "holds no journal of")):
            assert done.returncode == 1 and words in done.stderr, done.stderr
            assert "Traceback" not in done.stderr


if __name__ == "__main__":
    child(sys.argv[1], sys.argv[2])
