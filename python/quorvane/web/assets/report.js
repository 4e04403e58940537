// Draws a run's page: the equity curve with its drawdown beneath, the daily profit, and a
// candlestick chart of each instrument with its fills marked, from the JSON the page holds in
// #qv-data. Times are exchange time, drawn as UTC. The charts are kept in window.qvCharts, for
// whoever wants to explore them from the browser's console.
(function () {
  "use strict";
  var charts = window.LightweightCharts;
  var data = JSON.parse(document.getElementById("qv-data").textContent);
  var made = { equity: null, drawdown: null, daily: null, instruments: {} };
  window.qvCharts = made;

  var GREEN = "#26a69a", RED = "#ef5350", BLUE = "#2962ff";

  function options(seconds) {
    return {
      autoSize: true,
      layout: { background: { color: "#ffffff" }, textColor: "#333333" },
      grid: { vertLines: { color: "#f0f0f0" }, horzLines: { color: "#f0f0f0" } },
      timeScale: { timeVisible: true, secondsVisible: seconds, borderColor: "#cccccc" },
      rightPriceScale: { borderColor: "#cccccc", minimumWidth: 110 },
      crosshair: { mode: charts.CrosshairMode.Normal }
    };
  }

  function series(times, values) {
    var out = new Array(times.length);
    for (var i = 0; i < times.length; i++) {
      out[i] = { time: times[i], value: values[i] };
    }
    return out;
  }

  // Keeps the visible stretch of each chart the same as the others': they draw the same times.
  function linked(list) {
    var moving = false;
    list.forEach(function (chart) {
      chart.timeScale().subscribeVisibleLogicalRangeChange(function (range) {
        if (moving || !range) {
          return;
        }
        moving = true;
        list.forEach(function (other) {
          if (other !== chart) {
            other.timeScale().setVisibleLogicalRange(range);
          }
        });
        moving = false;
      });
    });
  }

  function drawEquity() {
    var element = document.getElementById("chart-equity");
    if (!element) {
      return;
    }
    var chart = charts.createChart(element, options(true));
    var equity = chart.addLineSeries({ color: BLUE, lineWidth: 2, title: "equity",
                                       priceLineVisible: false });
    equity.setData(series(data.equity.t, data.equity.v));
    var below = charts.createChart(document.getElementById("chart-drawdown"), options(true));
    var drawdown = below.addBaselineSeries({
      title: "drawdown", priceLineVisible: false, lineWidth: 1,
      baseValue: { type: "price", price: 0 },
      bottomLineColor: RED, bottomFillColor1: "rgba(239, 83, 80, 0.15)",
      bottomFillColor2: "rgba(239, 83, 80, 0.5)",
      topLineColor: RED, topFillColor1: "rgba(0, 0, 0, 0)", topFillColor2: "rgba(0, 0, 0, 0)"
    });
    drawdown.setData(series(data.equity.t, data.equity.dd));
    chart.timeScale().fitContent();
    below.timeScale().fitContent();
    linked([chart, below]);
    made.equity = chart;
    made.drawdown = below;
  }

  function drawDaily() {
    var element = document.getElementById("chart-daily");
    if (!element || !data.daily.length) {
      if (element) {
        element.parentNode.removeChild(element);
      }
      return;
    }
    var chart = charts.createChart(element, options(false));
    var bars = chart.addHistogramSeries({ title: "net profit", priceLineVisible: false });
    bars.setData(data.daily.map(function (d) {
      return { time: d.time, value: d.value, color: d.value >= 0 ? GREEN : RED };
    }));
    chart.timeScale().fitContent();
    made.daily = chart;
  }

  function clock(time) {
    var d = new Date(time * 1000);
    function two(n) { return (n < 10 ? "0" : "") + n; }
    return d.getUTCFullYear() + "-" + two(d.getUTCMonth() + 1) + "-" + two(d.getUTCDate()) +
      " " + two(d.getUTCHours()) + ":" + two(d.getUTCMinutes());
  }

  function drawInstrument(instrument, number) {
    var element = document.getElementById("chart-candles-" + number);
    var chart = charts.createChart(element, options(false));
    var candles = chart.addCandlestickSeries({
      upColor: GREEN, downColor: RED, borderVisible: false, wickUpColor: GREEN,
      wickDownColor: RED, priceLineVisible: false
    });
    var c = instrument.candles, rows = new Array(c.t.length);
    for (var i = 0; i < c.t.length; i++) {
      rows[i] = { time: c.t[i], open: c.o[i], high: c.h[i], low: c.l[i], close: c.c[i] };
    }
    candles.setData(rows);
    var byTime = new Map();
    candles.setMarkers(instrument.fills.map(function (f) {
      if (!byTime.has(f.t)) {
        byTime.set(f.t, []);
      }
      byTime.get(f.t).push(f);
      return {
        time: f.t, position: f.buy ? "belowBar" : "aboveBar", color: f.buy ? GREEN : RED,
        shape: f.buy ? "arrowUp" : "arrowDown", text: f.lots > 1 ? String(f.lots) : ""
      };
    }));
    chart.timeScale().fitContent();

    var tooltip = element.querySelector(".tooltip");
    chart.subscribeCrosshairMove(function (param) {
      var bar = param.time !== undefined ? param.seriesData.get(candles) : undefined;
      if (!param.point || !bar) {
        tooltip.style.display = "none";
        return;
      }
      var lines = [clock(param.time) + "  O " + bar.open + "  H " + bar.high + "  L " +
                   bar.low + "  C " + bar.close];
      (byTime.get(param.time) || []).forEach(function (f) {
        lines = lines.concat(f.lines);
      });
      tooltip.textContent = lines.join("\n");
      tooltip.classList.toggle("fills", byTime.has(param.time));
      tooltip.style.display = "block";
      var left = param.point.x + 16;
      if (left + tooltip.offsetWidth > element.clientWidth) {
        left = Math.max(0, param.point.x - 16 - tooltip.offsetWidth);
      }
      tooltip.style.left = left + "px";
    });

    var days = instrument.days;
    var choice = document.querySelector('select[data-instrument="' + instrument.name + '"]');
    choice.addEventListener("change", function () {
      for (var k = 0; k < days.length; k++) {
        if (days[k][0] === choice.value) {
          var last = k + 1 < days.length ? days[k + 1][1] - 1 : c.t.length - 1;
          chart.timeScale().setVisibleLogicalRange({ from: days[k][1] - 0.5, to: last + 0.5 });
          return;
        }
      }
      chart.timeScale().fitContent();
    });
    made.instruments[instrument.name] = { chart: chart, candles: candles };
  }

  drawEquity();
  drawDaily();
  data.instruments.forEach(drawInstrument);
})();
