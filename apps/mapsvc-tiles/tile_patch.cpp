#include "tile_patch.hpp"

#include "mvt_patch.hpp"

#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>

namespace mapsvc::tiles {
namespace {

constexpr unsigned char ZSTD_MAGIC[] = {0x28, 0xb5, 0x2f, 0xfd};
// Patches are small and made once per changed tile: a level that finds long matches well.
constexpr int PATCH_LEVEL = 19;
// What a patch holds once decompressed: its first byte says which.
constexpr char BODY_TILE = 0, BODY_SCRIPT = 1;

struct cctx_free {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct dctx_free {
  void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

// The window must reach back over the whole dictionary to the start of the old tile (zstd
// takes windows of 2^10 to 2^30 bytes on every platform).
int window_log_for(std::size_t reach) {
  int log = 10;
  while (log < 30 && (std::size_t{1} << log) < reach) ++log;
  return log;
}

void check(std::size_t rc, const char* what) {
  if (ZSTD_isError(rc)) throw std::runtime_error(std::string(what) + ": " + ZSTD_getErrorName(rc));
}

}  // namespace

bool is_patch(std::string_view bytes) {
  return bytes.size() >= sizeof ZSTD_MAGIC && std::equal(std::begin(ZSTD_MAGIC), std::end(ZSTD_MAGIC),
                                                        reinterpret_cast<const unsigned char*>(bytes.data()));
}

std::string make_patch(std::string_view was, std::string_view now) {
  thread_local std::unique_ptr<ZSTD_CCtx, cctx_free> cctx(ZSTD_createCCtx());
  ZSTD_CCtx* c = cctx.get();
  ZSTD_CCtx_reset(c, ZSTD_reset_session_and_parameters);
  check(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, PATCH_LEVEL), "patch level");
  check(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, window_log_for(was.size() + now.size() + 1)), "patch window");
  check(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1), "patch checksum");
  check(ZSTD_CCtx_refPrefix(c, was.data(), was.size()), "patch base");
  // A script of the tile's changes when it has one, else the tile itself; either is compressed
  // with the old tile as the dictionary.
  std::string body;
  if (auto script = mvt_script(was, now)) {
    body.reserve(script->size() + 1);
    body += BODY_SCRIPT;
    body += *script;
  } else {
    body.reserve(now.size() + 1);
    body += BODY_TILE;
    body += now;
  }
  std::string out(ZSTD_compressBound(body.size()), '\0');
  const auto n = ZSTD_compress2(c, out.data(), out.size(), body.data(), body.size());
  check(n, "making a patch");
  out.resize(n);
  return out;
}

std::string apply_patch(std::string_view was, std::string_view patch, std::size_t max_bytes) {
  const auto size = ZSTD_getFrameContentSize(patch.data(), patch.size());
  if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN || size == 0)
    throw std::runtime_error("a patch of the delta is damaged");
  if (size > max_bytes + 1) throw std::runtime_error("a patch of the delta makes a tile over the size limit");
  thread_local std::unique_ptr<ZSTD_DCtx, dctx_free> dctx(ZSTD_createDCtx());
  ZSTD_DCtx* d = dctx.get();
  ZSTD_DCtx_reset(d, ZSTD_reset_session_and_parameters);
  // Decoding into one buffer allocates no window: the content size checked above bounds memory.
  check(ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax, 30), "patch window");
  check(ZSTD_DCtx_refPrefix(d, was.data(), was.size()), "patch base");
  std::string out(size, '\0');
  const auto n = ZSTD_decompressDCtx(d, out.data(), out.size(), patch.data(), patch.size());
  if (ZSTD_isError(n) || n != size)
    throw std::runtime_error("a patch of the delta does not fit the package's tile (damaged, or made for another)");
  const std::string_view body = std::string_view(out).substr(1);
  if (out.front() == BODY_SCRIPT) return apply_mvt_script(was, body, max_bytes);
  if (out.front() == BODY_TILE) return std::string(body);
  throw std::runtime_error("a patch of the delta is damaged");
}

}  // namespace mapsvc::tiles
