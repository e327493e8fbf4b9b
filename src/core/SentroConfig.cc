#include "src/core/SentroConfig.h"

#include <cinttypes>
#include <climits>

#include "lib/log/log.h"
#include "lib/log/verify.h"
#include "src/core/JsonFileReader.h"

namespace {

// The range of "LogLevel"; a value outside it falls back to the default.
const int32_t kMinLogLevel = 1;
const int32_t kMaxLogLevel = 18;
const int32_t kDefaultLogLevel = 5;

// The ranges of the other integer keys. Periods and time-outs start at one
// second (a zero period would fire on every turn of the event loop, a zero
// force-kill time-out would make every kill a system failure); limits and
// counts at zero, where zero means "none" or "no retry".
const int32_t kNoUpperBound = INT32_MAX;
// The health-check cycle is at most 2147 s, the most microseconds a signed
// 32-bit count holds, the range the setting has always had. It is also the
// watchdog's period, which needs six seconds for a heartbeat of at least
// one ((period / 3 - 1) s).
const int32_t kMaxHealthCheckFreqSecs = 2147;
const int32_t kMinWatchdogPeriodSecs = 6;

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
    ReadRangedInt(reader, "DefaultServiceStartTimeout", 1, kNoUpperBound,
                  &SentroConfig::defaultServiceStartTimeout_);
    ReadRangedInt(reader, "DefaultServiceStopTimeout", 1, kNoUpperBound,
                  &SentroConfig::defaultServiceStopTimeout_);
    ReadRangedInt(reader, "DefaultServicePostStopTimeout", 1, kNoUpperBound,
                  &SentroConfig::defaultServicePostStopTimeout_);
    ReadRangedInt(reader, "DefaultApiHealthCmdTimeout", 1, kNoUpperBound,
                  &SentroConfig::defaultApiHealthCmdTimeout_);
    ReadRangedInt(reader, "MaxServiceQuickRecoveryCount", 0, kNoUpperBound,
                  &SentroConfig::maxServiceQuickRecoveryCount_);
    reader.GetStartupType("DefaultServiceStartupType", &defaultServiceStartupType_);
    ReadRangedInt(reader, "MaxIncomingRequests", 0, kNoUpperBound,
                  &SentroConfig::maxIncomingRequests_);
    reader.GetBool("KillServicesOnSentroCrash", &killServicesOnSentroCrash_);
    reader.GetBool("EnableLivenessCheck", &enableLivenessCheck_);
  }

  // Read at start-up and again on every reload.
  ReadRangedInt(reader, "AdditionalServiceStartTimeout", 0, kNoUpperBound,
                &SentroConfig::additionalServiceStartTimeout_);
  reader.GetBool("DumpLiveCoreOnApiHealthFail", &dumpLiveCoreOnApiHealthFail_);
  ReadRangedInt(reader, "ResetServiceFailCounterTime", 0, kNoUpperBound,
                &SentroConfig::resetServiceFailCounterTime_);
  reader.GetBool("ParallelServiceOperation", &parallelServiceOperation_);
  ReadRangedInt(reader, "ParallelSvcOpThrottleLimit", 0, kNoUpperBound,
                &SentroConfig::parallelSvcOpThrottleLimit_);
  ReadRangedInt(reader, "StreamRedirectedFilesLimit", 0, kNoUpperBound,
                &SentroConfig::streamRedirectedFilesLimit_);
  ReadRangedInt(reader, "SocketIOTimeout", 1, kNoUpperBound, &SentroConfig::socketIOTimeout_);
  ReadRangedInt(reader, "CriticalHealthCheckFreqSecs",
                enableLivenessCheck_ ? kMinWatchdogPeriodSecs : 1, kMaxHealthCheckFreqSecs,
                &SentroConfig::criticalHealthCheckFreqSecs_);
  ReadRangedInt(reader, "CriticalToAllHealthCheckFreqRatio", 1, kNoUpperBound,
                &SentroConfig::criticalToAllHealthCheckFreqRatio_);
  reader.GetString("EventPublisherScriptDir", true, &eventPublisherScriptDir_);
  int64_t logLevel;
  if (reader.GetInt64("LogLevel", &logLevel)) {
    if (logLevel < kMinLogLevel || logLevel > kMaxLogLevel) {
      LogAtLevel(LOG_WARNING, "LogLevel config value must be in the range %d and %d\n",
                 kMinLogLevel, kMaxLogLevel);
      logLevel = kDefaultLogLevel;
    }
    logLevel_ = static_cast<int32_t>(logLevel);
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
  ReadRangedInt(reader, "DefaultForceKillTimeoutSec", 1, kNoUpperBound,
                &SentroConfig::defaultForceKillTimeoutSec_);
  ReadRangedInt(reader, "SentroTelemetryPushFreqHours", 1, kNoUpperBound,
                &SentroConfig::sentroTelemetryPushFreqHours_);
}

void SentroConfig::ReadRangedInt(const JsonFileReader &reader, const char *key, int32_t min,
                                 int32_t max, int32_t SentroConfig::*field) {
  static const SentroConfig *const defaults = new SentroConfig();
  int64_t value;
  if (!reader.GetInt64(key, &value)) {
    return;  // absent or not an integer: the field stays as it is
  }
  if (value < min || value > max) {
    LogAtLevel(LOG_WARNING,
               "%s config value %" PRId64 " is out of the range %d to %d; using the default %d\n",
               key, value, min, max, defaults->*field);
    value = defaults->*field;
  }
  this->*field = static_cast<int32_t>(value);
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
