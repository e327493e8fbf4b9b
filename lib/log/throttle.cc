#include "lib/log/throttle.h"

#define THROTTLE_MEASURE_MICROS 5000000ull
#define THROTTLE_REMEASURE_MICROS 60000000ull

void ThrottleConfigure(ThrottleState *state, int threshold, int bytesPerSec,
                       bool noLogAfterThreshold) {
  state->threshold = static_cast<uint32_t>(threshold);
  if (noLogAfterThreshold) {
    state->allowedRate = 0;
  } else if (bytesPerSec <= 0) {
    state->allowedRate = THROTTLE_UNLIMITED;
  } else {
    state->allowedRate = static_cast<uint32_t>(bytesPerSec);
  }
}

bool ThrottleUpdate(ThrottleState *state, uint64_t length, uint64_t nowMicros, bool measure) {
  state->totalBytes += length;
  if (state->allowedRate == THROTTLE_UNLIMITED) {
    return false;
  }
  if (state->totalBytes <= state->threshold) {
    // The rate counts from the moment the threshold is passed.
    state->lastMeasureMicros = nowMicros;
    state->totalAtLastMeasure = state->totalBytes;
    return false;
  }
  if (!measure) {
    return state->throttled != 0;
  }
  if (state->allowedRate == 0) {
    state->throttled = 1;
    return true;
  }
  uint64_t elapsed = nowMicros - state->lastMeasureMicros;
  uint64_t interval = state->throttled ? THROTTLE_REMEASURE_MICROS : THROTTLE_MEASURE_MICROS;
  if (elapsed > interval) {
    unsigned __int128 bytes = state->totalBytes - state->totalAtLastMeasure;
    uint64_t rate = static_cast<uint64_t>(bytes * 1000000u / elapsed);
    state->throttled = rate > state->allowedRate ? 1 : 0;
    state->lastMeasureMicros = nowMicros;
    state->totalAtLastMeasure = state->totalBytes;
  }
  return state->throttled != 0;
}
