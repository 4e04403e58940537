"""A replay as a function of its inputs: run_replay(strategy, ticks, scenario, params, out folder)
plays one tick file through a strategy on the simulated exchange and returns a ReplayResult
whose report and trades file depend on those inputs alone.

It starts a client against the stand-in CTP libraries, asks the exchange for the state the day
starts in, subscribes the tick file's instruments, replays the file (lock-step by default: each
snapshot once everything the last one caused was delivered) and waits on the replay's own
completion. However the replay ends (every tick played, Ctrl-C, an error) the strategy's on_stop
runs and the report, the trades file and the pictures of what ran are written, marked partial
when the day was cut short. Call it once per process: the runtime and its clients live until the
process ends.
"""
import concurrent.futures
import csv
import datetime
import json
import os
import pathlib
import threading
import time
import typing
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Union, cast

from .. import _resources, sim
from ..errors import InputFileError, ParameterError, QuorvaneError, StartupError
from ..trading import records
from ..trading.client import Client
from ..trading.journal import journal_name
from ..trading.risk_limits import RiskLimits, Source
from ..trading.market_time import EVENING, MORNING, MarketTime, evening_of_action_day, product_of
from ..trading.strategy import Strategy
from ..trading.timers import tick_seconds
from ..web import report_page
from ..web.candles import MinuteCandles
from . import days
from . import stats as statistics
from .equity import EquityCurve
from .fees import commission_rates
from .loading import load_strategy
from .pictures import MISSING_NOTE as PICTURES_MISSING
from .pictures import draw as draw_pictures
from .progress import progress_bar
from .report import StartState, build_report, write_text, write_trades
from .report import Report
from .runs import RunFolder
from .tracking import RunTracker

__all__ = ["SAMPLE_TICKS", "DEMO_STRATEGY", "DEMO_SCENARIO", "DEMO_LOGIN", "ReplayError",
           "ReplayResult", "load_strategy", "run_replay"]

SAMPLE_TICKS = _resources.data_path("sample_ticks.csv")
DEMO_STRATEGY = _resources.example_path("ma_cross.py")
# The sample day's two contracts with a broker's typical fees, so that the demo's report has some.
DEMO_SCENARIO = _resources.example_path("demo_scenario.json")

# The stand-in's built-in broker and the demo account's funds.
DEMO_LOGIN: Dict[str, Any] = {"user_id": "demo", "password": "demo", "broker_id": "9999",
              "app_id": "simnow_client_test", "auth_code": "0000000000000000",
              "trader_front": "tcp://127.0.0.1:10201", "md_front": "tcp://127.0.0.1:10211",
              "task_execute_gap": 0, "loop_gap": 10_000}


# The name the replay's failures had before the package had one kind of error.
ReplayError = QuorvaneError

_Path = Union[str, "os.PathLike[str]"]


class ReplayResult:
    """What one replay produced. `partial` says why the day was cut short (None: every tick was
    played); `files` maps "report", "trades" and each picture's name to its path; `pictures_note`
    says why there are no pictures, when there are none."""

    # The DayResult of each day played, and the run's statistics (set once the run ended).
    days: List[days.DayResult]
    stats: "typing.OrderedDict[str, Any]"
    # What loading the tick files normalised, {kind: count} (sim.Sim.replay_normalised): over
    # the run, and by file path.
    normalised: Dict[str, int]
    normalised_files: Dict[str, Dict[str, int]]

    def __init__(self, report: Report, recorder: RunTracker, folder: RunFolder, total: int,
                 delivered: int, reached: int, elapsed: float, partial: Optional[str]) -> None:
        self.report = report
        self.recorder = recorder
        self.folder = folder
        self.total = total
        self.delivered = delivered
        self.reached = reached
        self.elapsed = elapsed
        self.partial = partial
        self.files: Dict[str, str] = {}
        self.pictures_note: Optional[str] = None

    @property
    def complete(self) -> bool:
        """Every tick of the file replayed and delivered to the strategy."""
        return self.partial is None and self.reached == self.total

    @property
    def ok(self) -> bool:
        """A complete run whose handlers never raised and whose report the exchange confirms."""
        return self.complete and self.report.agrees and not self.report.errors

    @property
    def problems(self) -> List[str]:
        """Why the run is not ok, one sentence each."""
        out = []
        if self.partial:
            out.append("The run is partial: %s." % self.partial)
        elif self.reached != self.total:
            out.append("Only %d of the %d ticks replayed reached the strategy." % (
                self.reached, self.total))
        if self.report.errors:
            out.append("The strategy's handlers raised %d times." % self.report.errors)
        if not self.report.agrees:
            out.append("The host's numbers differ from the exchange's.")
        return out


