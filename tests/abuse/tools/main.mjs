// Runs the abuse scenarios against a mapsvc of its own: its own Redis, a cuttable proxy in
// front of the shared PostgreSQL, and checks after each scenario that the server is alive,
// kept no extra file descriptors or database connections, and ended below its memory bound.
// Started by tests/abuse/run, which raises this process's descriptor limit first.
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { fmtMB, nofileLimit, procStats, proxyCommand, request, sleep } from './lib.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../../..');
const ALL = ['idle', 'slowloris', 'render_flood', 'json_bombs', 'inputs', 'signals', 'redis_faults', 'db_cut'];

const argv = process.argv.slice(2);
const quick = argv.includes('--quick');
const wanted = argv.filter((a) => !a.startsWith('--'));
for (const a of argv.filter((a) => a.startsWith('--') && a !== '--quick')) {
  console.error(`abuse: unknown option ${a} (usage: tests/abuse/run [--quick] [scenario...])`);
  process.exit(2);
}
for (const w of wanted)
  if (!ALL.includes(w)) {
    console.error(`abuse: unknown scenario '${w}' (${ALL.join(', ')})`);
    process.exit(2);
  }
const scenarios = wanted.length ? ALL.filter((s) => wanted.includes(s)) : ALL;

const env = process.env;
const bin = path.resolve(root, env.MAPSVC_BIN || path.join(env.BUILD_DIR || 'build', 'bin', 'mapsvc'));
if (!fs.existsSync(bin)) {
  console.error(`abuse: no server binary at ${bin} (set MAPSVC_BIN or BUILD_DIR)`);
  process.exit(2);
}
const poolSize = Number(env.ABUSE_DB_POOL_SIZE || 10);
// Database connections the server may hold: its pool, opened whole at start, and two of its
// own (the change feed's listening connection and the readiness probe's).
const dbLimit = poolSize + 2;
// A common default soft limit: the server has to raise its own to hold thousands of clients.
const serverNofile = env.ABUSE_SERVER_NOFILE || '1024';
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'mapsvc-abuse.'));
const log = (...a) => console.log(...a);

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

function databaseUrl() {
  if (env.ABUSE_DATABASE_URL) return env.ABUSE_DATABASE_URL;
  if (env.DATABASE_URL) return env.DATABASE_URL;
  const out = execFileSync(path.join(root, 'scripts/services'), ['start'], { encoding: 'utf8' });
  const m = out.match(/^DATABASE_URL=(.*)$/m);
  if (!m) throw new Error('scripts/services start printed no DATABASE_URL');
  return m[1];
}

// ---- Redis of our own (never the shared one: scenarios pause, kill and flush it) ----------
const redis = {
  port: 0,
  pidfile: path.join(work, 'redis.pid'),
  pid() {
    try {
      return Number(fs.readFileSync(this.pidfile, 'utf8').trim());
    } catch {
      return 0;
    }
  },
  command(cmd) {
    return new Promise((resolve) => {
      const sock = net.connect({ host: '127.0.0.1', port: this.port }, () => sock.write(cmd + '\r\n'));
      let buf = '';
      const timer = setTimeout(() => sock.destroy(), 1000);
      sock.on('data', (d) => {
        buf += d;
        if (buf.includes('\r\n')) sock.destroy();
      });
      sock.on('error', () => {});
      sock.on('close', () => {
        clearTimeout(timer);
        resolve(buf.trim());
      });
    });
  },
  async start() {
    try {
      fs.unlinkSync(this.pidfile);
    } catch {}
    const r = spawnSync('redis-server', [
      '--port', String(this.port), '--bind', '127.0.0.1', '--save', '', '--appendonly', 'no', '--daemonize', 'yes',
      '--pidfile', this.pidfile, '--dir', work, '--logfile', path.join(work, 'redis.log')]);
    if (r.status !== 0) throw new Error(`redis-server failed: ${r.stderr}`);
    for (let i = 0; i < 100; i++) {
      if ((await this.command('PING')) === '+PONG') return;
      await sleep(50);
    }
    throw new Error('redis-server did not answer PING');
  },
  async ensure() {
    const pid = this.pid();
    if (pid) {
      try {
        process.kill(pid, 'SIGCONT');
      } catch {}
    }
    if ((await this.command('PING')) !== '+PONG') await this.start();
  },
  stop() {
    const pid = this.pid();
    if (!pid) return;
    try {
      process.kill(pid, 'SIGCONT');
      process.kill(pid, 'SIGKILL');
    } catch {}
  },
};

