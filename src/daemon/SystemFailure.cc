#include "src/daemon/SystemFailure.h"

#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "lib/log/log.h"
#include "lib/pollDefault/poll.h"
#include "src/core/SentroConfig.h"
#include "src/daemon/DaemonWiring.h"
#include "src/daemon/KernelSwitches.h"
#include "src/manager/ServiceManager.h"

class SystemFailureHandler {};

namespace {

enum AliveFlag : int32_t { kNoHeartbeat = 0, kHeartbeatSeen = 1, kStopRequested = 2 };

std::mutex aliveMutex;
int32_t aliveFlag = kNoHeartbeat;
int watchdogPeriodSec = 0;
SystemFailureHandler *handlerInstance = nullptr;

const size_t kWatchdogStackBytes = 32768;

bool FailoverProfileActive() {
  return SentroConfig::Get()->ActiveRecoveryProfile() == RecoveryProfile::Failover;
}

// Sleeps the whole period: a sleep cut short resumes for the time left.
void SleepSeconds(int seconds) {
  struct timespec left = {seconds, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Unnamed on purpose: its lines carry the log's default thread name.
void *WatchdogThread(void *) {
  for (;;) {
    SleepSeconds(watchdogPeriodSec);
    if (!WatchdogCheckOnce()) {
      return nullptr;
    }
  }
}

bool StartWatchdogThread() {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kWatchdogStackBytes);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, WatchdogThread, nullptr);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    LogAtLevel(LOG_ERROR, "Failed to create self monitoring thread %s\n", strerror(rc));
    return false;
  }
  return true;
}

}  // namespace

void WatchdogHeartbeat(void *) {
  {
    std::lock_guard<std::mutex> lock(aliveMutex);
    if (aliveFlag != kStopRequested) {
      aliveFlag = kHeartbeatSeen;
    }
  }
  LogAtLevel(LOG_DEBUG, "Signal main thread alive...\n");
}

bool WatchdogCheckOnce() {
  int32_t seen;
  {
    std::lock_guard<std::mutex> lock(aliveMutex);
    seen = aliveFlag;
    if (seen != kStopRequested) {
      aliveFlag = kNoHeartbeat;
    }
  }
  if (seen == kStopRequested) {
    return false;
  }
  if (seen == kNoHeartbeat && FailoverProfileActive()) {
    LogAtLevel(LOG_ERROR, "MainThread not alive, restarting the system!\n");
    RestartSystem(true);
  }
  return true;
}

SystemFailureHandler *GetSystemFailureHandler() {
  if (handlerInstance != nullptr) {
    return handlerInstance;
  }
  SentroConfig *config = SentroConfig::Get();
  if (config->EnableLivenessCheck()) {
    // The configuration holds the period at 6 s or more while the watchdog
    // runs, so the heartbeat comes at least once a second.
    watchdogPeriodSec = config->CriticalHealthCheckFreqSecs();
    int64_t heartbeatUs = static_cast<int64_t>(watchdogPeriodSec / 3 - 1) * 1000000;
    PollAddTimer(WatchdogHeartbeat, nullptr, heartbeatUs, true, nullptr);
    if (!StartWatchdogThread()) {
      PollRemoveTimer(WatchdogHeartbeat, nullptr, true);
      return nullptr;
    }
  }
  handlerInstance = new SystemFailureHandler();
  return handlerInstance;
}

void StopWatchdog(SystemFailureHandler *) {
  std::lock_guard<std::mutex> lock(aliveMutex);
  aliveFlag = kStopRequested;
}

void ReportSystemFailure(SystemFailureHandler *, const std::string &serviceName) {
  if (!FailoverProfileActive() || !SentroConfig::Get()->HaltOnSystemFailHA()) {
    return;
  }
  ServiceManager *manager = DaemonRegistry();
  if (manager != nullptr && manager->IsServiceInProfile(serviceName, "CRITICAL")) {
    LogAtLevel(LOG_ERROR, "System Failure, initiating system restart.\n");
    RestartSystem(true);
  }
}
