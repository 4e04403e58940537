"""Pictures of a run, from its RunTracker: the profit marked to market over the run, and each
instrument's price with the strategy's fills marked on it, against exchange time. Drawn with
matplotlib (Agg, no display) when the interpreter has it; without it, no pictures and one note.
"""
import os
from typing import TYPE_CHECKING, Any, List, Optional, Sequence, Tuple, Union

if TYPE_CHECKING:
    from .report import Report
    from .tracking import InstrumentTrack, RunTracker

__all__ = ["draw", "MISSING_NOTE"]

MISSING_NOTE = ("Pictures skipped: this interpreter has no matplotlib "
                "(on Debian: apt-get install python3-matplotlib).")


def _pyplot() -> Tuple[Any, Any]:
    """matplotlib's pyplot and the formatter of the time axis, or (None, None) without it."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.ticker import FuncFormatter
    except ImportError:
        return None, None
    return plt, FuncFormatter(_clock_label)


def _clock_label(seconds: float, _position: Optional[int] = None) -> str:
    seconds = int(round(seconds)) % 86400
    return "%02d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60)


def _safe(name: str) -> str:
    return "".join(c if c.isalnum() or c in "-_." else "_" for c in name)


def draw(recorder: "RunTracker", report: "Report", out_dir: Union[str, "os.PathLike[str]"]
         ) -> Optional[List[str]]:
    """Writes equity.png and price_<instrument>.png; returns their paths, or None when
    matplotlib is missing."""
    plt, clock = _pyplot()
    if plt is None:
        return None
    prefix = "PARTIAL: " if report.partial else ""
    paths = [_equity(plt, clock, recorder, report, prefix, os.path.join(out_dir, "equity.png"))]
    for name in sorted(recorder.tracks):
        track = recorder.tracks[name]
        if track.last is not None or len(track.times):
            paths.append(_prices(plt, clock, track, prefix,
                                 os.path.join(out_dir, "price_%s.png" % _safe(name))))
    return paths


# Steps of the time axis, in seconds: round clock times whatever the run's length.
_STEPS = (1, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 14400)


def _time_step(times: Sequence[float]) -> int:
    span = (times[-1] - times[0]) if len(times) else 0.0
    return next((step for step in _STEPS if span / step <= 8), _STEPS[-1])


def _axes(plt: Any, clock: Any, times: Sequence[float]) -> Tuple[Any, Any]:
    from matplotlib.ticker import MultipleLocator
    figure, axes = plt.subplots(figsize=(9, 4.5), dpi=100)
    axes.xaxis.set_major_locator(MultipleLocator(_time_step(times)))
    axes.xaxis.set_major_formatter(clock)
    for label in axes.get_xticklabels():
        label.set_fontsize(8)
    axes.set_xlabel("exchange time")
    axes.grid(True, alpha=0.3)
    return figure, axes


def _save(plt: Any, figure: Any, axes: Any, path: str) -> str:
    axes.legend(loc="best", fontsize=8)
    figure.autofmt_xdate()
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)
    return path


def _equity(plt: Any, clock: Any, recorder: "RunTracker", report: "Report", prefix: str,
            path: str) -> str:
    times, values = recorder.picture_series()
    figure, axes = _axes(plt, clock, times)
    axes.plot(times, values, linewidth=1.2,
              label="gross profit, marked to market")
    axes.set_ylabel("gross profit (CNY)")
    axes.set_title("%sGross profit over the run, before fees (at the end: gross %.2f, "
                   "fees %.2f, net %.2f)" % (prefix, report.gross_pnl, report.fees,
                                             report.net_pnl), fontsize=9)
    return _save(plt, figure, axes, path)


def _prices(plt: Any, clock: Any, track: "InstrumentTrack", prefix: str, path: str) -> str:
    times, prices = track.picture_series()
    figure, axes = _axes(plt, clock, times)
    axes.plot(times, prices, linewidth=0.8, color="0.4", label="last price")
    for direction, marker, color in (("Buy", "^", "tab:green"), ("Sell", "v", "tab:red")):
        fills = [f for f in track.fills if f[3] == direction]
        if fills:
            axes.scatter([f[0] for f in fills], [f[1] for f in fills], marker=marker, s=28,
                         color=color, zorder=3,
                         label="%s fills (%d lots)" % (direction.lower(),
                                                       sum(abs(f[2]) for f in fills)))
    axes.set_ylabel("price")
    axes.set_title("%s%s: last price and the strategy's %d fills" % (
        prefix, track.name, len(track.fills)), fontsize=9)
    return _save(plt, figure, axes, path)
