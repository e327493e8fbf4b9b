// Recovery of a failing service: the action a failure counter picks from a
// list (restart with a quick-failure limit, system restart, HA failover),
// live core dumps of the running process, and the fail counters' reset.
#include "src/service/ServiceRecovery.h"

#include <climits>
#include <map>
#include <memory>

#include "lib/log/log.h"
#include "src/core/SentroConfig.h"
#include "src/process/CommandHelpers.h"
#include "src/process/SysProcess.h"
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

RecoveryAction ActionForFailureCount(const RecoveryActionList &actions, int32_t counter) {
  if (actions.empty()) {
    return RecoveryAction::NoAction;
  }
  size_t index = counter < 0 ? 0 : static_cast<size_t>(counter);
  return index < actions.size() ? actions[index] : actions.back();
}

}  // namespace

void RecoverFromCrash(Service *service) {
  TakeRecoveryAction(service, service->SelectRecoveryActions(FailureType::Crash),
                     &service->failCounters().processCrash);
}

void TakeRecoveryAction(Service *service, const RecoveryActionList &actions, int32_t *counter) {
  RecoveryAction action = ActionForFailureCount(actions, *counter);
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

// Live core dumps: gcore writes the core file while the service runs on.

namespace {

// The dump running for a service; at most one per service.
struct LiveCoreRun {
  Service *service;
  LiveCoreCompletion completion;
  void *context;
  std::string corePath;
  std::unique_ptr<SysProcess> process;
};

std::map<const Service *, LiveCoreRun *> &RunningDumps() {
  static std::map<const Service *, LiveCoreRun *> runs;
  return runs;
}

void LiveCoreEnded(SysProcess *process, void *clientData) {
  std::unique_ptr<LiveCoreRun> run(static_cast<LiveCoreRun *>(clientData));
  RunningDumps().erase(run->service);
  // The process object is deleted by this callback; keep it until we return.
  std::unique_ptr<SysProcess> ended = std::move(run->process);
  Service *service = run->service;
  if (service->request() == ReqHealthCheck) {
    service->CompleteRequest(Cancelled);
  }
  int exitCode = process->GetExitCode();
  if (exitCode != 0) {
    LogAtLevel(LOG_ERROR, "<%s> Failed to take service live core. RC=%d\n", service->name().c_str(),
               exitCode);
    run->completion(Failed, service, "", run->context);
  } else {
    run->completion(Ok, service, run->corePath, run->context);
  }
}

}  // namespace

bool IsLiveCoreInProgress(const Service *service) {
  return RunningDumps().count(service) != 0;
}

void TakeLiveCore(Service *service, LiveCoreCompletion completion, void *context) {
  if (IsLiveCoreInProgress(service) || service->state() == ServiceState::Stopped) {
    completion(InvalidState, service, "", context);
    return;
  }
  auto run = std::make_unique<LiveCoreRun>();
  run->service = service;
  run->completion = completion;
  run->context = context;
  std::string program;
  std::vector<std::string> args;
  BuildLiveCoreCommand(service->process()->GetPid(), service->name(), &program, &args,
                       &run->corePath);
  run->process.reset(service->env().CreateProcess(service->name() + "-live-core"));
  ProcessStartOptions options;
  options.execTimeoutSec = -1;
  options.killOnParentDeath = true;
  options.onExit = LiveCoreEnded;
  options.context = run.get();
  if (run->process == nullptr || !run->process->Start(program, args, {}, options)) {
    completion(Failed, service, "", context);
    return;
  }
  // The end callback owns the run from here on.
  RunningDumps()[service] = run.release();
}