class _ProgressObserver:
    """Moves the progress bar from the snapshot thread, every `step` ticks."""

    def __init__(self, bar: Any, step: int = 1000) -> None:
        self.bar = bar
        self.step = step
        self.count = 0

    def on_tick(self, tick: records.CQVMarketDataField) -> None:
        self.count += 1
        if self.count % self.step == 0:
            self.bar.update(self.step)

    def close(self) -> None:
        self.bar.update(self.count % self.step)
        self.bar.close()


def _wait_for_replay(market: sim.Sim, timeout: Optional[float]) -> bool:
    """Waits on the replay's completion; a helper thread makes the blocking native wait, so that
    the calling thread stays interruptible by Ctrl-C. False when the timeout passed first."""
    finished = threading.Event()

    def wait() -> None:
        market.replay_wait(None)
        finished.set()
    threading.Thread(target=wait, name="quorvane-replay-wait", daemon=True).start()
    return finished.wait(timeout)


class _TickFile:
    """A tick file as the exchange's loader read, checked and normalised it, in one pass: how many
    ticks, its instruments with their exchanges, in first-seen order, its trading days and what
    was normalised. `checked` gives what a check of the file found; without it, the file is
    opened for the replay."""

    def __init__(self, market: sim.Sim, path: _Path,
                 checked: Optional[sim.CheckedFile] = None) -> None:
        self.path = str(path)
        if checked is None:
            try:
                count = market.replay_open(self.path)
            except sim.SimError as error:
                raise InputFileError(str(error)) from None
            checked = sim.CheckedFile(count, market.replay_instruments(),
                                      market.replay_trading_days(), market.replay_normalised())
        self.count = checked.ticks
        self.instruments: Dict[str, str] = {i.instrument: i.exchange for i in checked.instruments}
        self.trading_days = checked.trading_days
        self.normalised = checked.normalised


def _checked(market: sim.Sim, paths: Sequence[str]) -> List[_TickFile]:
    """The tick files read at once on as many threads as the machine has cores: the first opened
    for the replay, the others checked; the first refused in the order given is the one named."""
    def read(n: int) -> Union[_TickFile, sim.CheckedFile, QuorvaneError]:
        try:
            return _TickFile(market, paths[0]) if n == 0 else market.replay_check(paths[n])
        except QuorvaneError as error:
            return error
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        found = list(pool.map(read, range(len(paths))))
    files = []
    for path, result in zip(paths, found):
        if isinstance(result, QuorvaneError):
            raise InputFileError(str(result))
        files.append(result if isinstance(result, _TickFile) else _TickFile(market, path, result))
    return files


# How the report words each kind of normalisation: (one, several). A kind the stand-in counts and
# this table lacks is shown by its name.
_NORMALISED_WORDS = {
    "stale_snapshots": ("stale snapshot skipped", "stale snapshots skipped"),
    "no_value_prices": ("'no value' price", "'no value' prices"),
    "days_corrected": ("trading or action day corrected", "trading or action days corrected"),
    "outside_sessions": ("snapshot outside the sessions skipped", "snapshots outside the sessions skipped"),
}


def normalised_text(counts: Mapping[str, int]) -> str:
    """What loading changed in the tick files, as the report says it; empty when nothing."""
    parts = []
    for kind, count in counts.items():
        if count:
            one, several = _NORMALISED_WORDS.get(kind, (kind.replace("_", " "),) * 2)
            parts.append("%d %s" % (count, one if count == 1 else several))
    return ", ".join(parts)


