#include "host/http/path_template.hpp"

#include <stdexcept>

namespace host::http {

path_parts split_path(std::string_view path) {
  path_parts out;
  if (!path.empty() && path.front() == '/') path.remove_prefix(1);
  for (;;) {
    const auto slash = path.find('/');
    out.push_back(path.substr(0, slash));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return out;
}

std::string percent_decode(std::string_view text, bool plus_is_space) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else if (c == '+' && plus_is_space) {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

path_template::path_template(std::string text) : text_(std::move(text)) {
  const auto parts = split_path(text_);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string_view part = parts[i];
    segment seg;
    const auto open = part.find('{');
    const auto close = part.find('}');
    if (open == std::string_view::npos) {
      seg.literal = std::string(part);
      specificity_.push_back(2);
    } else {
      if (close == std::string_view::npos || close < open) throw std::invalid_argument("bad path template: " + text_);
      seg.literal = std::string(part.substr(0, open));
      seg.suffix = std::string(part.substr(close + 1));
      std::string name(part.substr(open + 1, close - open - 1));
      if (const auto colon = name.find(':'); colon != std::string::npos) {
        if (name.substr(colon + 1) != "path" || i + 1 != parts.size())
          throw std::invalid_argument("only a last {name:path} segment may span segments: " + text_);
        seg.rest = true;
        name.resize(colon);
      }
      seg.param = std::move(name);
      specificity_.push_back(seg.rest ? 0 : 1);
    }
    segments_.push_back(std::move(seg));
  }
}

std::vector<std::string> path_template::param_names() const {
  std::vector<std::string> names;
  for (const auto& s : segments_)
    if (!s.param.empty()) names.push_back(s.param);
  return names;
}

std::optional<path_values> path_template::match(std::string_view path) const {
  return match(path, split_path(path));
}

std::optional<path_values> path_template::match(std::string_view path, const path_parts& parts) const {
  // Cheap refusal before any value is decoded.
  if (parts.size() < segments_.size() || (parts.size() > segments_.size() && !segments_.back().rest))
    return std::nullopt;
  // Every segment is checked before anything is decoded or allocated: most routes a request
  // is tried against fail on a literal.
  std::size_t params = 0;
  for (std::size_t i = 0; i < segments_.size(); ++i) {
    const segment& seg = segments_[i];
    if (seg.rest) {
      const std::size_t offset = static_cast<std::size_t>(parts[i].data() - path.data());
      if (!path.substr(offset).starts_with(seg.literal)) return std::nullopt;
      ++params;
      break;
    }
    const std::string_view part = parts[i];
    if (seg.param.empty()) {
      if (part != seg.literal) return std::nullopt;
      continue;
    }
    if (part.size() <= seg.literal.size() + seg.suffix.size() || !part.starts_with(seg.literal) ||
        !part.ends_with(seg.suffix))
      return std::nullopt;
    ++params;
  }
  path_values values;
  values.reserve(params);
  for (std::size_t i = 0; i < segments_.size(); ++i) {
    const segment& seg = segments_[i];
    if (seg.param.empty()) continue;
    if (seg.rest) {
      // The remainder of the raw path from this segment on.
      const std::size_t offset = static_cast<std::size_t>(parts[i].data() - path.data());
      values.emplace_back(seg.param, percent_decode(path.substr(offset + seg.literal.size()), false));
      break;
    }
    const std::string_view part = parts[i];
    const auto value = part.substr(seg.literal.size(), part.size() - seg.literal.size() - seg.suffix.size());
    values.emplace_back(seg.param, percent_decode(value, false));
  }
  return values;
}

}  // namespace host::http
