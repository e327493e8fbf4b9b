// Checks over the "DependsOn" graph, run once when the registry is built.
// They only log: a daemon with a missing dependency, inconsistent startup
// types or a cycle still runs, and a batch never finds a cycle's members
// ready.
#pragma once

#include <map>
#include <string>

#include "src/manager/BatchOperation.h"

// The registry as the checks see it: name -> service, in ascending name order.
using ServiceGraph = std::map<std::string, BatchMember *>;

// Every dependency must be registered, and an automatic service may depend
// only on automatic ones, a manual one on anything but disabled ones.
bool CheckStartupTypes(const ServiceGraph &graph);

// Reports at most one cycle; true when one was found. Relies on every
// dependency being registered (run it only after CheckStartupTypes passed).
bool DetectDependencyCycles(const ServiceGraph &graph);
