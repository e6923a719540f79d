// A Redis Cluster primary dies (kill -9) under tile load through nginx. The cache never fails
// a request, so no client sees anything but 200/204; its replica takes the slots over, and
// tiles whose keys hash there are stored on it and answered from the cache again. The dead
// node is started again and rejoins as a replica.
import {
  clusterNodes, fmtMs, fmtS, get, keySlot, levelChange, levelsOf, now, ownerOf, primaries, purge, redis, sleep, tileKey,
  tilePath, wrk, writeLoadScript,
} from '../lib.mjs';

const LOAD_S = 13;
const KILL_AT_S = 2.5;
const CONNECTIONS = 24;
// The cache costs at most about a second when a Redis is gone; the rest is the machine.
const P99_MS = 2000;
const RECOVERY_S = 15; // failure detection (node timeout 1.5 s) and election take a few seconds

// Polls one tile on one instance until it is a cache hit whose key is on `newOwner`.
async function recoveryProbe(c, port, tile, tKill, victim, deadlineS) {
  const key = tileKey('plots', tile.z, tile.x, tile.y);
  const slot = keySlot(key);
  const p = tilePath(tile);
  const out = { port, key, slot, requests: 0, failed: 0, hitsWithoutKey: 0, recoveredS: NaN, firstAnswers: [] };
  while ((now() - tKill) / 1000 < deadlineS) {
    const r = await get(port, p);
    out.requests++;
    if (!(r.status >= 200 && r.status < 300)) out.failed++;
    if (out.firstAnswers.length < 5) out.firstAnswers.push(`${r.status || r.error}${r.headers?.['x-cache'] === 'HIT' ? ' HIT' : ''}`);
    if (r.headers?.['x-cache'] === 'HIT') {
      let owner;
      try {
        owner = ownerOf(await clusterNodes(c.redisNodes.filter((x) => x !== victim)), slot);
      } catch {}
      if (owner && owner.port !== victim) {
        if ((await redis(owner.port, 'exists', key)) === '1') {
          out.recoveredS = (now() - tKill) / 1000;
          out.owner = owner.port;
          return out;
        }
        // A cache answer for a tile that is in no Redis: memory outlived its copy.
        out.hitsWithoutKey++;
      }
    }
    await sleep(100);
  }
  return out;
}

