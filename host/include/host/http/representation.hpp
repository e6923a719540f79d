#pragma once
// A body that many answers share (a cached tile): its bytes, a strong validator for
// conditional requests, and a gzip copy made once, the first time a client accepts it.
//
// A large body meant to be sent many times can live in an in-memory file instead of the
// heap: the bytes are read through a read-only mapping of it, and the server hands the file
// to the kernel to send (no copy through user space, as a static file server does).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace host::http {

// Bytes of an open file: what `sendfile` needs.
struct file_range {
  int fd = -1;
  std::uint64_t offset = 0;
  std::size_t size = 0;
};

class representation {
 public:
  // Computes the entity tag from the bytes; nothing else is done until asked.
  explicit representation(std::string bytes);
  ~representation();
  representation(const representation&) = delete;
  representation& operator=(const representation&) = delete;

  // For a body that will be sent many times: one of `file_threshold` bytes or more goes into
  // an in-memory file (while the process has file descriptors to spare for it), any other
  // stays on the heap as the constructor keeps it.
  static std::shared_ptr<const representation> shared(std::string bytes);
  static constexpr std::size_t file_threshold = 8 * 1024;

  std::string_view bytes() const { return bytes_; }
  // Memory the bytes take: in a file, whole pages, and one more for the end of a gzip copy.
  std::size_t footprint() const;
  // Quoted strong entity tag of the bytes: 64-bit XXH3, the same in every process and machine.
  std::string_view etag() const { return std::string_view(etags_).substr(0, etag_size_); }

  // The gzip copy, compressed on first use; empty when compression does not make it smaller.
  // Not synchronised: a representation belongs to one event loop.
  std::string_view gzip() const;
  // The entity tag of the gzip copy (a different representation, so a different tag).
  std::string_view gzip_etag() const { return std::string_view(etags_).substr(etag_size_); }

  // Where the kernel can send the bytes (or the gzip copy) from, for a body kept in a file.
  std::optional<file_range> file(bool gzip) const;

 private:
  struct in_file;
  representation(std::string_view etag, std::unique_ptr<in_file> file);

  std::string heap_;       // the bytes, unless they live in the file
  std::string_view bytes_;  // into heap_ or the file's mapping
  // Both tags in one string: the bytes' tag, then the gzip copy's.
  std::string etags_;
  std::size_t etag_size_;
  mutable std::string gzip_heap_;
  mutable std::string_view gzip_;
  mutable bool compressed_ = false;
  std::unique_ptr<in_file> file_;
};

using shared_representation = std::shared_ptr<const representation>;

// Quoted hexadecimal XXH3-64 of `bytes`, e.g. "\"9f86d081884c7d65\"".
std::string strong_etag(std::string_view bytes);

// `bytes` as a gzip member (RFC 1952), at a level that suits tiles. Throws std::runtime_error
// when the compressor cannot be created.
std::string gzip_compress(std::string_view bytes);

}  // namespace host::http
