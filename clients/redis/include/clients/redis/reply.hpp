#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace clients::redis {

enum class reply_type { string, status, integer, nil, array, error };

/// One Redis reply, owning its bytes. `str` holds the payload of string, status and error
/// replies exactly as received; `integer` that of integer replies; `elements` that of arrays.
struct reply {
  reply_type type = reply_type::nil;
  std::string str;
  std::int64_t integer = 0;
  std::vector<reply> elements;

  bool is_nil() const { return type == reply_type::nil; }
  bool is_error() const { return type == reply_type::error; }

  friend bool operator==(const reply&, const reply&) = default;
};

}  // namespace clients::redis
