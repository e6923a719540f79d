#include "walk.hpp"

#include <algorithm>
#include <stdexcept>

namespace mapsvc::tiles {
namespace {

std::int64_t overlap(std::int64_t a0, std::int64_t a1, std::int64_t b0, std::int64_t b1) {
  return std::max<std::int64_t>(0, std::min(a1, b1) - std::max(a0, b0) + 1);
}

}  // namespace

seed_walk::seed_walk(std::vector<walk_layer> layers, int min_zoom, int max_zoom)
    : layers_(std::move(layers)), max_zoom_(max_zoom) {
  for (auto& layer : layers_) {
    layer.first_zoom = std::max(layer.first_zoom, min_zoom);
    std::vector<tile_gateway::tile_span> spans;
    for (int z = layer.first_zoom; z <= max_zoom; ++z) {
      spans.push_back(tile_gateway::tiles_meeting(layer.area, z));
      total_ += spans.back().count();
    }
    spans_.push_back(std::move(spans));
  }
  skip_exhausted_layers();
}

const tile_gateway::tile_span& seed_walk::span(std::uint32_t layer, int z) const {
  return spans_[layer][static_cast<std::size_t>(z - layers_[layer].first_zoom)];
}

std::uint64_t seed_walk::total_of(std::uint32_t layer) const {
  std::uint64_t n = 0;
  for (const auto& s : spans_.at(layer)) n += s.count();
  return n;
}

walk_tile seed_walk::top_tile(std::uint32_t layer, std::uint64_t top) const {
  const auto& s = span(layer, layers_[layer].first_zoom);
  const auto width = static_cast<std::uint64_t>(s.x1 - s.x0 + 1);
  return {layer, s.z, s.x0 + static_cast<std::int64_t>(top % width), s.y0 + static_cast<std::int64_t>(top / width)};
}

bool seed_walk::exhausted() const { return cursor_.layer >= layers_.size(); }

void seed_walk::skip_exhausted_layers() {
  while (!exhausted()) {
    const auto& tops = spans_[cursor_.layer];
    if (!tops.empty() && cursor_.top < tops.front().count()) return;
    ++cursor_.layer;
    cursor_.top = 0;
  }
}

std::optional<seed_walk::taken> seed_walk::next() {
  if (!ready_.empty()) {
    const auto tile = ready_.back();
    ready_.pop_back();
    in_flight_.push_back(tile);
    return taken{tile, std::nullopt};
  }
  if (exhausted()) return std::nullopt;
  const auto index = cursor_.top;
  const auto tile = top_tile(cursor_.layer, index);
  ++cursor_.top;
  skip_exhausted_layers();
  in_flight_.push_back(tile);
  return taken{tile, index};
}

void seed_walk::took_top(std::uint32_t layer, std::uint64_t top) {
  if (layer >= layers_.size() || spans_[layer].empty() || top >= spans_[layer].front().count())
    throw std::out_of_range("no such tile of the first zoom");
  ready_.push_back(top_tile(layer, top));
  cursor_ = {layer, top + 1};
  skip_exhausted_layers();
}

std::uint64_t seed_walk::descendants(const walk_tile& t) const {
  std::uint64_t n = 0;
  for (int z = t.z + 1; z <= max_zoom_; ++z) {
    const int k = z - t.z;
    const auto& s = span(t.layer, z);
    n += static_cast<std::uint64_t>(overlap(t.x << k, ((t.x + 1) << k) - 1, s.x0, s.x1) *
                                    overlap(t.y << k, ((t.y + 1) << k) - 1, s.y0, s.y1));
  }
  return n;
}

bool seed_walk::complete(const walk_tile& tile, bool empty) {
  auto at = std::find(in_flight_.begin(), in_flight_.end(), tile);
  if (at != in_flight_.end()) {
    in_flight_.erase(at);
  } else {
    at = std::find(ready_.begin(), ready_.end(), tile);
    if (at == ready_.end()) return false;
    ready_.erase(at);
  }
  ++done_;
  if (empty) {
    const auto below = descendants(tile);
    done_ += below;
    skipped_ += below;
    return true;
  }
  if (tile.z >= max_zoom_) return true;
  const auto& s = span(tile.layer, tile.z + 1);
  // Pushed last to first, so that the first child is built next.
  for (int i = 3; i >= 0; --i) {
    const std::int64_t x = 2 * tile.x + (i & 1), y = 2 * tile.y + (i >> 1);
    if (x >= s.x0 && x <= s.x1 && y >= s.y0 && y <= s.y1) ready_.push_back({tile.layer, tile.z + 1, x, y});
  }
  return true;
}

std::vector<walk_tile> seed_walk::pending() const {
  std::vector<walk_tile> out = ready_;
  // In flight last: on a restore they are the first taken again.
  out.insert(out.end(), in_flight_.begin(), in_flight_.end());
  return out;
}

void seed_walk::restore(walk_cursor cursor, std::vector<walk_tile> pending, std::uint64_t done, std::uint64_t skipped) {
  for (const auto& t : pending)
    if (t.layer >= layers_.size() || t.z < layers_[t.layer].first_zoom || t.z > max_zoom_)
      throw std::out_of_range("a pending tile outside the walk");
  cursor_ = cursor;
  skip_exhausted_layers();
  ready_ = std::move(pending);
  in_flight_.clear();
  done_ = done;
  skipped_ = skipped;
}

}  // namespace mapsvc::tiles
