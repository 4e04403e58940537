"""A live day against its replay: the fills of a live run's journal matched with those of the same
strategy replayed on the same day's recorded ticks, as `python3 -m quorvane compare LIVE REPLAY`
prints them.

Pairing, the same every time for the same journals:
- orders are grouped by instrument, side and offset, and within a group taken in the order they
  were sent (their order ids, which grow through the day); the k-th order of a group live pairs
  with the k-th of the same group replayed. An order without a partner is one side's alone;
- within a pair, the fills are taken in the order they traded (by the order's lots traded with
  each) and matched lot by lot: live's first lots with the replay's first lots, whatever the
  split of the fills. Lots one side traded beyond the other's are that side's alone.
Slippage is what live paid beyond the replay on the lots both traded: a buy's live price minus
the replay's, a sell's replay price minus live's; positive when the replay was the kinder, in
ticks a lot (the instrument's price tick) and in money (times its multiplier and the lots).
The time difference is the replay's first fill of the order minus live's, in seconds of the
exchange's time of day. Pairs are listed in the order their first order was sent.
"""
import datetime
import io
from typing import Dict, List, NamedTuple, Optional, Tuple

from ..errors import InputFileError
from .journal_day import JournalDay, Order, Row, journal_files, open_day

__all__ = ["Pair", "Comparison", "compare", "compare_runs", "text"]


class Pair(NamedTuple):
    """An order of one group and its partner; either side None when it has none."""

    key: Tuple[str, str, str]          # instrument, side, offset
    number: int                        # its place in the group, from 1
    live: Optional[Order]
    replay: Optional[Order]
    matched: int                       # lots both traded
    slippage: float                    # price units times lots, positive: the replay was kinder
    money: float
    seconds: Optional[float]           # replay's first fill minus live's


class Comparison:
    """The pairs of two journals of one trading day, and their totals."""

    def __init__(self, live: JournalDay, replay: JournalDay, pairs: List[Pair]) -> None:
        self.live = live
        self.replay = replay
        self.pairs = pairs

    def terms(self, instrument: str) -> Tuple[float, int]:
        return self.live.terms.get(instrument) or self.replay.terms.get(instrument) or (0.0, 1)

    def ticks(self, pair: Pair) -> Optional[float]:
        """The pair's slippage in ticks a lot."""
        tick = self.terms(pair.key[0])[0]
        if not pair.matched or not tick:
            return None
        return pair.slippage / pair.matched / tick

    @property
    def matched_lots(self) -> int:
        return sum(p.matched for p in self.pairs)

    def alone(self, side: str) -> Tuple[int, int]:
        """(fills, lots) one side traded that the other did not: of unpaired orders whole, of
        paired ones the lots beyond the partner's."""
        fills = lots = 0
        for p in self.pairs:
            mine, other = (p.live, p.replay) if side == "live" else (p.replay, p.live)
            if mine is None:
                continue
            extra = mine.traded - (other.traded if other is not None else 0)
            if extra > 0:
                lots += extra
                fills += len(_fills_beyond(mine, mine.traded - extra))
        return fills, lots


def _fills_beyond(order: Order, lots: int) -> List[Row]:
    """The fills of an order that hold lots past the first `lots`."""
    return [f for f in order.fills if (f.traded or 0) > lots]


def _groups(day: JournalDay) -> Dict[Tuple[str, str, str], List[Order]]:
    groups: Dict[Tuple[str, str, str], List[Order]] = {}
    for order in day.orders:      # by order id
        if order.state == "Not sent":
            continue
        groups.setdefault((order.instrument, order.direction, order.offset), []).append(order)
    return groups


def _stamp(day: JournalDay, row: Row) -> Optional[datetime.datetime]:
    date = row.exchange_date or day.trading_day
    at = (row.exchange_time or "")[:8]
    try:
        return datetime.datetime.strptime(date + at, "%Y%m%d%H:%M:%S")
    except ValueError:
        return None


def _match(live: Order, replay: Order, multiplier: int) -> Tuple[int, float, float]:
    """(lots matched, slippage in price times lots, money) of two orders' fills, lot by lot."""
    sign = 1.0 if live.direction == "Buy" else -1.0
    ours = [f.volume or 0 for f in live.fills]
    theirs = [f.volume or 0 for f in replay.fills]
    matched, slippage = 0, 0.0
    i = j = 0
    while i < len(ours) and j < len(theirs):
        lots = min(ours[i], theirs[j])
        if lots > 0:
            matched += lots
            slippage += sign * ((live.fills[i].price or 0.0)
                                - (replay.fills[j].price or 0.0)) * lots
        ours[i] -= lots
        theirs[j] -= lots
        if ours[i] <= 0:
            i += 1
        if theirs[j] <= 0:
            j += 1
    return matched, slippage, slippage * multiplier


