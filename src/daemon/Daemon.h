// The daemon's spine: start-up in a fixed order, the event loop, and the two
// operations its signals trigger, reload and shutdown.
#pragma once

// Runs the daemon; returns only for the usage (status 1). Every other path
// ends the process through _exit.
int DaemonMain(int argc, char **argv);

// SIGHUP: re-reads config.json, adjusts the log output, reloads services.
void ReloadConfiguration();

// First termination signal: stops every service in stop order, then ends the
// event loop.
void InitiateShutdown();
