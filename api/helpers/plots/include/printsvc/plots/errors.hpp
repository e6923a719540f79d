#pragma once

#include <stdexcept>
#include <string>

namespace printsvc::plots {

/// Bad plan input: a record or key is missing or malformed, no parcel matches, the bounding
/// box cannot be used, or the records exceed a limit of limits.hpp. `what()` names the record
/// (by index) and the key concerned, and quotes input only in short excerpts.
class plan_input_error : public std::invalid_argument {
 public:
  explicit plan_input_error(const std::string& message) : std::invalid_argument(message) {}
};

/// The plan was valid but drawing it needed more processor time than the caller's limit, so it
/// was abandoned. Not an input error: no record is wrong, there is only too much to draw.
class render_timeout_error : public std::runtime_error {
 public:
  explicit render_timeout_error(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace printsvc::plots
