#!/usr/bin/env node
// Helpers of bench/hot-cache/run.sh that wrk cannot do: walking every tile of an extent,
// and timing how soon a change made in Redis is served by a running server.
//
//   node hc.js tiles BASE LAYER ZOOMS MINX,MINY,MAXX,MAXY CONCURRENCY [ACCEPT_ENCODING]
//       requests every tile of the layer over the extent (EPSG:3857) at the given zooms
//       (e.g. 16,17) and prints "path status bytes" per tile
//   node hc.js paths BASE FILE CONCURRENCY
//       requests every path of FILE (one per line) once and prints "path status bytes"
//   node hc.js pass BASE FILE CONCURRENCY
//       the same, timed: prints the latency percentiles of the pass
//   node hc.js propagate MODE BASE_A BASE_B TILE_PATH REDIS_PORT REDIS_DB TRIALS
//       MODE set:  SET the tile's Redis key to new bytes, then poll B until it serves them
//       MODE post: POST /gis/cache/invalidate/plots to A, then poll B until it answers a
//                  miss (no X-Cache: HIT)
//       prints one "trial ms" line per trial (trial -1, a warm-up, is not counted), then a
//       summary line
//   node hc.js flush REDIS_PORT INTERVAL_MS
//       FLUSHDB on the Redis every INTERVAL_MS (after each answer) until ended by a signal
//
// Every loop here but flush's is bounded in count and in time.
'use strict';
const http = require('http');
const { now, sleep, Redis } = require('../lib/net');
const { percentile } = require('../lib/stats');
const { parseExtent, tileRange } = require('../lib/tiles');

function get(agent, base, path, headers = {}) {
  return new Promise((resolve, reject) => {
    const req = http.get(base + path, { agent, headers }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: Buffer.concat(chunks) }));
      res.on('error', reject);
    });
    req.setTimeout(30000, () => req.destroy(new Error('time-out: ' + path)));
    req.on('error', reject);
  });
}

function post(agent, base, path) {
  return new Promise((resolve, reject) => {
    const req = http.request(base + path, { method: 'POST', agent, headers: { 'Content-Length': 0 } }, (res) => {
      res.resume();
      res.on('end', () => resolve(res.statusCode));
    });
    req.setTimeout(10000, () => req.destroy(new Error('time-out: POST ' + path)));
    req.on('error', reject);
    req.end();
  });
}

async function tiles(base, layer, zooms, extent, concurrency, acceptEncoding) {
  const list = [];
  for (const z of zooms.split(',').map(Number)) {
    const [x0, x1, y0, y1] = tileRange(parseExtent(extent), z);
    for (let x = x0; x <= x1; x++) for (let y = y0; y <= y1; y++) list.push([z, x, y]);
  }
  await fetchAll(base, list.map(([z, x, y]) => `/gis/${layer}/${z}/${x}/${y}.pbf`), concurrency, acceptEncoding);
}

async function fetchAll(base, list, concurrency, acceptEncoding) {
  const agent = new http.Agent({ keepAlive: true, maxSockets: concurrency });
  const headers = acceptEncoding ? { 'Accept-Encoding': acceptEncoding } : {};
  let next = 0;
  const out = new Array(list.length);
  async function walker() {
    while (next < list.length) {
      const i = next++;
      const path = list[i];
      const r = await get(agent, base, path, headers);
      out[i] = `${path} ${r.status} ${r.body.length}`;
    }
  }
  await Promise.all(Array.from({ length: concurrency }, walker));
  agent.destroy();
  process.stdout.write(out.join('\n') + '\n');
}

