#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>

namespace mapsvc::tile_gateway {

// Where the tile cache lives; read once when the module loads.
struct redis_settings {
  std::string host;
  int port;
  int db;
};

// Looks a variable up like std::getenv: nullptr when unset.
using getenv_function = std::function<const char*(const char*)>;

// Reads REDIS_HOST, REDIS_PORT and REDIS_DB, defaulting to "localhost", "6379" and "0".
// The defaults are text, converted like the rest, so an unset port is 6379. Numbers are
// read as Python's int() reads them. Throws invalid_setting, naming the variable and its
// range, when the port is not from 1 to 65535 or the database number is negative (or
// either is not an integer).
redis_settings read_redis_settings(const getenv_function& getenv_fn = std::getenv);

// Converts text as Python's int() does in base 10: surrounding whitespace, an optional
// sign, and digits with single underscores between them. Throws invalid_int_literal
// otherwise and std::out_of_range beyond int64. Only ASCII digits are accepted.
std::int64_t parse_python_int(std::string_view text);

}  // namespace mapsvc::tile_gateway
