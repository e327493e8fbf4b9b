// Creating a Service from its definition file and reading that file again.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include "lib/log/log.h"
#include "src/core/JsonFileReader.h"
#include "src/core/SentroConfig.h"
#include "src/process/SysProcess.h"
#include "src/service/Service.h"
#include "src/service/ServiceEnv.h"

static const char kServletType[] = "MUX_SERVLET";

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
