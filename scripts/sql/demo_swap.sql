-- Keys, spatial indexes and statistics on the freshly built tables, then the swap: the old
-- demo tables are dropped and the new ones moved into public in one short transaction.

ALTER TABLE demo_build."LGAs" ADD PRIMARY KEY ("id");
ALTER TABLE demo_build."Districts" ADD PRIMARY KEY ("id");
ALTER TABLE demo_build."CadZones" ADD PRIMARY KEY ("id");
ALTER TABLE demo_build."PLOT" ADD PRIMARY KEY ("ID");
ALTER TABLE demo_build."BEACON" ADD PRIMARY KEY ("ID");
ALTER TABLE demo_build."ROADS" ADD PRIMARY KEY ("id");
ALTER TABLE demo_build."Districts"
    ADD FOREIGN KEY ("lga_id") REFERENCES demo_build."LGAs" ("id");
ALTER TABLE demo_build."CadZones"
    ADD FOREIGN KEY ("district_id") REFERENCES demo_build."Districts" ("id");

CREATE INDEX "LGAs_geometry_3857_idx" ON demo_build."LGAs" USING gist ("geometry_3857");
CREATE INDEX "Districts_geometry_3857_idx" ON demo_build."Districts" USING gist ("geometry_3857");
CREATE INDEX "CadZones_geometry_3857_idx" ON demo_build."CadZones" USING gist ("geometry_3857");
CREATE INDEX "PLOT_GEOMETRY_3857_idx" ON demo_build."PLOT" USING gist ("GEOMETRY_3857");
CREATE INDEX "BEACON_GEOMETRY_3857_idx" ON demo_build."BEACON" USING gist ("GEOMETRY_3857");
CREATE INDEX "ROADS_geometry_3857_idx" ON demo_build."ROADS" USING gist ("geometry_3857");

-- The centroid endpoint reads the planner's estimated extent, which only exists once the
-- tables have statistics. They stay with the tables through the move below.
ANALYZE demo_build."LGAs", demo_build."Districts", demo_build."CadZones",
        demo_build."PLOT", demo_build."BEACON", demo_build."ROADS";

BEGIN;
-- The change feed goes with the swap: the drop takes the old tables' triggers, so the new
-- tables are watched before the commit and every running server drops its tiles of them.
\ir ../../api/routers/tile_gateway/sql/change_feed.sql
DROP TABLE IF EXISTS public."PLOT", public."BEACON", public."ROADS",
                     public."CadZones", public."Districts", public."LGAs";
ALTER TABLE demo_build."LGAs" SET SCHEMA public;
ALTER TABLE demo_build."Districts" SET SCHEMA public;
ALTER TABLE demo_build."CadZones" SET SCHEMA public;
ALTER TABLE demo_build."PLOT" SET SCHEMA public;
ALTER TABLE demo_build."BEACON" SET SCHEMA public;
ALTER TABLE demo_build."ROADS" SET SCHEMA public;
DROP SCHEMA demo_build;
DO $$
BEGIN
  PERFORM mapsvc_feed.watch('public."PLOT"', 'GEOMETRY_3857');
  PERFORM mapsvc_feed.watch('public."BEACON"', 'GEOMETRY_3857');
  PERFORM mapsvc_feed.watch('public."CadZones"', 'geometry_3857');
  PERFORM mapsvc_feed.watch('public."Districts"', 'geometry_3857');
  PERFORM mapsvc_feed.watch('public."LGAs"', 'geometry_3857');
END
$$;
INSERT INTO mapsvc_feed.pending (table_name, op)
VALUES ('PLOT', 'T'), ('BEACON', 'T'), ('CadZones', 'T'), ('Districts', 'T'), ('LGAs', 'T');
NOTIFY mapsvc_feed;
COMMIT;

SELECT format('demo-data: loaded %s LGAs, %s districts, %s cadastral zones, %s plots, %s beacons, %s roads',
              (SELECT count(*) FROM public."LGAs"), (SELECT count(*) FROM public."Districts"),
              (SELECT count(*) FROM public."CadZones"), (SELECT count(*) FROM public."PLOT"),
              (SELECT count(*) FROM public."BEACON"), (SELECT count(*) FROM public."ROADS")) AS summary \gset
\echo :summary
