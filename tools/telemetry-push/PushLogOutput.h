// The helper's only log output: every message, whatever its level, goes to
// a descriptor as a record (src/telemetry/PushLogRecord.h) for the daemon
// to log.
#pragma once

// Installs the output on fd; false when the log facility refuses it.
bool InstallPushLogOutput(int fd);
