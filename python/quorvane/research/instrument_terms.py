"""The terms an instrument trades on: its exchange, price tick, multiplier, pre-settlement price and
limit ratio, from a scenario (the JSON the replay's --scenario takes) or, without one, from the
simulated exchange's built-in instruments.

A scenario that lists "instruments" replaces the built-in ones, as the exchange does; keys it leaves
out take the exchange's defaults. The price limits of a day are the exchange's: the pre-settlement
price on the tick grid times 1 +/- the limit ratio, the upper rounded down to the grid and the lower
up.
"""
import json
import math
import os
import re
from typing import Any, Dict, List, NamedTuple, Optional, Tuple, Union

from ..errors import InputFileError, ParameterError
from ..trading.market_time import product_of

__all__ = ["InstrumentTerms", "Terms", "limits_in_ticks", "to_ticks"]

# The same tolerance the exchange rounds its limits with.
_EPSILON = 1e-6


class InstrumentTerms(NamedTuple):
    instrument: str
    exchange: str
    product: str
    multiplier: int
    price_tick: float
    pre_settlement: float
    limit_ratio: float


class _Product(NamedTuple):
    exchange: str
    multiplier: int
    price_tick: float
    pre_settlement: float
    limit_ratio: float


# The products of the built-in scenario (sim/core/scenario/scenario.cc, kProducts): contract size,
# tick, the plausible price level it starts from and the limit ratio. Any contract month of these
# gets their terms; the built-in exchange lists rb2705, m2705 and the month two months ahead.
_BUILT_IN: Dict[str, _Product] = {
    "rb": _Product("SHFE", 10, 1.0, 3500.0, 0.07),
    "cu": _Product("SHFE", 5, 10.0, 72000.0, 0.08),
    "au": _Product("SHFE", 1000, 0.02, 460.0, 0.07),
    "ag": _Product("SHFE", 15, 1.0, 5800.0, 0.08),
    "sc": _Product("INE", 1000, 0.1, 550.0, 0.10),
    "m": _Product("DCE", 10, 1.0, 3000.0, 0.06),
    "i": _Product("DCE", 100, 0.5, 800.0, 0.11),
    "SR": _Product("CZCE", 10, 1.0, 6000.0, 0.06),
    "TA": _Product("CZCE", 5, 2.0, 5000.0, 0.06),
    "IF": _Product("CFFEX", 300, 0.2, 3800.0, 0.10),
    "IC": _Product("CFFEX", 200, 0.2, 5600.0, 0.10),
}

# What the exchange takes for a key a scenario's instrument leaves out.
_SCENARIO_DEFAULTS = {"multiplier": 1, "priceTick": 1.0, "limitRatio": 0.06}


def to_ticks(price: float, tick: float) -> int:
    """The price as a whole number of ticks, the nearest (halves away from zero, as the exchange)."""
    return int(math.floor(abs(price) / tick + 0.5)) * (1 if price >= 0 else -1)


def limits_in_ticks(pre_settlement_ticks: int, limit_ratio: float) -> Tuple[int, int]:
    """(lower, upper) limit of a day, in ticks, around its pre-settlement price in ticks."""
    upper = math.floor(pre_settlement_ticks * (1.0 + limit_ratio) + _EPSILON)
    lower = math.ceil(pre_settlement_ticks * (1.0 - limit_ratio) - _EPSILON)
    return int(lower), int(upper)


class Terms:
    """The instruments a market can be generated for: a scenario's, else the built-in ones."""

    def __init__(self, scenario: Optional[Union[str, "os.PathLike[str]"]] = None) -> None:
        self._listed: Optional[Dict[str, InstrumentTerms]] = None
        self._where = "the built-in instruments"
        if scenario:
            self._where = str(scenario)
            self._listed = self._read(str(scenario))

    def of(self, instrument: str, exchange: Optional[str] = None) -> InstrumentTerms:
        """The terms of `instrument` (on `exchange`, when given); ParameterError when the scenario
        does not list it, no built-in product has it, or it trades on another exchange."""
        if self._listed is not None:
            terms = self._listed.get(instrument)
            if terms is None:
                raise ParameterError("%s lists no instrument %s" % (self._where, instrument))
        else:
            product = _BUILT_IN.get(product_of(instrument))
            if product is None or not instrument[len(product_of(instrument)):].isdigit():
                raise ParameterError(
                    "%s is not a contract of the built-in products (%s); give a scenario that "
                    "lists it (--scenario FILE)" % (instrument, " ".join(_BUILT_IN)))
            terms = InstrumentTerms(instrument, product.exchange, product_of(instrument),
                                    *product[1:])
        if exchange is not None and exchange != terms.exchange:
            raise ParameterError("%s trades on %s, not %s (%s)" % (
                instrument, terms.exchange, exchange, self._where))
        return terms

    @staticmethod
    def _read(path: str) -> Optional[Dict[str, InstrumentTerms]]:
        try:
            with open(path, encoding="utf-8") as source:
                root = json.load(source)
        except OSError as exc:
            raise InputFileError("%s: %s" % (path, exc.strerror or exc)) from exc
        except ValueError as exc:
            raise InputFileError("%s: not JSON: %s" % (path, exc)) from exc
        if not isinstance(root, dict):
            raise InputFileError("%s: a scenario is a JSON object" % path)
        if "instruments" not in root:
            return None
        entries = root["instruments"]
        if not isinstance(entries, list):
            raise InputFileError("%s: instruments must be an array" % path)
        listed: Dict[str, InstrumentTerms] = {}
        for index, entry in enumerate(entries):
            where = "%s: instruments[%d]" % (path, index)
            if not isinstance(entry, dict):
                raise InputFileError("%s must be an object" % where)
            terms = _scenario_instrument(entry, where)
            listed[terms.instrument] = terms
        return listed


def _scenario_instrument(entry: Dict[str, Any], where: str) -> InstrumentTerms:
    def text(key: str) -> str:
        value = entry.get(key, "")
        if not isinstance(value, str):
            raise InputFileError("%s.%s must be a text" % (where, key))
        return value

    def number(key: str) -> float:
        value = entry.get(key, _SCENARIO_DEFAULTS.get(key, 0))
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise InputFileError("%s.%s must be a number" % (where, key))
        return float(value)

    instrument, exchange = text("instrumentId"), text("exchangeId")
    if not instrument or not exchange:
        raise InputFileError("%s: instrumentId and exchangeId are required" % where)
    multiplier, tick = number("multiplier"), number("priceTick")
    pre, ratio = number("preSettlementPrice"), number("limitRatio")
    problems: List[str] = []
    if not (multiplier >= 1 and multiplier == int(multiplier)):
        problems.append("multiplier %r is not a whole number from 1" % multiplier)
    if not tick > 0:
        problems.append("priceTick %r is not positive" % tick)
    elif not pre >= tick:
        problems.append("preSettlementPrice %r is below its tick" % pre)
    if not 0 < ratio < 1:
        problems.append("limitRatio %r is not in (0, 1)" % ratio)
    if problems:
        raise InputFileError("%s (%s): %s" % (where, instrument, "; ".join(problems)))
    product = text("productId") or re.sub(r"\d.*$", "", instrument)
    return InstrumentTerms(instrument, exchange, product, int(multiplier), tick, pre, ratio)
