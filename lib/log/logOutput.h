// What an output is to the facility: a level, a standard-error level, and a
// sink for message lines. The file and syslog outputs derive from it; tests
// derive their own to observe what the facility delivers.
#pragma once

#include <cstddef>

#include "lib/log/log.h"
#include "lib/log/logLine.h"

struct LogOutput {
  virtual ~LogOutput() = default;

  // An output that takes whole messages gets each message in one call; the
  // others get one call per line, continuation lines marked in the header.
  virtual bool TakesWholeMessages() const { return false; }

  // `text` ends with a newline and is NUL-terminated; called under logLock.
  virtual void Write(const LogLineHeader &header, const char *text, size_t length) = 0;

  // Releases the output's file or connection; called once, before deletion.
  virtual void Close() {}

  int level = LOG_INFO;  // accepts messages of level 0..level; -1 accepts none
  int stderrLevel = -1;  // the standard-error echo while this output is first
};
