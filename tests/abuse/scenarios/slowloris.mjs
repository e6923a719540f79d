// Connections that send a request one byte a second and never finish it: the header (most of
// them) or, after a complete header, the body. The server's time-out to receive a request
// has to cut each of them, and tiles have to be served meanwhile.
import net from 'node:net';

import { countBy, fmtCounts, fmtMs, probe, sleep } from '../tools/lib.mjs';

const PROBE_P99_MS = 500;

export default async function slowloris(ctx) {
  const port = ctx.port();
  const timeoutS = Number(process.env.ABUSE_REQUEST_TIMEOUT_S || 30);
  const cutBy = timeoutS + 5;
  const headerConns = ctx.quick ? 100 : 300;
  const bodyConns = ctx.quick ? 20 : 50;
  const byteEveryMs = 1000;

  const headerStream = 'GET /gis/layers/ HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ' + 'a'.repeat(200);
  const bodyStream = 'POST /plots/plan HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n' +
    'Content-Length: 100000\r\n\r\n' + '{"parcel_data": [' + ' '.repeat(2000);

  const conns = [];
  const t0 = Date.now();
  const start = (kind, stream) => {
    const c = { kind, cutAt: null, answer: null, sent: 0 };
    const s = net.connect({ host: '127.0.0.1', port });
    c.sock = s;
    // The body variant sends its whole header at once, then dribbles the body.
    const headerEnd = kind === 'body' ? stream.indexOf('\r\n\r\n') + 4 : 1;
    s.on('connect', () => {
      s.write(stream.slice(0, headerEnd));
      c.sent = headerEnd;
      c.timer = setInterval(() => {
        if (c.sent < stream.length && !s.destroyed) s.write(stream[c.sent++]);
      }, byteEveryMs);
    });
    s.on('data', (d) => {
      const m = d.toString('latin1').match(/^HTTP\/1\.[01] (\d{3})/);
      if (m && !c.answer) c.answer = m[1];
    });
    const ended = () => {
      clearInterval(c.timer);
      if (c.cutAt === null) c.cutAt = (Date.now() - t0) / 1000;
    };
    s.on('end', ended);
    s.on('close', ended);
    s.on('error', () => {});
    conns.push(c);
  };
  for (let i = 0; i < headerConns; i++) start('header', headerStream);
  for (let i = 0; i < bodyConns; i++) start('body', bodyStream);

  await sleep(1000);
  const p = probe(port, ctx.probeTile, { intervalMs: 100, timeoutMs: 5000 });
  while (Date.now() - t0 < (cutBy + 2) * 1000 && conns.some((c) => c.cutAt === null)) await sleep(250);
  const tiles = await p.stop();
  const uncut = conns.filter((c) => c.cutAt === null);
  for (const c of conns) {
    clearInterval(c.timer);
    c.sock.destroy();
  }

  const cutTimes = conns.filter((c) => c.cutAt !== null).map((c) => c.cutAt);
  const early = cutTimes.filter((t) => t < Math.min(5, timeoutS / 2)).length;
  const late = conns.filter((c) => c.cutAt !== null && c.cutAt > cutBy).length;
  const answers = countBy(conns, (c) => c.answer || 'none');
  const problems = [];
  if (uncut.length) problems.push(`${uncut.length} still open after ${cutBy + 2}s`);
  if (late) problems.push(`${late} cut after ${cutBy}s`);
  if (tiles.failed || !tiles.ok) problems.push(`tiles failed ${tiles.failed}/${tiles.n}`);
  if (tiles.p99 > PROBE_P99_MS) problems.push(`tile p99 ${fmtMs(tiles.p99)} > ${PROBE_P99_MS}ms`);
  for (const x of problems) ctx.log(`problem: ${x}`);
  const range = cutTimes.length ? `${Math.min(...cutTimes).toFixed(1)}-${Math.max(...cutTimes).toFixed(1)}s` : '-';
  return {
    pass: problems.length === 0,
    counts: `slow=${headerConns} header + ${bodyConns} body, cut=${cutTimes.length} at ${range} (before 5s: ${early}) ` +
      `answers ${fmtCounts(answers)}; tiles ok=${tiles.ok}/${tiles.n} p50=${fmtMs(tiles.p50)} p99=${fmtMs(tiles.p99)} max=${fmtMs(tiles.max)}`,
    bound: `all cut by ${cutBy}s (request time-out ${timeoutS}s), tiles all ok p99 <= ${PROBE_P99_MS}ms`,
  };
}
