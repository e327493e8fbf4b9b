// The channel through which a child reports set-up failures between fork and
// exec. The child may not take any lock another thread of the daemon held at
// the moment of fork, so it never calls the log facility: it formats each
// message into a stack buffer with ChildFormat (async-signal-safe) and writes
// it as one record to a close-on-exec pipe. The parent reads the pipe on the
// event loop and logs each record at its level. The pipe closes when the child
// execs or exits; the reaper flushes it first, so a child's messages are
// logged before its exit is handled.
#pragma once

#include <sys/types.h>

#include <cstdarg>
#include <cstddef>

#include "lib/log/log.h"

// Child side. ChildFormat understands %s, %d, %u, %ld, %lu, %lld, %llu and
// %%; it always terminates buf and returns the length written.
size_t ChildFormat(char *buf, size_t size, const char *fmt, ...) LOG_PRINTF(3, 4);
size_t ChildFormatV(char *buf, size_t size, const char *fmt, va_list args);

// The message for an errno value, without locale look-ups.
const char *ChildErrorText(int err);

// Sends one log message of the given level through the report pipe fd (a
// message longer than 1024 bytes is cut). Does nothing when fd is -1.
void ChildReport(int fd, int level, const char *fmt, ...) LOG_PRINTF(3, 4);

// Parent side. Takes ownership of readFd, the read end of pid's report pipe,
// and logs what the child writes there as it arrives.
void ChildReportWatch(pid_t pid, int readFd);

// Logs what is left in pid's report pipe and releases it. For a child that
// has exited the pipe holds everything it wrote.
void ChildReportFlush(pid_t pid);

// For a child that has already exec'd or exited (as a child spawned with
// CLONE_VFORK has when the spawn returns): logs everything it wrote and
// closes readFd, without involving the event loop.
void ChildReportCollect(int readFd);

// Number of report pipes still open; for tests.
size_t ChildReportOpenCount();
