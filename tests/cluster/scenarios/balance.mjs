// Tiles through nginx are answered by both instances, and only with 200 or 204.
import { get } from '../lib.mjs';

const REQUESTS = 40;
// Round robin over two instances: each should take about half; a quarter is the floor.
const MIN_SHARE = 0.25;

export default async function balance(ctx) {
  const { c } = ctx;
  const counts = {};
  const statuses = {};
  let bad = 0;
  for (let i = 0; i < REQUESTS; i++) {
    const r = await get(c.nginx, ctx.loadPaths[i]);
    statuses[r.status || r.error] = (statuses[r.status || r.error] || 0) + 1;
    if (r.status !== 200 && r.status !== 204) bad++;
    const up = r.headers?.['x-upstream'] || 'none';
    counts[up] = (counts[up] || 0) + 1;
  }
  const a = counts[`127.0.0.1:${c.a}`] || 0;
  const b = counts[`127.0.0.1:${c.b}`] || 0;
  const problems = [];
  if (bad) problems.push(`${bad} answers were not 200/204 (${JSON.stringify(statuses)})`);
  if (a < REQUESTS * MIN_SHARE || b < REQUESTS * MIN_SHARE)
    problems.push(`uneven or one-sided: ${JSON.stringify(counts)}`);
  return {
    pass: problems.length === 0, requests: REQUESTS, failed: bad, recovery: NaN, problems,
    details: `A=${a} B=${b} other=${REQUESTS - a - b} statuses=${JSON.stringify(statuses)}`,
    bound: `all 200/204, each instance >= ${MIN_SHARE * 100}% of ${REQUESTS}`,
    figures: { upstreams: counts, statuses },
  };
}
