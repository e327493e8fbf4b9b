// The daemon-wide settings: read once from config.json at start-up, partly
// re-read on SIGHUP, and read everywhere else through SentroConfig::Get.
//
// Besides the file's settings the object carries the configuration and data
// directories (and the paths of the daemon's files built from them), the
// default recovery action lists, and the active recovery action profile,
// which a control request changes at run time.
//
// Written on the main thread only; the watchdog thread reads
// CriticalHealthCheckFreqSecs and the active profile without a lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "src/core/SentroTypes.h"

class JsonFileReader;

class SentroConfig {
 public:
  // Creates the instance from configDir/config.json on the first call and
  // returns it; null when the file cannot be read or parsed or its root is
  // not an object. Once an instance exists every call returns it unchanged.
  static SentroConfig *Load(const std::string &configDir, const std::string &dataDir);
  // The instance, or null before a successful Load.
  static SentroConfig *Get();
  // Forgets the instance so that a test can load another one.
  static void ResetForTest();

  // Re-reads the keys that may change at run time; keys missing from the file
  // keep their current values. False, with nothing changed, when the file
  // cannot be read or parsed.
  bool Reload();

  // The default recovery actions for a failure type. Any value other than
  // CRASH, HEALTHFAIL and COREDUMP is a fatal internal error.
  const RecoveryActionList &RecoveryActionsFor(FailureType type) const;

  // Publishes profile to every thread (one 32-bit store, then a full barrier).
  void SetActiveRecoveryProfile(RecoveryProfile profile);
  RecoveryProfile ActiveRecoveryProfile() const;

  int32_t DefaultServiceStartTimeout() const { return defaultServiceStartTimeout_; }
  int32_t DefaultServiceStopTimeout() const { return defaultServiceStopTimeout_; }
  int32_t DefaultServicePostStopTimeout() const { return defaultServicePostStopTimeout_; }
  int32_t DefaultApiHealthCmdTimeout() const { return defaultApiHealthCmdTimeout_; }
  int32_t AdditionalServiceStartTimeout() const { return additionalServiceStartTimeout_; }
  int32_t MaxServiceQuickRecoveryCount() const { return maxServiceQuickRecoveryCount_; }
  StartupType DefaultServiceStartupType() const { return defaultServiceStartupType_; }
  bool DumpLiveCoreOnApiHealthFail() const { return dumpLiveCoreOnApiHealthFail_; }
  int32_t ResetServiceFailCounterTime() const { return resetServiceFailCounterTime_; }
  bool ParallelServiceOperation() const { return parallelServiceOperation_; }
  int32_t ParallelSvcOpThrottleLimit() const { return parallelSvcOpThrottleLimit_; }
  int32_t StreamRedirectedFilesLimit() const { return streamRedirectedFilesLimit_; }
  int32_t SocketIOTimeout() const { return socketIOTimeout_; }
  int32_t MaxIncomingRequests() const { return maxIncomingRequests_; }
  int32_t CriticalHealthCheckFreqSecs() const { return criticalHealthCheckFreqSecs_; }
  int32_t CriticalToAllHealthCheckFreqRatio() const { return criticalToAllHealthCheckFreqRatio_; }
  const std::string &EventPublisherScriptDir() const { return eventPublisherScriptDir_; }
  const std::string &ConfigDir() const { return configDir_; }
  const std::string &DataDir() const { return dataDir_; }
  int32_t LogLevel() const { return logLevel_; }
  bool LogToSyslog() const { return logToSyslog_; }
  bool KillServicesOnSentroCrash() const { return killServicesOnSentroCrash_; }
  bool PerformPeriodicHealthCheck() const { return performPeriodicHealthCheck_; }
  bool RecoverOnServiceHealthFail() const { return recoverOnServiceHealthFail_; }
  bool RecoverOnServiceCrash() const { return recoverOnServiceCrash_; }
  bool HaltOnSystemFailHA() const { return haltOnSystemFailHA_; }
  bool EnableLivenessCheck() const { return enableLivenessCheck_; }
  int32_t DefaultForceKillTimeoutSec() const { return defaultForceKillTimeoutSec_; }
  int32_t SentroTelemetryPushFreqHours() const { return sentroTelemetryPushFreqHours_; }

  // The daemon's files.
  std::string ConfigFilePath() const { return configDir_ + "/config.json"; }
  std::string ProfilesFilePath() const { return configDir_ + "/profiles.json"; }
  std::string ServiceDefinitionDir() const { return configDir_ + "/svcCfgfiles"; }
  std::string MuxInstanceDefinitionDir() const { return configDir_ + "/muxServerInstanceCfgfiles"; }
  std::string ServiceStatsPath() const { return dataDir_ + "/.svcStats"; }
  std::string FailoverListenerPath() const { return dataDir_ + "/duolistener"; }
  std::string DefaultStartProfilePath() const { return dataDir_ + "/defaultStartProfile"; }
  std::string ControlSocketPath() const { return dataDir_ + "/sentroserver"; }
  std::string EventPublisherScriptPath() const {
    return eventPublisherScriptDir_ + "/sentroEventPublisher.py";
  }

 private:
  SentroConfig();

  // Reads the keys of config.json in their fixed order. The directories are
  // stored on the first load only; a reload reads only the run-time keys.
  enum class ReadMode { FirstLoad, Reload };
  void ReadKeys(const JsonFileReader &reader, ReadMode mode, const std::string &configDir,
                const std::string &dataDir);
  // Reads an integer key into field. A value outside min to max (one that
  // does not fit 32 bits included) is not used: a warning names the key and
  // the value, and the field takes its default.
  void ReadRangedInt(const JsonFileReader &reader, const char *key, int32_t min, int32_t max,
                     int32_t SentroConfig::*field);

  RecoveryActionList defaultRecoveryActions_[FAILURE_TYPE_COUNT];
  int32_t defaultServiceStartTimeout_ = 30;
  int32_t defaultServiceStopTimeout_ = 10;
  int32_t defaultServicePostStopTimeout_ = 10;
  int32_t defaultApiHealthCmdTimeout_ = 30;
  int32_t additionalServiceStartTimeout_ = 60;
  int32_t maxServiceQuickRecoveryCount_ = 5;
  StartupType defaultServiceStartupType_ = StartupType::Automatic;
  bool dumpLiveCoreOnApiHealthFail_ = false;
  int32_t resetServiceFailCounterTime_ = 86400;
  std::atomic<int32_t> activeRecoveryProfile_{static_cast<int32_t>(RecoveryProfile::Default)};
  bool parallelServiceOperation_ = true;
  int32_t parallelSvcOpThrottleLimit_ = 0;
  int32_t streamRedirectedFilesLimit_ = 5;
  int32_t socketIOTimeout_ = 5;
  int32_t maxIncomingRequests_ = 25;
  int32_t criticalHealthCheckFreqSecs_ = 300;
  int32_t criticalToAllHealthCheckFreqRatio_ = 6;
  std::string eventPublisherScriptDir_;
  std::string configDir_;
  std::string dataDir_;
  int32_t logLevel_ = 5;
  bool logToSyslog_ = false;
  bool killServicesOnSentroCrash_ = true;
  bool performPeriodicHealthCheck_ = true;
  bool recoverOnServiceHealthFail_ = true;
  bool recoverOnServiceCrash_ = true;
  bool haltOnSystemFailHA_ = true;
  bool enableLivenessCheck_ = true;
  int32_t defaultForceKillTimeoutSec_ = 30;
  int32_t sentroTelemetryPushFreqHours_ = 24;
};
