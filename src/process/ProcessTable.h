// The process-wide map from a child's pid to the SysProcessImpl that started
// it, and the reaper that routes exits and core-dump notices through it
// (ReapChildren and NotifyCoreDump, declared in SysProcess.h). Only Start
// inserts; the reaper and CancelExecution remove. Main thread only, so it
// takes no lock.
#pragma once

#include <sys/types.h>

class SysProcessImpl;

// Creates the table; start-up calls it once, before the first child starts.
// Later calls keep the existing table.
void CreateProcessTable();

void ProcessTableInsert(pid_t pid, SysProcessImpl *process);

// The object that started pid, or null.
SysProcessImpl *ProcessTableFind(pid_t pid);

// Removes pid and returns the object it mapped to, or null.
SysProcessImpl *ProcessTableRemove(pid_t pid);
