// The one place where the daemon connects its layers. DaemonEnv answers every
// call that the services and the registry make upward (process factories,
// registry look-up, metrics store, event publisher, system failure, machine
// restart, HA failover); the control server is handed the registry and the
// env. A reader can check each seam below against ServiceEnv.
#pragma once

#include <memory>

#include "src/control/ControlServer.h"
#include "src/service/ServiceEnv.h"

class ServiceManager;

class DaemonEnv final : public ServiceEnv {
 public:
  SysProcess *CreateProcess(const std::string &tag) override;
  SysProcess *CreateServletProcess(const std::string &container) override;
  Service *FindService(const std::string &name) override;
  void BeginOperation(const std::string &serviceName, const char *operation, const char *status,
                      const char *phase) override;
  void EndOperation(const std::string &serviceName, const char *status, const char *phase) override;
  void FlushOperationRecords() override;
  void PublishHealthChange(const std::string &serviceName, HealthStatus newHealth,
                           HealthStatus oldHealth, bool unsolicited) override;
  void ReportSystemFailure(const std::string &serviceName) override;
  bool IsShutdownStarted() override;
  bool RestartSystem(bool restart) override;
  bool SendFailoverRequest(const std::string &path, void (*done)(bool success, void *data),
                           void *data, uint64_t timeoutSec) override;

  // The registry, once start-up has built it; look-ups before find nothing.
  void AttachRegistry(std::unique_ptr<ServiceManager> registry);
  ServiceManager *registry() const { return registry_.get(); }
  // What the control server acts on: filled in as start-up builds it, read
  // only once the event loop runs.
  const ControlContext *controlContext() const { return &control_; }

  // The first entry start-up has left unset ("control context registry",
  // "control context env"), or null when every seam is connected. The env's
  // own entries are checked by the compiler; these are filled in at run time.
  const char *MissingSeam() const;

 private:
  std::unique_ptr<ServiceManager> registry_;
  ControlContext control_{nullptr, this};
};

// The daemon's env; lives until the process ends.
DaemonEnv &TheDaemonEnv();

// The daemon's registry; null until start-up has built it.
ServiceManager *DaemonRegistry();
