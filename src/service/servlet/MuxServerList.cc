#include "src/service/servlet/MuxServerList.h"

#include <memory>
#include <vector>

#include "lib/log/log.h"
#include "src/core/DirectoryNames.h"
#include "src/core/SentroConfig.h"
#include "src/service/servlet/MuxServerInstance.h"

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
