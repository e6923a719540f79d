#!/usr/bin/env node
// The change feed measured from the outside, through HTTP on warm servers (driver of
// bench/feed/run.sh). Every mode prints its figures as Markdown on standard output.
//
//   node feed.js commit    --db URL --instances BASE,BASE [--edits N] [--seed S] [--poll-ms MS]
//                          [--timeout-ms MS] [--confirm N]
//       one random edit at a time; per edit, from COMMIT returning until every cached zoom of
//       the edited feature's tiles answers new bytes on every instance (N + 1 times in a row)
//   node feed.js precision --db URL --instances BASE,BASE --redis-port P --extent MINX,MINY,MAXX,MAXY
//                          [--tiles N] [--edits N]
//       warms N distinct tiles, replays edits, counts the untouched tiles still cached, and the
//       keys each parcel edit deleted per zoom (Redis keyspace events)
//   node feed.js refresh   --db URL --instances BASE,BASE --extent ... [--rounds N] [--delay-ms MS,...]
//       edits in an area, then the first view of the edited area at z8-z12: hits or not
//   node feed.js writer    --db URL --rate R --seconds S
//       R edits a second in the background (for wrk beside it)
//   node feed.js stale     --db URL --instances BASE,BASE [--edits N] [--seconds S] [--readers N]
//                          [--reader-pause-ms MS] [--allowed-ms MS]
//       readers (64) and one writer; answers that carry bytes an edit replaced more than
//       allowed-ms before the request was sent, and changes lost at the end
//
// Common: --print-tile-sql PATH (the server's tile statements), --log FILE (one JSON line per
// edit). Every loop is bounded in count and in time.
'use strict';

const fs = require('fs');
const path = require('path');
const { Worker } = require('worker_threads');
const { now, sleep, keepAliveAgent, get, metric, Redis } = require('../lib/net');
const T = require('./lib/tiles');
const { percentile, median } = require('../lib/stats');
const { LAYERS, Editor, digest, rng, zoomsOf } = require('./lib/edits');
const { versionHistory, classify } = require('./lib/stale');
const { settledZooms, probes, touchedBy } = require('./lib/changes');

function options(argv) {
  const o = {};
  for (let i = 0; i < argv.length; i++) {
    if (!argv[i].startsWith('--')) throw new Error('unexpected argument: ' + argv[i]);
    o[argv[i].slice(2)] = argv[i + 1];
    i++;
  }
  return o;
}

const fmt = (v, digits = 0) => (Number.isFinite(v) ? v.toFixed(digits) : v === Infinity ? 'never' : String(v));
const pct = (n, d) => (d ? ((100 * n) / d).toFixed(2) : 'n/a');

function logger(file) {
  if (!file) return () => {};
  const out = fs.createWriteStream(file, { flags: 'a' });
  return (record) => out.write(JSON.stringify(record) + '\n');
}

// Runs `work` over the items, `concurrency` at a time.
async function eachLimited(items, concurrency, work) {
  let next = 0;
  async function lane() {
    while (next < items.length) {
      const i = next++;
      await work(items[i], i);
    }
  }
  await Promise.all(Array.from({ length: Math.min(concurrency, items.length) }, lane));
}

// Until the instance answers the tile from its cache: its ETag, or null when the tile is empty
// (empty tiles are never cached). A tile that the previous edit's batch still holds (with
// replicas, until they have replayed it) is answered but not stored for a moment: after a few
// tries in a row, it is asked again every 50 ms, for 5 s at most.
async function warm(agent, base, path) {
  const until = now() + 5000;
  for (let i = 0; ; i++) {
    const r = await get(agent, base, path);
    if (r.status === 204) return null;
    if (r.status !== 200) throw new Error(`${base}${path} answered ${r.status}`);
    if (r.headers['x-cache'] === 'HIT') return r.headers.etag;
    if (now() > until) throw new Error(`${base}${path} is not cached after ${i + 1} requests in 5 s`);
    if (i >= 3) await sleep(50);
  }
}

// ---- 1. commit to new bytes on every instance ----

// Polls one instance for one tile until it answers other bytes than `etag` (or nothing) on
// `confirm` + 1 requests in a row; resolves with the arrival of the first of them after t0,
// or Infinity after `timeout` ms.
async function untilNew(agent, base, path, etag, t0, { pollMs, timeout, confirm, post }) {
  let first = null;
  let seen = 0;
  let matches = null;
  while (now() - t0 < timeout) {
    const r = await get(agent, base, path, { 'If-None-Match': etag });
    const arrived = now();
    const fresh = r.status === 204 || (r.status === 200 && r.headers.etag !== etag);
    if (r.status >= 400) throw new Error(`${base}${path} answered ${r.status}`);
    if (fresh) {
      if (first === null) {
        first = arrived;
        matches = digest(r.body) === post;
      }
      if (++seen > confirm) return { ms: first - t0, matches };
    } else {
      first = null;
      seen = 0;
    }
    await sleep(pollMs);
  }
  return { ms: Infinity, matches };
}

