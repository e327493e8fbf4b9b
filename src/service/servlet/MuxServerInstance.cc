// Reading a servlet container instance file.
#include "src/service/servlet/MuxServerInstance.h"

#include "lib/log/log.h"
#include "src/core/JsonFileReader.h"
#include "src/core/SentroConfig.h"

namespace {

// What a load replaces in the instance, all at once or not at all.
struct InstanceSettings {
  std::string name;  // first load only
  std::string startCommand;
  std::vector<std::string> startCommandArgs;
  std::string runAsUser;
  std::string workingDir;
};

bool ReadInstanceFile(const MuxServerInstance &instance, bool reload, InstanceSettings *fresh) {
  std::string path = SentroConfig::Get()->MuxInstanceDefinitionDir() + "/" + instance.fileName;
  const char *fileName = instance.fileName.c_str();
  JsonFileReader reader;
  if (!reader.Load(path)) {
    LogAtLevel(LOG_ERROR, "Invalid mux server config file: %s\n", fileName);
    return false;
  }
  if (!reload && !reader.GetString("Name", false, &fresh->name)) {
    LogAtLevel(LOG_ERROR, "Mandatory field Name missing: %s\n", fileName);
    return false;
  }
  // A StartCommand whose expansion fails counts as absent.
  if (!reader.GetString("StartCommand", true, &fresh->startCommand)) {
    LogAtLevel(LOG_ERROR, "Mandatory field StartCommand missing: %s\n", fileName);
    return false;
  }
  reader.GetStringList("StartCommandArgs", true, &fresh->startCommandArgs);
  reader.GetString("WorkingDir", true, &fresh->workingDir);
  if (reload) {
    // The user may have been set by a servlet start since; it stays.
    fresh->runAsUser = instance.runAsUser;
  } else {
    reader.GetString("RunAsUser", true, &fresh->runAsUser);
  }
  return true;
}

}  // namespace

bool LoadMuxServer(MuxServerInstance *instance, bool reload) {
  InstanceSettings fresh;
  if (!ReadInstanceFile(*instance, reload, &fresh)) {
    LogAtLevel(LOG_ERROR, "Failed to %sload MUX Server configuration\n", reload ? "re" : "");
    return false;
  }
  if (!reload) {
    instance->name = std::move(fresh.name);
  }
  instance->startCommand = std::move(fresh.startCommand);
  instance->startCommandArgs = std::move(fresh.startCommandArgs);
  instance->runAsUser = std::move(fresh.runAsUser);
  instance->workingDir = std::move(fresh.workingDir);
  return true;
}

bool ReloadMuxServer(MuxServerInstance *instance) {
  return LoadMuxServer(instance, true);
}
