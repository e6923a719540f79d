// The Sentinel-watched Redis primary dies (kill -9) under tile load on instance S. No request
// fails; once the sentinels have promoted the replica, S stores tiles there and answers them
// from the cache again. The old primary is started again and follows the new one.
import {
  fmtMs, fmtS, get, levelChange, levelsOf, now, purge, redis, sentinelMaster, sleep, tileKey, tilePath, wrk, writeLoadScript,
} from '../lib.mjs';

const LOAD_S = 13;
const KILL_AT_S = 2.5;
const CONNECTIONS = 24;
// The cache costs at most about a second when a Redis is gone; the rest is the machine.
const P99_MS = 2000;
// down-after-milliseconds 1000, then the vote and the promotion
const RECOVERY_S = 15;

export default async function sentinelFailover(ctx) {
  const { c } = ctx;
  if (ctx.env.CLUSTER_SENTINEL_MODE !== 'sentinel')
    return { pass: false, requests: 0, failed: NaN, recovery: NaN, problems: ['S is not behind Sentinel'] };
  const problems = [];
  const victim = await sentinelMaster(c);
  if (!victim) throw new Error('no sentinel names a primary');
  const victimPid = c.pid(`redis-${victim}`);
  if (!victimPid) throw new Error(`no pid file for redis ${victim}`);
  const [probe, later] = ctx.takeProbes(2);
  const key = tileKey('plots', probe.z, probe.x, probe.y);

  const script = writeLoadScript(ctx.work, 'sentinel_failover', ctx.loadPaths);
  // An empty cache: the kill meets tiles being stored and read back, not only memory answers.
  const purged = await purge(c, c.s, 'plots');
  if (purged.status !== 200) problems.push(`the purge before the load answered ${purged.status || purged.error}`);
  const levels0 = await levelsOf([c.s]);
  const load = wrk(c.s, script, LOAD_S, CONNECTIONS);
  await sleep(KILL_AT_S * 1000);
  const tKill = now();
  process.kill(victimPid, 'SIGKILL');
  ctx.log(`killed redis :${victim} (pid ${victimPid})`);

  // The probe tile, never asked for before, until it is a hit stored on the new primary.
  let probeRequests = 0;
  let probeFailed = 0;
  let recovered = NaN;
  let promotedS = NaN;
  let newMaster = 0;
  let hitsWithoutKey = 0;
  const firstAnswers = [];
  while ((now() - tKill) / 1000 < RECOVERY_S) {
    const m = await sentinelMaster(c);
    if (m && m !== victim && !Number.isFinite(promotedS)) {
      promotedS = (now() - tKill) / 1000;
      newMaster = m;
    }
    const r = await get(c.s, tilePath(probe));
    probeRequests++;
    if (!(r.status >= 200 && r.status < 300)) probeFailed++;
    if (firstAnswers.length < 5) firstAnswers.push(`${r.status || r.error}${r.headers?.['x-cache'] === 'HIT' ? ' HIT' : ''}`);
    if (r.headers?.['x-cache'] === 'HIT' && newMaster) {
      if ((await redis(newMaster, 'exists', key)) === '1') {
        recovered = (now() - tKill) / 1000;
        break;
      }
      hitsWithoutKey++;
    }
    await sleep(100);
  }
  const r = await load;
  if (r.raw) ctx.log(`wrk: ${r.raw.slice(0, 300)}`);
  const levels = levelChange(levels0, await levelsOf([c.s]));

  const tRestart = now();
  await ctx.restore();
  const restartS = (now() - tRestart) / 1000;
  const role = (await redis(victim, 'role')).split('\n')[0];
  if (role !== 'slave') problems.push(`restarted :${victim} is ${role}, not a replica`);
  // With the old primary back as a replica, S still writes to the new primary: a new tile is
  // stored there and answered from the cache.
  const master = await sentinelMaster(c);
  const laterKey = tileKey('plots', later.z, later.x, later.y);
  const tAfter = now();
  let laterS = NaN;
  let laterFailed = 0;
  let laterRequests = 0;
  while ((now() - tAfter) / 1000 < 5) {
    const x = await get(c.s, tilePath(later));
    laterRequests++;
    if (!(x.status >= 200 && x.status < 300)) laterFailed++;
    if (x.headers?.['x-cache'] === 'HIT' && (await redis(master, 'exists', laterKey)) === '1') {
      laterS = (now() - tAfter) / 1000;
      break;
    }
    await sleep(100);
  }
  if (!(laterS <= 5)) problems.push(`after :${victim} rejoined, a new tile was not stored on :${master} and hit within 5s`);
  if (laterFailed) problems.push(`${laterFailed} failed after :${victim} rejoined`);

  if (!(r.requests > 0)) problems.push('the load completed no requests');
  if (r.failed) problems.push(`load: ${r.failed} failed (5xx ${r.s5xx}, 4xx ${r.s4xx}, sockets ${r.sockets})`);
  if (r.p99 > P99_MS) problems.push(`load p99 ${fmtMs(r.p99)} > ${P99_MS}ms`);
  if (probeFailed) problems.push(`probe: ${probeFailed} failed`);
  if (!newMaster) problems.push(`the sentinels promoted no replica within ${RECOVERY_S}s`);
  if (!(recovered <= RECOVERY_S)) problems.push(`no cache hit stored on the new primary within ${RECOVERY_S}s (first answers ${firstAnswers.join(', ')})`);
  if (hitsWithoutKey) problems.push(`${hitsWithoutKey} cache hits for a tile the new primary did not hold`);
  return {
    pass: problems.length === 0, requests: r.requests + probeRequests + laterRequests,
    failed: r.failed + probeFailed + laterFailed, recovery: recovered,
    problems,
    details: `load ${r.requests} (${levels}) p99=${fmtMs(r.p99)} max=${fmtMs(r.max)}; killed :${victim}, ` +
      `sentinels named :${newMaster || '-'} after ${fmtS(promotedS)}; S hit again ${fmtS(recovered)}; ` +
      `:${victim} back as ${role} in ${fmtS(restartS)}, then a new tile hit in ${fmtS(laterS)}`,
    bound: `0 non-2xx and 0 socket errors over ${LOAD_S}s (kill at ${KILL_AT_S}s), p99 <= ${P99_MS}ms; a hit stored on the new primary within ${RECOVERY_S}s; ` +
      `after the rejoin, a new tile stored and hit within 5s`,
    figures: { load: r, levels, victim, newMaster, promotedS, recoveredS: recovered, probeRequests, hitsWithoutKey, restartS,
      roleAfterRestart: role, afterRejoinS: laterS },
  };
}
