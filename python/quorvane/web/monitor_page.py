"""The monitor's page: its layout, with the style, the charting library and assets/monitor.js
inlined, so that it needs nothing but its own server. The script opens the WebSocket and draws
each state it is sent; the token, when the address holds one, is read from it by the script."""
import functools

from .page import CHARTS_FILE, document, escape

__all__ = ["monitor_page"]

_STYLE = """<style>
.grid { display: grid; grid-template-columns: repeat(auto-fit, minmax(380px, 1fr)); gap: 0 32px; }
.state-ok { color: #1b7f3b; font-weight: 600; }
.state-bad { color: #c62828; font-weight: 600; }
#qv-mode { margin-left: 12px; font-size: 13px; color: #666; }
#qv-result { margin-left: 12px; font-size: 13px; }
#qv-events { font-family: monospace; font-size: 12px; max-height: 260px; overflow-y: auto;
             background: #fafafa; border: 1px solid #e5e5e5; padding: 6px; white-space: pre; }
button { font-size: 12px; }
</style>
"""

_BODY = """<h1>%(title)s <span id="qv-mode"></span><span id="qv-result"></span></h1>
<table class="figures"><tbody>
<tr><th>Trader front</th><td id="qv-front-trader"></td><th>Market-data front</th>
<td id="qv-front-md"></td></tr>
<tr><th>Session</th><td id="qv-session"></td><th>Exchange time</th><td id="qv-time"></td></tr>
<tr><th>Connection</th><td id="qv-connection">connecting</td><th>Updates</th>
<td id="qv-updates">0</td></tr>
</tbody></table>
<div id="qv-controls"></div>
<div class="grid">
<div><h2>Account</h2><table class="figures" id="qv-account"><tbody></tbody></table></div>
<div><h2>Risk</h2><table class="figures" id="qv-risk"><tbody></tbody></table></div>
</div>
<h2>Positions</h2>
<table class="rows" id="qv-positions"><thead><tr><th>Instrument</th><th>Exchange</th>
<th class="num">Long</th><th class="num">today</th><th class="num">yesterday</th>
<th class="num">frozen</th><th class="num">avg cost</th><th class="num">Short</th>
<th class="num">today</th><th class="num">yesterday</th><th class="num">frozen</th>
<th class="num">avg cost</th><th class="num">Profit</th></tr></thead><tbody></tbody></table>
<h2>Working orders</h2>
<table class="rows" id="qv-working"><thead><tr><th>Order</th><th>Instrument</th><th>Side</th>
<th>Offset</th><th class="num">Price</th><th class="num">Lots</th><th class="num">Traded</th>
<th>Status</th><th>Updated</th><th></th></tr></thead><tbody></tbody></table>
<h2>Charts <span class="legend">one-minute bars, exchange time; fills marked</span></h2>
<div id="qv-charts"></div>
<h3>Equity</h3>
<div class="chart short" id="qv-equity"></div>
<div class="grid">
<div><h2>Recent trades</h2>
<table class="rows" id="qv-trades"><thead><tr><th>Time</th><th>Instrument</th><th>Side</th>
<th>Offset</th><th class="num">Price</th><th class="num">Lots</th><th class="num">Order</th>
</tr></thead><tbody></tbody></table></div>
<div><h2>Events</h2><div id="qv-events"></div></div>
</div>
"""


@functools.lru_cache(maxsize=None)
def monitor_page(title: str) -> str:
    """The page's HTML."""
    return document(title, _STYLE + _BODY % {"title": escape(title)},
                    [CHARTS_FILE, "monitor.js"])