async function commitMode(o) {
  const bases = o.instances.split(',');
  const agents = bases.map(() => keepAliveAgent(16));
  const edits = Number(o.edits || 1000);
  const pollMs = Number(o['poll-ms'] || 10);
  const timeout = Number(o['timeout-ms'] || 10000);
  const confirm = Number(o.confirm || 2);
  const deadline = now() + Number(o['max-seconds'] || 3600) * 1000;
  const log = logger(o.log);
  const editor = new Editor(o.db, { seed: Number(o.seed || 1), printTileSql: o['print-tile-sql'] });
  await editor.open();

  const results = [];
  const counts = { edits: 0, gone: 0, noneChanged: 0, pairs: 0, unchanged: 0, emptyBefore: 0, mismatched: 0, missed: 0 };
  for (let i = 0; i < edits && now() < deadline; i++) {
    const planned = await editor.pick();
    let tiles = [];
    const change = await editor.edit(planned, {
      before: async (c) => {
        tiles = probes(c, settledZooms(c.layer)).map((t) => ({ t, path: T.tilePath(c.layer, t), etags: [] }));
        await eachLimited(tiles, 4, async (p) => {
          for (let k = 0; k < bases.length; k++) p.etags[k] = await warm(agents[k], bases[k], p.path);
        });
        for (const p of tiles) p.pre = await editor.tileDigest(c.layer, p.t, T.bounds);
      },
      after: async (c) => {
        for (const p of tiles) p.post = await editor.tileDigest(c.layer, p.t, T.bounds);
      },
    });
    if (!change) {
      counts.gone++;
      continue;
    }
    const t0 = change.committed;
    counts.edits++;
    // Only tiles the edit changed can show it; an empty tile was not cached to begin with.
    const watched = [];
    for (const p of tiles) {
      if (p.pre === p.post) counts.unchanged++;
      else if (p.etags.some((e) => e === null)) counts.emptyBefore++;
      else watched.push(p);
    }
    const pairs = [];
    for (const p of watched) for (let k = 0; k < bases.length; k++) pairs.push({ p, k });
    const answers = await Promise.all(pairs.map(({ p, k }) =>
      untilNew(agents[k], bases[k], p.path, p.etags[k], t0, { pollMs, timeout, confirm, post: p.post })));
    counts.pairs += pairs.length;
    counts.mismatched += answers.filter((a) => a.matches === false).length;
    const missed = answers.filter((a) => !Number.isFinite(a.ms)).length;
    counts.missed += missed;
    if (pairs.length === 0) {
      counts.noneChanged++;
      log({ i, layer: planned.layer, op: planned.op, probes: tiles.length, changed: 0 });
      continue;
    }
    const ms = Math.max(...answers.map((a) => a.ms));
    const zooms = watched.map((p) => p.t.z);
    results.push({ layer: planned.layer, op: planned.op, ms });
    log({ i, layer: planned.layer, op: planned.op, probes: tiles.length, changed: watched.length, zooms, ms,
      each: answers.map((a, n) => [pairs[n].p.t.z, pairs[n].k, Math.round(a.ms), a.matches]) });
  }
  await editor.close();
  for (const a of agents) a.destroy();

  const sorted = results.map((r) => r.ms).sort((a, b) => a - b);
  console.log(`| edits | measured | p50 ms | p90 ms | p99 ms | max ms | never (${timeout / 1000} s) |`);
  console.log('|---|---|---|---|---|---|---|');
  console.log(`| ${counts.edits} | ${sorted.length} | ${fmt(percentile(sorted, 50))} | ${fmt(percentile(sorted, 90))} | ` +
    `${fmt(percentile(sorted, 99))} | ${fmt(sorted[sorted.length - 1])} | ${counts.missed} pairs |`);
  console.log();
  console.log('| layer | operation | edits | p50 ms | p99 ms | max ms |');
  console.log('|---|---|---|---|---|---|');
  const groups = new Map();
  for (const r of results) {
    for (const key of [`${r.layer} | all`, `all | ${r.op}`]) {
      if (!groups.has(key)) groups.set(key, []);
      groups.get(key).push(r.ms);
    }
  }
  for (const [key, values] of [...groups.entries()].sort()) {
    values.sort((a, b) => a - b);
    console.log(`| ${key} | ${values.length} | ${fmt(percentile(values, 50))} | ${fmt(percentile(values, 99))} | ${fmt(values[values.length - 1])} |`);
  }
  console.log();
  console.log(`Probe tiles: ${counts.pairs / bases.length} changed by their edit and cached before it (polled on ` +
    `${bases.length} instances every ${pollMs} ms, done after ${confirm + 1} new answers in a row), ` +
    `${counts.unchanged} not changed by it (same bytes before and after, in the editing transaction; ` +
    `beacons are not probed at z12-z15, where the tile keeps an arbitrary part of them), ` +
    `${counts.emptyBefore} empty before it (never cached); ${counts.noneChanged} edits changed none of ` +
    `their probe tiles; ${counts.gone} picked features were gone. New answers whose bytes differ from ` +
    `the database's after the edit: ${counts.mismatched}.`);
}

