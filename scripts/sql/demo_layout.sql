-- Layout of the synthetic town, as small temporary tables: a grid of 700 m neighbourhood
-- cells, each holding a slightly rotated grid of street blocks; each block has two rows of
-- plots back to back. Cells fill up from the centre outwards until the requested number
-- of plots is reached, and every cell of the area belongs to a cadastral zone, a district
-- and an LGA. Work is done in ground metres around the centre (7.45 E, 9.05 N). The cell
-- grid is mapped to Web Mercator with the scale factor of the centre latitude; the
-- contents of each cell with the scales of the cell's own latitude, east-west and
-- north-south apart (Web Mercator on the WGS84 ellipsoid stretches north-south 0.7 % more),
-- so plot sizes, angles and areas hold on the ground.

-- Pseudo-random numbers from (seed, key, salt) alone, so the same seed gives the same town
-- whatever order the database produces rows in.
SELECT format($fn$
CREATE FUNCTION pg_temp.rnd(key bigint, salt integer) RETURNS double precision
    LANGUAGE sql IMMUTABLE PARALLEL SAFE AS
'SELECT ((hashint8extended(key, %s::bigint * 65536 + salt) >> 11) & 9007199254740991)::float8
        / 9007199254740992.0'
$fn$, :seed) \gexec

CREATE FUNCTION pg_temp.pick(items text[], u double precision) RETURNS text
    LANGUAGE sql IMMUTABLE AS 'SELECT items[1 + floor(u * cardinality(items))::int]';

SELECT ST_X(c) AS mx0, ST_Y(c) AS my0, 1 / cos(radians(9.05)) AS k
FROM ST_Transform(ST_SetSRID(ST_MakePoint(7.45, 9.05), 4326), 3857) AS c \gset

-- The area covered by the administrative layers: 7.2-7.7 E, 8.8-9.3 N.
SELECT (ST_X(lo) - :mx0) / :k AS rx0, (ST_Y(lo) - :my0) / :k AS ry0,
       (ST_X(hi) - :mx0) / :k AS rx1, (ST_Y(hi) - :my0) / :k AS ry1
FROM ST_Transform(ST_SetSRID(ST_MakePoint(7.2, 8.8), 4326), 3857) AS lo,
     ST_Transform(ST_SetSRID(ST_MakePoint(7.7, 9.3), 4326), 3857) AS hi \gset

\set cell 700
\set e2 0.00669437999014
-- Half the grid's width in cells: the area itself, or more when the plots need it (cells
-- hold about 350 plots on average; planning for 100 leaves ample room).
SELECT greatest(ceil(greatest(-(:rx0), :rx1, -(:ry0), :ry1) / :cell),
                ceil(sqrt(:plots / 100.0) / 2) + 2)::int AS grid \gset

