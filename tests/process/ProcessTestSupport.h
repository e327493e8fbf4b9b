// Shared by the process tests: the real event loop with a SIGCHLD reader that
// runs the reaper, a clock the tests can move forward, what was logged, and a
// recorder of process callbacks.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "src/process/SysProcess.h"

// Runs the event loop until done() is true or timeoutMs of real time pass;
// returns done().
bool RunLoopUntil(const std::function<bool()> &done, int timeoutMs = 5000);

// Runs the event loop for about ms milliseconds.
void RunLoopFor(int ms);

// Moves the event loop's clock forward, so timers of seconds fire at once.
void AdvanceClock(int64_t seconds);

// Every message logged since the test started.
std::vector<std::string> LoggedMessages();
// True when some logged message contains text.
bool Logged(const std::string &text);

// What the callbacks of one SysProcess reported.
struct ProcessEvents {
  int exits = 0;
  int coreDumps = 0;
  int forceKillTimeouts = 0;
  int exitCodeAtExit = -1;
  std::string output[2];        // captured stdout and stderr, read in the callbacks
  std::string outputAtExit[2];  // what had been read when the exit callback ran

  // Options wired to this recorder.
  ProcessStartOptions Options(bool captureStdout = false, bool captureStderr = false);
  // options with its callbacks and context wired to this recorder.
  ProcessStartOptions Wire(ProcessStartOptions options, bool captureStdout = false,
                           bool captureStderr = false);
};

// The callbacks a ProcessEvents uses; usable on their own.
void RecordExit(SysProcess *process, void *context);
void RecordCoreDump(SysProcess *process, void *context);
void RecordForceKillTimeout(SysProcess *process, void *context);
void RecordStream(SysProcess *process, int stream, void *context);

// Runs the loop until process has exited; false on time-out.
bool WaitForExit(SysProcess *process, int timeoutMs = 5000);

// The line of /proc/PID/FILE that starts with key, without the key; "" when
// there is none.
std::string ProcField(pid_t pid, const std::string &file, const std::string &key);

// Whether pid is alive (running, not a zombie).
bool ProcessAlive(pid_t pid);
