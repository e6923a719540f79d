// Memory of writing a large package: N tiles (default 1 000 000) of a 1000 x 1000 block at
// zoom 20, 150-650 bytes each, one in four a repeat of a few shared contents (as empty-ish
// tiles of an area repeat), through the writer `mapsvc-tiles export` uses. Prints the peak
// RSS and the time per format.
//
//   build/bin/package_memory [TILES] [DIR]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "package.hpp"

namespace {

using mapsvc::tiles::package_format;

// Runs in a child so that each format's peak is its own.
void write_package(package_format format, std::uint64_t tiles, const std::filesystem::path& file) {
  const auto started = std::chrono::steady_clock::now();
  auto package = mapsvc::tiles::open_package(format, file);
  std::mt19937_64 random(42);
  std::string bytes;
  for (std::uint64_t i = 0; i < tiles; ++i) {
    const auto x = static_cast<std::uint32_t>(500000 + i % 1000), y = static_cast<std::uint32_t>(500000 + i / 1000);
    const bool shared = i % 4 == 0;
    std::mt19937_64 content(shared ? 1000 + (i / 4) % 8 : random());
    bytes.resize(150 + content() % 500);
    for (auto& c : bytes) c = static_cast<char>(content());
    package->add(20, x, y, bytes);
  }
  mapsvc::tiles::package_description d;
  d.name = "plots";
  d.min_zoom = d.max_zoom = 20;
  package->finish(d);
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("| %s | %llu | %.0f MB | %.0f MB | %.1f s |\n", format == package_format::pmtiles ? "PMTiles" : "MBTiles",
              static_cast<unsigned long long>(tiles), std::filesystem::file_size(file) / 1e6, usage.ru_maxrss / 1024.0,
              seconds);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t tiles = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
  const std::filesystem::path dir = argc > 2 ? argv[2] : std::filesystem::temp_directory_path();
  std::printf("| format | tiles | file | peak RSS | time |\n|---|---|---|---|---|\n");
  std::fflush(stdout);
  for (const auto format : {package_format::pmtiles, package_format::mbtiles}) {
    const auto file = dir / (format == package_format::pmtiles ? "memory.pmtiles" : "memory.mbtiles");
    const pid_t child = ::fork();
    if (child == 0) {
      write_package(format, tiles, file);
      std::_Exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    std::filesystem::remove(file);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
  }
  return 0;
}
