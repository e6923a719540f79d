'use strict';
// node --test bench/lib/test/
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const { execFileSync, spawnSync } = require('child_process');
const { fixed, floatText, grouped } = require('../numfmt');
const { floorDiv, tileRange, sample, walk, W } = require('../tiles');
const { percentile, median } = require('../stats');

const bench = path.join(__dirname, '..', '..');

test('numbers are written from their exact value, ties to even, whole decimals with .0', () => {
  // Number#toFixed rounds these ties up; 1.005 and 2.675 lie below their halves.
  const cases = [[0.125, 2, '0.12'], [0.375, 2, '0.38'], [2.5, 0, '2'], [3.5, 0, '4'], [1.005, 2, '1.00'], [2.675, 2, '2.67']];
  assert.deepStrictEqual(cases.map(([x, d]) => fixed(x, d)), cases.map(([, , text]) => text));
  assert.strictEqual(fixed(-0.3, 0), '-0');
  assert.strictEqual(fixed(123456.5, 0), '123456');
  assert.deepStrictEqual([1, 0.87, 0.1 + 0.2, 1e16, 1.5e-5, 0.0001, -0, 123456789.0].map(floatText),
    ['1.0', '0.87', '0.30000000000000004', '1e+16', '1.5e-05', '0.0001', '-0.0', '123456789.0']);
  assert.deepStrictEqual(['1234567.5', '-1234', '999', 'nan'].map(grouped), ['1 234 567.5', '-1 234', '999', 'nan']);
});

test('tile ranges floor the exact quotient; samples are seeded subsets', () => {
  const size = (2 * W) / 2 ** 10;
  const edge = 3 * size; // a hair below three tiles: Math.floor(edge / size) says 3
  assert.strictEqual(Math.floor(edge / size), 3);
  assert.strictEqual(floorDiv(edge, size), 2);
  assert.strictEqual(floorDiv(-0.5, size), -1);
  assert.deepStrictEqual(tileRange([823048.875, 1006006.75, 834238.6875, 1017284.875], 16), [34113, 34132, 31104, 31122]);
  const items = Array.from({ length: 50 }, (_, i) => i);
  const a = sample(items, 20, 42);
  assert.deepStrictEqual(a, sample(items, 20, 42));
  assert.notDeepStrictEqual(a, sample(items, 20, 7));
  assert.strictEqual(new Set(a).size, 20);
  assert.deepStrictEqual([...sample(items, 1000, 3)].sort((x, y) => x - y), items);
});

test('percentile is nearest rank, median the mean of the middle two', () => {
  assert.strictEqual(percentile([1, 2, 3, 4], 50), 2);
  assert.strictEqual(percentile([1, 2, 3, 4], 99), 4);
  assert.ok(Number.isNaN(percentile([], 50)));
  assert.strictEqual(median([4, 1, 3, 2]), 2.5);
  assert.strictEqual(median([5, 1, 3]), 3);
});

