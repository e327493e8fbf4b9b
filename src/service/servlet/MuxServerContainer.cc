#include "src/service/servlet/MuxServerContainer.h"

#include <vector>

#include "src/process/SysProcess.h"
#include "src/service/servlet/MuxServerInstance.h"
#include "src/service/servlet/MuxServletProcessImpl.h"

namespace {

// The container ended: every servlet attached to it ends with it, in address
// order. The set is emptied first, so a servlet restarted from its own exit
// callback attaches to a new container and is not ended a second time.
void ContainerExited(SysProcess *, void *context) {
  auto *instance = static_cast<MuxServerInstance *>(context);
  std::set<MuxServletProcessImpl *> ended;
  ended.swap(instance->servlets);
  for (MuxServletProcessImpl *servlet : ended) {
    servlet->RunExitStep();
  }
}

// Every attached servlet hears of the core dump. A callback may stop another
// servlet, so the set is walked on a copy and a servlet detached meanwhile is
// left out.
void ContainerDumpingCore(SysProcess *, void *context) {
  auto *instance = static_cast<MuxServerInstance *>(context);
  std::vector<MuxServletProcessImpl *> attached(instance->servlets.begin(),
                                                instance->servlets.end());
  for (MuxServletProcessImpl *servlet : attached) {
    if (instance->servlets.count(servlet) != 0) {
      servlet->RunCoreDumpStep();
    }
  }
}

}  // namespace

bool StartMuxServer(MuxServerInstance *instance) {
  if (instance->process != nullptr && !instance->process->HasExited()) {
    return true;
  }
  if (instance->process == nullptr) {
    instance->process.reset(CreateSysProcess(instance->name));
  }
  ProcessLimits limits;
  limits.serviceName = instance->name;  // accounted in the instance's cgroups
  ProcessStartOptions options;
  options.execTimeoutSec = -1;
  options.runAsUser = instance->runAsUser;
  options.workingDir = instance->workingDir;
  options.killOnParentDeath = true;
  options.onExit = ContainerExited;
  options.onCoreDump = ContainerDumpingCore;
  options.context = instance;
  options.limits = &limits;
  if (!instance->process->Start(instance->startCommand, instance->startCommandArgs, {}, options)) {
    // A process object that never started would count as running from now
    // on and every later servlet would attach to nothing. Dropping it makes
    // the next servlet start try the container again. No servlet is
    // attached: the set was emptied when the previous container ended.
    instance->process.reset();
    return false;
  }
  return true;
}
