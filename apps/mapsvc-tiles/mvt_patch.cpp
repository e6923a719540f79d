#include "mvt_patch.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <vector>

namespace mapsvc::tiles {
namespace {

// Protocol Buffers' wire format, as far as a vector tile uses it.
constexpr std::uint32_t TILE_LAYER = 3;
constexpr std::uint32_t LAYER_NAME = 1, LAYER_FEATURE = 2, LAYER_KEY = 3, LAYER_VALUE = 4;
constexpr std::uint32_t FEATURE_TAGS = 2;
constexpr int WIRE_VARINT = 0, WIRE_FIXED64 = 1, WIRE_BYTES = 2, WIRE_FIXED32 = 5;

// The script's operations. At the tile's level: a field written as it is, or a layer; within a
// layer: its end, a field written as it is, or a run of the old layer's features, keys or values.
constexpr std::uint64_t TILE_FIELD = 1, LAYER = 2;
constexpr std::uint64_t END = 0, RAW = 1, FEATURES = 2, KEYS = 3, VALUES = 4;

struct damaged : std::runtime_error {
  damaged() : std::runtime_error("a patch of the delta is damaged or made for another tile") {}
};

std::uint64_t read_varint(std::string_view& in) {
  std::uint64_t value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (in.empty()) throw damaged();
    const auto byte = static_cast<unsigned char>(in.front());
    in.remove_prefix(1);
    value |= std::uint64_t{byte & 0x7fu} << shift;
    if (!(byte & 0x80)) return value;
  }
  throw damaged();
}

void write_varint(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out += static_cast<char>((value & 0x7f) | 0x80);
    value >>= 7;
  }
  out += static_cast<char>(value);
}

std::string_view take(std::string_view& in, std::uint64_t n) {
  if (n > in.size()) throw damaged();
  const auto out = in.substr(0, n);
  in.remove_prefix(n);
  return out;
}

struct field {
  std::uint32_t tag = 0;
  int wire = 0;
  std::string_view whole;    // key, length and payload, as written
  std::string_view payload;  // of a length-delimited field; empty for the others
};

std::vector<field> fields_of(std::string_view message) {
  std::vector<field> out;
  while (!message.empty()) {
    const auto start = message;
    const auto key = read_varint(message);
    field f;
    f.tag = static_cast<std::uint32_t>(key >> 3);
    f.wire = static_cast<int>(key & 7);
    switch (f.wire) {
      case WIRE_VARINT: read_varint(message); break;
      case WIRE_FIXED64: take(message, 8); break;
      case WIRE_FIXED32: take(message, 4); break;
      case WIRE_BYTES: f.payload = take(message, read_varint(message)); break;
      default: throw damaged();
    }
    f.whole = start.substr(0, start.size() - message.size());
    out.push_back(f);
  }
  return out;
}

void write_bytes_field(std::string& out, std::uint32_t tag, std::string_view payload) {
  write_varint(out, (std::uint64_t{tag} << 3) | WIRE_BYTES);
  write_varint(out, payload.size());
  out += payload;
}

struct layer_view {
  std::string_view name;
  std::vector<field> fields;
  std::vector<std::string_view> features, keys, values;  // payloads, in order
};

layer_view layer_of(std::string_view payload) {
  layer_view l;
  l.fields = fields_of(payload);
  for (const auto& f : l.fields) {
    if (f.wire != WIRE_BYTES) continue;
    if (f.tag == LAYER_NAME) l.name = f.payload;
    else if (f.tag == LAYER_FEATURE) l.features.push_back(f.payload);
    else if (f.tag == LAYER_KEY) l.keys.push_back(f.payload);
    else if (f.tag == LAYER_VALUE) l.values.push_back(f.payload);
  }
  return l;
}

std::vector<layer_view> layers_of(const std::vector<field>& tile) {
  std::vector<layer_view> out;
  for (const auto& f : tile)
    if (f.tag == TILE_LAYER && f.wire == WIRE_BYTES) out.push_back(layer_of(f.payload));
  return out;
}

// Index of each distinct entry of a table (its first place).
std::unordered_map<std::string_view, std::uint32_t> places_of(const std::vector<std::string_view>& table) {
  std::unordered_map<std::string_view, std::uint32_t> out;
  for (std::uint32_t i = 0; i < table.size(); ++i) out.emplace(table[i], i);
  return out;
}

// How an old layer's key and value indexes read in a new layer's tables.
struct renumbering {
  const layer_view& was;
  std::unordered_map<std::string_view, std::uint32_t> keys, values;  // new places

