#include "status_page.h"

namespace palvex_host {

// Names and URLs come from the input: they are set as text, never as markup.
const char kStatusPage[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>palvex-mux</title>
<style>
body { font: 14px/1.4 system-ui, sans-serif; margin: 1.5em; color: #1c1c1c; background: #fafafa; }
h1 { font-size: 1.3em; margin: 0 0 0.2em; }
#summary { color: #555; margin-bottom: 1em; }
table { border-collapse: collapse; margin-bottom: 1.2em; }
th, td { text-align: left; padding: 0.3em 0.8em; border-bottom: 1px solid #ddd; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
.up { color: #0a7a2f; font-weight: bold; }
.down { color: #b3261e; font-weight: bold; }
#plot { background: #fff; border: 1px solid #ccc; }
#legend span { margin-right: 1.2em; }
#error { color: #b3261e; }
</style>
</head>
<body>
<h1>palvex-mux</h1>
<div id="summary">waiting for /status</div>
<div id="error"></div>
<table id="services">
<thead><tr><th>service_id</th><th>name</th><th>provider</th><th>input</th><th>state</th><th>since (UTC)</th>
<th>bit rate</th><th>late frames</th><th>cues</th></tr></thead>
<tbody></tbody>
</table>
<svg id="plot" width="720" height="240" viewBox="0 0 720 240" role="img" aria-label="bit rate of each service over the last two minutes">
<g id="grid"></g><g id="lines"></g>
</svg>
<div id="legend"></div>
<script>
"use strict";
const kPoints = 120, kWidth = 720, kHeight = 240, kPad = 30;
const kColours = ["#1565c0", "#c62828", "#2e7d32", "#ef6c00", "#6a1b9a", "#00838f", "#5d4037", "#ad1457"];
const history = new Map();  // service_id -> bit rates, oldest first
const svg = "http://www.w3.org/2000/svg";

function mbit(bps) { return (bps / 1e6).toFixed(3) + " Mbit/s"; }

function cell(row, text, cls) {
  const td = document.createElement("td");
  td.textContent = text;
  if (cls) td.className = cls;
  row.appendChild(td);
}

function renderTable(status) {
  const body = document.querySelector("#services tbody");
  body.replaceChildren();
  for (const s of status.services) {
    const row = document.createElement("tr");
    row.className = "service";
    row.dataset.serviceId = s.service_id;
    cell(row, String(s.service_id), "num");
    cell(row, s.name);
    cell(row, s.provider);
    cell(row, s.input.url);
    cell(row, s.input.up ? "up" : "down", s.input.up ? "up" : "down");
    cell(row, s.input.since || "");
    cell(row, mbit(s.bitrate_bps), "num");
    cell(row, String(s.late_frames), "num");
    cell(row, String(s.cues_sent), "num");
    body.appendChild(row);
  }
  const rate = status.muxrate_bps ? "constant rate " + mbit(status.muxrate_bps) : "no constant rate";
  document.getElementById("summary").textContent =
      status.services.length + " service(s), " + rate + ", " + status.output.packets + " packets out, " +
      status.output.null_packets + " null";
}

function renderPlot(status) {
  const seen = new Set();
  for (const s of status.services) {
    seen.add(s.service_id);
    const h = history.get(s.service_id) || [];
    h.push(s.bitrate_bps);
    if (h.length > kPoints) h.shift();
    history.set(s.service_id, h);
  }
  for (const id of [...history.keys()]) if (!seen.has(id)) history.delete(id);
  let top = 1e5;
  for (const h of history.values()) for (const v of h) top = Math.max(top, v);
  top *= 1.1;
  const grid = document.getElementById("grid"), lines = document.getElementById("lines"),
        legend = document.getElementById("legend");
  grid.replaceChildren();
  lines.replaceChildren();
  legend.replaceChildren();
  for (let k = 0; k <= 4; ++k) {
    const y = kHeight - kPad - (kHeight - 2 * kPad) * k / 4;
    const line = document.createElementNS(svg, "line");
    line.setAttribute("x1", kPad); line.setAttribute("x2", kWidth - 5);
    line.setAttribute("y1", y); line.setAttribute("y2", y);
    line.setAttribute("stroke", "#e0e0e0");
    grid.appendChild(line);
    const label = document.createElementNS(svg, "text");
    label.setAttribute("x", 2); label.setAttribute("y", y - 2);
    label.setAttribute("font-size", "10");
    label.textContent = (top * k / 4 / 1e6).toFixed(1);
    grid.appendChild(label);
  }
  let n = 0;
  for (const [id, h] of history) {
    const colour = kColours[n++ % kColours.length];
    const points = h.map((v, i) => {
      const x = kPad + (kWidth - kPad - 5) * (kPoints - h.length + i) / (kPoints - 1);
      const y = kHeight - kPad - (kHeight - 2 * kPad) * v / top;
      return x.toFixed(1) + "," + y.toFixed(1);
    });
    const line = document.createElementNS(svg, "polyline");
    line.setAttribute("class", "rate");
    line.setAttribute("data-service-id", id);
    line.setAttribute("fill", "none");
    line.setAttribute("stroke", colour);
    line.setAttribute("stroke-width", "2");
    line.setAttribute("points", points.join(" "));
    lines.appendChild(line);
    const key = document.createElement("span");
    key.style.color = colour;
    key.textContent = "\u25a0 service " + id + " (Mbit/s)";
    legend.appendChild(key);
  }
}

async function refresh() {
  try {
    const reply = await fetch("status", {cache: "no-store"});
    if (!reply.ok) throw new Error("/status answered " + reply.status);
    const status = await reply.json();
    renderTable(status);
    renderPlot(status);
    document.getElementById("error").textContent = "";
  } catch (e) {
    document.getElementById("error").textContent = "no status: " + e.message;
  }
}

refresh();
setInterval(refresh, 1000);
</script>
</body>
</html>
)PAGE";

}  // namespace palvex_host
