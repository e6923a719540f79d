// A TCP proxy between mapsvc and PostgreSQL that can be cut and restored on command.
//
//   node proxy.mjs --target HOST:PORT [--listen PORT] [--control PORT]
//
// Prints one JSON line {"listen": P, "control": C} once both ports listen. The control port
// takes one command per line and answers one JSON line:
//   stat     {"state", "pairs", "upstream_ports", "accepted"}
//   cut      drops every connection (reset towards mapsvc, close towards the database) and
//            stops listening, so new connections are refused
//   restore  listens again on the same port
import net from 'node:net';

const args = Object.fromEntries(
  process.argv.slice(2).reduce((acc, a, i, all) => (a.startsWith('--') ? [...acc, [a.slice(2), all[i + 1]]] : acc), []));
const [targetHost, targetPort] = (args.target || '127.0.0.1:55432').split(':');
let listenPort = Number(args.listen || 0);

const pairs = new Set();
let accepted = 0;
let state = 'up';

function onClient(client) {
  accepted++;
  const upstream = net.connect({ host: targetHost, port: Number(targetPort) });
  const pair = { client, upstream };
  pairs.add(pair);
  let closed = false;
  const close = () => {
    if (closed) return;
    closed = true;
    pairs.delete(pair);
    client.destroy();
    upstream.destroy();
  };
  client.on('error', close).on('close', close);
  upstream.on('error', close).on('close', close);
  client.setNoDelay(true);
  upstream.setNoDelay(true);
  client.pipe(upstream);
  upstream.pipe(client);
}

let server = null;
function listen() {
  return new Promise((resolve, reject) => {
    server = net.createServer(onClient);
    server.once('error', reject);
    server.listen(listenPort, '127.0.0.1', () => {
      listenPort = server.address().port;
      resolve();
    });
  });
}

function cut() {
  state = 'cut';
  if (server) server.close();
  server = null;
  for (const { client, upstream } of [...pairs]) {
    if (client.resetAndDestroy) client.resetAndDestroy();
    else client.destroy();
    upstream.destroy();
  }
  pairs.clear();
}

async function restore() {
  if (state === 'up') return;
  // The port was just released: retry briefly if the kernel still holds it.
  for (let i = 0; ; i++) {
    try {
      await listen();
      break;
    } catch (e) {
      if (i >= 50) throw e;
      await new Promise((r) => setTimeout(r, 100));
    }
  }
  state = 'up';
}

function stat() {
  const ports = [];
  for (const { upstream } of pairs) if (upstream.localPort) ports.push(upstream.localPort);
  return { state, pairs: pairs.size, upstream_ports: ports, accepted };
}

const control = net.createServer((sock) => {
  let buf = '';
  sock.on('error', () => {});
  sock.on('data', async (d) => {
    buf += d;
    let nl;
    while ((nl = buf.indexOf('\n')) >= 0) {
      const cmd = buf.slice(0, nl).trim();
      buf = buf.slice(nl + 1);
      let answer;
      try {
        if (cmd === 'cut') cut();
        else if (cmd === 'restore') await restore();
        else if (cmd !== 'stat') throw new Error(`unknown command '${cmd}'`);
        answer = stat();
      } catch (e) {
        answer = { error: String(e.message || e) };
      }
      sock.write(JSON.stringify(answer) + '\n');
    }
  });
});

await listen();
control.listen(Number(args.control || 0), '127.0.0.1', () => {
  process.stdout.write(JSON.stringify({ listen: listenPort, control: control.address().port }) + '\n');
});
process.on('SIGTERM', () => process.exit(0));
process.on('SIGINT', () => process.exit(0));
