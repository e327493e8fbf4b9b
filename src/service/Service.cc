// A Service from its definition file to its requests: creation and loading,
// the request block (admission, completion), state and health, the
// synchronous configuration requests, and the value names.
#include "src/service/Service.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include "lib/log/clock.h"
#include "lib/log/log.h"
#include "lib/pollDefault/poll.h"
#include "src/core/JsonFileReader.h"
#include "src/core/SentroConfig.h"
#include "src/process/SysProcess.h"
#include "src/service/ServiceEnv.h"
#include "src/service/ServiceInternal.h"

static const char kServletType[] = "MUX_SERVLET";

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

std::unique_ptr<Service> CreateService(const std::string &fileName, ServiceEnv *env) {
  auto service = std::make_unique<Service>(fileName, env);
  if (!service->LoadDefinition(false) || !service->CreateHelperProcesses()) {
    return nullptr;
  }
  return service;
}

bool Service::IsServlet() const {
  return type_ == kServletType;
}

SysProcess *Service::NewProcess(const std::string &tag) const {
  return env_->CreateProcess(tag);
}

bool Service::CreateHelperProcesses() {
  preStartProcess_.reset(NewProcess(name_ + "-prestart"));
  healthCmdProcess_.reset(NewProcess(name_ + "-healthcmd"));
  return preStartProcess_ != nullptr && healthCmdProcess_ != nullptr;
}

bool Service::LoadDefinition(bool reload) {
  const SentroConfig &config = *SentroConfig::Get();
  ServiceDefinition fresh = DefaultServiceDefinition(config);
  JsonFileReader reader;
  if (!reader.Load(DefinitionPath())) {
    LogAtLevel(LOG_ERROR, "Invalid service config file: %s\n", fileName_.c_str());
    return false;
  }
  if (!reload && !ReadOnceOnlyKeys(reader)) {
    return false;
  }
  ReadServiceDefinitionKeys(reader, config, &fresh);
  if (fresh.startCommand.empty() && !IsServlet()) {
    LogAtLevel(LOG_ERROR, "Mandatory field 'StartCommand' missing %s\n", fileName_.c_str());
    return false;
  }
  if (!reload && !LoadCrashStats()) {
    return false;
  }
  return InstallWithRunState(std::move(fresh));
}

// The name, type, process object and dependency lists: read on the first load
// only, so a changed file affects them at the next start of the daemon.
bool Service::ReadOnceOnlyKeys(const JsonFileReader &reader) {
  if (!reader.GetString("Name", false, &name_)) {
    LogAtLevel(LOG_ERROR, "Mandatory field 'Name' missing: %s\n", fileName_.c_str());
    return false;
  }
  reader.GetString("Type", false, &type_);
  SysProcess *process;
  if (IsServlet()) {
    if (!reader.GetString("MuxServerName", false, &muxServerName_)) {
      LogAtLevel(LOG_ERROR, "Mandatory field MuxServerName missing. %s\n", fileName_.c_str());
      return false;
    }
    process = env_->CreateServletProcess(muxServerName_);
  } else {
    process = NewProcess(name_);
  }
  if (process == nullptr) {
    return false;
  }
  process_.reset(process);
  reader.GetStringList("DependsOn", false, &dependsOn_);
  reader.GetStringList("StopBefore", false, &stopBefore_);
  return true;
}

// Installs the fresh definition, with the run-state file's settings over it.
// A run-state file that exists but cannot be read keeps the old definition.
bool Service::InstallWithRunState(ServiceDefinition fresh) {
  std::string path = RunStatePath();
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) {
      LogAtLevel(LOG_ERROR, "<%s> Failed to look up run-state file %s. Error: %s\n", name_.c_str(),
                 path.c_str(), strerror(errno));
      return false;
    }
    definition_ = std::move(fresh);
    return true;
  }
  JsonFileReader reader;
  if (!reader.Load(path)) {
    return false;
  }
  LogAtLevel(LOG_INFO, "Load runstate service %s\n", fileName_.c_str());
  definition_ = std::move(fresh);
  reader.GetStartupType("StartupType", &definition_.startupType);
  reader.GetString("RunApiHealthCmdAsUser", false, &definition_.runApiHealthCmdAsUser);
  return true;
}

bool Service::ReloadConfig() {
  Admission admission = AdmitRequest(ReqConfigChange, nullptr, nullptr, false);
  if (admission == Admission::Refused) {
    LogAtLevel(LOG_WARNING, "<%s> ReloadConfig: Invalid State %s, Curr request %d.\n",
               name_.c_str(), ServiceStateName(state_), request_);
    return false;
  }
  if (admission == Admission::Superseded) {
    return false;
  }
  bool loaded = LoadDefinition(true);
  if (!loaded) {
    LogAtLevel(LOG_WARNING, "<%s> Failed to reload configuration of service.\n", name_.c_str());
  }
  CompleteRequest(loaded ? Ok : Failed);
  return loaded;
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

bool Service::CompleteRequest(ServiceResult result) {
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

// Value names and helpers.

const char *ServiceStateName(ServiceState state) {
  static const char *const kNames[] = {"STARTING", "STOPPING", "STARTED", "STOPPED"};
  auto index = static_cast<uint32_t>(state);
  return index < 4 ? kNames[index] : "";
}

const char *HealthStatusName(HealthStatus health) {
  static const char *const kNames[] = {"UNHEALTHY", "HEALTHY", "INITIALIZED", "START_PENDING",
                                       "UNKNOWN"};
  auto index = static_cast<uint32_t>(health);
  return index < 5 ? kNames[index] : "";
}

uint64_t ServiceNowMs() {
  return static_cast<uint64_t>(ClockMonotonicMicros() / 1000);
}

std::string DrainStream(SysProcess *process, int stream) {
  std::string text;
  char chunk[256];
  for (;;) {
    ssize_t count = process->ReadStream(stream, chunk, sizeof chunk);
    if (count < 1) {
      break;
    }
    text.append(chunk, static_cast<size_t>(count));
  }
  return text;
}

void LogCommandStderr(const std::string &serviceName, const char *commandName, SysProcess *process,
                      int stream) {
  std::string text = DrainStream(process, stream);
  if (!text.empty()) {
    LogAtLevel(LOG_WARNING, "<%s> Service %s command's stderr: %s\n", serviceName.c_str(),
               commandName, text.c_str());
  }
}