// Until every cache of the database has applied every change (nothing pending, and each cursor
// moved lately at the end of the history); false after `limit` ms.
const APPLIED_SQL = `SELECT NOT EXISTS (SELECT 1 FROM mapsvc_feed.pending) AND NOT EXISTS (
  SELECT 1 FROM mapsvc_feed.cursor WHERE updated_at > now() - interval '10 minutes'
  AND position < (SELECT coalesce(max(position), 0) FROM mapsvc_feed.history)) AS done`;
async function applied(db, limit = 10000) {
  const until = now() + limit;
  while (now() < until) {
    const r = await db.query(APPLIED_SQL);
    if (r.rows[0].done) return true;
    await sleep(5);
  }
  return false;
}

const extentOf = (text) => {
  const [minx, miny, maxx, maxy] = text.split(',').map(Number);
  return { minx, miny, maxx, maxy };
};

// ---- 2. precision ----

async function precisionMode(o) {
  const bases = o.instances.split(',');
  const agents = bases.map(() => keepAliveAgent(8));
  const wanted = Number(o.tiles || 20000);
  const edits = Number(o.edits || 1000);
  const ns = o.namespace || 'mvt_v8';
  const extent = extentOf(o.extent);
  const random = rng(Number(o.seed || 2));
  const log = logger(o.log);
  const deadline = now() + Number(o['max-seconds'] || 1800) * 1000;

  // Every tile of every layer over the extent at z8-z18, shuffled; walked until `wanted` of
  // them answered with bytes (empty tiles are never cached).
  const candidates = [];
  for (const layer of Object.keys(LAYERS)) {
    for (const t of T.tilesOver(extent, Math.max(8, LAYERS[layer].minzoom), 18)) candidates.push({ layer, t });
  }
  for (let i = candidates.length - 1; i > 0; i--) {
    const j = Math.floor(random() * (i + 1));
    [candidates[i], candidates[j]] = [candidates[j], candidates[i]];
  }
  const warmed = [];
  let walked = 0;
  const started = now();
  await eachLimited(candidates, 8, async (c) => {
    if (warmed.length >= wanted) return;
    walked++;
    const r = await get(agents[0], bases[0], T.tilePath(c.layer, c.t));
    if (r.status === 200 && warmed.length < wanted) warmed.push(c);
  });
  const redis = new Redis(Number(o['redis-port']));
  const present = await redis.existing(warmed.map((c) => `${ns}:${T.tileKey(c.layer, c.t)}`));
  const cached = warmed.filter((c, i) => present[i]);
  console.log(`Warmed ${cached.length} distinct tiles in Redis (${warmed.length} answered with bytes of ${walked} ` +
    `walked, ${candidates.length} candidates: every layer over the extent at z8-z18) in ${fmt((now() - started) / 1000, 1)} s.`);
  console.log();

  // Each deleted key, with the edit it came during.
  await redis.command('CONFIG', 'SET', 'notify-keyspace-events', 'Egx');
  const events = new Redis(Number(o['redis-port']));
  let current = -1;
  const deleted = [];
  const expired = new Set();
  events.onMessage = (channel, key) => {
    if (!key.startsWith(ns + ':')) return;
    if (channel.endsWith(':expired')) expired.add(key.slice(ns.length + 1));
    else deleted.push({ edit: current, key: key.slice(ns.length + 1) });
  };
  await events.command('SUBSCRIBE', '__keyevent@0__:del', '__keyevent@0__:expired');

  const editor = new Editor(o.db, { seed: Number(o.seed || 2) });
  await editor.open();
  const invalidatedTotal = async () => (await Promise.all(bases.map((b) => metric(b, 'mapsvc_cache_invalidated_keys_total')))).reduce((a, b) => a + b, 0);
  const changes = [];
  let late = 0;
  let before = await invalidatedTotal();
  for (let i = 0; i < edits && now() < deadline; i++) {
    current = i;
    const planned = await editor.pick();
    // A parcel edit first has every tile its extents touch at z8-z20 cached, so that what it
    // deletes per zoom can be compared with what it touched.
    const hooks = planned.layer !== 'plots' ? {} : {
      before: async (c) => {
        const tiles = new Map();
        for (const b of [c.oldBox, c.newBox]) {
          if (b) for (const t of T.tilesOver(b, 8, 20)) tiles.set(T.tileKey('plots', t), t);
        }
        const cachedPerZoom = new Map();
        await eachLimited([...tiles.values()], 4, async (t) => {
          if ((await warm(agents[0], bases[0], T.tilePath('plots', t))) !== null) cachedPerZoom.set(t.z, (cachedPerZoom.get(t.z) || 0) + 1);
        });
        return cachedPerZoom;
      },
    };
    const change = await editor.edit(planned, hooks);
    if (!change) continue;
    if (!(await applied(editor.db))) late++;
    await sleep(20); // the keyspace messages of the last deletions
    const after = await invalidatedTotal();
    change.invalidated = after - before;
    change.index = i;
    before = after;
    changes.push(change);
    log({ i, layer: change.layer, op: change.planned.op, invalidated: change.invalidated });
  }
  current = edits;
  await sleep(2500); // second passes of the last batches
  await events.command('UNSUBSCRIBE');
  events.close();
  await editor.close();

  // Untouched tiles: still in Redis, and answered as hits.
  const touched = touchedBy(changes);
  const untouched = cached.filter((c) => !touched(c.layer, c.t));
  const still = await redis.existing(untouched.map((c) => `${ns}:${T.tileKey(c.layer, c.t)}`));
  const stillCount = still.filter(Boolean).length;
  // A warmed tile may have been cached since an earlier section, and reached its time to live.
  const expiredUntouched = untouched.filter((c, i) => !still[i] && expired.has(T.tileKey(c.layer, c.t))).length;
  const kept = untouched.length - expiredUntouched;
  let hits = 0;
  await eachLimited(untouched, 8, async (c) => {
    const r = await get(agents[1 % bases.length], bases[1 % bases.length], T.tilePath(c.layer, c.t));
    if (r.headers['x-cache'] === 'HIT') hits++;
  });
  const touchedCached = cached.length - untouched.length;
  const deletedTiles = new Set(deleted.map((d) => d.key));
  const gone = cached.filter((c) => touched(c.layer, c.t) && deletedTiles.has(T.tileKey(c.layer, c.t))).length;
  // Keys deleted although no edit touched their tile.
  const wrong = new Map();
  for (const key of deletedTiles) {
    const t = T.parseTileKey(key);
    if (t && !touched(t.layer, t)) wrong.set(t.layer, (wrong.get(t.layer) || 0) + 1);
  }
  redis.close();

  console.log(`${changes.length} edits replayed one at a time, each until the feed had taken it (${late} took over 10 s); ` +
    `then 2.5 s for second passes. ${expired.size} tile keys expired meanwhile.`);
  console.log();
  console.log('| warmed tiles | touched by an edit | of those deleted | untouched | of those expired | untouched still in Redis (of those not expired) | untouched answered X-Cache: HIT |');
  console.log('|---|---|---|---|---|---|---|');
  console.log(`| ${cached.length} | ${touchedCached} | ${gone} | ${untouched.length} | ${expiredUntouched} | ` +
    `${stillCount} (${pct(stillCount, kept)} %) | ${hits} (${pct(hits, kept)} %) |`);
  console.log();
  console.log(`Tile keys deleted though no edit's extent meets their tile: ${wrong.size ? [...wrong].map(([l, n]) => `${l} ${n}`).join(', ') : 'none'}.`);
  console.log();

  // Keys deleted per parcel edit, per zoom of the plots layer, beside the cached tiles its
  // extents touched there.
  const perEdit = new Map();
  for (const d of deleted) {
    const t = T.parseTileKey(d.key);
    if (!t || t.layer !== 'plots') continue;
    const k = `${d.edit}:${t.z}`;
    perEdit.set(k, (perEdit.get(k) || 0) + 1);
  }
  const parcelEdits = changes.filter((c) => c.layer === 'plots');
  if (parcelEdits.length === 0) {
    console.log('No parcel edit among these edits: no keys per zoom to count.');
    return;
  }
  const all = [];
  let over = 0;
  console.log(`Keys deleted per parcel edit (${parcelEdits.length} edits of "PLOT": moves, attribute changes, inserts, ` +
    `deletes), per zoom of the plots layer, from Redis's keyspace events; before each of these edits every tile ` +
    `its extents touch at z8-z20 was made a cached hit:`);
  console.log();
  console.log('| zoom | keys deleted: median | mean | max | cached tiles touched: mean | edits deleting more keys than they touched |');
  console.log('|---|---|---|---|---|---|');
  for (let z = 8; z <= 20; z++) {
    const values = parcelEdits.map((c) => perEdit.get(`${c.index}:${z}`) || 0);
    const touchedHere = parcelEdits.map((c) => c.before.get(z) || 0);
    const more = parcelEdits.filter((c, n) => values[n] > touchedHere[n]).length;
    over += more;
    all.push(...values);
    console.log(`| ${z} | ${fmt(median(values), 1)} | ${fmt(values.reduce((a, b) => a + b, 0) / values.length, 2)} | ` +
      `${Math.max(...values)} | ${fmt(touchedHere.reduce((a, b) => a + b, 0) / touchedHere.length, 2)} | ${more} |`);
  }
  console.log(`| z8-z20 together | ${fmt(median(all), 1)} | ${fmt(all.reduce((a, b) => a + b, 0) / all.length, 2)} | ` +
    `${Math.max(...all)} | | ${over} |`);
  console.log();
  const metricPerEdit = parcelEdits.map((c) => c.invalidated);
  console.log(`mapsvc_cache_invalidated_keys_total per parcel edit (both instances, every zoom, centroid and box ` +
    `tiles included): median ${fmt(median(metricPerEdit), 1)}, max ${Math.max(...metricPerEdit)}.`);
}

