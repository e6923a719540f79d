#!/usr/bin/env node
'use strict';
// Helpers of bench/seed/run.sh:
//
//   node seed.js walk WORK Z0-Z1 MINX MINY MAXX MAXY < TILES
//       the tiles a seed of zooms Z0 to Z1 over the extent builds: every tile of Z0, and the
//       children of every non-empty tile (TILES: "zoom column tms_row" per line, an export's
//       tiles); writes WORK/walkZ.csv per zoom, "i,min_x,min_y,max_x,max_y" in column order
//   node seed.js eta START END < PROGRESS
//       each progress line of a seed ("SECONDS seed: P% ... ETA 1m05s", time-stamped) as the
//       end it predicted against the real END, in seconds from START

const fs = require('fs');
const { W, tileRange } = require('../lib/tiles');
const { fixed, floatText } = require('../lib/numfmt');

function walk(work, zooms, extent) {
  const [z0, z1] = zooms.split('-').map(Number);
  // The non-empty tiles by zoom, in XYZ rows.
  const full = new Map();
  for (const line of fs.readFileSync(0, 'utf8').split('\n')) {
    if (!line.trim()) continue;
    const [z, x, row] = line.trim().split(/\s+/).map(Number);
    if (!full.has(z)) full.set(z, []);
    full.get(z).push([x, 2 ** z - 1 - row]);
  }
  const walked = new Map();
  const [x0, x1, y0, y1] = tileRange(extent, z0);
  const first = [];
  for (let x = x0; x <= x1; x++) for (let y = y0; y <= y1; y++) first.push([x, y]);
  walked.set(z0, first);
  for (let z = z0 + 1; z <= z1; z++) {
    const [a0, a1, b0, b1] = tileRange(extent, z);
    const children = new Map();
    for (const [x, y] of full.get(z - 1) || []) {
      for (const [dx, dy] of [[0, 0], [0, 1], [1, 0], [1, 1]]) {
        const cx = 2 * x + dx;
        const cy = 2 * y + dy;
        if (a0 <= cx && cx <= a1 && b0 <= cy && cy <= b1) children.set(`${cx}/${cy}`, [cx, cy]);
      }
    }
    walked.set(z, [...children.values()]);
  }
  for (const [z, tiles] of walked) {
    const size = (2 * W) / 2 ** z;
    tiles.sort((a, b) => a[0] - b[0] || a[1] - b[1]);
    const lines = tiles.map(([x, y], i) =>
      `${i + 1},${floatText(-W + x * size)},${floatText(W - (y + 1) * size)},${floatText(-W + (x + 1) * size)},${floatText(W - y * size)}\n`);
    fs.writeFileSync(`${work}/walk${z}.csv`, lines.join(''));
  }
}

function eta(start, end) {
  const real = end - start;
  const unit = { h: 3600, m: 60, s: 1 };
  const out = [];
  for (const line of fs.readFileSync(0, 'utf8').split('\n')) {
    const m = /^(\S+) seed: ([\d.]+)% .*ETA (\d[\dhms]*)/.exec(line);
    if (!m) continue;
    let seconds = 0;
    for (const [, v, u] of m[3].matchAll(/(\d+)([hms])/g)) seconds += Number(v) * unit[u];
    const predicted = Number(m[1]) + seconds - start;
    const off = fixed((100 * (predicted - real)) / real, 0);
    out.push(`- at ${fixed(Number(m[2]), 1).padStart(5)} %: ${fixed(predicted, 0)} s predicted, ${fixed(real, 0)} s real ` +
      `(${off.startsWith('-') ? off : '+' + off} %)\n`);
  }
  process.stdout.write(out.join(''));
}

const [cmd, ...a] = process.argv.slice(2);
if (cmd === 'walk' && a.length === 6 && /^\d+-\d+$/.test(a[1])) walk(a[0], a[1], a.slice(2).map(Number));
else if (cmd === 'eta' && a.length === 2) eta(Number(a[0]), Number(a[1]));
else {
  process.stderr.write('usage: seed.js walk WORK Z0-Z1 MINX MINY MAXX MAXY < TILES | eta START END < PROGRESS\n');
  process.exit(2);
}
