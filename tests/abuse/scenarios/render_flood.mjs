// Waves of concurrent plan renders (the example plans) while one cached tile is fetched over
// and over. Each answer must be a plan (200) or a prompt refusal (503 with Retry-After), the
// plans must come back as their renders finish rather than all at once at the end, and tiles
// must stay fast.
import fs from 'node:fs';
import path from 'node:path';

import { fmtMB, fmtMs, percentile, probe, procStats, request, rssWatch, sleep } from '../tools/lib.mjs';

// Renders run at a lower priority than the event loop: tiles may slow down by this much at most.
const PROBE_P99_EXTRA_MS = 50;
const PEAK_MB = 300;

export default async function renderFlood(ctx) {
  const port = ctx.port();
  const pid = ctx.pid();
  const dir = path.join(ctx.root, 'apps/mapsvc-plan/examples');
  const bodies = fs.readdirSync(dir).filter((f) => f.endsWith('.json')).sort()
    .map((f) => fs.readFileSync(path.join(dir, f)));
  const waves = ctx.quick ? [60, 200] : [60, 500];

  const quiet = probe(port, ctx.probeTile, { intervalMs: 20 });
  await sleep(2000);
  const calm = await quiet.stop();
  ctx.log(`tiles before: n=${calm.n} p50=${fmtMs(calm.p50)} p99=${fmtMs(calm.p99)}`);

  const problems = [];
  const parts = [];
  const rss = rssWatch(pid);
  for (const n of waves) {
    const p = probe(port, ctx.probeTile, { intervalMs: 20 });
    const t0 = Date.now();
    const answers = await Promise.all(
      Array.from({ length: n }, (_, i) =>
        request(port, {
          method: 'POST', path: '/plots/plan', body: bodies[i % bodies.length],
          headers: { 'Content-Type': 'application/json' }, timeoutMs: 180000,
        }).then((r) => ({ ...r, at: (Date.now() - t0) / 1000 }))));
    const tiles = await p.stop();
    const ok = answers.filter((a) => a.status === 200);
    const refused = answers.filter((a) => a.status === 503);
    const refusedBare = refused.filter((a) => !a.headers?.['retry-after']).length;
    const other = answers.length - ok.length - refused.length;
    const okAt = ok.map((a) => a.at);
    const first = okAt.length ? Math.min(...okAt) : NaN;
    const last = okAt.length ? Math.max(...okAt) : NaN;
    const refusedP50 = percentile(refused.map((a) => a.at), 50);
    const otherKinds = [...new Set(answers.filter((a) => a.status !== 200 && a.status !== 503).map((a) => a.error || a.status))];
    // Held back together: the first plan arrives with the last, though the first render ended long before.
    const batched = okAt.length >= 4 && last > 1 && first > 0.5 * last;
    if (other) problems.push(`${n}: ${other} answers neither 200 nor 503 (${otherKinds.join(',')})`);
    if (refusedBare) problems.push(`${n}: ${refusedBare} 503 without Retry-After`);
    if (!ok.length) problems.push(`${n}: no plan rendered`);
    if (batched) problems.push(`${n}: plans answered together (first ${first.toFixed(1)}s, last ${last.toFixed(1)}s)`);
    if (tiles.failed) problems.push(`${n}: ${tiles.failed} tile requests failed`);
    const allowed = calm.p99 + PROBE_P99_EXTRA_MS;
    if (tiles.p99 > allowed) problems.push(`${n}: tile p99 ${fmtMs(tiles.p99)} > ${fmtMs(allowed)} (quiet p99 + ${PROBE_P99_EXTRA_MS}ms)`);
    const part = `${n}: 200=${ok.length} 503=${refused.length} other=${other} plans at ${first.toFixed(1)}/` +
      `${percentile(okAt, 50).toFixed(1)}/${last.toFixed(1)}s (first/median/last)` +
      `${refused.length ? ` 503 median ${refusedP50.toFixed(2)}s` : ''} tiles p50=${fmtMs(tiles.p50)} p99=${fmtMs(tiles.p99)}`;
    ctx.log(part);
    parts.push(part);
    if (!ctx.alive()) {
      await ctx.ensureServer(`wave ${n}`);
      break;
    }
    await sleep(1000);
  }
  const peak = rss.stop();
  const end = procStats(ctx.pid());
  if (peak > PEAK_MB * 1024) problems.push(`rss peak ${fmtMB(peak)} > ${PEAK_MB}MB`);
  for (const x of problems) ctx.log(`problem: ${x}`);
  return {
    pass: problems.length === 0,
    counts: `tiles before p50=${fmtMs(calm.p50)} p99=${fmtMs(calm.p99)}; ${parts.join('; ')}; rss peak ${fmtMB(peak)} after ${fmtMB(end.rssKB)}`,
    bound: `only 200 or 503+Retry-After, plans not held back to the last, tile p99 <= quiet p99 + ${PROBE_P99_EXTRA_MS}ms, rss peak <= ${PEAK_MB}MB`,
  };
}
