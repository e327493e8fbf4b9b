#include "src/daemon/Daemon.h"

#include "lib/log/log.h"
#include "src/control/ControlServer.h"
#include "src/core/SentroConfig.h"
#include "src/daemon/DaemonWiring.h"
#include "src/daemon/KernelSwitches.h"
#include "src/manager/ServiceManager.h"

namespace {

// Main thread only, like everything that reads them.
uint8_t shutdownStarted = 0;
volatile uint8_t exitFlag = 0;
LogOutput *currentOutput = nullptr;

const char kAppName[] = "sentro";

LogOutput *CreateOutput(bool logToSyslog) {
  LogDict options;
  if (logToSyslog) {
    return CreateSyslogOutput(kAppName, "syslog", &options, nullptr);
  }
  options.SetBool("log.append", false);
  options.Set("log.fileName", "sentro.log");
  options.SetInt("log.rotateSize", 20971520);
  options.SetInt("log.keepOld", 8);
  return CreateFileOutput(kAppName, "file", &options, nullptr);
}

void StopAllDone(int, const std::string &, void *) {
  exitFlag = 1;
}

}  // namespace

bool BeginShutdownOnce() {
  if (shutdownStarted != 0) {
    return false;
  }
  shutdownStarted = 1;
  return true;
}

bool IsShutdownStarted() {
  return shutdownStarted != 0;
}

volatile uint8_t *DaemonExitFlag() {
  return &exitFlag;
}

void SwitchLogger(bool logToSyslog, int level) {
  SetAppInfo(kAppName, "e.x.p", "build-24322028", "Release");
  LogOutput *output = CreateOutput(logToSyslog);
  if (output == nullptr) {
    LogAtLevel(LOG_WARNING, "New logger initialization failed. logToSyslog=%d\n", logToSyslog);
    return;
  }
  SetOutputLevel(output, level);
  if (currentOutput != nullptr) {
    LogAtLevel(LOG_INFO, "Switching logger. logToSyslog=%d\n", logToSyslog);
    RemoveOutput(currentOutput);
    currentOutput = nullptr;
  }
  if (!InstallOutput(output)) {
    DestroyOutput(output);
    LogAtLevel(LOG_WARNING, "New logger initialization failed. logToSyslog=%d\n", logToSyslog);
    return;
  }
  currentOutput = output;
}

LogOutput *CurrentLogOutput() {
  return currentOutput;
}

void ReloadConfiguration() {
  SentroConfig *config = SentroConfig::Get();
  int previousLevel = config->LogLevel();
  bool previousSyslog = config->LogToSyslog();
  if (!config->Reload()) {
    LogAtLevel(LOG_WARNING, "Failed to reload Sentro configuration.\n");
  } else if (config->LogToSyslog() != previousSyslog) {
    SwitchLogger(config->LogToSyslog(), config->LogLevel());
  } else if (config->LogLevel() != previousLevel && currentOutput != nullptr) {
    SetOutputLevel(currentOutput, config->LogLevel());
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
