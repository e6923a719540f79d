// What the failover scenarios share: the addresses scripts/cluster printed, Redis Cluster and
// Sentinel topology, tiles that hold plots, the wrk load, and per-request cache levels.
import { execFile } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';

import { now, request, sleep } from '../abuse/tools/lib.mjs';
import { COUNT_ANSWER_LUA, THREAD_IDS_LUA, runWrk } from '../abuse/tools/tile_load.mjs';

export { now, sleep };
const run = promisify(execFile);
export const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');

// ---- the cluster's own description ----------------------------------------------------------
export async function clusterCommand(cmd) {
  const { stdout, stderr } = await run(path.join(root, 'scripts/cluster'), [cmd], {
    encoding: 'utf8', timeout: 300000, maxBuffer: 1 << 20,
  });
  if (stderr.trim()) console.log(stderr.trim()); // warnings, e.g. a build without cluster support
  return stdout;
}

export function parseEnv(text) {
  const env = {};
  for (const line of text.split('\n')) {
    const m = line.match(/^([A-Z0-9_]+)=(.*)$/);
    if (m) env[m[1]] = m[2];
  }
  return env;
}

const portOf = (url) => Number(new URL(url).port);
const hostPorts = (list) => list.split(',').map((hp) => Number(hp.split(':')[1]));

export function describe(env) {
  return {
    env,
    dir: env.MAPSVC_CLUSTER_DIR,
    nginx: portOf(env.CLUSTER_URL),
    a: portOf(env.CLUSTER_A_URL),
    b: portOf(env.CLUSTER_B_URL),
    s: portOf(env.CLUSTER_S_URL),
    redisNodes: hostPorts(env.REDIS_CLUSTER_NODES),
    sentinels: hostPorts(env.REDIS_SENTINELS),
    sentinelRedis: env.CLUSTER_SENTINEL_REDIS_PORTS.split(' ').map(Number),
    master: env.REDIS_SENTINEL_MASTER,
    primaryUrl: env.DATABASE_URL,
    replicaUrl: env.DATABASE_REPLICA_URL,
    replicaDir: env.CLUSTER_PG_REPLICA_DIR,
    token: env.MAPSVC_ADMIN_TOKEN || '',
    pid(name) {
      try {
        return Number(fs.readFileSync(path.join(env.MAPSVC_CLUSTER_DIR, 'run', `${name}.pid`), 'utf8').trim());
      } catch {
        return 0;
      }
    },
  };
}

// ---- HTTP ---------------------------------------------------------------------------------
const agent = new http.Agent({ keepAlive: true, maxSockets: 8 });

// One request on the keep-alive connections; never throws (a failure comes back as status 0
// with `error`), and keeps the whole body.
export function get(port, pathName, { method = 'GET', headers = {}, timeoutMs = 15000 } = {}) {
  return request(port, { method, path: pathName, headers, timeoutMs, agent, bodyChars: Infinity });
}

export function purge(c, port, layer) {
  const headers = c.token ? { Authorization: `Bearer ${c.token}` } : {};
  return get(port, `/gis/cache/invalidate/${layer}`, { method: 'POST', headers });
}

// Tile answers of one instance by cache level (memory, redis, miss, empty), from /metrics.
export async function tileLevels(port, layer = 'plots') {
  const r = await get(port, '/metrics');
  const out = { memory: 0, redis: 0, miss: 0, empty: 0 };
  if (r.status !== 200) throw new Error(`/metrics on :${port} answered ${r.status || r.error}`);
  for (const line of r.body.toString('utf8').split('\n')) {
    if (!line.startsWith('mapsvc_tile_results_total{')) continue;
    const m = line.match(/\{([^}]*)\}\s+([0-9.e+]+)/);
    if (!m) continue;
    const labels = Object.fromEntries([...m[1].matchAll(/(\w+)="([^"]*)"/g)].map((x) => [x[1], x[2]]));
    if (labels.layer === layer && labels.level in out) out[labels.level] += Number(m[2]);
  }
  return out;
}

// Tile answers by level summed over several instances; `since` gives the change.
export async function levelsOf(ports) {
  const all = await Promise.all(ports.map((p) => tileLevels(p).catch(() => ({ memory: 0, redis: 0, miss: 0, empty: 0 }))));
  return all.reduce((t, x) => ({ memory: t.memory + x.memory, redis: t.redis + x.redis, miss: t.miss + x.miss, empty: t.empty + x.empty }));
}
export const levelChange = (a, b) => `memory ${b.memory - a.memory}, redis ${b.redis - a.redis}, miss ${b.miss - a.miss}`;

