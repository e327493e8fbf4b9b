#include "support/TestClock.h"

#include "lib/log/clock.h"

namespace {

int64_t nowMicros = 0;

int64_t ReadTestClock() {
  return nowMicros;
}

}  // namespace

TestClock::TestClock(int64_t startMicros) {
  nowMicros = startMicros;
  ClockSetMonotonicSource(ReadTestClock);
}

TestClock::~TestClock() {
  ClockSetMonotonicSource(nullptr);
}

int64_t TestClock::NowMicros() const {
  return nowMicros;
}

void TestClock::AdvanceMicros(int64_t micros) {
  nowMicros += micros;
}
