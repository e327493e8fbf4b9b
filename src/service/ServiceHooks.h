// The calls a Service makes into pieces of the daemon that sit above it or
// beside it: the operation metrics store, the event publisher, the system
// failure handler, the registry's look-up by name, the recovery actions, and
// the factories of the process objects a Service owns.
//
// Each piece fills in its own entries once at start-up. An entry left empty
// does nothing (a look-up finds nothing), so a Service works on its own, and
// tests replace the process factory with one that makes fake processes.
#pragma once

#include <cstdint>
#include <string>

#include "src/core/SentroTypes.h"
#include "src/service/ServiceTypes.h"

class SysProcess;

struct ServiceHooks {
  // Operation metrics store: opens a record unless the service has one.
  void (*beginOperation)(const std::string &serviceName, const char *operation, const char *status,
                         const char *phase) = nullptr;
  // Ends the service's record; status "NONE" drops it.
  void (*endOperation)(const std::string &serviceName, const char *status,
                       const char *phase) = nullptr;

  // Event publisher: a service's health value changed.
  void (*publishHealthChange)(const std::string &serviceName, HealthStatus newHealth,
                              HealthStatus oldHealth, bool unsolicited) = nullptr;

  // System failure handler.
  void (*reportSystemFailure)(const std::string &serviceName) = nullptr;

  // True once the daemon's shutdown has begun.
  bool (*isShutdownStarted)() = nullptr;

  // The registry's look-up by name; null (after its own message) when no
  // service of that name is registered.
  Service *(*findService)(const std::string &name) = nullptr;

  // Recovery: takes the action configured for the failure type, chosen by
  // *counter, and raises *counter. Called after the service process ended
  // unexpectedly.
  void (*takeRecoveryAction)(Service *service, FailureType failure, int32_t *counter) = nullptr;

  // The outcome of an explicit health check, after its request has been
  // completed: the health failure handling (recovery, live core, system
  // failure) starts here.
  void (*onHealthCheckDone)(Service *service) = nullptr;

  // Makes the process object of a service, of its helper commands and of the
  // route command, tagged for its log lines. Null only when allocation fails.
  SysProcess *(*createProcess)(const std::string &tag) = nullptr;

  // Makes the process object of a servlet service attached to the servlet
  // container named muxServerName; null (after its own message) when there
  // is no such container. While empty, servlet services cannot be created.
  SysProcess *(*createServletProcess)(const std::string &muxServerName) = nullptr;
};

// The hooks in force; pieces fill in their entries at start-up.
ServiceHooks &GetServiceHooks();

// Puts back the defaults: real processes, the daemon's shutdown flag, every
// other entry empty.
void ResetServiceHooks();
