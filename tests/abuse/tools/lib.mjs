// Shared pieces of the abuse scenarios: HTTP on loopback, a latency probe, process figures.
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import { performance } from 'node:perf_hooks';
import { Worker, isMainThread, parentPort, workerData } from 'node:worker_threads';

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
// Milliseconds on one clock for every thread (each worker has its own performance origin).
export const now = () => performance.timeOrigin + performance.now();

// One request, on a connection of its own unless `agent` (a keep-alive http.Agent) is given.
// Never throws: failures come back as `error`. `t` is when it was sent; `body` keeps the first
// `bodyChars` characters (the whole first MiB with bodyChars = Infinity).
export function request(port, { method = 'GET', path = '/', headers = {}, body = null, timeoutMs = 15000, agent = null,
  bodyChars = 4096 } = {}) {
  return new Promise((resolve) => {
    const t0 = now();
    let done = false;
    const finish = (r) => {
      if (done) return;
      done = true;
      clearTimeout(timer);
      resolve({ t: t0, ms: now() - t0, ...r });
    };
    const connection = agent ? { agent, headers } : { agent: false, headers: { Connection: 'close', ...headers } };
    const req = http.request(
      { host: '127.0.0.1', port, method, path, ...connection },
      (res) => {
        const chunks = [];
        let size = 0;
        res.on('data', (c) => {
          size += c.length;
          if (size <= 1 << 20) chunks.push(c);
        });
        res.on('end', () =>
          finish({ status: res.statusCode, headers: res.headers, size,
            body: Buffer.concat(chunks).toString('utf8', 0, Math.min(bodyChars, 1 << 20)) }));
        res.on('error', (e) => finish({ status: 0, error: e.code || e.message }));
      });
    const timer = setTimeout(() => {
      finish({ status: 0, error: 'timeout' });
      req.destroy();
    }, timeoutMs);
    req.on('error', (e) => finish({ status: 0, error: e.code || e.message }));
    if (body !== null) req.end(body);
    else req.end();
  });
}

// Bytes written as they are on a fresh connection; collects what comes back until the server
// closes or `timeoutMs` passes. Reports the status line of every response seen; `onData` is
// called as bytes arrive.
export function raw(port, bytes, { timeoutMs = 3000, halfClose = false, onData = null } = {}) {
  return new Promise((resolve) => {
    const sock = net.connect({ host: '127.0.0.1', port });
    const chunks = [];
    let closedByServer = false;
    let error = null;
    const timer = setTimeout(() => sock.destroy(), timeoutMs);
    sock.on('connect', () => {
      sock.write(bytes, () => {
        if (halfClose) sock.end();
      });
    });
    sock.on('data', (d) => {
      chunks.push(d);
      if (onData) onData(d);
    });
    sock.on('end', () => {
      closedByServer = true;
    });
    sock.on('error', (e) => {
      error = e.code || e.message;
      if (e.code === 'ECONNRESET') closedByServer = true;
    });
    sock.on('close', () => {
      clearTimeout(timer);
      const text = Buffer.concat(chunks).toString('latin1');
      const statuses = [...text.matchAll(/HTTP\/1\.[01] (\d{3})/g)].map((m) => Number(m[1]));
      resolve({ statuses, closedByServer, error, text });
    });
  });
}

// GETs `path` one after another, a fresh connection each time (so accepting is tested too),
// `intervalMs` apart, until stop() is called; stop() gives the figures and `samples` holds
// every request. It runs on a thread of its own, so that the load a scenario generates on
// the main thread does not show up as server latency.
export function probe(port, path, { intervalMs = 50, timeoutMs = 15000 } = {}) {
  const samples = [];
  const worker = new Worker(new URL(import.meta.url), { workerData: { port, path, intervalMs, timeoutMs } });
  const finished = new Promise((resolve, reject) => {
    worker.on('message', (m) => {
      if (m.sample) samples.push(m.sample);
      if (m.done) resolve();
    });
    worker.on('error', reject);
  });
  return {
    samples,
    async stop() {
      worker.postMessage('stop');
      await finished;
      await worker.terminate();
      return latencySummary(samples);
    },
  };
}

