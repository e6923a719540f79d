// Which tiles the preview fetches again after an edit, and which requests bypass the
// browser's copy, on a stand-in for the map.
//
//   node --test tests/browser/live_tiles.test.mjs
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { LiveTiles, areaMeetsTile } from '../../web/live.js';

const SOURCE = 'cadastre';

// The usual slippy-map formulas, written apart from the code under test.
function tileOf(lon, lat, z) {
  const n = 2 ** z;
  const rad = (lat * Math.PI) / 180;
  return {
    z,
    x: Math.floor(((lon + 180) / 360) * n),
    y: Math.floor(((1 - Math.log(Math.tan(rad) + 1 / Math.cos(rad)) / Math.PI) / 2) * n),
  };
}

function tileUrl(c) {
  return `http://127.0.0.1:8000/gis/plots,beacons/${c.z}/${c.x}/${c.y}.pbf`;
}

const plot = { layer: 'plots', bbox: [7.4901, 9.0501, 7.4905, 9.0504], minzoom: 8, maxzoom: 20 };

test('an area meets the tiles of its zooms that its box touches, edges included', () => {
  const inside = tileOf(7.4903, 9.0502, 15);
  assert.ok(areaMeetsTile(plot, inside));
  assert.ok(!areaMeetsTile(plot, { ...inside, x: inside.x + 1 }));
  assert.ok(!areaMeetsTile(plot, { ...inside, y: inside.y - 1 }));
  assert.ok(!areaMeetsTile(plot, tileOf(7.4903, 9.0502, 7)), 'below the area zooms');
  // A point on the meridian and the equator lies on four tiles of zoom 1.
  const corner = { layer: 'plots', bbox: [0, 0, 0, 0], minzoom: 0, maxzoom: 20 };
  const met = [[0, 0], [1, 0], [0, 1], [1, 1]].filter(([x, y]) => areaMeetsTile(corner, { z: 1, x, y }));
  assert.equal(met.length, 4);
  assert.ok(!areaMeetsTile(corner, { z: 2, x: 0, y: 0 }));
  // An extent that is not known (not finite) is taken as everywhere.
  assert.ok(areaMeetsTile({ ...plot, bbox: [null, 0, 1, 1] }, { z: 9, x: 0, y: 0 }));
});

test('a tile an edit touched is revalidated once, then comes from the browser again', () => {
  const live = new LiveTiles(SOURCE, ['plots', 'beacons']);
  const touched = tileOf(7.4903, 9.0502, 16);
  const elsewhere = { ...touched, x: touched.x + 3 };
  assert.equal(live.transformRequest(tileUrl(touched), 'Tile'), undefined);

  live.applyChanges([plot, { ...plot, layer: 'roads', bbox: [-180, -85, 180, 85] }]);
  assert.deepEqual(live.transformRequest(tileUrl(touched), 'Tile'), { url: tileUrl(touched), cache: 'no-cache' });
  assert.equal(live.transformRequest(tileUrl(touched), 'Tile'), undefined);
  assert.equal(live.transformRequest(tileUrl(elsewhere), 'Tile'), undefined, 'a layer the source lacks counts for nothing');
  assert.equal(live.transformRequest(tileUrl(touched).replace('.pbf', '.json'), 'Source'), undefined);

  live.applyChanges([plot]);  // edited again after that check
  assert.equal(live.transformRequest(tileUrl(touched), 'Tile').cache, 'no-cache');

  live.reloadAll();
  assert.equal(live.transformRequest(tileUrl(elsewhere), 'Tile').cache, 'no-cache');
  assert.equal(live.transformRequest(tileUrl(elsewhere), 'Tile'), undefined);
});

test('forgetting old areas makes every tile checked before them suspect', () => {
  const live = new LiveTiles(SOURCE, ['plots']);
  const far = tileOf(-70, 40, 12);
  live.reloadAll();
  assert.equal(live.transformRequest(tileUrl(far), 'Tile').cache, 'no-cache');
  live.applyChanges([plot]);
  assert.equal(live.transformRequest(tileUrl(far), 'Tile'), undefined);
  for (let i = 0; i < 600; i += 1) live.applyChanges([plot]);
  assert.equal(live.transformRequest(tileUrl(far), 'Tile').cache, 'no-cache');
});

// A map with tiles in view (loaded or loading) and tiles kept out of view.
function standInMap(inView, outOfView) {
  const handlers = {};
  const map = {
    refreshed: [],
    kept: [...outOfView],
    on(type, handler) { handlers[type] = handler; },
    fire(type, event) { handlers[type](event); },
    refreshTiles(source, ids) { map.refreshed.push({ source, ids }); },
    style: {
      tileManagers: {
        [SOURCE]: {
          getIds: () => inView.map((_, i) => String(i)),
          getTileByID: (id) => ({ state: inView[id].state, tileID: { canonical: inView[id].c } }),
          _outOfViewCache: {
            filter(keep) { map.kept = map.kept.filter((c) => keep({ tileID: { canonical: c } })); },
          },
        },
      },
    },
  };
  return map;
}

test('an edit fetches again exactly the tiles in view it touched, and drops those out of view', () => {
  const t = tileOf(7.4903, 9.0502, 15);
  const loading = tileOf(7.4903, 9.0502, 14);
  const inView = [
    { c: t, state: 'loaded' },
    { c: { ...t, x: t.x + 1 }, state: 'loaded' },
    { c: loading, state: 'loading' },
  ];
  const outside = { ...t, y: t.y + 2 };
  const map = standInMap(inView, [tileOf(7.4903, 9.0502, 13), outside]);
  const live = new LiveTiles(SOURCE, ['plots']);
  live.attach(map);

  live.applyChanges([plot]);
  assert.deepEqual(map.refreshed, [{ source: SOURCE, ids: [t] }]);
  assert.deepEqual(map.kept, [outside]);

  // The loading tile's request may have left before the edit: it is fetched again once loaded.
  map.fire('sourcedata', { sourceId: SOURCE, tile: { state: 'loaded', tileID: { canonical: { ...t, x: t.x + 1 } } } });
  assert.equal(map.refreshed.length, 1);
  map.fire('sourcedata', { sourceId: SOURCE, tile: { state: 'loaded', tileID: { canonical: loading } } });
  assert.deepEqual(map.refreshed[1], { source: SOURCE, ids: [loading] });
  map.fire('sourcedata', { sourceId: SOURCE, tile: { state: 'loaded', tileID: { canonical: loading } } });
  assert.equal(map.refreshed.length, 2);

  live.reloadAll();
  assert.deepEqual(map.refreshed[2], { source: SOURCE, ids: undefined });
});
