#include "excerpt.hpp"

#include "utf8.hpp"

namespace printsvc::plots::detail {

namespace {

using json = nlohmann::ordered_json;

constexpr int max_depth = 8;
constexpr const char* ellipsis = "…";

// Writes JSON text like json::dump(), stopping once more than the excerpt shows is written.
class bounded_writer {
 public:
  std::string finish() {
    if (!cut_ && printed_length(out_) <= max_excerpt_chars) return escape_unprintable(out_);
    return escape_unprintable(leading_chars(out_, max_excerpt_chars)) + ellipsis;
  }

  void write(const json& v, int depth) {
    if (full()) return;
    switch (v.type()) {
      case json::value_t::string: {
        const std::string& s = v.get_ref<const std::string&>();
        const std::string_view shown = leading_chars(s, max_excerpt_chars + 1);
        cut_ = shown.size() < s.size();
        out_ += dump(json(std::string(shown)));
        return;
      }
      case json::value_t::array:
      case json::value_t::object: {
        const bool array = v.is_array();
        out_ += array ? '[' : '{';
        bool first = true;
        for (auto it = v.begin(); it != v.end(); ++it) {
          if (full() || depth >= max_depth) {
            cut_ = true;
            return;
          }
          if (!first) out_ += ',';
          first = false;
          if (!array) out_ += dump(json(std::string(leading_chars(it.key(), max_excerpt_chars + 1)))) + ':';
          write(*it, depth + 1);
          if (cut_) return;
        }
        out_ += array ? ']' : '}';
        return;
      }
      default:
        out_ += dump(v);  // numbers, true, false, null: a few characters
    }
  }

 private:
  // Records built in code (not parsed) may hold broken UTF-8, which a strict dump refuses.
  static std::string dump(const json& v) { return v.dump(-1, ' ', false, json::error_handler_t::replace); }

  // Four bytes a character at most, so this is never short of what the excerpt shows.
  bool full() {
    if (out_.size() > 4 * max_excerpt_chars) cut_ = true;
    return cut_;
  }

  std::string out_;
  bool cut_ = false;
};

}  // namespace

std::string excerpt(const json& v) {
  bounded_writer w;
  w.write(v, 0);
  return w.finish();
}

std::string excerpt_text(std::string_view text) {
  const std::string_view shown = leading_chars(text, max_excerpt_chars);
  return escape_unprintable(shown) + (shown.size() < text.size() ? ellipsis : "");
}

}  // namespace printsvc::plots::detail
