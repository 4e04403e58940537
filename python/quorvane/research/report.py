"""The report of a run: what the host saw (orders, fills, each side of the positions, the profit
marked to market) set against what the exchange itself reports through the runtime's queries
(trades, positions, trading account), counted from the state the run started in, and written as
text and a trades CSV.

The report's text depends on the run's inputs alone (no paths, no wall-clock times), so two runs
of one replay can be compared byte for byte.
"""
import csv
import os
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, Optional, Sequence, Set
from typing import Tuple, Type, TypeVar, Union

from ..trading import codes
from ..trading.risk import RiskDecision, RiskSummary
from ..trading.records import (CThostFtdcInvestorPositionField, CThostFtdcTradeField,
                               CThostFtdcTradingAccountField)
from .stats import exchange_order
from .tracking import RunTracker

if TYPE_CHECKING:
    from ..trading.client import Client
    from ..trading.records import CQVOrderField
    from .days import DayResult
    from .stats import Stats

__all__ = ["RunTracker", "Report", "StartState", "build_report", "order_outcome", "figure_text",
           "write_trades", "write_text"]

_Path = TypeVar("_Path", bound=Union[str, "os.PathLike[str]"])
_State = TypeVar("_State", bound="StartState")
# What identifies a trade at the exchange: (TradeDate, TradeID, Direction).
TradeKey = Tuple[bytes, bytes, bytes]
# A check of the report: (what, host value, exchange value, agrees); the values are counts,
# amounts or (long, short) lots.
Check = Tuple[str, Any, Any, bool]


class StartState:
    """The exchange's view of the account when the run started: trades already made that day,
    positions held and the account record (None for a client that could not ask)."""

    def __init__(self, account: Optional[CThostFtdcTradingAccountField] = None,
                 positions: Iterable[CThostFtdcInvestorPositionField] = (),
                 trades: Iterable[CThostFtdcTradeField] = (),
                 kept_from: Optional[str] = None) -> None:
        self.account = account
        self.positions = list(positions)
        self.trade_ids: Set[TradeKey] = {_trade_key(t) for t in trades}
        self.kept_from = kept_from

    @classmethod
    def query(cls: Type[_State], client: "Client", kept_from: Optional[str] = None) -> _State:
        """The state the client's exchange reports now (its account, positions and trades)."""
        return cls(client.trading_account(), client.exchange_positions(),
                   client.exchange_trades(), kept_from)

    def _field(self, name: str) -> float:
        return getattr(self.account, name) if self.account is not None else 0.0

    def holdings(self, multipliers: Mapping[str, int]) -> Dict[str, Tuple[int, int, float]]:
        """{instrument: (long, short, mark price)} held at the start."""
        held: Dict[str, Tuple[int, int, float]] = {}
        for p in self.positions:
            if not p.InstrumentID or p.Position <= 0:
                continue
            instrument = p.InstrumentID.decode()
            long, short, mark = held.get(instrument, (0, 0, 0.0))
            size = p.Position * multipliers.get(instrument, 1)
            if codes.char(p.PosiDirection) == "3":
                short += p.Position
                mark = (p.PositionCost - p.PositionProfit) / size
            else:
                long += p.Position
                mark = (p.PositionCost + p.PositionProfit) / size
            held[instrument] = (long, short, mark)
        return held

    def describe(self) -> str:
        """The report's line on the state the run started from."""
        trading_day = self.account.TradingDay.decode() if self.account is not None else "?"
        if self.kept_from is None:
            return "Start: the scenario's trading day %s, balance %.2f" % (
                trading_day, self._field("Balance"))
        held = ", ".join("%s %s %d" % (p.InstrumentID.decode(),
                                       "short" if codes.char(p.PosiDirection) == "3" else "long",
                                       p.Position)
                         for p in self.positions if p.InstrumentID and p.Position > 0)
        return ("Start: continued the trading day %s kept by %s: balance %.2f, %d trades before, "
                "positions %s" % (trading_day, self.kept_from, self._field("Balance"),
                                  len(self.trade_ids), held or "none"))


def _trade_key(trade: CThostFtdcTradeField) -> TradeKey:
    return (trade.TradeDate, trade.TradeID.strip(), trade.Direction)


def trade_order(trade: CThostFtdcTradeField) -> Tuple[Tuple[str, int], int, bytes]:
    """Sort key of a trade record in exchange order (stats.exchange_order), then by its number."""
    number = trade.TradeID.strip()
    return (exchange_order(trade.TradingDay.decode(), trade.TradeTime.decode()),
            int(number) if number.isdigit() else 0, number)


