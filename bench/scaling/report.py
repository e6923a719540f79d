#!/usr/bin/env python3
"""report.py RESULTS.jsonl OUT.json: gathers run.sh's measurements into one JSON file and prints
them as Markdown."""
import json
import sys


def n(v, digits=0):
    if isinstance(v, (int, float)):
        return f"{v:,.{digits}f}".replace(",", " ")
    return str(v)


def main():
    rows = [json.loads(line) for line in open(sys.argv[1]) if line.strip()]
    by = {}
    for r in rows:
        by.setdefault(r.pop("kind"), []).append(r)
    meta, end = by["meta"][0], by["end"][0]
    result = {
        "measured": meta,
        "finished": end,
        "tile_statements": by.get("statement", []),
        "empty_tiles_http": by.get("empty_http", [None])[0],
        "misses_http": by.get("miss_http", [None])[0],
        "hits_http": by.get("hits", []),
        "redis_memory": by.get("redis_memory", [None])[0],
        "tile_memory": by.get("tile_memory", [None])[0],
    }
    with open(sys.argv[2], "w") as f:
        json.dump(result, f, indent=1)
        f.write("\n")

    p = print
    p(f"# Scaling figures: {meta['started']} to {end['finished']}, {meta['cores']} cores ({meta['cpu']})")
    p()
    p(f"`{meta['command']}`; {meta['plots']} plots, {meta['beacons']} beacons; PostgreSQL {meta['postgres_version']},"
      f" Redis {meta['redis_version']}. Load average before: {meta['load_before']}; after: {end['load_after']}.")
    p()
    p("## Tile statements per PostgreSQL CPU-second (in process: pgbench -c2 -j1)")
    p()
    p("The server's statement (print_tile_sql) on random tiles over the bounding box of the plots' extent;"
      f" the window is the middle {meta['duration_s']} s of each run. prepared: pgbench -M prepared (planned"
      " once); extended: -M extended (parsed and planned every time, as the server sends it with DB_PREPARE=0; by default it prepares). Tile sizes"
      " from walking the same tiles through mapsvc (plots to z18: every tile of the box; z19: 4000 of them; beacons: 600).")
    p()
    p("| layer | zoom | statements/s prepared / extended | PG cores busy | statements per PG CPU-second"
      " prepared / extended | mean latency ms | empty tiles | mean tile bytes (all / non-empty) | load |")
    p("|---|---|---|---|---|---|---|---|---|")
    groups = {}
    for r in result["tile_statements"]:
        groups.setdefault((r["layer"], r["zoom"]), {})[r["mode"]] = r
    for (layer, zoom), g in groups.items():
        a, b = g.get("prepared"), g.get("extended")
        if not a or not b:
            continue
        p(f"| {layer} | {zoom} | {n(a['statements_per_s'])} / {n(b['statements_per_s'])} |"
          f" {a['pg_cores_busy']} / {b['pg_cores_busy']} |"
          f" {n(a['statements_per_pg_cpu_s'])} / {n(b['statements_per_pg_cpu_s'])} |"
          f" {a['mean_latency_ms']} / {b['mean_latency_ms']} | {100 * a['empty_share']:.0f} % |"
          f" {n(a['mean_tile_bytes'])} / {n(a['mean_nonempty_tile_bytes'])} | {b['load']} |")
    p()
    e = result["empty_tiles_http"]
    x = result["misses_http"]
    if e or x:
        p("## Misses and empty tiles through HTTP (memory off, wrk -t1 -c8)")
        p()
        p("| what | tiles | req/s | built / empty / from Redis | per mapsvc CPU-second |"
          " per PostgreSQL CPU-second (every PostgreSQL process) | p99 | load |")
        p("|---|---|---|---|---|---|---|---|")
    if x:
        p(f"| z19 plots, Redis emptied, each tile once | {x['tiles']} | {n(x['req_per_s'])} |"
          f" {x['built']} / {x['empty']} / {x['from_redis']} | {n(x['per_mapsvc_cpu_s'])} |"
          f" {n(x['per_pg_cpu_s'])} | {x['p99']} | {x['load']} |")
    if e:
        p(f"| empty z18 plots tiles (never cached), over and over | {e['tiles']} | {n(e['req_per_s'])} |"
          f" 0 / {e['answered_204']} / 0 | {n(e['per_mapsvc_cpu_s'])} | {n(e['per_pg_cpu_s'])} | {e['p99']} | {e['load']} |")
    if e or x:
        p()
    p("## Hits per mapsvc CPU-second, Redis per CPU-second (through HTTP: wrk -t1 -c32, one worker)")
    p()
    p("Every non-empty plots tile of the zoom, in turn, warmed; memory on = 256 MB of tile memory,"
      " off = every hit a Redis GET. Levels from the server's /metrics.")
    p()
    p("| zoom | tiles | mean bytes | memory | req/s | mapsvc cores busy | hits per mapsvc CPU-second |"
      " from memory / Redis | Redis CPU-s | GETs per Redis CPU-second | Redis MB sent per CPU-second | p50 / p99 | load |")
    p("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for r in result["hits_http"]:
        redis = r["memory"] == "off"
        p(f"| {r['zoom']} | {r['tiles']} | {n(r['mean_tile_bytes'])} | {r['memory']} | {n(r['req_per_s'])} |"
          f" {r['mapsvc_cores_busy']} | {n(r['hits_per_mapsvc_cpu_s'])} | {r['from_memory']} / {r['from_redis']} |"
          f" {r['redis_cpu_s']} | {n(r['redis_gets_per_cpu_s']) if redis else '-'} |"
          f" {n(r['redis_bytes_per_cpu_s'] / 1e6, 1) if redis else '-'} | {r['p50']} / {r['p99']} | {r['load']} |")
    p()
    m = result["redis_memory"]
    if m:
        p("## Memory per cached tile")
        p()
        p(f"Redis: {m['keys_added']} keys added by the walk ({m['tiles_stored']} non-empty tiles,"
          f" {n(m['tile_bytes'] / 1e6, 1)} MB of tile bytes); used_memory grew"
          f" {n((m['used_memory_after'] - m['used_memory_before']) / 1e6, 1)} MB:"
          f" {n(m['overhead_per_key_used_memory'])} bytes per key beyond the tile's bytes."
          f" MEMORY USAGE over {m['sample_keys']} z17-z18 keys: {n(m['overhead_per_key_memory_usage'])} bytes per key"
          f" beyond STRLEN (mean STRLEN {n(m['sample_strlen'] / max(1, m['sample_keys']))}).")
        p()
    t = result["tile_memory"]
    if t:
        p(f"mapsvc tile memory: {t['tiles']} z17-z18 tiles, {n(t['tile_bytes'] / 1e6, 1)} MB"
          f" (gzip {n(t['gzip_bytes'] / 1e6, 1)} MB), charged {n(t['charged_bytes'] / 1e6, 1)} MB"
          f" (1.6 x bytes + 64). RSS {t['rss_start_mb']} MB at start, {t['rss_after_plain_mb']} MB"
          f" after two plain walks, {t['rss_after_gzip_mb']} MB after a gzip walk:"
          f" {n(t['rss_growth_per_tile_bytes'])} bytes per tile against {n(t['charged_bytes'] / t['tiles'])}"
          f" charged (plain only: {n(t['rss_growth_per_tile_plain_bytes'])}). The last two walks:"
          f" {t['last_walks_from_memory']} from memory, {t['last_walks_from_redis']} from Redis,"
          f" {t['last_walks_misses']} misses.")
        p()


if __name__ == "__main__":
    main()
