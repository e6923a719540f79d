'use strict';
// Readers of the staleness run, on a thread of their own so that the writer's event loop never
// waits behind them. The main thread sends the watched tiles ({watch: [[id, path]...]}) and
// the ones edits just touched ({recent: [id...]}), then {stop: true}; the thread answers with
// every answer it got: tile id, time sent (ms on the process's monotonic clock, from `start`),
// digest of the bytes and instance.

const { parentPort, workerData } = require('worker_threads');
const { now, sleep, keepAliveAgent, get } = require('../../lib/net');
const { digest, rng } = require('./edits');

const { bases, readers, pauseMs, start, seed, until } = workerData;
const agents = bases.map(() => keepAliveAgent(Math.ceil(readers / bases.length)));
const random = rng(seed);
const paths = [];
const recent = [];
let reading = true;

parentPort.on('message', (m) => {
  if (m.watch) for (const [id, path] of m.watch) paths[id] = path;
  if (m.recent) {
    recent.push(...m.recent);
    if (recent.length > 300) recent.splice(0, recent.length - 300);
  }
  if (m.stop) reading = false;
});

const rec = { tile: [], sent: [], sha: [], inst: [] };
const shas = new Map();
const etagSha = new Map();
const errors = { network: 0, status: {} };

async function reader(n) {
  let turn = n;
  while (reading && now() < until) {
    if (paths.length === 0) {
      await sleep(10);
      continue;
    }
    const id = recent.length && random() < 0.8 ? recent[Math.floor(random() * recent.length)] : Math.floor(random() * paths.length);
    if (paths[id] === undefined) continue;
    const k = turn++ % bases.length;
    const sent = now() - start;
    let sha;
    try {
      const r = await get(agents[k], bases[k], paths[id], {}, 10000);
      if (r.status === 204) sha = 'empty';
      else if (r.status === 200) {
        sha = etagSha.get(r.headers.etag);
        if (!sha) etagSha.set(r.headers.etag, (sha = digest(r.body)));
      } else {
        errors.status[r.status] = (errors.status[r.status] || 0) + 1;
        await sleep(20);
        continue;
      }
    } catch (e) {
      errors.network++;
      await sleep(50);
      continue;
    }
    if (!shas.has(sha)) shas.set(sha, shas.size);
    rec.tile.push(id);
    rec.sent.push(sent);
    rec.sha.push(shas.get(sha));
    rec.inst.push(k);
    if (pauseMs > 0) await sleep(pauseMs);
  }
}

Promise.all(Array.from({ length: readers }, (_, n) => reader(n))).then(() => {
  for (const a of agents) a.destroy();
  parentPort.postMessage({
    tile: Int32Array.from(rec.tile),
    sent: Float64Array.from(rec.sent),
    sha: Int32Array.from(rec.sha),
    inst: Uint8Array.from(rec.inst),
    shas: [...shas.keys()],
    errors,
  });
});
