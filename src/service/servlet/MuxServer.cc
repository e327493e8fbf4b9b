// Servlet container instances: reading an instance file, the process-wide
// list of instances, and the container process that is started once for all
// its servlets and whose end or core dump reaches every servlet attached at
// that moment.
#include "src/service/servlet/MuxServer.h"

#include <memory>
#include <vector>

#include "lib/log/log.h"
#include "src/core/JsonFileReader.h"
#include "src/core/SentroConfig.h"
#include "src/core/SysPaths.h"
#include "src/service/servlet/MuxServletProcessImpl.h"

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

// The list of instances.

namespace {

using InstanceList = std::vector<std::unique_ptr<MuxServerInstance>>;

// Never freed: servlets and running containers refer to the instances until
// the daemon exits.
InstanceList &Instances() {
  static InstanceList *instances = new InstanceList();
  return *instances;
}

}  // namespace

bool LoadMuxServers() {
  std::string dir = SentroConfig::Get()->MuxInstanceDefinitionDir();
  std::vector<std::string> fileNames;
  if (!ListDirectoryNames(dir, &fileNames)) {
    LogAtLevel(LOG_ERROR, "Failed to read directory %s.\n", dir.c_str());
    return false;
  }
  // A registry that failed to come up may be created again; it starts over.
  Instances().clear();
  for (const std::string &fileName : fileNames) {
    auto instance = std::make_unique<MuxServerInstance>();
    instance->fileName = fileName;
    if (!LoadMuxServer(instance.get(), false)) {
      LogAtLevel(LOG_ERROR, "Failed to load mux server instance %s\n", fileName.c_str());
      continue;
    }
    LogAtLevel(LOG_INFO, "Loaded MUX server config file %s\n", fileName.c_str());
    Instances().push_back(std::move(instance));
  }
  return true;
}

bool ReloadMuxServers() {
  bool allLoaded = true;
  for (const auto &instance : Instances()) {
    allLoaded = ReloadMuxServer(instance.get()) && allLoaded;
  }
  return allLoaded;
}

MuxServerInstance *FindMuxServer(const std::string &name) {
  for (const auto &instance : Instances()) {
    if (instance->name == name) {
      return instance.get();
    }
  }
  return nullptr;
}

// The container process.

namespace {

// The container ended: every servlet attached to it ends with it, in address
// order. The set is emptied first, so a servlet restarted from its own exit
// callback attaches to a new container and is not ended a second time.
void ContainerExited(SysProcess *, void *context) {
  auto *instance = static_cast<MuxServerInstance *>(context);
  std::set<MuxServletProcessImpl *> ended;
  ended.swap(instance->servlets);
  for (MuxServletProcessImpl *servlet : ended) {
    servlet->RunExitStep();
  }
}

// Every attached servlet hears of the core dump. A callback may stop another
// servlet, so the set is walked on a copy and a servlet detached meanwhile is
// left out.
void ContainerDumpingCore(SysProcess *, void *context) {
  auto *instance = static_cast<MuxServerInstance *>(context);
  std::vector<MuxServletProcessImpl *> attached(instance->servlets.begin(),
                                                instance->servlets.end());
  for (MuxServletProcessImpl *servlet : attached) {
    if (instance->servlets.count(servlet) != 0) {
      servlet->RunCoreDumpStep();
    }
  }
}

}  // namespace

bool StartMuxServer(MuxServerInstance *instance) {
  if (instance->process != nullptr && !instance->process->HasExited()) {
    return true;
  }
  if (instance->process == nullptr) {
    instance->process.reset(CreateSysProcess(instance->name));
  }
  ProcessLimits limits;
  limits.serviceName = instance->name;  // accounted in the instance's cgroups
  ProcessStartOptions options;
  options.execTimeoutSec = -1;
  options.runAsUser = instance->runAsUser;
  options.workingDir = instance->workingDir;
  options.killOnParentDeath = true;
  options.onExit = ContainerExited;
  options.onCoreDump = ContainerDumpingCore;
  options.context = instance;
  options.limits = &limits;
  if (!instance->process->Start(instance->startCommand, instance->startCommandArgs, {}, options)) {
    // A process object that never started would count as running from now
    // on and every later servlet would attach to nothing. Dropping it makes
    // the next servlet start try the container again. No servlet is
    // attached: the set was emptied when the previous container ended.
    instance->process.reset();
    return false;
  }
  return true;
}
