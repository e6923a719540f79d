#pragma once

// Page-sized pixel memory kept per thread. A plan's picture takes some 20 MB; glibc hands blocks
// that size out as fresh mappings, so a new buffer per plan pays a page fault for every 4 KB
// before the first pixel is drawn. Each thread keeps its last buffer for its next plan instead.

#include <cstddef>
#include <memory>

namespace printsvc::plots::detail {

class pixel_buffer {
 public:
  /// At least `bytes` of memory, uninitialised: the spare buffer of the calling thread when it is
  /// large enough, otherwise a new one.
  static pixel_buffer take(std::size_t bytes);

  pixel_buffer() = default;
  pixel_buffer(pixel_buffer&&) noexcept = default;
  pixel_buffer& operator=(pixel_buffer&& other) noexcept;
  ~pixel_buffer();  // hands the memory back as the spare of the thread that releases it

  unsigned char* data() const { return data_.get(); }
  std::size_t size() const { return size_; }

 private:
  void give_back() noexcept;

  std::unique_ptr<unsigned char[]> data_;
  std::size_t size_ = 0;
};

}  // namespace printsvc::plots::detail