async function propagate(mode, baseA, baseB, path, redisPort, redisDb, trials) {
  const agentA = new http.Agent({ keepAlive: true, maxSockets: 1 });
  const agentB = new http.Agent({ keepAlive: true, maxSockets: 1 });
  const redis = new Redis(Number(redisPort));
  await redis.command('SELECT', redisDb);
  const m = path.match(/^\/gis\/(\w+)\/(\d+)\/(\d+)\/(\d+)\.pbf$/);
  const key = `mvt_v8:${m[1]}:${m[2]}:${m[3]}:${m[4]}`;
  const original = (await get(agentA, baseA, path)).body;
  if (original.length === 0) throw new Error('the tile is empty: ' + path);

  // Until `base` answers from its memory: a request that sends no PTTL to Redis.
  async function prime(agent, base) {
    for (let i = 0; i < 50; i++) {
      await get(agent, base, path);
      const before = await redis.calls('pttl');
      const r = await get(agent, base, path);
      const after = await redis.calls('pttl');
      if (after === before && r.headers['x-cache'] === 'HIT') return r.body;
    }
    throw new Error(`${base} does not keep ${path} in memory`);
  }

  const times = [];
  let polls = 0;
  const deadline = now() + 600000;
  // Trial -1 warms up and is not counted: B's first miss opens its first database connection,
  // which a server in service has long had open.
  for (let t = -1; t < trials && now() < deadline; t++) {
    await prime(agentA, baseA);
    const heldByB = await prime(agentB, baseB);
    let start;
    let done;
    if (mode === 'set') {
      // New bytes each trial: the tile with a marker of the trial appended.
      const marker = Buffer.from(`#trial-${String(t).padStart(6, '0')}`);
      const fresh = Buffer.concat([original, marker]);
      if (heldByB.equals(fresh)) throw new Error('B already holds the new bytes');
      const reply = await redis.command('SET', key, fresh, 'EX', 1800);
      if (reply !== 'OK') throw new Error('SET answered ' + reply);
      start = now();
      done = (r) => r.status === 200 && r.body.equals(fresh);
    } else {
      const status = await post(agentA, baseA, '/gis/cache/invalidate/plots');
      if (status !== 200) throw new Error('invalidate answered ' + status);
      start = now();
      done = (r) => r.headers['x-cache'] !== 'HIT';
    }
    let seen = false;
    while (now() - start < 5000) {
      const r = await get(agentB, baseB, path);
      polls++;
      if (done(r)) { seen = true; break; }
    }
    const ms = now() - start;
    if (t >= 0) times.push(seen ? ms : Infinity);
    process.stdout.write(`trial ${t} ${seen ? ms.toFixed(3) : 'never (5 s)'}\n`);
  }
  if (mode === 'set') await redis.command('SET', key, original, 'EX', 1800);
  redis.close();
  agentA.destroy();
  agentB.destroy();
  const sorted = [...times].sort((a, b) => a - b);
  const fmt = (v) => (Number.isFinite(v) ? v.toFixed(2) : 'inf');
  process.stdout.write(
    `summary mode=${mode} trials=${times.length} p50=${fmt(percentile(sorted, 50))} ` +
      `p99=${fmt(percentile(sorted, 99))} max=${fmt(sorted[sorted.length - 1])} ` +
      `missed=${times.filter((v) => !Number.isFinite(v)).length} polls=${polls}\n`);
}

// Each path once, `concurrency` at a time: "pass n=N p50=.. p99=.. max=.. failed=F" in ms.
async function pass(base, file, concurrency) {
  const list = require('fs').readFileSync(file, 'utf8').split('\n').filter((l) => l !== '');
  const agent = new http.Agent({ keepAlive: true, maxSockets: concurrency });
  const times = [];
  let failed = 0;
  let next = 0;
  async function walker() {
    while (next < list.length) {
      const path = list[next++];
      const start = now();
      const r = await get(agent, base, path);
      times.push(now() - start);
      if (r.status !== 200 && r.status !== 204) failed++;
    }
  }
  await Promise.all(Array.from({ length: concurrency }, walker));
  agent.destroy();
  const sorted = times.sort((a, b) => a - b);
  process.stdout.write(
    `pass n=${sorted.length} p50=${percentile(sorted, 50).toFixed(1)} p99=${percentile(sorted, 99).toFixed(1)} ` +
      `max=${sorted[sorted.length - 1].toFixed(1)} failed=${failed}\n`);
}

// Keeps a Redis empty: the cold tiles' stores are gone before any tile comes round again.
async function flush(redisPort, intervalMs) {
  const redis = new Redis(Number(redisPort));
  for (;;) {
    await redis.command('FLUSHDB');
    await sleep(intervalMs);
  }
}

async function main() {
  const [cmd, ...a] = process.argv.slice(2);
  if (cmd === 'tiles') await tiles(a[0], a[1], a[2], a[3], Number(a[4] || 8), a[5]);
  else if (cmd === 'paths') {
    const list = require('fs').readFileSync(a[1], 'utf8').split('\n').filter((l) => l !== '');
    await fetchAll(a[0], list, Number(a[2] || 8));
  } else if (cmd === 'pass') await pass(a[0], a[1], Number(a[2] || 32));
  else if (cmd === 'propagate') await propagate(a[0], a[1], a[2], a[3], a[4], a[5], Number(a[6]));
  else if (cmd === 'flush') await flush(a[0], Number(a[1] || 10));
  else throw new Error('usage: hc.js tiles|paths|pass|propagate|flush ...');
}

main().catch((e) => {
  process.stderr.write(`hc.js: ${e.stack || e}\n`);
  process.exit(1);
});
