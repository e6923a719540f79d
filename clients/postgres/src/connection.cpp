#include <clients/pg/connection.hpp>

#include "server_error.hpp"

#include <clients/pg/errors.hpp>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include <libpq-fe.h>

#include <cerrno>
#include <string_view>
#include <sys/socket.h>
#include <unordered_map>
#include <vector>

namespace clients::pg {
namespace asio = boost::asio;
namespace {

using namespace std::chrono_literals;
constexpr auto nothrow = asio::as_tuple(asio::use_awaitable);
using wait_type = asio::posix::descriptor_base::wait_type;

// After a cancel request the server normally answers within milliseconds; a server that
// stays silent this long is treated as gone.
constexpr auto cancel_drain_limit = 5s;

struct result_deleter {
  void operator()(PGresult* r) const noexcept { PQclear(r); }
};
using result_ptr = std::unique_ptr<PGresult, result_deleter>;

// Cancels the waits on `desc` when the time is up. The timer's handler may run after the
// watch is gone, so it reaches the descriptor only through state the watch disowns.
class deadline_watch {
 public:
  deadline_watch(asio::posix::stream_descriptor& desc, std::chrono::steady_clock::duration after)
      : state_(std::make_shared<state>(state{false, &desc})), timer_(desc.get_executor(), after) {
    timer_.async_wait([s = state_](boost::system::error_code ec) {
      if (ec || !s->desc) return;
      s->expired = true;
      s->desc->cancel(ec);
    });
  }
  ~deadline_watch() {
    state_->desc = nullptr;
    timer_.cancel();
  }
  deadline_watch(const deadline_watch&) = delete;
  deadline_watch& operator=(const deadline_watch&) = delete;
  bool expired() const { return state_->expired; }

 private:
  struct state {
    bool expired;
    asio::posix::stream_descriptor* desc;
  };
  std::shared_ptr<state> state_;
  asio::steady_timer timer_;
};

bool has_sqlstate(const PGresult* r, std::string_view code) {
  const char* s = PQresultErrorField(r, PG_DIAG_SQLSTATE);
  return s && code == s;
}

bool is_cancelled_statement(const PGresult* r) { return has_sqlstate(r, "57014"); }

// What one round trip sends, in order: a prelude, the statement's Parse when it is to be
// prepared, the statement, a postlude. One result group per step.
struct round_trip {
  bool prelude = false;
  bool postlude = false;
  std::string name;      // the prepared statement to run; empty: sent unnamed
  bool prepare = false;  // Parse `name` first
  bool pipeline() const { return prelude || postlude || prepare; }
  std::size_t groups() const { return std::size_t{prelude} + std::size_t{prepare} + 1 + std::size_t{postlude}; }
  std::size_t prepare_group() const { return prelude ? 1 : 0; }
  std::size_t main_group() const { return prepare_group() + (prepare ? 1 : 0); }
};

}  // namespace

struct connection::impl {
  impl(asio::any_io_executor io_ex, asio::any_io_executor blocking_ex, std::shared_ptr<named_param_cache> c)
      : blocking(std::move(blocking_ex)), cache(c ? std::move(c) : std::make_shared<named_param_cache>()),
        desc(io_ex) {}
  ~impl() { close(); }

  asio::any_io_executor blocking;
  std::shared_ptr<named_param_cache> cache;
  asio::posix::stream_descriptor desc;
  PGconn* conn = nullptr;
  bool in_flight = false;
  bool broken = false;
  // Statements with parameters are prepared once per connection, under names of their own,
  // until `prepare_limit` names have been given out (then they are sent unnamed). A Parse
  // whose outcome is unknown (a time-out) only costs its name: names are never reused.
  std::size_t prepare_limit = 0;
  std::size_t names_given = 0;
  std::unordered_map<std::string, std::string> prepared;  // statement text -> name

  void forget_prepared() {
    prepared.clear();
    names_given = 0;
  }

  round_trip plan(const translated_sql& sql, const std::string& prelude, const std::string& postlude) {
    round_trip rt;
    rt.prelude = !prelude.empty();
    rt.postlude = !postlude.empty();
    if (sql.names.empty() || prepare_limit == 0) return rt;
    if (auto it = prepared.find(sql.text); it != prepared.end()) {
      rt.name = it->second;
    } else if (names_given < prepare_limit) {
      rt.name = "mapsvc_" + std::to_string(++names_given);
      rt.prepare = true;
    }
    return rt;
  }

  void close() noexcept {
    if (conn && in_flight) cancel_detached();
    in_flight = false;
    // libpq owns the socket: take it back from Asio before PQfinish closes it.
    if (desc.is_open()) desc.release();
    if (conn) PQfinish(conn);
    conn = nullptr;
    forget_prepared();
  }