// ---- 3. refresh ahead ----

async function refreshMode(o) {
  const bases = o.instances.split(',');
  const agents = bases.map(() => keepAliveAgent(8));
  const rounds = Number(o.rounds || 20);
  const perRound = Number(o['edits-per-round'] || 5);
  const delays = (o['delay-ms'] || '1000').split(',').map(Number);
  const extent = extentOf(o.extent);
  const random = rng(Number(o.seed || 3));
  const deadline = now() + Number(o['max-seconds'] || 900) * 1000;
  const viewer = bases.length - 1; // the first view goes to another instance than the warming one

  const low = [];
  for (const layer of Object.keys(LAYERS)) for (const t of T.tilesOver(extent, Math.max(8, LAYERS[layer].minzoom), 12)) low.push({ layer, t });
  const cachedKeys = new Set();
  const warmAll = (list) => eachLimited(list, 2, async (c) => {
    if ((await warm(agents[0], bases[0], T.tilePath(c.layer, c.t))) !== null) cachedKeys.add(T.tileKey(c.layer, c.t));
  });
  await warmAll(low);

  const editor = new Editor(o.db, { seed: Number(o.seed || 3) });
  await editor.open();
  const refreshed0 = (await Promise.all(bases.map((b) => metric(b, 'mapsvc_tiles_refreshed_total')))).reduce((a, b) => a + b, 0);
  const byDelay = new Map(delays.map((d) => [d, { views: 0, hits: 0, zooms: new Map() }]));
  let late = 0;
  let done = 0;
  for (let r = 0; r < rounds && now() < deadline; r++) {
    const delay = delays[r % delays.length];
    const near = {
      x: extent.minx + random() * (extent.maxx - extent.minx),
      y: extent.miny + random() * (extent.maxy - extent.miny),
      radius: 300,
    };
    const changes = [];
    for (let k = 0; k < perRound; k++) {
      const change = await editor.edit(await editor.pick({ near }));
      if (change) changes.push(change);
    }
    if (!(await applied(editor.db))) late++;
    await sleep(delay);
    // The first view of every cached z8-z12 tile the edits touched, once each.
    const touched = touchedBy(changes);
    const views = low.filter((c) => cachedKeys.has(T.tileKey(c.layer, c.t)) && touched(c.layer, c.t));
    const stats = byDelay.get(delay);
    await eachLimited(views, 4, async (c) => {
      const a = await get(agents[viewer], bases[viewer], T.tilePath(c.layer, c.t));
      const hit = a.headers['x-cache'] === 'HIT';
      stats.views++;
      if (hit) stats.hits++;
      const z = stats.zooms.get(c.t.z) || { views: 0, hits: 0 };
      z.views++;
      if (hit) z.hits++;
      stats.zooms.set(c.t.z, z);
    });
    await warmAll(views);
    done++;
  }
  const refreshed = (await Promise.all(bases.map((b) => metric(b, 'mapsvc_tiles_refreshed_total')))).reduce((a, b) => a + b, 0) - refreshed0;
  await editor.close();

  console.log(`${done} rounds of ${perRound} edits within 300 m of a random point of the extent (every layer, ` +
    `weighted towards parcels and beacons); after each round, once the feed had applied them (nothing pending, every cursor at the end; ` +
    `${late} rounds over 10 s) and a fixed delay, one request per cached z8-z12 tile the edits touched, on ` +
    `another instance than the one that warmed them. mapsvc_tiles_refreshed_total grew by ${refreshed}.`);
  console.log();
  console.log('| delay after the feed took the edits | first views | hits | share | by zoom (hits/views) |');
  console.log('|---|---|---|---|---|');
  for (const [delay, st] of byDelay) {
    const zooms = [...st.zooms.entries()].sort((a, b) => a[0] - b[0]).map(([z, v]) => `z${z} ${v.hits}/${v.views}`).join(', ');
    console.log(`| ${delay} ms | ${st.views} | ${st.hits} | ${pct(st.hits, st.views)} % | ${zooms} |`);
  }
}

