// The stop sequence and what happens when the service process ends: the
// post-stop command, then the decision between a completed stop, a failed or
// timed-out start, the second half of a restart, a clean exit and a crash.
#include <algorithm>
#include <climits>

#include "lib/log/log.h"
#include "src/core/SentroConfig.h"
#include "src/service/OperationTexts.h"
#include "src/service/Service.h"
#include "src/service/ServiceEnv.h"
#include "src/service/ServiceInternal.h"
#include "src/service/ServiceRecovery.h"

static void CreateCrashedRoute(ServiceEnv &env) {
  LogAtLevel(LOG_WARNING,
             "Informing frontgate to create a direct response route as atrium-ui is crashed\n");
  RunRouteCommand(env, "create", "crashed");
}

void Service::SetStop(ServiceCompletion completion, void *context) {
  if (state_ == ServiceState::Stopped) {
    if (completion != nullptr) {
      env_->EndOperation(name_, TELEMETRY_STATUS_NONE, TELEMETRY_PHASE_COMPLETED);
      completion(Ok, this, context);
    }
    return;
  }
  Admission admission = AdmitRequest(ReqStop, completion, context, false);
  if (admission == Admission::Refused) {
    LogAtLevel(LOG_WARNING, "<%s> SetStop: Invalid State %s, Curr request %d.\n", name_.c_str(),
               ServiceStateName(state_), request_);
    if (completion != nullptr) {
      completion(InvalidState, this, context);
    }
    return;
  }
  if (admission == Admission::Superseded) {
    return;
  }
  env_->BeginOperation(name_, TELEMETRY_OP_STOP, TELEMETRY_STATUS_STOPPING,
                       TELEMETRY_PHASE_PENDING);
  if (name_ == ROUTE_UI_SERVICE) {
    LogAtLevel(LOG_WARNING,
               "Informing frontgate to create a direct response route as atrium-ui is stopped\n");
    RunRouteCommand(*env_, "create", "stopped");
  }
  StopProcess();  // the request completes when the process has ended
}

void Service::StopProcess() {
  SetHealth(HealthStatus::Unhealthy, "");
  SetState(ServiceState::Stopping);
  ResetRequestBlock();
  // A process that is not running refuses the stop; its end, if it is still
  // to come, arrives through the exit callback either way.
  if (!definition_.stopCommand.empty()) {
    process_->StopWithCommand(definition_.stopCommand, definition_.stopCommandArgs,
                              definition_.stopTimeout);
  } else {
    process_->StopWithSignal(definition_.stopTimeout, definition_.stopSignal);
  }
}

void Service::ProcessExited(SysProcess *process, void *context) {
  auto *service = static_cast<Service *>(context);
  LogAtLevel(LOG_WARNING, "<%s> Service exited. Exit code %d\n", service->name_.c_str(),
             process->GetExitCode());
  service->OnProcessEnded();
}

void Service::OnProcessEnded() {
  ServiceState stateAtEnd = state_;
  ServiceRequest requestAtEnd = request_;
  SetHealth(HealthStatus::Unhealthy, "");
  SetState(ServiceState::Stopping);
  if (request_ != ReqNone) {
    ResetRequestBlock();
  }
  if (definition_.postStopCommand.empty()) {
    DecideAfterExit(stateAtEnd, requestAtEnd);
    return;
  }
  auto *run = new PostStopRun{this, stateAtEnd, requestAtEnd,
                              std::unique_ptr<SysProcess>(NewProcess(name_ + "-post-stop"))};
  ProcessStartOptions options;
  options.execTimeoutSec = definition_.postStopTimeout;
  options.killOnParentDeath = true;
  options.onStderr = PostStopStderr;
  options.onExit = PostStopEnded;
  options.context = run;
  if (!run->process || !run->process->Start(definition_.postStopCommand,
                                            definition_.postStopCommandArgs, {}, options)) {
    LogAtLevel(LOG_ERROR, "<%s> Failed to execute post stop command.\n", name_.c_str());
    delete run;
    DecideAfterExit(stateAtEnd, requestAtEnd);
    return;
  }
  postStopRun_ = run;
}

void Service::PostStopStderr(SysProcess *process, int stream, void *context) {
  auto *run = static_cast<PostStopRun *>(context);
  LogCommandStderr(run->service->name_, "post-stop", process, stream);
}

// The run owns itself from here: the Service lets go of it before deciding,
// since the decision may start another post-stop run or end the Service.
void Service::PostStopEnded(SysProcess *process, void *context) {
  std::unique_ptr<PostStopRun> run(static_cast<PostStopRun *>(context));
  Service *service = run->service;
  if (service->postStopRun_ == run.get()) {
    service->postStopRun_ = nullptr;
  }
  int exitCode = process->GetExitCode();
  if (exitCode != 0) {
    LogAtLevel(LOG_ERROR, "<%s> Post stop command exec failed. RC=%d\n", service->name_.c_str(),
               exitCode);
  }
  service->DecideAfterExit(run->stateAtEnd, run->requestAtEnd);
}

