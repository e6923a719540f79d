// Thousands of connections that connect and then say nothing, held while tiles are fetched.
// Bound: every one accepted, at most 150 MB more server memory while they are held, tiles
// still served, and the server's descriptors back where they were once they close.
import fs from 'node:fs';
import net from 'node:net';

import { fmtMB, fmtMs, nofileLimit, probe, procStats, sleep } from '../tools/lib.mjs';

const HELD_MB = 150;
const PROBE_P99_MS = 500;

function ownNofile() {
  const m = fs.readFileSync('/proc/self/limits', 'utf8').match(/^Max open files\s+(\d+)/m);
  return m ? Number(m[1]) : 0;
}

export default async function idle(ctx) {
  const want = Number(process.env.ABUSE_IDLE_CONNS || 5000);
  const port = ctx.port();
  const pid = ctx.pid();
  if (ownNofile() < want + 200)
    return { pass: false, counts: `client open-file limit ${ownNofile()} < ${want + 200}`, bound: 'raise ulimit -Hn' };

  const before = procStats(pid);
  const sockets = [];
  let connectFailed = 0;
  let closedByServer = 0;
  let releasing = false;
  const open = () =>
    new Promise((resolve) => {
      const s = net.connect({ host: '127.0.0.1', port });
      const timer = setTimeout(() => {
        connectFailed++;
        s.destroy();
        resolve();
      }, 10000);
      s.on('connect', () => {
        clearTimeout(timer);
        sockets.push(s);
        resolve();
      });
      s.on('error', () => {});
      s.on('close', () => {
        clearTimeout(timer);
        if (!releasing) closedByServer++;
      });
    });
  const t0 = Date.now();
  for (let i = 0; i < want; i += 250) {
    const batch = [];
    for (let j = i; j < Math.min(want, i + 250); j++) batch.push(open());
    await Promise.all(batch);
  }
  const openSeconds = (Date.now() - t0) / 1000;
  // Let the server accept what the kernel queued for it.
  let held = procStats(pid);
  for (let i = 0; i < 20 && held.fds - before.fds < sockets.length; i++) {
    await sleep(250);
    held = procStats(pid);
  }
  const accepted = held.fds - before.fds;

  const p = probe(port, ctx.probeTile, { intervalMs: 50, timeoutMs: 5000 });
  await sleep(ctx.quick ? 3000 : 6000);
  const tiles = await p.stop();
  held = procStats(pid);
  const closedWhileHeld = closedByServer;

  releasing = true;
  for (const s of sockets) s.destroy();
  let after = procStats(pid);
  for (let i = 0; i < 40 && after.fds > before.fds + 2; i++) {
    await sleep(250);
    after = procStats(pid);
  }

  const grewKB = held.rssKB - before.rssKB;
  const perConnKB = accepted > 0 ? grewKB / accepted : NaN;
  const lim = nofileLimit(pid);
  const problems = [];
  if (sockets.length < want) problems.push(`${want - sockets.length} could not connect`);
  if (accepted < want) problems.push(`server accepted ${accepted} of ${want} (open files ${lim.soft}/${lim.hard})`);
  if (grewKB > HELD_MB * 1024) problems.push(`held ${fmtMB(grewKB)} > ${HELD_MB}MB`);
  if (tiles.failed || !tiles.ok) problems.push(`tiles failed ${tiles.failed}/${tiles.n} while held`);
  if (tiles.p99 > PROBE_P99_MS) problems.push(`tile p99 ${fmtMs(tiles.p99)} > ${PROBE_P99_MS}ms`);
  if (closedWhileHeld) problems.push(`${closedWhileHeld} closed by the server while held`);
  for (const x of problems) ctx.log(`problem: ${x}`);
  return {
    pass: problems.length === 0,
    counts: `open=${sockets.length}/${want} (in ${openSeconds.toFixed(1)}s) accepted=${accepted} server-nofile=${lim.soft} ` +
      `rss ${fmtMB(before.rssKB)} -> held ${fmtMB(held.rssKB)} (+${fmtMB(grewKB)}, ${Math.round(perConnKB)}KB/conn) ` +
      `-> closed ${fmtMB(after.rssKB)}; tiles while held ok=${tiles.ok}/${tiles.n} p50=${fmtMs(tiles.p50)} p99=${fmtMs(tiles.p99)}`,
    bound: `all accepted, held <= +${HELD_MB}MB, tiles all ok p99 <= ${PROBE_P99_MS}ms`,
  };
}
