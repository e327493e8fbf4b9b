// Shared with the publisher tests: the real loop on the test clock, SIGCHLD
// on a signal descriptor as the daemon has it, and a callback recorder.
#pragma once

#include <functional>
#include <string>

#include "src/process/SysProcess.h"

// Turns the loop until done() holds or timeoutMs of real time pass.
bool RunLoopUntil(const std::function<bool()> &done, int timeoutMs = 5000);
inline void RunLoopFor(int ms) {
  RunLoopUntil([] { return false; }, ms);
}
void AdvanceClock(int64_t seconds);              // timers due fire at the next turn
bool Logged(const std::string &text);            // a message since the start contains text
void UseSysroot(const char *dir);                // null: back to the real paths
std::string WithPid(std::string text, int pid);  // every "{pid}" replaced

// What the callbacks of one SysProcess reported.
struct ProcessEvents {
  int exits = 0, coreDumps = 0, forceKillTimeouts = 0, exitCodeAtExit = -1, streamCalls = 0;
  std::string output[2];  // captured stdout and stderr
  // options with the callbacks and context wired to this recorder.
  ProcessStartOptions Wire(ProcessStartOptions options = {}, bool out = false, bool err = false);
};
void RecordForceKillTimeout(SysProcess *process, void *context);
inline bool WaitForExit(SysProcess *p) {
  return RunLoopUntil([p] { return p->HasExited(); });
}
