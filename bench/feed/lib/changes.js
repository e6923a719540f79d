'use strict';
// What an edit touches: its probe tiles (where the feature was and is) and, for the tiles of a
// run, whether any edit's old or new extent meets them.

const T = require('./tiles');
const { zoomsOf } = require('./edits');

// Zooms of each layer whose tiles' bytes do not follow from the data alone. The tile statement
// orders features by area and cuts at the zoom's feature limit; beacons all have area zero, and
// up to z15 a tile holds more of them than the limit, so which ones a build keeps depends on
// the plan (two builds of the same data differ; an edited beacon may be in neither).
const UNSETTLED = { beacons: [12, 13, 14, 15] };

// Every zoom of the layer whose tiles show an edit for certain.
const settledZooms = (layer) => zoomsOf(layer).filter((z) => !(UNSETTLED[layer] || []).includes(z));

// The probe tiles of a change at the given zooms: the tiles holding a vertex of the feature
// before and after the edit.
function probes(change, zooms) {
  const seen = new Map();
  for (const z of zooms) {
    for (const p of [change.oldPoint, change.newPoint]) {
      if (!p) continue;
      const t = T.tileAt(z, p.x, p.y);
      seen.set(T.tileKey(change.layer, t), t);
    }
  }
  return [...seen.values()];
}

// A test of (layer, tile): whether any of the changes of that layer has an old or new extent
// meeting the tile.
function touchedBy(changes) {
  const byLayer = new Map();
  for (const c of changes) {
    if (!byLayer.has(c.layer)) byLayer.set(c.layer, []);
    for (const b of [c.oldBox, c.newBox]) if (b) byLayer.get(c.layer).push(b);
  }
  return (layer, t) => (byLayer.get(layer) || []).some((b) => T.meets(t.z, t.x, t.y, b));
}

module.exports = { UNSETTLED, settledZooms, probes, touchedBy };
