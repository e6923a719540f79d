#!/usr/bin/env node
'use strict';
// report.js RESULTS.jsonl OUT.json: gathers run.sh's measurements into one JSON file and prints
// them as Markdown.
//
// A figure keeps the kind it was measured as: 0.90 stays a decimal (written 0.9, and 1.00 as
// 1.0), 131 a whole number, in OUT.json as in the tables.

const fs = require('fs');
const { fixed, floatText, grouped } = require('../lib/numfmt');

// A number written with a fraction or an exponent.
class Decimal {
  constructor(value) {
    this.value = value;
  }
  valueOf() {
    return this.value;
  }
}

const isNumber = (v) => typeof v === 'number' || v instanceof Decimal;

// JSON text to values, numbers with a fraction or an exponent as Decimal.
function parseJson(text) {
  let i = 0;
  const fail = (what) => {
    throw new Error(`${what} at offset ${i}: ${text.slice(i, i + 30)}`);
  };
  const space = () => {
    while (i < text.length && ' \t\n\r'.includes(text[i])) i++;
  };
  const token = (re) => {
    re.lastIndex = i;
    const m = re.exec(text);
    if (m) i = re.lastIndex;
    return m;
  };
  const STRING = /"(?:[^"\\\u0000-\u001f]|\\(?:["\\/bfnrt]|u[0-9a-fA-F]{4}))*"/y;
  const NUMBER = /-?(?:0|[1-9]\d*)(\.\d+)?([eE][+-]?\d+)?/y;
  const LITERAL = /true|false|null/y;
  function string() {
    const m = token(STRING);
    if (!m) fail('expected a string');
    return JSON.parse(m[0]);
  }
  function value() {
    space();
    if (text[i] === '{') {
      i++;
      const o = {};
      space();
      if (text[i] === '}') return i++, o;
      for (;;) {
        space();
        const k = string();
        space();
        if (text[i++] !== ':') fail('expected ":"');
        // A plain property whatever the key ("__proto__" too).
        Object.defineProperty(o, k, { value: value(), enumerable: true, writable: true, configurable: true });
        space();
        if (text[i] === ',') i++;
        else if (text[i++] === '}') return o;
        else fail('expected "," or "}"');
      }
    }
    if (text[i] === '[') {
      i++;
      const a = [];
      space();
      if (text[i] === ']') return i++, a;
      for (;;) {
        a.push(value());
        space();
        if (text[i] === ',') i++;
        else if (text[i++] === ']') return a;
        else fail('expected "," or "]"');
      }
    }
    if (text[i] === '"') return string();
    let m = token(NUMBER);
    // A whole number has no sign of its own at zero: -0 is 0.
    if (m) return m[1] || m[2] ? new Decimal(Number(m[0])) : Number(m[0]) || 0;
    m = token(LITERAL);
    if (m) return JSON.parse(m[0]);
    return fail('unexpected text');
  }
  const v = value();
  space();
  if (i < text.length) fail('text after the value');
  return v;
}

const quote = (s) =>
  JSON.stringify(s).replace(/[\u007f-\uffff]/g, (c) => `\\u${c.charCodeAt(0).toString(16).padStart(4, '0')}`);

// JSON with one space per level, keys in their order, non-ASCII escaped.
function dump(v, indent = '') {
  if (v === null || v === undefined) return 'null';
  if (v instanceof Decimal) {
    if (Number.isNaN(v.value)) return 'NaN';
    if (!Number.isFinite(v.value)) return v.value > 0 ? 'Infinity' : '-Infinity';
    return floatText(v.value);
  }
  if (typeof v === 'number') return wholeText(v);
  if (typeof v === 'boolean') return String(v);
  if (typeof v === 'string') return quote(v);
  const inner = indent + ' ';
  if (Array.isArray(v)) {
    return v.length ? `[\n${v.map((x) => inner + dump(x, inner)).join(',\n')}\n${indent}]` : '[]';
  }
  const keys = Object.keys(v);
  return keys.length ? `{\n${keys.map((k) => `${inner}${quote(k)}: ${dump(v[k], inner)}`).join(',\n')}\n${indent}}` : '{}';
}

const wholeText = (v) => (Math.abs(v) < 1e21 ? String(v) : BigInt(v).toString());

// A value as the tables show it as it is.
function text(v) {
  if (v instanceof Decimal) return floatText(v.value);
  if (typeof v === 'number') return wholeText(v);
  if (v === null || v === undefined) return 'None';
  if (typeof v === 'boolean') return v ? 'True' : 'False';
  if (typeof v === 'string') return v;
  return JSON.stringify(v);
}

// A number with `digits` decimals and its thousands apart ("12 345.6"); anything else as it is.
function n(v, digits = 0) {
  if (isNumber(v) || typeof v === 'boolean') return grouped(fixed(Number(v), digits));
  return text(v);
}

// A line of the results that names every figure read from it: a missing one is an error.
function strict(row, kind) {
  return new Proxy(row, {
    get(target, key) {
      if (typeof key === 'string' && !(key in target)) throw new Error(`a "${kind}" line has no "${key}"`);
      return target[key];
    },
  });
}

// Present and with something in it.
const some = (o) => o !== null && o !== undefined && Object.keys(o).length > 0;

function main() {
  if (process.argv.length !== 4) {
    process.stderr.write('usage: report.js RESULTS.jsonl OUT.json\n');
    process.exit(2);
  }
  const rows = fs.readFileSync(process.argv[2], 'utf8').split('\n').filter((l) => l.trim()).map(parseJson);
  const by = new Map();
  for (const r of rows) {
    if (!('kind' in r)) throw new Error('a line without "kind"');
    const kind = r.kind;
    delete r.kind;
    if (!by.has(kind)) by.set(kind, []);
    by.get(kind).push(strict(r, kind));
  }
  const first = (kind) => (by.has(kind) ? by.get(kind)[0] : null);
  for (const kind of ['meta', 'end']) if (!by.has(kind)) throw new Error(`no "${kind}" line in ${process.argv[2]}`);
  const meta = first('meta');
  const end = first('end');
  const result = {
    measured: meta,
    finished: end,
    tile_statements: by.get('statement') || [],
    empty_tiles_http: first('empty_http'),
    misses_http: first('miss_http'),
    hits_http: by.get('hits') || [],
    redis_memory: first('redis_memory'),
    tile_memory: first('tile_memory'),
  };
  fs.writeFileSync(process.argv[3], dump(result) + '\n');

  const p = (line = '') => process.stdout.write(line + '\n');
  p(`# Scaling figures: ${text(meta.started)} to ${text(end.finished)}, ${text(meta.cores)} cores (${text(meta.cpu)})`);
  p();
  p(`\`${text(meta.command)}\`; ${text(meta.plots)} plots, ${text(meta.beacons)} beacons; PostgreSQL ${text(meta.postgres_version)},` +
    ` Redis ${text(meta.redis_version)}. Load average before: ${text(meta.load_before)}; after: ${text(end.load_after)}.`);
  p();
  p('## Tile statements per PostgreSQL CPU-second (in process: pgbench -c2 -j1)');
  p();
  p("The server's statement (print_tile_sql) on random tiles over the bounding box of the plots' extent;" +
    ` the window is the middle ${text(meta.duration_s)} s of each run. prepared: pgbench -M prepared (planned` +
    ' once); extended: -M extended (parsed and planned every time, as the server sends it with DB_PREPARE=0; by default it prepares). Tile sizes' +
    ' from walking the same tiles through mapsvc (plots to z18: every tile of the box; z19: 4000 of them; beacons: 600).');
  p();
  p('| layer | zoom | statements/s prepared / extended | PG cores busy | statements per PG CPU-second' +
    ' prepared / extended | mean latency ms | empty tiles | mean tile bytes (all / non-empty) | load |');
  p('|---|---|---|---|---|---|---|---|---|');
  // By layer and zoom, in the order they first came.
  const groups = new Map();
  for (const r of result.tile_statements) {
    const key = JSON.stringify([text(r.layer), isNumber(r.zoom) ? Number(r.zoom) : text(r.zoom)]);
    if (!groups.has(key)) groups.set(key, { layer: r.layer, zoom: r.zoom, modes: Object.create(null) });
    groups.get(key).modes[text(r.mode)] = r;
  }
  for (const { layer, zoom, modes } of groups.values()) {
    const a = modes.prepared;
    const b = modes.extended;
    if (!some(a) || !some(b)) continue;
    p(`| ${text(layer)} | ${text(zoom)} | ${n(a.statements_per_s)} / ${n(b.statements_per_s)} |` +
      ` ${text(a.pg_cores_busy)} / ${text(b.pg_cores_busy)} |` +
      ` ${n(a.statements_per_pg_cpu_s)} / ${n(b.statements_per_pg_cpu_s)} |` +
      ` ${text(a.mean_latency_ms)} / ${text(b.mean_latency_ms)} | ${fixed(100 * a.empty_share, 0)} % |` +
      ` ${n(a.mean_tile_bytes)} / ${n(a.mean_nonempty_tile_bytes)} | ${text(b.load)} |`);
  }
  p();
  const e = result.empty_tiles_http;
  const x = result.misses_http;
  if (some(e) || some(x)) {
    p('## Misses and empty tiles through HTTP (memory off, wrk -t1 -c8)');
    p();
    p('| what | tiles | req/s | built / empty / from Redis | per mapsvc CPU-second |' +
      ' per PostgreSQL CPU-second (every PostgreSQL process) | p99 | load |');
    p('|---|---|---|---|---|---|---|---|');
  }
  if (some(x)) {
    p(`| z19 plots, Redis emptied, each tile once | ${text(x.tiles)} | ${n(x.req_per_s)} |` +
      ` ${text(x.built)} / ${text(x.empty)} / ${text(x.from_redis)} | ${n(x.per_mapsvc_cpu_s)} |` +
      ` ${n(x.per_pg_cpu_s)} | ${text(x.p99)} | ${text(x.load)} |`);
  }
  if (some(e)) {
    p(`| empty z18 plots tiles (never cached), over and over | ${text(e.tiles)} | ${n(e.req_per_s)} |` +
      ` 0 / ${text(e.answered_204)} / 0 | ${n(e.per_mapsvc_cpu_s)} | ${n(e.per_pg_cpu_s)} | ${text(e.p99)} | ${text(e.load)} |`);
  }
  if (some(e) || some(x)) p();
  p('## Hits per mapsvc CPU-second, Redis per CPU-second (through HTTP: wrk -t1 -c32, one worker)');
  p();
  p('Every non-empty plots tile of the zoom, in turn, warmed; memory on = 256 MB of tile memory,' +
    ' off = every hit a Redis GET. Levels from the server\'s /metrics.');
  p();
  p('| zoom | tiles | mean bytes | memory | req/s | mapsvc cores busy | hits per mapsvc CPU-second |' +
    ' from memory / Redis | Redis CPU-s | GETs per Redis CPU-second | Redis MB sent per CPU-second | p50 / p99 | load |');
  p('|---|---|---|---|---|---|---|---|---|---|---|---|---|');
  for (const r of result.hits_http) {
    const redis = text(r.memory) === 'off';
    p(`| ${text(r.zoom)} | ${text(r.tiles)} | ${n(r.mean_tile_bytes)} | ${text(r.memory)} | ${n(r.req_per_s)} |` +
      ` ${text(r.mapsvc_cores_busy)} | ${n(r.hits_per_mapsvc_cpu_s)} | ${text(r.from_memory)} / ${text(r.from_redis)} |` +
      ` ${text(r.redis_cpu_s)} | ${redis ? n(r.redis_gets_per_cpu_s) : '-'} |` +
      ` ${redis ? n(r.redis_bytes_per_cpu_s / 1e6, 1) : '-'} | ${text(r.p50)} / ${text(r.p99)} | ${text(r.load)} |`);
  }
  p();
  const m = result.redis_memory;
  if (some(m)) {
    p('## Memory per cached tile');
    p();
    p(`Redis: ${text(m.keys_added)} keys added by the walk (${text(m.tiles_stored)} non-empty tiles,` +
      ` ${n(m.tile_bytes / 1e6, 1)} MB of tile bytes); used_memory grew` +
      ` ${n((m.used_memory_after - m.used_memory_before) / 1e6, 1)} MB:` +
      ` ${n(m.overhead_per_key_used_memory)} bytes per key beyond the tile's bytes.` +
      ` MEMORY USAGE over ${text(m.sample_keys)} z17-z18 keys: ${n(m.overhead_per_key_memory_usage)} bytes per key` +
      ` beyond STRLEN (mean STRLEN ${n(m.sample_strlen / Math.max(1, m.sample_keys))}).`);
    p();
  }
  const t = result.tile_memory;
  if (some(t)) {
    p(`mapsvc tile memory: ${text(t.tiles)} z17-z18 tiles, ${n(t.tile_bytes / 1e6, 1)} MB` +
      ` (gzip ${n(t.gzip_bytes / 1e6, 1)} MB), charged ${n(t.charged_bytes / 1e6, 1)} MB` +
      ` (1.6 x bytes + 64). RSS ${text(t.rss_start_mb)} MB at start, ${text(t.rss_after_plain_mb)} MB` +
      ` after two plain walks, ${text(t.rss_after_gzip_mb)} MB after a gzip walk:` +
      ` ${n(t.rss_growth_per_tile_bytes)} bytes per tile against ${n(t.charged_bytes / t.tiles)}` +
      ` charged (plain only: ${n(t.rss_growth_per_tile_plain_bytes)}). The last two walks:` +
      ` ${text(t.last_walks_from_memory)} from memory, ${text(t.last_walks_from_redis)} from Redis,` +
      ` ${text(t.last_walks_misses)} misses.`);
    p();
  }
}

try {
  main();
} catch (e) {
  process.stderr.write(`report.js: ${e.message}\n`);
  process.exit(1);
}
