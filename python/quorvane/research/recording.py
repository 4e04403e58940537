"""Recording of live ticks: a client logs in to a trading and a market-data front through the
runtime (by default the stand-in's), subscribes the instruments asked for, and writes every
snapshot it receives in the replay's CSV format, one file per trading day (DIR/YYYYMMDD.csv),
flushed row by row so that Ctrl-C or a lost front loses nothing already received.

The trading day of a file is the one the trading front gave at the last login (a day roll starts a
new file): the runtime's snapshot record keeps the TradingDay of an instrument's first snapshot.
"""
import csv
import os
import threading
import time
from typing import IO, TYPE_CHECKING, Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

from ..trading import records
from ..trading.strategy import Strategy

if TYPE_CHECKING:
    import _csv

__all__ = ["COLUMNS", "TickRecorder", "parse_instrument", "run_record"]

# The replay's columns, in the order the sample day has them, as far as a snapshot record has them.
COLUMNS = (["TradingDay", "InstrumentID", "ExchangeID", "UpdateTime", "UpdateMillisec",
            "LastPrice", "Volume", "Turnover", "OpenInterest"]
           + ["%s%d" % (side, level) for level in range(1, 6)
              for side in ("BidPrice", "BidVolume", "AskPrice", "AskVolume")]
           + ["UpperLimitPrice", "LowerLimitPrice", "PreSettlementPrice", "PreClosePrice",
              "PreOpenInterest", "OpenPrice", "HighestPrice", "LowestPrice", "AveragePrice"])
_TEXT = {"TradingDay", "InstrumentID", "ExchangeID", "UpdateTime"}


def parse_instrument(text: str) -> Tuple[str, Optional[str]]:
    """("rb2705", "SHFE") from "rb2705.SHFE"; ("rb2705", None) from "rb2705"."""
    code, _, exchange = text.partition(".")
    if not code or not code.isalnum() or (exchange and not exchange.isalpha()):
        raise ValueError("an instrument is CODE or CODE.EXCHANGE (rb2705.SHFE), not %r" % text)
    return code, exchange or None


def _cell(name: str, value: Any) -> str:
    if name in _TEXT:
        return value.decode("ascii", "replace")
    # repr keeps every bit of a price, also a front's "not published" (the largest double).
    return repr(value) if isinstance(value, float) else str(value)


class TickRecorder(Strategy):
    """Writes the snapshots it receives (on the market-data thread) to the day's file; counts them
    for the periodic summary. The lock guards the files and the counters only."""

    def __init__(self, out_dir: str) -> None:
        self.out_dir = out_dir
        self.trading_day: Optional[str] = None
        self.lock = threading.Lock()
        self.counts: Dict[str, int] = {}   # instrument -> rows since the last summary
        self.total = 0
        self.paths: List[str] = []
        self._file: Optional[IO[str]] = None
        self._writer: Optional["_csv._writer"] = None
        self._file_day: Optional[str] = None

    def on_response(self, event_id: int, record_address: int, is_last: bool, error_id: int,
                    message: str) -> None:
        """Takes the trading day of each login (event 11101)."""
        if event_id == 11101 and record_address and error_id == 0:
            login = records.view(records.CThostFtdcRspUserLoginField, record_address)
            assert login is not None   # the address is not null
            self.trading_day = login.TradingDay.decode()

    def on_tick(self, tick: records.CQVMarketDataField) -> None:
        """Writes the snapshot as a row of its trading day's file."""
        row = [_cell(name, getattr(tick, "StandardID" if name == "InstrumentID" else name))
               for name in COLUMNS]
        day = self.trading_day or row[0]
        row[0] = day
        with self.lock:
            if day != self._file_day:
                self._open(day)
            assert self._file is not None and self._writer is not None   # the day's, open
            self._writer.writerow(row)
            self._file.flush()
            self.counts[row[1]] = self.counts.get(row[1], 0) + 1
            self.total += 1

    def _open(self, day: str) -> None:
        """REQUIRES: self.lock held."""
        self.close_file()
        path = os.path.join(self.out_dir, "%s.csv" % day)
        fresh = not os.path.exists(path) or os.path.getsize(path) == 0
        if not fresh:
            with open(path, newline="") as existing:
                header: List[str] = next(csv.reader(existing), [])
            if header != COLUMNS:
                raise ValueError("%s has other columns; record into another folder" % path)
        self._file = open(path, "a", newline="")
        self._writer = csv.writer(self._file)
        if fresh:
            self._writer.writerow(COLUMNS)
            self._file.flush()
        self._file_day = day
        self.paths.append(path)

    def close_file(self) -> None:
        """Closes the day's file (REQUIRES: self.lock held)."""
        if self._file is not None:
            self._file.close()
            self._file = None

    def take_counts(self) -> Tuple[Dict[str, int], int, Optional[str]]:
        """(rows by instrument since the last call, rows in all, the file being written)."""
        with self.lock:
            counts, self.counts = self.counts, {}
            return counts, self.total, self._file.name if self._file else None


def run_record(instruments: Sequence[Tuple[str, Optional[str]]], out_dir: str,
               login: Mapping[str, Any], seconds: Optional[float] = None,
               report_every: float = 60.0, log: Callable[[str], Any] = print,
               strategy: Optional[Strategy] = None,
               run_dir: Optional[str] = None) -> "TickRecorder":
    """Records until Ctrl-C or `seconds` have passed; returns the Recorder. With `strategy`, it
    trades live on the same session meanwhile and sees the ticks recorded (the recorder watches
    its client); `run_dir` keeps its journal."""
    from ..trading.client import Client
    os.makedirs(out_dir, exist_ok=True)
    recorder = TickRecorder(os.path.abspath(out_dir))
    if strategy is None:
        client = Client(recorder, base_path=os.path.join(out_dir, "flow"), **login)
    else:
        client = Client(strategy, base_path=os.path.join(out_dir, "flow"), run_dir=run_dir,
                        **login)
        client.add_observer(recorder)
    client.start()
    if not client.wait_ready(30.0):
        raise RuntimeError("the trading front did not become ready")
    by_exchange: Dict[Optional[str], List[str]] = {}
    for code, exchange in instruments:
        by_exchange.setdefault(exchange, []).append(code)
    for exchange, group in by_exchange.items():
        client.subscribe(group, exchange)
    log("Recording %s into %s (trading day %s)%s; Ctrl-C stops." % (
        ", ".join(c + ("." + e if e else "") for c, e in instruments), os.path.abspath(out_dir),
        recorder.trading_day, "" if strategy is None else ", %s trading%s" % (
            type(strategy).__name__, ", its journal in %s" % os.path.abspath(run_dir)
            if run_dir else "")))
    started = time.monotonic()
    next_report = started + report_every
    try:
        while seconds is None or time.monotonic() - started < seconds:
            time.sleep(0.05)
            if time.monotonic() >= next_report:
                next_report += report_every
                _summary(recorder, log)
    except KeyboardInterrupt:
        log("Interrupted.")
    finally:
        client.stop()
        if recorder.counts:
            _summary(recorder, log)
        with recorder.lock:
            recorder.close_file()
    return recorder


def _summary(recorder: TickRecorder, log: Callable[[str], Any]) -> None:
    counts, total, path = recorder.take_counts()
    log("%s  %d ticks (%s), %d in all, in %s" % (
        time.strftime("%H:%M:%S"), sum(counts.values()),
        ", ".join("%s %d" % kv for kv in sorted(counts.items())) or "none", total,
        path or "no file yet"))
