// SIGHUP, as log rotation and service managers send it, over and over while the server works:
// it must reopen its log and carry on. Requests whose heads arrive in two parts around the
// hangups, plans rendering and tiles fetched meanwhile must all be answered, by the same process.
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';

import { countBy, fmtCounts, fmtMs, probe, request, sleep } from '../tools/lib.mjs';

// A request whose head is sent in two parts; finish() sends the rest and gives its status.
function halfSent(port) {
  const sock = net.connect({ host: '127.0.0.1', port });
  let text = '';
  let ended;
  const done = new Promise((resolve) => {
    ended = resolve;
  });
  sock.on('connect', () => sock.write('GET /gis/layers/ HTTP/1.1\r\nHo'));
  sock.on('data', (d) => {
    text += d.toString('latin1');
  });
  sock.on('close', () => ended());
  sock.on('error', () => {});
  return {
    async finish() {
      if (!sock.destroyed) sock.write('st: 127.0.0.1\r\nConnection: close\r\n\r\n');
      const timer = setTimeout(() => sock.destroy(), 5000);
      await done;
      clearTimeout(timer);
      const m = text.match(/^HTTP\/1\.[01] (\d{3})/);
      return m ? Number(m[1]) : 0;
    },
  };
}

export default async function signals(ctx) {
  const port = ctx.port();
  const pid = ctx.pid();
  const hangups = ctx.quick ? 10 : 30;
  const plan = fs.readFileSync(path.join(ctx.root, 'apps/mapsvc-plan/examples/heptagon_1000.json'));

  const pending = Array.from({ length: 20 }, () => halfSent(port));
  const tiles = probe(port, ctx.probeTile, { intervalMs: 20, timeoutMs: 5000 });
  let rendering = true;
  const plans = [];
  const renderLoop = (async () => {
    while (rendering) {
      plans.push(await request(port, { method: 'POST', path: '/plots/plan', body: plan,
        headers: { 'Content-Type': 'application/json' }, timeoutMs: 10000 }));
    }
  })();
  await sleep(300);
  for (let i = 0; i < hangups && ctx.alive(); i++) {
    process.kill(pid, 'SIGHUP');
    await sleep(100);
  }
  await sleep(300);
  rendering = false;
  await renderLoop;
  const inFlight = await Promise.all(pending.map((r) => r.finish()));
  const t = await tiles.stop();

  const problems = [];
  if (!ctx.alive() || ctx.pid() !== pid) problems.push('the server did not survive');
  const unanswered = inFlight.filter((s) => s !== 200).length;
  if (unanswered) problems.push(`${unanswered}/${inFlight.length} requests in flight not answered 200`);
  const planFaults = plans.filter((r) => r.status !== 200 && r.status !== 503).length;
  if (planFaults) problems.push(`${planFaults}/${plans.length} plans failed`);
  if (t.failed || !t.ok) problems.push(`tiles failed ${t.failed}/${t.n}`);
  for (const x of problems) ctx.log(`problem: ${x}`);
  return {
    pass: problems.length === 0,
    counts: `SIGHUP x${hangups}; in flight ${fmtCounts(countBy(inFlight, (s) => String(s)))}; ` +
      `plans ${fmtCounts(countBy(plans, (r) => String(r.status)))}; tiles ok=${t.ok}/${t.n} p99=${fmtMs(t.p99)}`,
    bound: 'same process alive, every request in flight answered 200, plans 200/503, tiles all ok',
  };
}