// ---- the proxy to PostgreSQL -----------------------------------------------------------
let proxyProc = null;
const proxy = { listen: 0, control: 0 };
async function startProxy(target) {
  proxyProc = spawn(process.execPath, [path.join(here, 'proxy.mjs'), '--target', target], {
    stdio: ['ignore', 'pipe', 'inherit'],
  });
  const line = await new Promise((resolve, reject) => {
    let buf = '';
    proxyProc.stdout.on('data', (d) => {
      buf += d;
      if (buf.includes('\n')) resolve(buf.split('\n')[0]);
    });
    proxyProc.once('exit', () => reject(new Error('the database proxy exited')));
  });
  Object.assign(proxy, JSON.parse(line));
}

// ---- the server --------------------------------------------------------------------------
const server = { proc: null, pid: 0, port: 0, crashes: [], appName: `mapsvc-abuse-${process.pid}`, exit: null };
let dbUrl = '';
let proxiedUrl = '';

async function startServer() {
  const logFd = fs.openSync(path.join(work, 'mapsvc.log'), 'a');
  const limit = serverNofile === 'inherit' ? 'true' : `ulimit -Sn ${serverNofile}`;
  // One process: the bounds (memory, descriptors, database connections) are those of the
  // process measured, which with worker processes would be the supervisor.
  server.proc = spawn('bash', ['-c', `${limit} || true; exec "$0" --port "$1" --db-pool-size "$2" --workers 1 --log-level warning`,
    bin, String(server.port), String(poolSize)], {
    stdio: ['ignore', logFd, logFd],
    env: { ...env, DATABASE_URL: proxiedUrl, REDIS_HOST: '127.0.0.1', REDIS_PORT: String(redis.port), REDIS_DB: '0',
      PGAPPNAME: server.appName },
  });
  fs.closeSync(logFd);
  server.pid = server.proc.pid;
  server.exit = null;
  const proc = server.proc;
  proc.on('exit', (code, signal) => {
    if (server.proc === proc) server.exit = { code, signal, at: Date.now() };
  });
  for (let i = 0; i < 200; i++) {
    if (server.exit) break;
    const r = await request(server.port, { path: '/gis/layers/', timeoutMs: 1000 });
    if (r.status === 200) return;
    await sleep(50);
  }
  throw new Error(`mapsvc did not start (see ${path.join(work, 'mapsvc.log')})`);
}

function serverAlive() {
  return !server.exit && procStats(server.pid).alive;
}

// Restarts a server that died inside a scenario; the death is recorded against the scenario.
async function ensureServer(scenario, what = '') {
  if (serverAlive()) return false;
  for (let i = 0; i < 20 && !server.exit; i++) await sleep(50);
  const how = server.exit ? (server.exit.signal || `exit ${server.exit.code}`) : 'gone';
  server.crashes.push({ scenario, what, how });
  const tail = fs.readFileSync(path.join(work, 'mapsvc.log'), 'utf8').trim().split('\n').slice(-3).join(' | ');
  log(`    !! mapsvc died (${how})${what ? ' during ' + what : ''}; last log: ${tail.slice(0, 300)}`);
  await startServer();
  await warmUp();
  return true;
}

async function stopServer(graceSeconds = 12) {
  if (!server.proc || server.exit) return;
  server.proc.kill('SIGTERM');
  for (let i = 0; i < graceSeconds * 10 && !server.exit; i++) await sleep(100);
  if (!server.exit) server.proc.kill('SIGKILL');
  for (let i = 0; i < 50 && !server.exit; i++) await sleep(100);
}

const probeTile = env.ABUSE_TILE || '/gis/plots/15/17061/15556.pbf';
async function warmUp() {
  await request(server.port, { path: probeTile });
  await request(server.port, { path: probeTile });
}

