"""The grid of a sweep: each strategy parameter's values, listed (fast=3,5,8) or as a range with
inclusive ends (fast=3..20, fast=3..20:2, k=0.5..2.0:0.25), and the combinations of the grid,
all of them or a seeded draw of some.

A range of whole numbers steps by 1 unless told; a range with a decimal end or step needs its
step and is computed in decimal arithmetic, so 0.1..1.0:0.1 gives exactly 0.1, 0.2, ..., 1.0,
each value written with the most decimal places among the ends and the step (0.5..2.0:0.25 gives
0.50, 0.75, ..., 2.00). The stop is the last value when the steps reach it, else the last step
before it. A range holds at most MAX_VALUES values and a sweep at most MAX_COMBINATIONS
combinations: a larger grid is replayed only as a draw of MAX_COMBINATIONS or fewer from it
(`sample`). Values stay text; the replay converts them as it converts --param.
"""
import decimal
import itertools
import random
from typing import Dict, Iterable, List, Mapping, Optional, Sequence, Set

from ..errors import ParameterError

__all__ = ["MAX_VALUES", "MAX_COMBINATIONS", "MAX_DRAWN_FROM", "parse_grid", "expand",
           "grid_size", "combinations", "draw"]

MAX_VALUES = 10_000
MAX_COMBINATIONS = 10_000
# The largest grid a draw is taken from.
MAX_DRAWN_FROM = 10 ** 12

_MAX_PLACES = 12
_MAX_DIGITS = 24
_EXACT = decimal.Context(prec=60, traps=[decimal.Inexact, decimal.InvalidOperation])


def parse_grid(options: Iterable[str]) -> Dict[str, List[str]]:
    """{"fast": ["3", "5", "8"], ...} from ["fast=3,5,8", ...] or ["fast=3..8:..."], in the order
    given; ParameterError naming the option when it is not NAME=V1,V2,... or NAME=A..B[:STEP],
    a range is empty or too long, or a name comes twice."""
    grid: Dict[str, List[str]] = {}
    for option in options:
        name, sep, values = option.partition("=")
        name = name.strip()
        if not sep or not name.isidentifier():
            raise ParameterError("a grid is NAME=V1,V2,... or NAME=FIRST..LAST[:STEP]; not %r"
                                 % option)
        if name in grid:
            raise ParameterError("parameter %s is given twice" % name)
        if ".." in values:
            grid[name] = expand(values.strip(), name)
            continue
        items = [v.strip() for v in values.split(",")]
        if not all(items):
            raise ParameterError("a grid is NAME=V1,V2,... or NAME=FIRST..LAST[:STEP]; not %r"
                                 % option)
        seen: Set[str] = set()
        twice: Set[str] = set()
        for value in items:
            (twice if value in seen else seen).add(value)
        if twice:
            # Two combinations of one name would replay into one folder.
            raise ParameterError("%s: %s given twice" % (option, ", ".join(sorted(twice))))
        grid[name] = items
    if not grid:
        raise ParameterError("a sweep needs at least one --grid NAME=V1,V2,...")
    return grid


def _number(text: str, what: str) -> decimal.Decimal:
    try:
        value = decimal.Decimal(text)
    except decimal.InvalidOperation:
        raise ParameterError("%s: %r is not a number" % (what, text)) from None
    if not value.is_finite() or "e" in text.lower():
        raise ParameterError("%s: %r is not a plain number" % (what, text))
    digits = value.as_tuple()
    if -digits.exponent > _MAX_PLACES or len(digits.digits) > _MAX_DIGITS:   # type: ignore[operator]
        raise ParameterError("%s: %r has more than %d decimal places or %d digits" % (
            what, text, _MAX_PLACES, _MAX_DIGITS))
    return value


def expand(text: str, name: str = "range") -> List[str]:
    """The values of a range FIRST..LAST[:STEP], as text."""
    what = "%s=%s" % (name, text)
    ends, _, step_text = text.partition(":")
    first_text, _, last_text = (part.strip() for part in ends.partition(".."))
    step_text = step_text.strip()
    first, last = _number(first_text, what), _number(last_text, what)
    whole = all("." not in t for t in (first_text, last_text, step_text))
    if not step_text:
        if not whole:
            raise ParameterError("%s: a range of decimals needs its step, FIRST..LAST:STEP"
                                 % what)
        step_text = "1"
    step = _number(step_text, what)
    if step <= 0:
        raise ParameterError("%s: the step must be above 0" % what)
    if last < first:
        raise ParameterError("%s: an empty range (its last value is below its first)" % what)
    count = int(_EXACT.divide_int(last - first, step)) + 1
    if count > MAX_VALUES:
        raise ParameterError("%s: %d values, more than the %d a range may hold" % (
            what, count, MAX_VALUES))
    places = max(-v.as_tuple().exponent for v in (first, last, step))   # type: ignore[operator]
    quantum = decimal.Decimal(1).scaleb(-places)
    return [str(_EXACT.quantize(_EXACT.add(first, _EXACT.multiply(step, n)), quantum))
            for n in range(count)]


def grid_size(grid: Mapping[str, Sequence[str]]) -> int:
    """How many combinations the grid has."""
    size = 1
    for values in grid.values():
        size *= len(values)
    return size


def combinations(grid: Mapping[str, Sequence[str]], sample: Optional[int] = None,
                 seed: int = 1) -> List[Dict[str, str]]:
    """The combinations to replay, as dicts in grid order (the last parameter varies fastest):
    all of them, or `sample` of them drawn without replacement (all when the grid has no more).
    ParameterError when that is more than MAX_COMBINATIONS."""
    size = grid_size(grid)
    if sample is not None:
        return draw(grid, sample, seed)
    if size > MAX_COMBINATIONS:
        raise ParameterError(
            "the grid has %d combinations, more than the %d a sweep replays: narrow it, or "
            "replay a draw of some with --sample N" % (size, MAX_COMBINATIONS))
    names = list(grid)
    return [dict(zip(names, values)) for values in itertools.product(*grid.values())]


def draw(grid: Mapping[str, Sequence[str]], count: int, seed: int = 1) -> List[Dict[str, str]]:
    """`count` combinations drawn without replacement by a generator seeded with `seed` (the same
    ones for the same grid, count and seed), in grid order; the whole grid when it has no more."""
    if count < 1 or count > MAX_COMBINATIONS:
        raise ParameterError("--sample %d: draw from 1 to %d combinations" % (
            count, MAX_COMBINATIONS))
    size = grid_size(grid)
    if size > MAX_DRAWN_FROM:
        raise ParameterError("the grid has %d combinations, more than the %d a draw is taken "
                             "from" % (size, MAX_DRAWN_FROM))
    chosen = (range(size) if count >= size
              else sorted(random.Random(seed).sample(range(size), count)))
    names = list(grid)
    drawn = []
    for index in chosen:
        values: List[str] = []
        for name in reversed(names):        # the last parameter varies fastest
            index, at = divmod(index, len(grid[name]))
            values.append(grid[name][at])
        drawn.append(dict(zip(names, reversed(values))))
    return drawn
