#include "cluster_map.hpp"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <string>

namespace clients::redis::detail {

namespace {

// CRC16-CCITT (XModem): polynomial 0x1021, initial value 0, no reflection.
constexpr std::array<std::uint16_t, 256> crc16_table = [] {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    auto crc = static_cast<std::uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    table[i] = crc;
  }
  return table;
}();

std::uint16_t crc16(std::string_view bytes) {
  std::uint16_t crc = 0;
  for (const char c : bytes)
    crc = static_cast<std::uint16_t>((crc << 8) ^ crc16_table[((crc >> 8) ^ static_cast<unsigned char>(c)) & 0xff]);
  return crc;
}

std::optional<int> whole_number(std::string_view text) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

[[noreturn]] void bad_reply(const std::string& why) { throw std::runtime_error("unexpected CLUSTER SLOTS reply: " + why); }

}  // namespace

std::uint16_t key_slot(std::string_view key) {
  if (const auto open = key.find('{'); open != std::string_view::npos) {
    const auto close = key.find('}', open + 1);
    if (close != std::string_view::npos && close > open + 1) key = key.substr(open + 1, close - open - 1);
  }
  return crc16(key) % cluster_slots;
}

slot_map slot_map::from_cluster_slots(const reply& r, const address& asked) {
  if (r.type != reply_type::array) bad_reply("not an array");
  slot_map map;
  for (const auto& range : r.elements) {
    if (range.type != reply_type::array || range.elements.size() < 3) bad_reply("a range is not [start, end, node...]");
    const auto& start = range.elements[0];
    const auto& end = range.elements[1];
    const auto& node = range.elements[2];
    if (start.type != reply_type::integer || end.type != reply_type::integer || start.integer < 0 ||
        end.integer >= cluster_slots || start.integer > end.integer)
      bad_reply("slot range out of bounds");
    if (node.type != reply_type::array || node.elements.size() < 2 || node.elements[0].type != reply_type::string ||
        node.elements[1].type != reply_type::integer || node.elements[1].integer < 1 || node.elements[1].integer > 65535)
      bad_reply("a node is not [host, port, ...]");
    // A node that does not know its own address answers with an empty host: it is the one asked.
    address primary{node.elements[0].str.empty() || node.elements[0].str == "?" ? asked.host : node.elements[0].str,
                    static_cast<int>(node.elements[1].integer)};
    auto it = std::find(map.nodes_.begin(), map.nodes_.end(), primary);
    if (it == map.nodes_.end()) it = map.nodes_.insert(map.nodes_.end(), std::move(primary));
    const auto owner = static_cast<std::uint16_t>(it - map.nodes_.begin() + 1);
    std::fill(map.owner_.begin() + start.integer, map.owner_.begin() + end.integer + 1, owner);
  }
  if (map.nodes_.empty()) bad_reply("no slot is served");
  return map;
}

const address* slot_map::primary_of(std::uint16_t slot) const {
  const auto owner = owner_[slot % cluster_slots];
  return owner == 0 ? nullptr : &nodes_[owner - 1];
}

std::vector<address> slot_map::primaries() const {
  std::vector<bool> serving(nodes_.size(), false);
  for (const auto owner : owner_)
    if (owner != 0) serving[owner - 1] = true;
  std::vector<address> out;
  for (std::size_t i = 0; i < nodes_.size(); ++i)
    if (serving[i]) out.push_back(nodes_[i]);
  std::sort(out.begin(), out.end());
  return out;
}

void slot_map::move(std::uint16_t slot, const address& to) {
  auto it = std::find(nodes_.begin(), nodes_.end(), to);
  if (it == nodes_.end()) it = nodes_.insert(nodes_.end(), to);
  owner_[slot % cluster_slots] = static_cast<std::uint16_t>(it - nodes_.begin() + 1);
}

std::optional<redirect> parse_redirect(std::string_view text, const address& asked) {
  redirect out;
  if (text.starts_with("MOVED ")) text.remove_prefix(6);
  else if (text.starts_with("ASK ")) {
    out.ask = true;
    text.remove_prefix(4);
  } else
    return std::nullopt;
  const auto space = text.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const auto slot = whole_number(text.substr(0, space));
  const std::string_view endpoint = text.substr(space + 1);
  const auto colon = endpoint.rfind(':');
  if (!slot || *slot < 0 || *slot >= cluster_slots || colon == std::string_view::npos) return std::nullopt;
  const auto port = whole_number(endpoint.substr(colon + 1));
  if (!port || *port < 1 || *port > 65535) return std::nullopt;
  std::string_view host = endpoint.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  out.slot = static_cast<std::uint16_t>(*slot);
  out.to = address{host.empty() || host == "?" ? asked.host : std::string(host), *port};
  return out;
}

}  // namespace clients::redis::detail