export default async function redisClusterFailover(ctx) {
  const { c } = ctx;
  if (ctx.env.CLUSTER_REDIS_MODE !== 'cluster')
    return { pass: false, requests: 0, failed: NaN, recovery: NaN, problems: ['A and B are not on the Redis Cluster'] };
  const problems = [];
  const before = await clusterNodes(c.redisNodes);
  const victimNode = primaries(before).sort((x, y) => x.port - y.port)[0];
  const victim = victimNode.port;
  const heir = before.find((n) => n.masterId === victimNode.id)?.port;
  const victimPid = c.pid(`redis-${victim}`);
  if (!victimPid) throw new Error(`no pid file for redis ${victim}`);
  const owned = (t) => ownerOf(before, keySlot(tileKey('plots', t.z, t.x, t.y)))?.port === victim;
  // Never asked for before: what the probes read after the kill was stored after the kill.
  const [probeA, probeB, laterA, laterB] = ctx.takeProbes(4, owned);

  const script = writeLoadScript(ctx.work, 'cluster_failover', ctx.loadPaths,
    { upstreams: { a: `127.0.0.1:${c.a}`, b: `127.0.0.1:${c.b}` } });
  // An empty cache: the kill meets tiles being built, stored and read back through Redis, not
  // only answers from the instances' memory.
  const purged = await purge(c, c.a, 'plots');
  if (purged.status !== 200) problems.push(`the purge before the load answered ${purged.status || purged.error}`);
  const levels0 = await levelsOf([c.a, c.b]);
  const load = wrk(c.nginx, script, LOAD_S, CONNECTIONS);
  await sleep(KILL_AT_S * 1000);
  const tKill = now();
  process.kill(victimPid, 'SIGKILL');
  ctx.log(`killed redis :${victim} (pid ${victimPid}); its replica :${heir}`);
  const [ra, rb] = await Promise.all([
    recoveryProbe(c, c.a, probeA, tKill, victim, RECOVERY_S),
    recoveryProbe(c, c.b, probeB, tKill, victim, RECOVERY_S),
  ]);
  const r = await load;
  if (r.raw) ctx.log(`wrk: ${r.raw.slice(0, 300)}`);
  const levels = levelChange(levels0, await levelsOf([c.a, c.b]));

  // The promoted replica as the cluster sees it now.
  const after = await clusterNodes(c.redisNodes.filter((x) => x !== victim));
  const promoted = primaries(after).find((n) => n.port === heir);
  if (!promoted) problems.push(`replica :${heir} was not promoted`);

  const tRestart = now();
  await ctx.restore();
  const restartS = (now() - tRestart) / 1000;
  const role = (await redis(victim, 'role')).split('\n')[0];
  if (role !== 'slave') problems.push(`restarted :${victim} is ${role}, not a replica`);
  // With the old primary back as a replica of the same slots, tiles there are still stored
  // on the new primary and answered from the cache (not sent to the replica, which refuses
  // writes, or left uncached).
  const tAfter = now();
  const [la, lb] = await Promise.all([
    recoveryProbe(c, c.a, laterA, tAfter, victim, 5),
    recoveryProbe(c, c.b, laterB, tAfter, victim, 5),
  ]);
  for (const [n, p] of [['A', la], ['B', lb]]) {
    if (!(p.recoveredS <= 5)) problems.push(`${n}: after :${victim} rejoined, a new tile was not stored and hit within 5s`);
    if (p.failed) problems.push(`${n}: ${p.failed} failed after :${victim} rejoined`);
  }

  const failed = r.failed + ra.failed + rb.failed + la.failed + lb.failed;
  if (!(r.requests > 0)) problems.push('the load completed no requests');
  if (r.failed) problems.push(`load: ${r.failed} failed (5xx ${r.s5xx}, 4xx ${r.s4xx}, sockets ${r.sockets})`);
  if (r.p99 > P99_MS) problems.push(`load p99 ${fmtMs(r.p99)} > ${P99_MS}ms`);
  for (const [n, p] of [['A', ra], ['B', rb]]) {
    if (p.failed) problems.push(`probe on ${n}: ${p.failed} failed`);
    if (!(p.recoveredS <= RECOVERY_S)) problems.push(`${n}: no cache hit stored on the new primary within ${RECOVERY_S}s (first answers ${p.firstAnswers.join(', ')})`);
    if (p.hitsWithoutKey) problems.push(`${n}: ${p.hitsWithoutKey} cache hits for a tile that no Redis node held`);
  }
  const recovery = Math.max(ra.recoveredS, rb.recoveredS);
  return {
    pass: problems.length === 0, requests: r.requests + ra.requests + rb.requests + la.requests + lb.requests, failed,
    recovery, problems,
    details: `load ${r.requests} (${levels}; A ${r.up_a}, B ${r.up_b}, retried ${r.retried}) p99=${fmtMs(r.p99)} ` +
      `max=${fmtMs(r.max)}; killed :${victim}, :${heir} promoted=${Boolean(promoted)}; A hit again ${fmtS(ra.recoveredS)}, ` +
      `B ${fmtS(rb.recoveredS)}; :${victim} back as ${role} in ${fmtS(restartS)}, then new tiles hit in ` +
      `${fmtS(la.recoveredS)} (A) ${fmtS(lb.recoveredS)} (B)`,
    bound: `0 non-2xx and 0 socket errors over ${LOAD_S}s (kill at ${KILL_AT_S}s), p99 <= ${P99_MS}ms; hits stored on the promoted replica within ${RECOVERY_S}s on A and B; ` +
      `after the rejoin, new tiles stored and hit within 5s`,
    figures: { load: r, levels, probeA: ra, probeB: rb, afterRejoinA: la, afterRejoinB: lb, victim, heir, restartS, roleAfterRestart: role },
  };
}
