"""Runs a strategy for one replayed day on the simulated exchange: starts a client against the
stand-in CTP libraries, subscribes the instruments of the tick file, replays it (as fast as possible
by default) with a progress bar, and ends with the report of report.py.
"""
import csv
import importlib.util
import os
import pathlib
import sys
import time

from . import records, sim
from .host import Client
from .report import Recorder, build_report

__all__ = ["ROOT", "SAMPLE_TICKS", "DEMO_STRATEGY", "DEMO_SCENARIO", "TickFile", "load_strategy", "run_replay"]

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


class TickFile:
    """What a tick file holds: its instruments with their exchanges, in first-seen order, and how
    many ticks."""

    def __init__(self, path):
        self.path = str(path)
        self.instruments = {}
        self.count = 0
        with open(self.path, newline="") as source:
            reader = csv.DictReader(source)
            missing = {"InstrumentID", "ExchangeID", "LastPrice"} - set(reader.fieldnames or [])
            if missing:
                raise ValueError("%s: no %s column" % (self.path, ", ".join(sorted(missing))))
            for row in reader:
                self.count += 1
                self.instruments.setdefault(row["InstrumentID"], row["ExchangeID"])


def load_strategy(location, **params):
    """A strategy instance from "path/to/file.py[:ClassName]"; without a class name, the file's
    only Strategy subclass (or its `STRATEGY` attribute)."""
    path, _, name = str(location).partition(":")
    module_name = "quorvane_user_" + pathlib.Path(path).stem
    loader = importlib.util.spec_from_file_location(module_name, path)
    if loader is None:
        raise ValueError("cannot load a strategy from %s" % path)
    module = importlib.util.module_from_spec(loader)
    sys.modules[module_name] = module
    loader.loader.exec_module(module)
    if name:
        cls = getattr(module, name)
    elif hasattr(module, "STRATEGY"):
        cls = module.STRATEGY
    else:
        from .host import Strategy
        found = [v for v in vars(module).values() if isinstance(v, type) and issubclass(v, Strategy)
                 and v is not Strategy and v.__module__ == module_name]
        if len(found) != 1:
            raise ValueError("%s: name the strategy class (file.py:Class)" % path)
        cls = found[0]
    return cls(**params)


def _progress(total, enabled):
    if not enabled:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="tick", desc="replay", file=sys.stderr, leave=False,
                mininterval=0.2)


def run_replay(strategy, ticks=SAMPLE_TICKS, out_dir="quorvane-demo", speed=0.0, progress=True,
               scenario=None, flow_dir=None, settle=0.5, timeout=600.0, log=None):
    """Replays one tick file through `strategy`, on the exchange of a scenario file when one is
    given (else the stand-in's built-in one); returns the Report. Call it once per process (the
    runtime and its clients live until the process ends)."""
    log = log or (lambda text: print(text, flush=True))
    tick_file = TickFile(ticks)
    out_dir = os.path.abspath(out_dir)
    os.makedirs(out_dir, exist_ok=True)
    market = sim.Sim()
    if not hasattr(market, "replay"):
        raise RuntimeError("the simulated exchange of this build cannot replay tick files")
    if scenario:
        market.load_scenario_file(scenario)
    market.set_flow_control(0, 0)
    market.set_latency(100)
    market.set_md_rate(0)

    client = Client(strategy, base_path=flow_dir or os.path.join(out_dir, "flow"), **DEMO_LOGIN)
    client.start()
    if not client.wait_ready(30.0):
        raise RuntimeError("the client did not become ready")
    multipliers = {i.InstrumentID.decode(): i.VolumeMultiple
                   for i in client.query(11402, records.CThostFtdcInstrumentField)}
    unknown = [i for i in tick_file.instruments if i not in multipliers]
    if unknown:
        raise RuntimeError("instruments of the tick file not traded here: %s" % ", ".join(unknown))
    recorder = Recorder(multipliers)
    client.add_observer(recorder)
    strategy.ticks_expected = tick_file.count

    by_exchange = {}
    for instrument, exchange in tick_file.instruments.items():
        by_exchange.setdefault(exchange, []).append(instrument)
    for exchange, instruments in by_exchange.items():
        client.subscribe(instruments, exchange)
    deadline = time.monotonic() + 10.0
    while (client.events_seen[11007] < len(tick_file.instruments)
           and time.monotonic() < deadline):
        time.sleep(0.01)

    log("Replaying %d ticks of %s (%s) ..." % (
        tick_file.count, os.path.basename(tick_file.path),
        ", ".join("%s.%s" % kv for kv in tick_file.instruments.items())))
    started = time.monotonic()
    total = market.replay(tick_file.path, speed)
    bar = _progress(total, progress)
    shown = 0
    interrupted = False
    try:
        while not market.replay_wait(0.1):
            delivered, _ = market.replay_progress()
            if bar is not None:
                bar.update(delivered - shown)
                shown = delivered
            if time.monotonic() - started > timeout:
                raise TimeoutError("the replay did not finish in %.0f s" % timeout)
    except KeyboardInterrupt:
        interrupted = True
        if hasattr(market, "replay_stop"):
            market.replay_stop()
    finally:
        if bar is not None:
            bar.update(total - shown)
            bar.close()
    if interrupted:
        raise KeyboardInterrupt
    # Let the last fills and cancellations reach the host before the exchange is asked.
    time.sleep(settle)
    elapsed = time.monotonic() - started
    log("Replayed %d ticks in %.1f s; %d reached the strategy." % (total, elapsed,
                                                                  client.ticks_seen))
    report = build_report(client, recorder, out_dir)
    client.stop()
    return report

