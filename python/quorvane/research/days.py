"""Several trading days in one run: the day files of a replay in trading-day order, the day roll of
the simulated exchange between them (settlement, expiry of working orders, a new login of the
client), the strategy's day hooks, and the account of each day as the exchange reports it.
"""
import csv
import glob
import os
from typing import TYPE_CHECKING, Dict, Iterable, List, Optional, Sequence, Tuple
from typing import TypeVar, Union, cast

from ..errors import InputFileError, StartupError
from ..trading import codes
from ..trading.records import CThostFtdcTradeField
from .report import trade_order
from .stats import Day, Fill

if TYPE_CHECKING:
    from ..sim import Sim
    from ..trading.client import Client
    from .report import Check, Report, StartState
    from .tracking import RunTracker


__all__ = ["DayFile", "day_files", "confirm_days", "tick_paths", "last_trading_day", "DayResult", "roll_day", "close_day", "day_table",
           "write_days", "fills_of_trades", "whole_run", "opening_balance"]

_Path = TypeVar("_Path", bound=Union[str, "os.PathLike[str]"])


class DayFile:
    """A tick file holding one trading day."""

    def __init__(self, path: Union[str, "os.PathLike[str]"], trading_day: Optional[str],
                 ticks: Optional[int]) -> None:
        self.path, self.trading_day, self.ticks = str(path), trading_day, ticks

    def __repr__(self) -> str:
        return "DayFile(%r, %s, %s ticks)" % (self.path, self.trading_day, self.ticks)


# How far from its end a day file is read for its last row: more than any row (64 KiB at most).
_TAIL_BYTES = 1 << 17


def _last_row(path: str) -> Tuple[List[str], Optional[List[str]]]:
    """(header, last row) of a CSV file, read from its two ends; the row is None when the file
    has none."""
    with open(path, "rb") as source:
        header: List[str] = next(csv.reader([source.readline().decode("utf-8", "replace")]), [])
        body = source.tell()
        size = source.seek(0, os.SEEK_END)
        source.seek(max(body, size - _TAIL_BYTES))
        tail = source.read().decode("utf-8", "replace")
    for line in reversed(tail.splitlines()):
        if line.strip():
            return header, next(csv.reader([line]), [])
    return header, None


def last_trading_day(path: str) -> str:
    """The TradingDay of a day file's last row, which a run orders its day files by before the
    exchange reads them (a day session's snapshot, which no recorder dates otherwise)."""
    header, row = _last_row(path)
    if "TradingDay" not in header:
        raise InputFileError("%s: no TradingDay column; a run of several days orders its files "
                             "by it" % path)
    column = header.index("TradingDay")
    if row is None:
        raise InputFileError("%s: no snapshots" % path)
    day = row[column].strip() if column < len(row) else ""
    if len(day) != 8 or not day.isdigit():
        raise InputFileError("%s: TradingDay %r is not YYYYMMDD" % (path, day))
    return day


def tick_paths(locations: Iterable[Union[str, "os.PathLike[str]"]]) -> List[str]:
    """The tick files named: files, and the *.csv files of folders."""
    paths: List[str] = []
    for location in locations:
        location = str(location)
        if os.path.isdir(location):
            found = sorted(glob.glob(os.path.join(location, "*.csv")))
            if not found:
                raise InputFileError("%s: no .csv tick files in this folder" % location)
            paths.extend(found)
        else:
            paths.append(location)
    return paths


def _in_day_order(files: List[DayFile]) -> List[DayFile]:
    """`files` sorted by trading day; refuses two files of one day."""
    seen: Dict[Optional[str], str] = {}
    for f in files:
        if f.trading_day in seen:
            raise InputFileError("%s and %s are both trading day %s" % (
                seen[f.trading_day], f.path, f.trading_day))
        seen[f.trading_day] = f.path
    # Every file here has its trading day: no None is ever compared.
    return sorted(files, key=lambda f: cast(str, f.trading_day))


