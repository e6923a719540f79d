-- Survey plan records for one plot, in the form the plan renderer takes:
--   {"parcel_data": [selected plot with its "boundary" and register columns, then the neighbours],
--    "selected_parcel_number": ID, "road_data": [...], "columnname": "parcel_number"}
-- No row when the plot does not exist (or has no geometry). A multi-part plot is planned
-- from its first part; a plot without a number or area is labelled with its ID and the
-- area of its plan geometry.
--
-- All coordinates are EPSG:26332 metres snapped to the millimetre, so the boundary
-- corners and the polygon share exact values. Side lengths and bearings are computed
-- here from those corners; beacon names come from "BEACON" where a beacon lies within
-- 5 cm of a corner, otherwise the corner gets a label by its position ("B3").
-- Search radii are in ground metres, converted with the Mercator scale at the plot.
WITH selected AS (
    SELECT p."ID" AS id, p."PLOT_NO" AS name, p."AREA_SYSTEM" AS area, shape.geom,
           -- printed on a full sheet: land use in the title block, the rest when asked for
           p."GENERAL_LU" AS land_use, p."DETAIL_LU" AS land_use_detail, p."STATUS" AS status,
           p."CADZONE" AS cadzone, p."file_no" AS file_no,
           ST_SnapToGrid(ST_Transform(shape.geom, 26332), 0.001) AS utm,
           -- Web Mercator units per ground metre here: sec(latitude) = cosh(y / R)
           cosh(ST_Y(ST_PointOnSurface(shape.geom)) / 6378137) AS mercator_scale
    FROM "PLOT" AS p
    -- Clockwise, so the boundary runs round the plot the way surveyors list it.
    CROSS JOIN LATERAL (SELECT ST_ForcePolygonCW(ST_GeometryN(ST_Multi(p."GEOMETRY_3857"), 1)) AS geom)
        AS shape
    -- bigint whatever the column is declared as, so that an ID beyond an integer column finds
    -- nothing instead of failing the statement
    WHERE p."ID" = CAST(:plot_id AS bigint) AND p."GEOMETRY_3857" IS NOT NULL
), reach AS (
    SELECT s.*,
           greatest(150, ST_XMax(utm) - ST_XMin(utm), ST_YMax(utm) - ST_YMin(utm)) * mercator_scale
               AS parcel_reach,
           greatest(300, 2 * (ST_XMax(utm) - ST_XMin(utm)), 2 * (ST_YMax(utm) - ST_YMin(utm)))
               * mercator_scale AS road_reach
    FROM selected AS s
), corner AS (
    SELECT v.path[1] AS idx, v.geom AS pt
    FROM selected AS s,
         ST_DumpPoints(ST_ExteriorRing(s.utm)) AS v
    WHERE v.path[1] < ST_NPoints(ST_ExteriorRing(s.utm))  -- the closing point repeats the first
), side AS (
    SELECT c.idx, c.pt,
           coalesce(lead(c.pt) OVER w, first_value(c.pt) OVER w) AS next_pt
    FROM corner AS c
    WINDOW w AS (ORDER BY c.idx ROWS BETWEEN UNBOUNDED PRECEDING AND UNBOUNDED FOLLOWING)
), beacon AS (
    -- beacons on or next to the plot's boundary, in the plan's coordinates
    SELECT b."ID" AS id, b."BEACON_NO" AS name, ST_Transform(b."GEOMETRY_3857", 26332) AS pt
    FROM selected AS s
    JOIN "BEACON" AS b ON ST_DWithin(b."GEOMETRY_3857", ST_ExteriorRing(s.geom), 0.1)
    WHERE b."BEACON_NO" IS NOT NULL
), boundary AS (
    SELECT json_agg(json_build_object(
               'geometry', json_build_object('coordinates', json_build_array(
                   round(ST_X(side.pt)::numeric, 3), round(ST_Y(side.pt)::numeric, 3))),
               'beacon_name', coalesce(beacon.name, 'B' || side.idx),
               'distance_to_next', round(ST_Distance(side.pt, side.next_pt)::numeric, 2),
               'bearing_deg_to_next', bearing.minutes / 60,
               'bearing_min_to_next', bearing.minutes % 60)
           ORDER BY side.idx) AS entries
    FROM side
    CROSS JOIN LATERAL (
        -- whole minutes clockwise from grid north; a zero-length side has bearing 0
        SELECT coalesce(round(degrees(ST_Azimuth(side.pt, side.next_pt)) * 60)::int % 21600, 0)
            AS minutes) AS bearing
    LEFT JOIN LATERAL (
        SELECT b.name FROM beacon AS b
        WHERE ST_DWithin(b.pt, side.pt, 0.05)
        ORDER BY ST_Distance(b.pt, side.pt), b.id
        LIMIT 1) AS beacon ON true
), neighbour AS (
    SELECT n."ID" AS id, n."PLOT_NO" AS name, n."AREA_SYSTEM" AS area,
           ST_SnapToGrid(ST_Transform(ST_GeometryN(ST_Multi(n."GEOMETRY_3857"), 1), 26332), 0.001) AS utm,
           ST_Distance(n."GEOMETRY_3857", r.geom) AS gap
    FROM reach AS r
    JOIN "PLOT" AS n ON ST_DWithin(n."GEOMETRY_3857", r.geom, r.parcel_reach) AND n."ID" <> r.id
    -- the renderer takes at most 5000 parcels: in a dense area keep the nearest
    ORDER BY gap, id
    LIMIT 4999
), road AS (
    -- Roads are cut to the box they were searched in (far wider than the page), so a long
    -- road brings only its nearby stretch; at most 5000 parts, the nearest first.
    SELECT part.geom AS utm, ST_Distance(rd."geometry_3857", r.geom) AS gap, rd."id" AS id, part.path
    FROM reach AS r
    JOIN "ROADS" AS rd ON ST_DWithin(rd."geometry_3857", r.geom, r.road_reach)
    CROSS JOIN LATERAL ST_Dump(ST_SnapToGrid(ST_Transform(ST_Multi(
        ST_ClipByBox2D(rd."geometry_3857", ST_Expand(ST_Envelope(r.geom), r.road_reach))), 26332), 0.001))
        AS part
    WHERE ST_NPoints(part.geom) >= 2
    ORDER BY gap, id, part.path
    LIMIT 5000
)
SELECT json_build_object(
    'parcel_data',
        (SELECT json_agg(parcel ORDER BY ord, gap, id) FROM (
             SELECT 0 AS ord, 0 AS gap, s.id,
                    json_build_object('parcel_number', s.id, 'name', coalesce(s.name, s.id::text),
                                      'area', coalesce(s.area, round(ST_Area(s.utm)::numeric, 2)),
                                      'geometry', ST_AsGeoJSON(s.utm, 3, 0)::json,
                                      'boundary', coalesce((SELECT entries FROM boundary), '[]'::json),
                                      'land_use', s.land_use, 'land_use_detail', s.land_use_detail,
                                      'status', s.status, 'cadzone', s.cadzone, 'file_no', s.file_no)
                        AS parcel
             FROM selected AS s
             UNION ALL
             SELECT 1, n.gap, n.id,
                    json_build_object('parcel_number', n.id, 'name', coalesce(n.name, n.id::text),
                                      'area', coalesce(n.area, round(ST_Area(n.utm)::numeric, 2)),
                                      'geometry', ST_AsGeoJSON(n.utm, 3, 0)::json)
             FROM neighbour AS n
             WHERE NOT ST_IsEmpty(n.utm)) AS parcels),
    'selected_parcel_number', s.id,
    'road_data',
        coalesce((SELECT json_agg(json_build_object('geometry', ST_AsGeoJSON(road.utm, 3, 0)::json)
                                  ORDER BY road.gap, road.id, road.path)
                  FROM road), '[]'::json),
    'columnname', 'parcel_number') AS plan
FROM selected AS s
