#include "src/process/ProcessTable.h"

#include <unordered_map>

#include "lib/log/verify.h"

namespace {

using PidMap = std::unordered_map<pid_t, SysProcessImpl *>;

// Never freed: the table lives until the daemon ends.
PidMap *table = nullptr;

}  // namespace

void CreateProcessTable() {
  if (table == nullptr) {
    table = new PidMap(64);
  }
}

void ProcessTableInsert(pid_t pid, SysProcessImpl *process) {
  VERIFY(table != nullptr);
  (*table)[pid] = process;
}

// Before the table exists nothing was started, so nothing is found.
SysProcessImpl *ProcessTableFind(pid_t pid) {
  if (table == nullptr) {
    return nullptr;
  }
  auto it = table->find(pid);
  return it == table->end() ? nullptr : it->second;
}

SysProcessImpl *ProcessTableRemove(pid_t pid) {
  if (table == nullptr) {
    return nullptr;
  }
  auto it = table->find(pid);
  if (it == table->end()) {
    return nullptr;
  }
  SysProcessImpl *process = it->second;
  table->erase(it);
  return process;
}
