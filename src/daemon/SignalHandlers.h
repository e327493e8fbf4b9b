// Process signals as event-loop callbacks. SIGINT, SIGTERM, SIGQUIT, SIGCHLD
// and SIGHUP are blocked and read from a signal descriptor on the main
// thread; no signal handler ever runs asynchronously.
#pragma once

#include "src/daemon/Daemon.h"

// What the signals start. The shutdown and reload belong to the daemon's
// start-up code, a layer above this one, so they are handed in.
struct SignalTargets {
  // The first SIGTERM, SIGINT or SIGQUIT: starts the shutdown.
  void (*terminate)() = nullptr;
  // SIGHUP: reloads the configuration.
  void (*reload)() = nullptr;
  // True only for the first termination signal; later ones are ignored.
  bool (*beginShutdownOnce)() = BeginShutdownOnce;
};

// Ignores SIGPIPE, blocks the five signals for the calling thread (threads
// created later inherit the block), creates the signal descriptor once per
// process and registers its reader with the event loop. SIGCHLD reaps
// children. Call on the main thread after the event loop is installed.
void InstallSignalHandling(const SignalTargets &targets);

// The signal descriptor, or -1 before InstallSignalHandling.
int SignalDescriptor();
