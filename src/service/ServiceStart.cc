// The start sequence: admission, definition re-read, pre-start command,
// launch, start time-out and health polling until the service reports ready;
// and the direct-response route that frontgate serves while atrium-ui is
// down, created and deleted as either of them starts or stops.
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "lib/log/log.h"
#include "lib/pollDefault/poll.h"
#include "src/core/SentroConfig.h"
#include "src/core/SysPaths.h"
#include "src/process/SysProcess.h"
#include "src/service/OperationTexts.h"
#include "src/service/Service.h"
#include "src/service/ServiceEnv.h"
#include "src/service/ServiceInternal.h"
#include "src/service/ServiceRecovery.h"

#define START_POLL_MIN_SECS 1
#define START_POLL_MAX_SECS 8
// The limit of a pre-start command's run.
#define PRE_START_EXEC_TIMEOUT_SECS 300

void Service::SetStart(ServiceCompletion completion, void *context) {
  if (state_ == ServiceState::Started) {
    if (completion != nullptr) {
      env_->EndOperation(name_, TELEMETRY_STATUS_NONE, TELEMETRY_PHASE_COMPLETED);
      completion(Ok, this, context);
    }
    return;
  }
  if (definition_.startupType == StartupType::Disabled) {
    LogAtLevel(LOG_WARNING, "<%s> SetStart: Service is currently disabled.\n", name_.c_str());
    if (completion != nullptr) {
      completion(Disabled, this, context);
    }
    return;
  }
  Admission admission = state_ == ServiceState::Stopped
                            ? AdmitRequest(ReqStart, completion, context, false)
                            : Admission::Refused;
  if (admission == Admission::Refused) {
    LogAtLevel(LOG_WARNING, "<%s> SetStart: Invalid State %s, Curr request %d.\n", name_.c_str(),
               ServiceStateName(state_), request_);
    if (completion != nullptr) {
      completion(InvalidState, this, context);
    }
    return;
  }
  if (admission == Admission::Superseded) {
    return;
  }
  env_->BeginOperation(name_, TELEMETRY_OP_START, TELEMETRY_STATUS_UNHEALTHY,
                       TELEMETRY_PHASE_PENDING);
  ApplyStartRouteRule();
  lastStopFailed_ = false;
  BeginStart();
}

void Service::SetRestart(ServiceCompletion completion, void *context, RestartOrigin origin) {
  if (definition_.startupType == StartupType::Disabled) {
    LogAtLevel(LOG_WARNING, "<%s> SetRestart: Service is currently disabled.\n", name_.c_str());
    if (completion != nullptr) {
      completion(Disabled, this, context);
    }
    return;
  }
  Admission admission =
      AdmitRequest(ReqRestart, completion, context, origin == RestartOrigin::Recovery);
  if (admission == Admission::Refused) {
    LogAtLevel(LOG_WARNING, "<%s> SetRestart: Invalid State %s, Curr request %d.\n", name_.c_str(),
               ServiceStateName(state_), request_);
    if (completion != nullptr) {
      completion(InvalidState, this, context);
    }
    return;
  }
  if (admission == Admission::Superseded) {
    return;
  }
  env_->BeginOperation(name_, TELEMETRY_OP_RESTART, TELEMETRY_STATUS_HEALTHY,
                       TELEMETRY_PHASE_PENDING);
  lastStopFailed_ = false;
  if (state_ != ServiceState::Stopped) {
    StopProcess();  // the start follows in DecideAfterExit
    return;
  }
  ApplyStartRouteRule();
  BeginStart();
}

// Starting atrium-ui while frontgate serves its direct-response route: the
// route goes, the real UI takes over.
void Service::ApplyStartRouteRule() const {
  if (name_ == ROUTE_UI_SERVICE && IsServiceStarted(*env_, ROUTE_PROXY_SERVICE)) {
    LogAtLevel(LOG_WARNING, "Deleting the direct response route created for atrium-ui\n");
    RunRouteCommand(*env_, "delete", "None");
  }
}

