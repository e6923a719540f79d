#include <charconv>
#include <stdexcept>

#include "clients/redis/options.hpp"

namespace clients::redis {

std::vector<address> parse_address_list(const std::string& text) {
  std::vector<address> out;
  std::size_t begin = 0;
  while (begin <= text.size()) {
    auto end = text.find(',', begin);
    if (end == std::string::npos) end = text.size();
    std::string entry = text.substr(begin, end - begin);
    while (!entry.empty() && entry.front() == ' ') entry.erase(entry.begin());
    while (!entry.empty() && entry.back() == ' ') entry.pop_back();
    const auto refuse = [&] {
      return std::invalid_argument("'" + entry + "' is not host:port with a port from 1 to 65535");
    };
    const auto colon = entry.rfind(':');
    if (colon == std::string::npos || colon == 0) throw refuse();
    std::string host = entry.substr(0, colon);
    if (host.front() == '[') {
      if (host.size() < 3 || host.back() != ']') throw refuse();
      host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
      throw refuse();  // an IPv6 address needs its brackets
    }
    int port = 0;
    const char* digits = entry.data() + colon + 1;
    const char* last = entry.data() + entry.size();
    const auto [stop, ec] = std::from_chars(digits, last, port);
    if (digits == last || ec != std::errc{} || stop != last || port < 1 || port > 65535) throw refuse();
    out.push_back({std::move(host), port});
    begin = end + 1;
  }
  return out;
}

options options::at(const address& where) const {
  options one = *this;
  one.host = where.host;
  one.port = where.port;
  one.db = 0;
  one.cluster_nodes.clear();
  one.sentinels.clear();
  return one;
}

}  // namespace clients::redis
