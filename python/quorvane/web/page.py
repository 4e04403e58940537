"""What the report pages share: one HTML file each, its style, scripts and charting library inlined
from assets/ so that it opens from disk with no network; text escaped; the data the scripts draw
embedded as JSON; and tables bounded, so that a run of any size makes a page of a few megabytes.

A page depends on what it is given alone (no times, paths or random ids), so that two runs of one
replay write the same bytes.
"""
import functools
import html
import json
import math
import pathlib
from typing import Any, Iterable, List, Optional, Sequence, Tuple

__all__ = ["ASSETS", "CHARTS_VERSION", "ROWS_AT_EACH_END", "asset", "escape", "document",
           "data_script", "bounded", "table", "plain"]

ASSETS = pathlib.Path(__file__).resolve().parent / "assets"
CHARTS_FILE = "lightweight-charts.standalone.production.js"
CHARTS_VERSION = "4.2.3"
# A long table shows this many rows from its start and as many from its end.
ROWS_AT_EACH_END = 500


@functools.lru_cache(maxsize=None)
def asset(name: str) -> str:
    """The text of one of the assets."""
    return (ASSETS / name).read_text(encoding="utf-8")


def escape(value: Any) -> str:
    """Text for an element's content or an attribute's value."""
    return html.escape(str(value), quote=True)


def plain(value: Any) -> Any:
    """`value` with every float that is not finite made None, so that JSON.parse reads it."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return value


def data_script(element_id: str, value: Any) -> str:
    """A <script type="application/json"> holding `value`, for the page's scripts to read."""
    try:
        text = json.dumps(value, separators=(",", ":"), allow_nan=False)
    except ValueError:
        text = json.dumps(plain(value), separators=(",", ":"), allow_nan=False)
    # "<" never appears as such, so the text cannot end the element.
    return '<script type="application/json" id="%s">%s</script>' % (
        escape(element_id), text.replace("<", "\\u003c"))


def document(title: str, body: str, scripts: Sequence[str]) -> str:
    """The whole page: `body` (HTML), then the assets named in `scripts`, inlined in order."""
    parts = ["<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n",
             "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n",
             "<title>%s</title>\n<style>\n%s</style>\n</head>\n<body>\n" % (
                 escape(title), asset("report.css")), body]
    for name in scripts:
        parts.append("<script>\n%s\n</script>\n" % asset(name))
    parts.append("</body>\n</html>\n")
    return "".join(parts)


def bounded(rows: Sequence[Any], at_each_end: int = ROWS_AT_EACH_END
            ) -> Tuple[List[Tuple[int, Any]], Optional[str]]:
    """(number from 1, row) of the rows a table shows, and the note saying what it leaves out
    (None when it shows them all): the first and the last `at_each_end` rows of a longer one."""
    count = len(rows)
    if count <= 2 * at_each_end:
        return list(enumerate(rows, 1)), None
    shown = list(enumerate(rows[:at_each_end], 1))
    shown += list(enumerate(rows[count - at_each_end:], count - at_each_end + 1))
    return shown, "%d of %d rows shown: the first %d and the last %d." % (
        2 * at_each_end, count, at_each_end, at_each_end)


def table(header: Sequence[str], rows: Iterable[Sequence[str]], css: str = "",
          numeric_from: int = 0) -> str:
    """A table of cells already made HTML; header cells are escaped here. Columns from
    `numeric_from` on (when above 0) are right-aligned."""
    out = ['<table%s>\n<thead><tr>' % (' class="%s"' % css if css else "")]
    for n, name in enumerate(header):
        out.append('<th%s>%s</th>' % (' class="num"' if numeric_from and n >= numeric_from
                                      else "", escape(name)))
    out.append("</tr></thead>\n<tbody>\n")
    for row in rows:
        out.append("<tr>")
        for n, cell in enumerate(row):
            out.append('<td%s>%s</td>' % (' class="num"' if numeric_from and n >= numeric_from
                                          else "", cell))
        out.append("</tr>\n")
    out.append("</tbody>\n</table>\n")
    return "".join(out)
