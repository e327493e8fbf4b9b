// The explicit health check of a started service, run by the periodic
// health cycles and by operators, and what its outcome leads to.
#include "lib/log/log.h"
#include "src/core/SentroConfig.h"
#include "src/service/OperationTexts.h"
#include "src/service/Service.h"
#include "src/service/ServiceEnv.h"
#include "src/service/ServiceInternal.h"
#include "src/service/ServiceRecovery.h"


namespace {

void LiveCoreOnHealthFailDone(ServiceResult, Service *service, const std::string &, void *) {
  LogAtLevel(LOG_INFO, "<%s> Live core dump operation done on api health fail.\n",
             service->name().c_str());
}

void HandleUnhealthy(Service *service) {
  const char *name = service->name().c_str();
  service->env().EndOperation(service->name(), TELEMETRY_STATUS_UNHEALTHY, TELEMETRY_PHASE_COMPLETED);
  LogAtLevel(LOG_WARNING, "<%s> Health of service failed. Health data: %s\n", name,
             service->healthData().c_str());
  if (IsLiveCoreInProgress(service)) {
    LogAtLevel(LOG_WARNING, "<%s> Service  process paused. No recovery action taken.\n", name);
  } else if (service->definition().dumpLiveCoreOnApiHealthFail) {
    LogAtLevel(LOG_INFO, "Initiating live core dump of %s on api health fail.\n", name);
    TakeLiveCore(service, LiveCoreOnHealthFailDone, nullptr);
  } else if (SentroConfig::Get()->RecoverOnServiceHealthFail()) {
    int32_t *counter = &service->failCounters().apiHealthFail;
    LogAtLevel(LOG_INFO, "<%s> Recover from service api health check failure. Fail count %d\n",
               name, *counter);
    TakeRecoveryAction(service, service->SelectRecoveryActions(FailureType::HealthFail), counter);
  } else {
    LogAtLevel(LOG_WARNING, "<%s> Recovery action on service health fail is disabled.\n", name);
  }
}

}  // namespace

void RunHealthCheck(Service *service, ServiceCompletion completion, void *context) {
  if (service->definition().apiHealthCommand.empty()) {
    if (completion != nullptr) {
      completion(Ok, service, context);
    }
    return;
  }
  if (service->state() == ServiceState::Started &&
      service->TrySetRequest(ReqHealthCheck, completion, context)) {
    service->RunHealthCommand();
    return;
  }
  LogAtLevel(LOG_INFO, "<%s> Skip service health check. State %s, Curr request %d\n",
             service->name().c_str(), ServiceStateName(service->state()),
             static_cast<int>(service->request()));
  if (completion != nullptr) {
    completion(InvalidState, service, context);
  }
}

// Runs after the health check's request was completed.
void OnExplicitHealthCheckDone(Service *service) {
  switch (service->health()) {
    case HealthStatus::Unhealthy:
      HandleUnhealthy(service);
      break;
    case HealthStatus::Unknown:
      LogAtLevel(LOG_ERROR, "<%s> health state unknown ,considered as system failure\n",
                 service->name().c_str());
      service->env().ReportSystemFailure(service->name());
      break;
    default:
      break;
  }
}
