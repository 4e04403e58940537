"""report.html: a run's page, one file that opens from disk with no network. It holds the report's
figures and checks, the table by day, every statistic, the equity curve with its drawdown
beneath, the daily profit, a candlestick chart of each instrument (1-minute candles, zoomable over
a day or the whole run) with each fill marked and its round trip shown on hover, the pre-trade
check's summary, and the tables of orders and round trips.

Every statistic is an element with data-stat (its key in stats.json) and data-value (its value as
stats.json writes it, in JSON); its text is the value as report.txt prints it. The daily profits
are elements with data-stat="daily_profit" and data-day. Times on the charts are exchange time.
Long tables show their first and last rows (page.ROWS_AT_EACH_END each) and say so; a run of more
candles than CANDLES_PER_CHART draws coarser candles, and one of more fills than FILLS_MARKED
marks the first and last of them, and the page says so.
"""
import bisect
import datetime
import json
import os
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, Tuple, TypeVar
from typing import Union

from ..research import stats as statistics
from ..research.report import figure_text, order_outcome
from ..trading import codes
from ..trading.risk import RULES
from ..trading.timers import tick_seconds
from . import page
from .candles import MinuteCandles

if TYPE_CHECKING:
    from ..research.days import DayResult
    from ..research.report import Report
    from ..trading.records import CQVOrderField
    from ..trading.risk import RiskSummary
    from ..trading.timers import ExchangeClock

__all__ = ["write_report_page", "CANDLES_PER_CHART", "FILLS_MARKED"]

_Path = TypeVar("_Path", bound=Union[str, "os.PathLike[str]"])

# Candles a chart draws at most: some 90 trading days of 1-minute candles of a night-trading
# product; a longer run's are merged into the fewest minutes of _COARSER that fit.
CANDLES_PER_CHART = 50_000
_COARSER = (2, 3, 5, 10, 15, 30, 60, 120, 240, 1440)
# Fills an instrument's chart marks at most: the first and the last half of them.
FILLS_MARKED = 20_000
# Warnings of the pre-trade check shown from the start and from the end of a longer list.
_RISK_AT_EACH_END = 10
_EPOCH = datetime.datetime(1970, 1, 1)

# Labels of the statistics stats.text does not print.
_MORE_LABELS = {"max_drawdown_peak": "Max drawdown's peak",
                "max_drawdown_trough": "Max drawdown's trough",
                "max_drawdown_duration_from": "Longest drawdown from",
                "max_drawdown_duration_to": "Longest drawdown to"}


def write_report_page(path: _Path, title: str, report: "Report", days: Sequence["DayResult"],
                      stats: statistics.Stats, fills: Sequence[statistics.Fill],
                      trips: Sequence[statistics.Trip], orders: Sequence["CQVOrderField"] = (),
                      equity: Optional[Tuple[Sequence[float], Sequence[float]]] = None,
                      candles: Optional[MinuteCandles] = None,
                      clock: Optional["ExchangeClock"] = None) -> _Path:
    """Writes the page of a run: its report, its days (DayResult) and statistics (as
    stats.compute gives them), its fills in the run's order with their round trips as
    stats.FillTotals paired them (keep_pairs), the orders placed, the equity curve's points as
    (the clock's seconds, equity), the candles of its ticks and the exchange clock that timed
    them (which dates the clock's seconds)."""
    charts, notes = _chart_data(fills, trips, equity, candles, _clock_origin(clock), stats)
    body = [_header(title, report), '<div class="columns">\n', _report_section(report, days),
            _statistics_section(stats), "</div>\n", _charts_section(charts, notes),
            _risk_section(report.risk), _orders_section(orders),
            _trips_section(fills, trips), _footer(), page.data_script("qv-data", charts)]
    text = page.document("Report: %s" % title, "".join(body),
                         [page.CHARTS_FILE, "report.js"])
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        out.write(text)
    return path


def _clock_origin(clock: Optional["ExchangeClock"]) -> Optional[float]:
    """UNIX seconds of the clock's 0, its exchange time taken as UTC (the charts show UTC)."""
    if clock is None or clock.seconds() is None:
        return None
    return (clock.at(0.0) - _EPOCH).total_seconds()


