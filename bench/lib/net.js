'use strict';
// HTTP requests and a small Redis connection (commands in order, pipelined, and
// publish/subscribe messages), loopback only: shared by the benchmarks' Node drivers.

const http = require('http');
const net = require('net');

const now = () => Number(process.hrtime.bigint()) / 1e6; // milliseconds, monotonic
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function keepAliveAgent(sockets) {
  return new http.Agent({ keepAlive: true, maxSockets: sockets, scheduling: 'fifo' });
}

// One request; resolves with status, headers and the body (a Buffer), rejects on a network
// error or after `timeout` ms.
function request(agent, base, path, { method = 'GET', headers = {}, timeout = 30000 } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request(base + path, { method, agent, headers }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: Buffer.concat(chunks) }));
      res.on('error', reject);
    });
    req.setTimeout(timeout, () => req.destroy(new Error(`time-out: ${method} ${base}${path}`)));
    req.on('error', reject);
    req.end();
  });
}

const get = (agent, base, path, headers = {}, timeout = 30000) => request(agent, base, path, { headers, timeout });

// Prometheus text: the value of an unlabelled metric, or NaN.
async function metric(base, name) {
  const r = await request(undefined, base, '/metrics', { timeout: 10000 });
  const m = new RegExp(`^${name} ([0-9.e+-]+)$`, 'm').exec(r.body.toString());
  return m ? Number(m[1]) : NaN;
}

class Redis {
  constructor(port, host = '127.0.0.1') {
    this.socket = net.connect(port, host);
    this.socket.setNoDelay(true);
    this.buffer = Buffer.alloc(0);
    this.waiting = [];
    this.onMessage = null;
    this.socket.on('data', (d) => {
      this.buffer = this.buffer.length ? Buffer.concat([this.buffer, d]) : d;
      for (;;) {
        const parsed = this.parse(0);
        if (!parsed) break;
        this.buffer = this.buffer.subarray(parsed.end);
        this.deliver(parsed);
      }
    });
    this.socket.on('error', (e) => {
      for (const w of this.waiting.splice(0)) w.reject(e);
    });
  }

  deliver(parsed) {
    const v = parsed.value;
    // A subscribed connection also receives messages nobody asked for.
    if (Array.isArray(v) && v.length === 3 && Buffer.isBuffer(v[0]) && v[0].toString() === 'message') {
      if (this.onMessage) this.onMessage(v[1].toString(), v[2].toString());
      return;
    }
    const w = this.waiting.shift();
    if (!w) return;
    if (parsed.error) w.reject(new Error(v));
    else w.resolve(v);
  }

  parse(at) {
    const eol = this.buffer.indexOf('\r\n', at);
    if (eol < 0) return null;
    const kind = String.fromCharCode(this.buffer[at]);
    const text = this.buffer.toString('latin1', at + 1, eol);
    if (kind === '+') return { value: text, end: eol + 2 };
    if (kind === '-') return { value: text, end: eol + 2, error: true };
    if (kind === ':') return { value: Number(text), end: eol + 2 };
    if (kind === '$') {
      const n = Number(text);
      if (n < 0) return { value: null, end: eol + 2 };
      if (this.buffer.length < eol + 2 + n + 2) return null;
      return { value: this.buffer.subarray(eol + 2, eol + 2 + n), end: eol + 2 + n + 2 };
    }
    if (kind === '*') {
      const n = Number(text);
      const items = [];
      let end = eol + 2;
      for (let i = 0; i < n; i++) {
        const item = this.parse(end);
        if (!item) return null;
        items.push(item.value);
        end = item.end;
      }
      return { value: items, end };
    }
    throw new Error('unexpected Redis reply: ' + kind);
  }

  command(...args) {
    const parts = [Buffer.from(`*${args.length}\r\n`)];
    for (const a of args) {
      const b = Buffer.isBuffer(a) ? a : Buffer.from(String(a));
      parts.push(Buffer.from(`$${b.length}\r\n`), b, Buffer.from('\r\n'));
    }
    return new Promise((resolve, reject) => {
      this.waiting.push({ resolve, reject });
      this.socket.write(Buffer.concat(parts));
    });
  }

  // EXISTS of every key, a thousand per round trip; resolves with an array of booleans.
  async existing(keys) {
    const out = [];
    for (let i = 0; i < keys.length; i += 1000) {
      const replies = await Promise.all(keys.slice(i, i + 1000).map((k) => this.command('EXISTS', k)));
      for (const r of replies) out.push(r === 1);
    }
    return out;
  }

  // How many times Redis has run `command` (INFO commandstats).
  async calls(command) {
    const info = (await this.command('INFO', 'commandstats')).toString();
    const m = info.match(new RegExp(`cmdstat_${command}:calls=(\\d+)`));
    return m ? Number(m[1]) : 0;
  }

  close() {
    this.socket.end();
  }
}

module.exports = { now, sleep, keepAliveAgent, request, get, metric, Redis };
