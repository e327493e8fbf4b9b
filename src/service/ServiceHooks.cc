#include "src/service/ServiceHooks.h"

#include "src/core/Lifecycle.h"
#include "src/process/SysProcess.h"
#include "src/service/ServiceInternal.h"

static SysProcess *CreateRealProcess(const std::string &tag) {
  return CreateSysProcess(tag);
}

static ServiceHooks DefaultHooks() {
  ServiceHooks hooks;
  hooks.isShutdownStarted = IsShutdownStarted;
  hooks.createProcess = CreateRealProcess;
  return hooks;
}

ServiceHooks &GetServiceHooks() {
  static ServiceHooks hooks = DefaultHooks();
  return hooks;
}

void ResetServiceHooks() {
  GetServiceHooks() = DefaultHooks();
}

void MetricsBegin(const std::string &name, const char *operation, const char *status,
                  const char *phase) {
  if (auto begin = GetServiceHooks().beginOperation) {
    begin(name, operation, status, phase);
  }
}

void MetricsEnd(const std::string &name, const char *status, const char *phase) {
  if (auto end = GetServiceHooks().endOperation) {
    end(name, status, phase);
  }
}

void DeclareSystemFailure(const std::string &name) {
  if (auto report = GetServiceHooks().reportSystemFailure) {
    report(name);
  }
}
