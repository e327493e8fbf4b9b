// The one bounded wait of the tests: polls a condition until it holds or the
// time-out passes. Every wait on a real process, socket or file goes through
// it, so no test loop can run unbounded.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

inline bool WaitUntil(const std::function<bool()> &condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10),
                      std::chrono::milliseconds step = std::chrono::milliseconds(5)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return condition();
    }
    std::this_thread::sleep_for(step);
  }
  return true;
}
