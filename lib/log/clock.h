// The monotonic clock behind every interval the daemon measures: event-loop
// deadlines, log throttling, service durations. Reached through one function
// pointer so that tests can substitute a clock they advance by hand.
#pragma once

#include <cstdint>

using ClockSource = int64_t (*)();

// Microseconds of CLOCK_MONOTONIC, or of the installed source.
int64_t ClockMonotonicMicros();

// Installs a replacement clock; null restores the real one.
void ClockSetMonotonicSource(ClockSource source);