// ---- database connection counts ------------------------------------------------------------
function backends() {
  try {
    const out = execFileSync('psql', ['-X', '-Atc',
      `SELECT count(*) FROM pg_stat_activity WHERE application_name = '${server.appName}'`, dbUrl],
    { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'], timeout: 10000 });
    return Number(out.trim());
  } catch {
    return NaN;
  }
}

async function resources() {
  const s = procStats(server.pid);
  const p = await proxyCommand(proxy.control, 'stat');
  return { fds: s.fds, rssKB: s.rssKB, db: p.pairs, pg: backends() };
}

// Waits for the server to let go of what a scenario opened: descriptors other than database
// connections back to where they were (two of slack: the Redis connection may have been
// replaced), database connections within the pool size.
async function settle(before, seconds = 15) {
  const deadline = Date.now() + seconds * 1000;
  let r;
  for (;;) {
    r = await resources();
    const nonDb = r.fds - r.db;
    const ok = nonDb <= before.fds - before.db + 2 && r.db <= dbLimit && !(r.pg > dbLimit);
    if (ok || Date.now() > deadline || !serverAlive()) return { ...r, ok };
    await sleep(250);
  }
}

// ---- bounds on the server's memory at the end of each scenario ------------------------------
// json_bombs: refusing three 15 MB bodies may leave their parsed documents' pages with the
// allocator (it levels off near 350 MB); beyond that is a leak.
const rssEndMB = {
  idle: 200, slowloris: 200, render_flood: 200, json_bombs: 200, inputs: 200, signals: 200, redis_faults: 200, db_cut: 200,
};

// ---- main --------------------------------------------------------------------------------
let failed = false;
async function main() {
  dbUrl = databaseUrl();
  const u = new URL(dbUrl);
  const target = `${u.hostname === 'localhost' ? '127.0.0.1' : u.hostname}:${u.port || 5432}`;
  await startProxy(target);
  const pu = new URL(dbUrl);
  pu.hostname = '127.0.0.1';
  pu.port = String(proxy.listen);
  proxiedUrl = pu.toString();
  redis.port = await freePort();
  await redis.start();
  server.port = await freePort();
  await startServer();
  await warmUp();

  const lim = nofileLimit(server.pid);
  log(`abuse: ${bin}${quick ? ' (quick)' : ''}`);
  log(`abuse: mapsvc pid ${server.pid} on 127.0.0.1:${server.port}, open files ${lim.soft}/${lim.hard}, ` +
      `pool ${poolSize}; redis :${redis.port}; database via proxy :${proxy.listen} -> ${target}; work ${work}`);

  const summary = [];
  let first = true;
  for (const name of scenarios) {
    await redis.ensure();
    // A fresh server per scenario: what one scenario leaves running (renders abandoned by
    // their clients, memory) must not be charged to the next.
    if (!first) {
      await stopServer();
      await redis.command('FLUSHALL');
      await startServer();
      await warmUp();
    }
    first = false;
    const crashesBefore = server.crashes.length;
    await sleep(300);
    const before = await resources();
    const ctx = {
      name, quick, root, work, port: () => server.port, pid: () => server.pid, probeTile, poolSize, dbLimit, redis, proxy,
      log: (...a) => log('   ', ...a), ensureServer: (what) => ensureServer(name, what), alive: serverAlive,
      resources,
    };
    log(`\n== ${name}`);
    const t0 = Date.now();
    let result;
    try {
      const mod = await import(path.join(here, '..', 'scenarios', `${name}.mjs`));
      result = await mod.default(ctx);
    } catch (e) {
      result = { pass: false, counts: `scenario error: ${e.stack || e}`, bound: '' };
    }
    const died = !serverAlive();
    if (died) await ensureServer(name, 'the end');
    const crashes = server.crashes.slice(crashesBefore);
    const after = died ? await resources() : await settle(before);
    const endBound = Number(env.ABUSE_RSS_END_MB || rssEndMB[name]);
    const checks = [];
    if (crashes.length) checks.push(`CRASHED x${crashes.length} (${crashes.map((c) => `${c.how} in ${c.what}`).join('; ')})`);
    if (!died && !crashes.length) {
      const grew = after.fds - after.db - (before.fds - before.db);
      if (!after.ok && grew > 2) checks.push(`fd leak +${grew}`);
      if (after.db > dbLimit) checks.push(`db connections ${after.db} > ${dbLimit} (pool ${poolSize} + 2)`);
      if (after.pg > dbLimit) checks.push(`pg backends ${after.pg} > ${dbLimit} (pool ${poolSize} + 2)`);
      if (after.rssKB > endBound * 1024) checks.push(`rss ${fmtMB(after.rssKB)} > ${endBound}MB`);
    }
    const pass = result.pass && !checks.length;
    if (!pass) failed = true;
    const common = `fds ${before.fds}->${after.fds} db ${before.db}->${after.db} pg ${before.pg}->${after.pg} (pool ${poolSize}) ` +
      `rss ${fmtMB(before.rssKB)}->${fmtMB(after.rssKB)} (end <= ${endBound}MB)`;
    const line = `[${name}] ${pass ? 'PASS' : 'FAIL'} ${result.counts} | bound: ${result.bound} | ${common}` +
      `${checks.length ? ' | ' + checks.join('; ') : ''} | ${((Date.now() - t0) / 1000).toFixed(0)}s`;
    log(line);
    summary.push(line);
  }
  log('\n== summary');
  for (const l of summary) log(l);
  log(failed ? 'abuse: FAIL' : 'abuse: PASS');
}

async function cleanup(graceSeconds) {
  await stopServer(graceSeconds);
  redis.stop();
  if (proxyProc) proxyProc.kill('SIGTERM');
  if (!env.ABUSE_KEEP_WORK) fs.rmSync(work, { recursive: true, force: true });
}

process.on('SIGINT', async () => {
  await cleanup(2);
  process.exit(130);
});
process.on('SIGTERM', async () => {
  await cleanup(2);
  process.exit(143);
});

try {
  await main();
} catch (e) {
  console.error(`abuse: ${e.stack || e}`);
  failed = true;
}
await cleanup();
process.exit(failed ? 1 : 0);
