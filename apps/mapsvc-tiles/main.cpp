// mapsvc-tiles: works on the tile cache from the command line.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "mapsvc/tile_gateway/catalogue.hpp"
#include "options.hpp"
#include "delta.hpp"
#include "seed.hpp"

namespace {

constexpr const char* usage_text = R"(usage: mapsvc-tiles COMMAND [options]

commands:
  seed      build the tiles of an area into the shared tile cache ahead of viewers
  export    write the tiles of an area into one file for use off the network
            (PMTiles or MBTiles), or with --since the tiles changed since one
  apply     update a package with a delta

mapsvc-tiles COMMAND --help describes each.
)";

std::optional<std::string> process_env(const std::string& name) {
  if (const char* v = std::getenv(name.c_str())) return std::string(v);
  return std::nullopt;
}

int seed(const std::vector<std::string>& args) {
  mapsvc::tiles::seed_options options;
  try {
    options = mapsvc::tiles::parse_seed_args(args, process_env, mapsvc::tile_gateway::LAYER_CONFIG());
  } catch (const mapsvc::tiles::usage_error& e) {
    std::fprintf(stderr, "mapsvc-tiles seed: %s\n", e.what());
    return 2;
  }
  if (options.help) {
    std::fputs(mapsvc::tiles::seed_usage, stdout);
    return 0;
  }
  return mapsvc::tiles::run_seed(options);
}

int export_package(const std::vector<std::string>& args) {
  mapsvc::tiles::seed_options options;
  try {
    options = mapsvc::tiles::parse_export_args(args, process_env, mapsvc::tile_gateway::LAYER_CONFIG());
  } catch (const mapsvc::tiles::usage_error& e) {
    std::fprintf(stderr, "mapsvc-tiles export: %s\n", e.what());
    return 2;
  }
  if (options.help) {
    std::fputs(mapsvc::tiles::export_usage, stdout);
    return 0;
  }
  return mapsvc::tiles::run_export(options);
}

int apply_delta(const std::vector<std::string>& args) {
  mapsvc::tiles::apply_options options;
  try {
    options = mapsvc::tiles::parse_apply_args(args);
  } catch (const mapsvc::tiles::usage_error& e) {
    std::fprintf(stderr, "mapsvc-tiles apply: %s\n", e.what());
    return 2;
  }
  if (options.help) {
    std::fputs(mapsvc::tiles::apply_usage, stdout);
    return 0;
  }
  return mapsvc::tiles::run_apply(options);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(usage_text, stderr);
    return 2;
  }
  const std::string_view command = args.front();
  if (command == "-h" || command == "--help") {
    std::fputs(usage_text, stdout);
    return 0;
  }
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "seed") return seed(rest);
  if (command == "export") return export_package(rest);
  if (command == "apply") return apply_delta(rest);
  std::fprintf(stderr, "mapsvc-tiles: unknown command '%s'\n%s", args.front().c_str(), usage_text);
  return 2;
}