class Report:
    """Numbers of one run. `checks` lists (what, host value, exchange value, agrees)."""

    def __init__(self) -> None:
        self.partial: Optional[str] = None   # why the run ended early, or None
        self.start = ""
        self.normalised = ""   # what loading changed in the tick files, or empty
        self.orders: Dict[str, int] = {}
        self.fills = 0
        self.fill_volume = 0
        # instrument -> (long, short) as the host counted them
        self.positions: Dict[str, Tuple[int, int]] = {}
        self.exchange_positions: Dict[str, Tuple[int, int]] = {}
        self.margin = 0.0
        self.fees = 0.0
        self.gross_pnl = 0.0
        self.exchange_pnl = 0.0
        self.net_pnl = 0.0
        self.usable_cash = 0.0
        self.exchange_available = 0.0
        self.balance = 0.0
        self.checks: List[Check] = []
        self.errors = 0
        # what the pre-trade check decided (None: a report of no client)
        self.risk: Optional[RiskSummary] = None
        # the run's trades, as the exchange records them
        self.trades: List[CThostFtdcTradeField] = []

    @property
    def agrees(self) -> bool:
        """Every check agrees."""
        return all(ok for _, _, _, ok in self.checks)

    def positions_text(self) -> str:
        """The positions held at the end, as the report shows them."""
        held = ["%s %s" % (instrument, " ".join(
                    "%s %d" % (side, lots) for side, lots in (("long", long), ("short", short))
                    if lots))
                for instrument, (long, short) in sorted(self.positions.items()) if long or short]
        if not held:
            return "flat"
        return "%s (margin held %.2f)" % (", ".join(held), self.margin)

    def text(self) -> str:
        """The report as text, one line a figure, then the checks."""
        lines = []
        if self.partial:
            lines.append("PARTIAL RUN: %s" % self.partial)
        if self.start:
            lines.append(self.start)
        if self.normalised:
            lines.append(self.normalised)
        lines += ["Orders: %d placed (%s)" % (sum(self.orders.values()), ", ".join(
                      "%d %s" % (n, status) for status, n in sorted(self.orders.items()))),
                  *risk_lines(self.risk),
                  "Fills: %d, %d lots" % (self.fills, self.fill_volume),
                  "Positions at the end: %s" % self.positions_text(),
                  "Fees: %.2f" % self.fees,
                  "Profit: gross %.2f, net of fees %.2f" % (self.gross_pnl, self.net_pnl),
                  "Balance: %.2f, usable cash %.2f" % (self.balance, self.usable_cash)]
        if self.errors:
            lines.append("Handler errors: %d (tracebacks on stderr)" % self.errors)
        lines.append("Checked against the exchange's own queries:")
        for what, mine, theirs, ok in self.checks:
            lines.append("  %-34s host %-16s exchange %-16s %s" % (
                what, figure_text(mine), figure_text(theirs), "agrees" if ok else "DIFFERS"))
        return "\n".join(lines) + "\n"


# How each rule's refusals and warnings read, from the first of each instrument: (rule, its
# figure at the instrument, in all). A rule missing here reads as its name and figures.
_RULE_WORDS = {
    "order_size": ("%(at)s order size %(value)s of %(limit)s", None),
    "position": ("%(at)s position %(value)s of %(limit)s", None),
    "margin": (None, "margin %(value)s of %(limit)s of the balance"),
    "working_orders": ("%(at)s working orders %(value)s of %(limit)s",
                       "working orders %(value)s of %(limit)s in all"),
    "order_rate": ("%(at)s orders %(value)s of %(limit)s a second",
                   "orders %(value)s of %(limit)s a second in all"),
    "cancels": ("%(at)s cancels %(value)s of %(limit)s", None),
    "price_collar": ("%(at)s price %(value)s of %(limit)s", None),
    "daily_loss": ("daily loss %(value)s of %(limit)s", "daily loss %(value)s of %(limit)s"),
    "kill_switch": ("kill switch", "kill switch"),
}
# Rules counted rather than shown by instrument.
_COUNTED = {"self_trade": "self-trades prevented %d"}


def _figure(rule: str, value: Optional[float]) -> str:
    if value is None:
        return "n/a"
    if rule == "margin":
        return "%.1f%%" % (100 * value)
    if rule == "daily_loss":
        return "%.2f" % value
    return "%g" % value