class _FillTimes:
    """UNIX seconds of fills, their exchange time (calendar date and time of day) taken as UTC;
    None for a fill whose date or time does not read."""

    def __init__(self) -> None:
        self._midnights: Dict[str, Optional[float]] = {}

    def of(self, fill: statistics.Fill) -> Optional[float]:
        if fill.date not in self._midnights:
            try:
                day = datetime.datetime.strptime(fill.date, "%Y%m%d")
                self._midnights[fill.date] = (day - _EPOCH).total_seconds()
            except ValueError:
                self._midnights[fill.date] = None
        midnight = self._midnights[fill.date]
        seconds = tick_seconds(fill.time)
        if midnight is None or seconds is None:
            return None
        return midnight + seconds


def _price(value: float) -> str:
    return ("%.4f" % value).rstrip("0").rstrip(".")


def _lots(count: int) -> str:
    return "%d lot%s" % (count, "" if count == 1 else "s")


def _when(fill: statistics.Fill) -> str:
    return "%s %s" % (fill.trading_day, fill.time)


# The page's sections, in order.

def _header(title: str, report: "Report") -> str:
    out = ['<header>\n<h1>%s</h1>\n' % page.escape(title)]
    if report.partial:
        out.append('<p class="partial">PARTIAL RUN: %s</p>\n' % page.escape(report.partial))
    out.append('<nav><a href="#report">Report</a> <a href="#statistics">Statistics</a> '
               '<a href="#equity">Equity</a> <a href="#daily">Daily profit</a> '
               '<a href="#prices">Prices</a>%s <a href="#orders">Orders</a> '
               '<a href="#trips">Round trips</a></nav>\n</header>\n' % (
                   ' <a href="#risk">Risk</a>' if report.risk is not None else ""))
    return "".join(out)


def _report_section(report: "Report", days: Sequence["DayResult"]) -> str:
    figures = []
    for line in report.text().splitlines():
        if line.startswith("Checked against"):
            break
        if line.startswith(" "):
            figures.append(("", page.escape(line.strip())))
        else:
            label, _, value = line.partition(": ")
            figures.append((page.escape(label), page.escape(value)))
    checks = [[page.escape(what), page.escape(figure_text(mine)),
               page.escape(figure_text(theirs)),
               '<span class="%s">%s</span>' % (("agrees", "agrees") if ok
                                               else ("differs", "DIFFERS"))]
              for what, mine, theirs, ok in report.checks]
    day_rows = []
    for d in days:
        held = ", ".join("%s %s" % (instrument, " / ".join(
            part for part in (("long %d" % lots[0]) if lots[0] else "",
                              ("short %d" % lots[1]) if lots[1] else "") if part))
                         for instrument, lots in sorted(d.positions.items())) or "flat"
        day_rows.append([page.escape(d.trading_day), page.escape(d.ticks), str(len(d.trades)),
                         str(sum(t.Volume for t in d.trades)), "%.2f" % d.close_profit,
                         "%.2f" % d.fees, "%.2f" % d.net_profit, "%.2f" % d.balance,
                         page.escape(held)])
    return "".join([
        '<section id="report">\n<h2>Report</h2>\n',
        page.table(["", ""], figures, css="figures"),
        "<h3>Checked against the exchange's own queries</h3>\n",
        page.table(["check", "host", "exchange", ""], checks, css="checks"),
        "<h3>By day</h3>\n",
        page.table(["day", "ticks", "trades", "lots", "close profit", "fees", "net", "balance",
                    "positions carried"], day_rows, numeric_from=1),
        "</section>\n"])


def _stat_cell(key: str, value: Any, shown: str, day: Optional[str] = None) -> str:
    return '<td class="num" data-stat="%s"%s data-value="%s">%s</td>' % (
        page.escape(key), ' data-day="%s"' % page.escape(day) if day is not None else "",
        page.escape(json.dumps(value)), page.escape(shown))


