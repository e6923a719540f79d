'use strict';
// Which answers were stale: a tile's versions are the digests of its bytes in the database,
// each from the commit that made it (the first from when the tile began to be watched). An
// answer sent at time s may carry the version current at s - allowed or any later one; one
// that carries an earlier version is stale, and one that carries none of them is unknown.

function versionHistory() {
  const byTile = new Map();
  return {
    // Versions must come in commit order per tile; a repeat of the current digest adds nothing.
    add(tile, at, sha) {
      let list = byTile.get(tile);
      if (!list) byTile.set(tile, (list = []));
      if (list.length && list[list.length - 1].sha === sha) return;
      list.push({ at: list.length ? at : -Infinity, sha });
    },
    get: (tile) => byTile.get(tile),
    has: (tile) => byTile.has(tile),
    current: (tile) => {
      const list = byTile.get(tile);
      return list ? list[list.length - 1].sha : undefined;
    },
    size: () => byTile.size,
  };
}

// 'ok', 'unknown', or {age}: a stale answer, sent `age` ms after the commit that replaced the
// bytes it carries.
function classify(versions, sentAt, sha, allowedMs) {
  const threshold = sentAt - allowedMs;
  let current = 0;
  while (current + 1 < versions.length && versions[current + 1].at <= threshold) current++;
  for (let j = current; j < versions.length; j++) if (versions[j].sha === sha) return 'ok';
  for (let j = current - 1; j >= 0; j--) if (versions[j].sha === sha) return { age: sentAt - versions[j + 1].at };
  return 'unknown';
}

module.exports = { versionHistory, classify };