// ---- 4. a background writer ----

async function writerMode(o) {
  const rate = Number(o.rate || 10);
  const seconds = Number(o.seconds || 10);
  const editor = new Editor(o.db, { seed: Number(o.seed || 4) });
  await editor.open();
  let stop = false;
  process.on('SIGTERM', () => { stop = true; });
  const start = now();
  let n = 0;
  let failed = 0;
  while (!stop && now() - start < seconds * 1000 && n < rate * seconds) {
    const at = start + (n * 1000) / rate;
    if (at > now()) await sleep(at - now());
    try {
      await editor.edit(await editor.pick());
    } catch (e) {
      failed++;
      await editor.reopen();
    }
    n++;
  }
  await editor.close();
  process.stderr.write(`writer: ${n} edits (${failed} failed) in ${fmt((now() - start) / 1000, 1)} s\n`);
}

// ---- 5. nothing stale ----

// Zooms watched per layer: where a tile's bytes follow from the data alone, to the order of
// its features, since answers are compared with the database's bytes. Features of equal area
// come out in whatever order the plan gives: all beacons (at z16 two builds of the same data
// were seen to differ), and the 62 pairs of the demo's cadastral zones that share an area.
// Parcels at z13 cost as much as z12 and add nothing new.
const WATCHED = {
  plots: [12, 14, 15, 16, 17, 18, 19, 20],
  beacons: [17, 18, 19, 20],
  cadzones: [],
  districts: zoomsOf('districts'),
  lgas: zoomsOf('lgas'),
};

