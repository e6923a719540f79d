#include "pixel_buffer.hpp"

#include <utility>

namespace printsvc::plots::detail {

namespace {

// An ordinary page with labels standing out of it takes 20 to 30 MB; pictures enlarged by
// labels far outside a small bounding box reach about 55 MB and are not kept, so that a
// renderer thread holds at most this much between plans.
constexpr std::size_t max_spare_bytes = 40u << 20;

struct spare {
  std::unique_ptr<unsigned char[]> data;
  std::size_t size = 0;
};

spare& thread_spare() {
  thread_local spare s;
  return s;
}

}  // namespace

pixel_buffer pixel_buffer::take(std::size_t bytes) {
  pixel_buffer out;
  spare& s = thread_spare();
  if (s.data && s.size >= bytes) {
    out.data_ = std::move(s.data);
    out.size_ = std::exchange(s.size, 0);
    return out;
  }
  // A spare too small is dropped: the new buffer becomes the spare once released.
  s = {};
  out.data_.reset(new unsigned char[bytes]);
  out.size_ = bytes;
  return out;
}

pixel_buffer& pixel_buffer::operator=(pixel_buffer&& other) noexcept {
  if (this != &other) {
    give_back();
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

pixel_buffer::~pixel_buffer() { give_back(); }

void pixel_buffer::give_back() noexcept {
  if (!data_) return;
  spare& s = thread_spare();
  if (size_ <= max_spare_bytes && size_ > s.size) {
    s.data = std::move(data_);
    s.size = size_;
  }
  data_.reset();
  size_ = 0;
}

}  // namespace printsvc::plots::detail
