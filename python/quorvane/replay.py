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
import os
import pathlib
import sys
import threading
import time

from . import charts, records, sim
from .host import Client
from .loading import load_strategy
from .recorder import Recorder
from .report import StartState, build_report, write_text, write_trades
from .runs import RunFolder

__all__ = ["ROOT", "SAMPLE_TICKS", "DEMO_STRATEGY", "DEMO_SCENARIO", "DEMO_LOGIN", "ReplayError",
           "ReplayResult", "load_strategy", "run_replay"]

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLE_TICKS = ROOT / "sim" / "data" / "sample_ticks.csv"
DEMO_STRATEGY = ROOT / "examples" / "ma_cross.py"
# The sample day's two contracts with a broker's typical fees, so that the demo's report has some.
DEMO_SCENARIO = ROOT / "examples" / "demo_scenario.json"

# The stand-in's built-in broker and the demo account's funds.
DEMO_LOGIN = {"user_id": "demo", "password": "demo", "broker_id": "9999",
              "app_id": "simnow_client_test", "auth_code": "0000000000000000",
              "trader_front": "tcp://127.0.0.1:10201", "md_front": "tcp://127.0.0.1:10211",
              "task_execute_gap": 20_000, "loop_gap": 10_000}


class ReplayError(RuntimeError):
    """The replay could not start or deliver its ticks (bad input, an exchange that does not list
    an instrument, a client that did not log in)."""


class ReplayResult:
    """What one replay produced. `partial` says why the day was cut short (None: every tick was
    played); `files` maps "report", "trades" and each picture's name to its path; `pictures_note`
    says why there are no pictures, when there are none."""

    def __init__(self, report, recorder, folder, total, delivered, reached, elapsed, partial):
        self.report = report
        self.recorder = recorder
        self.folder = folder
        self.total = total
        self.delivered = delivered
        self.reached = reached
        self.elapsed = elapsed
        self.partial = partial
        self.files = {}
        self.pictures_note = None

    @property
    def complete(self):
        """Every tick of the file replayed and delivered to the strategy."""
        return self.partial is None and self.reached == self.total

    @property
    def ok(self):
        """A complete run whose handlers never raised and whose report the exchange confirms."""
        return self.complete and self.report.agrees and not self.report.errors

    @property
    def problems(self):
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


def _progress(total, enabled):
    if not enabled:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="tick", desc="replay", file=sys.stderr, leave=False,
                mininterval=0.2)


class _ProgressObserver:
    """Moves the progress bar from the snapshot thread, every `step` ticks."""

    def __init__(self, bar, step=1000):
        self.bar = bar
        self.step = step
        self.count = 0

    def on_tick(self, tick):
        self.count += 1
        if self.count % self.step == 0:
            self.bar.update(self.step)

    def close(self):
        self.bar.update(self.count % self.step)
        self.bar.close()


def _wait_for_replay(market, timeout):
    """Waits on the replay's completion; a helper thread makes the blocking native wait, so that
    the calling thread stays interruptible by Ctrl-C. False when the timeout passed first."""
    finished = threading.Event()

    def wait():
        market.replay_wait(None)
        finished.set()
    threading.Thread(target=wait, name="quorvane-replay-wait", daemon=True).start()
    return finished.wait(timeout)


class _TickSource:
    """The tick file as the exchange loaded it: read and checked in one pass before anything
    logs in (so the login reports the file's trading day), its instruments as the loader listed
    them, with their exchanges."""

    def __init__(self, market, path):
        self.market = market
        self.path = str(path)
        try:
            self.count = market.replay_open(self.path)
        except sim.SimError as error:
            raise ReplayError(str(error)) from None
        self.instruments = {i.instrument: i.exchange for i in market.replay_instruments()}

    def play(self, speed):
        self.market.replay_play(speed)


def _subscribe(client, instruments, timeout=10.0):
    by_exchange = {}
    for instrument, exchange in instruments.items():
        by_exchange.setdefault(exchange, []).append(instrument)
    for exchange, group in by_exchange.items():
        client.subscribe(group, exchange)
    if not client.wait_events(11007, len(instruments), timeout):
        raise ReplayError("the market-data front did not answer the subscriptions")


