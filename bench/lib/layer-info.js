#!/usr/bin/env node
'use strict';
// What the drivers read of a layer's description (GET /gis/LAYER/, on standard input):
//
//   layer-info.js extent            minx,miny,maxx,maxy of the layer's extent (EPSG:3857)
//   layer-info.js suggested-tile    "z x y" of the tile the server suggests (in the data)
//   layer-info.js tile-url          that tile's path
//   layer-info.js centroid-tile Z   "z x y" of the tile of zoom Z holding the data's centroid
//
// Exits 1, saying what is missing, when the answer is not such a description.

const fs = require('fs');

function fail(message) {
  process.stderr.write(`layer-info.js: ${message}\n`);
  process.exit(1);
}

function field(object, path) {
  let v = object;
  for (const k of path.split('.')) {
    if (v === null || typeof v !== 'object' || !(k in v)) fail(`the layer's description has no ${path}`);
    v = v[k];
  }
  return v;
}

function number(object, path) {
  const v = field(object, path);
  if (typeof v !== 'number' || !Number.isFinite(v)) fail(`${path} is not a number: ${JSON.stringify(v)}`);
  return v;
}

const [what, arg] = process.argv.slice(2);
const input = fs.readFileSync(0, 'utf8');
let answer;
try {
  answer = JSON.parse(input);
} catch {
  fail(`not JSON: ${input.slice(0, 200)}`);
}

if (what === 'extent') {
  console.log(['minx', 'miny', 'maxx', 'maxy'].map((k) => number(answer, `data.extent_web_mercator.${k}`)).join(','));
} else if (what === 'suggested-tile') {
  console.log(['z', 'x', 'y'].map((k) => number(answer, `data.suggested_tile.${k}`)).join(' '));
} else if (what === 'tile-url') {
  console.log(field(answer, 'data.tile_url'));
} else if (what === 'centroid-tile' && /^\d+$/.test(arg || '')) {
  // The Web Mercator tile of a longitude and latitude.
  const z = Number(arg);
  const n = 2 ** z;
  const lat = number(answer, 'data.centroid_wgs84.latitude') * (Math.PI / 180);
  const x = Math.trunc(((number(answer, 'data.centroid_wgs84.longitude') + 180) / 360) * n);
  const y = Math.trunc(((1 - Math.asinh(Math.tan(lat)) / Math.PI) / 2) * n);
  console.log(z, x, y);
} else {
  process.stderr.write('usage: layer-info.js extent | suggested-tile | tile-url | centroid-tile Z   (the answer of GET /gis/LAYER/ on standard input)\n');
  process.exit(2);
}