  // PQfinish alone leaves a running statement running on the server.
  void cancel_detached() noexcept {
    std::shared_ptr<PGcancel> c(PQgetCancel(conn), PQfreeCancel);
    if (!c) return;
    asio::post(blocking, [c] {
      char err[256];
      PQcancel(c.get(), err, sizeof err);
    });
  }

  // `reregister`: libpq may have closed the socket and opened another since the last look (the
  // next host or address, an SSL fallback), and the new one often gets the same number. The
  // closed socket left epoll with it, so the new one must be registered whatever its number,
  // or no readiness would ever be reported for it.
  void sync_descriptor(bool reregister = false) {
    const int fd = PQsocket(conn);
    if (desc.is_open() && desc.native_handle() == fd && !reregister) return;
    if (desc.is_open()) desc.release();
    if (fd >= 0) desc.assign(fd);
  }

  connection_error lost(const std::string& fallback) {
    broken = true;
    in_flight = false;
    std::string msg = conn ? detail::first_line(PQerrorMessage(conn)) : std::string();
    return connection_error(msg.empty() ? fallback : msg);
  }

  // Waits for the socket; a wait cut short by a deadline returns normally (the caller checks
  // the deadlines), one cut short by the caller's cancellation throws.
  asio::awaitable<void> wait(wait_type w, const deadline_watch* a, const deadline_watch* b) {
    auto [ec] = co_await desc.async_wait(w, nothrow);
    if (!ec) co_return;
    if (ec == asio::error::operation_aborted && ((a && a->expired()) || (b && b->expired()))) co_return;
    if (ec == asio::error::operation_aborted) throw boost::system::system_error(ec);
    throw lost(ec.message());
  }

  static asio::awaitable<bool> send_cancel(std::shared_ptr<PGcancel> c) {
    char err[256];
    co_return PQcancel(c.get(), err, sizeof err) == 1;
  }

  // PQcancel blocks (it opens a connection of its own), so it runs on the blocking executor.
  asio::awaitable<bool> cancel_on_server() {
    std::shared_ptr<PGcancel> c(PQgetCancel(conn), PQfreeCancel);
    if (!c) co_return false;
    auto job = send_cancel(std::move(c));
    co_return co_await asio::co_spawn(blocking, std::move(job), asio::use_awaitable);
  }

  void send(const translated_sql& sql, const std::vector<std::optional<std::string>>& values,
            const std::string& prelude, const std::string& postlude, const round_trip& rt) {
    if (rt.pipeline() && PQenterPipelineMode(conn) != 1) throw lost("cannot enter pipeline mode");
    if (rt.prelude && PQsendQueryParams(conn, prelude.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 1) != 1)
      throw lost("cannot send statement");
    std::vector<const char*> ptrs;
    ptrs.reserve(values.size());
    for (const auto& v : values) ptrs.push_back(v ? v->c_str() : nullptr);
    const int n = static_cast<int>(ptrs.size());
    if (rt.prepare && PQsendPrepare(conn, rt.name.c_str(), sql.text.c_str(), n, nullptr) != 1)
      throw lost("cannot send statement");
    const int sent = rt.name.empty()
                         ? PQsendQueryParams(conn, sql.text.c_str(), n, nullptr, ptrs.data(), nullptr, nullptr, 1)
                         : PQsendQueryPrepared(conn, rt.name.c_str(), n, ptrs.data(), nullptr, nullptr, 1);
    if (sent != 1) throw lost("cannot send statement");
    if (rt.postlude && PQsendQueryParams(conn, postlude.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 1) != 1)
      throw lost("cannot send statement");
    if (rt.pipeline() && PQpipelineSync(conn) != 1) throw lost("cannot send statement");
  }

  // After the round trip: remember a statement the server now holds, forget one whose plan
  // the server can no longer use (its tables changed shape), so that it is prepared afresh.
  void note_prepared(const translated_sql& sql, const round_trip& rt,
                     const std::vector<std::vector<result_ptr>>& groups) {
    if (rt.name.empty()) return;
    if (rt.prepare) {
      const auto& g = groups[rt.prepare_group()];
      if (!g.empty() && PQresultStatus(g.back().get()) == PGRES_COMMAND_OK) prepared.emplace(sql.text, rt.name);
    }
    const auto& m = groups[rt.main_group()];
    if (!m.empty() && has_sqlstate(m.back().get(), "0A000")) prepared.erase(sql.text);
  }

  // Moves every available result into `groups` (one group per statement). True when all
  // results of the round trip are in.
  bool take_results(std::vector<std::vector<result_ptr>>& groups, bool pipeline, std::size_t& group) {
    while (!PQisBusy(conn)) {
      PGresult* r = PQgetResult(conn);
      if (!r) {
        if (!pipeline) return true;
        ++group;
        continue;
      }
      result_ptr owned(r);
      const auto status = PQresultStatus(r);
      if (status == PGRES_PIPELINE_SYNC) return true;
      if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH) {
        broken = true;
        in_flight = false;
        throw statement_error("COPY is not supported on this connection");
      }
      if (group < groups.size()) groups[group].push_back(std::move(owned));
    }
    return false;
  }

