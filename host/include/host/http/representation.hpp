#pragma once
// A body that many answers share (a cached tile): its bytes, a strong validator for
// conditional requests, and a gzip copy made once, the first time a client accepts it.

#include <memory>
#include <string>
#include <string_view>

namespace host::http {

class representation {
 public:
  // Computes the entity tag from the bytes; nothing else is done until asked.
  explicit representation(std::string bytes);

  const std::string& bytes() const { return bytes_; }
  // Quoted strong entity tag of the bytes: 64-bit XXH3, the same in every process and machine.
  const std::string& etag() const { return etag_; }

  // The gzip copy, compressed on first use; empty when compression does not make it smaller.
  // Not synchronised: a representation belongs to one event loop.
  const std::string& gzip() const;
  // The entity tag of the gzip copy (a different representation, so a different tag).
  std::string gzip_etag() const;

 private:
  std::string bytes_;
  std::string etag_;
  mutable std::string gzip_;
  mutable bool compressed_ = false;
};

using shared_representation = std::shared_ptr<const representation>;

// Quoted hexadecimal XXH3-64 of `bytes`, e.g. "\"9f86d081884c7d65\"".
std::string strong_etag(std::string_view bytes);

// `bytes` as a gzip member (RFC 1952), at a level that suits tiles. Throws std::runtime_error
// when the compressor cannot be created.
std::string gzip_compress(std::string_view bytes);

}  // namespace host::http
