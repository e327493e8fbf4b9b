#include "src/service/ServiceRecovery.h"

#include <climits>

#include "lib/log/log.h"
#include "src/core/SentroConfig.h"
#include "src/service/Service.h"
#include "src/service/ServiceEnv.h"
#include "src/service/ServiceInternal.h"

namespace {

const uint64_t kFailoverTimeoutSec = 120;

void RecoveryRestartDone(ServiceResult result, Service *service, void *) {
  if (result == Ok || result == InvalidState) {
    return;
  }
  int32_t &quickFails = service->quickFailCount();
  if (quickFails < INT32_MAX) {
    quickFails++;
  }
  if (quickFails <= SentroConfig::Get()->MaxServiceQuickRecoveryCount()) {
    LogAtLevel(LOG_WARNING, "<%s> Service failed to recover. Try again. Fail count %d\n",
               service->name().c_str(), quickFails);
    service->SetRestart(RecoveryRestartDone, nullptr, Service::RestartOrigin::Recovery);
    return;
  }
  LogAtLevel(LOG_ERROR, "<%s> Service reached max quick failure count. Give up!!!\n",
             service->name().c_str());
  service->env().ReportSystemFailure(service->name());
}

void FailoverDone(bool success, void *) {
  LogAtLevel(LOG_INFO, "DUO failover call done. Success : %d\n", success ? 1 : 0);
}

void RequestFailover(Service *service) {
  bool started = service->env().SendFailoverRequest(SentroConfig::Get()->FailoverListenerPath(),
                                                     FailoverDone, service, kFailoverTimeoutSec);
  if (started) {
    LogAtLevel(LOG_INFO, "<%s> Initiated DUO failover for service.\n", service->name().c_str());
    return;
  }
  LogAtLevel(LOG_ERROR, "<%s> Failed to send duo failover request for service.\n",
             service->name().c_str());
  service->env().ReportSystemFailure(service->name());
}

RecoveryAction ChooseAction(const RecoveryActionList &actions, int32_t counter) {
  if (actions.empty()) {
    return RecoveryAction::NoAction;
  }
  size_t index = counter < 0 ? 0 : static_cast<size_t>(counter);
  return index < actions.size() ? actions[index] : actions.back();
}

}  // namespace

void RecoverFromCrash(Service *service, FailureType failure, int32_t *counter) {
  TakeRecoveryAction(service, service->SelectRecoveryActions(failure), counter);
}

void TakeRecoveryAction(Service *service, const RecoveryActionList &actions, int32_t *counter) {
  RecoveryAction action = ChooseAction(actions, *counter);
  service->lastRecoveryMs() = ServiceNowMs();
  if (*counter < INT32_MAX) {
    (*counter)++;
  }
  switch (action) {
    case RecoveryAction::RestartSystem: {
      LogAtLevel(LOG_INFO, "Issuing system restart request.\n");
      if (service->env().RestartSystem(true)) {
        LogAtLevel(LOG_ERROR, "Failed to restart system.\n");
      }
      break;
    }
    case RecoveryAction::HaFailover:
      RequestFailover(service);
      break;
    case RecoveryAction::RestartService:
      LogAtLevel(LOG_INFO, "<%s> Restarting service.\n", service->name().c_str());
      service->quickFailCount() = 0;
      service->SetRestart(RecoveryRestartDone, nullptr, Service::RestartOrigin::Recovery);
      break;
    case RecoveryAction::NoAction:
      break;
  }
}

void ResetFailCounters(Service *service) {
  service->failCounters() = ServiceFailCounters();
  LogAtLevel(LOG_INFO, "<%s> Reset fail counters of service.\n", service->name().c_str());
}

bool IsFailCounterResetDue(const Service *service) {
  uint64_t sinceMs = ServiceNowMs() - const_cast<Service *>(service)->lastRecoveryMs();
  return sinceMs > static_cast<uint64_t>(SentroConfig::Get()->ResetServiceFailCounterTime()) * 1000;
}
