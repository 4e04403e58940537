"""The pages in the browser: the demo's report.html and a small sweep's sweep.html, opened from disk
in headless Chromium, must draw their charts without a console error and show the run's own
figures; the page changes nothing else a run writes, is the same bytes for the same replay, and
its candles are the bars a strategy is handed.

The browser tests need Debian's chromium, chromium-driver and python3-selenium (scripts/setup.sh
installs them); without them they fail, saying so. QV_UPDATE_SCREENSHOTS=1 writes the demo's page
as docs/report_page.png for the README.
"""
import datetime
import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))

from quorvane import bars_from_csv  # noqa: E402
from quorvane.research import stats as statistics  # noqa: E402
from quorvane.research.report import Report  # noqa: E402
from quorvane.web import page, write_report_page  # noqa: E402
from quorvane.web.candles import Candles  # noqa: E402

SAMPLE = ROOT / "sim" / "data" / "sample_ticks.csv"
STRATEGY = ROOT / "examples" / "ma_cross.py"
SCENARIO = ROOT / "examples" / "demo_scenario.json"
SCREENSHOT = ROOT / "docs" / "report_page.png"
RUN_FILES = ("report.txt", "trades.csv", "days.csv", "stats.json")


def run_cli(args, cwd, lib_path):
    env = dict(os.environ, QUORVANE_LIB=lib_path, PYTHONPATH=str(ROOT / "python"))
    quiet = [] if args[0] == "generate" else ["--no-progress"]
    done = subprocess.run([sys.executable, "-m", "quorvane", *args, *quiet], env=env,
                          cwd=str(cwd), timeout=180, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    return done


def page_data(path):
    text = path.read_text(encoding="utf-8")
    found = re.search(r'<script type="application/json" id="qv-data">(.*?)</script>', text, re.S)
    return json.loads(found.group(1))


@pytest.fixture(scope="module")
def demos(tmp_path_factory, lib_path):
    """The demo three times at once: twice with its page, once with --no-html."""
    root = tmp_path_factory.mktemp("demos")
    runs = {"first": [], "second": [], "no-html": ["--no-html"]}
    with ThreadPoolExecutor(max_workers=3) as pool:
        started = [pool.submit(run_cli, ["demo", "--out", str(root / name), *extra], root,
                               lib_path) for name, extra in runs.items()]
        for future in started:
            future.result()
    return root


@pytest.fixture(scope="module")
def two_days(tmp_path_factory, lib_path):
    """Two generated trading days of rb2705 (night sessions, breaks) replayed with no strategy."""
    root = tmp_path_factory.mktemp("days")
    run_cli(["generate", "--instrument", "rb2705.SHFE", "--start", "20261207", "--days", "2",
             "--out", str(root / "days")], root, lib_path)
    (root / "idle.py").write_text("from quorvane import Strategy\n\n\n"
                                  "class Idle(Strategy):\n    pass\n")
    run_cli(["replay", str(root / "days"), "--strategy", str(root / "idle.py"), "--no-pictures",
             "--no-journal", "--out", str(root / "run")], root, lib_path)
    return root


@pytest.fixture(scope="module")
def small_sweep(tmp_path_factory, lib_path):
    out = tmp_path_factory.mktemp("sweep") / "sweep"
    run_cli(["sweep", str(SAMPLE), "--strategy", str(STRATEGY), "--scenario", str(SCENARIO),
             "--grid", "fast=3,5", "--grid", "slow=20", "--sort", "net_profit", "--workers",
             "2", "--out", str(out)], out.parent, lib_path)
    return out


@pytest.fixture(scope="module")
def browser():
    missing = [name for name in ("chromium", "chromedriver") if shutil.which(name) is None]
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        missing.append("python3-selenium")
    if missing:
        pytest.fail("the report pages are tested in headless Chromium, and this machine lacks "
                    "%s: run scripts/setup.sh (apt-get install chromium chromium-driver "
                    "python3-selenium)" % ", ".join(missing))
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1400,1800", "--hide-scrollbars"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
    yield driver
    driver.quit()


def open_page(browser, path):
    browser.get_log("browser")      # what an earlier page logged
    browser.get(path.as_uri())
    for _ in range(50):
        if browser.execute_script("return document.readyState") == "complete":
            break
        time.sleep(0.1)
    severe = [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]
    assert not severe, severe


class TestReportPageInTheBrowser:
    def test_opens_from_disk_with_no_error_and_no_request(self, demos, browser):
        open_page(browser, demos / "first" / "report.html")
        fetched = browser.execute_script(
            "return performance.getEntriesByType('resource').map(e => e.name)")
        assert fetched == []

    def test_its_charts_are_drawn(self, demos, browser, tmp_path):
        open_page(browser, demos / "first" / "report.html")
        sizes = browser.execute_script(
            "return Array.from(document.querySelectorAll('.chart canvas'))"
            ".map(c => [c.width, c.height])")
        assert len(sizes) > 10 and all(w > 0 and h > 0 for w, h in sizes)
        drawn = browser.execute_script(
            "var c = window.qvCharts; return [!!c.equity, !!c.drawdown, !!c.daily,"
            " Object.keys(c.instruments).sort()]")
        assert drawn == [True, True, True, ["m2705", "rb2705"]]
        from PIL import Image
        shot = tmp_path / "page.png"
        browser.save_screenshot(str(shot))
        with Image.open(shot) as image:
            colours = image.convert("RGB").getcolors(maxcolors=1 << 20)
        assert len(colours) > 100
        if os.environ.get("QV_UPDATE_SCREENSHOTS") == "1":
            SCREENSHOT.parent.mkdir(exist_ok=True)
            shutil.copyfile(shot, SCREENSHOT)

    def test_its_figures_are_those_of_stats_json_as_report_txt_prints_them(self, demos, browser):
        open_page(browser, demos / "first" / "report.html")
        shown = browser.execute_script(
            "return Array.from(document.querySelectorAll('[data-stat]')).map(e =>"
            " [e.dataset.stat, e.dataset.day || null, e.dataset.value, e.textContent])")
        with open(demos / "first" / "stats.json") as source:
            stats = json.load(source)
        values = {(key, day): json.loads(value) for key, day, value, _ in shown}
        expected = {(key, None): value for key, value in stats.items() if key != "daily_profit"}
        expected.update({("daily_profit", day): profit
                         for day, profit in stats["daily_profit"].items()})
        assert values == expected
        printed = (demos / "first" / "report.txt").read_text()
        for key, label, text in statistics.shown(stats):
            assert [t for k, _, _, t in shown if k == key] == [text]
            assert "  %-26s %s\n" % (label, text) in printed

    def test_hovering_a_marked_candle_shows_its_fills_round_trip(self, demos, browser):
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.by import By
        open_page(browser, demos / "first" / "report.html")
        data = page_data(demos / "first" / "report.html")
        instrument = data["instruments"][0]
        closing = next(f for f in instrument["fills"] if "round trip" in " ".join(f["lines"]))
        x = browser.execute_script(
            "return window.qvCharts.instruments[arguments[0]].chart.timeScale()"
            ".timeToCoordinate(arguments[1])", instrument["name"], closing["t"])
        chart = browser.find_element(By.ID, "chart-candles-0")
        browser.execute_script("arguments[0].scrollIntoView()", chart)
        ActionChains(browser).move_to_element_with_offset(
            chart, int(x) - chart.size["width"] // 2 + 1, 0).perform()
        tooltip = chart.find_element(By.CLASS_NAME, "tooltip")
        assert tooltip.is_displayed()
        assert "round trip" in tooltip.text and "profit" in tooltip.text


class TestSweepPageInTheBrowser:
    def test_its_rows_sort_by_a_clicked_column_and_link_to_each_run(self, small_sweep,
                                                                     browser):
        from selenium.webdriver.common.by import By
        open_page(browser, small_sweep / "sweep.html")
        links = browser.execute_script(
            "return Array.from(document.querySelectorAll('#results a')).map(a => a.href)")
        assert len(links) == 2
        for link in links:
            assert link.startswith("file://")
            assert pathlib.Path(link[len("file://"):]).is_file()
        assert 'href="/' not in (small_sweep / "sweep.html").read_text()

        def column(name):
            return browser.execute_script(
                "var t = document.getElementById('results');"
                "var n = Array.from(t.tHead.rows[0].cells).findIndex(c => c.textContent"
                " === arguments[0]);"
                "return Array.from(t.tBodies[0].rows).map(r => JSON.parse("
                "r.cells[n].dataset.value));", name)
        heading = browser.find_element(By.XPATH, "//table[@id='results']//th[text()='fast']")
        heading.click()
        assert column("fast") == [3, 5]
        heading.click()
        assert column("fast") == [5, 3]
        browser.find_element(By.XPATH, "//table[@id='results']//th[text()='fees']").click()
        assert column("fees") == sorted(column("fees"))
        cells = browser.execute_script(
            "return document.querySelectorAll('#heat-map td a').length")
        assert cells == 2


class TestWhatThePageChanges:
    def test_the_other_files_are_the_same_bytes_without_it(self, demos):
        for name in RUN_FILES:
            assert (demos / "first" / name).read_bytes() == (
                demos / "no-html" / name).read_bytes(), name
        assert not (demos / "no-html" / "report.html").exists()

    def test_a_sweep_without_pages_writes_none_for_its_combinations_either(self, tmp_path,
                                                                            lib_path):
        out = tmp_path / "sweep"
        run_cli(["sweep", str(SAMPLE), "--strategy", str(STRATEGY), "--scenario", str(SCENARIO),
                 "--grid", "fast=3", "--grid", "slow=20", "--workers", "1", "--no-html",
                 "--out", str(out)], tmp_path, lib_path)
        assert (out / "sweep.csv").exists() and not (out / "sweep.html").exists()
        (run,) = (out / "runs").iterdir()
        assert (run / "stats.json").exists() and not (run / "report.html").exists()

    def test_a_replay_writes_the_same_page_every_run_and_names_no_folder(self, demos):
        first = (demos / "first" / "report.html").read_bytes()
        assert first == (demos / "second" / "report.html").read_bytes()
        assert str(demos).encode() not in first
        assert str(ROOT).encode() not in first

    def test_its_candles_are_the_bars_a_strategy_is_handed(self, demos):
        for instrument in page_data(demos / "first" / "report.html")["instruments"]:
            c = instrument["candles"]
            candles = [(datetime.datetime.utcfromtimestamp(t).strftime("%H:%M:00"), o, h, l, e)
                       for t, o, h, l, e in zip(c["t"], c["o"], c["h"], c["l"], c["c"])]
            bars = [(b.start, b.open, b.high, b.low, b.close)
                    for b in bars_from_csv(SAMPLE, 1) if b.instrument == instrument["name"]]
            assert candles == bars and bars

    def test_candles_over_night_sessions_and_breaks_are_the_bars_too(self, two_days):
        data = page_data(two_days / "run" / "report.html")
        (instrument,) = data["instruments"]
        c = instrument["candles"]
        at = [datetime.datetime.utcfromtimestamp(t) for t in c["t"]]
        candles = [(t.strftime("%H:%M:00"), o, h, l, e)
                   for t, o, h, l, e in zip(at, c["o"], c["h"], c["l"], c["c"])]
        bars = [(b.start, b.open, b.high, b.low, b.close)
                for day in sorted((two_days / "days").iterdir()) for b in bars_from_csv(day, 1)]
        assert candles == bars
        (first, start), (second, then) = instrument["days"]
        assert (first, second) == ("20261207", "20261208") and start == 0
        # Monday's night session ran on Friday evening, Tuesday's on Monday's.
        assert at[0] == datetime.datetime(2026, 12, 4, 21, 0)
        assert at[then] == datetime.datetime(2026, 12, 7, 21, 0)

    def test_its_round_trips_are_those_of_the_statistics(self, demos):
        text = (demos / "first" / "report.html").read_text()
        trips = text[text.index('<section id="trips">'):]
        profits = [json.loads(v) for v in re.findall(r'<span data-value="([^"]+)">', trips)]
        with open(demos / "first" / "stats.json") as source:
            stats = json.load(source)
        assert len(profits) == stats["round_trips"]
        assert sum(profits) / len(profits) == pytest.approx(stats["average_trade"])
        assert sum(1 for p in profits if p > 0) / len(profits) == stats["win_rate"]
        marked = sum(len(i["fills"]) for i in page_data(demos / "first" / "report.html")[
            "instruments"])
        assert marked == stats["trades"]


class TestBoundedTables:
    def test_a_long_table_shows_its_first_and_last_rows_and_says_so(self):
        rows = list(range(2 * page.ROWS_AT_EACH_END + 7))
        shown, note = page.bounded(rows)
        numbers = [n for n, _ in shown]
        assert len(shown) == 2 * page.ROWS_AT_EACH_END
        assert numbers[0] == 1 and numbers[-1] == len(rows)
        assert numbers[page.ROWS_AT_EACH_END] == 8 + page.ROWS_AT_EACH_END
        assert "%d of %d rows" % (len(shown), len(rows)) in note
        assert page.bounded(rows[:2 * page.ROWS_AT_EACH_END])[1] is None

    def test_data_that_would_end_its_script_element_or_is_not_finite_still_parses(self):
        made = page.data_script("x", {"text": "</script><b>", "values": [1.5, float("nan")]})
        inner = made[len('<script type="application/json" id="x">'):-len("</script>")]
        assert "</" not in inner
        assert json.loads(inner) == {"text": "</script><b>", "values": [1.5, None]}


class TestCoarserCandles:
    def test_a_long_run_merges_its_candles_on_the_clock(self):
        candles = Candles()
        for minute, price in enumerate([10, 12, 9, 11, 13, 14, 8]):
            candles.add(3600.0 + 60 * minute, [price, price + 0.5])
        candles.days = [("20261207", 0), ("20261208", 5)]
        merged = candles.coarser(5)
        assert list(merged.starts) == [3600.0, 3900.0]
        assert list(merged.opens) == [10, 14]
        assert list(merged.highs) == [13.5, 14.5]
        assert list(merged.lows) == [9, 8]
        assert list(merged.closes) == [13.5, 8.5]
        assert merged.days == [("20261207", 0), ("20261208", 1)]


class TestRiskSummary:
    def test_the_page_shows_what_the_pre_trade_check_decided(self, tmp_path):
        from collections import Counter
        from quorvane.trading.risk import RiskDecision, RiskSummary
        report = Report()
        stats = statistics.compute([], [], {}, 1000000.0)
        write_report_page(tmp_path / "none.html", "a run", report, [], stats, [], [])
        assert 'id="risk"' not in (tmp_path / "none.html").read_text()
        refusal = RiskDecision("refused", "cancels", "rb2705", 500, 500, "cancelOrder",
                               datetime.datetime(2026, 12, 7, 10, 1, 2),
                               "rb2705 cancels 500 of 500 <refused>")
        warnings = [refusal._replace(action="warning", value=n) for n in range(30)]
        report.risk = RiskSummary(Counter(cancels=3, self_trade=1), [refusal], warnings, [],
                                  {"20261207": {"rb2705": 502}}, 500)
        write_report_page(tmp_path / "risk.html", "a run", report, [], stats, [], [])
        text = (tmp_path / "risk.html").read_text()
        risk = text[text.index('<section id="risk">'):]
        risk = risk[:risk.index("</section>")]
        for shown in ("orders refused</td><td>4", "refused by cancels</td><td>3",
                      "refused by self_trade</td><td>1",
                      "2026-12-07 10:01:02 rb2705 cancels 500 of 500 &lt;refused&gt;",
                      "cancels rb2705 (20261207)</td><td>502 of 500", "20 of 30 rows shown"):
            assert shown in risk
        assert risk.index("by cancels") < risk.index("by self_trade")
        assert risk.count("<td>warning</td>") == 20


class TestVendoredCharts:
    def test_the_library_is_the_one_its_manifest_names(self):
        manifest = (page.ASSETS / "README.md").read_text()
        for name in (page.CHARTS_FILE, "lightweight-charts.LICENSE"):
            digest = hashlib.sha256((page.ASSETS / name).read_bytes()).hexdigest()
            assert re.search(r"`%s` \| `%s`" % (re.escape(name), digest), manifest), name
        assert "v%s" % page.CHARTS_VERSION in page.asset(page.CHARTS_FILE)[:200]

    def test_the_package_ships_the_assets(self):
        import tomllib
        with open(ROOT / "pyproject.toml", "rb") as source:
            setup = tomllib.load(source)["tool"]["setuptools"]
        assert "quorvane.web" in setup["packages"]
        patterns = setup["package-data"]["quorvane.web"]
        for path in page.ASSETS.iterdir():
            assert any(path.match(pattern) for pattern in patterns), path.name