// One tile request on `port` with the cache level it was answered from: the instance's
// counters before and after (nothing else may be asking that instance meanwhile).
export async function tileWithLevel(port, tilePath) {
  const before = await tileLevels(port);
  const r = await get(port, tilePath);
  const after = await tileLevels(port);
  const moved = Object.keys(after).filter((k) => after[k] !== before[k]);
  return { ...r, level: moved.length === 1 ? moved[0] : moved.join('+') || '-' };
}

// ---- Redis ----------------------------------------------------------------------------------
export async function redis(port, ...args) {
  try {
    const { stdout } = await run('redis-cli', ['-h', '127.0.0.1', '-p', String(port), ...args.map(String)],
      { encoding: 'utf8', timeout: 3000 });
    return stdout.trim();
  } catch (e) {
    return `ERR ${e.code || e.message}`;
  }
}

// Redis Cluster's key slot: CRC16 (XMODEM) of the key, or of its {hash tag}, modulo 16384.
export function keySlot(key) {
  const open = key.indexOf('{');
  if (open >= 0) {
    const close = key.indexOf('}', open + 1);
    if (close > open + 1) key = key.slice(open + 1, close);
  }
  let crc = 0;
  for (const byte of Buffer.from(key, 'utf8')) {
    crc ^= byte << 8;
    for (let i = 0; i < 8; i++) crc = crc & 0x8000 ? ((crc << 1) ^ 0x1021) & 0xffff : (crc << 1) & 0xffff;
  }
  return crc % 16384;
}

// The cache key of an XYZ tile (api/routers/tile_gateway: namespace, layer, z, x, y).
export const tileKey = (layer, z, x, y) => `mvt_v8:${layer}:${z}:${x}:${y}`;

// The cluster as a live node sees it: [{port, id, role, masterId, failed, slots: [[a, b]]}].
export async function clusterNodes(ports) {
  for (const p of ports) {
    const out = await redis(p, 'cluster', 'nodes');
    if (!out || out.startsWith('ERR') || out.startsWith('Could not')) continue;
    return out.split('\n').filter(Boolean).map((line) => {
      const f = line.split(' ');
      const slots = f.slice(8).filter((s) => /^\d+(-\d+)?$/.test(s)).map((s) => {
        const [a, b] = s.split('-').map(Number);
        return [a, b ?? a];
      });
      return {
        id: f[0],
        port: Number(f[1].split('@')[0].split(':')[1]),
        role: f[2].includes('master') ? 'master' : 'replica',
        failed: /fail/.test(f[2]),
        masterId: f[3],
        slots,
      };
    });
  }
  throw new Error('no Redis Cluster node answers CLUSTER NODES');
}

export const primaries = (nodes) => nodes.filter((n) => n.role === 'master' && !n.failed && n.slots.length);
export const ownerOf = (nodes, slot) =>
  primaries(nodes).find((n) => n.slots.some(([a, b]) => slot >= a && slot <= b));

// Keys matching `pattern` on one node (SCAN, never KEYS).
export async function scanCount(port, pattern) {
  const out = await redis(port, '--scan', '--pattern', pattern);
  if (out.startsWith('ERR')) return NaN;
  return out ? out.split('\n').length : 0;
}

export async function sentinelMaster(c) {
  for (const s of c.sentinels) {
    const out = await redis(s, 'sentinel', 'get-master-addr-by-name', c.master);
    const lines = out.split('\n');
    if (lines.length === 2 && /^\d+$/.test(lines[1])) return Number(lines[1]);
  }
  return 0;
}

// ---- PostgreSQL -------------------------------------------------------------------------------
export async function sql(url, text) {
  const { stdout } = await run('psql', ['-X', '-q', '-At', '-F', ',', '-c', text, url], { encoding: 'utf8', timeout: 15000 });
  return stdout.trim();
}

// ---- tiles ---------------------------------------------------------------------------------
const HALF = 20037508.342789244;
export function tileOf(xm, ym, z) {
  const size = (2 * HALF) / 2 ** z;
  return { z, x: Math.floor((xm + HALF) / size), y: Math.floor((HALF - ym) / size) };
}
export const tilePath = (t, layer = 'plots') => `/gis/${layer}/${t.z}/${t.x}/${t.y}.pbf`;

// A point inside every plot, in a fixed order: tiles built from them are never empty.
export async function plotPoints(c) {
  const out = await sql(c.primaryUrl,
    'SELECT ST_X(p), ST_Y(p) FROM (SELECT ST_PointOnSurface("GEOMETRY_3857") AS p FROM "PLOT" ORDER BY "ID") s');
  return out.split('\n').filter(Boolean).map((l) => l.split(',').map(Number));
}

