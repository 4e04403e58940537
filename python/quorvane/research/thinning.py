"""A long series kept short for its pictures: every point until it holds `cap`, then every second
point of the run, then every fourth, and so on, so that a run of any length keeps between cap / 2
and cap points, evenly spread, the first always among them. Columns (times, values, ...) are
thinned together; the points kept do not depend on how the series was handed over in parts.
"""
from array import array
from typing import List, Sequence

__all__ = ["Thinned"]


class Thinned:
    """Columns of doubles, thinned together as they are extended."""

    def __init__(self, columns: int, cap: int = 20_000) -> None:
        self.cap = max(2, cap)
        self.stride = 1      # every stride-th point of the series is kept
        self.seen = 0        # points handed over so far
        self.columns: List["array[float]"] = [array("d") for _ in range(columns)]

    def __len__(self) -> int:
        return len(self.columns[0])

    def extend(self, parts: Sequence[Sequence[float]]) -> None:
        """Hands over the next points: one sequence per column, all of one length."""
        count = len(parts[0])
        first = (-self.seen) % self.stride
        for column, part in zip(self.columns, parts):
            column.extend(part[first::self.stride])
        self.seen += count
        while len(self.columns[0]) > self.cap:
            self.columns = [column[::2] for column in self.columns]
            self.stride *= 2

    def with_more(self, parts: Sequence[Sequence[float]]) -> List["array[float]"]:
        """The columns as they would be with `parts` handed over, leaving these unchanged."""
        copy = Thinned(len(self.columns), self.cap)
        copy.stride, copy.seen = self.stride, self.seen
        copy.columns = [array("d", column) for column in self.columns]
        copy.extend(parts)
        return copy.columns
