#pragma once
// Path templates such as "/gis/{layer_name}/{z}/{x}/{y}.pbf": literal segments, parameter
// segments with an optional literal prefix and suffix, and a final "{name:path}" catch-all.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/container/small_vector.hpp>

namespace host::http {

// A request path's segments, and the values a template takes from them: held inline, since
// routes are a few segments deep (a request allocates neither).
using path_parts = boost::container::small_vector<std::string_view, 8>;
using path_values = boost::container::small_vector<std::pair<std::string, std::string>, 4>;

class path_template {
 public:
  explicit path_template(std::string text);

  const std::string& text() const { return text_; }
  std::vector<std::string> param_names() const;

  // Parameter values (percent-decoded) when `path` matches, in template order.
  std::optional<path_values> match(std::string_view path) const;
  // The same with `path` already split by split_path (the router splits once per request).
  std::optional<path_values> match(std::string_view path, const path_parts& parts) const;

  // How specific the template is at each segment: literal segments outrank parameters, so
  // "/gis/layers/" wins over "/gis/{layer_name}/" whatever the registration order.
  const std::vector<int>& specificity() const { return specificity_; }

 private:
  struct segment {
    std::string literal;  // whole segment when not a parameter, otherwise the prefix
    std::string suffix;
    std::string param;    // empty for a literal segment
    bool rest = false;    // "{name:path}": matches the remainder of the path
  };
  std::string text_;
  std::vector<segment> segments_;
  std::vector<int> specificity_;
};

// Splits "/a/b/" into {"a", "b", ""}; the leading slash is dropped.
path_parts split_path(std::string_view path);
std::string percent_decode(std::string_view text, bool plus_is_space);

}  // namespace host::http
