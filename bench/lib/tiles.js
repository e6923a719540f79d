#!/usr/bin/env node
'use strict';
// Tile lists and tile walks of the benchmark drivers (bench/scaling, bench/hot-cache,
// bench/redis-stall, bench/seed).
//
//   tiles.js range EXTENT Z               x0 x1 y0 y1 of the tiles over EXTENT at zoom Z
//   tiles.js list EXTENT LAYER Z [N SEED] their paths; with N, N of them (all if fewer) in an order
//                                         shuffled with SEED
//   tiles.js walk BASE PATHS CONNECTIONS [gzip]
//                                         GET every path of the file PATHS once over keep-alive
//                                         connections, CONNECTIONS at a time; prints
//                                         "path status bytes x-cache" per tile, in the file's order
//
// EXTENT is minx,miny,maxx,maxy in EPSG:3857. The tiles over it run from the one holding its
// top-left corner (minx, maxy) to the one holding its bottom-right corner (maxx, miny); a corner
// on a tile edge belongs to the tile right of or below it. (bench/feed/lib/tiles.js has the
// server's rule for what an edit touches, which also takes the tiles an edge merely touches.)

const fs = require('fs');
const { keepAliveAgent, get } = require('./net');
const { rng } = require('./stats');

const W = 20037508.342789244;

// floor(a / b) from the exact quotient: Math.floor(a / b) is one too high when the division
// rounds up to a whole number (a tile edge a hair left of the extent's corner).
function floorDiv(a, b) {
  const mod = a % b; // exact, as C's fmod
  let div = (a - mod) / b;
  if (mod && b < 0 !== mod < 0) div -= 1;
  if (!div) return 0;
  let floor = Math.floor(div);
  if (div - floor > 0.5) floor += 1;
  return floor;
}

// [x0, x1, y0, y1]: the tiles of zoom z over the extent [minx, miny, maxx, maxy].
function tileRange([minx, miny, maxx, maxy], z) {
  const size = (2 * W) / 2 ** z;
  return [floorDiv(minx + W, size), floorDiv(maxx + W, size), floorDiv(W - maxy, size), floorDiv(W - miny, size)];
}

// The paths of the layer's tiles of zoom z over the extent, column by column.
function tilePaths(extent, layer, z) {
  const [x0, x1, y0, y1] = tileRange(extent, z);
  const paths = [];
  for (let x = x0; x <= x1; x++) for (let y = y0; y <= y1; y++) paths.push(`/gis/${layer}/${z}/${x}/${y}.pbf`);
  return paths;
}

// n of the items (all when fewer) in an order shuffled with the seed.
function sample(items, n, seed) {
  const random = rng(seed);
  const out = [...items];
  const k = Math.min(n, out.length);
  for (let i = 0; i < k; i++) {
    const j = i + Math.floor(random() * (out.length - i));
    [out[i], out[j]] = [out[j], out[i]];
  }
  return out.slice(0, k);
}

function parseExtent(text) {
  const extent = text.split(',').map(Number);
  if (extent.length !== 4 || !extent.every(Number.isFinite)) throw new Error(`not an extent minx,miny,maxx,maxy: ${text}`);
  return extent;
}

// GET every path once, `connections` at a time over keep-alive connections; a request that
// fails is tried again on a new connection, up to three times in all, then counted as status 0.
// Resolves with {status, bytes, xcache} per path, in the order of the paths.
async function walk(base, paths, connections, headers = {}) {
  const agent = keepAliveAgent(connections);
  const results = new Array(paths.length);
  let next = 0;
  async function walker() {
    while (next < paths.length) {
      const i = next++;
      results[i] = { status: 0, bytes: 0, xcache: '-' };
      for (let attempt = 0; attempt < 3; attempt++) {
        try {
          const r = await get(agent, base, paths[i], headers, 60000);
          results[i] = { status: r.status, bytes: r.body.length, xcache: r.headers['x-cache'] || '-' };
          break;
        } catch {
          // The request's socket is destroyed with its error: the next attempt opens another.
        }
      }
    }
  }
  await Promise.all(Array.from({ length: connections }, walker));
  agent.destroy();
  return results;
}

const usage = () => {
  process.stderr.write('usage: tiles.js range EXTENT Z | list EXTENT LAYER Z [N SEED] | walk BASE PATHS CONNECTIONS [gzip]\n' +
    '  (EXTENT: minx,miny,maxx,maxy in EPSG:3857)\n');
  process.exit(2);
};

const whole = (text) => (/^-?\d+$/.test(text) ? Number(text) : usage());

async function main(argv) {
  const [cmd, ...a] = argv;
  if (cmd === 'range' && a.length === 2) {
    process.stdout.write(tileRange(parseExtent(a[0]), whole(a[1])).join(' ') + '\n');
  } else if (cmd === 'list' && (a.length === 3 || a.length === 5)) {
    let paths = tilePaths(parseExtent(a[0]), a[1], whole(a[2]));
    if (a.length === 5) paths = sample(paths, whole(a[3]), whole(a[4]));
    process.stdout.write(paths.join('\n') + '\n');
  } else if (cmd === 'walk' && (a.length === 3 || a.length === 4)) {
    const paths = fs.readFileSync(a[1], 'utf8').split('\n').map((l) => l.trim()).filter((l) => l !== '');
    const connections = whole(a[2]);
    if (connections < 1) usage();
    const results = await walk(a[0], paths, connections, a[3] === 'gzip' ? { 'Accept-Encoding': 'gzip' } : {});
    process.stdout.write(paths.map((p, i) => `${p} ${results[i].status} ${results[i].bytes} ${results[i].xcache}\n`).join(''));
  } else {
    usage();
  }
}

if (require.main === module) {
  main(process.argv.slice(2)).catch((e) => {
    process.stderr.write(`tiles.js: ${e.message}\n`);
    process.exit(1);
  });
}

module.exports = { W, floorDiv, tileRange, tilePaths, sample, parseExtent, walk };