void Service::BeginStart() {
  if (!IsRecoveryRestart()) {
    LoadDefinition(true);  // after a failed read the previous definition stays
  }
  if (definition_.preStartCommand.empty()) {
    Launch();
    return;
  }
  const SentroConfig &config = *SentroConfig::Get();
  ProcessStartOptions options;
  options.execTimeoutSec = PRE_START_EXEC_TIMEOUT_SECS;
  options.runAsUser = definition_.runPreStartCmdAsUser.empty() ? definition_.runAsUser
                                                               : definition_.runPreStartCmdAsUser;
  options.workingDir = definition_.workingDir;
  options.killOnParentDeath = true;
  options.onStderr = PreStartStderr;
  options.onExit = PreStartEnded;
  options.context = this;
  bool started = preStartProcess_->Start(definition_.preStartCommand,
                                         definition_.preStartCommandArgs, {}, options);
  preStartProcess_->SetForceKillTimeoutCallback(ServiceForceKillTimedOut,
                                                config.DefaultForceKillTimeoutSec());
  if (!started) {
    LogAtLevel(LOG_ERROR, "<%s> Service pre-start command could not started.\n", name_.c_str());
    PreStartFailed();
  }
}

void Service::PreStartStderr(SysProcess *process, int stream, void *context) {
  auto *service = static_cast<Service *>(context);
  LogCommandStderr(service->name_, "pre-start", process, stream);
}

void Service::PreStartEnded(SysProcess *process, void *context) {
  auto *service = static_cast<Service *>(context);
  int exitCode = process->GetExitCode();
  if (exitCode != 0) {
    LogAtLevel(LOG_ERROR, "<%s> Service pre-start command failed with exit code %d.\n",
               service->name_.c_str(), exitCode);
    service->PreStartFailed();
    return;
  }
  LogAtLevel(LOG_INFO, "<%s> Service pre-start command completed successfully.\n",
             service->name_.c_str());
  service->Launch();
}

void Service::PreStartFailed() {
  lastStopFailed_ = true;
  CompleteRequest(Failed);
}

void Service::Launch() {
  const SentroConfig &config = *SentroConfig::Get();
  SetState(ServiceState::Starting);
  if (!definition_.apiHealthFile.empty() && unlink(definition_.apiHealthFile.c_str()) != 0 &&
      errno != ENOENT) {
    LogAtLevel(LOG_ERROR, "<%s> Failed to unlink api health file %s\n", name_.c_str(),
               definition_.apiHealthFile.c_str());
    OnProcessEnded();
    return;
  }
  ProcessLimits limits;
  limits.serviceName = name_;
  limits.fdLimit = definition_.processFdLimit;
  limits.memoryLimitBytes = definition_.memoryLimitBytes;
  ProcessStartOptions options;
  options.execTimeoutSec = -1;
  options.runAsUser = definition_.runAsUser;
  options.workingDir = definition_.workingDir;
  options.killOnParentDeath = config.KillServicesOnSentroCrash();
  options.onExit = ProcessExited;
  options.onCoreDump = ProcessDumpingCore;
  options.stdStreamFileBase = definition_.streamRedirectFile;
  options.context = this;
  options.limits = &limits;
  if (!process_->Start(definition_.startCommand, definition_.startCommandArgs, {}, options)) {
    LogAtLevel(LOG_ERROR, "<%s> Failed to execute service start command\n", name_.c_str());
    OnProcessEnded();
    return;
  }
  process_->SetForceKillTimeoutCallback(ServiceForceKillTimedOut,
                                        config.DefaultForceKillTimeoutSec());
  startTimedOut_ = false;
  ArmStartTimer(int64_t{definition_.startTimeout} + config.AdditionalServiceStartTimeout());
  ArmHealthTimer(1);
}

void Service::ArmStartTimer(int64_t seconds) {
  if (startTimerArmed_) {
    PollRemoveTimer(StartTimerFired, this, false);
  }
  PollAddTimer(StartTimerFired, this, seconds * 1000000, false, nullptr);
  startTimerArmed_ = true;
}

void Service::ArmHealthTimer(int64_t seconds) {
  if (healthTimerArmed_) {
    PollRemoveTimer(HealthTimerFired, this, false);
  }
  PollAddTimer(HealthTimerFired, this, seconds * 1000000, false, nullptr);
  healthTimerArmed_ = true;
}

void Service::StartTimerFired(void *context) {
  auto *service = static_cast<Service *>(context);
  service->startTimerArmed_ = false;
  service->OnStartTimeout();
}