def run_replay(strategy, ticks=SAMPLE_TICKS, out_dir=None, speed=0.0, progress=True,
               scenario=None, params=None, continue_from=None, pictures=True, timeout=None,
               log=None):
    """Replays one tick file through `strategy` (a Strategy, or a "file.py[:Class]" location built
    with `params`) on the exchange of `scenario` (a JSON file; None: the stand-in's built-in one).
    Files go to `out_dir` (None: a new folder under quorvane-runs/), cleared of an earlier run's;
    `continue_from` names an earlier run's folder whose kept trading day to continue. speed 0
    replays lock-step as fast as possible, s > 0 paces the ticks s times faster than real time.
    Ctrl-C (KeyboardInterrupt) during the replay, or `timeout` seconds passing, cuts it short
    and returns a partial result. Raises ReplayError (or ValueError, OSError) before the replay
    when the inputs are refused."""
    log = log or (lambda text: print(text, flush=True))
    if isinstance(strategy, (str, os.PathLike)):
        strategy = load_strategy(strategy, params)
    elif params:
        raise ValueError("params are for a strategy given by its location")
    market = sim.Sim()
    if scenario:
        market.load_scenario_file(scenario)
    if continue_from is not None:
        market.set_persistence(True)
    market.set_flow_control(0, 0)
    market.set_latency(100)
    market.set_md_rate(0)
    tick_file = _TickSource(market, ticks)
    # Only inputs that passed their checks touch the folder (and an earlier run's files in it).
    name = pathlib.Path(str(ticks)).stem
    folder = RunFolder(out_dir, name="%s-%s" % (type(strategy).__name__, name),
                       continue_from=continue_from)
    if folder.replaced:
        log("Replacing the earlier run's files in %s" % folder.path)

    client = Client(strategy, base_path=folder.flow, **DEMO_LOGIN)
    client.use_exchange_time()
    try:
        return _replay(market, client, strategy, tick_file, folder, speed, progress,
                       continue_from, pictures, timeout, log)
    except KeyboardInterrupt:
        client.end("interrupted")
        raise
    except BaseException:
        client.end("failed")
        raise


def _replay(market, client, strategy, tick_file, folder, speed, progress, continue_from,
            pictures, timeout, log):
    client.start()
    if not client.wait_ready(30.0):
        raise ReplayError("the client did not log in to the simulated exchange")
    listed = {i.InstrumentID.decode(): i
              for i in client.query(11402, records.CThostFtdcInstrumentField)}
    instruments = tick_file.instruments
    start = StartState.query(client, kept_from=continue_from and os.path.basename(
        os.path.abspath(continue_from)))
    recorder = Recorder({k: i.VolumeMultiple for k, i in listed.items()},
                        clock=client.exchange_clock)
    for instrument, (long, short, mark) in start.holdings(recorder.multipliers).items():
        recorder.begin(instrument, long, short, mark)
    client.add_observer(recorder)
    bar = _progress(tick_file.count, progress)
    if bar is not None:
        bar = _ProgressObserver(bar)
        client.add_observer(bar)
    strategy.ticks_expected = tick_file.count
    _subscribe(client, instruments)

    log("Replaying %d ticks of %s (%s) ..." % (
        tick_file.count, os.path.basename(tick_file.path),
        ", ".join("%s.%s" % kv for kv in instruments.items())))
    started = time.monotonic()
    partial = None
    reason = "finished"
    try:
        tick_file.play(speed)
        if not _wait_for_replay(market, timeout):
            partial = "stopped after the time limit of %g s" % timeout
            reason = "failed"
    except KeyboardInterrupt:
        partial = "interrupted by Ctrl-C"
        reason = "interrupted"
    finally:
        if partial is not None:
            market.replay_stop()
        if bar is not None:
            bar.close()
    elapsed = time.monotonic() - started
    delivered, total = market.replay_progress()
    if partial is not None:
        now = client.now()
        partial += " after %d of %d ticks%s" % (
            delivered, total, " (exchange time %s)" % now.strftime("%H:%M:%S") if now else "")
    client.end(reason)
    log("Replayed %d ticks in %.1f s; %d reached the strategy." % (delivered, elapsed,
                                                                  client.ticks_seen))
    report = build_report(client, recorder, start, partial)
    result = ReplayResult(report, recorder, folder, total, delivered, client.ticks_seen, elapsed,
                          partial)
    result.files["report"] = write_text(folder.file("report.txt"), report)
    result.files["trades"] = write_trades(folder.file("trades.csv"), report.trades)
    log(report.text().rstrip("\n"))
    if pictures:
        drawn = charts.draw(recorder, report, folder.path)
        if drawn is None:
            result.pictures_note = charts.MISSING_NOTE
            log(charts.MISSING_NOTE)
        else:
            for path in drawn:
                result.files[os.path.basename(path)] = path
    log("Files in %s: %s" % (folder.path, ", ".join(
        os.path.basename(p) for p in result.files.values())))
    client.stop(reason)
    return result