def _phrase(decision: RiskDecision) -> str:
    by_instrument, in_all = _RULE_WORDS.get(decision.rule, (None, None))
    words = by_instrument if decision.instrument else in_all
    if words is None:
        words = "%(rule)s %(at)s %(value)s of %(limit)s"
    return (words % {"at": decision.instrument, "rule": decision.rule,
                     "value": _figure(decision.rule, decision.value),
                     "limit": _figure(decision.rule, decision.limit)}).replace("  ", " ").strip()


def risk_lines(risk: Optional[RiskSummary]) -> List[str]:
    """The report's lines on the pre-trade check; none when it neither refused nor warned.

        Risk: 312 orders refused: rb2705 cancels 500 of 500; self-trades prevented 4
          refused by rule: cancels 308, self_trade 4
          warnings by rule: cancels 2 (rb2705 cancels 400 of 500, rb2705 cancels 500 of 500)
          cancels in the trading day, against the exchange's threshold of 500: rb2705 502
    """
    if risk is None or not (risk.refusals or risk.warnings or risk.halts):
        return []
    phrases: List[str] = []
    for rule in sorted({d.rule for d in risk.first}, key=_rule_order):
        if rule in _COUNTED:
            phrases.append(_COUNTED[rule] % risk.refused[rule])
        else:
            said = [_phrase(d) for d in risk.first if d.rule == rule]
            phrases.append(", ".join(sorted(set(said), key=said.index)))
    lines = ["Risk: %d order%s refused%s" % (risk.refusals, "" if risk.refusals == 1 else "s",
                                            ": " + "; ".join(phrases) if phrases else "")]
    if risk.refused:
        lines.append("  refused by rule: " + ", ".join(
            "%s %d" % (rule, risk.refused[rule]) for rule in sorted(risk.refused,
                                                                   key=_rule_order)))
    if risk.warnings:
        rules = sorted({d.rule for d in risk.warnings}, key=_rule_order)
        lines.append("  warnings by rule: " + "; ".join(
            "%s %d (%s)" % (rule, sum(1 for d in risk.warnings if d.rule == rule),
                            ", ".join(_phrase(d) for d in risk.warnings if d.rule == rule))
            for rule in rules))
    for halt in risk.halts:
        lines.append("  %s %s: %s" % (halt.rule, halt.action, halt.text))
    counts: Dict[str, Tuple[int, str]] = {}
    for day, by_instrument in sorted(risk.cancels.items()):
        for instrument, count in by_instrument.items():
            if count > counts.get(instrument, (-1, ""))[0]:
                counts[instrument] = (count, day)
    if counts:
        several = len(risk.cancels) > 1
        lines.append("  cancels in the trading day, against the exchange's threshold of %d: %s" % (
            risk.threshold, ", ".join(
                "%s %d%s" % (instrument, count, " (%s)" % day if several and day else "")
                for instrument, (count, day) in sorted(counts.items()))))
    return lines


def _rule_order(rule: str) -> int:
    from ..trading.risk import RULES
    return RULES.index(rule) if rule in RULES else len(RULES)


# How an order ended, by OrderStatus; a finished order with canceled volume counts as Canceled.
_ORDER_OUTCOME = {"\0": "Not sent", "1": "Unanswered", "3": "Working", "4": "Filled",
                  "5": "Rejected"}


def order_outcome(order: "CQVOrderField") -> str:
    """How an order ended, as the report counts it: Filled, Canceled, Working, Rejected, ..."""
    status = _ORDER_OUTCOME.get(codes.char(order.OrderStatus), "Unknown")
    if status == "Filled" and order.CanceledVolume > 0:
        return "Canceled"
    return status


def figure_text(value: Any) -> str:
    """A figure of the report's checks as its text shows it."""
    if isinstance(value, float):
        return "%.2f" % value
    if isinstance(value, tuple):
        return "%d long %d short" % value
    return str(value)


def _close(a: float, b: float, tolerance: float = 0.01) -> bool:
    return abs(a - b) <= tolerance


def _exchange_sides(positions: Iterable[CThostFtdcInvestorPositionField]
                    ) -> Dict[str, Tuple[int, int]]:
    sides: Dict[str, Tuple[int, int]] = {}
    for p in positions:
        if not p.InstrumentID:
            continue
        instrument = p.InstrumentID.decode()
        long, short = sides.get(instrument, (0, 0))
        if codes.char(p.PosiDirection) == "3":
            short += p.Position
        else:
            long += p.Position
        sides[instrument] = (long, short)
    return sides


