// What the daemon does once its startup profile has been started: the
// post-startup command, the periodic health-check cycles and the telemetry
// push timer.
#pragma once

#include <string>

// The completion of the start-up batch. context is a heap bool, "run the
// post-startup command", which this callback frees.
void OnStartupProfileDone(int errorCode, const std::string &failedServices, void *context);
