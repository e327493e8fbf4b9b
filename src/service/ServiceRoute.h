// The direct-response route of the reverse proxy "frontgate": while the web
// client service "atrium-ui" is down, frontgate answers its requests itself.
// The route is created and deleted by an external script of the appliance.
#pragma once

#include <string>

class ServiceEnv;

// Services whose state changes move the route.
#define ROUTE_UI_SERVICE "atrium-ui"
#define ROUTE_PROXY_SERVICE "frontgate"

// Runs the route script with action ("create" or "delete") and, unless it is
// "None", the state text. The outcome is only logged; nobody waits for it.
void RunRouteCommand(ServiceEnv &env, const std::string &action, const std::string &stateText);

// True when the registered service of that name is started; a service that is
// not registered is not.
bool IsServiceStarted(ServiceEnv &env, const std::string &name);
