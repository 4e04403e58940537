// The monitor's page: opens the WebSocket of the server that sent it and draws each state it
// pushes (fronts, account, risk, positions, working orders, trades, bars, equity, events). The
// token in the page's address, when there is one, goes with every action; without it the page
// is read-only and shows no buttons. What the page saw is kept in window.qvMonitor: the updates
// drawn, when each fill first showed (wall-clock seconds), how long after its event, and the
// answers to its actions.
(function () {
  "use strict";
  var charts = window.LightweightCharts;
  var GREEN = "#26a69a", RED = "#ef5350", BLUE = "#2962ff";
  var token = new URLSearchParams(window.location.search).get("token");
  var monitor = { updates: 0, fills: {}, lags: [], results: [], state: null };
  window.qvMonitor = monitor;
  var socket = null;
  var drawn = { charts: {}, equity: null };

  document.getElementById("qv-mode").textContent = token ? "(actions allowed)" : "(read-only)";

  function text(value) {
    return value === null || value === undefined ? "" : String(value);
  }

  function number(value, digits) {
    if (value === null || value === undefined || value === "") {
      return "";
    }
    return Number(value).toLocaleString("en-US", {
      minimumFractionDigits: digits, maximumFractionDigits: digits
    });
  }

  function cell(row, value, numeric) {
    var td = document.createElement("td");
    if (numeric) {
      td.className = "num";
    }
    td.textContent = text(value);
    row.appendChild(td);
    return td;
  }

  // The body of table `id` emptied for new rows, or null when `rows` are those it shows already:
  // a table is redrawn only when it changed, so that its buttons stay under the pointer.
  var shown = {};
  function body(id, rows) {
    var key = JSON.stringify(rows);
    if (shown[id] === key) {
      return null;
    }
    shown[id] = key;
    var tbody = document.querySelector("#" + id + " tbody");
    tbody.textContent = "";
    return tbody;
  }

  function figures(id, rows) {
    var tbody = body(id, rows);
    if (!tbody) {
      return;
    }
    rows.forEach(function (pair) {
      var tr = document.createElement("tr");
      var th = document.createElement("th");
      th.textContent = pair[0];
      tr.appendChild(th);
      cell(tr, pair[1], true);
      tbody.appendChild(tr);
    });
  }

  function buying(direction) {
    var d = text(direction).toLowerCase();
    return d === "0" || d.indexOf("buy") === 0 || d.indexOf("long") === 0;
  }

  function act(message) {
    message.token = token;
    if (socket && socket.readyState === WebSocket.OPEN) {
      socket.send(JSON.stringify(message));
    }
  }

  function front(id, state) {
    var element = document.getElementById(id);
    element.textContent = text(state);
    element.className = state === "connected" ? "state-ok" : "state-bad";
  }

  function drawHeader(state) {
    front("qv-front-trader", state.fronts.trader);
    front("qv-front-md", state.fronts.md);
    document.getElementById("qv-session").textContent = state.session;
    document.getElementById("qv-time").textContent = state.exchange_time;
    document.getElementById("qv-updates").textContent = String(monitor.updates);
  }

  function drawAccount(a) {
    figures("qv-account", [
      ["Balance", number(a.balance, 2)], ["Available", number(a.available, 2)],
      ["Usable cash", number(a.usable_cash, 2)], ["Margin", number(a.margin, 2)],
      ["Frozen", number(a.frozen, 2)], ["Closed profit", number(a.close_profit, 2)],
      ["Position profit", number(a.position_profit, 2)],
      ["Marked profit", number(a.marked_profit, 2)], ["Fees", number(a.fees, 2)]
    ]);
  }

  function drawRisk(r) {
    if (!r) {
      figures("qv-risk", [["Risk counters", "not in the journal"]]);
      return;
    }
    var rows = [["Kill switch", r.killed ? "ON" : "off"],
                ["Working orders", r.working + (r.working_limit ? " of " + r.working_limit : "")],
                ["Loss", r.loss === null ? "no limit" :
                  number(r.loss, 2) + " of " + number(r.loss_limit, 2)],
                ["Refusals", r.refusals], ["Halts", r.halts]];
    Object.keys(r.cancels).sort().forEach(function (name) {
      rows.push(["Cancels " + name, r.cancels[name] + " of " + r.cancel_limit]);
    });
    figures("qv-risk", rows);
  }

  function drawControls(state) {
    var box = document.getElementById("qv-controls");
    if (!token || box.childElementCount) {
      return;
    }
    [["Kill switch", "kill"], ["Reset kill switch", "reset"]].forEach(function (pair) {
      var button = document.createElement("button");
      button.textContent = pair[0];
      button.id = "qv-" + pair[1];
      button.addEventListener("click", function () { act({ action: pair[1] }); });
      box.appendChild(button);
    });
  }

  function drawPositions(positions) {
    var tbody = body("qv-positions", positions);
    if (!tbody) {
      return;
    }
    positions.forEach(function (p) {
      var tr = document.createElement("tr");
      cell(tr, p[0]);
      cell(tr, p[1]);
      for (var i = 2; i < 12; i++) {
        cell(tr, i === 6 || i === 11 ? number(p[i], 2) : p[i], true);
      }
      cell(tr, number(p[12], 2), true);
      tbody.appendChild(tr);
    });
  }

  // Each order keeps its row and its button while it works (only the cells change), so that the
  // button stays under the pointer while the orders around it come and go.
  var workingRows = new Map();
  function drawWorking(orders) {
    var tbody = document.querySelector("#qv-working tbody");
    var now = new Set();
    orders.forEach(function (o) {
      now.add(o[0]);
      var tr = workingRows.get(o[0]);
      if (!tr) {
        tr = document.createElement("tr");
        tr.dataset.order = o[0];
        for (var i = 0; i < 10; i++) {
          cell(tr, "", i >= 4 && i <= 6);
        }
        if (token) {
          var button = document.createElement("button");
          button.textContent = "Cancel";
          button.className = "qv-cancel";
          button.addEventListener("click", function () {
            act({ action: "cancel", order_id: o[0] });
          });
          tr.lastChild.appendChild(button);
        }
        tbody.appendChild(tr);
        workingRows.set(o[0], tr);
      }
      var values = [o[0], o[1], o[3], o[4], o[5], o[6], o[7],
                    o[9] === "3" ? "working" : o[9] === "1" ? "sent" : o[9], o[11]];
      values.forEach(function (value, n) {
        var td = tr.children[n];
        if (td.textContent !== text(value)) {
          td.textContent = text(value);
        }
      });
    });
    workingRows.forEach(function (tr, id) {
      if (!now.has(id)) {
        tbody.removeChild(tr);
        workingRows.delete(id);
      }
    });
  }

  // The first state also lists the fills made before the page opened: they count as seen, not
  // as late.
  function drawTrades(trades) {
    var now = Date.now() / 1000;
    trades.forEach(function (t) {
      var key = t[7] + "@" + t[0];
      if (!(key in monitor.fills)) {
        monitor.fills[key] = now;
        if (monitor.updates > 1) {
          monitor.lags.push(now - t[0]);
        }
      }
    });
    var recent = trades.slice(-50).reverse();
    var tbody = body("qv-trades", recent);
    if (!tbody) {
      return;
    }
    recent.forEach(function (t) {
      var tr = document.createElement("tr");
      [t[6], t[1], t[2], t[3]].forEach(function (v) { cell(tr, v); });
      cell(tr, t[4], true);
      cell(tr, t[5], true);
      cell(tr, t[7], true);
      tbody.appendChild(tr);
    });
  }

  function options() {
    return {
      autoSize: true,
      layout: { background: { color: "#ffffff" }, textColor: "#333333" },
      grid: { vertLines: { color: "#f0f0f0" }, horzLines: { color: "#f0f0f0" } },
      timeScale: { timeVisible: true, secondsVisible: false, borderColor: "#cccccc" },
      rightPriceScale: { borderColor: "#cccccc", minimumWidth: 110 }
    };
  }

  // Whole charts come with `full` states; the others hold each chart's last bars.
  function drawCharts(bars, trades, full) {
    Object.keys(bars).sort().forEach(function (name) {
      var made = drawn.charts[name];
      if (!made) {
        var box = document.createElement("div");
        var title = document.createElement("h3");
        title.textContent = name;
        var element = document.createElement("div");
        element.className = "chart short qv-chart";
        element.id = "qv-chart-" + name;
        box.appendChild(title);
        box.appendChild(element);
        document.getElementById("qv-charts").appendChild(box);
        var chart = charts.createChart(element, options());
        made = drawn.charts[name] = {
          chart: chart, first: 0, last: 0, marks: -1, series: chart.addCandlestickSeries({
            upColor: GREEN, downColor: RED, borderVisible: false, wickUpColor: GREEN,
            wickDownColor: RED
          })
        };
      }
      var rows = bars[name].map(function (b) {
        return { time: b[0], open: b[1], high: b[2], low: b[3], close: b[4] };
      });
      if (full) {
        made.series.setData(rows);
        made.first = rows.length ? rows[0].time : 0;
        made.last = rows.length ? rows[rows.length - 1].time : 0;
      } else {
        rows.forEach(function (row) {
          if (row.time >= made.last) {
            made.series.update(row);
            made.last = row.time;
          }
        });
      }
      var fills = trades.filter(function (t) { return t[1] === name && t[8] !== null; });
      if (fills.length !== made.marks) {
        made.marks = fills.length;
        made.series.setMarkers(fills.filter(function (t) {
          return t[8] >= made.first && t[8] <= made.last;
        })
          .map(function (t) {
            var buy = buying(t[2]);
            return { time: t[8], position: buy ? "belowBar" : "aboveBar",
                     color: buy ? GREEN : RED, shape: buy ? "arrowUp" : "arrowDown", text: "" };
          }));
      }
    });
  }

  function drawEquity(points, full) {
    if (!points.length) {
      return;
    }
    if (!drawn.equity) {
      var chart = charts.createChart(document.getElementById("qv-equity"), options());
      drawn.equity = { last: 0, series: chart.addLineSeries({
        color: BLUE, lineWidth: 2, title: "equity" }) };
    }
    var rows = points.map(function (p) { return { time: p[0], value: p[1] }; });
    if (full) {
      drawn.equity.series.setData(rows);
      drawn.equity.last = rows[rows.length - 1].time;
      return;
    }
    rows.forEach(function (row) {
      if (row.time >= drawn.equity.last) {
        drawn.equity.series.update(row);
        drawn.equity.last = row.time;
      }
    });
  }

  function drawEvents(events) {
    var lines = events.slice().reverse().map(function (e) {
      var when = new Date(e[0] * 1000).toISOString().substring(11, 23);
      return when + "  " + e[1] + (e[2] ? "  " + e[2] : "");
    });
    document.getElementById("qv-events").textContent = lines.join("\n");
  }

  function draw(state) {
    if (!monitor.updates && !state.full) {
      return;       // a page starts from a whole state
    }
    monitor.updates += 1;
    monitor.state = state;
    drawHeader(state);
    drawControls(state);
    drawAccount(state.account);
    drawRisk(state.risk);
    drawPositions(state.positions);
    drawWorking(state.working);
    drawTrades(state.trades);
    drawCharts(state.bars, state.trades, state.full);
    drawEquity(state.equity, state.full);
    drawEvents(state.events);
  }

  function connect() {
    var scheme = window.location.protocol === "https:" ? "wss://" : "ws://";
    socket = new WebSocket(scheme + window.location.host + "/ws");
    var status = document.getElementById("qv-connection");
    socket.onopen = function () { status.textContent = "live"; status.className = "state-ok"; };
    socket.onclose = function () {
      status.textContent = "closed; retrying";
      status.className = "state-bad";
      window.setTimeout(connect, 1000);
    };
    socket.onmessage = function (event) {
      var message = JSON.parse(event.data);
      if (message.type === "state") {
        draw(message.state);
      } else if (message.type === "result") {
        monitor.results.push(message);
        var shown = document.getElementById("qv-result");
        shown.textContent = message.ok ? message.action + ": done" :
          message.action + ": " + (message.error || "failed, code " + message.code);
        shown.className = message.ok ? "state-ok" : "state-bad";
      }
    };
  }

  connect();
}());
