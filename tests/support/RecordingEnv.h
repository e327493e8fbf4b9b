// The env that unit tests give services and registries: it makes fake
// processes and records, in order, everything a Service tells the daemon
// around it (metrics records, health events, system failures, machine
// restarts, failover requests).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "src/service/ServiceEnv.h"

struct PublishedChange {
  std::string service;
  HealthStatus newHealth;
  HealthStatus oldHealth;
  bool unsolicited;
};

class RecordingEnv : public ServiceEnv {
 public:
  SysProcess *CreateProcess(const std::string &tag) override;
  SysProcess *CreateServletProcess(const std::string &container) override;
  Service *FindService(const std::string &name) override;
  void BeginOperation(const std::string &serviceName, const char *operation, const char *status,
                      const char *phase) override;
  void EndOperation(const std::string &serviceName, const char *status,
                    const char *phase) override;
  void FlushOperationRecords() override;
  void PublishHealthChange(const std::string &serviceName, HealthStatus newHealth,
                           HealthStatus oldHealth, bool unsolicited) override;
  void ReportSystemFailure(const std::string &serviceName) override;
  bool IsShutdownStarted() override { return shuttingDown; }
  bool RestartSystem(bool restart) override;
  bool SendFailoverRequest(const std::string &path, void (*done)(bool success, void *data),
                           void *data, uint64_t timeoutSec) override;

  // "begin <name> <op> <status> <phase>", "end <name> <status> <phase>", "flush".
  std::vector<std::string> operations;
  std::vector<PublishedChange> published;
  std::vector<std::string> systemFailures;
  std::vector<std::string> restarts;  // "RESTART" or "POWER_OFF"
  std::vector<std::string> failoverPaths;
  // The last failover request's completion, for the test to call.
  void (*failoverDone)(bool success, void *data) = nullptr;
  void *failoverData = nullptr;
  bool failoverStarts = true;

  // What FindService answers; services created by a test register here.
  std::map<std::string, Service *> registry;
  bool shuttingDown = false;
  // Makes servlet processes; by default a fake tagged with the container.
  std::function<SysProcess *(const std::string &container)> servletFactory;

  void Clear();  // forgets the records, keeps registry and settings
};
