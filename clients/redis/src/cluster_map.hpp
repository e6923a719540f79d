#pragma once
// What a Redis Cluster client needs to know, kept apart from the sockets: which slot a key
// lives in, which primary serves each slot, and what a redirection says.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "clients/redis/options.hpp"
#include "clients/redis/reply.hpp"

namespace clients::redis::detail {

constexpr std::uint16_t cluster_slots = 16384;

/// The slot of `key`: CRC16 (XModem) of the key, or of its hash tag (the text between the first
/// '{' and the next '}' when that is not empty), modulo 16384.
std::uint16_t key_slot(std::string_view key);

/// The primary serving every slot, as CLUSTER SLOTS reported it.
class slot_map {
 public:
  /// Reads a CLUSTER SLOTS reply: [[start, end, [host, port, id...], replicas...], ...]. An
  /// empty host means the node that answered (`asked`). Throws std::runtime_error on anything
  /// else, or when the reply covers no slot at all.
  static slot_map from_cluster_slots(const reply& r, const address& asked);

  /// The primary of `slot`, or none when no primary serves it.
  const address* primary_of(std::uint16_t slot) const;
  /// Every primary, each once, in address order.
  std::vector<address> primaries() const;
  /// Records one slot's move, as a MOVED redirection tells it.
  void move(std::uint16_t slot, const address& to);
  bool empty() const { return nodes_.empty(); }

 private:
  std::vector<address> nodes_;
  // Index into nodes_ + 1 for each slot; 0: unserved.
  std::array<std::uint16_t, cluster_slots> owner_{};
};

/// "MOVED 3999 127.0.0.1:6381" or "ASK 3999 127.0.0.1:6381" (the error reply's text).
struct redirect {
  bool ask = false;
  std::uint16_t slot = 0;
  address to;
};
std::optional<redirect> parse_redirect(std::string_view error_text, const address& asked);

}  // namespace clients::redis::detail
