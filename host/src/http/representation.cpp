#include "host/http/representation.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <libdeflate.h>
#include <xxhash.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace host::http {
namespace {

// Level 6 compresses vector tiles to about half in roughly a millisecond for 80 KB; higher
// levels gain a few per cent for several times the time.
constexpr int gzip_level = 6;

struct compressor_deleter {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

// In-memory files open at once in this process, and how many it may hold: a quarter of its
// descriptor limit, so that connections and database sessions never run short because of them.
std::atomic<long> files_open{0};

long file_budget() {
  static const long budget = [] {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 4096L;
    return static_cast<long>(limit.rlim_cur / 4);
  }();
  return budget;
}

bool write_all(int fd, std::string_view bytes, std::uint64_t offset) {
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

// A read-only view of `size` bytes of `fd` from `offset` (a multiple of the page size).
void* map_view(int fd, std::uint64_t offset, std::size_t size) {
  void* view = ::mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, static_cast<off_t>(offset));
  return view == MAP_FAILED ? nullptr : view;
}

}  // namespace

// The file behind a large representation: the bytes from offset 0, the gzip copy (once made)
// from the next page boundary, each mapped read-only. Pages the kernel is still sending stay
// alive after the file is closed and unmapped, so dropping a representation mid-send is safe.
struct representation::in_file {
  int fd = -1;
  void* bytes_view = nullptr;
  std::size_t bytes_size = 0;
  void* gzip_view = nullptr;
  std::size_t gzip_size = 0;
  std::uint64_t gzip_offset = 0;

  ~in_file() {
    if (gzip_view) ::munmap(gzip_view, gzip_size);
    if (bytes_view) ::munmap(bytes_view, bytes_size);
    if (fd >= 0) {
      ::close(fd);
      files_open.fetch_sub(1, std::memory_order_relaxed);
    }
  }

  // A file holding `bytes`, or nothing when the budget is spent or the system refuses.
  static std::unique_ptr<in_file> make(std::string_view bytes) {
    if (files_open.fetch_add(1, std::memory_order_relaxed) >= file_budget()) {
      files_open.fetch_sub(1, std::memory_order_relaxed);
      return nullptr;
    }
    auto file = std::make_unique<in_file>();
    file->fd = ::memfd_create("tile", MFD_CLOEXEC);
    if (file->fd < 0) {
      files_open.fetch_sub(1, std::memory_order_relaxed);
      return nullptr;
    }
    if (!write_all(file->fd, bytes, 0)) return nullptr;
    file->bytes_view = map_view(file->fd, 0, bytes.size());
    if (!file->bytes_view) return nullptr;
    file->bytes_size = bytes.size();
    return file;
  }

  // Appends the gzip copy; its view, or nothing when it cannot be written.
  std::optional<std::string_view> add_gzip(std::string_view gzip) {
    const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t offset = (bytes_size + page - 1) / page * page;
    if (!write_all(fd, gzip, offset)) return std::nullopt;
    void* view = map_view(fd, offset, gzip.size());
    if (!view) return std::nullopt;
    gzip_view = view;
    gzip_size = gzip.size();
    gzip_offset = offset;
    return std::string_view(static_cast<const char*>(view), gzip.size());
  }
};

std::string strong_etag(std::string_view bytes) {
  char text[20];
  std::snprintf(text, sizeof text, "\"%016llx\"", static_cast<unsigned long long>(XXH3_64bits(bytes.data(), bytes.size())));
  return text;
}

std::string gzip_compress(std::string_view bytes) {
  // One compressor per thread: it holds some hundreds of kilobytes of tables.
  thread_local const std::unique_ptr<libdeflate_compressor, compressor_deleter> compressor(
      libdeflate_alloc_compressor(gzip_level));
  if (!compressor) throw std::runtime_error("gzip compressor could not be created");
  std::string out(libdeflate_gzip_compress_bound(compressor.get(), bytes.size()), '\0');
  const std::size_t n = libdeflate_gzip_compress(compressor.get(), bytes.data(), bytes.size(), out.data(), out.size());
  out.resize(n);
  return out;
}

namespace {
// "9f86d081884c7d65" -> "9f86d081884c7d65""9f86d081884c7d65-gzip": the gzip copy is a
// different representation, so it has a different tag.
std::string both_tags(std::string_view etag) {
  std::string out;
  out.reserve(2 * etag.size() + 5);
  out.append(etag).append(etag.substr(0, etag.size() - 1)).append("-gzip\"");
  return out;
}
std::size_t etag_size_of(std::string_view both) { return (both.size() - 5) / 2; }
}  // namespace

representation::representation(std::string bytes)
    : heap_(std::move(bytes)), bytes_(heap_), etags_(both_tags(strong_etag(bytes_))),
      etag_size_(etag_size_of(etags_)) {}

representation::representation(std::string_view etag, std::unique_ptr<in_file> file)
    : bytes_(static_cast<const char*>(file->bytes_view), file->bytes_size),
      etags_(both_tags(etag)),
      etag_size_(etag_size_of(etags_)),
      file_(std::move(file)) {}

representation::~representation() = default;

std::shared_ptr<const representation> representation::shared(std::string bytes) {
  if (bytes.size() >= file_threshold) {
    if (auto file = in_file::make(bytes))
      return std::shared_ptr<const representation>(new representation(strong_etag(bytes), std::move(file)));
  }
  return std::make_shared<const representation>(std::move(bytes));
}

std::string_view representation::gzip() const {
  if (!compressed_) {
    compressed_ = true;
    gzip_heap_ = gzip_compress(bytes_);
    if (gzip_heap_.size() >= bytes_.size()) gzip_heap_.clear();
    if (file_ && gzip_heap_.size() >= file_threshold) {
      if (const auto view = file_->add_gzip(gzip_heap_)) {
        gzip_ = *view;
        std::string().swap(gzip_heap_);
        return gzip_;
      }
    }
    gzip_heap_.shrink_to_fit();
    gzip_ = gzip_heap_;
  }
  return gzip_;
}

std::size_t representation::footprint() const {
  if (!file_) return bytes_.size();
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return (bytes_.size() + page - 1) / page * page + page;
}

std::optional<file_range> representation::file(bool gzip) const {
  if (!file_) return std::nullopt;
  if (!gzip) return file_range{file_->fd, 0, bytes_.size()};
  this->gzip();
  if (!file_->gzip_view) return std::nullopt;
  return file_range{file_->fd, file_->gzip_offset, file_->gzip_size};
}

}  // namespace host::http
