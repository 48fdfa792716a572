// The board on the wall: a page of one tile per device, in colours that read
// from across a room (blue while it runs, with its percentage; green once
// flashed; red when it failed, with the reason), and the session's counts.
// Its script reads /board.json twice a second and builds every text with
// textContent: a port name or a version text never becomes markup.
#include <string>

#include "tools/gang/gang.h"

std::string BoardPageHtml() {
  return R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>korvel-gang</title>
<link rel="stylesheet" href="board.css">
</head>
<body>
<header>
<h1>korvel-gang</h1>
<p id="counts">waiting for the gang</p>
<p id="note"></p>
</header>
<main id="tiles"></main>
<script src="board.js"></script>
</body>
</html>
)";
}

std::string BoardPageStyle() {
  return R"(:root { color-scheme: dark; }
* { box-sizing: border-box; }
body { margin: 0; padding: 1.5rem; background: #111; color: #eee;
       font-family: "DejaVu Sans", Arial, sans-serif; }
header { display: flex; flex-wrap: wrap; align-items: baseline; gap: 0 2rem; }
h1 { margin: 0 0 1rem 0; font-size: 2rem; }
#counts { margin: 0 0 1rem 0; font-size: 2rem; font-weight: bold; }
#note { margin: 0 0 1rem 0; font-size: 1.5rem; color: #ffb300; }
#tiles { display: grid; gap: 1rem;
         grid-template-columns: repeat(auto-fill, minmax(min(100%, 20rem), 1fr)); }
.tile { border-radius: 0.75rem; padding: 1rem 1.25rem; min-height: 11rem;
        overflow: hidden; overflow-wrap: anywhere; color: #fff; }
.tile.running { background: #1e56c8; }
.tile.passed { background: #1b873a; }
.tile.failed { background: #c41f1f; }
.label { font-size: 2rem; font-weight: bold; }
.adapter { font-size: 1.1rem; opacity: 0.85; }
.state { font-size: 2.75rem; font-weight: bold; margin-top: 0.5rem; }
.reason { font-size: 1.25rem; margin-top: 0.25rem; }
.bar { height: 0.75rem; background: rgba(255, 255, 255, 0.3); border-radius: 0.375rem;
       margin-top: 0.5rem; }
.bar > div { height: 100%; background: #fff; border-radius: 0.375rem; }
@media (max-width: 40rem) {
  body { padding: 0.75rem; }
  h1, #counts { font-size: 1.5rem; }
  .state { font-size: 2rem; }
}
)";
}

namespace {

// The script's first half: one tile of a device's result, its colour and
// state from the reports' outcome names.
constexpr const char* kTileScript = R"('use strict';
function element(tag, className, text) {
  const made = document.createElement(tag);
  if (className) made.className = className;
  if (text !== undefined) made.textContent = text;
  return made;
}
function colour(result) {
  if (result.outcome === 'running' || result.retry_pending) return 'running';
  return result.outcome === 'passed' ? 'passed' : 'failed';
}
function percent(result) {
  const progress = result.progress;
  if (result.activity !== 'programming' || !progress.bytes) return null;
  return Math.floor(100 * progress.bytes_done / progress.bytes);
}
function stateText(result) {
  if (result.retry_pending) return 'trying again';
  if (result.outcome === 'passed') return 'FLASHED';
  if (result.outcome !== 'running') return result.outcome.toUpperCase();
  const done = percent(result);
  return done === null ? result.activity : done + ' %';
}
function tile(result) {
  const made = element('section', 'tile ' + colour(result));
  made.dataset.port = result.port;
  made.dataset.appearance = result.appearance;
  made.dataset.outcome = result.outcome;
  made.dataset.attempts = result.attempts.length;
  made.appendChild(element('div', 'label', result.label));
  const adapter = [result.usb_ids, result.serial_number === result.label ? result.port : null];
  made.appendChild(element('div', 'adapter', adapter.filter(Boolean).join('  ')));
  made.appendChild(element('div', 'state', stateText(result)));
  const done = percent(result);
  if (result.outcome === 'running' && done !== null) {
    const bar = element('div', 'bar');
    const fill = element('div');
    fill.style.width = done + '%';
    bar.appendChild(fill);
    made.appendChild(bar);
  }
  if (result.reason) made.appendChild(element('div', 'reason', result.reason));
  if (result.attempts.length > 1) {
    made.appendChild(element('div', 'reason', 'attempt ' + result.attempts.length));
  }
  return made;
}
)";

// Its second half: the counts and the tiles from /board.json, twice a second.
constexpr const char* kRefreshScript = R"(function show(board) {
  const failed = board.failed;
  document.getElementById('counts').textContent =
      board.runs + ' devices \u00b7 ' + board.running + ' running \u00b7 ' + board.passed +
      ' flashed \u00b7 ' + failed + ' failed';
  document.getElementById('note').textContent = board.stopping ? 'stopping' : '';
  document.body.dataset.devices = board.runs;
  const tiles = board.results.map(tile);
  document.getElementById('tiles').replaceChildren(...tiles);
}
async function update() {
  try {
    const answer = await fetch('board.json', {cache: 'no-store'});
    show(await answer.json());
  } catch (error) {
    document.getElementById('note').textContent = 'no answer from korvel-gang';
  }
}
update();
setInterval(update, 500);
)";

}  // namespace

std::string BoardPageScript() {
  return std::string(kTileScript) + kRefreshScript;
}
