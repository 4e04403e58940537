"""The end-of-day report of a run: what the host saw (orders, fills, positions, a marked-to-market
equity curve) set against what the exchange itself reports through the runtime's queries (trades,
positions, trading account), written as text, a trades CSV and an equity-curve PNG.

A Recorder is a Client observer: it runs on the runtime's callback threads and only appends to
lists and updates small dicts, which the interpreter lock keeps consistent.
"""
import csv
import os

from . import codes
from .host import Strategy

__all__ = ["Recorder", "Report", "build_report"]


class Recorder(Strategy):
    """Collects fills (one per trade report, from UpdateCost events) and an equity point per tick.
    Equity = cash flows of the fills + open position × last price × multiplier; it does not depend
    on how the exchange pairs opens with closes."""

    def __init__(self, multipliers):
        self.multipliers = dict(multipliers)
        self.fills = []
        self.net = {}
        self.last_price = {}
        self.cash_flow = 0.0
        self.equity = []

    def on_order(self, event_id, order, position, usable_cash):
        if event_id != codes.UPDATE_COST or order.TradedVolumeChangeOfTurnover <= 0:
            return
        instrument = order.StandardID.decode()
        volume = order.TradedVolumeChangeOfTurnover
        price = order.LastTradedPrice
        sign = 1 if codes.char(order.Direction) == "0" else -1
        multiplier = self.multipliers.get(instrument, 1)
        self.cash_flow -= sign * price * volume * multiplier
        self.net[instrument] = self.net.get(instrument, 0) + sign * volume
        self.fills.append({"order_id": order.OrderID, "instrument": instrument,
                           "exchange": order.ExchangeID.decode(),
                           "direction": codes.direction_name(order.Direction),
                           "offset": codes.offset_name(order.OffsetFlag),
                           "price": price, "volume": volume, "time": order.UpdateTime.decode()})

    def on_tick(self, tick):
        self.last_price[tick.StandardID.decode()] = tick.LastPrice
        self.equity.append((tick.UpdateTime.decode(), self.pnl()))

    def pnl(self):
        """Gross profit so far, open positions marked at their last price."""
        marked = sum(volume * self.last_price.get(instrument, 0.0)
                     * self.multipliers.get(instrument, 1)
                     for instrument, volume in self.net.items())
        return self.cash_flow + marked


class Report:
    """Numbers of one run. `checks` lists (what, host value, exchange value, agrees)."""

    def __init__(self):
        self.orders = {}
        self.fills = 0
        self.fill_volume = 0
        self.positions = {}
        self.exchange_positions = {}
        self.fees = 0.0
        self.gross_pnl = 0.0
        self.exchange_pnl = 0.0
        self.net_pnl = 0.0
        self.usable_cash = 0.0
        self.exchange_available = 0.0
        self.balance = 0.0
        self.checks = []
        self.errors = 0
        self.equity_png = None
        self.trades_csv = None

    @property
    def agrees(self):
        return all(ok for _, _, _, ok in self.checks)

    def text(self):
        lines = ["Orders: %d placed (%s)" % (sum(self.orders.values()), ", ".join(
                     "%d %s" % (n, status) for status, n in sorted(self.orders.items()))),
                 "Fills: %d, %d lots" % (self.fills, self.fill_volume),
                 "Positions at the end (net lots): %s" % (", ".join(
                     "%s %+d" % (k, v) for k, v in sorted(self.positions.items()) if v) or "flat"),
                 "Fees: %.2f" % self.fees,
                 "Profit: gross %.2f, net of fees %.2f" % (self.gross_pnl, self.net_pnl),
                 "Balance: %.2f, usable cash %.2f" % (self.balance, self.usable_cash)]
        if self.errors:
            lines.append("Handler errors: %d (tracebacks above)" % self.errors)
        lines.append("Checked against the exchange's own queries:")
        for what, mine, theirs, ok in self.checks:
            lines.append("  %-34s host %-16s exchange %-16s %s" % (
                what, _fmt(mine), _fmt(theirs), "agrees" if ok else "DIFFERS"))
        if self.trades_csv:
            lines.append("Trades: %s" % self.trades_csv)
        if self.equity_png:
            lines.append("Equity curve: %s" % self.equity_png)
        return "\n".join(lines)


# How an order ended, by OrderStatus; a finished order with canceled volume counts as Canceled.
_ORDER_OUTCOME = {"\0": "Not sent", "1": "Unanswered", "3": "Working", "4": "Filled",
                  "5": "Rejected"}


def _fmt(value):
    return "%.2f" % value if isinstance(value, float) else str(value)