// What the end of the process means is decided by the request in progress
// and by how the process ended, one row per case; the first row that matches
// decides. ReqStop is checked before the shutdown so that a stop asked for
// during the shutdown still completes with Ok.
void Service::DecideAfterExit(ServiceState stateAtEnd, ServiceRequest requestAtEnd) {
  enum class When {
    Always,
    ShuttingDown,   // the daemon's shutdown has begun
    StartFailure,   // the process ended while its start was waiting for it
    StartTimedOut,  // the start timer stopped the process
  };
  struct Row {
    ServiceRequest request;  // kAnyRequest matches every request
    When when;
    void (Service::*action)();
  };
  constexpr ServiceRequest kAnyRequest = static_cast<ServiceRequest>(-1);
  static const Row kRows[] = {
      {ReqStop, When::Always, &Service::ConfirmStopped},
      {kAnyRequest, When::ShuttingDown, &Service::CancelForShutdown},
      {ReqRestart, When::StartFailure, &Service::FailRestartStart},
      {ReqRestart, When::StartTimedOut, &Service::TimeOutStart},
      {ReqRestart, When::Always, &Service::StartSecondHalfOfRestart},
      {ReqStart, When::StartFailure, &Service::FailStart},
      {ReqStart, When::Always, &Service::TimeOutStart},
      {ReqHealthCheck, When::Always, &Service::CancelCheckThenJudgeExit},
      {kAnyRequest, When::Always, &Service::JudgeUnrequestedExit},
  };

  SetState(ServiceState::Stopped);
  bool startFailure = request_ == requestAtEnd && stateAtEnd == ServiceState::Starting;
  for (const Row &row : kRows) {
    if (row.request != kAnyRequest && row.request != request_) {
      continue;
    }
    bool matches = row.when == When::Always ||
                   (row.when == When::ShuttingDown && env_->IsShutdownStarted()) ||
                   (row.when == When::StartFailure && startFailure) ||
                   (row.when == When::StartTimedOut && startTimedOut_);
    if (matches) {
      (this->*row.action)();
      return;
    }
  }
}

void Service::ConfirmStopped() {
  env_->EndOperation(name_, TELEMETRY_STATUS_STOPPED, TELEMETRY_PHASE_COMPLETED);
  LogAtLevel(LOG_INFO, "<%s> Service STOPPED sucessfully.\n", name_.c_str());
  CompleteRequest(Ok);
}

// Nothing is recovered or restarted while the daemon stops.
void Service::CancelForShutdown() {
  if (request_ != ReqNone) {
    CompleteRequest(Cancelled);
  }
}

void Service::FailRestartStart() {
  lastStopFailed_ = true;
  if (CompleteRequest(StartFailed) && name_ == ROUTE_UI_SERVICE) {
    CreateCrashedRoute(*env_);
  }
}

void Service::FailStart() {
  lastStopFailed_ = true;
  CompleteRequest(StartFailed);
}

void Service::TimeOutStart() {
  lastStopFailed_ = true;
  CompleteRequest(TimedOut);
}

// The stop half of a restart is over; now the start half.
void Service::StartSecondHalfOfRestart() {
  lastStopFailed_ = false;
  ApplyStartRouteRule();
  BeginStart();
}

void Service::CancelCheckThenJudgeExit() {
  lastStopFailed_ = true;
  if (CompleteRequest(Cancelled)) {
    JudgeUnrequestedExit();
  }
}

// The process ended on its own: a clean exit by its code, else a crash that
// is recovered, or only counted when crash recovery is off.
void Service::JudgeUnrequestedExit() {
  lastStopFailed_ = true;
  const std::vector<int32_t> &cleanCodes = definition_.cleanExitCodes;
  int exitCode = process_->GetExitCode();
  if (std::find(cleanCodes.begin(), cleanCodes.end(), exitCode) != cleanCodes.end()) {
    lastStopFailed_ = false;
    LogAtLevel(LOG_INFO, "<%s> Service exited cleanly.\n", name_.c_str());
    return;
  }
  if (SentroConfig::Get()->RecoverOnServiceCrash()) {
    LogAtLevel(LOG_WARNING,
               "<%s> Service exited unexpectedly. Crash count %d. Taking configured recovery "
               "action.\n",
               name_.c_str(), counters_.processCrash);
    RecoverFromCrash(this);
    return;
  }
  env_->EndOperation(name_, TELEMETRY_STATUS_CRASHED, TELEMETRY_PHASE_COMPLETED);
  LogAtLevel(LOG_INFO,
             "<%s> Service exited unexpectedly. Crash count %d. Recovery action is disabled\n",
             name_.c_str(), counters_.processCrash);
  if (name_ == ROUTE_UI_SERVICE) {
    CreateCrashedRoute(*env_);
  }
  if (counters_.processCrash != INT_MAX) {
    counters_.processCrash++;
  }
}

void Service::ProcessDumpingCore(SysProcess *, void *context) {
  auto *service = static_cast<Service *>(context);
  service->OnCoreDump();
}

// A client reported that the service process is dumping core. Only an idle
// service, or one merely checking its health, counts it; the exit follows.
void Service::OnCoreDump() {
  LogAtLevel(LOG_INFO, "<%s> Service is dumping core. Coredump count %d. CurrReq: %d\n",
             name_.c_str(), counters_.processCoredump, request_);
  if (request_ != ReqNone && request_ != ReqHealthCheck) {
    return;
  }
  SetHealth(HealthStatus::Unhealthy, "");
  SetState(ServiceState::Stopping);
  if (request_ == ReqHealthCheck && !CompleteRequest(Cancelled)) {
    return;
  }
  // The count has no cap; it wraps rather than overflow.
  counters_.processCoredump =
      static_cast<int32_t>(static_cast<uint32_t>(counters_.processCoredump) + 1);
}
