// The daemon's control socket: local clients connect to "sentroserver" in
// the data directory, send one request, read one reply. Access control is
// the socket file's owner (root), group ("sentroapi") and mode (0775).
#pragma once

#include <cstddef>
#include <string>

class ServiceManager;
class ServiceEnv;

// What requests act on: the registry, and the daemon's seams for what lies
// beyond it (the flush of the operation metrics after each result reply).
// Both outlive the server.
struct ControlContext {
  ServiceManager *manager;
  ServiceEnv *env;
};

// Listens on path; false (after logging why) when the socket cannot be
// created or given its owner and mode. The daemon then exits with status 1.
// The context is read at each request, so its owner may complete it after
// this call, as long as it does before the event loop runs.
bool CreateServer(const std::string &path, const ControlContext *context);

// Closes the listening socket; accepted connections go on.
bool ShutdownServer();
