#include "src/telemetry/TelemetryPush.h"

#include <limits.h>
#include <unistd.h>

#include "lib/log/log.h"
#include "src/process/SysProcess.h"
#include "src/telemetry/MetricsStore.h"
#include "src/telemetry/PushLogRecord.h"
#include "src/telemetry/TelemetryDb.h"
#include "src/telemetry/TelemetryUpload.h"

namespace {

struct PushRun {
  SysProcess *process = nullptr;
  PushLogDecoder decoder;
};

// The push under way, or null.
PushRun *runningPush = nullptr;

const char *const kStep = "PushTelemetry";

// True when a metrics table holds a row not yet sent. Without one the push
// ends here, quietly: no helper, no request, no message. A database that
// cannot be read is logged here once; the helper would fail on it the same
// way.
bool HasUnsentRows() {
  TelemetryDb db;
  if (!db.Open(TelemetryDatabasePath(), kStep)) {
    return false;
  }
  for (const TelemetryTable &table : kTelemetryTables) {
    std::string sql =
        std::string("SELECT 1 FROM ") + table.name + " WHERE sentToAnalytics='0' LIMIT 1";
    TelemetryStatement statement;
    if (!db.Prepare(sql.c_str(), kStep, &statement)) {
      continue;
    }
    int step = statement.Step();
    if (step == SQLITE_ROW) {
      return true;
    }
    if (step != SQLITE_DONE) {
      LogAtLevel(LOG_WARNING, "[%s] sqlite3_step returned unknown error.\n", kStep);
    }
  }
  return false;
}

}  // namespace

std::string DefaultTelemetryPushProgram() {
  // The daemon's own executable, not a system path: never under the sysroot.
  char self[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) {
    return TELEMETRY_PUSH_PROGRAM_NAME;
  }
  std::string path(self, static_cast<size_t>(length));
  std::string ownDir = path.substr(0, path.rfind('/') + 1);
  // Beside the daemon in a build tree; in its libexec directory once installed.
  std::string beside = ownDir + TELEMETRY_PUSH_PROGRAM_NAME;
  if (access(beside.c_str(), X_OK) == 0) {
    return beside;
  }
  return ownDir + TELEMETRY_PUSH_INSTALLED_DIR "/" TELEMETRY_PUSH_PROGRAM_NAME;
}

// Logs every complete record the helper has written so far.
static void RelayHelperLog(SysProcess *process, int stream, void *context) {
  PushRun *run = static_cast<PushRun *>(context);
  char buffer[4096];
  ssize_t got;
  while ((got = process->ReadStream(stream, buffer, sizeof buffer)) > 0) {
    run->decoder.Feed(buffer, static_cast<size_t>(got));
  }
  bool wasCorrupt = run->decoder.Corrupt();
  int level;
  std::string text;
  while (run->decoder.Next(&level, &text)) {
    LogAtLevel(level, "%s", text.c_str());
  }
  if (!wasCorrupt && run->decoder.Corrupt()) {
    LogAtLevel(LOG_WARNING, "[%s] Unreadable output from the telemetry push helper.\n", kStep);
  }
}

static void HelperExited(SysProcess *process, void *context) {
  PushRun *run = static_cast<PushRun *>(context);
  RelayHelperLog(process, PROCESS_STREAM_STDOUT, run);
  if (process->HasExecTimedOut()) {
    LogAtLevel(LOG_WARNING, "[%s] Telemetry push did not finish within %d seconds.\n", kStep,
               TELEMETRY_PUSH_TIMEOUT_SECS);
  } else if (process->GetExitCode() != 0) {
    LogAtLevel(LOG_WARNING, "[%s] Telemetry push helper exited with rc=%d\n", kStep,
               process->GetExitCode());
  }
  runningPush = nullptr;
  delete process;
  delete run;
}

void PushTelemetry() {
  if (runningPush != nullptr) {
    LogAtLevel(LOG_WARNING, "[%s] The previous telemetry push is still running. Skipping.\n",
               kStep);
    return;
  }
  if (!HasUnsentRows()) {
    return;
  }
  std::string program = DefaultTelemetryPushProgram();
  if (access(program.c_str(), X_OK) != 0) {
    LogAtLevel(LOG_WARNING, "[%s] Telemetry push helper %s cannot be run.\n", kStep,
               program.c_str());
    return;
  }
  PushRun *run = new PushRun();
  run->process = CreateSysProcess(TELEMETRY_PUSH_PROGRAM_NAME);
  ProcessStartOptions options;
  options.execTimeoutSec = TELEMETRY_PUSH_TIMEOUT_SECS;
  options.killOnParentDeath = true;
  options.onStdout = RelayHelperLog;
  options.onExit = HelperExited;
  options.context = run;
  // The instance id goes through the environment: the command line is
  // logged and readable by every user.
  std::vector<std::string> env = {std::string(TELEMETRY_PUSH_INSTANCE_ID_VARIABLE "=") +
                                  GetTelemetryContext().instanceId};
  if (run->process == nullptr ||
      !run->process->Start(program, {TelemetryDatabasePath()}, env, options)) {
    LogAtLevel(LOG_WARNING, "[%s] Telemetry push helper %s cannot be run.\n", kStep,
               program.c_str());
    delete run->process;
    delete run;
    return;
  }
  runningPush = run;
}
