#include "src/service/ServiceRoute.h"

#include <vector>

#include "lib/log/log.h"
#include "src/core/SysPaths.h"
#include "src/process/SysProcess.h"
#include "src/service/Service.h"
#include "src/service/ServiceEnv.h"

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
