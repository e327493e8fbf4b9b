// The values that describe one managed service at a moment: its state, its
// health, the request it is working on and the results its requests end with.
// The numbers appear in logs and on the control wire, so they never change.
#pragma once

#include <cstdint>

class Service;

enum class ServiceState : int32_t {
  Starting = 0,  // launched, not yet reported ready
  Stopping = 1,  // a stop was issued, or the process ended and its post-stop step runs
  Started = 2,   // running and ready
  Stopped = 3,   // not running; also while the pre-start command runs
};

enum class HealthStatus : int32_t {
  Unhealthy = 0,
  Healthy = 1,
  Initialized = 2,
  StartPending = 3,
  Unknown = 4,
};

// One request at a time per service; logs print the number.
enum ServiceRequest : int32_t {
  ReqNone = 0,
  ReqStart = 1,
  ReqStop = 2,
  ReqRestart = 3,
  ReqHealthCheck = 4,
  ReqConfigChange = 5,
};

enum ServiceResult : int32_t {
  Ok = 0,
  TimedOut = 1,
  StartFailed = 2,
  Cancelled = 3,
  Failed = 4,
  InvalidState = 5,
  InvalidStartupType = 6,
  Disabled = 9,
};

// Called once when a request ends. May run before the requesting call returns.
using ServiceCompletion = void (*)(ServiceResult result, Service *service, void *context);

// "STARTING", "STOPPING", "STARTED", "STOPPED"; "" for any other value.
const char *ServiceStateName(ServiceState state);

// "UNHEALTHY", "HEALTHY", "INITIALIZED", "START_PENDING", "UNKNOWN"; "" for any
// other value.
const char *HealthStatusName(HealthStatus health);

// The snapshot given to status readers.
struct ServiceStatus {
  ServiceState state = ServiceState::Stopped;
  bool lastStopFailed = false;  // filled only when stopped
  uint64_t msInState = 0;
  int32_t pid = 0;  // filled only when not stopped
};

// Monotonic milliseconds, the unit of every duration a service keeps.
uint64_t ServiceNowMs();
