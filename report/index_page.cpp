#include "report/index_page.h"

namespace tolvek::report {
namespace {

constexpr std::string_view kHead = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<link rel="icon" href="data:,">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; img-src 'self' file: data:; style-src 'unsafe-inline'; script-src 'unsafe-inline'">
<title>)";

constexpr std::string_view kStyle = R"(</title>
<style>
body{font:13px/1.35 system-ui,sans-serif;margin:0;color:#222;background:#fafafa}
header{position:sticky;top:0;background:#fff;border-bottom:1px solid #ccc;padding:8px 12px;display:flex;gap:12px;align-items:center;z-index:1}
header h1{font-size:15px;margin:0 8px 0 0}
input,select{font:inherit;padding:3px 6px}
#filter{width:24em}
.grid{display:grid;grid-template-columns:210px minmax(12em,1fr) 6.5em 6.5em 5.5em 3em 6.5em 4.5em 6.5em 5em 6em 6em 7.5em 13em}
#head{position:sticky;top:45px;background:#eee;border-bottom:1px solid #bbb;font-weight:600;z-index:1}
#head>div{padding:4px 6px;user-select:none;white-space:nowrap;overflow:hidden}
#head>[data-k]{cursor:pointer}
#head>[data-num]{text-align:right}
#head>[aria-sort=ascending]::after{content:" \25B2"}
#head>[aria-sort=descending]::after{content:" \25BC"}
/* Every row is ROW_PX high: the script places rows by that height. */
#rows>.grid{height:103px;box-sizing:border-box;border-bottom:1px solid #e4e4e4;overflow:hidden}
#rows>.grid>div{padding:3px 6px;overflow:hidden}
.n{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}
.p{overflow-wrap:anywhere;max-height:96px}
.t img{display:block;width:200px;height:96px;object-fit:contain;background:#ddd}
#rows>.fail{background:#fde8e8}
#rows>.sus{background:#fff6d6}
.muted{color:#888}
</style></head>
<body><header><h1>)";

constexpr std::string_view kBody = R"(</h1>
<input id="filter" type="search" placeholder="Filter by path" aria-label="Filter by path">
<select id="show" aria-label="Show"><option value="all">All files</option><option value="suspected">Suspected lossy origin</option><option value="upsampled">Upsampled</option><option value="bits">Unused low bits</option><option value="md5">MD5 mismatch</option><option value="failed">Failures</option></select>
<span id="count" class="muted"></span></header>
<div role="table" aria-label="Files"><div id="head" class="grid" role="row">
<div role="columnheader">Picture</div><div role="columnheader" data-k="0">Source</div><div role="columnheader" data-k="1">Status</div>
<div role="columnheader" data-k="2" data-num>Duration s</div><div role="columnheader" data-k="3" data-num>Rate Hz</div>
<div role="columnheader" data-k="4" data-num>Ch</div><div role="columnheader" data-k="5">Codec</div>
<div role="columnheader" data-k="6" data-num>kbit/s</div><div role="columnheader" data-k="7" data-num>Peak dBFS</div>
<div role="columnheader" data-k="8" data-num>Clipped</div><div role="columnheader" data-k="9" data-num>Silence %</div>
<div role="columnheader" data-k="10" data-num>Cutoff Hz</div><div role="columnheader" data-k="11">Lossy origin</div>
<div role="columnheader">Verdicts</div>
</div><div id="rows" role="rowgroup"></div></div>
<script type="application/json" id="data">)";

// Only the rows on screen (and a margin) are in the document: sorting and
// filtering work on arrays of indexes and then redraw a few dozen rows, so
// 10,000 files cost no more than 20. Measured first with every row in the
// document: a <table> took seconds to lay out, and even grid rows that skip
// layout off screen took up to a second to restyle after each sort.
// Row elements are made once, on first sight. Names only ever reach the
// page through textContent.
constexpr std::string_view kScript = R"(</script>
<script>
"use strict";
(function () {
  const t0 = performance.now();
  const data = JSON.parse(document.getElementById("data").textContent);
  const body = document.getElementById("rows");
  const ROW_PX = 103, MARGIN_ROWS = 10;
  const digits = [null, null, 1, 0, 0, null, 0, 1, 0, 1, 0, null];  // decimals per column, null: text
  const FAILED = new Set(["unreadable", "save-error", "damaged"]);
  // What the verdict filters test, on the row's verdict cells (15..20).
  const VERDICT = {
    suspected: function (r) { return r[11] === "suspected"; },
    upsampled: function (r) { return r[15] !== null; },
    bits: function (r) { return r[17] !== null && r[16] !== null && r[16] !== String(r[17]); },
    md5: function (r) { return r[18] === "no"; },
    failed: function (r) { return FAILED.has(r[1]); }
  };
  function verdicts(r) {
    const parts = [];
    if (VERDICT.upsampled(r)) parts.push("upsampled from " + r[15] / 1000 + " kHz");
    if (VERDICT.bits(r)) parts.push(r[17] + " of " + r[16] + " bits used");
    if (r[18] !== null) parts.push("MD5 " + (r[18] === "yes" ? "ok" : "mismatch"));
    if (r[19] !== null) parts.push(r[19].toFixed(1) + " LUFS" + (r[20] !== null ? ", TP " + r[20].toFixed(1) + " dBTP" : ""));
    return parts.join("; ");
  }
  function cell(tr, text, cls) {
    const td = document.createElement("div");
    td.setAttribute("role", "cell");
    if (cls) td.className = cls;
    td.textContent = text;
    tr.appendChild(td);
    return td;
  }
  function thumbCell(tr, r) {
    const td = cell(tr, "", "t");
    if (!r[12]) return;
    const a = document.createElement("a");
    a.setAttribute("href", r[12]);
    if (r[13]) {
      const img = document.createElement("img");
      img.loading = "lazy";
      img.alt = "";
      img.width = 200;
      img.height = 96;
      img.setAttribute("src", r[13]);
      a.appendChild(img);
    } else {
      a.textContent = "picture";
    }
    td.appendChild(a);
  }
  const made = new Array(data.length);
  function row(i) {
    if (made[i]) return made[i];
    const r = data[i], tr = document.createElement("div");
    tr.setAttribute("role", "row");
    tr.className = FAILED.has(r[1]) ? "grid fail" : r[11] === "suspected" ? "grid sus" : "grid";
    thumbCell(tr, r);
    cell(tr, r[0], "p").title = r[0];  // a long path is cut at the row's height
    const st = cell(tr, r[1]);
    if (r[14]) st.title = r[14];
    for (let k = 2; k <= 11; k++) {
      const v = r[k];
      const text = v === null ? "" : digits[k] === null ? v : v.toFixed(digits[k]);
      cell(tr, text, digits[k] === null ? "" : "n");
    }
    cell(tr, verdicts(r));
    return (made[i] = tr);
  }

  const all = data.map(function (_, i) { return i; });
  let order = all, view = all;  // sorted; sorted and filtered
  const top = document.createElement("div"), bottom = document.createElement("div");
  let drawn = "";
  function draw(force) {
    const start = body.getBoundingClientRect().top;
    const first = Math.max(0, Math.floor(-start / ROW_PX) - MARGIN_ROWS);
    const last = Math.min(view.length, first + Math.ceil(window.innerHeight / ROW_PX) + 2 * MARGIN_ROWS);
    if (!force && drawn === first + ":" + last) return;
    drawn = first + ":" + last;
    top.style.height = first * ROW_PX + "px";
    bottom.style.height = (view.length - last) * ROW_PX + "px";
    const rows = [top];
    for (let n = first; n < last; n++) rows.push(row(view[n]));
    rows.push(bottom);
    body.replaceChildren.apply(body, rows);
  }
  let pending = false;
  function onScroll() {
    if (pending) return;
    pending = true;
    requestAnimationFrame(function () { pending = false; draw(false); });
  }

  let sortKey = null, sortDir = 1;
  function compare(k, num) {
    return function (a, b) {
      const x = data[a][k], y = data[b][k];
      if (x === null || y === null) return x === y ? a - b : x === null ? 1 : -1;
      if (num) return (x - y) * sortDir || a - b;
      return (x < y ? -1 : x > y ? 1 : 0) * sortDir || a - b;
    };
  }
  function sortBy(th) {
    sortDir = sortKey === th ? -sortDir : 1;
    sortKey = th;
    order = all.slice().sort(compare(Number(th.dataset.k), th.hasAttribute("data-num")));
    document.querySelectorAll("#head>div").forEach(function (h) { h.removeAttribute("aria-sort"); });
    th.setAttribute("aria-sort", sortDir > 0 ? "ascending" : "descending");
    applyFilter();
  }
  const filter = document.getElementById("filter"), show = document.getElementById("show");
  const count = document.getElementById("count");
  function applyFilter() {
    const needle = filter.value.toLowerCase(), mode = show.value;
    view = order.filter(function (i) {
      const r = data[i];
      return (!needle || r[0].toLowerCase().includes(needle)) &&
        (mode === "all" || VERDICT[mode](r));
    });
    count.textContent = view.length + " of " + data.length + " files";
    draw(true);
  }
  document.querySelectorAll("#head>[data-k]").forEach(function (th) {
    th.addEventListener("click", function () {
      const s = performance.now();
      sortBy(th);
      window.tolvekLastSortMs = performance.now() - s;
    });
  });
  filter.addEventListener("input", applyFilter);
  show.addEventListener("change", applyFilter);
  window.addEventListener("scroll", onScroll, {passive: true});
  window.addEventListener("resize", onScroll);
  applyFilter();
  window.tolvekBuildMs = performance.now() - t0;
  window.tolvekScriptStartMs = t0;
})();
</script>
</body></html>
)";

}  // namespace

std::string page_text(std::string_view title, std::string_view rows_json) {
    std::string out;
    out.reserve(kHead.size() + kStyle.size() + kBody.size() + kScript.size() + 2 * title.size() + rows_json.size());
    ((out += kHead) += title) += kStyle;
    ((out += title) += kBody) += rows_json;
    out += kScript;
    return out;
}

bool is_index_page_start(std::string_view start) { return start.starts_with(kHead); }

}  // namespace tolvek::report
