// Throttling of a file output: once more than a threshold of bytes has been
// logged, the output stops writing while the measured rate exceeds the
// allowed rate. The rate is measured at most every 5 seconds while writing
// and every 60 seconds while throttled, on the injectable monotonic clock.
#pragma once

#include <cstdint>

// The allowed rate that means "never throttle".
#define THROTTLE_UNLIMITED 0xFFFFFFFFu

struct ThrottleState {
  uint8_t throttled = 0;
  uint32_t threshold = 1000000;
  uint32_t allowedRate = 1000;  // bytes per second
  uint64_t totalBytes = 0;
  uint64_t lastMeasureMicros = 0;
  uint64_t totalAtLastMeasure = 0;
};

// Sets the threshold and rate from the output's options: `bytesPerSec` 0 or
// -1 is unlimited, `noLogAfterThreshold` throttles for good past the threshold.
void ThrottleConfigure(ThrottleState *state, int threshold, int bytesPerSec,
                       bool noLogAfterThreshold);

// Accounts `length` more bytes at `nowMicros`; `measure` is false for
// continuation lines, which never change the state. Returns whether the
// output is throttled now.
bool ThrottleUpdate(ThrottleState *state, uint64_t length, uint64_t nowMicros, bool measure);