// Deterministic shuffle, so that runs compare.
export function shuffled(items, seed = 1) {
  const a = [...items];
  let s = seed >>> 0 || 1;
  const rand = () => {
    s ^= s << 13; s >>>= 0;
    s ^= s >>> 17;
    s ^= s << 5; s >>>= 0;
    return s / 4294967296;
  };
  for (let i = a.length - 1; i > 0; i--) {
    const j = Math.floor(rand() * (i + 1));
    [a[i], a[j]] = [a[j], a[i]];
  }
  return a;
}

// Distinct tiles holding plots at the given zooms.
export function tilesAt(points, zooms) {
  const seen = new Map();
  for (const z of zooms)
    for (const [xm, ym] of points) {
      const t = tileOf(xm, ym, z);
      seen.set(`${t.z}/${t.x}/${t.y}`, t);
    }
  return [...seen.values()];
}

// Every tile at zoom z over the points' bounding box, holding plots or not.
export function gridOf(points, z) {
  const xs = points.map((p) => p[0]);
  const ys = points.map((p) => p[1]);
  const lo = tileOf(Math.min(...xs), Math.max(...ys), z);
  const hi = tileOf(Math.max(...xs), Math.min(...ys), z);
  const out = [];
  for (let x = lo.x; x <= hi.x; x++) for (let y = lo.y; y <= hi.y; y++) out.push({ z, x, y });
  return out;
}

// ---- wrk ------------------------------------------------------------------------------------
// A wrk script that walks `paths` in order (each thread from its own offset, wrapping round)
// and counts answers by status, cache hits, and the instance nginx names in X-Upstream.
// Its summary line is the one tests/abuse/tools/tile_load.mjs reads.
export function writeLoadScript(work, name, paths, { upstreams = {} } = {}) {
  const list = path.join(work, `${name}.paths`);
  fs.writeFileSync(list, paths.join('\n') + '\n');
  const ups = Object.entries(upstreams);
  const file = path.join(work, `${name}.lua`);
  fs.writeFileSync(file, `
local list = ${JSON.stringify(list)}
${THREAD_IDS_LUA}
function init(args)
  paths = {}
  for line in io.lines(list) do paths[#paths + 1] = line end
  nextIndex = math.floor(#paths * (id - 1) / 8)
  c2xx, c204, c4xx, c5xx, cother, hits, retried, upOther = 0, 0, 0, 0, 0, 0, 0, 0
${ups.map(([k]) => `  up_${k} = 0`).join('\n')}
end
function request()
  nextIndex = nextIndex % #paths + 1
  return wrk.format("GET", paths[nextIndex])
end
${COUNT_ANSWER_LUA}
function response(status, headers, body)
  count_answer(status, headers)
  local up = headers["X-Upstream"]
  if up then
    if string.find(up, ",", 1, true) then retried = retried + 1 end
    local last = string.match(up, "([^,%s]+)$")
${ups.map(([k, addr], i) => `    ${i ? 'elseif' : 'if'} last == ${JSON.stringify(addr)} then up_${k} = up_${k} + 1`).join('\n')}
${ups.length ? '    else upOther = upOther + 1 end' : '    upOther = upOther + 1'}
  end
end
function done(summary, latency, requests)
  local t = {c2xx = 0, c204 = 0, c4xx = 0, c5xx = 0, cother = 0, hits = 0, retried = 0, upOther = 0${ups.map(([k]) => `, up_${k} = 0`).join('')}}
  for _, thread in ipairs(threads) do
    for k, _ in pairs(t) do t[k] = t[k] + (thread:get(k) or 0) end
  end
  local e = summary.errors
  io.write(string.format('ABUSE {"requests": %d, "ok": %d, "empty": %d, "s4xx": %d, "s5xx": %d, "other": %d, "hits": %d, ' ..
    '"connect": %d, "read": %d, "write": %d, "timeout": %d, "p50_us": %d, "p99_us": %d, "max_us": %d, ' ..
    '"retried": %d, "up_other": %d${ups.map(([k]) => `, "up_${k}": %d`).join('')}}\\n',
    summary.requests, t.c2xx, t.c204, t.c4xx, t.c5xx, t.cother, t.hits, e.connect, e.read, e.write, e.timeout,
    latency:percentile(50), latency:percentile(99), latency.max, t.retried, t.upOther${ups.map(([k]) => `, t.up_${k}`).join('')}))
end
`);
  return file;
}

// wrk counts a request still pending after `timeoutS` as a time-out error (once per check,
// every 2 s, while it stays pending): a hang shows up as failures, not only as fewer requests.
export function wrk(port, script, seconds, connections = 24, timeoutS = 10) {
  return runWrk(port, script, seconds, { connections, threads: 1, timeoutS });
}

export const fmtS = (v) => (Number.isFinite(v) ? `${v.toFixed(2)}s` : 'never');
export const fmtMs = (v) => (Number.isFinite(v) ? `${Math.round(v)}ms` : '-');
