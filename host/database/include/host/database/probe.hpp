#pragma once
// Whether the database answers, for readiness checks: one connection of its own (so that a
// busy pool does not look like an unreachable database), a bounded wait, and one probe at a
// time however many checks arrive; a result is reused for a short while.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <memory>
#include <string>

namespace host::database {

class reachability_probe {
 public:
  reachability_probe(boost::asio::any_io_executor ex, std::string conninfo,
                     std::chrono::milliseconds bound = std::chrono::milliseconds(1000),
                     std::chrono::milliseconds reuse_for = std::chrono::milliseconds(1000));
  ~reachability_probe();
  reachability_probe(const reachability_probe&) = delete;
  reachability_probe& operator=(const reachability_probe&) = delete;

  // True when the database answered "SELECT 1" within the bound (connecting included).
  boost::asio::awaitable<bool> reachable();

  struct state;

 private:
  std::shared_ptr<state> state_;
};

}  // namespace host::database