-- Each cell: rotation, plot size class (1 dense, 2 medium, 3 large), street width, plot
-- depth and block length, and how many blocks fit in its 600 m square core.
CREATE TEMP TABLE demo_cell AS
WITH base AS (
    SELECT i, j, (i + 5000)::bigint * 10000 + (j + 5000) AS cid,
           (i + 0.5) * :cell AS cx, (j + 0.5) * :cell AS cy
    FROM generate_series(-:grid, :grid - 1) AS i, generate_series(-:grid, :grid - 1) AS j
), drawn AS (
    SELECT base.*,
           cx BETWEEN :rx0 AND :rx1 AND cy BETWEEN :ry0 AND :ry1 AS in_region,
           -- distance from the centre, bent into lobes so the town is not a disc
           sqrt(cx * cx + cy * cy)
             / (1 + 0.18 * sin(3 * atan2(cy, cx) + 6.283 * pg_temp.rnd(1, 1))
                  + 0.10 * sin(5 * atan2(cy, cx) + 6.283 * pg_temp.rnd(2, 1)))
             * (1 + 0.2 * (pg_temp.rnd(cid, 2) - 0.5)) AS reach,
           radians(-8 + 16 * pg_temp.rnd(cid, 3)) AS theta,
           CASE WHEN pg_temp.rnd(cid, 4) < 0.45 THEN 1
                WHEN pg_temp.rnd(cid, 4) < 0.85 THEN 2 ELSE 3 END AS cls,
           floor(2 * pg_temp.rnd(cid, 5)) AS u5, pg_temp.rnd(cid, 6) AS u6,
           pg_temp.rnd(cid, 7) AS u7
    FROM base
), sized AS (
    SELECT drawn.*,
           CASE cls WHEN 1 THEN 12 + 3 * u5 WHEN 2 THEN 15 + 3 * u5 ELSE 18 + 2 * u5 END AS sw,
           round((CASE cls WHEN 1 THEN 18 + 10 * u6 WHEN 2 THEN 25 + 20 * u6
                           ELSE 40 + 20 * u6 END)::numeric, 1)::float8 AS depth,
           round((120 + 140 * u7)::numeric, 1)::float8 AS block_len
    FROM drawn
)
SELECT cid, i, j, cx, cy, in_region, reach, theta, cls, sw, depth, block_len,
       floor((600 + sw) / (block_len + sw))::int AS nbx,
       floor((600 + sw) / (2 * depth + sw))::int AS nby,
       -- Web Mercator units per ground metre, east-west and north-south
       sqrt(1 - :e2 * t ^ 2) * ch AS scale_x,
       (1 - :e2 * t ^ 2) ^ 1.5 * ch / (1 - :e2) AS scale_y
FROM sized,
     LATERAL (SELECT tanh((:my0 + :k * cy) / 6378137.0) AS t,  -- sine of the latitude
                     cosh((:my0 + :k * cy) / 6378137.0) AS ch  -- its secant
             ) AS lat;

-- Rows of plots: two per block; n plots of a width typical of the cell's class.
CREATE TEMP TABLE demo_row AS
SELECT c.cid, bx, by, r, key.row_key,
       greatest(1, round(c.block_len / CASE c.cls
           WHEN 1 THEN 15 + 10 * pg_temp.rnd(key.row_key, 8)
           WHEN 2 THEN 20 + 20 * pg_temp.rnd(key.row_key, 8)
           ELSE 35 + 25 * pg_temp.rnd(key.row_key, 8) END))::int AS n
FROM demo_cell AS c,
     generate_series(0, c.nbx - 1) AS bx,
     generate_series(0, c.nby - 1) AS by,
     generate_series(0, 1) AS r,
     LATERAL (SELECT ((c.cid * 100 + bx) * 100 + by) * 2 + r AS row_key) AS key;

-- Cells in the order they are built up (inside the area first, then by reach), cut where
-- the requested number of plots is reached.
CREATE TEMP TABLE demo_quota AS
SELECT cid, rank, before, least(capacity, :plots - before) AS quota
FROM (
    SELECT c.cid, row_number() OVER w AS rank, cap.capacity,
           coalesce(sum(cap.capacity) OVER (w ROWS BETWEEN UNBOUNDED PRECEDING AND 1 PRECEDING), 0)::bigint
               AS before
    FROM demo_cell AS c
    JOIN (SELECT cid, sum(n)::bigint AS capacity FROM demo_row GROUP BY cid) AS cap USING (cid)
    WINDOW w AS (ORDER BY NOT c.in_region, c.reach, c.cid)
) AS ordered
WHERE before < :plots;

SELECT coalesce(sum(quota), 0) < :plots AS short_of_room FROM demo_quota \gset
\if :short_of_room
  DO $$ BEGIN RAISE EXCEPTION 'demo-data: the layout has no room for that many plots'; END $$;
\endif

-- Administrative hierarchy. Cadastral zones are nearest-seed regions of a jittered seed
-- per 5 x 5 cells, districts group zones around a seed per 3 x 3 zones, LGAs group
-- districts around six fixed seats. Whole cells belong to one zone, so zone boundaries
-- run along the arterial roads between cells and every plot lies inside its zone.
\set zone_cells 5
\set district_zones 3
SELECT :zone_cells * :cell AS zone_span, :zone_cells * :district_zones AS district_cells,
       :zone_cells * :district_zones * :cell AS district_span \gset
