// Hostile plan bodies: deep nesting, huge and long names, a number beyond double range, and
// three 15 MB bodies at once while a cached tile is fetched over and over. Each must be
// refused with a 4xx, the server must live, and tiles must not stall behind the parsing.
import fs from 'node:fs';
import path from 'node:path';

import { fmtMs, probe, request, sleep } from '../tools/lib.mjs';

const PROBE_P99_MS = 500;
// One stalled request is one sample among thousands: the worst one is bounded too.
const PROBE_MAX_MS = 1000;

function planWith(example, change) {
  const doc = JSON.parse(example);
  const selected = doc.parcel_data.find((p) => p[doc.columnname || 'parcel_number'] === doc.selected_parcel_number);
  change(doc, selected);
  return doc;
}

export default async function jsonBombs(ctx) {
  const example = fs.readFileSync(path.join(ctx.root, 'apps/mapsvc-plan/examples/heptagon_1000.json'), 'utf8');
  const depth = 100000;
  const big = () => {
    // About 15 MB of well-formed parcels beside the real ones.
    const doc = JSON.parse(example);
    const filler = doc.parcel_data[0];
    const one = JSON.stringify(filler).length;
    const count = Math.ceil((15 * 1024 * 1024) / (one + 1));
    for (let i = 0; i < count; i++) doc.parcel_data.push({ ...filler, parcel_number: 100000 + i });
    return JSON.stringify(doc);
  };
  const cases = [
    ['name_1mb', () => JSON.stringify(planWith(example, (d, s) => { s.name = 'N'.repeat(1024 * 1024); }))],
    ['name_20k', () => JSON.stringify(planWith(example, (d, s) => { s.name = 'N'.repeat(20000); }))],
    ['number_1e400', () => JSON.stringify(planWith(example, (d, s) => { s.geometry.coordinates[0][1][0] = 123456789.125; }))
      .replace('123456789.125', '1e400')],
    ['area_1e400', () => JSON.stringify(planWith(example, (d, s) => { s.area = 123456789.125; })).replace('123456789.125', '1e400')],
    ['deep_100k', () => '{"parcel_data":[],"selected_parcel_number":' + '['.repeat(depth) + '1' + ']'.repeat(depth) + '}'],
  ];

  const problems = [];
  const results = [];
  const p = probe(ctx.port(), ctx.probeTile, { intervalMs: 20, timeoutMs: 20000 });
  for (const [name, make] of cases) {
    const body = make();
    const r = await request(ctx.port(), {
      method: 'POST', path: '/plots/plan', body, headers: { 'Content-Type': 'application/json' }, timeoutMs: 30000,
    });
    const died = await ctx.ensureServer(name);
    const got = died ? 'crash' : r.status || r.error;
    results.push(`${name}=${got}`);
    ctx.log(`${name} (${(body.length / 1024).toFixed(0)} KB): ${got} in ${fmtMs(r.ms)} ${r.status ? r.body.slice(0, 120) : ''}`);
    if (died || !(r.status >= 400 && r.status < 500)) problems.push(`${name}: ${got}`);
  }
  const before = await p.stop();

  // Three large bodies at once; the probe runs from just before they go out.
  const body = big();
  const during = probe(ctx.port(), ctx.probeTile, { intervalMs: 20, timeoutMs: 20000 });
  await sleep(200);
  const big3 = await Promise.all([0, 1, 2].map(() => request(ctx.port(), {
    method: 'POST', path: '/plots/plan', body, headers: { 'Content-Type': 'application/json' }, timeoutMs: 60000,
  })));
  await sleep(200);
  const tiles = await during.stop();
  const died = await ctx.ensureServer('three 15 MB bodies');
  const statuses = big3.map((r) => (died ? 'crash' : r.status || r.error));
  results.push(`three_15mb=${statuses.join('/')}`);
  ctx.log(`three ${(body.length / 1048576).toFixed(1)} MB bodies: ${statuses.join(', ')} in ${big3.map((r) => fmtMs(r.ms)).join(', ')}`);
  if (died || big3.some((r) => !(r.status >= 400 && r.status < 500))) problems.push(`three_15mb: ${statuses.join('/')}`);
  if (tiles.failed) problems.push(`${tiles.failed} tile requests failed during the 15 MB bodies`);
  if (tiles.p99 > PROBE_P99_MS) problems.push(`tile p99 ${fmtMs(tiles.p99)} > ${PROBE_P99_MS}ms during the 15 MB bodies`);
  if (tiles.max > PROBE_MAX_MS) problems.push(`tile max ${fmtMs(tiles.max)} > ${PROBE_MAX_MS}ms during the 15 MB bodies`);
  for (const x of problems) ctx.log(`problem: ${x}`);
  return {
    pass: problems.length === 0,
    counts: `${results.join(' ')}; tiles (small bombs) p99=${fmtMs(before.p99)} max=${fmtMs(before.max)}; ` +
      `tiles during 3x15MB n=${tiles.n} p50=${fmtMs(tiles.p50)} p99=${fmtMs(tiles.p99)} max=${fmtMs(tiles.max)} failed=${tiles.failed}`,
    bound: `every body 4xx, no crash, tiles during the 15 MB bodies p99 <= ${PROBE_P99_MS}ms max <= ${PROBE_MAX_MS}ms`,
  };
}
