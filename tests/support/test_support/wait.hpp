#pragma once
// Waiting in a test for what another thread or process does: polled, bounded.

#include <chrono>
#include <thread>

namespace test_support {

using namespace std::chrono_literals;

/// Polls `condition` every 10 ms until it holds or `within` has passed; whether it held.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds within = 5s) {
  const auto until = std::chrono::steady_clock::now() + within;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

}  // namespace test_support
