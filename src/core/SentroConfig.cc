#include "src/core/SentroConfig.h"

#include "lib/log/log.h"
#include "lib/log/verify.h"
#include "src/core/JsonFileReader.h"

namespace {

// The range of "LogLevel"; a value outside it falls back to the default.
const int32_t kMinLogLevel = 1;
const int32_t kMaxLogLevel = 18;
const int32_t kDefaultLogLevel = 5;

// Never freed: the daemon ends through the immediate-exit call.
SentroConfig *instance = nullptr;

}  // namespace

SentroConfig::SentroConfig() {
  defaultRecoveryActions_[static_cast<int>(FailureType::Crash)] = {RecoveryAction::RestartService};
  defaultRecoveryActions_[static_cast<int>(FailureType::HealthFail)] = {
      RecoveryAction::NoAction, RecoveryAction::RestartService};
}

SentroConfig *SentroConfig::Load(const std::string &configDir, const std::string &dataDir) {
  if (instance != nullptr) {
    return instance;
  }
  JsonFileReader reader;
  if (!reader.Load(configDir + "/config.json")) {
    return nullptr;
  }
  SentroConfig *config = new SentroConfig();
  config->ReadKeys(reader, ReadMode::FirstLoad, configDir, dataDir);
  instance = config;
  return instance;
}

SentroConfig *SentroConfig::Get() {
  return instance;
}

void SentroConfig::ResetForTest() {
  delete instance;
  instance = nullptr;
}

bool SentroConfig::Reload() {
  JsonFileReader reader;
  if (!reader.Load(ConfigFilePath())) {
    return false;
  }
  ReadKeys(reader, ReadMode::Reload, configDir_, dataDir_);
  return true;
}

void SentroConfig::ReadKeys(const JsonFileReader &reader, ReadMode mode,
                            const std::string &configDir, const std::string &dataDir) {
  // Read at start-up only; a change takes effect at the next start.
  if (mode == ReadMode::FirstLoad) {
    reader.GetRecoveryActionList("DefaultCrashRecoveryActions",
                                 &defaultRecoveryActions_[static_cast<int>(FailureType::Crash)]);
    reader.GetRecoveryActionList(
        "DefaultApiHealthFailRecoveryActions",
        &defaultRecoveryActions_[static_cast<int>(FailureType::HealthFail)]);
    reader.GetInt("DefaultServiceStartTimeout", &defaultServiceStartTimeout_);
    reader.GetInt("DefaultServiceStopTimeout", &defaultServiceStopTimeout_);
    reader.GetInt("DefaultServicePostStopTimeout", &defaultServicePostStopTimeout_);
    reader.GetInt("DefaultApiHealthCmdTimeout", &defaultApiHealthCmdTimeout_);
    reader.GetInt("MaxServiceQuickRecoveryCount", &maxServiceQuickRecoveryCount_);
    reader.GetStartupType("DefaultServiceStartupType", &defaultServiceStartupType_);
    reader.GetInt("MaxIncomingRequests", &maxIncomingRequests_);
    reader.GetBool("KillServicesOnSentroCrash", &killServicesOnSentroCrash_);
    reader.GetBool("EnableLivenessCheck", &enableLivenessCheck_);
  }

  // Read at start-up and again on every reload.
  reader.GetInt("AdditionalServiceStartTimeout", &additionalServiceStartTimeout_);
  reader.GetBool("DumpLiveCoreOnApiHealthFail", &dumpLiveCoreOnApiHealthFail_);
  reader.GetInt("ResetServiceFailCounterTime", &resetServiceFailCounterTime_);
  reader.GetBool("ParallelServiceOperation", &parallelServiceOperation_);
  reader.GetInt("ParallelSvcOpThrottleLimit", &parallelSvcOpThrottleLimit_);
  reader.GetInt("StreamRedirectedFilesLimit", &streamRedirectedFilesLimit_);
  reader.GetInt("SocketIOTimeout", &socketIOTimeout_);
  reader.GetInt("CriticalHealthCheckFreqSecs", &criticalHealthCheckFreqSecs_);
  reader.GetInt("CriticalToAllHealthCheckFreqRatio", &criticalToAllHealthCheckFreqRatio_);
  reader.GetString("EventPublisherScriptDir", true, &eventPublisherScriptDir_);
  if (reader.GetInt("LogLevel", &logLevel_) &&
      (logLevel_ < kMinLogLevel || logLevel_ > kMaxLogLevel)) {
    LogAtLevel(LOG_WARNING, "LogLevel config value must be in the range %d and %d\n", kMinLogLevel,
               kMaxLogLevel);
    logLevel_ = kDefaultLogLevel;
  }
  reader.GetBool("LogToSyslog", &logToSyslog_);
  if (mode == ReadMode::FirstLoad) {
    configDir_ = configDir;
    dataDir_ = dataDir;
  }
  reader.GetBool("PerformPeriodicHealthCheck", &performPeriodicHealthCheck_);
  reader.GetBool("RecoverOnServiceHealthFail", &recoverOnServiceHealthFail_);
  reader.GetBool("RecoverOnServiceCrash", &recoverOnServiceCrash_);
  reader.GetBool("HaltOnSystemFailHA", &haltOnSystemFailHA_);
  reader.GetInt("DefaultForceKillTimeoutSec", &defaultForceKillTimeoutSec_);
  reader.GetInt("SentroTelemetryPushFreqHours", &sentroTelemetryPushFreqHours_);
}

const RecoveryActionList &SentroConfig::RecoveryActionsFor(FailureType type) const {
  switch (type) {
    case FailureType::Crash:
    case FailureType::HealthFail:
    case FailureType::CoreDump:
      return defaultRecoveryActions_[static_cast<int>(type)];
  }
  NOT_REACHED();
}

void SentroConfig::SetActiveRecoveryProfile(RecoveryProfile profile) {
  activeRecoveryProfile_.store(static_cast<int32_t>(profile), std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

RecoveryProfile SentroConfig::ActiveRecoveryProfile() const {
  return static_cast<RecoveryProfile>(activeRecoveryProfile_.load(std::memory_order_acquire));
}