def _statistics_section(stats: statistics.Stats) -> str:
    rows = []
    for key, label, shown in statistics.shown(stats):
        rows.append("<tr><th>%s</th>%s</tr>\n" % (page.escape(label),
                                                   _stat_cell(key, stats.get(key), shown)))
    printed = {key for key, _, _ in statistics.shown(stats)}
    for key, value in stats.items():
        if key in printed or isinstance(value, dict):
            continue
        shown = ("n/a" if value is None else "%.2f" % value if isinstance(value, float)
                 else str(value))
        rows.append("<tr><th>%s</th>%s</tr>\n" % (page.escape(_MORE_LABELS.get(key, key)),
                                                   _stat_cell(key, value, shown)))
    daily = []
    for day, profit in (stats.get("daily_profit") or {}).items():
        daily.append("<tr><th>%s</th>%s</tr>\n" % (
            page.escape(day), _stat_cell("daily_profit", profit, "%.2f" % profit, str(day))))
    return "".join(['<section id="statistics">\n<h2>Statistics</h2>\n'
                    '<table class="stats">\n<tbody>\n'] + rows +
                   ['</tbody>\n</table>\n<h3>Daily profit</h3>\n<table class="stats daily">\n'
                    '<thead><tr><th>day</th><th class="num">net profit</th></tr></thead>\n'
                    '<tbody>\n'] + daily + ["</tbody>\n</table>\n</section>\n"])


def _charts_section(charts: Dict[str, Any], notes: List[str]) -> str:
    out = ['<section id="equity">\n<h2>Equity</h2>\n']
    if charts["equity"]["t"]:
        out.append('<p class="legend">Equity (capital, plus profit marked to market, less the '
                   'fees paid so far) with its drawdown from the running peak beneath.</p>\n'
                   '<div class="chart tall" id="chart-equity"></div>\n'
                   '<div class="chart short" id="chart-drawdown"></div>\n')
    else:
        out.append('<p class="note">No equity curve: the run had no ticks.</p>\n')
    out.append('</section>\n<section id="daily">\n<h2>Daily profit</h2>\n'
               '<div class="chart short" id="chart-daily"></div>\n</section>\n'
               '<section id="prices">\n<h2>Prices</h2>\n')
    for note in notes:
        out.append('<p class="note">%s</p>\n' % page.escape(note))
    if not charts["instruments"]:
        out.append('<p class="note">No candles: the run had no ticks.</p>\n')
    for number, instrument in enumerate(charts["instruments"]):
        name = page.escape(instrument["name"])
        out.append('<div class="instrument">\n<h3>%s <span class="legend">%d-minute candles, '
                   '%d fills</span></h3>\n<div class="zoom">Show <select data-instrument="%s">'
                   '<option value="all">the whole run</option>' % (
                       name, instrument["minutes"], instrument["fill_count"], name))
        for day, _ in instrument["days"]:
            out.append('<option value="%s">%s</option>' % (page.escape(day), page.escape(day)))
        out.append('</select> <span class="legend">(scroll to zoom, drag to move; hover a marked '
                   'candle for its fills and round trips)</span></div>\n'
                   '<div class="chart tall candles" id="chart-candles-%d" data-instrument="%s">'
                   '<div class="tooltip"></div></div>\n</div>\n' % (number, name))
    out.append("</section>\n")
    return "".join(out)


def _risk_section(risk: Optional["RiskSummary"]) -> str:
    """The pre-trade check's summary: refusals by rule, the first refusal of each rule and
    instrument, warnings (the first and last of many), halts, and each instrument's cancels of a
    trading day against the exchange's threshold."""
    if risk is None:
        return ""
    rank = {rule: n for n, rule in enumerate(RULES)}
    rows = [["orders refused", str(risk.refusals)]]
    for rule in sorted(risk.refused, key=lambda r: (rank.get(r, len(RULES)), r)):
        rows.append(["refused by %s" % page.escape(rule), str(risk.refused[rule])])
    decisions = [("first refusal", d) for d in risk.first]
    decisions += [("warning", d) for _, d in page.bounded(risk.warnings, _RISK_AT_EACH_END)[0]]
    decisions += [(d.action, d) for d in risk.halts]
    for what, decision in decisions:
        when = decision.time.strftime("%Y-%m-%d %H:%M:%S ") if decision.time else ""
        rows.append([page.escape(what), page.escape(when + decision.text)])
    for day, by_instrument in sorted(risk.cancels.items()):
        for instrument, count in sorted(by_instrument.items()):
            rows.append(["cancels %s%s" % (page.escape(instrument),
                                           " (%s)" % page.escape(day) if day else ""),
                         "%d of %d" % (count, risk.threshold)])
    note = page.bounded(risk.warnings, _RISK_AT_EACH_END)[1]
    return ('<section id="risk">\n<h2>Risk</h2>\n%s%s</section>\n' % (
        '<p class="note">Warnings: %s</p>\n' % page.escape(note) if note else "",
        page.table(["", ""], rows, css="figures")))