  asio::awaitable<result> run(const translated_sql& sql, std::vector<std::optional<std::string>> values,
                              std::string prelude, std::string postlude,
                              std::optional<std::chrono::milliseconds> timeout);
};

asio::awaitable<result> connection::impl::run(const translated_sql& sql,
                                              std::vector<std::optional<std::string>> values, std::string prelude,
                                              std::string postlude,
                                              std::optional<std::chrono::milliseconds> timeout) {
  const round_trip rt = plan(sql, prelude, postlude);
  const bool pipeline = rt.pipeline();
  in_flight = true;
  // Left by an exception or by the coroutine being destroyed mid-way: the protocol state is
  // unknown, so the connection must not be reused (close() then cancels on the server).
  struct flight_guard {
    impl& m;
    bool done = false;
    ~flight_guard() {
      if (done) m.in_flight = false;
      else m.broken = true;
    }
  } guard{*this};

  std::optional<deadline_watch> deadline, drain;
  if (timeout) deadline.emplace(desc, *timeout);
  send(sql, values, prelude, postlude, rt);

  // One result group per step sent; the statement's is the one answered.
  std::vector<std::vector<result_ptr>> groups(rt.groups());
  std::size_t group = 0;
  bool flushed = false, cancelled = false;
  for (;;) {
    if (!flushed) {
      const int f = PQflush(conn);
      if (f < 0) throw lost("cannot send statement");
      flushed = f == 0;
    }
    if (flushed) {
      if (PQconsumeInput(conn) != 1) throw lost("connection lost");
      if (take_results(groups, pipeline, group)) break;
      // Bytes already buffered in the socket: read them before waiting again.
      asio::posix::descriptor_base::bytes_readable avail(true);
      boost::system::error_code ec;
      desc.io_control(avail, ec);
      if (!ec && avail.get() > 0) continue;
    }
    co_await wait(flushed ? wait_type::wait_read : wait_type::wait_write, deadline ? &*deadline : nullptr,
                  drain ? &*drain : nullptr);
    if (drain && drain->expired()) throw timeout_error();
    if (deadline && deadline->expired() && !cancelled) {
      cancelled = true;
      if (!co_await cancel_on_server()) throw timeout_error();
      drain.emplace(desc, cancel_drain_limit);
    }
  }
  if (pipeline && PQexitPipelineMode(conn) != 1) throw lost("cannot leave pipeline mode");
  guard.done = true;
  note_prepared(sql, rt, groups);

  if (cancelled) {
    // Cancelled as asked: the connection is clean. Otherwise the statement finished first and
    // the cancel request may still hit a later statement, so this connection is done for.
    bool seen = false;
    for (const auto& g : groups)
      for (const auto& r : g) seen = seen || is_cancelled_statement(r.get());
    if (!seen) broken = true;
    throw timeout_error();
  }

  const bool bad = PQstatus(conn) != CONNECTION_OK;
  for (auto& g : groups) {
    if (g.empty()) {
      if (bad) throw lost("connection lost");
      throw statement_error("the server sent no result");
    }
    const PGresult* last = g.back().get();
    const auto status = PQresultStatus(last);
    if (status == PGRES_FATAL_ERROR || status == PGRES_NONFATAL_ERROR || status == PGRES_BAD_RESPONSE) {
      const char* state = PQresultErrorField(last, PG_DIAG_SQLSTATE);
      if (bad || (state && detail::is_connection_sqlstate(state))) broken = true;
      detail::throw_server_error(last, bad, detail::error_context::statement);
    }
    if (status == PGRES_PIPELINE_ABORTED) throw statement_error("statement skipped after an earlier error");
  }
  co_return result(groups[rt.main_group()].back().release());
}

connection::connection(asio::any_io_executor io, asio::any_io_executor blocking,
                       std::shared_ptr<named_param_cache> cache)
    : impl_(std::make_unique<impl>(std::move(io), std::move(blocking), std::move(cache))) {}

connection::~connection() = default;

