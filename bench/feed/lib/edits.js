'use strict';
// Random edits of the five layer tables, each its own transaction, with the old and new extent
// of the edited feature; and the tile statements of the server, to know a tile's bytes before
// and after an edit inside the editing transaction.

const crypto = require('crypto');
const { execFileSync } = require('child_process');
const { Client } = require('pg');
const { now } = require('../../lib/net');
const { rng } = require('../../lib/stats');

const LAYERS = {
  plots: { table: 'PLOT', id: 'ID', geom: 'GEOMETRY_3857', minzoom: 8, attr: 'file_no', point: false },
  beacons: { table: 'BEACON', id: 'ID', geom: 'GEOMETRY_3857', minzoom: 12, attr: 'REMARK', point: true },
  cadzones: { table: 'CadZones', id: 'id', geom: 'geometry_3857', minzoom: 4, attr: 'name' },
  // Districts and LGAs are referenced by the zones and districts below them: only rows this
  // benchmark inserted are deleted.
  districts: { table: 'Districts', id: 'id', geom: 'geometry_3857', minzoom: 3, attr: 'name', referenced: true },
  lgas: { table: 'LGAs', id: 'id', geom: 'geometry_3857', minzoom: 2, attr: 'name', referenced: true },
};
const MAX_ZOOM = 20;
// Edits fall mostly on parcels and beacons, as in a cadastre's daily work.
const LAYER_WEIGHTS = [['plots', 45], ['beacons', 35], ['cadzones', 10], ['districts', 6], ['lgas', 4]];
const OP_WEIGHTS = [['move', 40], ['attribute', 30], ['insert', 15], ['delete', 15]];

const q = (name) => `"${name}"`;

function weighted(random, pairs) {
  const total = pairs.reduce((s, [, w]) => s + w, 0);
  let u = random() * total;
  for (const [v, w] of pairs) {
    if ((u -= w) < 0) return v;
  }
  return pairs[pairs.length - 1][0];
}

const digest = (bytes) => (bytes && bytes.length ? crypto.createHash('sha1').update(bytes).digest('hex') : 'empty');

async function connect(url) {
  // The server runs its sessions without JIT too: the tile statements would compile for seconds.
  const client = new Client({ connectionString: url, options: '-c jit=off' });
  // A connection lost while idle (a restarted server) shows at the next query; the caller
  // reconnects then.
  client.on('error', () => {});
  await client.connect();
  return client;
}

const vertexSql = (l, g = q(l.geom)) => (l.point ? g : `ST_PointN(ST_ExteriorRing(ST_GeometryN(${g}, 1)), 1)`);
const copiedGeometry = (l) => `ST_Translate(ST_Scale(${q(l.geom)}, ST_MakePoint($2, $2), ST_Centroid(${q(l.geom)})), $3, $4)`;
const boxColumns = (g) =>
  `ST_XMin(Box3D(${g})) AS minx, ST_YMin(Box3D(${g})) AS miny, ST_XMax(Box3D(${g})) AS maxx, ST_YMax(Box3D(${g})) AS maxy`;
const boxOf = (r) => ({ minx: r.minx, miny: r.miny, maxx: r.maxx, maxy: r.maxy });
const shifted = (b, dx, dy) => ({ minx: b.minx + dx, miny: b.miny + dy, maxx: b.maxx + dx, maxy: b.maxy + dy });

class Editor {
  constructor(url, { seed = 1, printTileSql } = {}) {
    this.url = url;
    this.random = rng(seed);
    this.printTileSql = printTileSql;
    this.statements = new Map();
    this.ids = {};
    this.inserted = {};
    this.nextId = {};
    this.columns = {};
    this.counter = 0;
  }

  async open() {
    this.db = await connect(this.url);
    for (const [layer, l] of Object.entries(LAYERS)) {
      const ids = await this.db.query(`SELECT ${q(l.id)} AS id FROM ${q(l.table)} ORDER BY 1`);
      this.ids[layer] = ids.rows.map((r) => Number(r.id));
      this.inserted[layer] = [];
      this.nextId[layer] = (this.ids[layer].length ? this.ids[layer][this.ids[layer].length - 1] : 0) + 1;
      const cols = await this.db.query(
        `SELECT column_name AS c FROM information_schema.columns
         WHERE table_schema = 'public' AND table_name = $1 ORDER BY ordinal_position`, [l.table]);
      this.columns[layer] = cols.rows.map((r) => r.c);
    }
  }

