#pragma once
// The text of an answer's header: borrowed when it outlasts the answer (a literal, a setting
// kept for the server's life, the answer's own entity), owned otherwise. A cached tile's answer
// is made of such texts, so a hit copies none of its header names or values to the heap.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace host::http {

class header_text {
 public:
  header_text() = default;
  // Owned: a text made for this answer.
  header_text(std::string owned) : text_(std::move(owned)) {}
  // Borrowed: a string literal lives as long as the program.
  template <std::size_t N>
  header_text(const char (&literal)[N]) : text_(std::string_view(literal, N - 1)) {}

  // Borrowed: `text` must stay valid for as long as the answer exists.
  static header_text lasting(std::string_view text) {
    header_text t;
    t.text_ = text;
    return t;
  }

  std::string_view view() const {
    return std::visit([](const auto& t) { return std::string_view(t); }, text_);
  }
  operator std::string_view() const { return view(); }
  std::string str() const { return std::string(view()); }
  bool empty() const { return view().empty(); }
  std::size_t size() const { return view().size(); }
  char operator[](std::size_t i) const { return view()[i]; }
  void clear() { text_ = std::string_view(); }

  // Appends, owning the text from then on.
  header_text& operator+=(std::string_view more) {
    if (auto* borrowed = std::get_if<std::string_view>(&text_)) text_ = std::string(*borrowed);
    std::get<std::string>(text_).append(more);
    return *this;
  }

  friend bool operator==(const header_text& a, std::string_view b) { return a.view() == b; }
  template <typename Stream>
  friend Stream& operator<<(Stream& out, const header_text& t) {
    out << t.view();
    return out;
  }

 private:
  std::variant<std::string_view, std::string> text_;
};

}  // namespace host::http
