// The envelope, the tile math and the host configuration.
#include <gtest/gtest.h>

#include <fstream>

#include "host/config.hpp"
#include "host/helpers/responses.hpp"
#include "host/helpers/utils.hpp"
#include "host/http/static_files.hpp"

namespace {
using namespace host::helpers;
constexpr double W = WEB_MERCATOR_HALF_WORLD;

TEST(Envelope, KeysInOrderAndStatusCarriedToTheAnswer) {
  EXPECT_EQ(api_response({.data = nlohmann::ordered_json{{"a", 1}}}).dump(),
            R"({"status_code":200,"message":null,"data":{"a":1}})");
  const auto not_found = api_response({.message = "No valid geometry", .status_code = 404});
  EXPECT_EQ(not_found.dump(), R"({"status_code":404,"message":"No valid geometry","data":null})");
  const auto answer = api_router_response(not_found);
  EXPECT_EQ(answer.status, 404u);
  EXPECT_EQ(answer.content_type, "application/json");
  EXPECT_EQ(answer.body, not_found.dump());
}

TEST(TileMath, KnownTilesAndWorldEdges) {
  EXPECT_EQ(latlon_to_xyz(0.0, 0.0, 1), (nlohmann::ordered_json{{"z", 1}, {"x", 1}, {"y", 1}}));
  EXPECT_EQ(latlon_to_xyz(85.0511, -180.0, 3), (nlohmann::ordered_json{{"z", 3}, {"x", 0}, {"y", 0}}));
  EXPECT_EQ(latlon_to_xyz(-89.9, 180.0, 3), (nlohmann::ordered_json{{"z", 3}, {"x", 7}, {"y", 7}}));
  const auto abuja = tile_for(9.0765, 7.3986, 16);
  EXPECT_EQ(abuja.x, 34114);
  EXPECT_EQ(abuja.y, 31108);

  const auto world = bounds_of(0, 0, 0);
  EXPECT_DOUBLE_EQ(world.minx, -W);
  EXPECT_DOUBLE_EQ(world.maxy, W);
  EXPECT_DOUBLE_EQ(world.maxx, W);
  EXPECT_DOUBLE_EQ(world.miny, -W);
  const auto box = xyz_to_bbox_web_mercator(1, 1, 0);
  EXPECT_EQ(box.dump(), R"({"minx":0.0,"miny":0.0,"maxx":20037508.342789244,"maxy":20037508.342789244})");
  EXPECT_THROW(bounds_of(31, 0, 0), std::out_of_range);
}

TEST(TileMath, PointLiesInsideTheBoundsOfItsTile) {
  for (int z : {1, 8, 15, 20}) {
    for (auto [lat, lon] : {std::pair{9.05, 7.49}, {-33.9, 18.4}, {64.1, -21.9}}) {
      const auto t = tile_for(lat, lon, z);
      const auto b = bounds_of(z, t.x, t.y);
      const double x = lon * W / 180.0;
      const double y = std::log(std::tan((90.0 + lat) * M_PI / 360.0)) * W / M_PI;
      EXPECT_LE(b.minx, x);
      EXPECT_LT(x, b.maxx);
      EXPECT_LE(b.miny, y);
      EXPECT_LT(y, b.maxy);
    }
  }
}

TEST(Configuration, EnvironmentThenFlags) {
  const auto env = [](const std::string& name) -> std::optional<std::string> {
    if (name == "MAPSVC_PORT") return "9000";
    if (name == "DB_POOL_SIZE") return "4";
    if (name == "DB_PREPARE") return "0";
    return std::nullopt;
  };
  auto c = host::load_config({"--port", "9100", "--host=0.0.0.0"}, env);
  EXPECT_EQ(c.port, 9100);
  EXPECT_EQ(c.host, "0.0.0.0");
  EXPECT_EQ(c.db_pool_size, 4);
  EXPECT_FALSE(c.db_prepare);
  EXPECT_TRUE(host::load_config({"--db-prepare", "1"}, env).db_prepare);
  EXPECT_THROW(host::load_config({"--db-prepare", "sometimes"}, env), std::invalid_argument);
  EXPECT_THROW(host::load_config({"--port", "70000"}, env), std::invalid_argument);
  EXPECT_THROW(host::load_config({"--bogus", "1"}, env), std::invalid_argument);
  const auto bad_env = [](const std::string& name) -> std::optional<std::string> {
    return name == "DB_POOL_SIZE" ? std::optional<std::string>("lots") : std::nullopt;
  };
  EXPECT_THROW(host::load_config({}, bad_env), std::invalid_argument);
}

TEST(StaticFiles, NeverLeaveTheirFolder) {
  const auto root = std::filesystem::temp_directory_path() / "mapsvc-static-test";
  std::filesystem::create_directories(root / "vendor");
  std::ofstream(root / "vendor" / "a.js") << "x";
  EXPECT_TRUE(host::http::resolve_static(root, "vendor/a.js"));
  EXPECT_FALSE(host::http::resolve_static(root, "../etc/passwd"));
  EXPECT_FALSE(host::http::resolve_static(root, "vendor/../../x"));
  EXPECT_FALSE(host::http::resolve_static(root, "/etc/passwd"));
  EXPECT_FALSE(host::http::resolve_static(root, "vendor"));
  std::filesystem::remove_all(root);
}

}  // namespace
