#include "host/http/json_body.hpp"

#include <string>

namespace host::http {
namespace {

using json = nlohmann::ordered_json;
using dom_builder = nlohmann::detail::json_sax_dom_parser<json>;

// The library's own document builder, with a depth count in front of it. The parser itself is
// iterative; refusing at the first level too deep keeps the document it builds shallow.
class bounded_builder : public dom_builder {
 public:
  bounded_builder(json& result, std::size_t max_depth) : dom_builder(result, /*allow_exceptions=*/false), max_depth_(max_depth) {}

  bool start_object(std::size_t elements) {
    return enter() && dom_builder::start_object(elements);
  }
  bool end_object() {
    --depth_;
    return dom_builder::end_object();
  }
  bool start_array(std::size_t elements) {
    return enter() && dom_builder::start_array(elements);
  }
  bool end_array() {
    --depth_;
    return dom_builder::end_array();
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
    error_ = e.what();
    return false;
  }

  bool too_deep() const { return too_deep_; }
  const std::string& error() const { return error_; }

 private:
  bool enter() {
    if (++depth_ > max_depth_) {
      too_deep_ = true;
      return false;
    }
    return true;
  }

  std::size_t max_depth_;
  std::size_t depth_ = 0;
  bool too_deep_ = false;
  std::string error_;
};

// The library's messages quote the last token read, which may be most of the body.
std::string bounded(std::string text) {
  constexpr std::size_t max_length = 200;
  if (text.size() > max_length) {
    text.resize(max_length);
    while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xc0) == 0x80) text.pop_back();
    if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xc0) text.pop_back();
    text += "...";
  }
  return text;
}

}  // namespace

json parse_json_body(std::string_view text, json_limits limits) {
  json result;
  bounded_builder builder(result, limits.max_depth);
  const bool ok = json::sax_parse(text.begin(), text.end(), &builder, nlohmann::detail::input_format_t::json,
                                  /*strict=*/true);
  if (builder.too_deep())
    throw json_body_error("JSON nested deeper than " + std::to_string(limits.max_depth) + " levels");
  if (!ok || builder.is_errored()) {
    throw json_body_error(builder.error().empty() ? std::string("malformed JSON") : bounded(builder.error()));
  }
  return result;
}

}  // namespace host::http
