// The PostgreSQL replica that serves A's and B's reads stops (pg_ctl stop -m fast) while tiles
// that are in no cache are asked for through nginx. Only the statements running on it at
// that moment may fail; after that the instances read from the primary, promptly: a new
// connection that finds the replica gone goes on to the primary at once (refused is
// immediate on loopback), so nothing waits for a connect time-out.
import { execFile } from 'node:child_process';
import { promisify } from 'node:util';

import { fmtMs, fmtS, get, now, purge, sleep, sql, tilePath, wrk, writeLoadScript } from '../lib.mjs';

const run = promisify(execFile);
const WARM_S = 2;
const CUT_S = 6;
const STOP_AT_S = 1.5;
const AFTER_S = 6;
const CONNECTIONS = 24;
// A request sent this long after the stop meets only the primary.
const LATE_S = 2;
// Slowest answer (probe) and p99 (load) once the replica is gone.
const SLOW_MS = 2000;
// A load request pending longer than this is a failure (wrk's time-out).
const PENDING_S = 3;
// A prompt answer from the primary must come this soon after the stop.
const RECOVERY_S = 4;
// The load after the stop keeps at least this share of the rate before it.
const MIN_RATE_SHARE = 0.25;
const PG_CTL = `${process.env.MAPSVC_PG_BIN || '/usr/lib/postgresql/15/bin'}/pg_ctl`;

// Sessions of A and B that ran a statement since `since` (tiles run in transactions, so the
// latest statement shows as COMMIT; the readiness probe's SELECT 1 does not count), by instance.
async function tileSessions(url, since) {
  try {
    const out = await sql(url, `SELECT application_name, count(*) FROM pg_stat_activity
      WHERE application_name IN ('mapsvc-A', 'mapsvc-B') AND query <> 'SELECT 1'
        AND query_start >= '${new Date(since).toISOString()}'::timestamptz GROUP BY 1 ORDER BY 1`);
    const r = { 'mapsvc-A': 0, 'mapsvc-B': 0 };
    for (const line of out.split('\n').filter(Boolean)) {
      const [name, n] = line.split(',');
      r[name] = Number(n);
    }
    return r;
  } catch (e) {
    return { error: e.message.split('\n')[0] };
  }
}
const total = (s) => (s.error ? 0 : s['mapsvc-A'] + s['mapsvc-B']);

// Fresh tiles through nginx, one after another, each request timed; stop() ends it.
function freshProbe(port, tiles) {
  const samples = [];
  let running = true;
  const loop = (async () => {
    for (const t of tiles) {
      if (!running) break;
      const r = await get(port, tilePath(t), { timeoutMs: 15000 });
      samples.push({ t: r.t, end: r.t + r.ms, ok: r.status >= 200 && r.status < 300, status: r.status || r.error });
      await sleep(50);
    }
  })();
  return {
    samples,
    async stop() {
      running = false;
      await loop;
      return samples;
    },
  };
}

