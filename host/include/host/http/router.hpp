#pragma once
// Route declarations. A module builds a router (prefix + tags) and the host mounts it.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/beast/http/verb.hpp>

#include "host/http/params.hpp"
#include "host/http/path_template.hpp"
#include "host/http/request.hpp"
#include "host/http/response.hpp"

namespace host::database {
class session;
}

namespace host::http {

struct request_context {
  http_request& message;
  const request_params& params;
  // The request's database session, present when the route declared `uses_db`. The host
  // closes it after the handler, whatever the handler did with it.
  database::session* db = nullptr;

  database::session& session() const;
  std::string_view header(std::string_view name) const;
  // Moves the body out of the request, for work that outlives the handler's own frame
  // (parsing and rendering on a worker thread) without copying it.
  std::string take_body() const { return std::move(message.body()); }
};

using handler = std::function<boost::asio::awaitable<response>(request_context&)>;

// Who may call a route. Protected routes need "Authorization: Bearer <token>" when the host
// was given a token for their kind; `admin` routes change state, so browsers on other origins
// may call them only from listed origins, never through a "*" policy.
enum class access { open, admin, metrics };

struct route_spec {
  boost::beast::http::verb method = boost::beast::http::verb::get;
  std::string path{};         // relative to the router's prefix
  std::string name{};         // handler name, e.g. "get_tile_xyz" (operation id)
  std::string description{};  // documentation text
  std::vector<param_spec> params{};
  bool uses_db = false;
  std::string media_type = "application/json";  // what a successful answer carries
  bool include_in_schema = true;
  std::string request_body{};  // media type of the body the route reads, if any
  access who = access::open;
};

struct route {
  route_spec declared;
  std::vector<std::string> tags;
  path_template full_path;
  handler fn;
};

class router {
 public:
  router(std::string prefix = {}, std::vector<std::string> tags = {});

  void add(route_spec declared, handler fn);

  const std::string& prefix() const { return prefix_; }
  const std::vector<std::string>& tags() const { return tags_; }
  const std::vector<route>& routes() const { return routes_; }

 private:
  std::string prefix_;
  std::vector<std::string> tags_;
  std::vector<route> routes_;
};

}  // namespace host::http