def _open_days(market: sim.Sim, files: List[days.DayFile],
               scenario: Optional[_Path]) -> List[_TickFile]:
    """Every day's tick file, checked before the first plays (the first refused in day order is
    the one named), the first opened while the others are checked, so that the login that
    follows reports its trading day. Several files are held to the trading day the exchange read in each, and
    `files` is put in that order; when that is not the order their last rows gave, the exchange
    starts again on the first day."""
    if len(files) == 1:
        return [_TickFile(market, files[0].path)]
    opened = {t.path: t for t in _checked(market, [f.path for f in files])}
    first = files[0]
    files[:] = days.confirm_days(files, [opened[f.path].trading_days for f in files],
                                 [opened[f.path].count for f in files])
    if (files[0].path, files[0].trading_day) != (first.path, first.trading_day):
        market.load_scenario({**_scenario_of(scenario), "tradingDay": files[0].trading_day})
        opened[files[0].path] = _TickFile(market, files[0].path)
    return [opened[f.path] for f in files]


def _day_files(locations: Sequence[_Path]) -> List[days.DayFile]:
    """One tick file plays alone; several days are ordered by their TradingDay."""
    if len(locations) == 1 and not os.path.isdir(str(locations[0])):
        return [days.DayFile(locations[0], None, None)]
    return days.day_files(locations)


# How many of a day file's first night snapshots are read for the evening their ActionDay tells.
_NIGHT_ROWS_READ = 200


def _note_day(market: MarketTime, path: str, trading_day: str) -> None:
    """Tells the client's market time the day about to play and, when the file has a night
    session, the evening it ran on: as its first sound ActionDay says, else as the days played
    before or the calendar do."""
    night = False
    told: Optional[datetime.date] = None
    with open(path, newline="") as source:
        reader = csv.reader(source)
        header: List[str] = next(reader, [])
        if "UpdateTime" in header:
            at, action = header.index("UpdateTime"), (
                header.index("ActionDay") if "ActionDay" in header else None)
            read = 0
            for row in reader:
                seconds = tick_seconds(row[at]) if at < len(row) else None
                if seconds is None or MORNING <= seconds < EVENING:
                    continue
                night = True
                if action is not None and action < len(row):
                    told = evening_of_action_day(trading_day, row[action], seconds)
                read += 1
                if told is not None or read >= _NIGHT_ROWS_READ:
                    break
    if night and told is None:
        told = market.evening(trading_day)
    market.note_day(trading_day, told)


def _subscribe(client: Client, instruments: Mapping[str, str], expected: Optional[int] = None,
               timeout: float = 10.0) -> None:
    """Subscribes the instruments and waits until the front answered `expected` subscriptions
    in all (default: these)."""
    by_exchange: Dict[str, List[str]] = {}
    for instrument, exchange in instruments.items():
        by_exchange.setdefault(exchange, []).append(instrument)
    for exchange, group in by_exchange.items():
        client.subscribe(group, exchange)
    if not client.wait_events(11007, expected or len(instruments), timeout):
        raise StartupError("the market-data front did not answer the subscriptions")


