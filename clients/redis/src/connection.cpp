#include "connection.hpp"

#include <array>
#include <tuple>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "clients/redis/errors.hpp"
#include "dial.hpp"

namespace clients::redis::detail {

namespace {
constexpr auto nothrow = asio::as_tuple(asio::use_awaitable);
constexpr std::size_t read_chunk = 64 * 1024;

std::exception_ptr lost(const std::string& peer, const boost::system::error_code& ec) {
  const std::string why = ec == asio::error::eof ? "closed by the server" : ec.message();
  return std::make_exception_ptr(connection_error("connection to Redis at " + peer + " lost: " + why));
}
}  // namespace

connection::connection(asio::any_io_executor ex, const options& opts, push_handler on_push,
                       std::function<void()> on_close)
    : socket_(ex),
      peer_(opts.uses_sentinels() ? "the primary '" + opts.sentinel_master + "'" : address{opts.host, opts.port}.text()),
      socket_timeout_(opts.socket_timeout),
      on_push_(std::move(on_push)),
      on_close_(std::move(on_close)),
      opening_(ex, connect_deadline(opts)),
      writer_wake_(ex, clock::time_point::max()),
      watchdog_(ex, clock::time_point::max()) {}

std::shared_ptr<connection> connection::open(asio::any_io_executor ex, const options& opts, push_handler on_push,
                                             std::function<void()> on_close) {
  auto self = std::make_shared<connection>(ex, opts, std::move(on_push), std::move(on_close));
  asio::co_spawn(ex, connect(self, opts), asio::detached);
  return self;
}

asio::awaitable<void> connection::connect(std::shared_ptr<connection> self, options opts) {
  std::exception_ptr failure;
  try {
    auto [socket, where] = co_await open_socket(self->socket_.get_executor(), opts, self->opening_);
    if (self->closed_) co_return;  // closed meanwhile: the socket closes as it goes
    self->socket_ = std::move(socket);
    self->peer_ = where.text();
  } catch (const timeout_error&) {
    failure = std::make_exception_ptr(timeout_error("connecting to Redis at " + self->peer_ + " timed out after " +
                                                    std::to_string(opts.connect_timeout.count()) + " ms"));
  } catch (const connection_error&) {
    failure = std::current_exception();
    if (!self->closed_) {
      self->refusal_ = failure;
      self->refused_at_ = clock::now();
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    self->close(failure);
    co_return;
  }
  self->opened_ = true;
  self->last_progress_ = clock::now();
  const auto ex = self->socket_.get_executor();
  asio::co_spawn(ex, read_loop(self), asio::detached);
  asio::co_spawn(ex, write_loop(self), asio::detached);
  asio::co_spawn(ex, watch_loop(self), asio::detached);
}

bool connection::refused_within(std::chrono::milliseconds window) const {
  return refusal_ && window.count() > 0 && clock::now() < refused_at_ + window;
}

void connection::send(wire_command command, std::shared_ptr<request> req) {
  if (closed_) throw connection_error("connection to Redis at " + peer_ + " is closed");
  if (pending_.empty()) {
    last_progress_ = clock::now();
    if (watchdog_idle_ && socket_timeout_.count() > 0) {
      watchdog_idle_ = false;
      watchdog_.cancel();
    }
  }
  queue_.push_back(std::move(command));
  pending_.push_back(std::move(req));
  if (writer_idle_) {
    writer_idle_ = false;
    writer_wake_.cancel();
  }
}

void connection::close(std::exception_ptr why) {
  if (closed_) return;
  closed_ = true;
  boost::system::error_code ignored;
  socket_.close(ignored);
  opening_.cancel();
  writer_wake_.cancel();
  watchdog_.cancel();
  queue_.clear();
  auto pending = std::move(pending_);
  pending_.clear();
  for (auto& req : pending) req->fail(why);
  if (const auto tell = std::move(on_close_)) tell();
}

void connection::deliver(reply value) {
  if (on_push_ && on_push_(value)) return;
  if (pending_.empty()) throw connection_error("Redis at " + peer_ + " sent a reply nobody asked for");
  auto req = std::move(pending_.front());
  pending_.pop_front();
  req->complete(std::move(value));
}

asio::awaitable<void> connection::read_loop(std::shared_ptr<connection> self) {
  auto buffer = std::make_unique<char[]>(read_chunk);
  while (!self->closed_) {
    auto [ec, n] = co_await self->socket_.async_read_some(asio::buffer(buffer.get(), read_chunk), nothrow);
    if (self->closed_) break;
    if (ec) {
      self->close(lost(self->peer_, ec));
      break;
    }
    self->last_progress_ = clock::now();
    try {
      self->parser_.feed(buffer.get(), n);
      while (!self->closed_) {
        auto value = self->parser_.next();
        if (!value) break;
        self->deliver(std::move(*value));
      }
    } catch (...) {
      self->close(std::current_exception());
    }
  }
}

asio::awaitable<void> connection::write_loop(std::shared_ptr<connection> self) {
  std::vector<wire_command> batch;
  std::vector<asio::const_buffer> buffers;
  while (!self->closed_) {
    if (self->queue_.empty()) {
      self->writer_idle_ = true;
      self->writer_wake_.expires_at(clock::time_point::max());
      co_await self->writer_wake_.async_wait(nothrow);
      self->writer_idle_ = false;
      continue;
    }
    // Everything queued while the previous write was in flight goes out in one write.
    batch.swap(self->queue_);
    buffers.clear();
    for (const auto& command : batch) buffers.push_back(asio::buffer(command));
    auto [ec, n] = co_await asio::async_write(self->socket_, buffers, nothrow);
    batch.clear();
    if (ec) {
      self->close(lost(self->peer_, ec));
      break;
    }
  }
}

asio::awaitable<void> connection::watch_loop(std::shared_ptr<connection> self) {
  while (!self->closed_) {
    if (self->pending_.empty() || self->socket_timeout_.count() <= 0) {
      self->watchdog_idle_ = true;
      self->watchdog_.expires_at(clock::time_point::max());
    } else {
      self->watchdog_.expires_at(self->last_progress_ + self->socket_timeout_);
    }
    co_await self->watchdog_.async_wait(nothrow);
    self->watchdog_idle_ = false;
    if (self->closed_) break;
    if (!self->pending_.empty() && self->socket_timeout_.count() > 0 && clock::now() >= self->last_progress_ + self->socket_timeout_) {
      self->close(std::make_exception_ptr(timeout_error("Redis at " + self->peer_ + " did not answer within " +
                                                        std::to_string(self->socket_timeout_.count()) +
                                                        " ms; connection dropped")));
    }
  }
}

}  // namespace clients::redis::detail
