// Malformed and hostile requests written as raw bytes, each with the one answer it must get.
// For the framing cases the connection must also close, so that nothing sent after the first
// request on it is ever taken as a request of its own. Requests that announce a body they
// wait to send (Expect: 100-continue) must be answered without it, at once.
import { raw } from '../tools/lib.mjs';

// A request that, if it were ever answered, shows up as a second status line.
const SMUGGLED = 'GET /plots/recommended-scale?survey_width_m=100&survey_height_m=100 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n';

function garbage(n) {
  // Fixed pseudo-random bytes: the same garbage every run.
  const out = Buffer.alloc(n);
  let x = 2463534242;
  for (let i = 0; i < n; i++) {
    x ^= x << 13;
    x ^= x >>> 17;
    x ^= x << 5;
    out[i] = x & 0xff;
  }
  return out;
}

const get = (target) => `GET ${target} HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n`;
// A head that announces a body and waits before sending it.
const waiting = (target, length, headers = '') =>
  `POST ${target} HTTP/1.1\r\nHost: 127.0.0.1\r\n${headers}Content-Length: ${length}\r\nExpect: 100-continue\r\n\r\n`;

const cases = (port) => [
  {
    name: 'te_gzip_smuggle', expect: 400, mustClose: true, single: true,
    bytes: 'POST /plots/plan HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: gzip\r\n\r\n' + SMUGGLED,
  },
  {
    name: 'te_chunked_gzip_smuggle', expect: [400, 501], mustClose: true, single: true,
    bytes: 'POST /plots/plan HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked, gzip\r\n\r\n' + SMUGGLED,
  },
  {
    name: 'te_and_length', expect: 400, mustClose: true, single: true,
    bytes: 'POST /plots/plan HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n' + SMUGGLED,
  },
  {
    name: 'te_http10', expect: 400, mustClose: true, single: true,
    bytes: 'POST /plots/plan HTTP/1.0\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n' + SMUGGLED,
  },
  { name: 'max_features_negative', expect: 422, bytes: get('/gis/plots/bbox/?minx=0&miny=0&maxx=1&maxy=1&max_features=-1') },
  { name: 'plot_id_2^31', expect: 404, bytes: get('/plots/2147483648/plan') },
  { name: 'box_nan_3857', expect: 400, bytes: get('/gis/plots/bbox/?minx=nan&miny=1006000&maxx=834000&maxy=1017000&srid=3857') },
  { name: 'box_inf_3857', expect: 400, bytes: get('/gis/plots/bbox/?minx=823000&miny=1006000&maxx=inf&maxy=1017000&srid=3857') },
  {
    name: 'header_over_16k', expect: 431, mustClose: true,
    bytes: `GET /gis/layers/ HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Fill: ${'f'.repeat(17 * 1024)}\r\n\r\n`,
  },
  {
    name: 'body_over_16m', expect: 413, mustClose: true,
    // Only the start of the body goes out: the declared length alone must be refused.
    bytes: 'POST /plots/plan HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n' +
      `Content-Length: ${16 * 1024 * 1024 + 1}\r\n\r\n` + ' '.repeat(64 * 1024),
  },
  { name: 'garbage', expect: 400, mustClose: true, bytes: Buffer.concat([garbage(1024), Buffer.from('\r\n\r\n')]) },
  { name: 'host_twice', expect: 400, mustClose: true, bytes: 'GET /gis/plots/tilejson.json HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: evil.example\r\n\r\n' },
  { name: 'host_missing', expect: 400, mustClose: true, bytes: 'GET /gis/plots/tilejson.json HTTP/1.1\r\n\r\n' },
  {
    name: 'absolute_target_userinfo', expect: 400, mustClose: true,
    bytes: 'GET http://user@evil.example/gis/plots/tilejson.json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n',
  },
  {
    name: 'absolute_target_host', expect: 200, bodyHas: 'http://tiles.example.org:8443/gis/plots/',
    bytes: 'GET http://tiles.example.org:8443/gis/plots/tilejson.json HTTP/1.1\r\nHost: evil.example\r\nConnection: close\r\n\r\n',
  },
  {
    name: 'forwarded_port_99999', expect: 200, bodyLacks: 'evil.example',
    bytes: 'GET /gis/plots/tilejson.json HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Forwarded-Host: evil.example:99999\r\nConnection: close\r\n\r\n',
  },
  {
    // After a DNS rebinding a foreign page reaches us under its own name: Origin equals Host.
    name: 'purge_rebinding', expect: 403,
    bytes: `POST /gis/cache/invalidate/plots HTTP/1.1\r\nHost: evil.example:${port}\r\nOrigin: http://evil.example:${port}\r\n` +
      'Content-Length: 0\r\nConnection: close\r\n\r\n',
  },
  { name: 'expect_continue', expect: 100, withinMs: 500, bytes: waiting('/plots/plan', 2000000, 'Content-Type: application/json\r\n') },
  { name: 'expect_unknown_route', expect: 404, mustClose: true, withinMs: 500, bytes: waiting('/nowhere', 100) },
  {
    name: 'expect_purge_foreign_origin', expect: 403, mustClose: true, withinMs: 500,
    bytes: waiting('/gis/cache/invalidate/plots', 100, 'Origin: https://evil.example\r\n'),
  },
  { name: 'expect_over_limit', expect: 413, mustClose: true, withinMs: 500, bytes: waiting('/gis/cache/invalidate/plots', 2000000) },
  {
    name: 'expect_other', expect: 417, mustClose: true, withinMs: 500,
    bytes: 'POST /plots/plan HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\nExpect: 200-ok\r\n\r\n',
  },
];

