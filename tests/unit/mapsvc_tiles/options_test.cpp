#include <gtest/gtest.h>

#include <fmt/format.h>

#include "options.hpp"

namespace mapsvc::tiles {
namespace {

const auto& catalogue() { return tile_gateway::LAYER_CONFIG(); }

seed_options parse(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
  return parse_seed_args(args, [env](const std::string& k) -> std::optional<std::string> {
    auto it = env.find(k);
    if (it == env.end()) return std::nullopt;
    return it->second;
  }, catalogue());
}

TEST(ZoomRange, RangesAndSingleZooms) {
  EXPECT_EQ(parse_zoom_range("14-18"), (zoom_range{14, 18}));
  EXPECT_EQ(parse_zoom_range("12"), (zoom_range{12, 12}));
  EXPECT_EQ(parse_zoom_range("1-20"), (zoom_range{1, 20}));
  for (const char* bad : {"", "0-3", "18-14", "14-21", "a-b", "14-", "-3", "1-2-3", "14 - 18"})
    EXPECT_THROW(parse_zoom_range(bad), usage_error) << bad;
}

TEST(Bbox, ParsesAndProjects) {
  const auto b = parse_bbox("7.48,9.05,7.5,9.07");
  EXPECT_DOUBLE_EQ(b.west, 7.48);
  EXPECT_DOUBLE_EQ(b.north, 9.07);
  for (const char* bad : {"", "1,2,3", "1,2,3,4,5", "7.5,9,7.4,9.1", "7,9.1,7.5,9", "-181,0,1,1", "0,0,1,91",
                          "0,0,inf,1", "0,0,x,1"})
    EXPECT_THROW(parse_bbox(bad), usage_error) << bad;
  // The same projection the tile envelopes use: the world's corner is the last tile's corner.
  const auto world = to_mercator({-180, -90, 180, 90});
  EXPECT_NEAR(world.maxx, 20037508.342789244, 1e-6);
  EXPECT_NEAR(world.maxy, 20037508.342789244, 1e-3);
  const auto m = to_mercator(b);
  const auto t = tile_gateway::tiles_meeting(m, 15);
  EXPECT_EQ(t.x0, host::helpers::tile_for(9.06, 7.481, 15).x);
}

TEST(SeedArgs, DefaultsEnvironmentAndFlags) {
  const auto o = parse({"--zoom", "14-16"}, {{"DATABASE_URL", "postgresql://db/x"}, {"MAPSVC_CACHE_TTL_WITH_FEED", "86400"}});
  EXPECT_EQ(o.layers, catalogue().keys());
  EXPECT_EQ(o.area, area_kind::extent);
  EXPECT_EQ(o.database_url, "postgresql://db/x");
  EXPECT_EQ(o.cache_ttl_with_feed, 86400);
  EXPECT_FALSE(o.resume);

  const auto f = parse({"--zoom=15", "--layers", "beacons,plots", "--district", "Garki", "--concurrency", "8",
                        "--resume", "/tmp/s", "--cache-ttl-with-feed", "0", "--dry-run"},
                       {{"MAPSVC_CACHE_TTL_WITH_FEED", "600"}});
  EXPECT_EQ(f.layers, (std::vector<std::string>{"beacons", "plots"}));
  EXPECT_EQ(f.area, area_kind::district);
  EXPECT_EQ(f.area_text, "Garki");
  EXPECT_EQ(f.concurrency, 8);
  EXPECT_TRUE(f.resume);
  EXPECT_EQ(f.state_path, "/tmp/s");
  EXPECT_FALSE(f.cache_ttl_with_feed);  // the flag's 0 turns the environment's off
  EXPECT_TRUE(f.dry_run);
}

TEST(SeedArgs, Refusals) {
  const std::vector<std::vector<std::string>> bad{
      {},                                                // no zoom
      {"--zoom", "14", "--layers", "roads"},             // unknown layer
      {"--zoom", "14", "--layers", "plots,plots"},       // twice
      {"--zoom", "14", "--bbox", "1,2,3,4", "--lga", "X"},  // two areas
      {"--zoom", "14", "--concurrency", "0"},
      {"--zoom", "14", "--district", "a\nb"},
      {"--zoom", "14", "--frobnicate", "1"},
      {"--zoom"},
      {"14-18"}};
  for (const auto& args : bad) EXPECT_THROW(parse(args), usage_error) << ::testing::PrintToString(args);
  EXPECT_THROW(parse({"--zoom", "14"}, {{"MAPSVC_CACHE_TTL_WITH_FEED", "-1"}}), usage_error);
}

TEST(SeedArgs, SignatureNamesWhatDefinesTheWalk) {
  const auto a = parse({"--zoom", "14-16", "--layers", "plots", "--bbox", "7,9,7.1,9.1", "--concurrency", "2"});
  const auto b = parse({"--zoom", "14-16", "--layers", "plots", "--bbox", "7,9,7.1,9.1", "--concurrency", "8"});
  EXPECT_EQ(walk_signature(a), walk_signature(b));
  EXPECT_NE(walk_signature(a), walk_signature(parse({"--zoom", "14-17", "--layers", "plots", "--bbox", "7,9,7.1,9.1"})));
  EXPECT_NE(walk_signature(a), walk_signature(parse({"--zoom", "14-16", "--bbox", "7,9,7.1,9.1"})));
  EXPECT_NE(walk_signature(a), walk_signature(parse({"--zoom", "14-16", "--layers", "plots", "--lga", "7,9,7.1,9.1"})));
}

TEST(ExportArgs, TheFormatComesFromTheOptionOrTheFileName) {
  const auto none = [](const std::string&) -> std::optional<std::string> { return std::nullopt; };
  const auto parse_export = [&](std::vector<std::string> args) { return parse_export_args(args, none, catalogue()); };
  EXPECT_EQ(parse_export({"--zoom", "14", "-o", "a.mbtiles"}).format, package_format::mbtiles);
  EXPECT_EQ(parse_export({"--zoom", "14", "-oa.pmtiles"}).format, package_format::pmtiles);
  const auto named = parse_export({"--zoom", "14", "--output=district.bin", "--format", "mbtiles", "--layers", "plots"});
  EXPECT_EQ(named.format, package_format::mbtiles);
  EXPECT_EQ(named.output, "district.bin");
  EXPECT_EQ(named.layers, std::vector<std::string>{"plots"});
  for (const auto& bad : std::vector<std::vector<std::string>>{
           {"--zoom", "14"},                                        // no package named
           {"--zoom", "14", "-o"},                                  // -o without a name
           {"--zoom", "14", "-o", "a.zip"},                         // no format known
           {"--zoom", "14", "-o", "a.pmtiles", "--format", "mbtiles"},  // they disagree
           {"--zoom", "14", "-o", "a.pmtiles", "--format", "zip"},
           {"--zoom", "14", "-o", "a.pmtiles", "--resume", "s"},    // the cache's options
           {"--zoom", "14", "-o", "a.pmtiles", "--cache-ttl-with-feed", "60"}})
    EXPECT_THROW(parse_export(bad), usage_error) << fmt::format("{}", fmt::join(bad, " "));
  // "-o" is the package's option only: seed refuses it.
  EXPECT_THROW(parse({"--zoom", "14", "-o", "a.pmtiles"}), usage_error);
}

}  // namespace
}  // namespace mapsvc::tiles
