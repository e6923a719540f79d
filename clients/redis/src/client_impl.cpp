#include "client_impl.hpp"

namespace clients::redis::detail {

client_impl::client_impl(asio::any_io_executor executor, options opts) : opts_(std::move(opts)) {
  if (opts_.is_cluster())
    cluster_ = std::make_shared<cluster_router>(std::move(executor), opts_);
  else
    single_ = std::make_shared<node>(std::move(executor), opts_);
}

asio::awaitable<reply> client_impl::execute(std::shared_ptr<client_impl> self, wire_command command,
                                            std::optional<std::chrono::milliseconds> timeout,
                                            std::optional<std::uint16_t> slot) {
  if (self->single_) co_return co_await node::execute(self->single_, std::move(command), deadline_after(timeout));
  std::vector<wire_command> one;
  one.push_back(std::move(command));
  auto replies = co_await cluster_router::execute_all(self->cluster_, std::move(one), deadline_after(timeout), slot);
  co_return std::move(replies.front());
}

asio::awaitable<std::vector<reply>> client_impl::execute_all(std::shared_ptr<client_impl> self,
                                                             std::vector<wire_command> commands,
                                                             std::optional<std::chrono::milliseconds> timeout,
                                                             std::optional<std::uint16_t> slot) {
  if (self->single_) co_return co_await node::execute_all(self->single_, std::move(commands), deadline_after(timeout));
  co_return co_await cluster_router::execute_all(self->cluster_, std::move(commands), deadline_after(timeout), slot);
}

asio::awaitable<std::vector<address>> client_impl::key_holders(std::shared_ptr<client_impl> self) {
  if (self->single_) {
    std::vector<address> one;
    one.push_back(address{self->opts_.host, self->opts_.port});
    co_return one;
  }
  const auto limit = self->opts_.connect_timeout.count() > 0 ? std::optional(self->opts_.connect_timeout) : std::nullopt;
  co_return co_await cluster_router::primaries(self->cluster_, deadline_after(limit));
}

asio::awaitable<reply> client_impl::execute_at(std::shared_ptr<client_impl> self, address holder,
                                               wire_command command) {
  if (self->single_) co_return co_await node::execute(self->single_, std::move(command), clock::time_point::max());
  co_return co_await cluster_router::execute_at(self->cluster_, holder, std::move(command), clock::time_point::max());
}

void client_impl::shutdown() {
  if (single_) single_->shutdown();
  if (cluster_) cluster_->shutdown();
}

}  // namespace clients::redis::detail
