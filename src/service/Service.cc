// A Service's request block, state and health, and its synchronous
// configuration requests.
#include "src/service/Service.h"

#include "lib/log/log.h"
#include "lib/pollDefault/poll.h"
#include "src/core/SentroConfig.h"
#include "src/process/SysProcess.h"
#include "src/service/ServiceEnv.h"
#include "src/service/ServiceInternal.h"

Service::Service(std::string fileName, ServiceEnv *env)
    : fileName_(std::move(fileName)),
      env_(env),
      lastRecoveryMs_(ServiceNowMs()),
      stateChangeMs_(lastRecoveryMs_) {}

Service::~Service() {
  // Expire the token first: nothing resumed after a callback may touch us.
  lifeToken_.reset();
  ResetRequestBlock();
  if (postStopRun_ != nullptr) {
    delete postStopRun_;
  }
}

Service::Admission Service::AdmitRequest(ServiceRequest request, ServiceCompletion completion,
                                         void *context, bool byRecovery) {
  if (request_ != ReqNone) {
    bool admitted;
    switch (request) {
      case ReqStart:
      case ReqRestart:
      case ReqConfigChange:
        admitted = request_ == ReqHealthCheck;
        break;
      case ReqStop:
        admitted = request_ != ReqStop;
        break;
      default:
        admitted = false;
        break;
    }
    if (!admitted) {
      return Admission::Refused;
    }
  }
  ServiceCompletion previous = completion_;
  void *previousContext = completionContext_;
  request_ = request;
  recoveryRestart_ = byRecovery;
  completion_ = completion;
  completionContext_ = context;
  ResetRequestBlock();
  uint64_t serial = ++requestSerial_;
  if (previous == nullptr) {
    return Admission::Admitted;
  }
  std::weak_ptr<char> alive = lifeToken_;
  previous(Cancelled, this, previousContext);
  if (alive.expired() || requestSerial_ != serial) {
    return Admission::Superseded;
  }
  return Admission::Admitted;
}

bool Service::TrySetRequest(ServiceRequest request, ServiceCompletion completion, void *context) {
  return AdmitRequest(request, completion, context, false) != Admission::Refused;
}

bool Service::FinishRequest(ServiceResult result) {
  ServiceCompletion completion = completion_;
  void *context = completionContext_;
  request_ = ReqNone;
  recoveryRestart_ = false;
  completion_ = nullptr;
  completionContext_ = nullptr;
  ResetRequestBlock();
  ++requestSerial_;
  if (completion == nullptr) {
    return true;
  }
  std::weak_ptr<char> alive = lifeToken_;
  completion(result, this, context);
  return !alive.expired();
}

void Service::CompleteRequest(ServiceResult result) {
  FinishRequest(result);
}

// Cancels the helper commands and the timers of the current request; the
// request itself stays.
void Service::ResetRequestBlock() {
  if (preStartProcess_) {
    preStartProcess_->CancelExecution();
  }
  if (healthCmdProcess_) {
    healthCmdProcess_->CancelExecution();
  }
  if (startTimerArmed_) {
    PollRemoveTimer(StartTimerFired, this, false);
  }
  if (healthTimerArmed_) {
    PollRemoveTimer(HealthTimerFired, this, false);
  }
  startTimerArmed_ = false;
  healthTimerArmed_ = false;
}

void Service::SetState(ServiceState state) {
  if (state != state_) {
    state_ = state;
    stateChangeMs_ = ServiceNowMs();
  }
}

void Service::SetHealth(HealthStatus health, const std::string &data) {
  if (health != health_) {
    bool unsolicited = request_ == ReqNone || request_ == ReqHealthCheck || IsRecoveryRestart();
    env_->PublishHealthChange(name_, health, health_, unsolicited);
  }
  healthData_ = data;
  health_ = health;
}

ServiceStatus Service::GetStatus() const {
  ServiceStatus status;
  status.state = state_;
  status.msInState = ServiceNowMs() - stateChangeMs_;
  if (state_ == ServiceState::Stopped) {
    status.lastStopFailed = lastStopFailed_;
  } else if (process_) {
    status.pid = process_->GetPid();
  }
  return status;
}

std::string Service::EffectiveRunAsUser() const {
  return definition_.runAsUser.empty() ? "root" : definition_.runAsUser;
}

RecoveryActionList Service::SelectRecoveryActions(FailureType failure) const {
  const SentroConfig &config = *SentroConfig::Get();
  auto profile = definition_.recoveryActionProfiles.find(config.ActiveRecoveryProfile());
  if (profile != definition_.recoveryActionProfiles.end()) {
    auto list = profile->second.find(failure);
    if (list != profile->second.end()) {
      return list->second;
    }
  }
  return config.RecoveryActionsFor(failure);
}

ServiceResult Service::SetStartupType(StartupType type) {
  if (type == definition_.startupType) {
    return Ok;
  }
  if (static_cast<uint32_t>(type) > static_cast<uint32_t>(StartupType::Disabled)) {
    LogAtLevel(LOG_ERROR, "<%s> Invalid given startup type for service.\n", name_.c_str());
    return InvalidStartupType;
  }
  if (type == StartupType::Disabled && state_ != ServiceState::Stopped) {
    LogAtLevel(LOG_WARNING, "<%s> Cannot set startup type to DISABLED when service is running.\n",
               name_.c_str());
    return Disabled;
  }
  Admission admission = AdmitRequest(ReqConfigChange, nullptr, nullptr, false);
  if (admission == Admission::Refused) {
    LogAtLevel(LOG_WARNING, "<%s> SetStartupType: Invalid state %s, Curr req. %d\n", name_.c_str(),
               ServiceStateName(state_), request_);
    return InvalidState;
  }
  if (admission == Admission::Superseded) {
    return Cancelled;
  }
  StartupType oldType = definition_.startupType;
  definition_.startupType = type;
  if (SaveRunState()) {
    LogAtLevel(LOG_INFO, "<%s> Changed startup type of service to %s.\n", name_.c_str(),
               StartupTypeName(type));
    CompleteRequest(Ok);
    return Ok;
  }
  definition_.startupType = oldType;
  LogAtLevel(LOG_ERROR, "<%s> Failed to change startup type of service to %s\n", name_.c_str(),
             StartupTypeName(type));
  CompleteRequest(Failed);
  return Failed;
}

ServiceResult Service::SetRunAsUser(const std::string &user) {
  Admission admission = AdmitRequest(ReqConfigChange, nullptr, nullptr, false);
  if (admission == Admission::Refused) {
    LogAtLevel(LOG_WARNING, "<%s> SetRunAsUser: Invalid state %s, Curr req. %d.\n", name_.c_str(),
               ServiceStateName(state_), request_);
    return InvalidState;
  }
  if (admission == Admission::Superseded) {
    return Cancelled;
  }
  std::string oldUser = definition_.runAsUser;
  definition_.runAsUser = user;
  if (SaveRunState()) {
    LogAtLevel(LOG_INFO, "<%s> Run as User for service changed to %s.\n", name_.c_str(),
               user.c_str());
    CompleteRequest(Ok);
    return Ok;
  }
  definition_.runAsUser = oldUser;
  LogAtLevel(LOG_ERROR, "<%s> Failed to set Run as User for service to %s.\n", name_.c_str(),
             user.c_str());
  CompleteRequest(Failed);
  return Failed;
}
