#include <host/database/probe.hpp>

#include <clients/pg/connection.hpp>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <optional>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace host::database {
namespace asio = boost::asio;
using clock_type = std::chrono::steady_clock;

struct reachability_probe::state {
  state(asio::any_io_executor e, std::string c, std::chrono::milliseconds b, std::chrono::milliseconds r)
      : ex(std::move(e)), conninfo(std::move(c)), bound(b), reuse_for(r) {}
  ~state() {
    conn.reset();
    blocking.join();
  }
  asio::any_io_executor ex;
  std::string conninfo;
  std::chrono::milliseconds bound, reuse_for;
  asio::thread_pool blocking{1};  // libpq's cancel blocks
  std::unique_ptr<clients::pg::connection> conn;
  std::optional<clock_type::time_point> checked_at;
  bool last = false;
  // The probe in progress; others wait for this timer to be cancelled.
  std::shared_ptr<asio::steady_timer> running;
};

namespace {

asio::awaitable<bool> probe_once(reachability_probe::state& s) {
  const auto deadline = clock_type::now() + s.bound;
  if (!s.conn || !s.conn->usable() || !s.conn->check_alive()) {
    s.conn = std::make_unique<clients::pg::connection>(s.ex, s.blocking.get_executor());
    std::string conninfo = s.conninfo;
    co_await s.conn->connect(std::move(conninfo), s.bound);
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
  clients::pg::execute_options options;
  options.timeout = std::max(left, std::chrono::milliseconds(1));
  const clients::pg::params none;
  co_await s.conn->execute("SELECT 1", none, options);
  co_return true;
}

}  // namespace

reachability_probe::reachability_probe(asio::any_io_executor ex, std::string conninfo, std::chrono::milliseconds bound,
                                       std::chrono::milliseconds reuse_for)
    : state_(std::make_shared<state>(std::move(ex), std::move(conninfo), bound, reuse_for)) {}

reachability_probe::~reachability_probe() = default;

asio::awaitable<bool> reachability_probe::reachable() {
  const auto s = state_;
  if (s->checked_at && clock_type::now() - *s->checked_at < s->reuse_for) co_return s->last;
  if (s->running) {
    const auto running = s->running;
    co_await running->async_wait(asio::as_tuple(asio::use_awaitable));
    co_return s->last;
  }
  s->running = std::make_shared<asio::steady_timer>(s->ex, clock_type::time_point::max());
  // Wakes the waiters however this probe ends (cancellation included).
  struct finish {
    std::shared_ptr<state> s;
    ~finish() {
      s->running->cancel();
      s->running.reset();
    }
  } done{s};
  bool ok = false;
  try {
    ok = co_await probe_once(*s);
  } catch (const boost::system::system_error& e) {
    if (e.code() == asio::error::operation_aborted) throw;  // the request itself was cancelled
    s->conn.reset();
  } catch (const std::exception&) {
    s->conn.reset();
  }
  s->last = ok;
  s->checked_at = clock_type::now();
  co_return ok;
}

}  // namespace host::database