def day_files(locations: Iterable[Union[str, "os.PathLike[str]"]]) -> List[DayFile]:
    """The tick files named (files, or folders whose *.csv files are taken), ordered by the
    TradingDay of their last rows; refuses two files of one day. The exchange reads each file
    whole when it plays, and `confirm_days` then holds each to one trading day."""
    paths = tick_paths(locations)
    if len(paths) == 1:
        return [DayFile(paths[0], None, None)]
    return _in_day_order([DayFile(path, last_trading_day(path), None) for path in paths])


def confirm_days(files: Sequence[DayFile], read: Sequence[Sequence[str]],
                 counts: Sequence[int]) -> List[DayFile]:
    """The day files with the trading day and the snapshots the exchange read in each (`read`:
    every file's trading days as read, in order of `files`), in trading-day order; refuses a file
    of several days and two files of one day."""
    confirmed = []
    for f, days, count in zip(files, read, counts):
        kept = [d for d in days if d]
        if len(kept) != 1 or len(days) != 1:
            raise InputFileError("%s: a day file holds one trading day, this one %s" % (
                f.path, ", ".join(sorted(d or "(blank)" for d in days)) if days else "none"))
        day = kept[0]
        if len(day) != 8 or not day.isdigit():
            raise InputFileError("%s: TradingDay %r is not YYYYMMDD" % (f.path, day))
        confirmed.append(DayFile(f.path, day, count))
    return _in_day_order(confirmed)


class DayResult:
    """The account at the end of one trading day, from the exchange's own queries, and the day's
    trades (copies of CThostFtdcTradeField, which the exchange forgets at the day roll)."""

    def __init__(self, trading_day: Optional[str], ticks: Optional[int]) -> None:
        self.trading_day, self.ticks = trading_day, ticks
        self.trades: List[CThostFtdcTradeField] = []
        self.pre_balance = self.balance = self.fees = self.transfers = 0.0
        self.close_profit = self.position_profit = 0.0
        # instrument -> (long lots, short lots), both sides shown
        self.positions: Dict[str, Tuple[int, int]] = {}
        self.marks_end = 0    # the recorder's marks up to the end of this day
        self.fills_end = 0    # and its fills

    @property
    def net_profit(self) -> float:
        """The day's change of the balance."""
        return self.balance - self.pre_balance

    def day(self) -> Day:
        """The day as a statistics record."""
        return Day(self.trading_day, self.balance, self.fees)


def close_day(client: "Client", trading_day: Optional[str], ticks: Optional[int],
              recorder: Optional["RunTracker"] = None) -> DayResult:
    """The exchange's account, positions and trades at the end of a day."""
    result = DayResult(trading_day, ticks)
    if recorder is not None:
        result.marks_end = recorder.tick_count()
        result.fills_end = len(recorder.fills)
    result.trades = sorted((t for t in client.exchange_trades() if t.TradeID), key=trade_order)
    for p in client.exchange_positions():
        if not p.InstrumentID or p.Position == 0:
            continue
        long_lots, short_lots = result.positions.get(p.InstrumentID.decode(), (0, 0))
        if codes.char(p.PosiDirection) == "2":
            long_lots += p.Position
        else:
            short_lots += p.Position
        result.positions[p.InstrumentID.decode()] = (long_lots, short_lots)
    account = client.trading_account()
    if account is not None:
        result.transfers = account.Deposit - account.Withdraw
        result.pre_balance = account.PreBalance + result.transfers
        result.balance = account.Balance
        result.fees = account.Commission
        result.close_profit = account.CloseProfit
        result.position_profit = account.PositionProfit
    return result


def roll_day(market: "Sim", client: "Client", trading_day: str, timeout: float = 30.0) -> None:
    """Ends the exchange's day and waits until the client has logged in to `trading_day` and
    loaded it again (its Ready event)."""
    readies = client.events_seen[codes.READY]
    market.roll_day(trading_day, reconnect_after=0.001)
    if not client.wait_events(codes.READY, readies + 1, timeout):
        raise StartupError("the client did not log in to trading day %s" % trading_day)


def fills_of_trades(trades: Iterable[CThostFtdcTradeField]) -> List[Fill]:
    """The exchange's trade records (in the run's order) as statistics fills."""
    return [Fill(t.TradingDay.decode(), t.TradeTime.decode(), t.InstrumentID.decode(),
                 codes.direction_name(t.Direction), codes.offset_name(t.OffsetFlag), t.Price,
                 t.Volume, t.TradeDate.decode()) for t in trades]