def compare(live: JournalDay, replay: JournalDay) -> Comparison:
    """Pairs the orders and fills of two journals of one day (see the module's text)."""
    ours, theirs = _groups(live), _groups(replay)
    pairs: List[Pair] = []
    for key in sorted(set(ours) | set(theirs)):
        a, b = ours.get(key, []), theirs.get(key, [])
        multiplier = (live.terms.get(key[0]) or replay.terms.get(key[0]) or (0.0, 1))[1]
        for number in range(max(len(a), len(b))):
            left = a[number] if number < len(a) else None
            right = b[number] if number < len(b) else None
            matched, slippage, money = 0, 0.0, 0.0
            seconds: Optional[float] = None
            if left is not None and right is not None:
                matched, slippage, money = _match(left, right, multiplier)
                if left.fills and right.fills:
                    began, ended = _stamp(live, left.fills[0]), _stamp(replay, right.fills[0])
                    if began is not None and ended is not None:
                        # By the time of day: a replay dates a night by its trading day's
                        # evening, which the wall clock live may not.
                        seconds = ((ended - began).total_seconds() + 43200) % 86400 - 43200
            pairs.append(Pair(key, number + 1, left, right, matched, slippage, money, seconds))
    pairs.sort(key=lambda p: min(o.order_id or 0 for o in (p.live, p.replay) if o is not None))
    return Comparison(live, replay, pairs)


def compare_runs(live_dir: str, replay_dir: str, day: Optional[str] = None) -> Comparison:
    """The journals of one trading day of two run folders compared: `day`, else the latest day
    both hold."""
    if day is None:
        common = sorted(set(journal_files(live_dir)) & set(journal_files(replay_dir)))
        if not common:
            raise InputFileError("%s and %s hold no journal of the same trading day (%s; %s)" % (
                live_dir, replay_dir, ", ".join(journal_files(live_dir)),
                ", ".join(journal_files(replay_dir))))
        day = common[-1]
    return compare(open_day(live_dir, day), open_day(replay_dir, day))


def _fill_text(order: Optional[Order]) -> Tuple[str, str, str]:
    """(lots traded, average price, first fill's time) of one side of a pair."""
    if order is None:
        return "-", "", ""
    if not order.fills:
        return "0", "", order.state.lower()
    lots = order.traded
    average = sum((f.price or 0.0) * (f.volume or 0) for f in order.fills) / max(lots, 1)
    return str(lots), "%.2f" % average, order.fills[0].time


def text(comparison: Comparison) -> str:
    """The comparison as `quorvane compare` prints it."""
    out = io.StringIO()
    w = out.write
    for label, day in (("Live", comparison.live), ("Replay", comparison.replay)):
        fills = day.fills()
        w("%-7s %s (trading day %s, %s, %d orders, %d fills, %d lots)\n" % (
            label + ":", day.path, day.trading_day, day.strategy or "no strategy named",
            len(day.orders), len(fills), sum(f.volume or 0 for f in fills)))
    if comparison.live.strategy != comparison.replay.strategy:
        w("The runs name different strategies: %s live, %s replayed.\n" % (
            comparison.live.strategy or "none", comparison.replay.strategy or "none"))
    w("Orders paired by instrument, side and offset in the order each run sent them; fills "
      "matched lot by lot.\n")
    w("Slippage: what live paid beyond the replay (positive: the replay was kinder).\n")
    w("  %-10s %-4s %-14s %3s | %-5s %5s %10s %-8s | %-5s %5s %10s %-8s | %7s %9s %10s\n" % (
        "instrument", "side", "offset", "#", "live", "lots", "price", "time", "repl.", "lots",
        "price", "time", "dt s", "slip tks", "money"))
    for p in comparison.pairs:
        lots_a, price_a, time_a = _fill_text(p.live)
        lots_b, price_b, time_b = _fill_text(p.replay)
        ticks = comparison.ticks(p)
        w("  %-10s %-4s %-14s %3d | %-5s %5s %10s %-8s | %-5s %5s %10s %-8s | %7s %9s %10s\n" % (
            p.key[0], p.key[1], p.key[2], p.number,
            p.live.order_id if p.live is not None else "-", lots_a, price_a, time_a,
            p.replay.order_id if p.replay is not None else "-", lots_b, price_b, time_b,
            "" if p.seconds is None else "%+.1f" % p.seconds,
            "" if ticks is None else "%+.2f" % ticks,
            "%+.2f" % p.money if p.matched else ""))
    paired = [p for p in comparison.pairs if p.live is not None and p.replay is not None]
    only_live = [p for p in comparison.pairs if p.replay is None]
    only_replay = [p for p in comparison.pairs if p.live is None]
    w("Orders: %d paired, %d live only, %d replay only.\n" % (
        len(paired), len(only_live), len(only_replay)))
    for label, side in (("live", "live"), ("the replay", "replay")):
        count, lots = comparison.alone(side)
        w("Fills only in %s: %s\n" % (label, "%d fills, %d lots" % (count, lots) if lots
                                       else "none"))
    matched = comparison.matched_lots
    total = sum(p.money for p in comparison.pairs)
    weighted = 0.0
    for p in comparison.pairs:
        ticks = comparison.ticks(p)
        if ticks is not None:
            weighted += ticks * p.matched
    seconds = [p.seconds for p in paired if p.seconds is not None]
    w("Totals: %d lots matched; slippage %+.2f ticks a lot, %+.2f in money; the replay's fills "
      "came %s.\n" % (
          matched, weighted / matched if matched else 0.0, total,
          "%+.1f s from live's on average" % (sum(seconds) / len(seconds)) if seconds
          else "at no comparable time"))
    return out.getvalue()
