// Instance B dies (kill -9) under tile load through nginx. A request that met B going away is
// tried again on A (proxy_next_upstream error), and after max_fails nginx leaves B out: no
// client sees a failure. B is started again and nginx sends it requests again.
import { fmtMs, fmtS, get, now, sleep, wrk, writeLoadScript } from '../lib.mjs';

const DURING_S = 6;
const KILL_AT_S = 2;
const AFTER_S = 5;
const CONNECTIONS = 24;
const BACK_S = 15; // fail_timeout 5s, then nginx tries B with the next request

export default async function instanceKill(ctx) {
  const { c } = ctx;
  const problems = [];
  const pid = c.pid('mapsvc-B');
  if (!pid) throw new Error('no pid file for mapsvc B');
  const a = `127.0.0.1:${c.a}`;
  const b = `127.0.0.1:${c.b}`;
  const script = writeLoadScript(ctx.work, 'instance_kill', ctx.loadPaths, { upstreams: { a, b } });

  const during = wrk(c.nginx, script, DURING_S, CONNECTIONS);
  await sleep(KILL_AT_S * 1000);
  process.kill(pid, 'SIGKILL');
  ctx.log(`killed mapsvc B (pid ${pid})`);
  const r1 = await during;
  const r2 = await wrk(c.nginx, script, AFTER_S, CONNECTIONS);

  const tRestart = now();
  await ctx.restore();
  const readyS = (now() - tRestart) / 1000;
  // Back in rotation: nginx answers from B again.
  const tReady = now();
  let backS = NaN;
  let probes = 0;
  let probeFailed = 0;
  while ((now() - tReady) / 1000 < BACK_S) {
    const r = await get(c.nginx, ctx.loadPaths[probes % ctx.loadPaths.length]);
    probes++;
    if (!(r.status >= 200 && r.status < 300)) probeFailed++;
    if ((r.headers?.['x-upstream'] || '').split(/,\s*/).pop() === b) {
      backS = (now() - tReady) / 1000;
      break;
    }
    await sleep(100);
  }

  for (const [name, r] of [['during', r1], ['after', r2]]) {
    if (!(r.requests > 0)) problems.push(`${name}: the load completed no requests${r.raw ? ': ' + r.raw.slice(0, 200) : ''}`);
    if (r.failed) problems.push(`${name}: ${r.failed} failed (5xx ${r.s5xx}, 4xx ${r.s4xx}, sockets ${r.sockets})`);
  }
  if (r2.up_b) problems.push(`nginx still sent ${r2.up_b} answers from B after it died`);
  if (probeFailed) problems.push(`${probeFailed} requests failed after B was started again`);
  if (!(backS <= BACK_S)) problems.push(`nginx did not send requests to B within ${BACK_S}s of it being ready`);
  return {
    pass: problems.length === 0, requests: r1.requests + r2.requests + probes, failed: r1.failed + r2.failed + probeFailed,
    recovery: backS, problems,
    details: `during ${r1.requests}/${r1.failed} failed (A ${r1.up_a}, B ${r1.up_b}, retried ${r1.retried}, p99 ${fmtMs(r1.p99)}, ` +
      `max ${fmtMs(r1.max)}), after ${r2.requests}/${r2.failed} failed (A ${r2.up_a}, B ${r2.up_b}); ` +
      `B ready again in ${fmtS(readyS)}, in rotation ${fmtS(backS)} after that`,
    bound: `0 failed during (kill at ${KILL_AT_S}s of ${DURING_S}s) and after (${AFTER_S}s, none from B); B back in rotation within ${BACK_S}s`,
    figures: { during: r1, after: r2, readyS, backS },
  };
}
