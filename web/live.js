// Live edits on the map preview (apart from the page, so that they can be tried without a
// browser). The server's change feed says, per edit, which layer's tiles changed where and
// at which zooms; the map fetches exactly those tiles again. Fetching again is not enough on
// its own: the browser's HTTP cache keeps tiles for their max-age, so every request for a
// tile an edit touched since it was last checked asks the server to revalidate it (a 304 when
// it did not change after all). Tiles kept out of view are dropped so that they are fetched
// again when shown.
const MAX_KEPT_AREAS = 500;
const CHANGES_RETRY_MS = 5_000;  // the server's Retry-After when it refuses a stream
const TILE_PATH = /\/(\d+)\/(\d+)\/(\d+)\.pbf$/;

function tileKey(c) {
  return `${c.z}/${c.x}/${c.y}`;
}

// Whether the tile (a canonical z/x/y) holds features of the changed area: the area's zooms,
// and closed boxes that meet, widened by a hair so that rounding never leaves a tile out.
export function areaMeetsTile(area, c) {
  if (c.z < area.minzoom || c.z > area.maxzoom) return false;
  const [west, south, east, north] = area.bbox.map((v) => (typeof v === 'number' ? v : NaN));
  if (![west, south, east, north].every(Number.isFinite)) return true;
  const n = 2 ** c.z;
  const latitude = (y) => (Math.atan(Math.sinh(Math.PI * (1 - (2 * y) / n))) * 180) / Math.PI;
  const epsilon = 1e-9;
  return c.x / n * 360 - 180 <= east + epsilon && (c.x + 1) / n * 360 - 180 >= west - epsilon &&
    latitude(c.y + 1) <= north + epsilon && latitude(c.y) >= south - epsilon;
}

export class LiveTiles {
  constructor(sourceId, layerKeys) {
    this.sourceId = sourceId;
    this.layerKeys = new Set(layerKeys);
    // Moments are counted, not timed, so that an edit and a request never share one.
    this.moment = 0;
    this.areas = [];                  // {area, at}, oldest first
    this.staleBefore = -Infinity;     // a reset: every tile requested before it is suspect
    this.checkedAt = new Map();       // tile key -> when a request for it last revalidated
    this.waitingForLoad = new Set();  // tiles loading when an edit touched them
    this.map = null;
  }

  // MapLibre's transformRequest: tiles that an edit touched since they were last checked
  // bypass the browser's fresh copy.
  transformRequest(url, resourceType) {
    if (resourceType !== 'Tile') return undefined;
    const match = TILE_PATH.exec(new URL(url, globalThis.location?.href).pathname);
    if (!match) return undefined;
    const c = { z: Number(match[1]), x: Number(match[2]), y: Number(match[3]) };
    const key = tileKey(c);
    const checked = this.checkedAt.get(key) ?? -Infinity;
    const stale = this.staleBefore > checked ||
      this.areas.some(({ area, at }) => at > checked && areaMeetsTile(area, c));
    if (!stale) return undefined;
    this.checkedAt.set(key, ++this.moment);
    return { url, cache: 'no-cache' };
  }

  attach(map) {
    this.map = map;
    map.on('sourcedata', (event) => {
      if (event.sourceId !== this.sourceId || !event.tile || this.waitingForLoad.size === 0) return;
      const c = event.tile.tileID.canonical;
      // Its request may have left before the edit: once loaded, it is fetched again.
      if (event.tile.state === 'loaded' && this.waitingForLoad.delete(tileKey(c))) {
        map.refreshTiles(this.sourceId, [{ z: c.z, x: c.x, y: c.y }]);
      }
    });
  }

  tileManager() {
    return this.map && this.map.style && this.map.style.tileManagers ? this.map.style.tileManagers[this.sourceId] : undefined;
  }

  applyChanges(changes) {
    const areas = (Array.isArray(changes) ? changes : [])
      .filter((a) => a && this.layerKeys.has(a.layer) && Array.isArray(a.bbox) && a.bbox.length === 4);
    if (areas.length === 0) return;
    const at = ++this.moment;
    for (const area of areas) this.areas.push({ area, at });
    while (this.areas.length > MAX_KEPT_AREAS) {
      // Forgetting where an edit was means suspecting every tile requested before it.
      this.staleBefore = Math.max(this.staleBefore, this.areas.shift().at);
    }
    const manager = this.tileManager();
    if (!manager) return;  // nothing loaded yet: the first requests revalidate
    const meets = (c) => areas.some((area) => areaMeetsTile(area, c));
    const refresh = [];
    for (const id of manager.getIds()) {
      const tile = manager.getTileByID(id);
      const c = tile && tile.tileID.canonical;
      if (!c || !meets(c)) continue;
      if (tile.state === 'loading') this.waitingForLoad.add(tileKey(c));
      else refresh.push({ z: c.z, x: c.x, y: c.y });
    }
    if (manager._outOfViewCache) manager._outOfViewCache.filter((tile) => !meets(tile.tileID.canonical));
    if (refresh.length) this.map.refreshTiles(this.sourceId, refresh);
  }

  // The client missed changes: every tile of the source is fetched again and revalidated.
  reloadAll() {
    this.staleBefore = ++this.moment;
    this.areas = [];
    if (this.tileManager()) this.map.refreshTiles(this.sourceId);
  }
}

export function subscribeToChanges(live, indicator) {
  if (typeof EventSource !== 'function') return;
  let lastId = null;       // of the last event seen, to resume after it
  let reopened = false;    // opened again by the page rather than by the browser
  const open = () => {
    const events = new EventSource(lastId === null ? '/gis/changes' : `/gis/changes?since=${encodeURIComponent(lastId)}`);
    events.addEventListener('open', () => {
      indicator.hidden = false;
      // Without a position to resume from, what changed while away is unknown.
      if (reopened && lastId === null) live.reloadAll();
      reopened = false;
    });
    events.addEventListener('error', () => {
      indicator.hidden = true;
      // The browser reconnects by itself after a dropped stream, resuming after the last
      // event, but gives up on a refusal (a 503 when the server has too many streams).
      if (events.readyState === EventSource.CLOSED) {
        reopened = true;
        setTimeout(open, CHANGES_RETRY_MS + Math.random() * CHANGES_RETRY_MS);
      }
    });
    events.addEventListener('change', (event) => {
      if (event.lastEventId) lastId = event.lastEventId;
      let batch;
      try {
        batch = JSON.parse(event.data);
      } catch (error) {
        console.warn('unreadable change event:', error);
        return;
      }
      live.applyChanges(batch && batch.changes);
    });
    events.addEventListener('reset', (event) => {
      if (event.lastEventId) lastId = event.lastEventId;
      live.reloadAll();
    });
  };
  open();
}