CREATE TEMP TABLE demo_zone_seed AS
SELECT ci, cj, (ci + pg_temp.rnd(key, 30)) * :zone_span AS sx,
       (cj + pg_temp.rnd(key, 31)) * :zone_span AS sy
FROM generate_series(-(:grid / :zone_cells) - 2, :grid / :zone_cells + 1) AS ci,
     generate_series(-(:grid / :zone_cells) - 2, :grid / :zone_cells + 1) AS cj,
     LATERAL (SELECT (ci + 1000)::bigint * 10000 + (cj + 1000) AS key) AS k;

CREATE TEMP TABLE demo_district_seed AS
SELECT di, dj, (di + pg_temp.rnd(key, 32)) * :district_span AS sx,
       (dj + pg_temp.rnd(key, 33)) * :district_span AS sy
FROM generate_series(-(:grid / :district_cells) - 2, :grid / :district_cells + 1) AS di,
     generate_series(-(:grid / :district_cells) - 2, :grid / :district_cells + 1) AS dj,
     LATERAL (SELECT (di + 1000)::bigint * 10000 + (dj + 1000) AS key) AS k;

CREATE TEMP TABLE demo_lga_seat (lga_id, name, code, sx, sy) AS VALUES
    (1, 'Abuja Municipal', 'AMAC', 8000.0, 2000.0),
    (2, 'Bwari', 'BWR', 0.0, 20000.0),
    (3, 'Gwagwalada', 'GWA', -18000.0, 0.0),
    (4, 'Kuje', 'KUJ', 10000.0, -18000.0),
    (5, 'Kwali', 'KWL', -8000.0, -20000.0),
    (6, 'Abaji', 'ABJ', -22000.0, -24000.0);

CREATE TEMP TABLE demo_zone_parent AS
SELECT z.ci, z.cj, z.sx, z.sy, d.di, d.dj, d.dsx, d.dsy, l.lga_id
FROM demo_zone_seed AS z
CROSS JOIN LATERAL (
    SELECT s.di, s.dj, s.sx AS dsx, s.sy AS dsy FROM demo_district_seed AS s
    WHERE s.di BETWEEN floor(z.ci::numeric / :district_zones) - 1 AND floor(z.ci::numeric / :district_zones) + 1
      AND s.dj BETWEEN floor(z.cj::numeric / :district_zones) - 1 AND floor(z.cj::numeric / :district_zones) + 1
    ORDER BY (s.sx - z.sx) ^ 2 + (s.sy - z.sy) ^ 2, s.di, s.dj LIMIT 1) AS d
CROSS JOIN LATERAL (
    SELECT lga_id FROM demo_lga_seat AS a
    ORDER BY (a.sx - d.dsx) ^ 2 + (a.sy - d.dsy) ^ 2, lga_id LIMIT 1) AS l;

-- Cells that make up the administrative layers: the whole area plus any built-up cell
-- outside it.
CREATE TEMP TABLE demo_admin_cell AS
SELECT DISTINCT ON (c.cid) c.cid, c.i, c.j, s.ci, s.cj
FROM demo_cell AS c
CROSS JOIN generate_series(-1, 1) AS di
CROSS JOIN generate_series(-1, 1) AS dj
JOIN demo_zone_seed AS s ON s.ci = floor(c.i::numeric / :zone_cells)::int + di
                        AND s.cj = floor(c.j::numeric / :zone_cells)::int + dj
WHERE c.in_region OR c.cid IN (SELECT cid FROM demo_quota)
ORDER BY c.cid, (s.sx - c.cx) ^ 2 + (s.sy - c.cy) ^ 2, s.ci, s.cj;

