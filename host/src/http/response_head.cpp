#include "host/http/response_head.hpp"

#include <array>
#include <string_view>

#include <boost/beast/http/status.hpp>

namespace host::http {
namespace {

// The characters of a token (a field name), as a table: the check runs over every field of
// every answer.
constexpr std::array<bool, 256> TOKEN_CHARS = [] {
  std::array<bool, 256> table{};
  for (int c = 'a'; c <= 'z'; ++c) table[c] = true;
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = true;
  for (int c = '0'; c <= '9'; ++c) table[c] = true;
  for (unsigned char c : std::string_view("!#$%&'*+-.^_`|~")) table[c] = true;
  return table;
}();

// A name that is a token and a value that cannot end the field early or smuggle another one
// in. Both loops look at every byte without stopping early, so the compiler can widen them.
bool is_safe_field(std::string_view name, std::string_view value) {
  if (name.empty()) return false;
  bool token = true;
  for (unsigned char c : name) token &= TOKEN_CHARS[c];
  bool breaks = false;
  for (unsigned char c : value) breaks |= (c == '\r') | (c == '\n') | (c == '\0');
  return token && !breaks;
}

void add_field(std::string& out, std::string_view name, std::string_view value) {
  if (!is_safe_field(name, value)) return;
  out.append(name).append(": ").append(value).append("\r\n");
}

}  // namespace

bool is_bodiless(unsigned status) { return status < 200 || status == 204 || status == 304; }

std::string write_head(const response& r, const head_options& options) {
  std::string out;
  write_head(r, options, out);
  return out;
}

void write_head(const response& r, const head_options& options, std::string& out) {
  out.clear();
  out.reserve(512);  // a tile answer's head is 300-400 bytes: one allocation, not two
  const auto reason = boost::beast::http::obsolete_reason(static_cast<boost::beast::http::status>(r.status));
  out.append(options.version == 10 ? "HTTP/1.0 " : "HTTP/1.1 ")
      .append(std::to_string(r.status))
      .append(" ")
      .append(reason.data(), reason.size())
      .append("\r\n");
  add_field(out, "Server", "mapsvc");
  if (!r.content_type.empty()) add_field(out, "Content-Type", r.content_type);
  for (const auto& [name, value] : r.headers) add_field(out, name, value);
  if (r.stream) {
    // The length is not known in advance: chunks on 1.1, the connection's end on 1.0.
    if (options.version != 10 && !is_bodiless(r.status)) add_field(out, "Transfer-Encoding", "chunked");
  } else if (!is_bodiless(r.status)) {
    add_field(out, "Content-Length", std::to_string(r.payload().size()));
  }
  // HTTP/1.1 stays open unless told; HTTP/1.0 closes unless told.
  if (options.version == 10 && options.keep_alive) add_field(out, "Connection", "keep-alive");
  if (options.version != 10 && !options.keep_alive) add_field(out, "Connection", "close");
  out.append("\r\n");
}

}  // namespace host::http
