#include "resume_state.hpp"

#include <charconv>
#include <sstream>

#include <fmt/format.h>

namespace mapsvc::tiles {
namespace {

constexpr std::string_view MAGIC = "mapsvc-tiles seed state 1";
constexpr std::string_view JOURNAL_MAGIC = "mapsvc-tiles seed journal";

std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    const auto nl = text.find('\n');
    if (nl == std::string_view::npos) {
      out.push_back(text);  // no newline: cut short
      break;
    }
    out.push_back(text.substr(0, nl + 1));
    text.remove_prefix(nl + 1);
  }
  return out;
}

std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\n')) ++i;
    const auto start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\n') ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

template <typename T>
bool read_number(std::string_view text, T& out) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

template <typename T>
T number_or_throw(std::string_view text) {
  T v{};
  if (!read_number(text, v)) throw state_error(fmt::format("not a number: '{}'", text));
  return v;
}

std::optional<walk_tile> tile_of(const std::vector<std::string_view>& w, std::size_t at) {
  walk_tile t{};
  if (w.size() < at + 4 || !read_number(w[at], t.layer) || !read_number(w[at + 1], t.z) ||
      !read_number(w[at + 2], t.x) || !read_number(w[at + 3], t.y))
    return std::nullopt;
  return t;
}

}  // namespace

std::string write_snapshot(const seed_state& s) {
  std::string out = fmt::format("{}\nsignature {}\nepoch {}\ncursor {} {}\ndone {} {}\ncounts {} {} {} {} {}\ncomplete {}\n",
                                MAGIC, s.signature, s.epoch, s.cursor.layer, s.cursor.top, s.done, s.skipped,
                                s.counts.stored, s.counts.empty, s.counts.overtaken, s.counts.failed, s.counts.bytes,
                                s.complete ? 1 : 0);
  // Round-trip precision: a resumed run must see exactly the same tiles.
  for (const auto& a : s.areas) out += fmt::format("area {} {} {} {}\n", a.minx, a.miny, a.maxx, a.maxy);
  for (const auto& t : s.pending) out += fmt::format("pending {} {} {} {}\n", t.layer, t.z, t.x, t.y);
  out += "end\n";
  return out;
}

seed_state read_snapshot(std::string_view text) {
  const auto lines = lines_of(text);
  if (lines.empty() || words(lines.front()) != words(MAGIC)) throw state_error("not a seed state file");
  if (lines.back() != "end\n") throw state_error("the state file is cut short");
  seed_state s;
  bool signature = false;
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    const auto line = lines[i];
    const auto w = words(line);
    if (w.empty()) throw state_error("an empty line in the state file");
    const auto key = w[0];
    const auto need = [&](std::size_t n) {
      if (w.size() != n + 1) throw state_error(fmt::format("malformed '{}' line in the state file", key));
    };
    if (key == "signature") {
      // The rest of the line, spaces included.
      s.signature = std::string(line.substr(10, line.size() - 11));
      signature = true;
    } else if (key == "epoch") {
      need(1);
      s.epoch = number_or_throw<std::uint64_t>(w[1]);
    } else if (key == "cursor") {
      need(2);
      s.cursor = {number_or_throw<std::uint32_t>(w[1]), number_or_throw<std::uint64_t>(w[2])};
    } else if (key == "done") {
      need(2);
      s.done = number_or_throw<std::uint64_t>(w[1]);
      s.skipped = number_or_throw<std::uint64_t>(w[2]);
    } else if (key == "counts") {
      need(5);
      s.counts = {number_or_throw<std::uint64_t>(w[1]), number_or_throw<std::uint64_t>(w[2]),
                  number_or_throw<std::uint64_t>(w[3]), number_or_throw<std::uint64_t>(w[4]),
                  number_or_throw<std::uint64_t>(w[5])};
    } else if (key == "complete") {
      need(1);
      s.complete = w[1] == "1";
    } else if (key == "area") {
      need(4);
      s.areas.push_back({number_or_throw<double>(w[1]), number_or_throw<double>(w[2]), number_or_throw<double>(w[3]),
                         number_or_throw<double>(w[4])});
    } else if (key == "pending") {
      need(4);
      const auto t = tile_of(w, 1);
      if (!t) throw state_error("malformed 'pending' line in the state file");
      s.pending.push_back(*t);
    } else {
      throw state_error(fmt::format("unknown line '{}' in the state file", key));
    }
  }
  if (!signature) throw state_error("the state file names no options");
  return s;
}

std::string journal_head(std::uint64_t epoch) { return fmt::format("{} {}\n", JOURNAL_MAGIC, epoch); }

std::string journal_took(std::uint32_t layer, std::uint64_t top) { return fmt::format("t {} {}\n", layer, top); }

std::string journal_done(const walk_tile& t, tile_outcome outcome, std::uint64_t bytes) {
  return fmt::format("d {} {} {} {} {} {}\n", t.layer, t.z, t.x, t.y, static_cast<char>(outcome), bytes);
}

void count(seed_counts& c, tile_outcome outcome, std::uint64_t bytes) {
  switch (outcome) {
    case tile_outcome::stored: ++c.stored; break;
    case tile_outcome::empty: ++c.empty; break;
    case tile_outcome::overtaken: ++c.overtaken; break;
    case tile_outcome::failed: ++c.failed; break;
  }
  c.bytes += bytes;
}

std::size_t replay_journal(std::string_view journal, std::uint64_t epoch, seed_walk& walk, seed_counts& counts) {
  const auto lines = lines_of(journal);
  if (lines.empty() || lines.front() != journal_head(epoch)) return 0;
  std::size_t applied = 0;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto line = lines[i];
    if (line.back() != '\n') break;
    const auto w = words(line);
    if (w.size() == 3 && w[0] == "t") {
      std::uint32_t layer = 0;
      std::uint64_t top = 0;
      if (!read_number(w[1], layer) || !read_number(w[2], top)) break;
      try {
        walk.took_top(layer, top);
      } catch (const std::out_of_range&) {
        break;
      }
    } else if (w.size() == 7 && w[0] == "d" && w[5].size() == 1) {
      const auto t = tile_of(w, 1);
      std::uint64_t bytes = 0;
      const char o = w[5][0];
      if (!t || !read_number(w[6], bytes) || (o != 's' && o != 'e' && o != 'o' && o != 'f')) break;
      const auto outcome = static_cast<tile_outcome>(o);
      if (!walk.complete(*t, outcome == tile_outcome::empty)) break;
      count(counts, outcome, bytes);
    } else {
      break;
    }
    ++applied;
  }
  return applied;
}

}  // namespace mapsvc::tiles
