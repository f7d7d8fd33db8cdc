#include "DashboardPage.h"

namespace {

// Laid out to be read from a distance: big type, one tile per slot, the
// state in words and a sign as well as in colour.
constexpr const char* kPage = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>zul-station</title>
<style>
  body { margin: 0; background: #111; color: #eee; font-family: "DejaVu Sans", Arial, sans-serif; }
  header { display: flex; flex-wrap: wrap; justify-content: space-between; align-items: center;
           gap: 1rem; padding: 1rem 1.5rem; background: #222; border-bottom: 4px solid #444; }
  #firmware { font-size: 2.4rem; font-weight: bold; }
  #identity { font-size: 1.4rem; color: #bbb; margin-top: .3rem; }
  #totals { display: flex; gap: 2rem; }
  .total { text-align: center; }
  .total b { display: block; font-size: 3rem; }
  .total span { font-size: 1.2rem; color: #bbb; }
  #lost { display: none; background: #c62828; color: #fff; font-size: 1.8rem; padding: .5rem 1.5rem; }
  main { display: grid; grid-template-columns: repeat(auto-fill, minmax(24rem, 1fr)); gap: 1rem;
         padding: 1rem; }
  .tile { border-radius: .8rem; padding: 1rem 1.2rem; background: #1c1c1c; border: .5rem solid #555; }
  .name { font-size: 3.6rem; font-weight: bold; line-height: 1.1; }
  .path { font-size: 1.4rem; color: #bbb; }
  .state { font-size: 2.3rem; font-weight: bold; margin: .5rem 0; padding: .2rem .6rem;
           border-radius: .4rem; white-space: nowrap; overflow: hidden; }
  .bar { position: relative; height: 2.6rem; background: #333; border-radius: .4rem; overflow: hidden; }
  .fill { height: 100%; width: 0; background: #64b5f6; transition: width .3s; }
  .percent { position: absolute; inset: 0; text-align: center; font-size: 2rem; font-weight: bold;
             line-height: 2.6rem; color: #fff; text-shadow: 0 0 4px #000; }
  .facts { font-size: 1.6rem; margin-top: .5rem; }
  .result { font-size: 1.4rem; color: #ddd; margin-top: .3rem; min-height: 1.8rem; }
  .programming { border-color: #1e88e5; } .programming .state { background: #1565c0; }
  .passed { border-color: #43a047; } .passed .state { background: #2e7d32; }
  .passed .fill { background: #66bb6a; }
  .failed { border-color: #e53935; } .failed .state { background: #c62828; }
  .failed .fill { background: #ef5350; }
  .waiting { border-color: #fbc02d; } .waiting .state { background: #f9a825; color: #111; }
  .empty { border-color: #555; opacity: .7; } .empty .state { background: #424242; }
</style>
</head>
<body>
<header>
  <div><div id="firmware">zul-station</div><div id="identity"></div></div>
  <div id="totals">
    <div class="total"><b id="runs">0</b><span>runs</span></div>
    <div class="total"><b id="passed">0</b><span>passed</span></div>
    <div class="total"><b id="failed">0</b><span>failed</span></div>
    <div class="total"><b id="yield">-</b><span>first-pass yield</span></div>
  </div>
</header>
<div id="lost">Connection to the station lost: retrying</div>
<main id="slots"></main>
<script>
"use strict";
const words = { waiting: "\u2026 WAITING", programming: "\u25B6 PROGRAMMING",
                passed: "\u2714 PASSED", failed: "\u2718 FAILED", empty: "\u25CB EMPTY" };
const tiles = new Map();

function part(parent, cls, tag) {
  const node = document.createElement(tag || "div");
  node.className = cls;
  parent.appendChild(node);
  return node;
}

function clock(seconds) {
  const s = Math.max(0, Math.floor(seconds));
  return Math.floor(s / 60) + ":" + String(s % 60).padStart(2, "0");
}

function tile(slot) {
  if (tiles.has(slot)) return tiles.get(slot);
  const node = document.createElement("section");
  const t = { node, name: part(node, "name"), path: part(node, "path"), state: part(node, "state") };
  const bar = part(node, "bar");
  t.fill = part(bar, "fill");
  t.percent = part(bar, "percent");
  t.facts = part(node, "facts");
  t.result = part(node, "result");
  node.dataset.slot = slot;
  const main = document.getElementById("slots");
  const after = [...main.children].find(
      n => n.dataset.slot.localeCompare(slot, undefined, { numeric: true }) > 0);
  main.insertBefore(node, after || null);
  tiles.set(slot, t);
  return t;
}

function facts(t) {
  const s = t.status;
  const elapsed = s.elapsed + (s.state === "programming" ? (Date.now() - t.seenAt) / 1000 : 0);
  t.facts.textContent = "attempt " + s.attempt + " \u00B7 " + clock(elapsed);
}

function show(s) {
  const t = tile(s.slot);
  t.status = s;
  t.seenAt = Date.now();
  t.node.className = "tile " + s.state;
  t.node.id = "slot-" + s.slot;
  t.name.textContent = s.label || s.slot;
  t.path.textContent = "USB " + s.slot;
  t.state.textContent = words[s.state] || s.state;
  t.fill.style.width = s.progress + "%";
  t.percent.textContent = s.progress + " %";
  t.result.textContent = s.result === null ? (s.meaning || "") : "last result " + s.result + ": " + s.meaning;
  facts(t);
}

async function status() {
  const answer = await fetch("/api/status", { cache: "no-store" });
  const j = await answer.json();
  const f = j.station.firmware;
  document.getElementById("firmware").textContent = f.file.split("/").pop();
  document.getElementById("identity").textContent = "type " + f.module_type + " \u00B7 revision " +
      f.main_revision + "." + f.sub_revision + " \u00B7 build " + f.build_time +
      " \u00B7 SHA-256 " + f.sha256.slice(0, 12) + "\u2026 \u00B7 " + j.station.host;
  for (const k of ["runs", "passed", "failed"]) document.getElementById(k).textContent = j.totals[k];
  const y = j.totals.first_pass_yield;
  document.getElementById("yield").textContent = y === null ? "-" : y.toFixed(1) + "%";
  j.slots.forEach(show);
}

const events = new EventSource("/api/events");
events.onopen = () => { document.getElementById("lost").style.display = "none"; status(); };
events.onerror = () => { document.getElementById("lost").style.display = "block"; };
events.onmessage = e => {
  const s = JSON.parse(e.data);
  const before = tiles.has(s.slot) ? tiles.get(s.slot).status.state : "";
  show(s);
  if (s.state !== before && (s.state === "passed" || s.state === "failed")) status();
};
setInterval(() => tiles.forEach(facts), 1000);
</script>
</body>
</html>
)PAGE";

} // namespace

const std::string& DashboardPage() {
    static const std::string page = kPage;
    return page;
}
