"""sweep.html: a sweep's page, one file that opens from disk with no network. It holds the results
table, best first by the sweep's sort key and sortable by any column (a click on its heading), and
with two grid parameters the heat map of the sort key over the grid, each cell coloured by its
value from the worst (red) to the best (green). Every row and cell links to its combination's
report.html, relative to the page, so that the sweep's folder can be moved whole.
"""
import json
import os
import urllib.parse
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, TypeVar, Union

from ..research import sweep as sweeping
from . import page

__all__ = ["write_sweep_page"]

_Path = TypeVar("_Path", bound=Union[str, "os.PathLike[str]"])
PAGE = "report.html"


def write_sweep_page(path: _Path, results: Sequence[sweeping.Result],
                     grid: Mapping[str, Sequence[str]], key: str) -> _Path:
    """Writes the page of a sweep's results (in grid order) over `grid`, sorted by `key` (one
    of sweep.COLUMNS); the page's folder is the sweep's."""
    where: Union[str, "os.PathLike[str]"] = path
    folder = os.path.dirname(os.path.abspath(where))
    names = list(grid)
    links = [_link(folder, r) for r in results]
    body = ['<header>\n<h1>Sweep of %s</h1>\n<p class="legend">%d combinations, %d failed; '
            'best first by %s. Click a heading to sort by it; each row links to its '
            "combination's page.</p>\n</header>\n" % (
                page.escape(", ".join(names)), len(results),
                sum(1 for r in results if not r["ok"]), page.escape(key)),
            _results_table(results, links, names, key)]
    if len(names) == 2:
        body.append(_heat_map(results, links, grid, key))
    text = page.document("Sweep of %s" % ", ".join(names), "".join(body), ["sweep.js"])
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        out.write(text)
    return path


def _link(folder: str, result: sweeping.Result) -> Optional[str]:
    """The combination's page, relative to the sweep's; None when it has none."""
    target = os.path.join(result["out"], PAGE)
    if not os.path.exists(target):
        return None
    relative = os.path.relpath(target, folder).replace(os.sep, "/")
    return urllib.parse.quote(relative, safe="/=,.-_")


def _value_cell(value: Any) -> str:
    sortable = value if isinstance(value, (int, float)) and not isinstance(value, bool) else None
    return '<td class="num" data-value="%s">%s</td>' % (
        page.escape(json.dumps(page.plain(sortable))), page.escape(sweeping.cell_text(value)))


def _results_table(results: Sequence[sweeping.Result], links: Sequence[Optional[str]],
                   names: Sequence[str], key: str) -> str:
    order = {id(r): n for n, r in enumerate(results)}
    out = ['<table class="sweep" id="results">\n<thead><tr>']
    for name in list(names) + sweeping.COLUMNS:
        out.append('<th data-sort class="num"%s>%s</th>' % (
            ' data-order="%s"' % ("ascending" if key in sweeping.ASCENDING else "descending")
            if name == key else "", page.escape(name)))
    out.append("<th>page</th></tr></thead>\n<tbody>\n")
    for r in sweeping.ordered(results, key):
        link = links[order[id(r)]]
        out.append("<tr>")
        for name in names:
            text = r["params"][name]
            out.append('<td class="num" data-value="%s">%s</td>' % (
                page.escape(json.dumps(_number(text))), page.escape(text)))
        if r["ok"]:
            stats = r["stats"] or {}
            out.extend(_value_cell(stats.get(c)) for c in sweeping.COLUMNS)
        else:
            out.append('<td class="failed" colspan="%d" data-value="null">FAILED: %s</td>' % (
                len(sweeping.COLUMNS), page.escape(r["error"])))
        out.append('<td>%s</td></tr>\n' % ('<a href="%s">%s</a>' % (
            page.escape(link), page.escape(sweeping.label(r["params"]))) if link else ""))
    out.append("</tbody>\n</table>\n")
    return "".join(out)


def _number(text: str) -> Union[float, str]:
    """A parameter's value as a number when it reads as one, so that it sorts as one."""
    try:
        return float(text)
    except ValueError:
        return text


def _heat_map(results: Sequence[sweeping.Result], links: Sequence[Optional[str]],
              grid: Mapping[str, Sequence[str]], key: str) -> str:
    (x_name, xs), (y_name, ys) = list(grid.items())
    cells: Dict[Tuple[str, str], Tuple[sweeping.Result, Optional[str]]] = {}
    for r, link in zip(results, links):
        cells[(r["params"][x_name], r["params"][y_name])] = (r, link)
    values = [(r["stats"] or {}).get(key) for r, _ in cells.values() if r["ok"]]
    known = [v for v in values if isinstance(v, (int, float))]
    low, high = (min(known), max(known)) if known else (0.0, 0.0)
    out = ['<h2>%s by %s and %s</h2>\n<table class="heat" id="heat-map">\n<thead><tr><th>%s '
           '\\ %s</th>' % (page.escape(key), page.escape(x_name), page.escape(y_name),
                           page.escape(y_name), page.escape(x_name))]
    out.extend("<th>%s</th>" % page.escape(x) for x in xs)
    out.append("</tr></thead>\n<tbody>\n")
    for y in reversed(list(ys)):
        out.append("<tr><th>%s</th>" % page.escape(y))
        for x in xs:
            if (x, y) not in cells:
                out.append("<td></td>")   # a combination --sample did not draw
                continue
            r, link = cells[(x, y)]
            value = (r["stats"] or {}).get(key) if r["ok"] else None
            shown = sweeping.cell_text(value) if r["ok"] else "failed"
            if link:
                shown_html = '<a href="%s">%s</a>' % (page.escape(link), page.escape(shown))
            else:
                shown_html = page.escape(shown)
            colour = (_colour(value, low, high, key in sweeping.ASCENDING)
                      if isinstance(value, (int, float)) else "#eeeeee")
            out.append('<td style="background: %s" data-value="%s">%s</td>' % (
                colour, page.escape(json.dumps(page.plain(value))), shown_html))
        out.append("</tr>\n")
    out.append("</tbody>\n</table>\n")
    return "".join(out)


def _colour(value: float, low: float, high: float, smaller_better: bool) -> str:
    """From red (the worst) through yellow to green (the best)."""
    share = (value - low) / (high - low) if high > low else 1.0
    if smaller_better:
        share = 1.0 - share
    stops: List[Tuple[int, int, int]] = [(230, 124, 115), (255, 235, 132), (99, 190, 123)]
    where = share * 2
    lower = min(int(where), 1)
    part = where - lower
    a, b = stops[lower], stops[lower + 1]
    return "#%02x%02x%02x" % tuple(int(round(p + (q - p) * part)) for p, q in zip(a, b))
