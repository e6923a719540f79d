#include "host/metrics/shared_metrics.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>

namespace host::metrics {
namespace {
constexpr std::uint64_t MAGIC = 0x6d61707376636d32;  // "mapsvcm2"
constexpr std::size_t LINE = 64;

std::size_t whole_lines(std::size_t bytes) { return (bytes + LINE - 1) / LINE * LINE; }
}  // namespace

shared_region::shared_region(registry families, std::size_t workers)
    : families_(std::move(families)),
      block_bytes_(whole_lines(std::max<std::size_t>(1, families_.cells()) * sizeof(cell))),
      workers_(std::max<std::size_t>(1, workers)) {
  size_ = whole_lines(sizeof(region_header)) + workers_ * block_bytes_;
  base_ = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (base_ == MAP_FAILED) {
    base_ = nullptr;
    throw std::system_error(errno, std::generic_category(), "cannot map the metrics region");
  }
  // The mapping is zeroed: the cells need only be begun as objects.
  new (base_) region_header{MAGIC, workers_, {}};
  for (std::size_t w = 0; w < workers_; ++w)
    for (std::size_t c = 0; c < families_.cells(); ++c) new (block(w) + c) cell(0);
}

shared_region::~shared_region() {
  if (base_) ::munmap(base_, size_);
}

cell* shared_region::block(std::size_t index) const {
  return reinterpret_cast<cell*>(static_cast<char*>(base_) + whole_lines(sizeof(region_header)) +
                                 std::min(index, workers_ - 1) * block_bytes_);
}

}  // namespace host::metrics
