"""The pages of runs, in the browser: report.html of each replay and sweep.html of a sweep, each
one file holding its scripts, style and charting library, that opens from disk with no network."""
from .candles import MinuteCandles
from .report_page import write_report_page
from .sweep_page import write_sweep_page

__all__ = ["MinuteCandles", "write_report_page", "write_sweep_page"]
