"""Several trading days in one run: the day files of a replay in trading-day order, the day roll of
the simulated exchange between them (settlement, expiry of working orders, a new login of the
client), the strategy's day hooks, and the account of each day as the exchange reports it.
"""
import csv
import glob
import os
import time

from . import codes, records
from .stats import Day, Fill

__all__ = ["DayFile", "day_files", "DayResult", "roll_day", "close_day", "day_table",
           "write_days", "fills_of"]


class DayFile:
    """A tick file holding one trading day."""

    def __init__(self, path, trading_day, ticks):
        self.path, self.trading_day, self.ticks = str(path), trading_day, ticks

    def __repr__(self):
        return "DayFile(%r, %s, %d ticks)" % (self.path, self.trading_day, self.ticks)


def _read_day(path, alone):
    """(trading day, ticks) of a day file; a file replayed alone may lack the TradingDay column
    (its day is then the exchange's)."""
    days, ticks = set(), 0
    with open(path, newline="") as source:
        reader = csv.DictReader(source)
        if "TradingDay" not in (reader.fieldnames or []):
            if alone:
                return None, sum(1 for _ in reader)
            raise ValueError("%s: no TradingDay column; a run of several days orders its files "
                             "by it" % path)
        for line, row in enumerate(reader, start=2):
            day = row["TradingDay"].strip()
            if len(day) != 8 or not day.isdigit():
                raise ValueError("%s:%d: TradingDay %r is not YYYYMMDD" % (path, line, day))
            days.add(day)
            ticks += 1
    if len(days) != 1:
        raise ValueError("%s: a day file holds one trading day, this one %s" % (
            path, ", ".join(sorted(days)) if days else "none"))
    return days.pop(), ticks


def day_files(locations):
    """The tick files named (files, or folders whose *.csv files are taken), ordered by their
    TradingDay; refuses a file of several days and two files of one day."""
    paths = []
    for location in locations:
        location = str(location)
        if os.path.isdir(location):
            found = sorted(glob.glob(os.path.join(location, "*.csv")))
            if not found:
                raise ValueError("%s: no .csv tick files in this folder" % location)
            paths.extend(found)
        else:
            paths.append(location)
    files, seen = [], {}
    for path in paths:
        day, ticks = _read_day(path, alone=len(paths) == 1)
        if day in seen:
            raise ValueError("%s and %s are both trading day %s" % (seen[day], path, day))
        seen[day] = path
        files.append(DayFile(path, day, ticks))
    files.sort(key=lambda f: f.trading_day)
    return files


class DayResult:
    """The account at the end of one trading day, from the exchange's own queries, and the day's
    trades (copies of CThostFtdcTradeField, which the exchange forgets at the day roll)."""

    def __init__(self, trading_day, ticks):
        self.trading_day, self.ticks = trading_day, ticks
        self.trades = []
        self.pre_balance = self.balance = self.fees = 0.0
        self.close_profit = self.position_profit = 0.0
        self.positions = {}   # instrument -> (long lots, short lots), both sides shown

    @property
    def net_profit(self):
        return self.balance - self.pre_balance

    def day(self):
        return Day(self.trading_day, self.balance, self.fees)


def close_day(client, trading_day, ticks):
    """The exchange's account, positions and trades at the end of a day."""
    result = DayResult(trading_day, ticks)
    result.trades = [t for t in client.exchange_trades() if t.TradeID]
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
        result.pre_balance = account.PreBalance + account.Deposit - account.Withdraw
        result.balance = account.Balance
        result.fees = account.Commission
        result.close_profit = account.CloseProfit
        result.position_profit = account.PositionProfit
    return result


def roll_day(market, client, trading_day, timeout=30.0):
    """Ends the exchange's day and waits until the client has logged in to `trading_day` and
    loaded it again (its Ready event)."""
    readies = client.events_seen[codes.READY]
    market.roll_day(trading_day)
    deadline = time.monotonic() + timeout
    while client.events_seen[codes.READY] == readies:
        if time.monotonic() > deadline:
            raise TimeoutError("the client did not log in to trading day %s" % trading_day)
        time.sleep(0.005)


