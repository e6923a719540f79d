-- The demo tables, created in the build schema. Keys and indexes are added after the rows
-- are in (demo_swap.sql): building them once at the end is far quicker than maintaining
-- them row by row.

CREATE TABLE demo_build."LGAs" (
    "id" integer NOT NULL,
    "name" text NOT NULL,
    "geometry_3857" geometry(MultiPolygon, 3857) NOT NULL
);

CREATE TABLE demo_build."Districts" (
    "id" integer NOT NULL,
    "name" text NOT NULL,
    "lga_id" integer NOT NULL,
    "geometry_3857" geometry(MultiPolygon, 3857) NOT NULL
);

CREATE TABLE demo_build."CadZones" (
    "id" integer NOT NULL,
    "name" text NOT NULL,
    "district_id" integer NOT NULL,
    "geometry_3857" geometry(MultiPolygon, 3857) NOT NULL
);

CREATE TABLE demo_build."PLOT" (
    "ID" bigint NOT NULL,
    "PLOT_NO" text,
    "STATUS" text,
    "AREA_SYSTEM" double precision,
    "GENERAL_LU" text,
    "CADZONE" text,
    "DETAIL_LU" text,
    "file_no" text,
    "GEOMETRY_3857" geometry(Polygon, 3857) NOT NULL
);

CREATE TABLE demo_build."BEACON" (
    "ID" bigint NOT NULL,
    "BEACON_NO" text,
    "STATUS" text,
    "REMARK" text,
    "GEOMETRY_3857" geometry(Point, 3857) NOT NULL
);

CREATE TABLE demo_build."ROADS" (
    "id" integer NOT NULL,
    "name" text,
    "geometry_3857" geometry(LineString, 3857) NOT NULL
);
