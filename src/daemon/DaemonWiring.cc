#include "src/daemon/DaemonWiring.h"

#include "src/control/FailoverClient.h"
#include "src/daemon/Daemon.h"
#include "src/daemon/KernelSwitches.h"
#include "src/daemon/SystemFailure.h"
#include "src/manager/ServiceManager.h"
#include "src/process/SysProcess.h"
#include "src/service/servlet/MuxServletProcessImpl.h"
#include "src/telemetry/EventPublisher.h"
#include "src/telemetry/MetricsStore.h"

SysProcess *DaemonEnv::CreateProcess(const std::string &tag) {
  return CreateSysProcess(tag);
}

SysProcess *DaemonEnv::CreateServletProcess(const std::string &container) {
  return CreateMuxServlet(container);
}

Service *DaemonEnv::FindService(const std::string &name) {
  return registry_ != nullptr ? registry_->GetService(name) : nullptr;
}

void DaemonEnv::BeginOperation(const std::string &serviceName, const char *operation,
                               const char *status, const char *phase) {
  ::BeginOperation(serviceName, operation, status, phase);
}

void DaemonEnv::EndOperation(const std::string &serviceName, const char *status,
                             const char *phase) {
  ::EndOperation(serviceName, status, phase);
}

void DaemonEnv::FlushOperationRecords() {
  UpdateSvcsOperationCount();
}

void DaemonEnv::PublishHealthChange(const std::string &serviceName, HealthStatus newHealth,
                                    HealthStatus oldHealth, bool unsolicited) {
  ::PublishHealthChange(serviceName, newHealth, oldHealth, unsolicited);
}

void DaemonEnv::ReportSystemFailure(const std::string &serviceName) {
  ::ReportSystemFailure(GetSystemFailureHandler(), serviceName);
}

bool DaemonEnv::IsShutdownStarted() {
  return ::IsShutdownStarted();
}

bool DaemonEnv::RestartSystem(bool restart) {
  return ::RestartSystem(restart);
}

bool DaemonEnv::SendFailoverRequest(const std::string &path, void (*done)(bool success, void *data),
                                    void *data, uint64_t timeoutSec) {
  return ::SendFailoverRequest(path, done, data, timeoutSec);
}

void DaemonEnv::AttachRegistry(std::unique_ptr<ServiceManager> registry) {
  registry_ = std::move(registry);
  control_.manager = registry_.get();
}

const char *DaemonEnv::MissingSeam() const {
  if (control_.manager == nullptr) {
    return "control context registry";
  }
  if (control_.env == nullptr) {
    return "control context env";
  }
  return nullptr;
}

DaemonEnv &TheDaemonEnv() {
  // Never destroyed: the daemon ends through _exit.
  static DaemonEnv *env = new DaemonEnv();
  return *env;
}

ServiceManager *DaemonRegistry() {
  return TheDaemonEnv().registry();
}
