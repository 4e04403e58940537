"""The fee of each fill of a run, for an equity curve that pays fees when they are paid.

The exchange reports fees only as each day's total (the account's Commission). Each day's total is
shared among that day's fills in proportion to what each costs at the broker's commission rates
(CThostFtdcInstrumentCommissionRateField: by money and by lots, for opening, for closing yesterday's
lots and for closing today's), so the day's fills add up to its exact total; without rates, in
proportion to their lots. A close pays yesterday's rate for the lots held since an earlier day
(closed first, unless its offset is CloseToday) and today's for the rest.
"""
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, Tuple

from ..trading.records import CThostFtdcInstrumentCommissionRateField

if TYPE_CHECKING:
    from ..trading.client import Client
    from .days import DayResult

__all__ = ["Rates", "commission_rates", "fill_fees", "day_fill_fees"]

# instrument (or product) -> its commission rates
Rates = Mapping[str, CThostFtdcInstrumentCommissionRateField]


def commission_rates(client: "Client") -> Dict[str, CThostFtdcInstrumentCommissionRateField]:
    """The broker's commission rates by instrument (or product, as some brokers list them), or
    none when the broker does not answer."""
    try:
        found = client.query(11312, CThostFtdcInstrumentCommissionRateField)
    except (RuntimeError, TimeoutError):
        return {}
    return {r.InstrumentID.decode(): r for r in found if r.InstrumentID}


def _rates_of(rates: Rates, instrument: str) -> Optional[CThostFtdcInstrumentCommissionRateField]:
    found = rates.get(instrument)
    if found is None:
        found = rates.get(instrument.rstrip("0123456789"))
    return found


def _at_rates(rate: CThostFtdcInstrumentCommissionRateField, kind: str, price: float, lots: int,
              multiplier: float) -> float:
    by_money: float = getattr(rate, kind + "RatioByMoney")
    by_volume: float = getattr(rate, kind + "RatioByVolume")
    return by_money * price * lots * multiplier + by_volume * lots


def fill_fees(fills: Sequence[Mapping[str, Any]], days: Sequence["DayResult"], rates: Rates,
              multipliers: Mapping[str, float], held_before: Mapping[str, Tuple[int, int]],
              paid_before: float = 0.0) -> Tuple[List[float], List[float]]:
    """(fee of each fill, fees of each day that no fill of it carries) for a RunTracker's fills
    and the run's days; `held_before` holds the (long, short) lots of each instrument when the
    run began, `paid_before` the fees the first day had paid by then."""
    fees: List[float] = []
    unspent: List[float] = []
    begin = 0
    for index, day in enumerate(days):
        held = held_before if index == 0 else days[index - 1].positions
        mine, left = day_fill_fees(fills[begin:day.fills_end], day.fees, held, rates, multipliers,
                                   paid_before if index == 0 else 0.0)
        fees += mine
        unspent.append(left)
        begin = max(begin, day.fills_end)
    return fees, unspent


def day_fill_fees(fills: Sequence[Mapping[str, Any]], day_fees: float,
                  held: Mapping[str, Tuple[int, int]], rates: Rates,
                  multipliers: Mapping[str, float], paid_before: float = 0.0
                  ) -> Tuple[List[float], float]:
    """(fee of each of a day's fills, the day's fees that no fill carries): the day's total
    `day_fees` (less `paid_before`, paid before the run began) shared among its `fills`; `held`
    is what was held as the day began."""
    yesterday = {(name, side): lots[side] for name, lots in held.items() for side in (0, 1)}
    weights = [_weight(f, rates, multipliers, yesterday) for f in fills]
    total = day_fees - paid_before
    if sum(weights) <= 0.0:
        weights = [float(f["volume"]) for f in fills]
    whole = sum(weights)
    if whole > 0.0:
        return [total * w / whole for w in weights], 0.0
    return [0.0] * len(fills), total


def _weight(fill: Mapping[str, Any], rates: Rates, multipliers: Mapping[str, float],
            yesterday: Dict[Tuple[str, int], int]) -> float:
    """The fill's fee at the broker's rates (0 without them); takes the yesterday's lots it
    closes off `yesterday` ((instrument, 0 long / 1 short) -> lots)."""
    instrument, lots, price = fill["instrument"], fill["volume"], fill["price"]
    rate = _rates_of(rates, instrument)
    multiplier = multipliers.get(instrument, 1)
    offset = fill["offset"]
    if offset == "Open":
        return _at_rates(rate, "Open", price, lots, multiplier) if rate is not None else 0.0
    closed = (instrument, 1 if fill["direction"] == "Buy" else 0)   # a buy closes shorts
    old = 0 if offset == "CloseToday" else min(lots, yesterday.get(closed, 0))
    yesterday[closed] = yesterday.get(closed, 0) - old
    if rate is None:
        return 0.0
    return (_at_rates(rate, "Close", price, old, multiplier)
            + _at_rates(rate, "CloseToday", price, lots - old, multiplier))
