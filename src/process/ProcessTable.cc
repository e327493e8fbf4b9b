#include "src/process/ProcessTable.h"

#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "lib/log/log.h"
#include "lib/log/verify.h"
#include "src/process/ChildReport.h"
#include "src/process/SysProcess.h"
#include "src/process/SysProcessImpl.h"

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

void ReapChildren() {
  // SIGCHLD coalesces: one signal may stand for many exits, so collect until
  // no exited child is left.
  for (;;) {
    siginfo_t info;
    memset(&info, 0, sizeof info);
    if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG) != 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno != ECHILD) {
        LogAtLevel(LOG_WARNING, "waitid failed. Error: %s\n", strerror(errno));
      }
      return;
    }
    if (info.si_pid == 0) {
      return;
    }
    int exitCode;
    if (info.si_code == CLD_EXITED) {
      exitCode = info.si_status;
    } else if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) {
      exitCode = 1;
    } else {
      continue;
    }
    // The child's own set-up messages come before its exit in the log.
    ChildReportFlush(info.si_pid);
    SysProcessImpl *process = ProcessTableRemove(info.si_pid);
    if (process == nullptr) {
      LogAtLevel(LOG_WARNING, "A non tracked pid %d terminated.\n", info.si_pid);
      continue;
    }
    process->HandleExit(exitCode);
  }
}

void NotifyCoreDump(pid_t pid) {
  SysProcessImpl *process = ProcessTableFind(pid);
  if (process == nullptr) {
    LogAtLevel(LOG_DEBUG, "A non tracked pid %d is dumping core.\n", pid);
    return;
  }
  process->HandleCoreDump();
}