def fills_of(days):
    """Every trade of the run as statistics fills, in trading-day and time order."""
    out = []
    for result in days:
        for t in sorted(result.trades, key=lambda t: (t.TradeTime, t.TradeID)):
            out.append(Fill(t.TradingDay.decode(), t.TradeTime.decode(), t.InstrumentID.decode(),
                            codes.direction_name(t.Direction), codes.offset_name(t.OffsetFlag),
                            t.Price, t.Volume))
    return out


_TABLE = "  %-10s %7s %7s %6s %14s %12s %10s %14s  %s"


def day_table(days):
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


def _sides(lots):
    long_lots, short_lots = lots
    parts = (["long %d" % long_lots] if long_lots else []) + (
        ["short %d" % short_lots] if short_lots else [])
    return " / ".join(parts)


def write_days(path, days):
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


def instrument_multipliers(client):
    return {i.InstrumentID.decode(): i.VolumeMultiple
            for i in client.query(11402, records.CThostFtdcInstrumentField)}


def run_days(strategy, files, out_dir, speed=0.0, progress=True, scenario=None, settle=0.3,
             timeout=600.0, pictures=True, log=None):
    """Replays day files (DayFile, in trading-day order) through one strategy that lives across
    them; returns (the report of the last day, the DayResults, the statistics)."""
    import json
    from . import sim, stats as statistics
    from .host import Client
    from .replay import DEMO_LOGIN, _progress
    from .report import Recorder, build_report

    log = log or (lambda text: print(text, flush=True))
    out_dir = os.path.abspath(out_dir)
    os.makedirs(out_dir, exist_ok=True)
    market = sim.Sim()
    settings = {}
    if scenario:
        with open(scenario) as source:
            settings = json.load(source)
    if files[0].trading_day:
        settings["tradingDay"] = files[0].trading_day
    market.load_scenario(settings)
    files[0].trading_day = market.trading_day()
    market.set_flow_control(0, 0)
    market.set_latency(100)
    market.set_md_rate(0)

    client = Client(strategy, base_path=os.path.join(out_dir, "flow"), **DEMO_LOGIN)
    client.start()
    if not client.wait_ready(30.0):
        raise RuntimeError("the client did not become ready")
    multipliers = instrument_multipliers(client)
    recorder = Recorder(multipliers)
    client.add_observer(recorder)
    initial = client.trading_account()
    capital = initial.PreBalance + initial.Deposit - initial.Withdraw if initial else 0.0

    results, subscribed, curve = [], set(), []
    for index, day in enumerate(files):
        if index:
            client._guard("on_day_end", files[index - 1].trading_day)
            roll_day(market, client, day.trading_day)
        instruments = _instruments(day.path)
        unknown = [i for i in instruments if i not in multipliers]
        if unknown:
            raise RuntimeError("%s: instruments not traded here: %s" % (day.path, ", ".join(unknown)))
        wanted = {}
        for instrument, exchange in instruments.items():
            if instrument not in subscribed:
                wanted.setdefault(exchange, []).append(instrument)
        for exchange, codes_ in wanted.items():
            client.subscribe(codes_, exchange)
            subscribed.update(codes_)
        deadline = time.monotonic() + 10.0
        while client.events_seen[11007] < len(subscribed) and time.monotonic() < deadline:
            time.sleep(0.01)
        client._guard("on_day_start", day.trading_day)
        strategy.ticks_expected = client.ticks_seen + day.ticks
        log("Day %s: replaying %d ticks of %s ..." % (day.trading_day, day.ticks,
                                                      os.path.basename(day.path)))
        started = time.monotonic()
        total = market.replay(day.path, speed)
        bar = _progress(total, progress)
        shown = 0
        try:
            while not market.replay_wait(0.1):
                delivered, _ = market.replay_progress()
                if bar is not None:
                    bar.update(delivered - shown)
                    shown = delivered
                if time.monotonic() - started > timeout:
                    raise TimeoutError("day %s did not finish in %.0f s" % (day.trading_day, timeout))
        except KeyboardInterrupt:
            market.replay_stop()
            raise
        finally:
            if bar is not None:
                bar.update(total - shown)
                bar.close()
        time.sleep(settle)
        results.append(close_day(client, day.trading_day, day.ticks))
        paid = sum(r.fees for r in results[:-1])
        curve.extend((day.trading_day + " " + t, capital + v - paid)
                     for t, v in _day_marks(recorder))
    client._guard("on_day_end", files[-1].trading_day)

    report = build_report(client, recorder, out_dir, initial_funds=capital)
    _whole_run_checks(report, results, capital)
    fills = fills_of(results)
    computed = statistics.compute([r.day() for r in results], fills, multipliers, capital,
                                  curve=curve or None)
    write_days(os.path.join(out_dir, "days.csv"), results)
    _write_fills(os.path.join(out_dir, "trades.csv"), results)
    report.trades_csv = os.path.join(out_dir, "trades.csv")
    statistics.write_json(os.path.join(out_dir, "stats.json"), computed)
    statistics.write_csv(os.path.join(out_dir, "stats.csv"), computed)
    with open(os.path.join(out_dir, "equity.csv"), "w", newline="") as marks:
        writer = csv.writer(marks)
        writer.writerow(["Time", "Equity"])
        writer.writerows((label, "%.2f" % value) for label, value in curve)
    if pictures:
        statistics.plot(out_dir, computed, curve, log=log)
    client.stop()
    return report, results, computed