def opening_balance(start: "StartState") -> float:
    """The balance the run starts from (a StartState's account)."""
    return start.account.Balance if start.account is not None else 0.0


def whole_run(report: "Report", days: Sequence[DayResult], start: "StartState") -> None:
    """Turns the last day's report into the whole run's: every day's trades, and the exchange's
    profit as each day's close profit and position profit (positions are re-marked at every
    settlement), counted from the state the run started in."""
    before = start.account
    base = lambda name: getattr(before, name) if before is not None else 0.0  # noqa: E731
    first = {(t.TradeDate, t.TradeID.strip(), t.Direction) for t in days[0].trades} & start.trade_ids
    trades = [t for t in days[0].trades
              if (t.TradeDate, t.TradeID.strip(), t.Direction) not in first]
    for day in days[1:]:
        trades += day.trades
    report.trades = sorted(trades, key=trade_order)
    report.fees = sum(d.fees for d in days) - base("Commission")
    # A day's position profit is marked at the last price; the settlement then marks what is
    # carried at the settlement price, which the next day's pre-balance holds and no day's profit
    # counts.
    settled = sum(after.pre_balance - after.transfers - before.balance
                  for before, after in zip(days, days[1:]))
    report.exchange_pnl = (sum(d.close_profit + d.position_profit for d in days) + settled
                           - base("CloseProfit") - base("PositionProfit"))
    transfers = sum(d.transfers for d in days) - base("Deposit") + base("Withdraw")
    report.net_pnl = days[-1].balance - opening_balance(start) - transfers
    lots = sum(t.Volume for t in report.trades)
    checks: List["Check"] = []
    for what, mine, theirs, ok in report.checks:
        if what == "fills":
            theirs, ok = len(report.trades), mine == len(report.trades)
        elif what == "filled lots":
            theirs, ok = lots, mine == lots
        elif what == "gross profit":
            theirs = report.exchange_pnl
            ok = abs(mine - theirs) <= 0.01
        elif what.startswith("net profit"):
            mine, theirs = report.gross_pnl - report.fees, report.net_pnl
            ok = abs(mine - theirs) <= 0.01
        checks.append((what, mine, theirs, ok))
    report.checks = checks


_TABLE = "  %-10s %7s %7s %6s %14s %12s %10s %14s  %s"


def day_table(days: Iterable[DayResult]) -> str:
    """The table by day, as printed."""
    lines = ["By day:", _TABLE % ("day", "ticks", "trades", "lots", "close profit",
                                  "fees", "net", "balance", "positions carried")]
    for d in days:
        held = ", ".join("%s %s" % (instrument, _sides(lots))
                         for instrument, lots in sorted(d.positions.items())) or "flat"
        lines.append(_TABLE % (d.trading_day, d.ticks, len(d.trades),
                               sum(t.Volume for t in d.trades), "%.2f" % d.close_profit,
                               "%.2f" % d.fees, "%.2f" % d.net_profit, "%.2f" % d.balance, held))
    return "\n".join(lines)


def _sides(lots: Tuple[int, int]) -> str:
    long_lots, short_lots = lots
    parts = (["long %d" % long_lots] if long_lots else []) + (
        ["short %d" % short_lots] if short_lots else [])
    return " / ".join(parts)


def write_days(path: _Path, days: Iterable[DayResult]) -> _Path:
    """days.csv: one row per trading day, the exchange's numbers at the day's end."""
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["TradingDay", "Ticks", "Trades", "Lots", "PreBalance", "CloseProfit",
                         "PositionProfit", "Fees", "NetProfit", "Balance", "Positions"])
        for d in days:
            writer.writerow([d.trading_day, d.ticks, len(d.trades),
                             sum(t.Volume for t in d.trades), "%.2f" % d.pre_balance,
                             "%.2f" % d.close_profit, "%.2f" % d.position_profit,
                             "%.2f" % d.fees, "%.2f" % d.net_profit, "%.2f" % d.balance,
                             ";".join("%s:%d:%d" % (i, l, s)
                                      for i, (l, s) in sorted(d.positions.items()))])
    return path


