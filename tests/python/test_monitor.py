"""The monitor's page in headless Chromium, on replays of the quoting example paced at 20 times
real time: what it shows follows the run as it happens, its buttons act only with the token, and a
page (or a stuck connection) watching the run changes nothing the run writes. Then the page of a
finished run from its journal, and the mistakes a caller makes starting one.

The paced replay ("acted", about 40 s) has the page whose buttons are clicked, its strategy
resting one bid far below the market that only the page cancels. Two more replays of the day at
the same pace compare a run watched by a page that closes mid-run and by a connection that never
reads with one without a monitor; the watched one's journal then serves the journal's page.
QV_UPDATE_SCREENSHOTS=1 writes the acted run's page as docs/monitor_page.png
for the README.
"""
import asyncio
import csv
import json
import os
import pathlib
import re
import socket
import sqlite3
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest

from test_report_page import browser  # noqa: F401  (the fixture)

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "sim" / "data" / "sample_ticks.csv"
STRATEGY = ROOT / "examples" / "quote_both_sides.py"
SCENARIO = ROOT / "examples" / "demo_scenario.json"
SCREENSHOT = ROOT / "docs" / "monitor_page.png"
ADDRESS = re.compile(r"Monitor: (http://[^\s]+)")


def environment(lib_path):
    return dict(os.environ, QUORVANE_LIB=lib_path, PYTHONPATH=str(ROOT / "python"))


def start(args, cwd, lib_path):
    return subprocess.Popen([sys.executable, "-m", "quorvane", *args], env=environment(lib_path),
                            cwd=str(cwd), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True)


def replay(out, lib_path, *extra):
    return start(["replay", str(SAMPLE), "--strategy", str(STRATEGY), "--scenario",
                  str(SCENARIO), "--speed", "20", "--no-progress", "--no-pictures", "--no-html",
                  "--out", str(out), *extra], out.parent, lib_path)


def address_of(process):
    """The page's address the process printed, read up to it."""
    for line in process.stdout:
        found = ADDRESS.search(line)
        if found:
            return found.group(1)
    raise AssertionError("no monitor address printed (exit %s)" % process.wait())


def finish(process):
    rest = process.stdout.read()
    assert process.wait(timeout=120) == 0, rest
    return rest


