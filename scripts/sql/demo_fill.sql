-- Fills the build tables from the layout tables of demo_layout.sql.

-- Administrative areas: unions of whole cells. Shared cell edges are computed from the
-- same integers, so neighbouring squares meet exactly and the unions come out clean.
CREATE TEMP TABLE demo_zone_geom AS
SELECT z.zone_id, ST_Multi(ST_SimplifyPreserveTopology(ST_Union(
           ST_MakeEnvelope(:mx0 + :k * a.i * :cell, :my0 + :k * a.j * :cell,
                           :mx0 + :k * (a.i + 1) * :cell, :my0 + :k * (a.j + 1) * :cell, 3857)),
           0.01)) AS geom
FROM demo_admin_cell AS a JOIN demo_zone AS z USING (ci, cj)
GROUP BY z.zone_id;

INSERT INTO demo_build."LGAs" ("id", "name", "geometry_3857")
SELECT l.lga_id, l.name, ST_Multi(ST_SimplifyPreserveTopology(ST_Union(g.geom), 0.01))
FROM demo_zone_geom AS g JOIN demo_zone AS z USING (zone_id) JOIN demo_lga_seat AS l USING (lga_id)
GROUP BY l.lga_id, l.name;

INSERT INTO demo_build."Districts" ("id", "name", "lga_id", "geometry_3857")
SELECT d.district_id,
       pg_temp.pick(ARRAY['Garki', 'Wuse', 'Maitama', 'Asokoro', 'Gwarinpa', 'Jabi', 'Utako',
                          'Kubwa', 'Lugbe', 'Karu', 'Nyanya', 'Katampe', 'Jahi', 'Durumi', 'Gudu',
                          'Kado', 'Wuye', 'Mabushi', 'Dakibiyu', 'Kaura', 'Apo', 'Lokogoma',
                          'Galadimawa', 'Idu', 'Karmo', 'Dei-Dei', 'Dutse', 'Kafe', 'Gaduwa',
                          'Dakwo', 'Kabusa', 'Wumba', 'Mbora', 'Jikwoyi', 'Orozo', 'Karshi',
                          'Kpeyegyi', 'Pyakasa', 'Kyami', 'Sabon Lugbe'],
                    ((d.district_id - 1) % 40 + 0.5) / 40)
         || CASE WHEN d.district_id > 40 THEN ' ' || ((d.district_id - 1) / 40 + 1) ELSE '' END,
       d.lga_id,
       ST_Multi(ST_SimplifyPreserveTopology(ST_Union(g.geom), 0.01))
FROM demo_zone_geom AS g JOIN demo_zone AS z USING (zone_id) JOIN demo_district AS d USING (district_id)
GROUP BY d.district_id, d.lga_id;

INSERT INTO demo_build."CadZones" ("id", "name", "district_id", "geometry_3857")
SELECT z.zone_id, z.name, z.district_id, g.geom
FROM demo_zone AS z JOIN demo_zone_geom AS g USING (zone_id);

-- Where the k-th dividing line of a row of n plots meets the street (side 0) or the back
-- of the row (side 1). The two ends of a row are square to the street; the lines between
-- plots lean a little, so bearings are not all multiples of 90 degrees.
CREATE FUNCTION pg_temp.split_u(row_key bigint, k integer, n integer, len float8, side integer)
    RETURNS float8 LANGUAGE sql IMMUTABLE AS
'SELECT CASE WHEN k = 0 THEN 0 WHEN k = n THEN len
             ELSE (k + 0.3 * (pg_temp.rnd(row_key * 1000 + k, 10 + side) - 0.5)) * len / n END';

-- Some dividing lines have a dog-leg: an extra corner shared by the plots on both sides.
-- The ends of a row face a side street; now and then the frontage there bends inwards by
-- up to 2 m. With a splayed street corner, plots get five, six or seven sides.
CREATE FUNCTION pg_temp.kink(row_key bigint, k integer, n integer, len float8, depth float8)
    RETURNS geometry LANGUAGE sql IMMUTABLE AS
'SELECT CASE
     WHEN k > 0 AND k < n AND pg_temp.rnd(row_key * 1000 + k, 12) < 0.12
     THEN ST_MakePoint((k + 0.5 * (pg_temp.rnd(row_key * 1000 + k, 13) - 0.5)) * len / n,
                       depth * (0.3 + 0.4 * pg_temp.rnd(row_key * 1000 + k, 14)))
     WHEN (k = 0 OR k = n) AND pg_temp.rnd(row_key * 1000 + k, 15) < 0.10
     THEN ST_MakePoint(CASE WHEN k = 0 THEN 1 ELSE -1 END * (0.5 + 1.5 * pg_temp.rnd(row_key * 1000 + k, 16))
                           + CASE WHEN k = 0 THEN 0 ELSE len END,
                       depth * (0.3 + 0.4 * pg_temp.rnd(row_key * 1000 + k, 14)))
   END';

INSERT INTO demo_build."PLOT"
SELECT id, (first_plot_no + j - 1)::text, status, round(ST_Area(shape)::numeric, 2)::float8,
       lu, zone_name, detail_lu,
       CASE WHEN status <> 'Vacant' THEN lga_code || ' ' || (10000 + id) END,
       ST_SnapToGrid(ST_SetSRID(ST_Affine(shape, a, b, d, e, xoff, yoff), 3857), 0.001)
