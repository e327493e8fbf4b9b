// The periodic telemetry push, as the daemon sees it.
//
// The push runs in the helper program sentro-telemetry-push, started as a
// short-lived child process, so that libcurl and OpenSSL are never mapped
// into the daemon, which locks all its memory and lives for months. The
// helper sends both tables (TelemetryUpload.h) and reports its messages
// through its standard output; the daemon logs each of them at its level,
// so the log reads as if the daemon had pushed itself. The event loop is
// never blocked by the transfer.
//
// Only one push runs at a time: a push requested while the previous one is
// still running is skipped with a warning (its rows stay unsent and go out
// with the next push). A helper that has not finished after
// TELEMETRY_PUSH_TIMEOUT_SECS is killed.
#pragma once

#include <string>

#define TELEMETRY_PUSH_PROGRAM_NAME "sentro-telemetry-push"
// The environment variable that hands the helper the instance id.
#define TELEMETRY_PUSH_INSTANCE_ID_VARIABLE "SENTRO_TELEMETRY_INSTANCE_ID"
#define TELEMETRY_PUSH_TIMEOUT_SECS 30
// Where the installed helper lies, relative to the installed daemon's
// directory; the build sets it from the install layout.
#ifndef TELEMETRY_PUSH_INSTALLED_DIR
#define TELEMETRY_PUSH_INSTALLED_DIR "../libexec/sentro"
#endif

// Starts a push of both tables, unless one is running or no row is unsent.
void PushTelemetry();

// The helper: sentro-telemetry-push beside the daemon's own executable when
// there is one (a build tree), else in TELEMETRY_PUSH_INSTALLED_DIR.
std::string DefaultTelemetryPushProgram();