export default async function inputs(ctx) {
  const results = [];
  const wrong = [];
  for (const c of cases(ctx.port())) {
    const t0 = Date.now();
    let firstAnswerMs = null;
    const r = await raw(ctx.port(), c.bytes, { timeoutMs: c.withinMs ? 1500 : 3000, onData: () => {
      if (firstAnswerMs === null) firstAnswerMs = Date.now() - t0;
    } });
    const died = await ctx.ensureServer(c.name);
    const expect = [].concat(c.expect);
    const faults = [];
    if (died) faults.push('server died');
    else {
      if (!r.statuses.length) faults.push('no answer');
      else if (!expect.includes(r.statuses[0])) faults.push(`answered ${r.statuses[0]}`);
      if (c.single && r.statuses.length > 1) faults.push(`${r.statuses.length - 1} more answer(s): the rest of the bytes ran as a request`);
      if (c.mustClose && !r.closedByServer) faults.push('connection left open');
      if (c.withinMs && !(firstAnswerMs <= c.withinMs)) faults.push(`answered after ${firstAnswerMs ?? '-'} ms`);
      if (c.bodyHas && !r.text.includes(c.bodyHas)) faults.push(`no ${c.bodyHas} in the answer`);
      if (c.bodyLacks && r.text.includes(c.bodyLacks)) faults.push(`${c.bodyLacks} in the answer`);
    }
    const got = died ? 'crash' : r.statuses.join('+') || 'none';
    results.push({ name: c.name, got, expect: expect.join('|'), faults });
    ctx.log(`${c.name}: expect ${expect.join('|')}, got ${got}${r.closedByServer ? ' (closed)' : ''}${faults.length ? ' -- ' + faults.join('; ') : ''}`);
    if (faults.length) wrong.push(`${c.name}=${got}`);
  }
  return {
    pass: wrong.length === 0,
    counts: `${results.length - wrong.length}/${results.length} as expected${wrong.length ? '; wrong: ' + wrong.join(' ') : ''}`,
    bound: 'each its listed status, framing errors close the connection, nothing after them answered, ' +
      'bodies waited for answered within 500 ms',
  };
}
