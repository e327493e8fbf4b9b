#include "lib/log/clock.h"

#include <time.h>

#include <atomic>

static int64_t RealMonotonicMicros() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Read on every timer check and every throttled log line, from any thread.
static std::atomic<ClockSource> monotonicSource{RealMonotonicMicros};

int64_t ClockMonotonicMicros() {
  return monotonicSource.load(std::memory_order_relaxed)();
}

void ClockSetMonotonicSource(ClockSource source) {
  monotonicSource.store(source ? source : RealMonotonicMicros, std::memory_order_relaxed);
}
