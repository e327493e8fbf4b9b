// Pieces shared by the files that implement Service; not for other modules.
#pragma once

#include <memory>
#include <string>

#include "src/process/SysProcess.h"
#include "src/service/ServiceTypes.h"

class ServiceEnv;

// One run of a service's post-stop command, with what the decision after the
// process's end needs to know about the moment the process ended.
struct PostStopRun {
  Service *service;
  ServiceState stateAtEnd;
  ServiceRequest requestAtEnd;
  std::unique_ptr<SysProcess> process;
};

// Everything a capture pipe holds now, read in chunks of at most 256 bytes.
std::string DrainStream(SysProcess *process, int stream);

// Logs what a helper command wrote to its standard error, in one message;
// nothing when it wrote nothing.
void LogCommandStderr(const std::string &serviceName, const char *commandName, SysProcess *process,
                      int stream);

// The force-kill handler of a service's processes: a child that a forced kill
// did not end in time is a system failure. The context is the Service.
void ServiceForceKillTimedOut(SysProcess *process, void *context);

// The direct-response route of the reverse proxy "frontgate": while the web
// client service "atrium-ui" is down, frontgate answers its requests itself.
// The route is created and deleted by an external script of the appliance.
#define ROUTE_UI_SERVICE "atrium-ui"
#define ROUTE_PROXY_SERVICE "frontgate"

// Runs the route script with action ("create" or "delete") and, unless it is
// "None", the state text. The outcome is only logged; nobody waits for it.
void RunRouteCommand(ServiceEnv &env, const std::string &action, const std::string &stateText);

// True when the registered service of that name is started; a service that is
// not registered is not.
bool IsServiceStarted(ServiceEnv &env, const std::string &name);
