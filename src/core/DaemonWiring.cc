#include "src/core/DaemonWiring.h"

#include "src/control/FailoverClient.h"
#include "src/manager/ServiceManager.h"
#include "src/posix/SystemFailure.h"
#include "src/posix/SystemRestart.h"
#include "src/service/MuxServerHooks.h"
#include "src/service/ServiceHooks.h"
#include "src/service/ServiceRecovery.h"
#include "src/telemetry/EventPublisher.h"
#include "src/telemetry/MetricsStore.h"

namespace {

void ReportFailureOfService(const std::string &serviceName) {
  ReportSystemFailure(GetSystemFailureHandler(), serviceName);
}

}  // namespace

void WireDaemonHooks() {
  ServiceHooks &hooks = GetServiceHooks();
  hooks.reportSystemFailure = ReportFailureOfService;
  hooks.publishHealthChange = PublishHealthChange;
  InstallRecoveryHooks();
  GetRecoveryHooks().restartSystem = RestartSystem;
  GetRecoveryHooks().sendFailoverRequest = SendFailoverRequest;
  InstallMuxServerHooks(&ServiceManager::GetHooks().loadMuxServers,
                        &ServiceManager::GetHooks().reloadMuxServers);
  ConnectMetricsStore();
}
