// Writes the package pmtiles_reader.test.mjs reads with the format's own reader:
//   pmtiles_fixture OUTPUT
// Tiles z0-z10 of a block of the map (enough entries for leaf directories); the content of
// z/x/y is "tile z/x/y", except every tile with (x + y) % 5 == 0, which holds "shared" (stored
// once, in runs where neighbours on the curve share it).
#include <cstdio>
#include <exception>
#include <string>

#include "host/http/representation.hpp"
#include "pmtiles.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: pmtiles_fixture OUTPUT\n");
    return 2;
  }
  namespace pm = mapsvc::tiles::pmtiles;
  try {
    pm::archive_writer w(argv[1]);
    const auto shared = host::http::gzip_compress("shared");
    for (int z = 0; z <= 10; ++z) {
      const std::uint32_t side = 1u << z, count = std::min<std::uint32_t>(side, 200);
      for (std::uint32_t x = 0; x < count; ++x)
        for (std::uint32_t y = 0; y < count; ++y) {
          if ((x + y) % 5 == 0) {
            w.add({z, x, y}, shared);
          } else {
            w.add({z, x, y}, host::http::gzip_compress("tile " + std::to_string(z) + "/" + std::to_string(x) + "/" +
                                                      std::to_string(y)));
          }
        }
    }
    const auto h = w.finish({R"({"name":"fixture","vector_layers":[{"id":"plots","fields":{}}]})", 7.0, 9.0, 7.5,
                             9.5, 10, 7.25, 9.25});
    std::printf("%llu tiles, %llu entries, %llu contents\n", static_cast<unsigned long long>(h.addressed_tiles),
                static_cast<unsigned long long>(h.tile_entries), static_cast<unsigned long long>(h.tile_contents));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pmtiles_fixture: %s\n", e.what());
    return 1;
  }
}