def wait_for(condition, timeout=20.0, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    raise AssertionError("not seen in %g s" % timeout)


def page_state(browser, expression):
    return browser.execute_script("return window.qvMonitor && (%s);" % expression)


def journal_rows(run_dir, query, args=()):
    path = next(pathlib.Path(run_dir).glob("journal-*.sqlite"))
    db = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
    try:
        return db.execute(query, args).fetchall()
    finally:
        db.close()


def post(url, body):
    request = urllib.request.Request(url, data=json.dumps(body).encode(), method="POST",
                                     headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=10) as answer:
            return answer.status, json.loads(answer.read())
    except urllib.error.HTTPError as refused:
        return refused.code, json.loads(refused.read())


def over_socket(base, message):
    """Sends one action over the WebSocket; the answer to it."""
    import aiohttp

    async def talk():
        async with aiohttp.ClientSession() as session:
            async with session.ws_connect(base.replace("http", "ws") + "/ws") as ws:
                await ws.send_str(json.dumps(message))
                async for received in ws:
                    data = json.loads(received.data)
                    if data.get("type") == "result":
                        return data
    return asyncio.run(asyncio.wait_for(talk(), 15))


# The quoting example, with one bid resting far below the market that it never cancels itself:
# the order whose cancel button the test clicks.
RESTING = """import runpy

QuoteBothSides = runpy.run_path(%r)["QuoteBothSides"]


class QuoteAndRest(QuoteBothSides):
    rested = None

    def on_tick(self, tick):
        if self.rested is None and tick.StandardID == b"rb2705" and tick.BidPrice1 > 0:
            self.rested = self.client.buy("rb2705", 1, price=tick.BidPrice1 - 30,
                                          exchange_id="SHFE")
        super().on_tick(tick)
""" % str(STRATEGY)


@pytest.fixture(scope="module")
def runs(tmp_path_factory, lib_path):
    root = tmp_path_factory.mktemp("monitor")
    resting = root / "quote_and_rest.py"
    resting.write_text(RESTING)
    started = {"acted": replay(root / "acted", lib_path, "--monitor", "127.0.0.1:0",
                               "--strategy", str(resting))}
    addresses = {name: address_of(started[name]) for name in started}
    yield root, started, addresses
    for process in started.values():
        if process.poll() is None:
            process.kill()
            process.wait()


class TestTheLivePage:
    def test_it_shows_each_fill_within_a_second_and_updates_ten_times_a_second(self, runs,
                                                                                 browser):
        root, started, addresses = runs
        browser.get(addresses["acted"])
        wait_for(lambda: page_state(browser, "window.qvMonitor.lags.length > 3"))
        first = page_state(browser, "window.qvMonitor.updates")
        time.sleep(3.0)
        rate = (page_state(browser, "window.qvMonitor.updates") - first) / 3.0
        assert rate >= 8, "%.1f updates a second" % rate
        lags = page_state(browser, "window.qvMonitor.lags")
        assert max(lags) < 1.0, lags
        charts = browser.find_elements("css selector", ".qv-chart canvas")
        assert charts, "no chart drawn"
        assert "rb2705" in browser.find_element("id", "qv-positions").text + \
            browser.find_element("id", "qv-trades").text

    def test_a_click_on_cancel_cancels_that_order(self, runs, browser):
        root, started, addresses = runs
        resting = "//tr[td[2]='rb2705' and td[3]='Buy' and number(td[5]) < %s]//button"
        low = page_state(browser, "window.qvMonitor.state.bars.rb2705.slice(-1)[0][4]") - 20
        button = wait_for(lambda: browser.find_elements("xpath", resting % low))[0]
        order_id = int(button.find_element("xpath", "./ancestor::tr").get_attribute(
            "data-order"))
        button.click()
        result = wait_for(lambda: page_state(
            browser, "window.qvMonitor.results.filter(function (r) { "
                     "return r.order_id === %d; })[0]" % order_id))
        assert result["action"] == "cancel" and result["ok"], result
        canceled = wait_for(lambda: journal_rows(
            root / "acted", "SELECT name FROM events WHERE kind = 'order' AND order_id = ? "
                            "AND name = 'Canceled'", (order_id,)))
        assert canceled
        wait_for(lambda: not browser.find_elements("css selector",
                                                   "tr[data-order='%d']" % order_id))
        if os.environ.get("QV_UPDATE_SCREENSHOTS") == "1":
            browser.save_screenshot(str(SCREENSHOT))

    def test_without_the_token_an_action_is_refused_and_not_taken(self, runs, browser):
        root, started, addresses = runs
        base = addresses["acted"].split("/?")[0]
        browser.get(base + "/")
        wait_for(lambda: page_state(browser, "window.qvMonitor.state !== null"))
        wait_for(lambda: page_state(browser, "window.qvMonitor.state.working.length > 0"))
        assert not browser.find_elements("css selector", "#qv-working button, #qv-kill")
        assert "read-only" in browser.find_element("id", "qv-mode").text
        status, answer = post(base + "/action", {"action": "kill"})
        assert status == 403 and "refused" in answer["error"]
        status, answer = post(base + "/action", {"action": "kill", "token": "guessed"})
        assert status == 403
        answer = over_socket(base, {"action": "kill", "token": "guessed"})
        assert not answer["ok"] and "refused" in answer["error"]
        time.sleep(0.5)
        assert not page_state(browser, "window.qvMonitor.state.risk.killed")
        assert not journal_rows(root / "acted", "SELECT name FROM events WHERE kind = 'risk' "
                                                "AND (name LIKE '%kill%' OR message LIKE "
                                                "'%kill%')")

    def test_the_fills_it_shows_are_those_the_run_journals(self, runs, browser):
        root, started, addresses = runs
        browser.get(addresses["acted"])
        shown = wait_for(lambda: page_state(browser, "window.qvMonitor.state && "
                                                     "window.qvMonitor.state.trades.length && "
                                                     "window.qvMonitor.state.trades"))
        time.sleep(0.5)         # the journal commits within 200 ms
        kept = {(order_id, instrument, price) for order_id, instrument, price in journal_rows(
            root / "acted", "SELECT order_id, instrument, price FROM events WHERE kind = 'fill'")}
        assert {(t[7], t[1], t[4]) for t in shown} <= kept

    def test_a_page_closed_mid_run_and_a_stuck_one_change_nothing_the_run_writes(
            self, runs, browser, lib_path):
        root, started, addresses = runs
        plain = replay(root / "plain", lib_path)
        watched = replay(root / "watched", lib_path, "--monitor", "127.0.0.1:0")
        url = address_of(watched)
        host, port = re.match(r"http://([^:]+):(\d+)/", url).groups()
        stuck = socket.create_connection((host, int(port)))
        stuck.sendall(("GET /ws HTTP/1.1\r\nHost: %s:%s\r\nUpgrade: websocket\r\n"
                       "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                       "Sec-WebSocket-Version: 13\r\n\r\n" % (host, port)).encode())
        browser.get(url)
        wait_for(lambda: page_state(browser, "window.qvMonitor.updates > 3"))
        browser.get("about:blank")
        closed_mid_run = watched.poll() is None
        for process in (watched, plain):
            finish(process)
        stuck.close()
        assert closed_mid_run, "the replay ended before the page was closed"
        kept = (root / "watched" / "trades.csv").read_bytes()
        assert kept == (root / "plain" / "trades.csv").read_bytes()
        assert kept.count(b"\n") > 10


class TestTheJournalsPage:
    def test_a_finished_run_shows_its_fills_read_only(self, runs, browser, lib_path):
        root, started, addresses = runs
        serving = start(["monitor", str(root / "watched")], root, lib_path)
        try:
            url = address_of(serving)
            browser.get(url)
            rows = wait_for(lambda: browser.find_elements("css selector", "#qv-trades tbody tr"))
            assert len(rows) == 50
            with open(root / "watched" / "trades.csv", newline="") as f:
                last = list(csv.DictReader(f))[-1]
            assert last["InstrumentID"] in rows[0].text
            status, answer = post(url.split("/?")[0] + "/action",
                                  {"action": "kill", "token": url.split("token=")[1]})
            assert status == 403 and "read-only" in answer["error"]
        finally:
            serving.kill()
            serving.wait()


class TestCallersMistakes:
    @pytest.mark.parametrize("args, says", [
        (["monitor", "no-such-folder"], "no such run folder"),
        (["replay", str(SAMPLE), "--monitor", "127.0.0.1:port"], "the port is not a number"),
        (["replay", str(SAMPLE), "--monitor", "70000"], "out of range"),
    ], ids=["missing-run-dir", "port-not-a-number", "port-out-of-range"])
    def test_a_bad_address_or_folder_is_told_without_a_traceback(self, tmp_path, lib_path,
                                                                 args, says):
        done = subprocess.run([sys.executable, "-m", "quorvane", *args, "--no-progress"]
                              if args[0] == "replay" else [sys.executable, "-m", "quorvane",
                                                           *args],
                              env=environment(lib_path), cwd=str(tmp_path), timeout=60,
                              capture_output=True, text=True)
        assert done.returncode == 1
        assert says in done.stderr and "Traceback" not in done.stderr, done.stderr

    def test_a_port_in_use_is_told_without_a_traceback(self, tmp_path, lib_path):
        taken = socket.socket()
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        try:
            done = subprocess.run(
                [sys.executable, "-m", "quorvane", "replay", str(SAMPLE), "--no-progress",
                 "--monitor", "127.0.0.1:%d" % taken.getsockname()[1]],
                env=environment(lib_path), cwd=str(tmp_path), timeout=60, capture_output=True,
                text=True)
        finally:
            taken.close()
        assert done.returncode == 1
        assert "cannot listen" in done.stderr and "Traceback" not in done.stderr, done.stderr
