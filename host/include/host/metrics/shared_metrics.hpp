#pragma once
// Service metrics that every worker process writes and any of them reads.
//
// One memory region, shared by all the workers because it is mapped before they are forked,
// holds a block of cells per worker, laid out by the registry of families. A worker writes
// only its own block, without locks (each value has one writer); a scrape, in whichever worker
// it arrives, sums the blocks of all workers. A worker that is replaced takes over its
// predecessor's block, so counters never go back.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/metrics/registry.hpp"

namespace host::metrics {

struct region_header {
  std::uint64_t magic;
  std::uint64_t workers;
  cell worker_restarts;  // written by the supervisor alone
};

// The shared mapping: the header, then one block per worker. Create it before forking, once
// every family is declared.
class shared_region {
 public:
  // Maps a zeroed anonymous shared region for `workers` blocks of `families`' cells. Throws
  // std::system_error.
  shared_region(registry families, std::size_t workers);
  ~shared_region();
  shared_region(const shared_region&) = delete;
  shared_region& operator=(const shared_region&) = delete;

  std::size_t workers() const { return workers_; }
  const registry& families() const { return families_; }
  region_header& header() const { return *static_cast<region_header*>(base_); }
  // The cells of worker `index` (the last worker's for an index beyond).
  cell* block(std::size_t index) const;

 private:
  registry families_;
  void* base_ = nullptr;
  std::size_t size_ = 0;
  std::size_t block_bytes_ = 0;
  std::size_t workers_ = 0;
};

// Values of the labels named at scrape time, by label name. A slot beyond the values given
// is left out.
using late_label_values = std::vector<std::pair<std::string, std::vector<std::string>>>;

// The text exposition (version 0.0.4) of the sum over every worker's block: the families in
// the order declared, then the supervisor's own figures.
std::string scrape(const shared_region& region, const late_label_values& named_now = {});

}  // namespace host::metrics
