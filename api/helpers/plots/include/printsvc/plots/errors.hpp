#pragma once

#include <stdexcept>
#include <string>

namespace printsvc::plots {

/// Bad plan input: a record or key is missing or malformed, no parcel matches, or the bounding
/// box cannot be used. `what()` names the record (by index) and the key concerned.
class plan_input_error : public std::invalid_argument {
 public:
  explicit plan_input_error(const std::string& message) : std::invalid_argument(message) {}
};

}  // namespace printsvc::plots
