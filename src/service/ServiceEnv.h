// Everything a Service and the registry need from the daemon around them:
// the process factories, the registry's look-up by name, the operation
// metrics store, the event publisher, the system failure handler, the
// machine restart and the HA failover request.
//
// The daemon passes one ServiceEnv to the registry, which hands it to every
// Service it creates, as a storage engine is handed its Env. Every entry is
// pure virtual: an implementation that leaves one out does not compile, so
// no seam can be left empty by accident. The daemon's implementation lives
// in src/daemon/DaemonWiring.cc; the tests use RecordingEnv.
#pragma once

#include <cstdint>
#include <string>

#include "src/service/ServiceTypes.h"

class SysProcess;

class ServiceEnv {
 public:
  virtual ~ServiceEnv() = default;

  // The process object of a service, of its helper commands and of the route
  // command, tagged for its log lines. Null only when allocation fails.
  virtual SysProcess *CreateProcess(const std::string &tag) = 0;
  // The process object of a servlet service attached to the servlet
  // container named container; null (after its own message) when there is
  // no such container.
  virtual SysProcess *CreateServletProcess(const std::string &container) = 0;

  // The registry's look-up: null (after its own message) when no service of
  // that name is registered.
  virtual Service *FindService(const std::string &name) = 0;

  // Operation metrics store: opens a record unless the service has one; ends
  // the record (status "NONE" drops it); writes the ended records out.
  virtual void BeginOperation(const std::string &serviceName, const char *operation,
                              const char *status, const char *phase) = 0;
  virtual void EndOperation(const std::string &serviceName, const char *status,
                            const char *phase) = 0;
  virtual void FlushOperationRecords() = 0;

  // Event publisher: a service's health value changed.
  virtual void PublishHealthChange(const std::string &serviceName, HealthStatus newHealth,
                                   HealthStatus oldHealth, bool unsolicited) = 0;

  // The system failure handler: a service failed in a way that may take the
  // machine down with it.
  virtual void ReportSystemFailure(const std::string &serviceName) = 0;
  // True once the daemon's shutdown has begun: nothing starts any more.
  virtual bool IsShutdownStarted() = 0;

  // Restarts (restart true) or powers off the machine; returns only when
  // the request was refused.
  virtual bool RestartSystem(bool restart) = 0;
  // Asks the HA listener at path to fail this node over. True when the
  // request is under way; done then follows exactly once.
  virtual bool SendFailoverRequest(const std::string &path, void (*done)(bool success, void *data),
                                   void *data, uint64_t timeoutSec) = 0;
};
