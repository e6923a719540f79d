-- Road centre lines: the streets around and between the blocks of each built-up cell (the
-- middle street each way runs on to the cell's edge), and arterial roads along the edges
-- of built-up cells. Streets are named after Nigerian towns; arterials keep one name along
-- their whole grid line.

CREATE TEMP TABLE demo_road AS
WITH town(names) AS (
    SELECT ARRAY['Niger', 'Benue', 'Kaduna', 'Sokoto', 'Gongola', 'Osun', 'Ogun', 'Yobe',
                 'Zamfara', 'Kano', 'Jos', 'Enugu', 'Ilorin', 'Lokoja', 'Minna', 'Calabar',
                 'Owerri', 'Makurdi', 'Yola', 'Maiduguri', 'Bauchi', 'Gombe', 'Lafia', 'Keffi',
                 'Suleja', 'Bida', 'Oyo', 'Ondo', 'Ekiti', 'Akure', 'Abeokuta', 'Asaba', 'Warri',
                 'Benin', 'Uyo', 'Umuahia', 'Awka', 'Abakaliki', 'Jalingo', 'Dutse', 'Katsina',
                 'Damaturu', 'Gusau', 'Ibadan', 'Lagos', 'Ikeja', 'Osogbo', 'Zaria', 'Okene', 'Idah']
), cell AS (
    SELECT c.*, c.nbx * c.block_len + (c.nbx - 1) * c.sw AS wc,
           c.nby * 2 * c.depth + (c.nby - 1) * c.sw AS hc
    FROM demo_cell AS c JOIN demo_quota AS q USING (cid)
), street AS (
    -- dir 0: lines across the blocks' length (x fixed), dir 1: along it (y fixed)
    SELECT cell.*, 0 AS dir, kx AS pos, kx = cell.nbx / 2 AS through,
           ST_MakeLine(ST_MakePoint(-wc / 2 - sw / 2 + kx * (block_len + sw), -hc / 2 - sw / 2),
                       ST_MakePoint(-wc / 2 - sw / 2 + kx * (block_len + sw), hc / 2 + sw / 2)) AS line
    FROM cell, generate_series(0, cell.nbx) AS kx
    UNION ALL
    SELECT cell.*, 1, ky, ky = cell.nby / 2,
           ST_MakeLine(ST_MakePoint(-wc / 2 - sw / 2, -hc / 2 - sw / 2 + ky * (2 * depth + sw)),
                       ST_MakePoint(wc / 2 + sw / 2, -hc / 2 - sw / 2 + ky * (2 * depth + sw)))
    FROM cell, generate_series(0, cell.nby) AS ky
), placed AS (
    SELECT s.cid, s.dir, s.pos,
           pg_temp.pick(town.names, pg_temp.rnd(s.cid * 1000 + s.dir * 100 + s.pos, 60)) || ' '
             || pg_temp.pick(ARRAY['Street', 'Close', 'Crescent', 'Avenue', 'Road'],
                             pg_temp.rnd(s.cid * 1000 + s.dir * 100 + s.pos, 61)) AS name,
           CASE WHEN s.through
                THEN ST_Intersection(ST_Rotate(ST_Scale(s.line, CASE s.dir WHEN 0 THEN 1 ELSE 5 END,
                                                        CASE s.dir WHEN 0 THEN 5 ELSE 1 END),
                                               s.theta),
                                     ST_MakeEnvelope(-:cell / 2.0, -:cell / 2.0, :cell / 2.0, :cell / 2.0))
                ELSE ST_Rotate(s.line, s.theta) END AS line,
           s.cx, s.cy, s.scale_x, s.scale_y
    FROM street AS s, town
), edge AS (
    SELECT DISTINCT e.dir, e.i, e.j
    FROM demo_cell AS c JOIN demo_quota USING (cid),
         LATERAL (VALUES (0, c.i, c.j), (0, c.i + 1, c.j), (1, c.i, c.j), (1, c.i, c.j + 1)) AS e(dir, i, j)
)
SELECT 0 AS kind, cid AS a, dir AS b, pos AS c, name,
       ST_SnapToGrid(ST_SetSRID(ST_Affine(line, scale_x, 0, 0, scale_y, :mx0 + :k * cx, :my0 + :k * cy), 3857), 0.001)
           AS geom
FROM placed
WHERE ST_GeometryType(line) = 'ST_LineString'
UNION ALL
SELECT 1, dir, CASE dir WHEN 0 THEN i ELSE j END, CASE dir WHEN 0 THEN j ELSE i END,
       pg_temp.pick(town.names, pg_temp.rnd(CASE dir WHEN 0 THEN i ELSE j END, 62 + dir)) || ' '
         || CASE dir WHEN 0 THEN 'Way' ELSE 'Expressway' END,
       ST_SetSRID(ST_MakeLine(
           ST_MakePoint(:mx0 + :k * i * :cell, :my0 + :k * j * :cell),
           ST_MakePoint(:mx0 + :k * (i + dir) * :cell, :my0 + :k * (j + 1 - dir) * :cell)), 3857)
FROM edge, town;

INSERT INTO demo_build."ROADS" ("id", "name", "geometry_3857")
SELECT row_number() OVER (ORDER BY kind, a, b, c), name, geom FROM demo_road;
