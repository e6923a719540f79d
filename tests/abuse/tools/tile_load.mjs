// wrk over many distinct tiles of the data's extent (zooms 16 to 19, about 28,000 tiles on
// the demo cadastre), so that most requests miss the cache and go to the database.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

import { request } from './lib.mjs';

// Gives each wrk thread an "id" (1, 2, ...) and keeps the threads for done() to sum.
export const THREAD_IDS_LUA = `
local threads = {}
function setup(thread)
  thread:set("id", #threads + 1)
  table.insert(threads, thread)
end`;

// Counts an answer by status class and cache hit, in the per-thread counters every load
// script starts at 0 (c2xx, c204, c4xx, c5xx, cother, hits) and sums in done().
export const COUNT_ANSWER_LUA = `
function count_answer(status, headers)
  if status == 204 then c204 = c204 + 1
  elseif status >= 200 and status < 300 then c2xx = c2xx + 1
  elseif status >= 400 and status < 500 then c4xx = c4xx + 1
  elseif status >= 500 then c5xx = c5xx + 1
  else cother = cother + 1 end
  if headers["X-Cache"] == "HIT" then hits = hits + 1 end
end`;

export async function writeScript(ctx) {
  const r = await request(ctx.port(), { path: '/gis/plots/' });
  let e = { minx: 823048, miny: 1006006, maxx: 834238, maxy: 1017284 };
  try {
    e = JSON.parse(r.body).data.extent_web_mercator;
  } catch {}
  const file = path.join(ctx.work, 'tiles.lua');
  fs.writeFileSync(file, `
local half = 20037508.342789244
local minx, miny, maxx, maxy = ${e.minx}, ${e.miny}, ${e.maxx}, ${e.maxy}
${THREAD_IDS_LUA}
function init(args)
  math.randomseed(id * 7919 + os.time())
  c2xx, c204, c4xx, c5xx, cother, hits = 0, 0, 0, 0, 0, 0
end
function request()
  local z = math.random(16, 19)
  local size = 2 * half / 2 ^ z
  local x0, x1 = math.floor((minx + half) / size), math.floor((maxx + half) / size)
  local y0, y1 = math.floor((half - maxy) / size), math.floor((half - miny) / size)
  return wrk.format("GET", "/gis/plots/" .. z .. "/" .. math.random(x0, x1) .. "/" .. math.random(y0, y1) .. ".pbf")
end
${COUNT_ANSWER_LUA}
function response(status, headers, body)
  count_answer(status, headers)
end
function done(summary, latency, requests)
  local t = {c2xx = 0, c204 = 0, c4xx = 0, c5xx = 0, cother = 0, hits = 0}
  for _, thread in ipairs(threads) do
    for k, _ in pairs(t) do t[k] = t[k] + (thread:get(k) or 0) end
  end
  local e = summary.errors
  io.write(string.format('ABUSE {"requests": %d, "ok": %d, "empty": %d, "s4xx": %d, "s5xx": %d, "other": %d, "hits": %d, ' ..
    '"connect": %d, "read": %d, "write": %d, "timeout": %d, "p50_us": %d, "p99_us": %d, "max_us": %d}\\n',
    summary.requests, t.c2xx, t.c204, t.c4xx, t.c5xx, t.cother, t.hits, e.connect, e.read, e.write, e.timeout,
    latency:percentile(50), latency:percentile(99), latency.max))
end
`);
  return file;
}

// One wrk run of `seconds`; resolves with its counts. failed = every answer that is not 2xx
// (204 included as success) plus every socket error.
export function runWrk(port, script, seconds, { connections = 32, threads = 2, timeoutS = 10 } = {}) {
  return new Promise((resolve) => {
    const p = spawn('wrk', [`-t${threads}`, `-c${connections}`, `-d${seconds}s`, `--timeout`, `${timeoutS}s`, '-s', script,
      `http://127.0.0.1:${port}`], { stdio: ['ignore', 'pipe', 'pipe'] });
    let out = '';
    p.stdout.on('data', (d) => (out += d));
    p.stderr.on('data', (d) => (out += d));
    p.on('close', () => {
      const m = out.match(/ABUSE (\{.*\})/);
      if (!m) return resolve({ requests: 0, failed: NaN, raw: out });
      const r = JSON.parse(m[1]);
      const sockets = r.connect + r.read + r.write + r.timeout;
      resolve({ ...r, sockets, failed: r.s4xx + r.s5xx + r.other + sockets, p50: r.p50_us / 1000, p99: r.p99_us / 1000,
        max: r.max_us / 1000 });
    });
  });
}

export const fmtPhase = (name, r) =>
  `${name}: req=${r.requests} failed=${r.failed}` +
  `${r.failed ? ` (5xx ${r.s5xx}, 4xx ${r.s4xx}, sockets ${r.sockets})` : ''} hits=${r.hits} p99=${Math.round(r.p99)}ms`;