def build_report(client: "Client", recorder: RunTracker, start: Optional[StartState] = None,
                 partial: Optional[str] = None) -> Report:
    """Queries the exchange (trades, positions, account) through the client and compares them
    with the recorder's, counting the exchange's figures from `start` (a StartState; None: a
    fresh account)."""
    start = start or StartState()
    report = Report()
    report.partial = partial
    report.start = start.describe() if start.account is not None else ""
    report.errors = client.errors
    check = getattr(client, "risk", None)      # a client-like object may have no check
    report.risk = check.summary() if check is not None else None
    for order in client.orders():
        status = order_outcome(order)
        report.orders[status] = report.orders.get(status, 0) + 1
    report.fills = len(recorder.fills)
    report.fill_volume = sum(f["volume"] for f in recorder.fills)

    trades = [t for t in client.exchange_trades() if _trade_key(t) not in start.trade_ids]
    report.trades = sorted(trades, key=trade_order)
    positions = client.exchange_positions()
    account = client.trading_account()

    report.positions = recorder.sides()
    report.exchange_positions = _exchange_sides(positions)
    for instrument in set(report.positions) | set(report.exchange_positions):
        report.positions.setdefault(instrument, (0, 0))
        report.exchange_positions.setdefault(instrument, (0, 0))

    exchange_volume = sum(t.Volume for t in trades)
    report.checks.append(("fills", report.fills, len(trades), report.fills == len(trades)))
    report.checks.append(("filled lots", report.fill_volume, exchange_volume,
                          report.fill_volume == exchange_volume))
    for instrument in sorted(report.positions):
        mine, theirs = report.positions[instrument], report.exchange_positions[instrument]
        own = client.position(instrument)
        runtime = (own.LongVolume, own.ShortVolume) if own is not None else (0, 0)
        report.checks.append(("position %s" % instrument, mine, theirs,
                              mine == theirs == runtime))

    report.gross_pnl = recorder.pnl()
    report.usable_cash = client.usable_cash
    if account is not None:
        before = start.account
        base = lambda name: getattr(before, name) if before is not None else 0.0  # noqa: E731
        report.fees = account.Commission - base("Commission")
        report.margin = account.CurrMargin
        report.exchange_pnl = (account.CloseProfit + account.PositionProfit
                               - base("CloseProfit") - base("PositionProfit"))
        report.balance = account.Balance
        report.exchange_available = account.Available
        if before is not None:
            opening = before.Balance
        else:
            opening = account.PreBalance
        transfers = account.Deposit - account.Withdraw - base("Deposit") + base("Withdraw")
        report.net_pnl = account.Balance - opening - transfers
        report.checks.append(("gross profit", report.gross_pnl, report.exchange_pnl,
                              _close(report.gross_pnl, report.exchange_pnl)))
        net = report.gross_pnl - report.fees
        report.checks.append(("net profit (balance change)", net, report.net_pnl,
                              _close(net, report.net_pnl)))
    return report


TRADE_COLUMNS = ["TradeID", "TradingDay", "TradeDate", "TradeTime", "InstrumentID", "ExchangeID",
                 "Direction", "Offset", "Price", "Volume", "OrderID", "OrderSysID"]


def write_trades(path: _Path, trades: Iterable[CThostFtdcTradeField]) -> _Path:
    """The exchange's trade records, one row each, with the runtime's OrderID of each trade;
    TradeDate is the calendar date (a night session's is the evening before its trading day)."""
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(TRADE_COLUMNS)
        for t in trades:
            writer.writerow([t.TradeID.decode().strip(), t.TradingDay.decode(),
                             t.TradeDate.decode(), t.TradeTime.decode(),
                             t.InstrumentID.decode(), t.ExchangeID.decode(),
                             codes.direction_name(t.Direction), codes.offset_name(t.OffsetFlag),
                             "%.4f" % t.Price, t.Volume, t.OrderRef.decode().strip(),
                             t.OrderSysID.decode().strip()])
    return path


def write_text(path: _Path, report: Report, days: Optional[Sequence["DayResult"]] = None,
               stats: Optional["Stats"] = None) -> _Path:
    """report.txt: the report, then the table by day and the statistics when given."""
    from . import days as by_day, stats as statistics
    with open(path, "w") as out:
        out.write(report.text())
        if days:
            out.write(by_day.day_table(days) + "\n")
        if stats:
            out.write(statistics.text(stats) + "\n")
    return path
