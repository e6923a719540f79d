// A layer purge sent to A clears the layer on every Redis Cluster primary (the keys are spread
// over all of them by slot) and evicts B's memory copies through Redis's invalidation
// reports: B, which held the tiles in memory, then answers them from the database.
import {
  clusterNodes, fmtS, get, keySlot, now, ownerOf, primaries, purge, redis, scanCount, sentinelMaster, sleep, tileKey,
  tilePath, tileWithLevel,
} from '../lib.mjs';

const TILES = 12;
const KEYS_GONE_S = 5; // the purge deletes before it answers; this only bounds the wait
const EVICTED_S = 2; // after the keys are gone
const MEMORY_TRIES = 4; // requests on B until a tile is answered from its memory

export default async function purgeScenario(ctx) {
  const { c } = ctx;
  const cluster = ctx.env.CLUSTER_REDIS_MODE === 'cluster';
  const problems = [];
  let requests = 0;
  let failed = 0;
  const count = (r) => {
    requests++;
    if (!(r.status >= 200 && r.status < 300)) failed++;
    return r;
  };

  // Where A and B keep tiles: the cluster's primaries (or the one plain Redis of a build
  // without cluster support).
  const cacheNodes = async () =>
    cluster ? primaries(await clusterNodes(c.redisNodes)).map((n) => n.port) : [await sentinelMaster(c)];
  const nodes = await cacheNodes();
  // What earlier runs left is cleared first, so that the timed purge deletes a known set.
  const cleared = count(await purge(c, c.a, 'all'));
  if (cleared.status !== 200) problems.push(`the purge of all before the test answered ${cleared.status || cleared.error}`);

  // Tiles spread over every primary.
  let tiles;
  if (cluster) {
    const topo = await clusterNodes(c.redisNodes);
    const per = Math.ceil(TILES / nodes.length);
    const taken = new Map(nodes.map((p) => [p, 0]));
    tiles = ctx.takeProbes(TILES, (t) => {
      const owner = ownerOf(topo, keySlot(tileKey('plots', t.z, t.x, t.y)))?.port;
      if (!taken.has(owner) || taken.get(owner) >= per) return false;
      taken.set(owner, taken.get(owner) + 1);
      return true;
    });
  } else tiles = ctx.takeProbes(TILES);
  const paths = tiles.map((t) => tilePath(t));

  // Warm: A builds and stores each tile; B reads it from Redis, then from its memory.
  let memoryHeld = 0;
  for (const p of paths) {
    const r = count(await get(c.a, p));
    if (r.status !== 200) problems.push(`warming ${p} on A answered ${r.status || r.error}`);
    for (let i = 0; i < MEMORY_TRIES; i++) {
      const w = count(await tileWithLevel(c.b, p));
      if (w.level === 'memory') {
        memoryHeld++;
        break;
      }
    }
  }
  if (memoryHeld < TILES) problems.push(`B answered only ${memoryHeld}/${TILES} tiles from memory before the purge`);

  const perNode = async () => Promise.all(nodes.map((p) => scanCount(p, 'mvt_v8:plots:*')));
  const before = await perNode();
  const keysBefore = before.reduce((a, b) => a + b, 0);
  const present = await Promise.all(tiles.map(async (t) => {
    const key = tileKey('plots', t.z, t.x, t.y);
    if (!cluster) return (await redis(nodes[0], 'exists', key)) === '1';
    const owner = ownerOf(await clusterNodes(c.redisNodes), keySlot(key));
    return owner && (await redis(owner.port, 'exists', key)) === '1';
  }));
  if (present.some((x) => !x)) problems.push(`${present.filter((x) => !x).length} warmed tiles were not in Redis`);

  // The purge, on A only.
  const t0 = now();
  const answer = count(await purge(c, c.a, 'plots'));
  const postS = (now() - t0) / 1000;
  let deleted = NaN;
  try {
    deleted = JSON.parse(answer.body.toString('utf8')).data.deleted_count;
  } catch {}
  if (answer.status !== 200) problems.push(`the purge answered ${answer.status || answer.error}`);
  if (deleted !== keysBefore) problems.push(`the purge reported ${deleted} deleted, ${keysBefore} keys were there`);

  // Gone on every primary.
  let keysGoneS = NaN;
  let left = [];
  while ((now() - t0) / 1000 < KEYS_GONE_S) {
    left = await perNode();
    if (left.every((n) => n === 0)) {
      keysGoneS = (now() - t0) / 1000;
      break;
    }
    await sleep(25);
  }
  if (!Number.isFinite(keysGoneS)) problems.push(`keys left after ${KEYS_GONE_S}s: ${nodes.map((p, i) => `:${p}=${left[i]}`).join(' ')}`);

  // B no longer answers from memory: the first tile until it is a miss (a memory answer
  // meanwhile is stale), then every other tile once.
  let evictedS = NaN;
  let staleFirst = 0;
  const tFirst = now();
  while ((now() - tFirst) / 1000 < EVICTED_S) {
    const r = count(await tileWithLevel(c.b, paths[0]));
    if (r.level !== 'memory' && r.level !== 'redis') {
      evictedS = (now() - t0) / 1000;
      if (r.level !== 'miss' || r.headers?.['x-cache'] === 'HIT') problems.push(`B answered ${paths[0]} as ${r.level}`);
      break;
    }
    staleFirst++;
    await sleep(20);
  }
  if (!Number.isFinite(evictedS)) problems.push(`B still served ${paths[0]} from its cache ${EVICTED_S}s after the keys were gone`);
  // The purge answers after Redis has sent its reports: a cached answer after that is stale.
  else if (staleFirst) problems.push(`B served ${paths[0]} from its cache ${staleFirst} time(s) after the purge had answered`);
  const levels = {};
  for (const p of paths.slice(1)) {
    const r = count(await tileWithLevel(c.b, p));
    const k = r.headers?.['x-cache'] === 'HIT' ? `${r.level}(HIT)` : r.level;
    levels[k] = (levels[k] || 0) + 1;
  }
  const misses = levels.miss || 0;
  if (misses !== TILES - 1) problems.push(`after the purge B answered ${JSON.stringify(levels)}; all ${TILES - 1} must be misses`);

  return {
    pass: problems.length === 0, requests, failed, recovery: evictedS, problems,
    details: `keys ${keysBefore} on ${nodes.length} primaries (${before.join('/')}), deleted=${deleted}, ` +
      `purge answered in ${fmtS(postS)}, keys gone ${fmtS(keysGoneS)}, B evicted ${fmtS(evictedS)} ` +
      `(stale answers ${staleFirst}), B after: ${JSON.stringify(levels)} + first tile`,
    bound: `deleted_count = keys present; keys gone on every primary within ${KEYS_GONE_S}s; ` +
      `no cached answer from B after that (eviction bound ${EVICTED_S}s); all ${TILES} tiles misses on B`,
    figures: { keysBefore, perPrimary: Object.fromEntries(nodes.map((p, i) => [p, before[i]])), deleted, postS, keysGoneS,
      evictedS, staleFirst, levelsAfter: levels, memoryHeld },
  };
}