def run_replay(strategy: Union[Strategy, _Path],
               ticks: Union[_Path, Sequence[_Path]] = SAMPLE_TICKS,
               out_dir: Optional[_Path] = None, speed: float = 0.0, progress: bool = True,
               scenario: Optional[_Path] = None, params: Optional[Mapping[str, Any]] = None,
               continue_from: Optional[_Path] = None, pictures: bool = True,
               timeout: Optional[float] = None,
               log: Optional[Callable[[str], Any]] = None, strict: bool = False,
               journal: bool = True, risk: Source = None, html: bool = True,
               monitor: Optional[Union[int, str]] = None) -> ReplayResult:
    """Replays a tick file through `strategy` (a Strategy, or a "file.py[:Class]" location built
    with `params`) on the exchange of `scenario` (a JSON file; None: the stand-in's built-in one).
    `ticks` may also be a list of files or folders holding one trading day each: they are played
    in trading-day order, the exchange settling between them, and the strategy lives across them.
    Files go to `out_dir` (None: a new folder under quorvane-runs/), cleared of an earlier run's;
    `continue_from` names an earlier run's folder whose kept trading day to continue. speed 0
    replays lock-step as fast as possible, s > 0 also paces the ticks s times faster than real
    time (the trades are the same).
    Ctrl-C (KeyboardInterrupt) during the replay, or `timeout` seconds passing, cuts it short
    and returns a partial result. What ordinary recorders write (prices without a value, a
    snapshot pushed again with an older time) is normalised and counted in the report; `strict`
    refuses such a file instead. With `journal`, the run keeps the journal of its days in its
    folder (journal-YYYYMMDD.sqlite; it changes nothing else the run writes); with `html`, its
    page, report.html (likewise). `risk` holds the limits of the pre-trade check (a mapping or a
    JSON file, over the strategy class's own; trading.risk_limits), which the replay applies on
    the replayed market's clock as a live client would. Raises an InputFileError,
    ParameterError or StartupError (each a QuorvaneError), or OSError, before the replay when the
    inputs are refused. With `monitor` ([HOST:]PORT), the run's page is served in the browser
    while it plays (web/monitor.py)."""
    log = log or (lambda text: print(text, flush=True))
    if isinstance(strategy, (str, os.PathLike)):
        strategy = load_strategy(strategy, params)
    elif params:
        raise ParameterError("params are for a strategy given by its location")
    locations = list(ticks) if isinstance(ticks, (list, tuple)) else [ticks]
    files = _day_files(locations)
    limits = RiskLimits(type(strategy).risk, risk)      # refused before anything runs

    market = sim.Sim()
    if scenario:
        market.load_scenario_file(scenario)
    if continue_from is not None:
        market.set_persistence(True)
    market.set_flow_control(0, 0)
    market.set_latency(100)
    market.set_md_rate(0)
    market.set_replay_strict(strict)
    if len(files) > 1:
        if continue_from is not None:
            raise ParameterError("a run of several days starts from the scenario's own day")
        # The exchange starts on the first file's day; the replay of each file keeps to it.
        market.load_scenario({**_scenario_of(scenario), "tradingDay": files[0].trading_day})
    tick_files = _open_days(market, files, scenario)
    # Only inputs that passed their checks touch the folder (and an earlier run's files in it).
    name = pathlib.Path(str(locations[0])).stem + ("-%d-days" % len(files) if len(files) > 1
                                                   else "")
    folder = RunFolder(out_dir, name="%s-%s" % (type(strategy).__name__, name),
                       continue_from=continue_from)
    if folder.replaced:
        log("Replacing the earlier run's files in %s" % folder.path)

    client = Client(strategy, base_path=folder.flow, risk=limits.as_dict(), monitor=monitor,
                    **DEMO_LOGIN)
    client.use_exchange_time()
    if journal:
        client.keep_journal(folder.path, source="replay")
    _keep_scenario_hours(client.market_time, _scenario_of(scenario))
    try:
        return _replay(market, client, strategy, files, tick_files, folder, speed, progress,
                       continue_from, pictures, timeout, log, html)
    except KeyboardInterrupt:
        client.end("interrupted")
        raise
    except BaseException:
        client.end("failed")
        raise


def _keep_scenario_hours(market: MarketTime, scenario: Mapping[str, Any]) -> None:
    """The scenario's trading hours and holidays, over the shipped ones, for the strategy's clock
    as for the exchange's."""
    for row in scenario.get("tradingHours") or []:
        market.hours.set(str(row.get("exchange", "")), str(row.get("products", "")),
                         str(row.get("sessions", "")), where="the scenario's tradingHours")
    market.calendar.add_holidays(str(day) for day in scenario.get("holidays") or [])


def _scenario_of(path: Optional[_Path]) -> Dict[str, Any]:
    if not path:
        return {}
    with open(path) as source:
        return json.load(source)