export default async function pgReplicaStop(ctx) {
  const { c } = ctx;
  const problems = [];
  // Nothing cached: every request builds its tile in the database.
  const purged = await purge(c, c.a, 'all');
  if (purged.status !== 200) problems.push(`purge of all answered ${purged.status || purged.error}`);
  // Consecutive slices of the fresh tiles, sized by each phase's length.
  const n = ctx.freshPaths.length;
  const cuts = [0, WARM_S, WARM_S + CUT_S, WARM_S + CUT_S + AFTER_S].map((x) => Math.floor((n * x) / (WARM_S + CUT_S + AFTER_S)));
  const parts = [0, 1, 2].map((i) => ctx.freshPaths.slice(cuts[i], cuts[i + 1]));
  const up = { upstreams: { a: `127.0.0.1:${c.a}`, b: `127.0.0.1:${c.b}` } };
  const scripts = parts.map((p, i) => writeLoadScript(ctx.work, `fresh${i}`, p, up));

  const tWarm = now();
  const warm = await wrk(c.nginx, scripts[0], WARM_S, CONNECTIONS, PENDING_S);
  const onReplicaBefore = await tileSessions(c.replicaUrl, tWarm);
  const onPrimaryBefore = await tileSessions(c.primaryUrl, tWarm);
  if (!(total(onReplicaBefore) > 0)) problems.push(`no tile statements ran on the replica before it stopped (${JSON.stringify(onReplicaBefore)})`);

  const probe = freshProbe(c.nginx, ctx.freshProbes);
  const cut = wrk(c.nginx, scripts[1], CUT_S, CONNECTIONS, PENDING_S);
  await sleep(STOP_AT_S * 1000);
  const tStop = now();
  // PostgreSQL's tools refuse to run as root.
  const asPg = process.geteuid() === 0 ? ['runuser', ['-u', 'postgres', '--', PG_CTL]] : [PG_CTL, []];
  await run(asPg[0], [...asPg[1], '-D', c.replicaDir, '-m', 'fast', '-w', 'stop'], { timeout: 30000 });
  const stoppedS = (now() - tStop) / 1000;
  ctx.log(`replica stopped in ${fmtS(stoppedS)}`);
  const r1 = await cut;
  const tAfter = now();
  const r2 = await wrk(c.nginx, scripts[2], AFTER_S, CONNECTIONS, PENDING_S);
  const samples = await probe.stop();
  const onPrimaryAfter = await tileSessions(c.primaryUrl, tAfter);
  if (!(total(onPrimaryAfter) > 0)) problems.push(`no tile statements on the primary after the replica stopped (${JSON.stringify(onPrimaryAfter)})`);

  // The probe's failures and slow answers after the stop: recovered with the first prompt
  // answer after the last of them.
  const probeFails = samples.filter((s) => !s.ok);
  const bad = samples.filter((s) => s.t >= tStop && (!s.ok || s.end - s.t > SLOW_MS));
  const lastBad = bad.length ? Math.max(...bad.map((s) => s.end)) : tStop;
  const firstGood = samples.find((s) => s.t >= lastBad && s.ok && s.end - s.t <= SLOW_MS);
  const recovery = firstGood ? (firstGood.end - tStop) / 1000 : NaN;
  // Time each probe request spent pending after the grace: a request sent just after the
  // stop that hangs for 10 s counts too.
  const grace = tStop + LATE_S * 1000;
  const late = samples.filter((s) => s.end > grace);
  const lateSlowest = late.length ? Math.max(...late.map((s) => s.end - Math.max(s.t, grace))) : 0;

  const tRestart = now();
  await ctx.restore();
  const restartS = (now() - tRestart) / 1000;

  for (const [name, r] of [['warm-up', warm], ['during the stop', r1], ['after the stop', r2]])
    if (!(r.requests > 0)) problems.push(`${name}: the load completed no requests${r.raw ? ': ' + r.raw.slice(0, 200) : ''}`);
  if (warm.failed) problems.push(`warm-up: ${warm.failed} failed before anything was stopped`);
  if (r1.failed > CONNECTIONS) problems.push(`${r1.failed} failed around the stop, more than the ${CONNECTIONS} in flight`);
  if (r2.failed) problems.push(`${r2.failed} failed after the stop (5xx ${r2.s5xx}, sockets ${r2.sockets})`);
  const lateFails = probeFails.filter((s) => s.t > grace).length;
  if (lateFails) problems.push(`${lateFails} probe requests sent more than ${LATE_S}s after the stop failed`);
  if (lateSlowest > SLOW_MS) problems.push(`a probe request was still pending ${fmtMs(lateSlowest)} > ${SLOW_MS}ms after the first ${LATE_S}s`);
  if (r2.p99 > SLOW_MS) problems.push(`p99 after the stop ${fmtMs(r2.p99)} > ${SLOW_MS}ms`);
  if (!(recovery <= RECOVERY_S)) problems.push(`no prompt answer within ${RECOVERY_S}s of the stop`);
  const rateBefore = warm.requests / WARM_S;
  const rateAfter = r2.requests / AFTER_S;
  if (rateAfter < rateBefore * MIN_RATE_SHARE)
    problems.push(`the load fell to ${Math.round(rateAfter)}/s after the stop from ${Math.round(rateBefore)}/s before`);
  const failed = warm.failed + r1.failed + r2.failed + probeFails.length;
  return {
    pass: problems.length === 0, requests: warm.requests + r1.requests + r2.requests + samples.length, failed, recovery,
    problems,
    details: `warm ${warm.requests}/${warm.failed} failed, during ${r1.requests}/${r1.failed} failed ` +
      `(5xx ${r1.s5xx}, sockets ${r1.sockets}), after ${r2.requests}/${r2.failed} failed, probe ${samples.length}/${probeFails.length} failed ` +
      `(longest pending after ${LATE_S}s ${fmtMs(lateSlowest)}); ` +
      `p99 during ${fmtMs(r1.p99)} after ${fmtMs(r2.p99)}; tile sessions replica before ${total(onReplicaBefore)}, ` +
      `primary before ${total(onPrimaryBefore)} after ${total(onPrimaryAfter)}; replica back in ${fmtS(restartS)}`,
    bound: `failures only around the stop, <= ${CONNECTIONS} (the connections in flight); 0 in the ${AFTER_S}s after and ` +
      `0 probe failures sent ${LATE_S}s after the stop; ` +
      `p99 after and probe pending after ${LATE_S}s <= ${SLOW_MS}ms, load requests pending <= ${PENDING_S}s, ` +
      `a prompt answer within ${RECOVERY_S}s, rate after >= ${MIN_RATE_SHARE * 100}% of before; tile statements on the replica before, on the primary after`,
    figures: { warm, during: r1, after: r2, probeRequests: samples.length, probeFailed: probeFails.length, stoppedS,
      probeSlowestLateMs: lateSlowest, probeSlow: bad.length,
      onReplicaBefore, onPrimaryBefore, onPrimaryAfter, restartS },
  };
}