  async reopen() {
    try {
      await this.db.end();
    } catch (e) {
      // Already gone.
    }
    this.db = await connect(this.url);
  }

  close() {
    return this.db.end();
  }

  // The server's statement for a tile of the layer at zoom z, with $1..$4 for the envelope.
  tileSql(layer, z) {
    const key = `${layer}/${z}`;
    if (!this.statements.has(key)) {
      const text = execFileSync(this.printTileSql, [layer, String(z)]).toString();
      this.statements.set(key, text.replace(/:min_x/g, '$1').replace(/:min_y/g, '$2').replace(/:max_x/g, '$3')
        .replace(/:max_y/g, '$4').replace(/;\s*$/, ''));
    }
    return this.statements.get(key);
  }

  // The digest of the tile's bytes as the database has them now, in this session ('empty'
  // for an empty tile).
  async tileDigest(layer, t, bounds) {
    const b = bounds(t.z, t.x, t.y);
    const r = await this.db.query(this.tileSql(layer, t.z), [b.minx, b.miny, b.maxx, b.maxy]);
    return digest(r.rows[0] && r.rows[0].mvt);
  }

  // A random edit: layer, operation and feature. `near` (EPSG:3857 point and radius) keeps it
  // to features close to a place.
  async pick({ near, layers = LAYER_WEIGHTS } = {}) {
    const random = this.random;
    const layer = weighted(random, layers);
    const l = LAYERS[layer];
    let op = weighted(random, OP_WEIGHTS);
    if (op === 'delete' && l.referenced && this.inserted[layer].length === 0) op = 'insert';
    const angle = random() * 2 * Math.PI;
    const distance = 5 + random() * 45;
    const planned = { layer, op, dx: distance * Math.cos(angle), dy: distance * Math.sin(angle) };
    if (op === 'delete' && l.referenced) {
      planned.id = this.inserted[layer][Math.floor(random() * this.inserted[layer].length)];
    } else if (near) {
      const r = await this.db.query(
        `SELECT ${q(l.id)} AS id FROM ${q(l.table)}
         WHERE ${q(l.geom)} && ST_Expand(ST_SetSRID(ST_MakePoint($1, $2), 3857), $3)
         ORDER BY md5(${q(l.id)}::text || $4) LIMIT 1`, [near.x, near.y, near.radius, String(random())]);
      // Nothing of the layer there: any feature of it, so that the mix of layers holds.
      planned.id = r.rows.length ? Number(r.rows[0].id) : this.ids[layer][Math.floor(random() * this.ids[layer].length)];
    } else {
      const ids = this.ids[layer];
      planned.id = ids[Math.floor(random() * ids.length)];
    }
    if (op === 'insert') {
      planned.newId = this.nextId[layer]++;
      planned.scale = 0.8 + 0.4 * random();
    }
    planned.value = `bench ${++this.counter}`;
    return planned;
  }

  editSql(planned) {
    const l = LAYERS[planned.layer];
    const g = q(l.geom);
    const back = `RETURNING ${boxColumns(g)}, ST_X(${vertexSql(l)}) AS vx, ST_Y(${vertexSql(l)}) AS vy`;
    const where = `WHERE ${q(l.id)} = $1`;
    if (planned.op === 'move') return [`UPDATE ${q(l.table)} SET ${g} = ST_Translate(${g}, $2, $3) ${where} ${back}`, [planned.id, planned.dx, planned.dy]];
    if (planned.op === 'attribute') {
      const set = l.attr === 'name' ? `name = split_part(name, ' #', 1) || ' #' || $2` : `${q(l.attr)} = $2`;
      return [`UPDATE ${q(l.table)} SET ${set} ${where} ${back}`, [planned.id, planned.value]];
    }
    if (planned.op === 'delete') return [`DELETE FROM ${q(l.table)} ${where} ${back}`, [planned.id]];
    const cols = this.columns[planned.layer];
    const values = cols.map((c) => (c === l.id ? '$5' : c === l.geom ? copiedGeometry(l) : q(c)));
    return [`INSERT INTO ${q(l.table)} (${cols.map(q).join(', ')}) SELECT ${values.join(', ')} FROM ${q(l.table)} ${where} ${back}`,
      [planned.id, planned.scale, planned.dx, planned.dy, planned.newId]];
  }