def _replay(market: sim.Sim, client: Client, strategy: Strategy, files: List[days.DayFile],
            tick_files: List[_TickFile], folder: RunFolder, speed: float, progress: bool,
            continue_from: Optional[_Path], pictures: bool, timeout: Optional[float],
            log: Callable[[str], Any], html: bool = True) -> ReplayResult:
    client.start()
    if not client.wait_ready(30.0):
        raise StartupError("the client did not log in to the simulated exchange")
    listed = {i.InstrumentID.decode(): i
              for i in client.query(11402, records.CThostFtdcInstrumentField)}
    resolved = [t.instruments for t in tick_files]
    rates = commission_rates(client)
    if client.risk.loss is not None:
        client.risk.loss.rates = rates
    start = StartState.query(client, kept_from=cast(
        Optional[str], continue_from and os.path.basename(os.path.abspath(continue_from))))
    if files[0].trading_day is None and start.account is not None:
        files[0].trading_day = start.account.TradingDay.decode()     # the file's, from its loader
    recorder = RunTracker({k: i.VolumeMultiple for k, i in listed.items()},
                        clock=client.exchange_clock)
    for instrument, (long, short, mark) in start.holdings(recorder.multipliers).items():
        recorder.begin(instrument, long, short, mark)
    client.add_observer(recorder)
    equity = EquityCurve(days.opening_balance(start), rates, recorder.multipliers,
                         recorder.started,
                         start.account.Commission if start.account is not None else 0.0)
    # The page's candles, from each day's ticks once the day closed (before the curve takes them).
    candles: Optional[MinuteCandles] = None
    if html:
        exchanges = {k: i.ExchangeID.decode() for k, i in listed.items()}
        for instruments in resolved:
            exchanges.update({k: v for k, v in instruments.items() if k not in exchanges})
        candles = MinuteCandles(lambda name: client.market_time.hours.of(
            exchanges.get(name, ""), product_of(name)))
    bar = progress_bar(sum(t.count for t in tick_files), progress, "tick", "replay", leave=False,
                       mininterval=0.2)
    if bar is not None:
        bar = _ProgressObserver(bar)
        client.add_observer(bar)

    started = time.monotonic()
    partial: Optional[str] = None
    reason = "finished"
    played: List[days.DayResult] = []   # DayResult of each day begun
    delivered = total = 0
    subscribed: Dict[str, str] = {}
    try:
        for index, (day, tick_file, instruments) in enumerate(zip(files, tick_files, resolved)):
            if index:
                client.hook("on_day_end", files[index - 1].trading_day)
                played.append(days.close_day(client, files[index - 1].trading_day,
                                             tick_files[index - 1].count, recorder))
                if candles is not None:
                    candles.add_day(files[index - 1].trading_day, recorder)
                equity.add_day(played[-1], played[-2] if len(played) > 1 else None, recorder)
                # Each file of a run of several days has its trading day, and run_replay put
                # the client on the exchange's time.
                assert day.trading_day is not None and client.exchange_clock is not None
                days.roll_day(market, client, day.trading_day)
                client.exchange_clock.begin_day(day.trading_day)
            fresh = {k: v for k, v in instruments.items() if k not in subscribed}
            if fresh:
                _subscribe(client, fresh, expected=len(subscribed) + len(fresh))
                subscribed.update(fresh)
            strategy.ticks_expected = tick_file.count
            strategy.ticks_at_day_start = client.ticks_seen
            if day.trading_day is not None:
                _note_day(client.market_time, tick_file.path, day.trading_day)
                if not index:
                    assert client.exchange_clock is not None   # run_replay put it on
                    client.exchange_clock.begin_day(day.trading_day)
            client.hook("on_day_start", day.trading_day)
            changed = normalised_text(tick_file.normalised)
            log("Replaying %d ticks of %s (%s)%s%s ..." % (
                tick_file.count, os.path.basename(tick_file.path),
                ", ".join("%s.%s" % kv for kv in instruments.items()),
                ", trading day %s" % day.trading_day if len(files) > 1 else "",
                "; normalised on load: %s" % changed if changed else ""))
            if index:
                market.replay_open(tick_file.path)
            market.replay_play(speed)
            count = tick_file.count
            left = None if timeout is None else max(0.0, timeout - (time.monotonic() - started))
            finished = _wait_for_replay(market, left)
            done, _ = market.replay_progress()
            delivered += done
            total += count
            if not finished:
                assert timeout is not None   # only a time limit ends the wait unfinished
                partial = "stopped after the time limit of %g s" % timeout
                reason = "failed"
                market.replay_stop()
                break
    except KeyboardInterrupt:
        partial = "interrupted by Ctrl-C"
        reason = "interrupted"
        market.replay_stop()
        done, count = market.replay_progress()
        delivered += done
        total += count
    finally:
        if bar is not None:
            bar.close()
    elapsed = time.monotonic() - started
    if partial is not None:
        now = client.now()
        partial += " after %d of %d ticks%s" % (
            delivered, sum(t.count for t in tick_files),
            " (exchange time %s)" % now.strftime("%Y-%m-%d %H:%M:%S") if now else "")
    last = files[len(played)]
    client.hook("on_day_end", last.trading_day)
    client.end(reason)
    log("Replayed %d ticks in %.1f s; %d reached the strategy." % (delivered, elapsed,
                                                                  client.ticks_seen))
    played.append(days.close_day(client, last.trading_day, tick_files[len(played)].count,
                                 recorder))
    if candles is not None:
        candles.add_day(last.trading_day, recorder)
    equity.add_day(played[-1], played[-2] if len(played) > 1 else None, recorder)
    report = build_report(client, recorder, start, partial)
    normalised: Dict[str, int] = {}
    for tick_file in tick_files:
        for kind, count in tick_file.normalised.items():
            normalised[kind] = normalised.get(kind, 0) + count
    changed = normalised_text(normalised)
    report.normalised = "normalised: %s" % changed if changed else ""
    if len(played) > 1:
        days.whole_run(report, played, start)
    result = ReplayResult(report, recorder, folder, sum(t.count for t in tick_files), delivered,
                          client.ticks_seen, elapsed, partial)
    result.days = played
    result.normalised = normalised
    result.normalised_files = {t.path: t.normalised for t in tick_files}
    fills = days.fills_of_trades(report.trades)
    # Paired once, for the statistics and for the page's round trips.
    totals = statistics.FillTotals(recorder.multipliers, keep_pairs=html)
    totals.add(fills)
    result.stats = statistics.compute(
        [d.day() for d in played], totals, recorder.multipliers,
        days.opening_balance(start), drawn=equity.figures(client.exchange_clock))
    result.files["report"] = write_text(folder.file("report.txt"), report, played,
                                        result.stats)
    result.files["trades"] = write_trades(folder.file("trades.csv"), report.trades)
    result.files["days"] = days.write_days(folder.file("days.csv"), played)
    result.files["stats.json"] = statistics.write_json(folder.file("stats.json"), result.stats)
    result.files["stats.csv"] = statistics.write_csv(folder.file("stats.csv"), result.stats)
    if candles is not None:
        result.files["report.html"] = report_page.write_report_page(
            folder.file("report.html"), "%s on %s" % (type(strategy).__name__, ", ".join(
                os.path.basename(f.path) for f in files)), report, played, result.stats, fills,
            totals.pairs, client.orders(), equity.kept(), candles, client.exchange_clock)
    log(report.text().rstrip("\n"))
    log(days.day_table(played))
    log(statistics.text(result.stats))
    if pictures:
        drawn = draw_pictures(recorder, report, folder.path)
        if drawn is None:
            result.pictures_note = PICTURES_MISSING
            log(PICTURES_MISSING)
        else:
            drawn += statistics.plot(folder.path, result.stats,
                                     equity.curve(client.exchange_clock))
            for path in drawn:
                result.files[os.path.basename(path)] = path
    if client.journal is not None:
        # Named by the days played, not by what the journal's thread has written by now.
        for ended in played:
            if ended.trading_day:
                name = journal_name(ended.trading_day)
                result.files[name] = folder.file(name)
    log("Files in %s: %s" % (folder.path, ", ".join(
        os.path.basename(p) for p in result.files.values())))
    client.stop(reason)
    return result
