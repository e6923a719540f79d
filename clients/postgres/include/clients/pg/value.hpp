#pragma once
// Values bound to named parameters. They travel as text with type "unknown", so the server
// infers each parameter's type from where it is used in the statement.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace clients::pg {

using value = std::variant<std::monostate /*NULL*/, std::string, std::int64_t, double, bool>;

// Bind parameters by name, in the caller's order. A name listed twice: the first one wins.
using params = std::vector<std::pair<std::string, value>>;

// The text the server receives for `v`; none for NULL. Doubles use the shortest form that
// reads back to the same value; infinities and NaN use the server's spellings.
std::optional<std::string> to_param_text(const value& v);

}  // namespace clients::pg
