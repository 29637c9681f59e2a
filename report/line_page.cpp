#include "report/line_page.h"

namespace {

constexpr char LINE_PAGE[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>stbload line</title>
<style>
*{box-sizing:border-box}
body{margin:0;padding:12px;font:15px/1.3 system-ui,sans-serif;background:#111;color:#eee}
header{display:flex;flex-wrap:wrap;gap:4px 20px;align-items:baseline;margin-bottom:10px}
h1{font-size:22px;margin:0}
h2{font-size:16px;margin:14px 0 6px}
#db,#refreshed,#help{color:#aaa;font-size:13px}
#db.away{color:#fff;background:#a00;padding:2px 8px;font-weight:600}
#stations{display:grid;grid-template-columns:repeat(auto-fill,minmax(300px,1fr));gap:8px}
.station{background:#2a2a2a;border-left:8px solid #2ecc40;padding:8px 10px}
.station.quiet{border-color:#ffdc00;background:#4a4212}
.name{font-size:18px;font-weight:700}
.figures{font-size:15px}
.mark{font-weight:700;color:#ffdc00}
.ports{display:flex;flex-wrap:wrap;gap:3px;margin-top:6px}
.port{font-size:12px;padding:1px 5px;background:#444}
.port.completed{background:#12401c}
.port.failed{background:#4a1212}
.small{color:#bbb;font-size:12px}
table{border-collapse:collapse}
td,th{padding:2px 12px 2px 0;text-align:left}
</style>
</head>
<body>
<header><h1 id="pool">stbload line</h1><span id="db">connecting</span><span id="refreshed"></span></header>
<main id="stations"></main>
<h2>Numbers of the pool</h2><table id="numbers"></table>
<h2>Weak ports</h2><table id="weak"></table>
<p id="help">API: GET /api/line (see the README). Stations that wrote a row in the last 24 hours; a station
that has written none for 10 minutes while others have is marked quiet.</p>
<script>
"use strict";
const $ = id => document.getElementById(id);
function text(tag, cls, content) {
  const e = document.createElement(tag); e.className = cls; e.textContent = content; return e;
}
function spell(name, s) {
  return name + ": " + s.boxes + " boxes, " + s.completed + " completed, yield " +
    (s.yield === null ? "\u2014" : (s.yield * 100).toFixed(1) + " %");
}
function card(s) {
  const c = document.createElement("section");
  c.className = "station" + (s.quiet_min !== null ? " quiet" : "");
  c.dataset.station = s.station;
  c.appendChild(text("div", "name", s.station));
  if (s.quiet_min !== null) c.appendChild(text("div", "mark", "quiet for " + s.quiet_min + " min"));
  c.appendChild(text("div", "figures", spell("hour", s.hour)));
  c.appendChild(text("div", "figures", spell("today", s.today)));
  c.appendChild(text("div", "small", "last row " + s.last_row));
  const ports = text("div", "ports", "");
  for (const p of s.ports) {
    const e = text("span", "port " + (p.last_result === "completed" ? "completed" : "failed"), p.port + " " + p.last_result);
    e.title = (p.last_reason ? p.last_reason + ", " : "") + "ended " + p.last_ended;
    ports.appendChild(e);
  }
  c.appendChild(ports);
  return c;
}
function row(cells) {
  const r = document.createElement("tr");
  for (const cell of cells) r.appendChild(text("td", "", cell));
  return r;
}
function draw(line) {
  $("pool").textContent = "stbload line: pool " + line.job.pool;
  document.title = "stbload line " + line.job.pool;
  const d = line.database;
  $("db").className = d.state === "reached" ? "" : "away";
  $("db").textContent = "database: " + d.state + (d.reason ? " (" + d.reason + ")" : "") +
    (d.since ? " since " + d.since : "");
  $("refreshed").textContent = line.refreshed ? "read " + line.refreshed : "not read yet";
  $("stations").replaceChildren(...line.stations.map(card));
  $("numbers").replaceChildren(row(["field", "given", "left", "next"]),
    ...Object.entries(line.pool).map(([f, v]) => row([f, v.given, v.left, v.next === null ? "used up" : v.next])));
  $("weak").replaceChildren(...(line.weak_ports.length ? [row(["station", "port", "boxes", "failed"])] : [row(["none"])]),
    ...line.weak_ports.map(w => row([w.station, w.port, w.boxes, w.failed])));
}
async function load() {
  try {
    const r = await fetch("/api/line", {cache: "no-store"});
    if (r.ok) draw(await r.json());
  } catch (e) {
    $("db").className = "away"; $("db").textContent = "the line view does not answer: trying again";
  }
}
setInterval(load, 5000);
load();
</script>
</body>
</html>
)PAGE";

}  // namespace

const char* line_page() { return LINE_PAGE; }
