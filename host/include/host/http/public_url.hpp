#pragma once
// The address clients reach the service at, for the absolute URLs of TileJSON documents.
// Proxy headers come from the network and are checked like any other input: a value with
// characters no host or scheme may hold, or longer than a host name can be, is ignored.

#include <optional>
#include <string>
#include <string_view>

namespace host::http {

// A configured public URL, "http(s)://host[:port][/path]", without its final "/". Throws
// std::invalid_argument when it is not one.
std::string parse_public_url(std::string_view text);

// The request headers that may tell the public address, as received (absent: none).
struct address_headers {
  std::optional<std::string_view> forwarded;
  std::optional<std::string_view> x_forwarded_proto;
  std::optional<std::string_view> x_forwarded_host;
  std::optional<std::string_view> host;
};

// "scheme://host[:port]" from the first element of Forwarded, else X-Forwarded-Proto and
// X-Forwarded-Host (their first values), else Host with "http". Each of scheme and host is
// taken from the first source that carries a valid one. None when no valid host is given.
std::optional<std::string> base_url_from_headers(const address_headers& headers);

// The origin a browser sends (RFC 6454) from pages under `url`, a URL parse_public_url
// accepted: "scheme://host[:port]", the scheme and host in lower case, no default port.
std::string origin_of_url(std::string_view url);

// A host ("name", "name:port", "[v6]", "[v6]:port", the port 1-65535) that is safe to put
// into a URL.
bool valid_url_host(std::string_view host) noexcept;

}  // namespace host::http
