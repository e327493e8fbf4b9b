// Health: the API health command (one run, and the health its exit code
// stands for), the explicit health check of a started service run by the
// health cycles and by operators, and what a failed check leads to.
#include "lib/log/log.h"
#include "src/core/SentroConfig.h"
#include "src/service/OperationTexts.h"
#include "src/service/Service.h"
#include "src/service/ServiceEnv.h"
#include "src/service/ServiceInternal.h"
#include "src/service/ServiceRecovery.h"

#define HEALTH_EXIT_HEALTHY 0
#define HEALTH_EXIT_START_PENDING 63
#define HEALTH_EXIT_INITIALIZED 64
#define HEALTH_EXIT_UNHEALTHY 65

void ServiceForceKillTimedOut(SysProcess *, void *context) {
  auto *service = static_cast<Service *>(context);
  LogAtLevel(LOG_ERROR,
             "Force kill command timed out, for service <%s>. resulting in system Failure\n",
             service->name().c_str());
  service->env().ReportSystemFailure(service->name());
}

void Service::RunHealthCommand() {
  if (definition_.apiHealthCommand.empty()) {
    SetHealth(HealthStatus::Initialized, "");
    OnHealthOutcome(false);
    return;
  }
  healthOutput_.clear();
  const std::string &user = definition_.runApiHealthCmdAsUser.empty()
                                ? definition_.runAsUser
                                : definition_.runApiHealthCmdAsUser;
  ProcessStartOptions options;
  options.execTimeoutSec = definition_.apiHealthCmdTimeout;
  options.runAsUser = user;
  options.workingDir = definition_.workingDir;
  options.killOnParentDeath = true;
  options.onStdout = HealthCommandStdout;
  options.onStderr = HealthCommandStderr;
  options.onExit = HealthCommandEnded;
  options.context = this;
  LogAtLevel(LOG_INFO, "<%s> Running the API Health command as user %s\n", name_.c_str(),
             user.c_str());
  bool started = healthCmdProcess_->Start(definition_.apiHealthCommand,
                                          definition_.apiHealthCommandArgs, {}, options);
  healthCmdProcess_->SetForceKillTimeoutCallback(ServiceForceKillTimedOut,
                                                 SentroConfig::Get()->DefaultForceKillTimeoutSec());
  if (!started) {
    LogAtLevel(LOG_ERROR, "<%s> Failed to execute service api healthcheck command.\n",
               name_.c_str());
    SetHealth(HealthStatus::Unknown, "");
    OnHealthOutcome(false);
  }
}

void Service::HealthCommandStdout(SysProcess *process, int stream, void *context) {
  auto *service = static_cast<Service *>(context);
  service->healthOutput_ += DrainStream(process, stream);
}

void Service::HealthCommandStderr(SysProcess *process, int stream, void *context) {
  auto *service = static_cast<Service *>(context);
  LogCommandStderr(service->name_, "api-health", process, stream);
}

void Service::HealthCommandEnded(SysProcess *process, void *context) {
  auto *service = static_cast<Service *>(context);
  if (process->HasExecTimedOut()) {
    LogAtLevel(LOG_WARNING, "<%s> Service api healthcheck command timedout.\n",
               service->name_.c_str());
    service->SetHealth(HealthStatus::Unknown, "");
    service->OnHealthOutcome(true);
    return;
  }
  int exitCode = process->GetExitCode();
  switch (exitCode) {
    case HEALTH_EXIT_HEALTHY:
      service->SetHealth(HealthStatus::Healthy, service->healthOutput_);
      break;
    case HEALTH_EXIT_INITIALIZED:
      service->SetHealth(HealthStatus::Initialized, service->healthOutput_);
      break;
    case HEALTH_EXIT_UNHEALTHY:
      service->SetHealth(HealthStatus::Unhealthy, service->healthOutput_);
      break;
    default:
      // "Still starting" means something only to a start that waits; it is
      // not published, since the start has not finished either way.
      if (exitCode == HEALTH_EXIT_START_PENDING && service->request_ != ReqHealthCheck) {
        service->health_ = HealthStatus::StartPending;
        service->healthData_.clear();
        break;
      }
      LogAtLevel(LOG_WARNING,
                 "<%s> Service api healthcheck command returned unknown exit code %d\n",
                 service->name_.c_str(), exitCode);
      service->SetHealth(HealthStatus::Unknown, "");
      break;
  }
  service->OnHealthOutcome(false);
}

namespace {

void LiveCoreOnHealthFailDone(ServiceResult, Service *service, const std::string &, void *) {
  LogAtLevel(LOG_INFO, "<%s> Live core dump operation done on api health fail.\n",
             service->name().c_str());
}

void HandleUnhealthy(Service *service) {
  const char *name = service->name().c_str();
  service->env().EndOperation(service->name(), TELEMETRY_STATUS_UNHEALTHY,
                              TELEMETRY_PHASE_COMPLETED);
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
