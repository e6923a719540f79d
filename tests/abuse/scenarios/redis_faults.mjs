// Tile load (wrk, 32 connections, mostly misses) while the server's Redis is paused, resumed,
// killed and started again. The cache must never fail a request: no failures in any phase, a
// bounded cost while Redis is away, and cache hits back soon after it returns.
import { fmtMs, now, probe, sleep } from '../tools/lib.mjs';
import { fmtPhase, runWrk, writeScript } from '../tools/tile_load.mjs';

// The cache may cost about a second when Redis is slow or gone; the rest is the database under load.
const FAULT_P99_MS = 2000;
const HITS_BACK_S = 10;

export default async function redisFaults(ctx) {
  const port = ctx.port();
  const script = await writeScript(ctx);
  const seconds = ctx.quick ? 4 : 8;
  await ctx.redis.command('FLUSHALL');

  // Polls one tile (cached by its first request) to see when hits come back.
  const hitProbe = probe(port, ctx.probeTile, { intervalMs: 50, timeoutMs: 20000 });
  const marks = {};
  const phases = [
    ['normal', () => {}],
    ['paused', () => process.kill(ctx.redis.pid(), 'SIGSTOP')],
    ['resumed', () => {
      process.kill(ctx.redis.pid(), 'SIGCONT');
      marks.resumed = now();
    }],
    ['killed', () => process.kill(ctx.redis.pid(), 'SIGKILL')],
    ['restarted', async () => {
      await ctx.redis.start();
      marks.restarted = now();
    }],
  ];
  const results = [];
  const starts = [];
  try {
    for (const [name, act] of phases) {
      await act();
      starts.push(now());
      const r = await runWrk(port, script, seconds);
      results.push([name, r]);
      if (r.raw) ctx.log(`wrk: ${r.raw.slice(0, 300)}`);
    }
  } finally {
    await ctx.redis.ensure();
  }
  await sleep(500);
  await hitProbe.stop();
  // wrk reports only the requests that finished inside a phase: the probe's own requests,
  // timed to their end, show the ones that hang.
  results.forEach(([name, r], i) => {
    const mine = hitProbe.samples.filter((x) => x.t >= starts[i] && (i + 1 >= starts.length || x.t < starts[i + 1]));
    r.probeMax = mine.length ? Math.max(...mine.map((x) => x.ms)) : NaN;
    r.probeFailed = mine.filter((x) => !(x.status >= 200 && x.status < 300)).length;
    ctx.log(`${fmtPhase(name, r)} probe n=${mine.length} max=${fmtMs(r.probeMax)}`);
  });
  const firstHitAfter = (t0) => {
    if (t0 === undefined) return NaN;
    const s = hitProbe.samples.find((x) => x.t >= t0 && x.hit);
    return s ? (s.t + s.ms - t0) / 1000 : NaN;
  };
  const backAfterResume = firstHitAfter(marks.resumed);
  const backAfterRestart = firstHitAfter(marks.restarted);
  const probeFailed = hitProbe.samples.filter((s) => !(s.status >= 200 && s.status < 300)).length;

  const problems = [];
  for (const [name, r] of results) {
    if (!(r.failed === 0)) problems.push(`${name}: ${r.failed} failed`);
    if (r.p99 > FAULT_P99_MS) problems.push(`${name}: p99 ${fmtMs(r.p99)} > ${FAULT_P99_MS}ms`);
    if (r.probeMax > FAULT_P99_MS) problems.push(`${name}: a tile took ${fmtMs(r.probeMax)} > ${FAULT_P99_MS}ms`);
    if (!r.requests) problems.push(`${name}: no requests completed`);
  }
  if (probeFailed) problems.push(`${probeFailed} probe requests failed`);
  if (!(backAfterResume <= HITS_BACK_S)) problems.push(`hits ${Number.isFinite(backAfterResume) ? backAfterResume.toFixed(1) + 's' : 'never'} after resume`);
  if (!(backAfterRestart <= HITS_BACK_S)) problems.push(`hits ${Number.isFinite(backAfterRestart) ? backAfterRestart.toFixed(1) + 's' : 'never'} after restart`);
  for (const x of problems) ctx.log(`problem: ${x}`);
  const fmtS = (v) => (Number.isFinite(v) ? v.toFixed(1) + 's' : 'never');
  return {
    pass: problems.length === 0,
    counts: results.map(([n, r]) => `${n} req=${r.requests} failed=${r.failed} p99=${fmtMs(r.p99)} max=${fmtMs(r.probeMax)}`).join('; ') +
      `; hits back ${fmtS(backAfterResume)} after resume, ${fmtS(backAfterRestart)} after restart`,
    bound: `0 failed per ${seconds}s phase, wrk p99 and slowest probe <= ${FAULT_P99_MS}ms, hits back within ${HITS_BACK_S}s`,
  };
}
