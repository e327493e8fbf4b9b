// The daemon's spine: start-up in a fixed order, the event loop, the two
// operations its signals trigger (reload and shutdown), the shutdown flags
// the services read, and the log output the configuration chooses.
#pragma once

#include <cstdint>

struct LogOutput;

// Runs the daemon; returns only for the usage (status 1). Every other path
// ends the process through _exit.
int DaemonMain(int argc, char **argv);

// SIGHUP: re-reads config.json, adjusts the log output, reloads services.
void ReloadConfiguration();

// First termination signal: stops every service in stop order, then ends the
// event loop.
void InitiateShutdown();

// Sets the shutdown-started flag; true only for the first caller, so a second
// termination signal does not start a second shutdown.
bool BeginShutdownOnce();

// True once the shutdown has begun: services and batches stop starting things.
bool IsShutdownStarted();

// The event loop returns when this byte becomes 1.
volatile uint8_t *DaemonExitFlag();

// Installs a rotating "sentro.log" file output or syslog at the given level
// in place of the current output. A failed creation keeps the current one.
void SwitchLogger(bool logToSyslog, int level);

// The output installed by the last successful switch, or null.
LogOutput *CurrentLogOutput();