def _orders_section(orders: Sequence["CQVOrderField"]) -> str:
    shown, note = page.bounded(orders)
    rows = []
    for _, o in shown:
        rows.append([str(o.OrderID), page.escape(o.TradingDay.decode()),
                     page.escape(o.InsertTime.decode()), page.escape(o.UpdateTime.decode()),
                     page.escape(o.StandardID.decode()), page.escape(o.ExchangeID.decode()),
                     page.escape(codes.direction_name(o.Direction)),
                     page.escape(codes.offset_name(o.OffsetFlag)), _price(o.OriginalPrice),
                     str(o.OriginalVolume), str(o.TradedVolume), str(o.CanceledVolume),
                     page.escape(order_outcome(o)),
                     page.escape(o.Message.decode("gb2312", "replace").rstrip("\0"))])
    return "".join([
        '<section id="orders">\n<h2>Orders</h2>\n',
        '<p class="note">%s</p>\n' % page.escape(note) if note else "",
        page.table(["order", "trading day", "sent", "updated", "instrument", "exchange",
                    "direction", "offset", "price", "lots", "traded", "canceled", "outcome",
                    "message"], rows, css="rows"),
        "</section>\n"])


def _trips_section(fills: Sequence[statistics.Fill], trips: Sequence[statistics.Trip]) -> str:
    shown, note = page.bounded(trips)
    rows = []
    for number, trip in shown:
        close = fills[trip.close]
        lots = sum(take for _, take in trip.opens)
        if trip.opens:
            first = fills[trip.opens[0][0]]
            opened = _when(first) + (" (+%d more)" % (len(trip.opens) - 1)
                                     if len(trip.opens) > 1 else "")
            open_price = _price(sum(fills[n].price * take for n, take in trip.opens) / lots)
        else:
            opened, open_price = "before the run", ""
        rows.append([str(number), page.escape(close.instrument),
                     "long" if close.direction.lower() == "sell" else "short",
                     str(lots or close.volume), page.escape(opened), open_price,
                     page.escape(_when(close)), _price(close.price),
                     '<span data-value="%s">%.2f</span>' % (
                         page.escape(json.dumps(trip.profit)), trip.profit)])
    return "".join([
        '<section id="trips">\n<h2>Round trips</h2>\n<p class="legend">Each closing fill with '
        'the opening fills it closes, first in first out; profit gross of fees.</p>\n',
        '<p class="note">%s</p>\n' % page.escape(note) if note else "",
        page.table(["trip", "instrument", "side", "lots", "opened", "at", "closed", "at",
                    "profit"], rows, css="rows", numeric_from=3),
        "</section>\n"])


def _footer() -> str:
    return ('<footer>Charts drawn with TradingView Lightweight Charts&trade; %s, &copy; '
            'TradingView, Inc., under the Apache License 2.0.</footer>\n' % page.CHARTS_VERSION)


# The data the charts draw.

