#include "src/service/ServiceTypes.h"

#include "lib/log/clock.h"

const char *ServiceStateName(ServiceState state) {
  static const char *const kNames[] = {"STARTING", "STOPPING", "STARTED", "STOPPED"};
  auto index = static_cast<uint32_t>(state);
  return index < 4 ? kNames[index] : "";
}

const char *HealthStatusName(HealthStatus health) {
  static const char *const kNames[] = {"UNHEALTHY", "HEALTHY", "INITIALIZED", "START_PENDING",
                                       "UNKNOWN"};
  auto index = static_cast<uint32_t>(health);
  return index < 5 ? kNames[index] : "";
}

uint64_t ServiceNowMs() {
  return static_cast<uint64_t>(ClockMonotonicMicros() / 1000);
}
