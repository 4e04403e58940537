// Sorts a sweep page's results table by the column whose heading is clicked: numbers by value,
// a second click reverses the order; cells without a value (n/a, a failed combination) stay last.
(function () {
  "use strict";
  var table = document.getElementById("results");
  var headings = Array.prototype.slice.call(table.querySelectorAll("th[data-sort]"));

  function cellOf(row, column) {
    // A failed row's error spans the statistics' columns.
    var at = 0;
    for (var i = 0; i < row.children.length; i++) {
      var span = row.children[i].colSpan || 1;
      if (column < at + span) {
        return span > 1 ? null : row.children[i];
      }
      at += span;
    }
    return null;
  }

  function sortBy(column, ascending) {
    var body = table.tBodies[0];
    var rows = Array.prototype.slice.call(body.rows);
    var keyed = rows.map(function (row, n) {
      var cell = cellOf(row, column);
      return { row: row, n: n, value: cell ? JSON.parse(cell.getAttribute("data-value")) : null };
    });
    keyed.sort(function (a, b) {
      if (a.value === null || b.value === null) {
        return a.value === b.value ? a.n - b.n : (a.value === null ? 1 : -1);
      }
      if (a.value === b.value) {
        return a.n - b.n;
      }
      var less = typeof a.value === typeof b.value ? a.value < b.value
        : String(a.value) < String(b.value);
      return (less ? -1 : 1) * (ascending ? 1 : -1);
    });
    keyed.forEach(function (k) { body.appendChild(k.row); });
  }

  headings.forEach(function (heading, column) {
    heading.addEventListener("click", function () {
      var ascending = heading.getAttribute("data-order") !== "ascending";
      headings.forEach(function (h) { h.removeAttribute("data-order"); });
      heading.setAttribute("data-order", ascending ? "ascending" : "descending");
      sortBy(column, ascending);
    });
  });
})();