async function staleMode(o) {
  const bases = o.instances.split(',');
  const readers = Number(o.readers || 64);
  const edits = Number(o.edits || 10000);
  const seconds = Number(o.seconds || 600);
  const allowed = Number(o['allowed-ms'] || 3000);
  const log = logger(o.log);
  const editor = new Editor(o.db, { seed: Number(o.seed || 5), printTileSql: o['print-tile-sql'] });
  await editor.open();
  const random = rng(Number(o.seed || 5) + 1);
  const start = now();
  const since = () => ((now() - start) / 1000).toFixed(1);

  // Watched tiles: id -> {layer, t, path}; an index per layer and zoom for the touched test.
  const tiles = [];
  const index = new Map();
  const versions = versionHistory();
  const poisoned = new Map(); // id -> time from which its answers say nothing
  const watch = (layer, t) => {
    const key = T.tileKey(layer, t);
    if (index.has(key)) return index.get(key);
    const id = tiles.length;
    tiles.push({ layer, t, path: T.tilePath(layer, t) });
    index.set(key, id);
    return id;
  };
  const touchedIds = (change) => {
    const out = new Set();
    for (const b of [change.oldBox, change.newBox]) {
      if (!b) continue;
      for (const z of WATCHED[change.layer]) {
        const sp = T.span(z, b);
        if ((sp.x1 - sp.x0 + 1) * (sp.y1 - sp.y0 + 1) > 4096) {
          // A large extent: look the other way round, through the watched tiles.
          for (let id = 0; id < tiles.length; id++) {
            const w = tiles[id];
            if (w.layer === change.layer && w.t.z === z && T.meets(z, w.t.x, w.t.y, b)) out.add(id);
          }
          continue;
        }
        for (let x = sp.x0; x <= sp.x1; x++) {
          for (let y = sp.y0; y <= sp.y1; y++) {
            const id = index.get(`${change.layer}:${z}:${x}:${y}`);
            if (id !== undefined) out.add(id);
          }
        }
      }
    }
    return [...out];
  };

  // Readers, on threads of their own; each new watched tile and each edit's touched tiles are
  // sent to them.
  const threads = Math.min(2, readers);
  const workers = Array.from({ length: threads }, (_, n) => new Worker(path.join(__dirname, 'lib', 'reader.js'), {
    workerData: {
      bases,
      readers: Math.floor(readers / threads) + (n < readers % threads ? 1 : 0),
      pauseMs: Number(o['reader-pause-ms'] || 0),
      start,
      seed: Number(o.seed || 5) + 10 + n,
      until: start + (seconds + 120) * 1000,
    },
  }));
  const answers = workers.map((w) => new Promise((resolve, reject) => {
    w.once('message', resolve);
    w.once('error', reject);
  }));
  const tell = (m) => { for (const w of workers) w.postMessage(m); };
  let announced = 0;
  const announce = (touched) => {
    if (tiles.length > announced) {
      tell({ watch: tiles.slice(announced).map((w, n) => [announced + n, w.path]) });
      announced = tiles.length;
    }
    if (touched.length) tell({ recent: touched });
  };

  // The writer: one edit at a time; the watched tiles it touches get their bytes after it as a
  // new version, read inside its transaction.
  let made = 0;
  let failed = 0;
  const byLayer = new Map();
  const deadline = start + seconds * 1000;
  let nextReport = start + 60000;
  for (let i = 0; i < edits && now() < deadline; i++) {
    const planned = await editor.pick();
    let attempt = [];
    try {
      const change = await editor.edit(planned, {
        before: async (c) => {
          for (const t of probes(c, WATCHED[c.layer])) {
            const id = watch(c.layer, t);
            if (!versions.has(id)) versions.add(id, now() - start, await editor.tileDigest(c.layer, t, T.bounds));
          }
          attempt = touchedIds(c);
          return attempt;
        },
        after: async (c) => {
          const post = [];
          for (const id of c.before) post.push(await editor.tileDigest(c.layer, tiles[id].t, T.bounds));
          return post;
        },
      });
      if (!change) continue;
      const at = change.committed - start;
      change.before.forEach((id, n) => versions.add(id, at, change.after[n]));
      announce(change.before);
      made++;
      byLayer.set(planned.layer, (byLayer.get(planned.layer) || 0) + 1);
      log({ i, at: Math.round(at), layer: planned.layer, op: planned.op, watched: change.before.length });
    } catch (e) {
      // The edit may or may not have committed: its tiles say nothing from now on.
      failed++;
      for (const id of attempt) if (!poisoned.has(id)) poisoned.set(id, now() - start - 1);
      process.stderr.write(`stale: edit failed at ${since()} s: ${e.message}\n`);
      for (let k = 0; k < 60; k++) {
        try {
          await editor.reopen();
          break;
        } catch (again) {
          await sleep(1000);
        }
      }
    }
    if (now() > nextReport) {
      process.stderr.write(`stale: ${since()} s: ${made} edits, ${tiles.length} tiles watched\n`);
      nextReport += 60000;
    }
  }
  const writing = (now() - start) / 1000;
  await sleep(allowed + 2000);
  tell({ stop: true });
  const got = await Promise.all(answers);
  const rec = { tile: [], sent: [], sha: [] };
  const errors = { network: 0, status: new Map() };
  const shaOf = [];
  const shaIds = new Map();
  for (const g of got) {
    const local = g.shas.map((sha) => {
      if (!shaIds.has(sha)) {
        shaIds.set(sha, shaOf.length);
        shaOf.push(sha);
      }
      return shaIds.get(sha);
    });
    for (let n = 0; n < g.tile.length; n++) {
      rec.tile.push(g.tile[n]);
      rec.sent.push(g.sent[n]);
      rec.sha.push(local[g.sha[n]]);
    }
    errors.network += g.errors.network;
    for (const [status, n] of Object.entries(g.errors.status)) errors.status.set(status, (errors.status.get(status) || 0) + n);
  }

  // Classify every answer.
  const counts = { ok: 0, stale: 0, unknown: 0, ignored: 0, exposed: 0 };
  const staleBy = new Map();
  const unknownBy = new Map();
  const staleAt = new Map(); // second of the run the request was sent in -> stale answers
  let oldest = 0;
  for (let n = 0; n < rec.tile.length; n++) {
    const id = rec.tile[n];
    const sent = rec.sent[n];
    if (poisoned.has(id) && sent >= poisoned.get(id)) {
      counts.ignored++;
      continue;
    }
    const v = versions.get(id);
    if (v.length > 1 && v[1].at <= sent - allowed) counts.exposed++;
    const c = classify(v, sent, shaOf[rec.sha[n]], allowed);
    if (c === 'ok') counts.ok++;
    else {
      const key = `${tiles[id].layer} z${tiles[id].t.z}`;
      const into = c === 'unknown' ? unknownBy : staleBy;
      into.set(key, (into.get(key) || 0) + 1);
      if (c === 'unknown') counts.unknown++;
      else {
        counts.stale++;
        oldest = Math.max(oldest, c.age);
        const second = `${Math.floor(sent / 1000)} s`;
        staleAt.set(second, (staleAt.get(second) || 0) + 1);
      }
    }
  }

  // Changes lost: every pending row applied, and each changed tile answered as the database has it.
  let pendingLeft = -1;
  for (let k = 0; k < 60; k++) {
    try {
      if (await applied(editor.db, 60000)) {
        pendingLeft = 0;
        break;
      }
      pendingLeft = Number((await editor.db.query('SELECT count(*) AS n FROM mapsvc_feed.pending')).rows[0].n);
      break;
    } catch (e) {
      await sleep(1000);
      await editor.reopen().catch(() => {});
    }
  }
  await sleep(allowed);
  const changed = tiles.map((_, id) => id).filter((id) => versions.get(id).length > 1 && !poisoned.has(id));
  const sample = changed.length <= 20000 ? changed : changed.filter(() => random() < 20000 / changed.length);
  let notRefreshed = 0;
  const truths = [];
  for (const id of sample) truths[id] = await editor.tileDigest(tiles[id].layer, tiles[id].t, T.bounds);
  const agents = bases.map(() => keepAliveAgent(4));
  await eachLimited(sample, 4, async (id) => {
    const w = tiles[id];
    const truth = truths[id];
    for (let k = 0; k < bases.length; k++) {
      const r = await get(agents[k], bases[k], w.path);
      const sha = r.status === 204 ? 'empty' : digest(r.body);
      if (sha !== truth) {
        notRefreshed++;
        log({ notRefreshed: w.path, instance: k, status: r.status });
      }
    }
  });
  await editor.close();

  const list = (m) => (m.size ? [...m.entries()].sort((a, b) => b[1] - a[1]).map(([k, v]) => `${k}: ${v}`).join(', ') : 'none');
  console.log(`${made} edits in ${fmt(writing, 0)} s (${fmt(made / writing, 1)} a second; ${failed} failed; by layer: ` +
    `${[...byLayer.entries()].map(([l, n]) => `${l} ${n}`).join(', ')}), one writer, ${readers} readers on ${threads} threads ` +
    `(pause ${Number(o['reader-pause-ms'] || 0)} ms after each answer) ` +
    `(${rec.tile.length} answers, ${fmt(rec.tile.length / (writing + (allowed + 2000) / 1000), 0)} a second; ` +
    `errors: ${errors.network} network, ${list(errors.status)}). ${tiles.length} tiles watched.`);
  console.log();
  console.log('| answers | of tiles an edit had changed more than allowed before | stale | unknown bytes | ignored (failed edit) | oldest stale |');
  console.log('|---|---|---|---|---|---|');
  console.log(`| ${rec.tile.length} | ${counts.exposed} | ${counts.stale} | ${counts.unknown} | ${counts.ignored} | ` +
    `${counts.stale ? fmt(oldest) + ' ms after the replacing commit' : '-'} |`);
  console.log();
  console.log(`Allowed: ${allowed} ms from the replacing COMMIT to the request. Stale answers by layer and zoom: ${list(staleBy)}. ` +
    `Unknown bytes by layer and zoom: ${list(unknownBy)}. Stale answers by the second of the run they were asked in: ` +
    `${staleAt.size ? [...staleAt.entries()].map(([k, v]) => `${k}: ${v}`).join(', ') : 'none'}.`);
  console.log();
  console.log(`After the run: ${pendingLeft < 0 ? 'pending could not be read' : pendingLeft + ' changes still pending'}; ` +
    `${sample.length} changed tiles checked on ${bases.length} instances against the database: ${notRefreshed} answers differ.`);
}

async function main() {
  const [mode, ...rest] = process.argv.slice(2);
  const o = options(rest);
  if (mode === 'commit') await commitMode(o);
  else if (mode === 'precision') await precisionMode(o);
  else if (mode === 'refresh') await refreshMode(o);
  else if (mode === 'writer') await writerMode(o);
  else if (mode === 'stale') await staleMode(o);
  else throw new Error('usage: feed.js commit|precision|refresh|writer|stale --option value ...');
}

main().then(() => process.exit(0), (e) => {
  process.stderr.write(`feed.js: ${e.stack || e}\n`);
  process.exit(1);
});