  std::uint32_t key(std::uint64_t old) const { return place(keys, was.keys, old); }
  std::uint32_t value(std::uint64_t old) const { return place(values, was.values, old); }

  static std::uint32_t place(const std::unordered_map<std::string_view, std::uint32_t>& now,
                             const std::vector<std::string_view>& table, std::uint64_t old) {
    if (old >= table.size()) throw damaged();
    const auto found = now.find(table[old]);
    if (found == now.end()) throw damaged();
    return found->second;
  }
};

// An old feature as the new layer writes it: its fields as they were, the tags renumbered.
void write_renumbered_feature(std::string& out, std::string_view feature, const renumbering& r) {
  std::string body;
  body.reserve(feature.size() + 8);
  for (const auto& f : fields_of(feature)) {
    if (f.tag != FEATURE_TAGS || f.wire != WIRE_BYTES) {
      body += f.whole;
      continue;
    }
    std::string tags;
    auto packed = f.payload;
    for (bool is_key = true; !packed.empty(); is_key = !is_key) {
      const auto old = read_varint(packed);
      write_varint(tags, is_key ? r.key(old) : r.value(old));
    }
    write_bytes_field(body, FEATURE_TAGS, tags);
  }
  write_bytes_field(out, LAYER_FEATURE, body);
}

// ---- applying

struct piece {
  std::uint64_t kind;  // RAW, FEATURES, KEYS or VALUES (one entry of the old layer)
  std::string_view raw;
  std::uint64_t index = 0;
};

struct too_large : std::runtime_error {
  too_large() : std::runtime_error("a patch of the delta makes a tile over the size limit") {}
};

std::string apply_layer(const layer_view* was, std::string_view& script, std::size_t max_bytes) {
  static const layer_view none;
  const layer_view& old = was ? *was : none;
  std::vector<piece> pieces;
  std::vector<std::string_view> keys, values;
  for (;;) {
    const auto kind = read_varint(script);
    if (kind == END) break;
    if (kind == RAW) {
      const auto raw = take(script, read_varint(script));
      const auto parsed = fields_of(raw);
      if (parsed.size() != 1) throw damaged();
      if (parsed[0].wire == WIRE_BYTES && parsed[0].tag == LAYER_KEY) keys.push_back(parsed[0].payload);
      if (parsed[0].wire == WIRE_BYTES && parsed[0].tag == LAYER_VALUE) values.push_back(parsed[0].payload);
      pieces.push_back({RAW, raw});
      continue;
    }
    const std::vector<std::string_view>* table = kind == FEATURES ? &old.features
                                                 : kind == KEYS   ? &old.keys
                                                 : kind == VALUES ? &old.values
                                                                  : nullptr;
    if (!table) throw damaged();
    const auto start = read_varint(script), count = read_varint(script);
    if (start > table->size() || count > table->size() - start) throw damaged();
    for (auto i = start; i < start + count; ++i) {
      pieces.push_back({kind, {}, i});
      if (kind == KEYS) keys.push_back(old.keys[i]);
      if (kind == VALUES) values.push_back(old.values[i]);
    }
  }
  const renumbering r{old, places_of(keys), places_of(values)};
  std::string out;
  for (const auto& p : pieces) {
    switch (p.kind) {
      case RAW: out += p.raw; break;
      case FEATURES: write_renumbered_feature(out, old.features[p.index], r); break;
      case KEYS: write_bytes_field(out, LAYER_KEY, old.keys[p.index]); break;
      case VALUES: write_bytes_field(out, LAYER_VALUE, old.values[p.index]); break;
    }
    if (out.size() > max_bytes) throw too_large();
  }
  return out;
}

// ---- making

// A feature as what it says: its fields, with tags spelt out as key and value bytes.
std::string meaning_of(std::string_view feature, const layer_view& l) {
  std::string out;
  for (const auto& f : fields_of(feature)) {
    if (f.tag != FEATURE_TAGS || f.wire != WIRE_BYTES) {
      write_varint(out, f.whole.size());
      out += f.whole;
      continue;
    }
    out += '\xff';
    auto packed = f.payload;
    for (bool is_key = true; !packed.empty(); is_key = !is_key) {
      const auto i = read_varint(packed);
      const auto& table = is_key ? l.keys : l.values;
      if (i >= table.size()) throw damaged();
      write_varint(out, table[i].size());
      out += table[i];
    }
  }
  return out;
}

