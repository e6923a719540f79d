'use strict';
// Web Mercator tile arithmetic, the same rule as the server's invalidation: a tile is touched
// by an extent when the tile's closed envelope meets the extent's closed box.

const { W } = require('../../lib/tiles');
// Neighbouring envelopes may disagree on their shared edge by an ulp; a millimetre keeps a box
// lying on an edge in the tiles of both sides (a little wider than the server's micrometre, so
// that a tile the server may rightly delete is never counted as untouched).
const EDGE = 1e-3;

const tileSize = (z) => (2 * W) / 2 ** z;

function bounds(z, x, y) {
  const size = tileSize(z);
  const minx = -W + x * size;
  const maxy = W - y * size;
  return { minx, miny: maxy - size, maxx: minx + size, maxy };
}

function clampIndex(i, z) {
  return Math.min(2 ** z - 1, Math.max(0, i));
}

// The tile of zoom z holding the point (a point on an edge goes to the tile right of or below it).
function tileAt(z, px, py) {
  const size = tileSize(z);
  return { z, x: clampIndex(Math.floor((px + W) / size), z), y: clampIndex(Math.floor((W - py) / size), z) };
}

// The span of tiles of zoom z whose envelopes meet the box, as x0..x1, y0..y1 inclusive.
function span(z, box) {
  const size = tileSize(z);
  return {
    z,
    x0: clampIndex(Math.floor((box.minx - EDGE + W) / size), z),
    x1: clampIndex(Math.floor((box.maxx + EDGE + W) / size), z),
    y0: clampIndex(Math.floor((W - box.maxy - EDGE) / size), z),
    y1: clampIndex(Math.floor((W - box.miny + EDGE) / size), z),
  };
}

function meets(z, x, y, box) {
  const b = bounds(z, x, y);
  return b.minx <= box.maxx + EDGE && box.minx <= b.maxx + EDGE && b.miny <= box.maxy + EDGE && box.miny <= b.maxy + EDGE;
}

// Every tile of zooms z0..z1 over the box, zoom by zoom, as {z, x, y}.
function tilesOver(box, z0, z1) {
  const out = [];
  for (let z = z0; z <= z1; z++) {
    const s = span(z, box);
    for (let x = s.x0; x <= s.x1; x++) for (let y = s.y0; y <= s.y1; y++) out.push({ z, x, y });
  }
  return out;
}

const tileKey = (layer, t) => `${layer}:${t.z}:${t.x}:${t.y}`;
const tilePath = (layer, t) => `/gis/${layer}/${t.z}/${t.x}/${t.y}.pbf`;

function parseTileKey(key) {
  const m = /^([a-z]+):(\d+):(\d+):(\d+)$/.exec(key);
  return m ? { layer: m[1], z: Number(m[2]), x: Number(m[3]), y: Number(m[4]) } : null;
}

module.exports = { W, bounds, tileAt, span, meets, tilesOver, tileKey, tilePath, parseTileKey };
