#include "src/service/MuxServerList.h"

#include <dirent.h>
#include <string.h>

#include <memory>
#include <vector>

#include "lib/log/log.h"
#include "src/core/SentroConfig.h"
#include "src/service/MuxServerInstance.h"

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
  DIR *listing = opendir(dir.c_str());  // close-on-exec in glibc
  if (listing == nullptr) {
    LogAtLevel(LOG_ERROR, "Failed to read directory %s.\n", dir.c_str());
    return false;
  }
  // A registry that failed to come up may be created again; it starts over.
  Instances().clear();
  while (struct dirent *entry = readdir(listing)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) {
      continue;
    }
    auto instance = std::make_unique<MuxServerInstance>();
    instance->fileName = entry->d_name;
    if (!LoadMuxServer(instance.get(), false)) {
      LogAtLevel(LOG_ERROR, "Failed to load mux server instance %s\n", entry->d_name);
      continue;
    }
    LogAtLevel(LOG_INFO, "Loaded MUX server config file %s\n", entry->d_name);
    Instances().push_back(std::move(instance));
  }
  closedir(listing);
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