// The service did not report itself ready in time: it is stopped, and the
// end of its process completes the request with TimedOut.
void Service::OnStartTimeout() {
  env_->EndOperation(name_, TELEMETRY_STATUS_TIMED_OUT, TELEMETRY_PHASE_COMPLETED);
  LogAtLevel(LOG_INFO, "<%s> Service start operation timed out.\n", name_.c_str());
  startTimedOut_ = true;
  StopProcess();
}

void Service::HealthTimerFired(void *context) {
  auto *service = static_cast<Service *>(context);
  service->healthTimerArmed_ = false;
  service->RunHealthCommand();
}

// The outcome of one health command run: it ends an explicit health check,
// or tells a waiting start whether the service is ready.
void Service::OnHealthOutcome(bool timedOut) {
  LogAtLevel(LOG_DEBUG, "<%s> Service api healthcheck returned health as %s.\n", name_.c_str(),
             HealthStatusName(health_));
  if (request_ == ReqHealthCheck) {
    if (CompleteRequest(timedOut ? TimedOut : Ok)) {
      OnExplicitHealthCheckDone(this);
    }
    return;
  }
  if (health_ == HealthStatus::Healthy || health_ == HealthStatus::Initialized) {
    env_->EndOperation(name_, TELEMETRY_STATUS_HEALTHY, TELEMETRY_PHASE_COMPLETED);
    LogAtLevel(LOG_INFO, "<%s> Service STARTED successfully.\n", name_.c_str());
    SetState(ServiceState::Started);
    // Frontgate coming up while atrium-ui runs: its direct-response route for
    // the UI is no longer needed.
    bool isProxy = name_ == ROUTE_PROXY_SERVICE;
    if (!CompleteRequest(Ok)) {
      return;
    }
    if (isProxy && IsServiceStarted(*env_, ROUTE_UI_SERVICE)) {
      LogAtLevel(LOG_WARNING, "Deleting the direct response route created for atrium-ui\n");
      RunRouteCommand(*env_, "delete", "None");
    }
    return;
  }
  if (health_ == HealthStatus::StartPending) {
    LogAtLevel(LOG_DEBUG, "<%s> Giving service additional %d secs to start\n", name_.c_str(),
               definition_.startTimeout);
    ArmStartTimer(definition_.startTimeout);
  }
  LogAtLevel(LOG_INFO, "<%s> Re-check service health since it is still initializing.\n",
             name_.c_str());
  ArmHealthTimer(
      std::clamp(definition_.startTimeout / 32, START_POLL_MIN_SECS, START_POLL_MAX_SECS));
}

// The direct-response route.

#define ROUTE_SCRIPT "/usr/lib/norvane-sentro/sentro-direct-response-route.py"

// The process object is owned by its run and released here, its last use.
static void RouteCommandEnded(SysProcess *process, void *) {
  switch (process->GetExitCode()) {
    case 0:
      LogAtLevel(LOG_INFO, "Direct response route command completed successfully.\n");
      break;
    case 2:
      LogAtLevel(LOG_INFO, "Direct response route command hit max retries.\n");
      break;
    default:
      LogAtLevel(LOG_INFO, "Direct response route command failed.\n");
      break;
  }
  delete process;
}

void RunRouteCommand(ServiceEnv &env, const std::string &action, const std::string &stateText) {
  SysProcess *process = env.CreateProcess("static-ui");
  std::string python = SysPath(SYS_PYTHON);
  if (process == nullptr) {
    LogAtLevel(LOG_WARNING, "Failed to execute command %s\n", python.c_str());
    return;
  }
  std::vector<std::string> args = {SysPath(ROUTE_SCRIPT), action};
  if (stateText != "None") {
    args.push_back(stateText);
  }
  ProcessStartOptions options;
  options.execTimeoutSec = -1;
  options.killOnParentDeath = false;
  options.onExit = RouteCommandEnded;
  if (!process->Start(python, args, {}, options)) {
    LogAtLevel(LOG_WARNING, "Failed to execute command %s\n", python.c_str());
    delete process;
  }
}

bool IsServiceStarted(ServiceEnv &env, const std::string &name) {
  Service *service = env.FindService(name);
  return service != nullptr && service->GetStatus().state == ServiceState::Started;
}
