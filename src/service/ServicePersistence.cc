// The two small files that carry a service's state across daemon restarts:
// the run-state file beside the definition (the startup type chosen through
// the control interface) and the crash statistics in the data directory.
// Both are written to a temporary file that is then renamed over the old one.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/log/log.h"
#include "src/core/JsonFileReader.h"
#include "src/core/JsonFileWriter.h"
#include "src/core/SentroConfig.h"
#include "src/service/Service.h"

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
