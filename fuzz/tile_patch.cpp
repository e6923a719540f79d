// A delta's patch, as a package downloaded from elsewhere carries it, against a tile. The first
// two bytes split the input into an old tile, a new one and a script. Besides crashes, a finding is
// - a script or patch read into an exception other than std::runtime_error, or into more bytes
//   than the limit;
// - a script made from two tiles that does not give the new one back, or a patch that does not.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "mvt_patch.hpp"
#include "tile_patch.hpp"

namespace {

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "finding: %s\n", what);
  std::abort();
}

constexpr std::size_t LIMIT = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::string_view all(reinterpret_cast<const char*>(data) + 2, size - 2);
  const std::size_t a = std::min<std::size_t>(all.size(), data[0] * 4u), b = std::min<std::size_t>(all.size() - a, data[1] * 4u);
  const auto was = all.substr(0, a), now = all.substr(a, b), script = all.substr(a + b);
  for (const auto& read : {+[](std::string_view w, std::string_view s) { return mapsvc::tiles::apply_mvt_script(w, s, LIMIT); },
                           +[](std::string_view w, std::string_view s) { return mapsvc::tiles::apply_patch(w, s, LIMIT); }}) {
    try {
      if (read(was, script).size() > LIMIT) finding("more bytes than the limit");
    } catch (const std::runtime_error&) {
    } catch (...) {
      finding("an exception other than std::runtime_error");
    }
  }
  if (const auto made = mapsvc::tiles::mvt_script(was, now);
      made && mapsvc::tiles::apply_mvt_script(was, *made, LIMIT) != now)
    finding("a script that does not give the tile back");
  if (now.size() <= 4096 && mapsvc::tiles::apply_patch(was, mapsvc::tiles::make_patch(was, now)) != now)
    finding("a patch that does not give the tile back");
  return 0;
}
