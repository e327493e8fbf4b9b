// The one hand-advanced monotonic clock of the tests. While a TestClock
// lives, every interval the code under test measures (event-loop deadlines,
// log throttling, service durations) reads it instead of CLOCK_MONOTONIC.
#pragma once

#include <cstdint>

class TestClock {
 public:
  // Starts at startMicros (not 0, so that "a moment ago" is representable).
  explicit TestClock(int64_t startMicros = int64_t{1000} * 1000000);
  ~TestClock();  // restores the real clock
  TestClock(const TestClock &) = delete;
  TestClock &operator=(const TestClock &) = delete;

  int64_t NowMicros() const;
  void AdvanceMicros(int64_t micros);
  void AdvanceMs(int64_t ms) { AdvanceMicros(ms * 1000); }
};
