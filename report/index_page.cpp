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
table{border-collapse:collapse;width:100%}
th{position:sticky;top:45px;background:#eee;user-select:none;text-align:left;padding:4px 6px;border-bottom:1px solid #bbb;white-space:nowrap}
th[data-k]{cursor:pointer}
th[aria-sort=ascending]::after{content:" \25B2"}
th[aria-sort=descending]::after{content:" \25BC"}
td{padding:3px 6px;border-bottom:1px solid #e4e4e4;vertical-align:top}
td.n{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}
td.p{overflow-wrap:anywhere;max-width:40em}
td.t img{display:block;width:200px;height:96px;background:#ddd}
tr.fail td{background:#fde8e8}
tr.sus td{background:#fff6d6}
.muted{color:#888}
</style></head>
<body><header><h1>)";

constexpr std::string_view kBody = R"(</h1>
<input id="filter" type="search" placeholder="Filter by path" aria-label="Filter by path">
<select id="show" aria-label="Show"><option value="all">All files</option><option value="suspected">Suspected lossy origin</option><option value="failed">Failures</option></select>
<span id="count" class="muted"></span></header>
<table><thead><tr>
<th>Picture</th><th data-k="0">Source</th><th data-k="1">Status</th><th data-k="2" data-num>Duration s</th>
<th data-k="3" data-num>Rate Hz</th><th data-k="4" data-num>Ch</th><th data-k="5">Codec</th><th data-k="6" data-num>kbit/s</th>
<th data-k="7" data-num>Peak dBFS</th><th data-k="8" data-num>Clipped</th><th data-k="9" data-num>Silence %</th>
<th data-k="10" data-num>Cutoff Hz</th><th data-k="11">Lossy origin</th>
</tr></thead><tbody id="rows"></tbody></table>
<script type="application/json" id="data">)";

// Rows are built once from the data; sorting re-orders the existing row
// elements in one pass and filtering toggles `hidden`, so neither rebuilds
// the table. Names only ever reach the page through textContent.
constexpr std::string_view kScript = R"(</script>
<script>
"use strict";
(function () {
  const t0 = performance.now();
  const data = JSON.parse(document.getElementById("data").textContent);
  const tbody = document.getElementById("rows");
  const digits = [null, null, 1, 0, 0, null, 0, 1, 0, 1, 0, null];  // decimals per column, null: text
  const FAILED = new Set(["unreadable", "save-error"]);
  function cell(tr, text, cls) {
    const td = document.createElement("td");
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
  const trs = data.map(function (r, i) {
    const tr = document.createElement("tr");
    if (FAILED.has(r[1])) tr.className = "fail";
    else if (r[11] === "suspected") tr.className = "sus";
    thumbCell(tr, r);
    cell(tr, r[0], "p");
    const st = cell(tr, r[1]);
    if (r[14]) st.title = r[14];
    for (let k = 2; k <= 11; k++) {
      const v = r[k];
      const text = v === null ? "" : digits[k] === null ? v : v.toFixed(digits[k]);
      cell(tr, text, digits[k] === null ? "" : "n");
    }
    tr.dataset.i = i;
    return tr;
  });
  const frag = document.createDocumentFragment();
  trs.forEach(function (tr) { frag.appendChild(tr); });
  tbody.appendChild(frag);

  let order = trs.map(function (_, i) { return i; });
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
    const k = Number(th.dataset.k);
    sortDir = sortKey === th ? -sortDir : 1;
    sortKey = th;
    order = trs.map(function (_, i) { return i; }).sort(compare(k, th.hasAttribute("data-num")));
    document.querySelectorAll("th").forEach(function (h) { h.removeAttribute("aria-sort"); });
    th.setAttribute("aria-sort", sortDir > 0 ? "ascending" : "descending");
    const f = document.createDocumentFragment();
    order.forEach(function (i) { f.appendChild(trs[i]); });
    tbody.appendChild(f);
  }
  const filter = document.getElementById("filter"), show = document.getElementById("show");
  const count = document.getElementById("count");
  function applyFilter() {
    const needle = filter.value.toLowerCase(), mode = show.value;
    let shown = 0;
    for (let i = 0; i < data.length; i++) {
      const r = data[i];
      const visible = (!needle || r[0].toLowerCase().includes(needle)) &&
        (mode === "all" || (mode === "suspected" ? r[11] === "suspected" : FAILED.has(r[1])));
      trs[i].hidden = !visible;
      if (visible) shown++;
    }
    count.textContent = shown + " of " + data.length + " files";
  }
  document.querySelectorAll("th[data-k]").forEach(function (th) {
    th.addEventListener("click", function () {
      const s = performance.now();
      sortBy(th);
      window.tolvekLastSortMs = performance.now() - s;
    });
  });
  filter.addEventListener("input", applyFilter);
  show.addEventListener("change", applyFilter);
  applyFilter();
  window.tolvekBuildMs = performance.now() - t0;
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

}  // namespace tolvek::report
