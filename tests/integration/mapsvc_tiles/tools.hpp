#pragma once
// Running mapsvc-tiles against the fixture database of the tile tests (its own database and
// Redis database, so that it runs beside them).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support.hpp"

namespace tile_test {

struct run_result {
  int status;
  std::string out;  // stdout and stderr together
};

run_result run_command(const std::string& command);
// mapsvc-tiles ARGS on the fixture database and the tests' Redis database.
run_result tool(const std::string& args);
// The number written just before " {what}" in the tool's output (0 when there is none).
std::uint64_t figure(const std::string& out, const std::string& what);

class tools_test : public ::testing::Test {
 protected:
  void SetUp() override { clear(); }
  void TearDown() override { clear(); }
  void clear();
  // The data tile and its two neighbours to the east at z15 (data, empty, empty), in degrees.
  static std::string area();

  redis_sync redis{env_or("REDIS_HOST", "127.0.0.1"), std::stoi(env_or("REDIS_PORT", "56379")), test_redis_db()};
};

}  // namespace tile_test