  // Runs the edit in a transaction of its own. `hooks.before(change)` runs once the feature is
  // locked and its extents known (`change.oldBox`, `change.newBox`, `change.oldPoint`,
  // `change.newPoint`: a vertex of it before and after, null where there is none), and
  // `hooks.after(change)` after the edit, both inside the transaction. Resolves with the change
  // and `committed`, the moment COMMIT returned; null when the feature is gone.
  async edit(planned, hooks = {}) {
    const l = LAYERS[planned.layer];
    const db = this.db;
    await db.query('BEGIN');
    try {
      const lock = planned.op === 'insert' ? '' : 'FOR UPDATE';
      // An insert copies the feature, moved and scaled: a copy of the same area would tie with
      // it in the tile statement's order, and tied features come out in any order.
      const g = planned.op === 'insert' ? copiedGeometry(l) : q(l.geom);
      const located = planned.op === 'insert' ? [planned.id, planned.scale, planned.dx, planned.dy] : [planned.id];
      const found = await db.query(
        `SELECT ${boxColumns(g)}, ST_X(${vertexSql(l, g)}) AS vx, ST_Y(${vertexSql(l, g)}) AS vy
         FROM ${q(l.table)} WHERE ${q(l.id)} = $1 ${lock}`, located);
      if (found.rows.length === 0) {
        await db.query('ROLLBACK');
        this.forget(planned);
        return null;
      }
      const before = found.rows[0];
      const box = boxOf(before);
      const point = { x: before.vx, y: before.vy };
      const moved = planned.op === 'move';
      const change = {
        planned,
        layer: planned.layer,
        oldBox: planned.op === 'insert' ? null : box,
        newBox: planned.op === 'delete' ? null : moved ? shifted(box, planned.dx, planned.dy) : box,
        oldPoint: planned.op === 'insert' ? null : point,
        newPoint: planned.op === 'delete' ? null : moved ? { x: point.x + planned.dx, y: point.y + planned.dy } : point,
      };
      if (hooks.before) change.before = await hooks.before(change);
      const [sql, params] = this.editSql(planned);
      const done = await db.query(sql, params);
      if (planned.op !== 'delete' && done.rows.length) change.newBox = boxOf(done.rows[0]);
      if (hooks.after) change.after = await hooks.after(change);
      await db.query('COMMIT');
      change.committed = now();
      this.remember(planned);
      return change;
    } catch (e) {
      try {
        await db.query('ROLLBACK');
      } catch (ignored) {
        // The connection is gone; the caller reconnects.
      }
      throw e;
    }
  }

  remember(planned) {
    if (planned.op === 'insert') {
      this.ids[planned.layer].push(planned.newId);
      this.inserted[planned.layer].push(planned.newId);
    } else if (planned.op === 'delete') {
      this.forget(planned);
    }
  }

  forget(planned) {
    for (const list of [this.ids[planned.layer], this.inserted[planned.layer]]) {
      const i = list.indexOf(planned.id);
      if (i >= 0) list.splice(i, 1);
    }
  }
}

// The layers a change of the layer's table feeds (one each here), and the zooms it is served at.
const zoomsOf = (layer, from = 0, to = MAX_ZOOM) => {
  const out = [];
  for (let z = Math.max(from, LAYERS[layer].minzoom); z <= Math.min(to, MAX_ZOOM); z++) out.push(z);
  return out;
};

module.exports = { LAYERS, MAX_ZOOM, Editor, connect, digest, rng, zoomsOf };
