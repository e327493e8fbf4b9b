#include "src/service/ServiceHooks.h"

#include "src/core/Lifecycle.h"
#include "src/process/SysProcess.h"

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