def _chart_data(fills: Sequence[statistics.Fill], trips: Sequence[statistics.Trip],
                equity: Optional[Tuple[Sequence[float], Sequence[float]]],
                candles: Optional[MinuteCandles], origin: Optional[float],
                stats: statistics.Stats) -> Tuple[Dict[str, Any], List[str]]:
    notes: List[str] = []
    charts: Dict[str, Any] = {"equity": _equity_data(equity, origin), "daily": [],
                              "instruments": []}
    for day, profit in (stats.get("daily_profit") or {}).items():
        if day and len(str(day)) == 8:
            day = str(day)
            charts["daily"].append({"time": "%s-%s-%s" % (day[:4], day[4:6], day[6:]),
                                    "value": round(profit, 2)})
    if candles is None or origin is None:
        return charts, notes
    hover = _hover_texts(fills, trips)
    times = _FillTimes()
    for name in sorted(candles.by_instrument):
        kept = candles.by_instrument[name]
        minutes = 1
        for coarser in _COARSER:
            if len(kept) <= CANDLES_PER_CHART:
                break
            kept, minutes = candles.by_instrument[name].coarser(coarser), coarser
        if minutes > 1:
            notes.append("%s: %d-minute candles, so that the chart draws at most %d." % (
                name, minutes, CANDLES_PER_CHART))
        starts = [int(origin + s) for s in kept.starts]
        marked = [n for n, f in enumerate(fills) if f.instrument == name]
        count = len(marked)
        if count > FILLS_MARKED:
            half = FILLS_MARKED // 2
            marked = marked[:half] + marked[-half:]
            notes.append("%s: the first %d and the last %d of its %d fills are marked." % (
                name, half, half, count))
        marks: List[Tuple[int, Dict[str, Any]]] = []
        for n in marked:
            at = times.of(fills[n])
            if at is None or not starts:
                continue
            candle = starts[max(0, bisect.bisect_right(starts, at) - 1)]
            f = fills[n]
            marks.append((candle, {"t": candle, "buy": f.direction.lower() == "buy",
                                   "lots": f.volume, "lines": hover[n]}))
        marks.sort(key=lambda mark: mark[0])
        charts["instruments"].append({
            "name": name, "minutes": minutes, "fill_count": count,
            "days": [[day, index] for day, index in kept.days],
            "candles": {"t": starts, "o": list(kept.opens), "h": list(kept.highs),
                        "l": list(kept.lows), "c": list(kept.closes)},
            "fills": [mark for _, mark in marks]})
    return charts, notes


def _equity_data(equity: Optional[Tuple[Sequence[float], Sequence[float]]],
                 origin: Optional[float]) -> Dict[str, List[float]]:
    """A point a second: the equity at the second's last point, and the deepest drawdown from
    the running peak within the second."""
    out: Dict[str, List[float]] = {"t": [], "v": [], "dd": []}
    if equity is None or origin is None:
        return out
    peak = float("-inf")
    times, values = equity
    for seconds, value in zip(times, values):
        peak = max(peak, value)
        at = int(origin + seconds)
        fall = round(value - peak, 2)
        if out["t"] and out["t"][-1] >= at:
            out["v"][-1] = round(value, 2)
            out["dd"][-1] = min(out["dd"][-1], fall)
            continue
        out["t"].append(at)
        out["v"].append(round(value, 2))
        out["dd"].append(fall)
    return out


def _hover_texts(fills: Sequence[statistics.Fill], trips: Sequence[statistics.Trip]
                 ) -> List[List[str]]:
    """For each fill, the lines its marker shows: the fill, then its round trips."""
    lines = [["%s %s %s at %s, %s" % (f.direction, f.offset, _lots(f.volume), _price(f.price),
                                      _when(f))] for f in fills]
    closed = [0] * len(fills)
    for number, trip in enumerate(trips, 1):
        close = fills[trip.close]
        profit = "round trip %d, profit %.2f gross of fees:" % (number, trip.profit)
        lines[trip.close].append(profit)
        for opened, take in trip.opens:
            o = fills[opened]
            closed[opened] += take
            lines[trip.close].append("  closes %s opened at %s, %s" % (
                _lots(take), _price(o.price), _when(o)))
            lines[opened].append(profit)
            lines[opened].append("  %s closed at %s, %s" % (
                _lots(take), _price(close.price), _when(close)))
        if not trip.opens:
            lines[trip.close].append("  closes lots held before the run")
    for n, f in enumerate(fills):
        if f.offset.lower() == "open" and closed[n] < f.volume:
            lines[n].append("%s still open at the end" % _lots(f.volume - closed[n]))
    return lines