def _close(a, b, tolerance=0.01):
    return abs(a - b) <= tolerance


def build_report(client, recorder, out_dir, initial_funds=None):
    """Queries the exchange (trades, positions, account) through the client, compares, and writes
    trades.csv and equity.png into out_dir."""
    report = Report()
    report.errors = client.errors
    for order in client.orders():
        status = _ORDER_OUTCOME.get(codes.char(order.OrderStatus), "Unknown")
        if status == "Filled" and order.CanceledVolume > 0:
            status = "Canceled"
        report.orders[status] = report.orders.get(status, 0) + 1
    report.fills = len(recorder.fills)
    report.fill_volume = sum(f["volume"] for f in recorder.fills)

    trades = client.exchange_trades()
    positions = client.exchange_positions()
    account = client.trading_account()

    for instrument, volume in recorder.net.items():
        report.positions[instrument] = volume
    for p in positions:
        if not p.InstrumentID:
            continue
        instrument = p.InstrumentID.decode()
        sign = 1 if codes.char(p.PosiDirection) == "2" else -1
        report.exchange_positions[instrument] = (report.exchange_positions.get(instrument, 0)
                                                 + sign * p.Position)
    for instrument in set(report.positions) | set(report.exchange_positions):
        report.positions.setdefault(instrument, 0)
        report.exchange_positions.setdefault(instrument, 0)

    exchange_volume = sum(t.Volume for t in trades)
    report.checks.append(("fills", report.fills, len(trades), report.fills == len(trades)))
    report.checks.append(("filled lots", report.fill_volume, exchange_volume,
                          report.fill_volume == exchange_volume))
    for instrument in sorted(report.positions):
        mine, theirs = report.positions[instrument], report.exchange_positions[instrument]
        own = client.position(instrument)
        runtime_net = (own.LongVolume - own.ShortVolume) if own is not None else 0
        report.checks.append(("position %s" % instrument, mine, theirs,
                              mine == theirs == runtime_net))

    report.gross_pnl = recorder.pnl()
    report.usable_cash = client.usable_cash
    if account is not None:
        report.fees = account.Commission
        report.exchange_pnl = account.CloseProfit + account.PositionProfit
        report.balance = account.Balance
        report.exchange_available = account.Available
        start = account.PreBalance + account.Deposit - account.Withdraw
        if initial_funds is not None:
            start = initial_funds
        report.net_pnl = account.Balance - start
        report.checks.append(("gross profit", report.gross_pnl, report.exchange_pnl,
                              _close(report.gross_pnl, report.exchange_pnl)))
        net = report.gross_pnl - report.fees
        report.checks.append(("net profit (balance change)", net, report.net_pnl,
                              _close(net, report.net_pnl)))

    os.makedirs(out_dir, exist_ok=True)
    report.trades_csv = write_trades(os.path.join(out_dir, "trades.csv"), trades, client)
    report.equity_png = plot_equity(os.path.join(out_dir, "equity.png"), recorder.equity,
                                    report.fees, report.net_pnl)
    return report


def write_trades(path, trades, client):
    """The exchange's trade records, one row each, with the runtime's OrderID of each trade."""
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["TradeID", "TradingDay", "TradeTime", "InstrumentID", "ExchangeID",
                         "Direction", "Offset", "Price", "Volume", "OrderID", "OrderSysID"])
        for t in sorted(trades, key=lambda t: (t.TradeTime, t.TradeID)):
            writer.writerow([t.TradeID.decode().strip(), t.TradingDay.decode(),
                             t.TradeTime.decode(), t.InstrumentID.decode(), t.ExchangeID.decode(),
                             codes.direction_name(t.Direction), codes.offset_name(t.OffsetFlag),
                             "%.4f" % t.Price, t.Volume, t.OrderRef.decode().strip(),
                             t.OrderSysID.decode().strip()])
    return path


def plot_equity(path, equity, fees, net):
    """Marked-to-market profit over the day's ticks, as a PNG (Agg, no display)."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(9, 4.5), dpi=100)
    xs = range(len(equity))
    axes.plot(xs, [v for _, v in equity], label="profit, marked to market", linewidth=1.2)
    if equity:
        step = max(1, len(equity) // 8)
        axes.set_xticks(list(xs)[::step])
        axes.set_xticklabels([t for t, _ in equity][::step], rotation=30, fontsize=8)
    axes.set_xlabel("tick time")
    axes.set_ylabel("profit (CNY)")
    axes.set_title("Profit over the replayed day (fees %.2f, net at the end %.2f)" % (fees, net))
    axes.grid(True, alpha=0.3)
    axes.legend(loc="best", fontsize=8)
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)
    return path