asio::awaitable<void> connection::connect(std::string conninfo, std::chrono::milliseconds timeout) {
  auto& m = *impl_;
  m.close();
  m.broken = false;
  m.conn = PQconnectStart(conninfo.c_str());
  if (!m.conn) throw connection_error("out of memory");
  // Notices would otherwise go to stderr. A FATAL one arrives when the server ends an idle
  // connection (e.g. its backend was terminated): the connection is finished then.
  PQsetNoticeReceiver(
      m.conn,
      [](void* arg, const PGresult* r) {
        const char* severity = PQresultErrorField(r, PG_DIAG_SEVERITY_NONLOCALIZED);
        if (severity && (std::string_view(severity) == "FATAL" || std::string_view(severity) == "PANIC"))
          static_cast<impl*>(arg)->broken = true;
      },
      &m);
  try {
    if (PQstatus(m.conn) == CONNECTION_BAD) throw m.lost("cannot connect");
    deadline_watch deadline(m.desc, timeout);
    // As documented: start as if the last poll had asked for writing.
    PostgresPollingStatusType st = PGRES_POLLING_WRITING;
    for (;;) {
      // The socket can change between polls (several hosts or addresses, SSL fallback).
      m.sync_descriptor(true);
      if (st == PGRES_POLLING_OK) break;
      if (st == PGRES_POLLING_FAILED) throw m.lost("cannot connect");
      co_await m.wait(st == PGRES_POLLING_READING ? wait_type::wait_read : wait_type::wait_write, &deadline,
                      nullptr);
      if (deadline.expired())
        throw connection_error("timeout expired after " + std::to_string(timeout.count()) + " ms");
      st = PQconnectPoll(m.conn);
    }
    if (PQsetnonblocking(m.conn, 1) != 0) throw m.lost("cannot switch to non-blocking mode");
  } catch (...) {
    m.broken = true;
    m.close();
    throw;
  }
}

asio::awaitable<result> connection::execute(std::string_view sql, const params& p, execute_options opts) {
  auto& m = *impl_;
  if (!m.conn || m.broken) throw connection_error("connection is not usable");
  if (m.in_flight) throw statement_error("another statement is still running on this connection");
  auto translated = m.cache->get(sql);
  auto values = bind_params(*translated, p);
  // Arguments built beforehand: g++ 12 may destroy temporaries of a co_await expression twice.
  std::string prelude(opts.prelude), postlude(opts.postlude);
  co_return co_await m.run(*translated, std::move(values), std::move(prelude), std::move(postlude), opts.timeout);
}

asio::awaitable<result> connection::execute(std::string_view sql) {
  static const params none;
  co_return co_await execute(sql, none, execute_options{});
}

bool connection::usable() const {
  const auto& m = *impl_;
  return m.conn && !m.broken && !m.in_flight && PQstatus(m.conn) == CONNECTION_OK;
}

bool connection::check_alive() {
  auto& m = *impl_;
  // An idle connection should have nothing to read: whatever is there (a FATAL message, the
  // end of the stream) is read now so that a connection the server has closed is not handed out.
  for (int i = 0; i < 8 && usable(); ++i) {
    char byte;
    const ssize_t n = ::recv(PQsocket(m.conn), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0 || PQconsumeInput(m.conn) != 1 || PQstatus(m.conn) != CONNECTION_OK) m.broken = true;
    else PQisBusy(m.conn);  // parses what was read; a FATAL notice marks the connection broken
  }
  return usable();
}

std::vector<notification> connection::take_notifications() {
  std::vector<notification> out;
  auto& m = *impl_;
  if (!m.conn) return out;
  while (PGnotify* n = PQnotifies(m.conn)) {
    out.push_back({n->relname ? n->relname : "", n->extra ? n->extra : "", n->be_pid});
    PQfreemem(n);
  }
  return out;
}

asio::awaitable<std::vector<notification>> connection::wait_notifications(std::chrono::milliseconds timeout) {
  auto& m = *impl_;
  if (!m.conn || m.broken) throw connection_error("connection is not usable");
  if (m.in_flight) throw statement_error("another statement is still running on this connection");
  deadline_watch deadline(m.desc, timeout);
  for (;;) {
    if (PQconsumeInput(m.conn) != 1 || PQstatus(m.conn) != CONNECTION_OK) throw m.lost("connection lost");
    auto received = take_notifications();
    if (!received.empty()) co_return received;
    if (m.broken) throw m.lost("connection lost");
    co_await m.wait(wait_type::wait_read, &deadline, nullptr);
    if (deadline.expired()) co_return take_notifications();
  }
}

void connection::mark_broken() { impl_->broken = true; }

void connection::prepare_statements(std::size_t at_most) { impl_->prepare_limit = at_most; }

transaction_state connection::transaction() const {
  if (!impl_->conn) return transaction_state::unknown;
  switch (PQtransactionStatus(impl_->conn)) {
    case PQTRANS_IDLE: return transaction_state::idle;
    case PQTRANS_INTRANS: return transaction_state::active;
    case PQTRANS_INERROR: return transaction_state::failed;
    default: return transaction_state::unknown;
  }
}

int connection::backend_pid() const { return impl_->conn ? PQbackendPID(impl_->conn) : 0; }
pg_conn* connection::native_handle() const { return impl_->conn; }
void connection::close() noexcept { impl_->close(); }

}  // namespace clients::pg
