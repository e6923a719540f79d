#include "host/http/router.hpp"

#include <stdexcept>

namespace host::http {

database::session& request_context::session() const {
  if (!db) throw std::logic_error("route did not declare a database session");
  return *db;
}

std::string_view request_context::header(std::string_view name) const {
  const auto it = message.find(name);
  if (it == message.end()) return {};
  return {it->value().data(), it->value().size()};
}

router::router(std::string prefix, std::vector<std::string> tags) : prefix_(std::move(prefix)), tags_(std::move(tags)) {}

void router::add(route_spec declared, handler fn) {
  path_template full(prefix_ + declared.path);
  // Every path parameter of the template must be listed among the route's parameters.
  for (const auto& name : full.param_names()) {
    bool listed = false;
    for (const auto& p : declared.params) listed |= p.in == param_in::path && p.name == name;
    if (!listed) throw std::invalid_argument("route " + full.text() + ": path parameter '" + name + "' not declared");
  }
  routes_.push_back(route{std::move(declared), tags_, std::move(full), std::move(fn)});
}

}  // namespace host::http
