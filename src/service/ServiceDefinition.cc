#include "src/service/ServiceDefinition.h"

#include <climits>

#include "lib/log/log.h"
#include "src/core/JsonFileReader.h"
#include "src/core/SentroConfig.h"
#include "src/process/CommandHelpers.h"

ServiceDefinition DefaultServiceDefinition(const SentroConfig &config) {
  ServiceDefinition definition;
  definition.startTimeout = config.DefaultServiceStartTimeout();
  definition.stopTimeout = config.DefaultServiceStopTimeout();
  definition.postStopTimeout = config.DefaultServicePostStopTimeout();
  definition.apiHealthCmdTimeout = config.DefaultApiHealthCmdTimeout();
  definition.stopSignal = -1;
  definition.startupType = config.DefaultServiceStartupType();
  definition.dumpLiveCoreOnApiHealthFail = config.DumpLiveCoreOnApiHealthFail();
  return definition;
}

namespace {

// A time-out as the file gives it: the value is taken as it stands and checked
// once every key has been read, so that the warnings follow the key order.
struct TimeoutKey {
  const char *key;
  int32_t ServiceDefinition::*field;
  int32_t (SentroConfig::*fallback)() const;
  const char *message;
};

const TimeoutKey kTimeoutKeys[] = {
    {"StartTimeout", &ServiceDefinition::startTimeout, &SentroConfig::DefaultServiceStartTimeout,
     "StarTimeout value must be greater than %d and less than or equal to %d\n"},
    {"StopTimeout", &ServiceDefinition::stopTimeout, &SentroConfig::DefaultServiceStopTimeout,
     "StopTimeout value must be greater than %d and less than or equal to %d\n"},
    {"PostStopTimeout", &ServiceDefinition::postStopTimeout,
     &SentroConfig::DefaultServicePostStopTimeout,
     "PostStopTimeout value must be greater than %d and less than or equal to %d\n"},
    {"ApiHealthCmdTimeout", &ServiceDefinition::apiHealthCmdTimeout,
     &SentroConfig::DefaultApiHealthCmdTimeout,
     "ApiHealthCmdTimeout value must be greater than %d and less than or equal to %d\n"},
};

}  // namespace

void ReadServiceDefinitionKeys(const JsonFileReader &reader, const SentroConfig &config,
                               ServiceDefinition *definition) {
  ServiceDefinition &d = *definition;
  reader.GetStartupType("StartupType", &d.startupType);
  reader.GetString("RunApiHealthCmdAsUser", false, &d.runApiHealthCmdAsUser);
  reader.GetString("RunAsUser", true, &d.runAsUser);
  reader.GetString("StartCommand", true, &d.startCommand);
  reader.GetStringList("StartCommandArgs", true, &d.startCommandArgs);
  reader.GetString("PreStartCommand", true, &d.preStartCommand);
  reader.GetString("RunPreStartCmdAsUser", false, &d.runPreStartCmdAsUser);
  reader.GetStringList("PreStartCommandArgs", true, &d.preStartCommandArgs);
  reader.GetString("StopCommand", true, &d.stopCommand);
  reader.GetStringList("StopCommandArgs", true, &d.stopCommandArgs);
  reader.GetString("PostStopCommand", true, &d.postStopCommand);
  reader.GetStringList("PostStopCommandArgs", true, &d.postStopCommandArgs);
  std::string signalName;
  if (reader.GetString("StopSignal", false, &signalName)) {
    d.stopSignal = SignalFromName(signalName);
  }
  reader.GetString("ApiHealthCommand", true, &d.apiHealthCommand);
  reader.GetStringList("ApiHealthCommandArgs", true, &d.apiHealthCommandArgs);
  reader.GetString("ApiHealthFile", true, &d.apiHealthFile);
  reader.GetString("StreamRedirectFile", true, &d.streamRedirectFile);
  bool timeoutPresent[4];
  for (int i = 0; i < 4; i++) {
    timeoutPresent[i] = reader.GetInt(kTimeoutKeys[i].key, &(d.*kTimeoutKeys[i].field));
  }
  reader.GetRecoveryActionProfiles("RecoveryActionProfiles", &d.recoveryActionProfiles);
  reader.GetBool("DumpLiveCoreOnApiHealthFail", &d.dumpLiveCoreOnApiHealthFail);
  reader.GetString("WorkingDir", true, &d.workingDir);
  reader.GetIntList("CleanExitCodes", &d.cleanExitCodes);
  reader.GetUint64("ProcessFdLimit", &d.processFdLimit);
  reader.GetUint64("MemoryLimitBytes", &d.memoryLimitBytes);

  for (int i = 0; i < 4; i++) {
    const TimeoutKey &timeout = kTimeoutKeys[i];
    if (timeoutPresent[i] && d.*timeout.field < 1) {
      LogAtLevel(LOG_WARNING, timeout.message, 0, INT_MAX);
      d.*timeout.field = (config.*timeout.fallback)();
    }
  }
}