-- Numbering: districts north to south, then west to east, lettered A, B, ...; zones
-- numbered from 00 within their district the same way (A00, A01, ...).
CREATE TEMP TABLE demo_district AS
SELECT row_number() OVER (ORDER BY dsy DESC, dsx, di, dj)::int AS district_id, di, dj, lga_id
FROM (SELECT DISTINCT p.di, p.dj, p.dsx, p.dsy, p.lga_id
      FROM demo_zone_parent AS p
      JOIN (SELECT DISTINCT ci, cj FROM demo_admin_cell) AS used USING (ci, cj)) AS d;

CREATE TEMP TABLE demo_zone AS
SELECT row_number() OVER (ORDER BY d.district_id, p.sy DESC, p.sx)::int AS zone_id,
       p.ci, p.cj, d.district_id, d.lga_id,
       CASE WHEN d.district_id <= 26 THEN chr(64 + d.district_id)
            ELSE chr(64 + (d.district_id - 1) / 26) || chr(65 + (d.district_id - 1) % 26) END
         || lpad((row_number() OVER (PARTITION BY d.district_id ORDER BY p.sy DESC, p.sx) - 1)::text,
                 2, '0') AS name
FROM demo_zone_parent AS p
JOIN demo_district AS d USING (di, dj)
WHERE (p.ci, p.cj) IN (SELECT ci, cj FROM demo_admin_cell);

-- Per built-up cell: its zone, the LGA's file prefix, its first plot ID and where its
-- plot numbers start within the zone.
CREATE TEMP TABLE demo_cell_fill AS
SELECT q.cid, q.rank, q.quota, q.before + 1 AS first_id, z.name AS zone_name, l.code AS lga_code,
       100 + coalesce(sum(q.quota) OVER (PARTITION BY z.zone_id ORDER BY q.rank
                                          ROWS BETWEEN UNBOUNDED PRECEDING AND 1 PRECEDING), 0)::bigint
           AS first_plot_no
FROM demo_quota AS q
JOIN demo_admin_cell AS a USING (cid)
JOIN demo_zone AS z USING (ci, cj)
JOIN demo_lga_seat AS l USING (lga_id);

-- Built-up rows with their first plot ID and the affine map from row coordinates (u along
-- the street, v from the street inwards, in metres) to Web Mercator. The back row of a
-- block is the front row turned half a turn, so both face their own street.
CREATE TEMP TABLE demo_row_live AS
SELECT r.row_key, r.n, r.cid, c.block_len AS len, c.depth, f.zone_name, f.lga_code,
       f.first_plot_no + (r.first_id - f.first_id) AS first_plot_no, r.first_id,
       c.scale_x * s * cos(c.theta) AS a, -c.scale_x * s * sin(c.theta) AS b,
       c.scale_y * s * sin(c.theta) AS d, c.scale_y * s * cos(c.theta) AS e,
       :mx0 + :k * c.cx + c.scale_x * (cos(c.theta) * ox - sin(c.theta) * oy) AS xoff,
       :my0 + :k * c.cy + c.scale_y * (sin(c.theta) * ox + cos(c.theta) * oy) AS yoff
FROM (
    SELECT demo_row.*, f.first_id + coalesce(sum(n) OVER (PARTITION BY cid ORDER BY bx, by, r
                           ROWS BETWEEN UNBOUNDED PRECEDING AND 1 PRECEDING), 0)::bigint AS first_id
    FROM demo_row JOIN demo_cell_fill AS f USING (cid)
) AS r
JOIN demo_cell AS c USING (cid)
JOIN demo_cell_fill AS f USING (cid)
CROSS JOIN LATERAL (
    SELECT CASE WHEN r.r = 0 THEN 1 ELSE -1 END AS s,
           -(c.nbx * c.block_len + (c.nbx - 1) * c.sw) / 2 + r.bx * (c.block_len + c.sw)
               + CASE WHEN r.r = 0 THEN 0 ELSE c.block_len END AS ox,
           -(c.nby * 2 * c.depth + (c.nby - 1) * c.sw) / 2 + r.by * (2 * c.depth + c.sw)
               + CASE WHEN r.r = 0 THEN 0 ELSE 2 * c.depth END AS oy) AS o
WHERE r.first_id <= :plots;
