#include "src/manager/DependencyChecks.h"

#include <algorithm>
#include <vector>

#include "lib/log/log.h"

namespace {

bool IsConsistent(StartupType dependent, StartupType dependency) {
  switch (dependent) {
    case StartupType::Manual:
      return dependency != StartupType::Disabled;
    case StartupType::Automatic:
      return dependency == StartupType::Automatic;
    case StartupType::Disabled:
      return true;
  }
  return false;
}

bool Contains(const std::vector<std::string> &names, const std::string &name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

struct CycleSearch {
  const ServiceGraph &graph;
  std::vector<std::string> path;
  std::vector<std::string> finished;
  bool found = false;

  void Visit(const std::string &name) {
    path.push_back(name);
    auto it = graph.find(name);
    if (it != graph.end()) {
      for (const std::string &dependency : it->second->DependsOn()) {
        if (found) {
          break;
        }
        if (Contains(path, dependency)) {
          LogAtLevel(LOG_ERROR, "Following dependency %s <-> %s introduces a cycle.\n",
                     name.c_str(), dependency.c_str());
          found = true;
        } else if (!Contains(finished, dependency)) {
          Visit(dependency);
        }
      }
    }
    path.pop_back();
    finished.push_back(name);
  }
};

}  // namespace

bool CheckStartupTypes(const ServiceGraph &graph) {
  bool passed = true;
  for (const auto &[name, service] : graph) {
    for (const std::string &dependency : service->DependsOn()) {
      auto it = graph.find(dependency);
      if (it == graph.end()) {
        LogAtLevel(LOG_ERROR, "Dependent service %s of service %s not found!\n", dependency.c_str(),
                   name.c_str());
        passed = false;
        continue;
      }
      StartupType dependentType = service->GetStartupType();
      StartupType dependencyType = it->second->GetStartupType();
      if (!IsConsistent(dependentType, dependencyType)) {
        LogAtLevel(LOG_ERROR,
                   "Startup type of service %s is %s while startup type of dependent service %s "
                   "is %s.\n",
                   name.c_str(), StartupTypeName(dependentType), dependency.c_str(),
                   StartupTypeName(dependencyType));
        passed = false;
      }
    }
  }
  return passed;
}

bool DetectDependencyCycles(const ServiceGraph &graph) {
  CycleSearch search{graph, {}, {}, false};
  for (const auto &entry : graph) {
    if (search.found) {
      break;
    }
    if (!Contains(search.finished, entry.first)) {
      search.Visit(entry.first);
    }
  }
  return search.found;
}
