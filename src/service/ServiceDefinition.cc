// The definition file's keys and defaults, and the two small files that
// carry a service's state across daemon restarts: the run-state file beside
// the definition (the startup type chosen through the control interface)
// and the crash statistics in the data directory. Both are written to a
// temporary file that is then renamed over the old one.
#include "src/service/ServiceDefinition.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "lib/log/log.h"
#include "src/core/JsonFileReader.h"
#include "src/core/JsonFileWriter.h"
#include "src/core/SentroConfig.h"
#include "src/process/CommandHelpers.h"
#include "src/service/Service.h"

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

// Persistence of the run-state and the crash statistics.

std::string Service::DefinitionPath() const {
  return SentroConfig::Get()->ServiceDefinitionDir() + "/" + fileName_;
}

std::string Service::RunStatePath() const {
  return SentroConfig::Get()->ServiceDefinitionDir() + "/.state_" + fileName_;
}

std::string Service::CrashStatsPath() const {
  return SentroConfig::Get()->ServiceStatsPath() + "/stats_" + fileName_;
}

bool Service::SaveRunState() {
  std::string path = RunStatePath();
  std::string tmpPath = path + ".tmp";
  LogAtLevel(LOG_DEBUG, "<%s> Save service run-state to file %s\n", name_.c_str(), path.c_str());
  JsonFileWriter writer;
  if (!writer.Open(tmpPath)) {
    LogAtLevel(LOG_ERROR, "<%s> Failed to initialize config writer. File %s\n", name_.c_str(),
               tmpPath.c_str());
    return false;
  }
  writer.WriteString("StartupType", StartupTypeName(definition_.startupType));
  if (!writer.Close()) {
    LogAtLevel(LOG_ERROR, "<%s> Failed to write to config file %s. Err %s\n", name_.c_str(),
               tmpPath.c_str(), strerror(errno));
    return false;
  }
  if (rename(tmpPath.c_str(), path.c_str()) != 0) {
    LogAtLevel(LOG_ERROR, "<%s> Failed to rename tmp file. Service cfg %s, Error %s\n",
               name_.c_str(), fileName_.c_str(), strerror(errno));
    return false;
  }
  return true;
}

bool Service::SaveCrashStats() {
  std::string path = CrashStatsPath();
  std::string tmpPath = path + ".tmp";
  LogAtLevel(LOG_DEBUG, "<%s> Save service crash stats to file %s\n", name_.c_str(),
             tmpPath.c_str());
  JsonFileWriter writer;
  if (!writer.Open(tmpPath)) {
    LogAtLevel(LOG_ERROR, "<%s> Failed to initialize config writer. File: %s\n", name_.c_str(),
               tmpPath.c_str());
    return false;
  }
  writer.WriteInt("ApiHealthFailCount", counters_.apiHealthFail);
  writer.WriteInt("ProcessCrashCount", counters_.processCrash);
  writer.WriteInt("ProcessCoredumpCount", counters_.processCoredump);
  if (!writer.Close()) {
    LogAtLevel(LOG_ERROR, "<%s> Failed to write to config file %s. Err %s\n", name_.c_str(),
               tmpPath.c_str(), strerror(errno));
    return false;
  }
  if (rename(tmpPath.c_str(), path.c_str()) != 0) {
    LogAtLevel(LOG_ERROR, "<%s> Failed to rename tmp file %s. Error: %s\n", name_.c_str(),
               tmpPath.c_str(), strerror(errno));
    return false;
  }
  return true;
}

bool Service::LoadCrashStats() {
  std::string path = CrashStatsPath();
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) {
      return true;
    }
    LogAtLevel(LOG_WARNING, "Failed to load svcStatsFile %s. Error: %s\n", path.c_str(),
               strerror(errno));
    return false;
  }
  JsonFileReader reader;
  if (!reader.Load(path)) {
    unlink(path.c_str());
    LogAtLevel(LOG_WARNING, "Stats file %s corrupted , hence removed !\n", path.c_str());
    return true;
  }
  reader.GetInt("ApiHealthFailCount", &counters_.apiHealthFail);
  reader.GetInt("ProcessCrashCount", &counters_.processCrash);
  reader.GetInt("ProcessCoredumpCount", &counters_.processCoredump);
  return true;
}
