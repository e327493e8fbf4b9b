#include "lib/log/log.h"
#include "src/control/ControlServer.h"
#include "src/daemon/Daemon.h"
#include "src/daemon/Lifecycle.h"
#include "src/daemon/LogSwitch.h"
#include "src/core/SentroConfig.h"
#include "src/daemon/DaemonWiring.h"
#include "src/manager/ServiceManager.h"
#include "src/daemon/CorePattern.h"

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
  DaemonRegistry()->ReloadAllConfigs();
}

void InitiateShutdown() {
  LogAtLevel(LOG_INFO, "Initiating Sentro shutdown.\n");
  SetCorePattern(true);
  ShutdownServer();
  ServiceManager *manager = DaemonRegistry();
  manager->StopProfile("ALL", true, SentroConfig::Get()->ParallelServiceOperation(), StopAllDone,
                       nullptr);
  manager->SaveAllCrashStats();
}
