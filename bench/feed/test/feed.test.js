'use strict';
// node --test bench/feed/test/
const test = require('node:test');
const assert = require('node:assert');
const T = require('../lib/tiles');
const { versionHistory, classify } = require('../lib/stale');

test('span holds exactly the tiles whose envelope meets the box, edges included', () => {
  const z = 16;
  const edge = T.bounds(z, 34123, 31113);
  const boxes = [
    { minx: 828600, miny: 1011500, maxx: 828620, maxy: 1011530 }, // inside one tile
    { minx: edge.maxx - 5, miny: edge.miny + 5, maxx: edge.maxx + 5, maxy: edge.miny + 20 }, // across an edge
    { minx: edge.maxx, miny: edge.maxy, maxx: edge.maxx, maxy: edge.maxy }, // a point on a corner
    { minx: edge.minx - 700, miny: edge.miny - 700, maxx: edge.maxx + 700, maxy: edge.maxy + 700 }, // several
  ];
  for (const box of boxes) {
    const s = T.span(z, box);
    for (let x = 34123 - 3; x <= 34123 + 3; x++) {
      for (let y = 31113 - 3; y <= 31113 + 3; y++) {
        const inSpan = x >= s.x0 && x <= s.x1 && y >= s.y0 && y <= s.y1;
        assert.strictEqual(inSpan, T.meets(z, x, y, box), `tile ${x}/${y} for ${JSON.stringify(box)}`);
      }
    }
  }
  // A point on a corner meets the four tiles around it.
  const corner = T.span(z, boxes[2]);
  assert.strictEqual((corner.x1 - corner.x0 + 1) * (corner.y1 - corner.y0 + 1), 4);
});

test('tileAt, bounds and tilesOver agree; keys and paths read back', () => {
  const t = T.tileAt(15, 828800, 1011700);
  const b = T.bounds(t.z, t.x, t.y);
  assert.ok(b.minx <= 828800 && 828800 < b.maxx && b.miny < 1011700 && 1011700 <= b.maxy);
  assert.deepStrictEqual(T.tilesOver({ minx: 828800, miny: 1011700, maxx: 828800, maxy: 1011700 }, 15, 15), [t]);
  assert.deepStrictEqual(T.parseTileKey(T.tileKey('plots', t)), { layer: 'plots', ...t });
  assert.strictEqual(T.parseTileKey('bbox:plots:1:2:3:4:5000:True'), null);
  assert.strictEqual(T.tilePath('beacons', { z: 18, x: 1, y: 2 }), '/gis/beacons/18/1/2.pbf');
});

test('an answer is stale only when it carries bytes replaced more than the allowance before it was sent', () => {
  const h = versionHistory();
  h.add(7, 100, 'a'); // watched from t = 100: 'a' held since before
  h.add(7, 1000, 'b'); // commit at 1000 made it 'b'
  h.add(7, 1000, 'b'); // a second edit leaving the bytes alone adds nothing
  h.add(7, 5000, 'c');
  const v = h.get(7);
  assert.strictEqual(v.length, 3);
  assert.strictEqual(v[0].at, -Infinity);
  assert.strictEqual(h.current(7), 'c');
  assert.strictEqual(classify(v, 900, 'a', 3000), 'ok');
  assert.strictEqual(classify(v, 3999, 'a', 3000), 'ok'); // within the allowance
  assert.deepStrictEqual(classify(v, 4500, 'a', 3000), { age: 3500 });
  assert.strictEqual(classify(v, 4500, 'b', 3000), 'ok');
  assert.strictEqual(classify(v, 4500, 'c', 3000), 'ok'); // newer than needed is fine
  assert.deepStrictEqual(classify(v, 9000, 'b', 3000), { age: 4000 });
  assert.strictEqual(classify(v, 9000, 'x', 3000), 'unknown');
});

test('bytes that come back after an edit undoes another are current again', () => {
  const h = versionHistory();
  h.add(1, 0, 'a');
  h.add(1, 1000, 'b');
  h.add(1, 2000, 'a');
  assert.strictEqual(classify(h.get(1), 10000, 'a', 3000), 'ok');
  assert.deepStrictEqual(classify(h.get(1), 10000, 'b', 3000), { age: 8000 });
});

test('probe tiles: where the feature was and is, once per tile, only at the zooms asked', () => {
  const { probes, settledZooms } = require('../lib/changes');
  const b = T.bounds(18, 136499, 124461);
  // Moved 20 m east across the tile's right edge: two tiles at z18, one at z10.
  const move = { layer: 'plots', oldPoint: { x: b.maxx - 10, y: b.maxy - 50 }, newPoint: { x: b.maxx + 10, y: b.maxy - 50 } };
  const at = (zooms) => probes(move, zooms).map((t) => `${t.z}/${t.x}/${t.y}`);
  assert.deepStrictEqual(at([10, 18]), ['10/533/486', '18/136499/124461', '18/136500/124461']);
  const deleted = { layer: 'plots', oldPoint: move.oldPoint, newPoint: null };
  assert.deepStrictEqual(probes(deleted, [18]).map((t) => t.x), [136499]);
  assert.deepStrictEqual(settledZooms('beacons'), [16, 17, 18, 19, 20]);
  assert.strictEqual(settledZooms('plots')[0], 8);
});

test('touched tiles: old and new extents of the tile\'s own layer only', () => {
  const { touchedBy } = require('../lib/changes');
  const t = { z: 18, x: 136499, y: 124461 };
  const b = T.bounds(t.z, t.x, t.y);
  const inside = { minx: b.minx + 10, miny: b.miny + 10, maxx: b.minx + 20, maxy: b.miny + 20 };
  const far = { minx: b.maxx + 500, miny: b.miny, maxx: b.maxx + 510, maxy: b.miny + 10 };
  const touched = touchedBy([
    { layer: 'plots', oldBox: far, newBox: inside },
    { layer: 'beacons', oldBox: far, newBox: null },
  ]);
  assert.strictEqual(touched('plots', t), true);
  assert.strictEqual(touched('beacons', t), false);
  assert.strictEqual(touched('lgas', t), false);
  assert.strictEqual(touched('plots', { z: 18, x: t.x + 10, y: t.y }), false);
});
