"""The limits of the pre-trade check (risk.py), read from a mapping or a JSON file and resolved
for each instrument.

    {"account":     {"order_lots": 20, "working_orders": 40, "orders_per_second": 10,
                     "margin_share": 0.5, "daily_loss": 20000, "collar_ticks": 20},
     "products":    {"rb": {"long": 10, "short": 10, "net": 6, "cancels": 450}},
     "instruments": {"rb2705": {"order_lots": 5, "long": 4, "orders_per_second": 3}}}

The account's entry holds for the whole account: `working_orders` and `orders_per_second` count
every instrument together; the others are the default of each instrument. An instrument's entry
comes first, then its product's, then the account's. In a product's entry `long`, `short` and
`net` hold for the product's instruments together; its other keys are the default of each of
them. null turns a limit off, also one that is on by default (exchange_order_size, cancels,
cancel_warning, self_trades). Limits are read once, when the client is made; the result is never
changed afterwards, so any thread may read it.
"""
import json
import math
import os
from typing import Any, Dict, Mapping, NamedTuple, Optional, Union

from ..errors import InputFileError, ParameterError

__all__ = ["RiskLimits", "InstrumentLimits", "ProductTotals", "Source", "CANCEL_THRESHOLD",
           "DEFAULTS"]

# The exchanges' count of cancels of one contract in a trading day that marks abnormal trading.
CANCEL_THRESHOLD = 500

# A limits mapping, a JSON file's path, or None (the defaults).
Source = Union[None, Mapping[str, Any], str, "os.PathLike[str]"]

# The account's limits that are on before anything is set.
DEFAULTS: Dict[str, Any] = {"exchange_order_size": True, "cancel_warning": 400,
                            "cancels": CANCEL_THRESHOLD, "self_trades": True}

# Keys by where they may stand, and the kind of value each takes: "count" a whole number of 0 or
# more, "amount" any finite number of 0 or more, "switch" true or false.
_PER_INSTRUMENT = {"order_lots": "count", "working_orders": "count", "orders_per_second": "count",
                   "cancel_warning": "count", "cancels": "count", "collar_ticks": "amount"}
_SIDES = {"long": "count", "short": "count", "net": "count"}
_ACCOUNT = dict(_PER_INSTRUMENT, exchange_order_size="switch", self_trades="switch",
                margin_share="amount", daily_loss="amount")
_SECTIONS = ("account", "products", "instruments")


class InstrumentLimits(NamedTuple):
    """Every limit that holds for one instrument (None: off). working_orders and
    orders_per_second are the instrument's own here; the account's are RiskLimits'."""

    order_lots: Optional[int]
    working_orders: Optional[int]
    orders_per_second: Optional[int]
    cancel_warning: Optional[int]
    cancels: Optional[int]
    collar_ticks: Optional[float]
    long: Optional[int]
    short: Optional[int]
    net: Optional[int]


class ProductTotals(NamedTuple):
    """Lots a product's instruments may hold together (None: off)."""

    long: Optional[int]
    short: Optional[int]
    net: Optional[int]


def _value(where: str, kind: str, value: Any) -> Any:
    if value is None:
        return None
    if kind == "switch":
        if not isinstance(value, bool):
            raise ParameterError("risk limit %s takes true, false or null, not %r" % (where, value))
        return value
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ParameterError("risk limit %s takes a number or null, not %r" % (where, value))
    if not math.isfinite(value) or value < 0:
        raise ParameterError("risk limit %s must be a finite number of 0 or more, not %r" % (
            where, value))
    if kind == "count":
        if value != int(value):
            raise ParameterError("risk limit %s takes a whole number, not %r" % (where, value))
        return int(value)
    return float(value)


def _entry(where: str, entry: Any, allowed: Mapping[str, str]) -> Dict[str, Any]:
    if not isinstance(entry, Mapping):
        raise ParameterError("risk limits %s must be an object of limits, not %r" % (where, entry))
    out: Dict[str, Any] = {}
    for key, value in entry.items():
        if key not in allowed:
            raise ParameterError("unknown risk limit %r in %s (known: %s)" % (
                key, where, ", ".join(sorted(allowed))))
        out[key] = _value("%s.%s" % (where, key), allowed[key], value)
    return out


def _named(where: str, entries: Any, allowed: Mapping[str, str]) -> Dict[str, Dict[str, Any]]:
    if not isinstance(entries, Mapping):
        raise ParameterError("risk limits %s must map codes to limits, not %r" % (where, entries))
    return {str(code): _entry("%s.%s" % (where, code), entry, allowed)
            for code, entry in entries.items()}


def _read(path: "Union[str, os.PathLike[str]]") -> Any:
    try:
        with open(path) as source:
            return json.load(source)
    except OSError as error:
        raise InputFileError("risk file %s: %s" % (path, error.strerror or error)) from None
    except ValueError as error:
        raise InputFileError("risk file %s: not JSON: %s" % (path, error)) from None


class RiskLimits:
    """Limits given as sources, later ones over earlier ones key by key (a strategy's class
    attribute, then the client's or the command's). Raises ParameterError for a limit it cannot
    take (an unknown section or key, a negative number) and InputFileError for a file it cannot
    read; a file's errors name the file."""

    def __init__(self, *sources: Source) -> None:
        self.account: Dict[str, Any] = dict(DEFAULTS)
        self.products: Dict[str, Dict[str, Any]] = {}
        self.instruments: Dict[str, Dict[str, Any]] = {}
        for source in sources:
            if source is None:
                continue
            if isinstance(source, Mapping):
                self._take(source)
                continue
            try:
                self._take(_read(source))
            except ParameterError as error:
                raise InputFileError("risk file %s: %s" % (source, error)) from None

    def _take(self, given: Any) -> None:
        if not isinstance(given, Mapping):
            raise ParameterError("risk limits must be an object with %s, not %r" % (
                ", ".join(_SECTIONS), given))
        for section in given:
            if section not in _SECTIONS:
                raise ParameterError("unknown risk limits section %r (known: %s)" % (
                    section, ", ".join(_SECTIONS)))
        self.account.update(_entry("account", given.get("account", {}), _ACCOUNT))
        both = dict(_PER_INSTRUMENT, **_SIDES)
        for table, section in ((self.products, "products"), (self.instruments, "instruments")):
            for code, entry in _named(section, given.get(section, {}), both).items():
                table.setdefault(code, {}).update(entry)

    def get(self, key: str) -> Any:
        """An account limit (None: off)."""
        return self.account.get(key)

    def of(self, instrument: str, product: str) -> InstrumentLimits:
        """The limits of one instrument of `product`: its own, its product's, the account's."""
        own = self.instruments.get(instrument, {})
        shared = self.products.get(product, {})

        def pick(key: str) -> Any:
            for entry in (own, shared, self.account):
                if key in entry:
                    return entry[key]
            return None
        sides = [own.get(key) for key in _SIDES]
        return InstrumentLimits(pick("order_lots"), own.get("working_orders",
                                                              shared.get("working_orders")),
                                own.get("orders_per_second", shared.get("orders_per_second")),
                                pick("cancel_warning"), pick("cancels"), pick("collar_ticks"),
                                *sides)

    def totals(self, product: str) -> ProductTotals:
        """What a product's instruments may hold together."""
        shared = self.products.get(product, {})
        return ProductTotals(*(shared.get(key) for key in _SIDES))

    def as_dict(self) -> Dict[str, Any]:
        """The limits in force, in the file's shape."""
        return {"account": dict(self.account), "products": {k: dict(v) for k, v in
                                                            self.products.items()},
                "instruments": {k: dict(v) for k, v in self.instruments.items()}}
