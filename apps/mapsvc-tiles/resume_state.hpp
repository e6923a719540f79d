#pragma once
// The record of a seed run that lets it continue after an interruption or a kill.
//
// Two files: STATE, a snapshot replaced atomically (written aside, then renamed) every few
// seconds and at exit, and STATE.journal, to which every tile taken from a first zoom and
// every tile done is appended as it happens. The journal names the snapshot it follows
// (its epoch); one that follows an older snapshot is ignored. So a run killed at any moment
// leaves the last snapshot plus the tiles done since, and only the tiles in flight are built
// again.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "mapsvc/tile_gateway/change_plan.hpp"
#include "walk.hpp"

namespace mapsvc::tiles {

struct state_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct seed_counts {
  std::uint64_t stored = 0, empty = 0, overtaken = 0, failed = 0, bytes = 0;
  friend bool operator==(const seed_counts&, const seed_counts&) = default;
};

enum class tile_outcome : char { stored = 's', empty = 'e', overtaken = 'o', failed = 'f' };

struct seed_state {
  std::string signature;  // walk_signature of the options
  std::vector<tile_gateway::mercator_box> areas;  // per layer, as resolved when the run began
  std::uint64_t epoch = 0;
  walk_cursor cursor;
  std::vector<walk_tile> pending;
  std::uint64_t done = 0, skipped = 0;
  seed_counts counts;
  bool complete = false;
};

std::string write_snapshot(const seed_state& s);
// Throws state_error for anything but a whole snapshot as write_snapshot writes it.
seed_state read_snapshot(std::string_view text);

// Journal lines (each ends in a newline, and is written with one call).
std::string journal_head(std::uint64_t epoch);
std::string journal_took(std::uint32_t layer, std::uint64_t top);
std::string journal_done(const walk_tile& tile, tile_outcome outcome, std::uint64_t bytes);

// Counts `outcome` of a tile of `bytes` into `counts`.
void count(seed_counts& counts, tile_outcome outcome, std::uint64_t bytes);

// Applies the journal to a walk restored from the snapshot of `epoch`, and to its counts.
// A journal of another epoch is ignored; a cut or unreadable last line (a write the process
// did not finish) ends it. Returns the number of lines applied.
std::size_t replay_journal(std::string_view journal, std::uint64_t epoch, seed_walk& walk, seed_counts& counts);

}  // namespace mapsvc::tiles
