// Self-monitoring and the decision to restart the machine. A periodic timer
// on the main thread beats a heartbeat; a watchdog thread checks it once a
// period and, under the "FAILOVER" recovery profile, restarts the machine
// when the main thread has stopped making progress. A failing critical
// service under that profile restarts the machine too.
#pragma once

#include <string>

class SystemFailureHandler;

// Creates the handler (and, when "EnableLivenessCheck" is true, the heartbeat
// and the watchdog thread) on the first call; null when the thread cannot be
// created.
SystemFailureHandler *GetSystemFailureHandler();

// Asks the watchdog thread to end at its next wake.
void StopWatchdog(SystemFailureHandler *handler);

// Restarts the machine when the active recovery profile is "FAILOVER",
// "HaltOnSystemFailHA" is true and the service belongs to "CRITICAL".
void ReportSystemFailure(SystemFailureHandler *handler, const std::string &serviceName);

// The watchdog's check of one period, run by its thread after each sleep;
// returns false once a stop was requested. Exposed for tests.
bool WatchdogCheckOnce();
// The heartbeat the main thread beats. Exposed for tests.
void WatchdogHeartbeat(void *unused);