// Runs of consecutive old entries, written as one operation each.
class run_writer {
 public:
  explicit run_writer(std::string& out) : out_(out) {}
  void entry(std::uint64_t kind, std::uint64_t index) {
    if (count_ > 0 && kind == kind_ && index == start_ + count_) {
      ++count_;
      return;
    }
    flush();
    kind_ = kind;
    start_ = index;
    count_ = 1;
  }
  void raw(std::string_view whole) {
    flush();
    write_varint(out_, RAW);
    write_varint(out_, whole.size());
    out_ += whole;
  }
  void flush() {
    if (count_ == 0) return;
    write_varint(out_, kind_);
    write_varint(out_, start_);
    write_varint(out_, count_);
    count_ = 0;
  }

 private:
  std::string& out_;
  std::uint64_t kind_ = 0, start_ = 0, count_ = 0;
};

void script_layer(std::string& out, const layer_view* was, const layer_view& now) {
  static const layer_view none;
  const layer_view& old = was ? *was : none;
  const auto old_keys = places_of(old.keys), old_values = places_of(old.values);
  const renumbering r{old, places_of(now.keys), places_of(now.values)};
  std::unordered_map<std::string, std::uint32_t> old_features;
  for (std::uint32_t i = 0; i < old.features.size(); ++i) old_features.emplace(meaning_of(old.features[i], old), i);

  run_writer runs(out);
  std::uint64_t next_feature = 0;
  std::string written;
  const auto same_feature = [&](std::uint64_t i, std::string_view whole) {
    written.clear();
    try {
      write_renumbered_feature(written, old.features[i], r);
    } catch (const damaged&) {
      return false;  // a key or value the new tables lack
    }
    return written == whole;
  };
  for (const auto& f : now.fields) {
    if (f.wire == WIRE_BYTES && f.tag == LAYER_FEATURE) {
      std::optional<std::uint64_t> from;
      if (next_feature < old.features.size() && same_feature(next_feature, f.whole)) {
        from = next_feature;
      } else if (const auto found = old_features.find(meaning_of(f.payload, now));
                 found != old_features.end() && same_feature(found->second, f.whole)) {
        from = found->second;
      }
      if (from) {
        runs.entry(FEATURES, *from);
        next_feature = *from + 1;
        continue;
      }
    } else if (f.wire == WIRE_BYTES && (f.tag == LAYER_KEY || f.tag == LAYER_VALUE)) {
      const auto& places = f.tag == LAYER_KEY ? old_keys : old_values;
      if (const auto found = places.find(f.payload); found != places.end()) {
        written.clear();
        write_bytes_field(written, f.tag, f.payload);
        if (written == f.whole) {
          runs.entry(f.tag == LAYER_KEY ? KEYS : VALUES, found->second);
          continue;
        }
      }
    }
    runs.raw(f.whole);
  }
  runs.flush();
  write_varint(out, END);
}

}  // namespace

std::string apply_mvt_script(std::string_view was, std::string_view script, std::size_t max_bytes) {
  const auto old = layers_of(fields_of(was));
  std::string out;
  while (!script.empty()) {
    const auto kind = read_varint(script);
    if (kind == TILE_FIELD) {
      out += take(script, read_varint(script));
    } else if (kind == LAYER) {
      const auto number = read_varint(script);
      if (number > old.size()) throw damaged();
      write_bytes_field(out, TILE_LAYER, apply_layer(number ? &old[number - 1] : nullptr, script, max_bytes));
    } else {
      throw damaged();
    }
    if (out.size() > max_bytes) throw too_large();
  }
  return out;
}

std::optional<std::string> mvt_script(std::string_view was, std::string_view now) {
  try {
    const auto old = layers_of(fields_of(was));
    std::unordered_map<std::string_view, std::size_t> old_by_name;
    for (std::size_t i = 0; i < old.size(); ++i) old_by_name.emplace(old[i].name, i);
    std::string script;
    for (const auto& f : fields_of(now)) {
      if (f.tag != TILE_LAYER || f.wire != WIRE_BYTES) {
        write_varint(script, TILE_FIELD);
        write_varint(script, f.whole.size());
        script += f.whole;
        continue;
      }
      const auto layer = layer_of(f.payload);
      const auto found = old_by_name.find(layer.name);
      write_varint(script, LAYER);
      write_varint(script, found == old_by_name.end() ? 0 : found->second + 1);
      script_layer(script, found == old_by_name.end() ? nullptr : &old[found->second], layer);
    }
    // Whatever the tiles' writer did that this one would not (a key written longer than it
    // needs, fields in another order), the script must give the tile back exactly.
    if (apply_mvt_script(was, script, now.size()) != now) return std::nullopt;
    return script;
  } catch (const damaged&) {
    return std::nullopt;
  } catch (const too_large&) {
    return std::nullopt;
  }
}

}  // namespace mapsvc::tiles