async function probeLoop({ port, path, intervalMs, timeoutMs }) {
  let running = true;
  parentPort.on('message', () => {
    running = false;
  });
  while (running) {
    const t = now();
    const r = await request(port, { path, timeoutMs });
    parentPort.postMessage({
      sample: { t, ms: r.ms, status: r.status, error: r.error, hit: r.headers?.['x-cache'] === 'HIT' },
    });
    if (running) await sleep(intervalMs);
  }
  parentPort.postMessage({ done: true });
}

if (!isMainThread && workerData?.path) probeLoop(workerData);

export function percentile(values, p) {
  if (!values.length) return NaN;
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.max(0, Math.ceil((p / 100) * sorted.length) - 1))];
}

export function latencySummary(samples) {
  const ok = samples.filter((s) => s.status >= 200 && s.status < 300);
  const ms = ok.map((s) => s.ms);
  return {
    n: samples.length,
    ok: ok.length,
    failed: samples.length - ok.length,
    p50: percentile(ms, 50),
    p99: percentile(ms, 99),
    max: ms.length ? Math.max(...ms) : NaN,
  };
}

export const fmtMs = (v) => (Number.isFinite(v) ? (v < 10 ? v.toFixed(1) : Math.round(v)) + 'ms' : '-');
export const fmtMB = (kb) => (Number.isFinite(kb) ? Math.round(kb / 1024) + 'MB' : '-');

export function procStats(pid) {
  try {
    const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
    const field = (name) => Number((status.match(new RegExp(`^${name}:\\s+(\\d+)`, 'm')) || [])[1]);
    // Descriptors other than the in-memory files cached tiles are sent from (those belong to
    // the tile memory, bounded by it, and stay after a scenario like the tiles themselves).
    let fds = NaN;
    try {
      fds = fs.readdirSync(`/proc/${pid}/fd`).filter((fd) => {
        try {
          return !fs.readlinkSync(`/proc/${pid}/fd/${fd}`).startsWith('/memfd:');
        } catch {
          return false;  // closed meanwhile
        }
      }).length;
    } catch {}
    return { alive: !/^State:\s+Z/m.test(status), rssKB: field('VmRSS'), hwmKB: field('VmHWM'), fds };
  } catch {
    return { alive: false, rssKB: NaN, hwmKB: NaN, fds: NaN };
  }
}

export function nofileLimit(pid) {
  try {
    const m = fs.readFileSync(`/proc/${pid}/limits`, 'utf8').match(/^Max open files\s+(\d+|unlimited)\s+(\d+|unlimited)/m);
    return { soft: m[1], hard: m[2] };
  } catch {
    return { soft: '?', hard: '?' };
  }
}

// Samples the server's RSS every `everyMs` to catch its peak inside one scenario.
export function rssWatch(pid, everyMs = 100) {
  let peak = procStats(pid).rssKB || 0;
  const timer = setInterval(() => {
    const s = procStats(pid);
    if (s.rssKB > peak) peak = s.rssKB;
  }, everyMs);
  return {
    stop() {
      clearInterval(timer);
      const s = procStats(pid);
      if (s.rssKB > peak) peak = s.rssKB;
      return peak;
    },
  };
}

export function countBy(items, key) {
  const out = {};
  for (const it of items) {
    const k = key(it);
    out[k] = (out[k] || 0) + 1;
  }
  return out;
}

export const fmtCounts = (counts) =>
  Object.entries(counts)
    .sort()
    .map(([k, v]) => `${k}:${v}`)
    .join(',') || '-';

// Answers a control command of proxy.mjs.
export function proxyCommand(controlPort, cmd) {
  return new Promise((resolve, reject) => {
    const sock = net.connect({ host: '127.0.0.1', port: controlPort }, () => sock.write(cmd + '\n'));
    let buf = '';
    sock.on('data', (d) => {
      buf += d;
      const nl = buf.indexOf('\n');
      if (nl >= 0) {
        sock.destroy();
        const answer = JSON.parse(buf.slice(0, nl));
        if (answer.error) reject(new Error(answer.error));
        else resolve(answer);
      }
    });
    sock.on('error', reject);
  });
}
