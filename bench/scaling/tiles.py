#!/usr/bin/env python3
"""Tile lists and tile walks for bench/scaling/run.sh.

  tiles.py range EXTENT Z               x0 x1 y0 y1 of the tiles over EXTENT at zoom Z
  tiles.py list EXTENT LAYER Z [N SEED] their paths; with N, N of them (all if fewer) in an order
                                        shuffled with SEED
  tiles.py walk BASE PATHS THREADS [gzip]
                                        GET every path of the file PATHS once over keep-alive
                                        connections; prints "path status bytes x-cache" per tile

EXTENT is minx,miny,maxx,maxy in EPSG:3857.
"""
import http.client
import random
import sys
import threading
import urllib.parse

W = 20037508.342789244


def tile_range(extent, z):
    minx, miny, maxx, maxy = map(float, extent.split(","))
    size = 2 * W / 2**z
    return (int((minx + W) // size), int((maxx + W) // size), int((W - maxy) // size), int((W - miny) // size))


def walk(base, paths, threads, gzip):
    url = urllib.parse.urlsplit(base)
    headers = {"Accept-Encoding": "gzip"} if gzip else {}
    results = [None] * len(paths)
    lock = threading.Lock()
    position = [0]

    def worker():
        conn = http.client.HTTPConnection(url.hostname, url.port, timeout=60)
        while True:
            with lock:
                i = position[0]
                position[0] += 1
            if i >= len(paths):
                break
            for attempt in range(3):
                try:
                    conn.request("GET", paths[i], headers=headers)
                    r = conn.getresponse()
                    body = r.read()
                    results[i] = (r.status, len(body), r.getheader("X-Cache") or "-")
                    break
                except (http.client.HTTPException, OSError):
                    conn.close()
                    conn = http.client.HTTPConnection(url.hostname, url.port, timeout=60)
                    if attempt == 2:
                        results[i] = (0, 0, "-")
        conn.close()

    pool = [threading.Thread(target=worker) for _ in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    out = sys.stdout
    for path, (status, size, xcache) in zip(paths, results):
        out.write(f"{path} {status} {size} {xcache}\n")


def main():
    cmd = sys.argv[1] if len(sys.argv) > 1 else ""
    if cmd == "range" and len(sys.argv) == 4:
        print(*tile_range(sys.argv[2], int(sys.argv[3])))
    elif cmd == "list" and len(sys.argv) in (5, 7):
        layer, z = sys.argv[3], int(sys.argv[4])
        x0, x1, y0, y1 = tile_range(sys.argv[2], z)
        paths = [f"/gis/{layer}/{z}/{x}/{y}.pbf" for x in range(x0, x1 + 1) for y in range(y0, y1 + 1)]
        if len(sys.argv) == 7:
            rng = random.Random(int(sys.argv[6]))
            paths = rng.sample(paths, min(int(sys.argv[5]), len(paths)))
        print("\n".join(paths))
    elif cmd == "walk" and len(sys.argv) in (5, 6):
        with open(sys.argv[3]) as f:
            paths = [line.strip() for line in f if line.strip()]
        walk(sys.argv[2], paths, int(sys.argv[4]), len(sys.argv) == 6 and sys.argv[5] == "gzip")
    else:
        sys.stderr.write(__doc__)
        sys.exit(2)


if __name__ == "__main__":
    main()