test('a walk keeps the paths\' order, tries a broken request again and counts a dead path as 0', async () => {
  const seen = new Map();
  const server = http.createServer((req, res) => {
    const n = (seen.get(req.url) || 0) + 1;
    seen.set(req.url, n);
    if (req.url === '/dead' || (req.url === '/flaky' && n === 1)) return req.socket.destroy();
    res.setHeader('X-Cache', req.url === '/hit' ? 'HIT' : '');
    res.statusCode = req.url === '/empty' ? 204 : 200;
    res.end(req.url === '/empty' ? '' : `body of ${req.url}`);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  try {
    const paths = ['/hit', '/flaky', '/dead', '/empty', '/a', '/b'];
    const r = await walk(`http://127.0.0.1:${server.address().port}`, paths, 2);
    assert.deepStrictEqual(r, [
      { status: 200, bytes: 12, xcache: 'HIT' },
      { status: 200, bytes: 14, xcache: '-' },
      { status: 0, bytes: 0, xcache: '-' },
      { status: 204, bytes: 0, xcache: '-' },
      { status: 200, bytes: 10, xcache: '-' },
      { status: 200, bytes: 10, xcache: '-' },
    ]);
    assert.strictEqual(seen.get('/dead'), 3);
    assert.strictEqual(seen.get('/a'), 1);
  } finally {
    server.close();
  }
});

test('scaling results keep each figure\'s kind from the run to the report', () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'bench-lib-test-'));
  try {
    const line = (...kv) => execFileSync('node', [path.join(bench, 'lib', 'json-line.js'), ...kv], { encoding: 'utf8' });
    const meta = line('kind', 'meta', 'started', 's', 'cores', '2', 'cpu', 'c', 'load_before', '1.00 2.00', 'duration_s', '5',
      'command', 'x', 'plots', '10', 'beacons', '20', 'redis_version', 'r', 'postgres_version', 'p');
    assert.strictEqual(line('a', '0.90', 'b', ' 12 ', 'c', '-0', 'd', '2132-2133', 'e', ''), '{"a": 0.90, "b": 12, "c": 0, "d": "2132-2133", "e": ""}\n');
    const statement = (mode, busy) => line('kind', 'statement', 'layer', 'plots', 'zoom', '12', 'mode', mode, 'statements_per_s', '1234.5',
      'pg_cores_busy', busy, 'statements_per_pg_cpu_s', '20', 'mean_latency_ms', '78.80', 'empty_share', '0.125',
      'mean_tile_bytes', '122415', 'mean_nonempty_tile_bytes', '122415', 'load', 'l');
    fs.writeFileSync(path.join(dir, 'r.jsonl'), meta + statement('prepared', '0.90') + statement('extended', '1.00') + line('kind', 'end', 'finished', 'f', 'load_after', 'a'));
    const report = (jsonl) => spawnSync('node', [path.join(bench, 'scaling', 'report.js'), path.join(dir, jsonl), path.join(dir, 'out.json')], { encoding: 'utf8' });
    const r = report('r.jsonl');
    assert.strictEqual(r.status, 0, r.stderr);
    assert.match(r.stdout, /\| plots \| 12 \| 1 234 \/ 1 234 \| 0\.9 \/ 1\.0 \| 20 \/ 20 \| 78\.8 \/ 78\.8 \| 12 % \| 122 415 \/ 122 415 \| l \|/);
    const out = fs.readFileSync(path.join(dir, 'out.json'), 'utf8');
    assert.match(out, /\n {3}"pg_cores_busy": 1\.0,\n {3}"statements_per_pg_cpu_s": 20,\n {3}"mean_latency_ms": 78\.8,\n/);
    // A line without a figure the report needs fails the report.
    fs.writeFileSync(path.join(dir, 'bad.jsonl'), meta.replace('"cores": 2, ', '') + line('kind', 'end', 'finished', 'f', 'load_after', 'a'));
    const bad = report('bad.jsonl');
    assert.strictEqual(bad.status, 1);
    assert.match(bad.stderr, /"meta" line has no "cores"/);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('bench/lib.sh: calc rounds half to even and takes only arithmetic; median of an even count', () => {
  const sh = (script) => spawnSync('bash', ['-c', `. "${bench}/lib.sh"; ${script}`], { encoding: 'utf8' });
  assert.strictEqual(sh('calc %.0f 2.5; calc %.2f "1 / 8"; calc %.0f "7 / max(0, 0.01)"; calc "%.1f %%" "100 * (1 - 3 / 4)"').stdout, '2\n0.12\n700\n25.0 %\n');
  const refused = sh('calc %.0f "system(\\"true\\")"');
  assert.strictEqual(refused.status, 1);
  assert.strictEqual(refused.stdout, '');
  assert.strictEqual(sh('printf "1234567\\n1234568\\n" | median; printf "3\\n1.50\\n2\\n" | median; printf "" | median').stdout, '1234567.5\n2\n');
});