def _whole_run_checks(report, results, capital):
    """The exchange's profit of the whole run: each day's close profit and position profit (the
    positions re-marked at every settlement), and the balance against the initial capital."""
    exchange_gross = sum(r.close_profit + r.position_profit for r in results)
    fees = sum(r.fees for r in results)
    report.exchange_pnl, report.fees = exchange_gross, fees
    report.net_pnl = results[-1].balance - capital
    trades = [t for r in results for t in r.trades]
    checks = []
    for what, mine, theirs, ok in report.checks:
        if what == "fills":
            theirs, ok = len(trades), mine == len(trades)
        elif what == "filled lots":
            lots = sum(t.Volume for t in trades)
            theirs, ok = lots, mine == lots
        elif what == "gross profit":
            theirs, ok = exchange_gross, abs(mine - exchange_gross) <= 0.01
        elif what.startswith("net profit"):
            mine = report.gross_pnl - fees
            theirs, ok = report.net_pnl, abs(mine - report.net_pnl) <= 0.01
        checks.append((what, mine, theirs, ok))
    report.checks = checks


def _day_marks(recorder):
    """The recorder's marks since the last call: (time, profit so far)."""
    start = getattr(recorder, "_marks_taken", 0)
    recorder._marks_taken = len(recorder.equity)
    return recorder.equity[start:]


def _instruments(path):
    found = {}
    with open(path, newline="") as source:
        for row in csv.DictReader(source):
            found.setdefault(row["InstrumentID"], row.get("ExchangeID", ""))
    return found


def _write_fills(path, days):
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["TradeID", "TradingDay", "TradeTime", "InstrumentID", "ExchangeID",
                         "Direction", "Offset", "Price", "Volume", "OrderID", "OrderSysID"])
        for d in days:
            for t in sorted(d.trades, key=lambda t: (t.TradeTime, t.TradeID)):
                writer.writerow([t.TradeID.decode().strip(), t.TradingDay.decode(),
                                 t.TradeTime.decode(), t.InstrumentID.decode(),
                                 t.ExchangeID.decode(), codes.direction_name(t.Direction),
                                 codes.offset_name(t.OffsetFlag), "%.4f" % t.Price, t.Volume,
                                 t.OrderRef.decode().strip(), t.OrderSysID.decode().strip()])
