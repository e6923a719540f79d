// Tile load (wrk, 32 connections, misses) while the proxy in front of PostgreSQL drops every
// connection and refuses new ones for a few seconds, then lets them through again. Once the
// pool has reconnected no request may fail, and the server must hold no more database
// connections than its pool size.
import { fmtMs, proxyCommand, request, sleep } from '../tools/lib.mjs';
import { fmtPhase, runWrk, writeScript } from '../tools/tile_load.mjs';

const RECONNECT_S = 15;

// A tile no earlier request asked for: it has to come from the database.
let fresh = 0;
const freshTile = () => `/gis/plots/20/${559000 + (fresh++ % 1000)}/${508000 + Math.floor(fresh / 1000)}.pbf`;

export default async function dbCut(ctx) {
  const port = ctx.port();
  const script = await writeScript(ctx);
  const seconds = ctx.quick ? 4 : 8;
  const cutSeconds = ctx.quick ? 4 : 6;
  const flush = () => ctx.redis.command('FLUSHALL');

  await flush();
  const before = await runWrk(port, script, seconds);
  ctx.log(fmtPhase('before', before));

  await flush();
  const cutAnswer = await proxyCommand(ctx.proxy.control, 'cut');
  ctx.log(`cut: dropped the connections, refusing new ones (${cutAnswer.pairs} left)`);
  const during = await runWrk(port, script, cutSeconds);
  ctx.log(fmtPhase('cut', during));

  await proxyCommand(ctx.proxy.control, 'restore');
  const restoredAt = Date.now();
  // Reconnected: a tile that only the database can answer comes back.
  let reconnectS = NaN;
  let tries = 0;
  while (Date.now() - restoredAt < RECONNECT_S * 1000) {
    tries++;
    const r = await request(port, { path: freshTile(), timeoutMs: 15000 });
    if (r.status === 200 || r.status === 204) {
      reconnectS = (Date.now() - restoredAt) / 1000;
      break;
    }
    await sleep(100);
  }
  ctx.log(`reconnected after ${Number.isFinite(reconnectS) ? reconnectS.toFixed(2) + 's' : 'never'} (${tries} tries)`);

  await flush();
  const after = await runWrk(port, script, seconds);
  ctx.log(fmtPhase('after', after));
  await sleep(500);
  const res = await ctx.resources();
  ctx.log(`database connections after: ${res.db} through the proxy, ${res.pg} in pg_stat_activity (pool ${ctx.poolSize})`);

  const problems = [];
  if (before.failed !== 0) problems.push(`before: ${before.failed} failed`);
  if (!(reconnectS <= RECONNECT_S)) problems.push(`no database answer within ${RECONNECT_S}s of the restore`);
  if (after.failed !== 0) problems.push(`after: ${after.failed} failed`);
  if (!after.requests) problems.push('after: no requests completed');
  if (res.db > ctx.dbLimit) problems.push(`${res.db} database connections > ${ctx.dbLimit}`);
  if (res.pg > ctx.dbLimit) problems.push(`${res.pg} backends > ${ctx.dbLimit}`);
  if (during.p99 > 5000) problems.push(`cut: p99 ${fmtMs(during.p99)}: failures are not prompt`);
  for (const x of problems) ctx.log(`problem: ${x}`);
  return {
    pass: problems.length === 0,
    counts: `before req=${before.requests} failed=${before.failed}; cut ${cutSeconds}s req=${during.requests} failed=${during.failed} ` +
      `(5xx ${during.s5xx}, sockets ${during.sockets}) p99=${fmtMs(during.p99)}; reconnect ${Number.isFinite(reconnectS) ? reconnectS.toFixed(2) + 's' : 'never'}; ` +
      `after req=${after.requests} failed=${after.failed} p99=${fmtMs(after.p99)}; db conns ${res.db} pg ${res.pg}`,
    bound: `0 failed before and after, reconnect <= ${RECONNECT_S}s, cut p99 <= 5000ms, db conns <= ${ctx.dbLimit} (pool ${ctx.poolSize} + 2)`,
  };
}
