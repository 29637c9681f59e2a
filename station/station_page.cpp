#include "station/station_page.h"

// The tiles fill the window: at 1920x1080, eight columns of four rows hold
// 32 ports; on a phone they stack. Each tile takes its colour from the
// station's screen ("colour" in the status), its time in state from "since".
namespace {

constexpr char STATION_PAGE[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>stbload station</title>
<style>
*{box-sizing:border-box}
body{margin:0;padding:12px;font:15px/1.3 system-ui,sans-serif;background:#111;color:#eee}
header{display:flex;flex-wrap:wrap;gap:4px 20px;align-items:baseline;margin-bottom:10px}
h1{font-size:22px;margin:0}
#totals{font-size:18px;font-weight:600}
#facts,#db,#help{color:#aaa;font-size:13px}
#lost{display:none;background:#a00;color:#fff;padding:6px 10px;margin-bottom:10px;font-weight:600}
#lost.shown{display:block}
#ports{display:grid;grid-template-columns:repeat(auto-fill,minmax(220px,1fr));gap:8px}
.tile{background:#2a2a2a;border-left:8px solid #555;padding:8px 10px;min-height:96px;overflow:hidden}
.tile.green{background:#12401c;border-color:#2ecc40}
.tile.red{background:#4a1212;border-color:#ff4136}
.tile.yellow{background:#4a4212;border-color:#ffdc00}
.name{font-size:18px;font-weight:700}
.state{font-size:16px}
.small{color:#bbb;font-size:12px;word-break:break-all}
.bar{height:6px;background:#444;margin-top:4px}
.bar i{display:block;height:6px;background:#39f}
@media (min-width:2400px){body{font-size:20px}.tile{min-height:140px}.name{font-size:26px}.state{font-size:22px}}
</style>
</head>
<body>
<header><h1 id="station">stbload station</h1><span id="totals">connecting</span>
<span id="facts"></span><span id="db"></span></header>
<div id="lost">the station's event stream is broken: trying again</div>
<main id="ports"></main>
<p id="help">API: GET /api/status, GET /api/events (Server-Sent Events), GET /api/log?since=TIME;
POST /api/stop and POST /api/ports/PORT/reset with Authorization: Bearer TOKEN (see the README).</p>
<script>
"use strict";
let status = null, pending = false;
const $ = id => document.getElementById(id);
function text(tag, cls, content) {
  const e = document.createElement(tag); e.className = cls; e.textContent = content; return e;
}
function ago(since) {
  const s = Math.max(0, Math.round((Date.now() - Date.parse(since)) / 1000));
  const m = Math.floor(s / 60), h = Math.floor(m / 60);
  return h > 0 ? h + ":" + String(m % 60).padStart(2, "0") + " h" : m + ":" + String(s % 60).padStart(2, "0");
}
function tile(p) {
  const t = document.createElement("section");
  t.className = "tile" + (p.colour ? " " + p.colour : "");
  t.dataset.port = p.port; t.dataset.state = p.state;
  t.appendChild(text("div", "name", p.port));
  t.appendChild(text("div", "state", p.state + (p.percent !== null ? " " + p.percent + " %" : "") + " \u00b7 " + ago(p.since)));
  if (p.percent !== null) { const b = text("div", "bar", ""); const i = document.createElement("i"); i.style.width = p.percent + "%"; b.appendChild(i); t.appendChild(b); }
  const which = [p.box_id ? "box " + p.box_id : "", p.unique || ""].filter(Boolean).join(" ");
  if (which) t.appendChild(text("div", "small", which));
  if (p.last_result) t.appendChild(text("div", "small", "last: " + p.last_result + (p.last_reason ? " (" + p.last_reason + ")" : "")));
  t.appendChild(text("div", "small", p.completed + " completed, " + p.failed + " failed, " + p.interrupted + " interrupted"));
  return t;
}
function draw() {
  if (!status) return;
  $("station").textContent = "stbload station " + status.station;
  document.title = "stbload " + status.station;
  const t = status.totals;
  $("totals").textContent = t.completed + " completed, " + t.failed + " failed, " + t.interrupted + " interrupted; " +
    t.in_progress + " in progress; yield " + (t.yield === null ? "\u2014" : (t.yield * 100).toFixed(1) + " %") + "; " +
    (t.boxes_per_hour === null ? "\u2014" : Math.round(t.boxes_per_hour)) + " boxes/h";
  $("facts").textContent = (status.job ? "job " + status.job + ": " : "") + status.image.file + ", CRC-32 " +
    status.image.crc32 + ", SHA-256 " + status.image.sha256;
  const d = status.database;
  $("db").textContent = d ? "database: " + d.state + (d.reason ? " (" + d.reason + ")" : "") + ", " + d.waiting + " rows waiting" : "";
  $("ports").replaceChildren(...status.ports.map(tile));
}
async function load() {
  pending = false;
  try {
    const r = await fetch("/api/status", {cache: "no-store"});
    if (r.ok) { status = await r.json(); draw(); }
  } catch (e) { /* the stream's error says so */ }
}
function soon() { if (!pending) { pending = true; setTimeout(load, 50); } }
const events = new EventSource("/api/events");
events.onopen = () => { $("lost").className = ""; soon(); };
events.onmessage = soon;
events.onerror = () => { $("lost").className = "shown"; };
setInterval(load, 1000);
load();
</script>
</body>
</html>
)PAGE";

}  // namespace

const char* station_page() { return STATION_PAGE; }
