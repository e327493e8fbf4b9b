#include "src/daemon/DaemonCycles.h"

#include <cstdlib>
#include <memory>

#include "lib/log/log.h"
#include "lib/pollDefault/poll.h"
#include "src/core/SentroConfig.h"
#include "src/core/SysPaths.h"
#include "src/daemon/DaemonWiring.h"
#include "src/manager/ServiceManager.h"
#include "src/process/SysProcess.h"
#include "src/telemetry/MetricsStore.h"
#include "src/telemetry/TelemetryPush.h"

namespace {

int healthCycleCounter = 0;

void PostStartupStderr(SysProcess *process, int stream, void *) {
  char chunk[256];
  ssize_t length;
  while ((length = process->ReadStream(stream, chunk, sizeof chunk - 1)) > 0) {
    chunk[length] = '\0';
    LogAtLevel(LOG_WARNING, "Post startup cmd's stderr: %s\n", chunk);
  }
}

void PostStartupExited(SysProcess *process, void *) {
  int exitCode = process->GetExitCode();
  if (exitCode != 0) {
    LogAtLevel(LOG_WARNING, "Post sentro startup command exited with rc=%d\n", exitCode);
  } else {
    LogAtLevel(LOG_INFO, "Post sentro startup command succeeded\n");
  }
  delete process;
}

void RunPostStartupCommand() {
  SysProcess *process = CreateSysProcess("post-sentrostartup");
  ProcessStartOptions options;
  options.execTimeoutSec = 300;
  options.onStderr = PostStartupStderr;
  options.onExit = PostStartupExited;
  if (!process->Start(SysPath(SYS_BANNER_CTRL), {"reset"}, {}, options)) {
    LogAtLevel(LOG_WARNING, "Failed to execute post sentro startup command.\n");
    delete process;
  }
}

void ArmHealthCycle();

void HealthCycleDone(int, const std::string &, void *) {
  healthCycleCounter++;
  DaemonRegistry()->ResetExpiredFailCounters();
  ArmHealthCycle();
}

// Every n-th cycle probes all services, the others only the critical ones.
// The next cycle is armed only when this one has finished, so cycles never
// overlap.
void HealthCycleFired(void *) {
  SentroConfig *config = SentroConfig::Get();
  const char *group = "CRITICAL";
  if (healthCycleCounter % config->CriticalToAllHealthCheckFreqRatio() == 0) {
    group = "ALL";
    healthCycleCounter = 0;
  }
  if (config->PerformPeriodicHealthCheck()) {
    DaemonRegistry()->HealthCheckProfile(group, true, config->ParallelServiceOperation(),
                                         HealthCycleDone, nullptr);
  } else {
    LogAtLevel(LOG_WARNING, "Periodic health check is disabled.\n");
    HealthCycleDone(0, "", nullptr);
  }
}

void ArmHealthCycle() {
  int64_t delayUs =
      static_cast<int64_t>(SentroConfig::Get()->CriticalHealthCheckFreqSecs()) * 1000000;
  PollAddTimer(HealthCycleFired, nullptr, delayUs, false, nullptr);
}

// The push period. A sandboxed daemon (SENTRO_SYSROOT set) takes
// SENTRO_TELEMETRY_PUSH_SECS instead of the configured hours, so that tests
// and the memory benchmark see a push without waiting hours; a daemon on the
// real system ignores it.
int64_t TelemetryPushPeriodUs() {
  const char *seconds = SysrootActive() ? getenv("SENTRO_TELEMETRY_PUSH_SECS") : nullptr;
  if (seconds != nullptr) {
    char *end = nullptr;
    long value = strtol(seconds, &end, 10);
    if (*seconds != '\0' && *end == '\0' && value > 0 && value <= 86400) {
      return static_cast<int64_t>(value) * 1000000;
    }
    LogAtLevel(LOG_WARNING, "Ignoring SENTRO_TELEMETRY_PUSH_SECS=%s.\n", seconds);
  }
  return static_cast<int64_t>(SentroConfig::Get()->SentroTelemetryPushFreqHours()) * 3600000000LL;
}

void TelemetryPushFired(void *) {
  LogAtLevel(LOG_INFO, "Processing service operation metrics from Sentro database\n");
  PushTelemetry();
}

}  // namespace

void OnStartupProfileDone(int errorCode, const std::string &failedServices, void *context) {
  std::unique_ptr<bool> runPostStartup(static_cast<bool *>(context));
  if (errorCode != 0) {
    LogAtLevel(LOG_ERROR, "Services %s failed to start on Sentro startup. ErrCode %d\n",
               failedServices.c_str(), errorCode);
  }
  if (*runPostStartup) {
    RunPostStartupCommand();
  }
  ArmHealthCycle();
  std::vector<std::string> names;
  DaemonRegistry()->GetServiceNames(&names);
  InitializeSvcOpCount(names, SentroConfig::Get()->ServiceDefinitionDir());
  PollAddTimer(TelemetryPushFired, nullptr, TelemetryPushPeriodUs(), true, nullptr);
}
