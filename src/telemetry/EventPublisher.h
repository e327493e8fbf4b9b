// Tells the outside world about every change of a service's health by
// running the publisher script ("sentroEventPublisher.py" in
// EventPublisherScriptDir) with the interpreter named by NORVANE_PYTHON_BIN.
// Changes queue up; one script process runs at a time and takes every
// change queued before it started, one "--eventdata" argument each.
#pragma once

#include <string>

#include "src/service/ServiceTypes.h"

// Queues the change; the script runs later on the event loop.
void PublishHealthChange(const std::string &serviceName, HealthStatus newHealth,
                         HealthStatus oldHealth, bool unsolicited);

// The text of one event: name,NEW,OLD,1|0.
std::string HealthEventText(const std::string &serviceName, HealthStatus newHealth,
                            HealthStatus oldHealth, bool unsolicited);
