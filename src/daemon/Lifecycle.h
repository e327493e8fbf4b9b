// The daemon's process-wide life flags, written and read on the main thread.
#pragma once

#include <cstdint>

// Sets the shutdown-started flag; true only for the first caller, so a second
// termination signal does not start a second shutdown.
bool BeginShutdownOnce();

// True once the shutdown has begun: services and batches stop starting things.
bool IsShutdownStarted();

// The event loop returns when this byte becomes 1.
volatile uint8_t *DaemonExitFlag();
