#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "lib/log/log.h"
#include "lib/pollDefault/poll.h"
#include "src/control/ControlServer.h"
#include "src/core/SentroConfig.h"
#include "src/core/SysPaths.h"
#include "src/daemon/Daemon.h"
#include "src/daemon/DaemonCycles.h"
#include "src/daemon/DaemonOptions.h"
#include "src/daemon/DaemonWiring.h"
#include "src/daemon/FipsProbe.h"
#include "src/daemon/KernelSwitches.h"
#include "src/daemon/SignalHandlers.h"
#include "src/daemon/SystemFailure.h"
#include "src/manager/ServiceManager.h"
#include "src/process/ProcessTable.h"
#include "src/process/SpawnChild.h"

namespace {

[[noreturn]] void ExitDaemon(int status) {
  if (CurrentLogOutput() == nullptr) {
    LogFlushEarlyToStderr();
  }
  LogShutdown();
  _exit(status);
}

void LockMemory() {
#ifndef SENTRO_SANITIZE
  if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
    LogAtLevel(LOG_ERROR, "Failed to lock process virtual address space to RAM. Err %s\n",
               strerror(errno));
    ExitDaemon(1);
  }
#endif
  // A sanitizer build reserves terabytes of shadow memory that cannot be
  // locked; it runs unlocked.
}

// The daemon takes every descriptor its hard limit allows: each service
// holds pipes while a child of it runs, and a failing accept would close the
// control socket for good. Children get the soft limit the daemon was
// started with, as they would have without it.
void RaiseDescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) {
    return;
  }
  rlim_t inherited = limit.rlim_cur;
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    LogAtLevel(LOG_WARNING, "Failed to raise the descriptor limit from %llu to %llu. Err %s\n",
               static_cast<unsigned long long>(inherited),
               static_cast<unsigned long long>(limit.rlim_max), strerror(errno));
    return;
  }
  SetInheritedFdLimit(inherited);
}

std::string SelectProfile(const DaemonOptions &options) {
  if (!options.startupProfile.empty()) {
    return options.startupProfile;
  }
  std::string profile;
  if (!ChooseStartupProfile(SentroConfig::Get()->DefaultStartProfilePath(), &profile)) {
    ExitDaemon(1);
  }
  return profile;
}

}  // namespace

int DaemonMain(int argc, char **argv) {
  DaemonOptions options;
  if (!ConvertArgvToUtf8(argc, &argv)) {
    return 1;
  }
  if (!ParseDaemonOptions(argc, argv, &options)) {
    return 1;
  }
  SentroConfig *config = SentroConfig::Load(options.configDir, options.dataDir);
  if (config == nullptr) {
    LogAtLevel(LOG_ERROR, "Failed to load Sentro Configuration. Exiting...\n");
    ExitDaemon(1);
  }
  LogSetSystemLogDir(SysPath(SYS_LOG_DIR).c_str());
  SwitchLogger(config->LogToSyslog(), config->LogLevel());
  RaiseDescriptorLimit();
  PollInstallDefault();
  CreateProcessTable();
  InstallSignalHandling(SignalTargets{InitiateShutdown, ReloadConfiguration});
  LockMemory();
  DaemonEnv &env = TheDaemonEnv();
  if (!CreateServer(config->ControlSocketPath(), env.controlContext())) {
    ExitDaemon(1);
  }
  env.AttachRegistry(ServiceManager::Create(&env));
  ServiceManager *manager = env.registry();
  if (manager == nullptr) {
    LogAtLevel(LOG_ERROR, "Service Manager creation failed. Exiting...\n");
    ExitDaemon(1);
  }
  // Seams filled in at run time are checked once, before anything can use
  // them: an empty one would otherwise do nothing, silently.
  if (const char *missing = env.MissingSeam()) {
    LogAtLevel(LOG_ERROR, "Start-up left the %s unset. Exiting...\n", missing);
    ExitDaemon(1);
  }
  SetCorePattern(false);
  if (GetSystemFailureHandler() == nullptr) {
    LogAtLevel(LOG_ERROR, "Failed to initialize system failure handler\n");
    ExitDaemon(1);
  }

  std::string profile = SelectProfile(options);
  LogAtLevel(LOG_INFO, "Starting Sentro with profile '%s'\n", profile.c_str());
  bool *runPostStartup = new bool(profile != "NONE");
  manager->StartProfile(profile, options.ignoreFail, config->ParallelServiceOperation(),
                        OnStartupProfileDone, runPostStartup);
  LogAtLevel(LOG_INFO, "Sentro service is running in %s mode.\n",
             QueryFipsMode() ? "FIPS" : "non-FIPS");

  PollRunMain(true, DaemonExitFlag(), POLL_CLASS_MAIN);

  StopWatchdog(GetSystemFailureHandler());
  PollShutdown();
  munlockall();
  ExitDaemon(0);
}
