// Many coroutines sharing one client: each must get its own reply, in any interleaving.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.hpp"

using namespace redis_test;

namespace {

asio::awaitable<bool> get_expect(redis::client& c, std::string key, std::string want) {
  auto got = co_await c.get(key);
  co_return got == want;
}

class ConcurrentCallers : public ::testing::TestWithParam<int> {};

TEST_P(ConcurrentCallers, EachOfAThousandGetsReceivesItsOwnValue) {
  asio::io_context ioc;
  auto opts = shared_server();
  opts.connections = GetParam();
  redis::client client(ioc.get_executor(), opts);
  const std::string prefix = unique_prefix();
  constexpr int n = 1000;

  std::vector<std::string> mset{"MSET"}, del{"DEL"};
  for (int i = 0; i < n; ++i) {
    // Lengths differ so that a shifted reply cannot pass for the right one.
    mset.insert(mset.end(), {prefix + std::to_string(i), std::string(static_cast<std::size_t>(i % 97), 'x') + std::to_string(i)});
    del.push_back(prefix + std::to_string(i));
  }
  run(ioc, client.command(mset));

  std::vector<std::future<bool>> results;
  for (int i = 0; i < n; ++i)
    results.push_back(spawn(ioc, get_expect(client, prefix + std::to_string(i),
                                            std::string(static_cast<std::size_t>(i % 97), 'x') + std::to_string(i))));
  int right = 0;
  for (auto& r : results) right += wait_for(ioc, r) ? 1 : 0;
  EXPECT_EQ(right, n);
  EXPECT_EQ(run(ioc, client.command(del)).integer, n);
}

INSTANTIATE_TEST_SUITE_P(Connections, ConcurrentCallers, ::testing::Values(1, 2));

}  // namespace
