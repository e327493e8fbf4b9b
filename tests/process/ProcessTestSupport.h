// The world of the process tests, shared with the publisher tests: the real
// event loop on the test clock, SIGCHLD read from a signal descriptor as the
// daemon reads it, the log capture, and a recorder of process callbacks.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "src/process/SysProcess.h"

// Turns the event loop until done() holds or timeoutMs of real time pass.
bool RunLoopUntil(const std::function<bool()> &done, int timeoutMs = 5000);
void RunLoopFor(int ms);
// Moves the test clock on, so timers of seconds fire at the next turn.
void AdvanceClock(int64_t seconds);
// The messages logged since the test started; whether one contains text.
std::vector<std::string> LoggedMessages();
bool Logged(const std::string &text);
// Points the fixed system paths into dir; null: back to the real ones.
void UseSysroot(const char *dir);
// text with every "{pid}" replaced by pid.
std::string WithPid(std::string text, int pid);

// What the callbacks of one SysProcess reported.
struct ProcessEvents {
  int exits = 0, coreDumps = 0, forceKillTimeouts = 0, exitCodeAtExit = -1, streamCalls = 0;
  std::string output[2];  // captured stdout and stderr, read in the callbacks
  // options with the callbacks and context wired to this recorder.
  ProcessStartOptions Wire(ProcessStartOptions options = {}, bool captureStdout = false,
                           bool captureStderr = false);
};
void RecordForceKillTimeout(SysProcess *process, void *context);

// Runs the loop until process has exited; false on time-out.
bool WaitForExit(SysProcess *process, int timeoutMs = 5000);
