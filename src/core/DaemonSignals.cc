#include "lib/log/log.h"
#include "src/control/ControlServer.h"
#include "src/core/Daemon.h"
#include "src/core/Lifecycle.h"
#include "src/core/LogSwitch.h"
#include "src/core/SentroConfig.h"
#include "src/manager/ServiceManager.h"
#include "src/posix/CorePattern.h"

namespace {

void StopAllDone(int, const std::string &, void *) {
  *DaemonExitFlag() = 1;
}

}  // namespace

void ReloadConfiguration() {
  SentroConfig *config = SentroConfig::Get();
  int previousLevel = config->LogLevel();
  bool previousSyslog = config->LogToSyslog();
  if (!config->Reload()) {
    LogAtLevel(LOG_WARNING, "Failed to reload Sentro configuration.\n");
  } else if (config->LogToSyslog() != previousSyslog) {
    SwitchLogger(config->LogToSyslog(), config->LogLevel());
  } else if (config->LogLevel() != previousLevel && CurrentLogOutput() != nullptr) {
    SetOutputLevel(CurrentLogOutput(), config->LogLevel());
  }
  GetServiceManager()->ReloadAllConfigs();
}

void InitiateShutdown() {
  LogAtLevel(LOG_INFO, "Initiating Sentro shutdown.\n");
  SetCorePattern(true);
  ShutdownServer();
  ServiceManager *manager = GetServiceManager();
  manager->StopProfile("ALL", true, SentroConfig::Get()->ParallelServiceOperation(), StopAllDone,
                       nullptr);
  manager->SaveAllCrashStats();
}
