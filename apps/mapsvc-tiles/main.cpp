// mapsvc-tiles: works on the tile cache from the command line.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "host/config.hpp"
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

// Parses a command's arguments (a usage_error: exit status 2), answers --help, else runs it.
template <typename Parse, typename Run>
int command(const char* name, const std::string& usage, Parse parse, Run run) {
  decltype(parse()) options;
  try {
    options = parse();
  } catch (const mapsvc::tiles::usage_error& e) {
    std::fprintf(stderr, "mapsvc-tiles %s: %s\n", name, e.what());
    return 2;
  }
  if (options.help) {
    std::fputs(usage.c_str(), stdout);
    return 0;
  }
  return run(options);
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
  using namespace mapsvc::tiles;
  const auto& layers = mapsvc::tile_gateway::LAYER_CONFIG();
  if (command == "seed")
    return ::command("seed", seed_usage, [&] { return parse_seed_args(rest, host::process_env, layers); }, run_seed);
  if (command == "export")
    return ::command("export", export_usage, [&] { return parse_export_args(rest, host::process_env, layers); }, run_export);
  if (command == "apply") return ::command("apply", apply_usage, [&] { return parse_apply_args(rest); }, run_apply);
  std::fprintf(stderr, "mapsvc-tiles: unknown command '%s'\n%s", args.front().c_str(), usage_text);
  return 2;
}