FROM (
    SELECT p.*,
           ST_MakePolygon(ST_AddPoint(ST_MakeLine(ring), ring[1])) AS shape,
           CASE WHEN pg_temp.rnd(plot_key, 41) < 0.08 THEN pg_temp.pick(uses, pg_temp.rnd(plot_key, 42))
                ELSE row_lu END AS lu,
           CASE WHEN u_status < 0.08 THEN 'Vacant' WHEN u_status < 0.40 THEN 'Allocated'
                WHEN u_status < 0.68 THEN 'C of O Issued' WHEN u_status < 0.80 THEN 'Recertified'
                WHEN u_status < 0.90 THEN 'Pending Approval' WHEN u_status < 0.96 THEN 'Under Dispute'
                ELSE 'Revoked' END AS status
    FROM (
        SELECT rl.*, j, rl.first_id + j - 1 AS id, rl.row_key * 1000 + j AS plot_key,
               pg_temp.rnd(rl.row_key * 1000 + j, 44) AS u_status,
               uses.uses,
               CASE WHEN u_lu < 0.62 THEN 'Residential' WHEN u_lu < 0.74 THEN 'Commercial'
                    WHEN u_lu < 0.80 THEN 'Mixed Use' WHEN u_lu < 0.86 THEN 'Institutional'
                    WHEN u_lu < 0.90 THEN 'Industrial' WHEN u_lu < 0.95 THEN 'Recreational'
                    ELSE 'Agricultural' END AS row_lu,
               array_remove(ARRAY[
                   CASE WHEN cf THEN ST_MakePoint(c, 0)
                        ELSE ST_MakePoint(pg_temp.split_u(rl.row_key, j - 1, rl.n, rl.len, 0), 0) END,
                   CASE WHEN cl THEN ST_MakePoint(rl.len - c, 0) END,
                   CASE WHEN cl THEN ST_MakePoint(rl.len, c)
                        ELSE ST_MakePoint(pg_temp.split_u(rl.row_key, j, rl.n, rl.len, 0), 0) END,
                   pg_temp.kink(rl.row_key, j, rl.n, rl.len, rl.depth),
                   ST_MakePoint(pg_temp.split_u(rl.row_key, j, rl.n, rl.len, 1), rl.depth),
                   ST_MakePoint(pg_temp.split_u(rl.row_key, j - 1, rl.n, rl.len, 1), rl.depth),
                   pg_temp.kink(rl.row_key, j - 1, rl.n, rl.len, rl.depth),
                   CASE WHEN cf THEN ST_MakePoint(0, c) END], NULL) AS ring
        FROM demo_row_live AS rl
        CROSS JOIN generate_series(1, rl.n) AS j
        CROSS JOIN LATERAL (
            -- splayed street corners at the ends of a row, cut back 3-6 m
            SELECT j = 1 AND pg_temp.rnd(rl.row_key, 20) < 0.5 AS cf,
                   j = rl.n AND pg_temp.rnd(rl.row_key, 21) < 0.5 AS cl,
                   least(3 + 3 * pg_temp.rnd(rl.row_key, 22), 0.3 * least(rl.len / rl.n, rl.depth)) AS c,
                   pg_temp.rnd(rl.row_key, 40) AS u_lu) AS corner
        CROSS JOIN (SELECT ARRAY['Residential', 'Commercial', 'Mixed Use', 'Institutional',
                                 'Industrial', 'Recreational', 'Agricultural'] AS uses) AS uses
        WHERE rl.first_id + j - 1 <= :plots
    ) AS p
) AS plot
CROSS JOIN LATERAL (
    SELECT pg_temp.pick(CASE lu
        WHEN 'Residential' THEN ARRAY['Detached Duplex', 'Semi-Detached Duplex', 'Terrace Housing',
                                      'Block of Flats', 'Bungalow']
        WHEN 'Commercial' THEN ARRAY['Shops', 'Office Complex', 'Hotel', 'Filling Station', 'Plaza']
        WHEN 'Mixed Use' THEN ARRAY['Residential/Commercial', 'Shops with Flats']
        WHEN 'Institutional' THEN ARRAY['School', 'Clinic', 'Church', 'Mosque', 'Police Post',
                                        'Government Office']
        WHEN 'Industrial' THEN ARRAY['Light Industry', 'Warehouse', 'Workshop']
        WHEN 'Recreational' THEN ARRAY['Park', 'Sports Ground', 'Garden']
        ELSE ARRAY['Farmland', 'Poultry', 'Orchard'] END, pg_temp.rnd(plot_key, 43)) AS detail_lu
) AS detail;

-- Beacons: every distinct plot corner once, numbered in the order the plots first reach
-- them. About 2% of corners were never beaconed, as happens in real surveys.
INSERT INTO demo_build."BEACON"
SELECT id, 'PB ' || (10000 + id),
       CASE WHEN u < 0.70 THEN 'Found' WHEN u < 0.85 THEN 'Emplaced' WHEN u < 0.93 THEN 'Disturbed'
            WHEN u < 0.97 THEN 'Missing' ELSE 'Destroyed' END,
       CASE WHEN v < 0.70 THEN NULL ELSE pg_temp.pick(ARRAY['Concrete pillar', 'Iron pin',
            'Under fence', 'Near drainage', 'Re-emplaced', 'Painted on kerb'], (v - 0.70) / 0.30) END,
       ST_SetSRID(ST_MakePoint(x, y), 3857)
FROM (
    SELECT row_number() OVER (ORDER BY first_seen) AS id, x, y,
           pg_temp.rnd(first_seen, 51) AS u, pg_temp.rnd(first_seen, 52) AS v
    FROM (
        SELECT ST_X(pt.geom) AS x, ST_Y(pt.geom) AS y, min(p."ID" * 16 + pt.path[2]) AS first_seen
        FROM demo_build."PLOT" AS p, ST_DumpPoints(p."GEOMETRY_3857") AS pt
        GROUP BY 1, 2
    ) AS corner
    WHERE pg_temp.rnd(first_seen, 50) >= 0.02
) AS kept;

\ir demo_roads.sql
