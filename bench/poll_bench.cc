// Cost of the event loop's timer paths: arming and firing a one-shot timer
// while other timers are armed, and a periodic timer's firing and re-arm.
#include <benchmark/benchmark.h>

#include "lib/log/clock.h"
#include "lib/pollDefault/poll.h"

namespace {

int64_t fakeNow = 1000000000;
int64_t FakeClock() {
  return fakeNow;
}

void Nothing(void *) {}
void Count(void *counter) {
  ++*static_cast<int64_t *>(counter);
}

// Arms a one-shot timer with delay 0 and runs one step of the loop, which
// fires it, while state.range(0) other timers wait an hour.
void BM_OneShotTimerArmAndFire(benchmark::State &state) {
  PollInstallDefault();
  for (int64_t i = 0; i < state.range(0); i++) {
    PollAddTimer(Nothing, reinterpret_cast<void *>(i + 1), 3600000000LL + i, false, nullptr);
  }
  volatile uint8_t exitFlag = 0;
  int64_t fired = 0;
  for (auto _ : state) {
    PollAddTimer(Count, &fired, 0, false, nullptr);
    PollRun(false, &exitFlag, POLL_CLASS_MAIN, 0);
  }
  if (fired != static_cast<int64_t>(state.iterations())) {
    state.SkipWithError("a timer did not fire");
  }
  PollShutdown();
}
BENCHMARK(BM_OneShotTimerArmAndFire)->Arg(1)->Arg(100)->Arg(10000);

// One step of the loop in which a periodic timer is due: it fires and is
// re-armed from the step's clock reading.
void BM_PeriodicTimerFiring(benchmark::State &state) {
  ClockSetMonotonicSource(FakeClock);
  PollInstallDefault();
  int64_t fired = 0;
  PollAddTimer(Count, &fired, 1000, true, nullptr);
  volatile uint8_t exitFlag = 0;
  for (auto _ : state) {
    fakeNow += 1000;
    PollRun(false, &exitFlag, POLL_CLASS_MAIN, 0);
  }
  if (fired != static_cast<int64_t>(state.iterations())) {
    state.SkipWithError("the periodic timer missed a step");
  }
  PollShutdown();
  ClockSetMonotonicSource(nullptr);
}
BENCHMARK(BM_PeriodicTimerFiring);

}  // namespace

BENCHMARK_MAIN();
