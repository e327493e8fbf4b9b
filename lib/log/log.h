// The process-wide, thread-safe log facility.
//
// Code anywhere logs a printf-style message at a numbered level; the facility
// formats it once, echoes it to standard error when the stderr level admits
// it, and hands it line by line to the installed outputs, each of which adds
// its own line prefix. Every logging call preserves the caller's errno.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <map>
#include <string>

#define LOG_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))

// The levels the daemon's own messages use; the full table runs 0..23.
enum LogLevelNumber : int {
  LOG_AUDIT = 0,
  LOG_PANIC = 1,
  LOG_ERROR = 2,
  LOG_WARNING = 3,
  LOG_NOTICE = 4,
  LOG_INFO = 5,
  LOG_VERBOSE = 6,
  LOG_TRIVIA = 7,
  LOG_DEBUG = 8,
  LOG_MAX_LEVEL = 23,
};

void LogAtLevel(int level, const char *fmt, ...) LOG_PRINTF(2, 3);
void LogAtLevelV(int level, const char *fmt, va_list args);
void Log(const char *fmt, ...) LOG_PRINTF(1, 2);      // level 5
void Warning(const char *fmt, ...) LOG_PRINTF(1, 2);  // level 3

// Registers the texts printed in the header lines; the first registration of
// each text wins, a text never registered prints as "unknown".
void SetAppInfo(const char *appName, const char *version, const char *build, const char *option);

// Names the calling thread in the line prefix (at most 31 characters). A thread
// never named is called "host-<kernel thread id>".
void LogSetThreadName(const char *name);

// Supplies the operation id of the calling thread's current operation (at
// most 32 characters are used; null or "" for none).
using LogOpIdProvider = const char *(*)();
void LogSetOpIdProvider(LogOpIdProvider provider);

// A typed settings dictionary: the option dictionary handed to an output at
// creation, and the process configuration source consulted after it.
class LogDict {
 public:
  void Set(const std::string &key, const std::string &value) { values_[key] = value; }
  void SetInt(const std::string &key, int64_t value) { values_[key] = std::to_string(value); }
  void SetBool(const std::string &key, bool value) { values_[key] = value ? "true" : "false"; }
  const std::string *Find(const std::string &key) const {
    auto it = values_.find(key);
    return it == values_.end() ? nullptr : &it->second;
  }

 private:
  std::map<std::string, std::string> values_;
};

struct LogOutput;  // opaque

// Creates a file output ("file") or a syslog output ("syslog"). The
// configuration source may be null. Returns null when creation fails.
LogOutput *CreateFileOutput(const char *appName, const char *typeName, const LogDict *options,
                            const LogDict *config);
LogOutput *CreateSyslogOutput(const char *appName, const char *typeName, const LogDict *options,
                              const LogDict *config);

bool InstallOutput(LogOutput *output);
void RemoveOutput(LogOutput *output);              // takes it out of the facility and closes it
void DestroyOutput(LogOutput *output);             // closes an output that was never installed
int SetOutputLevel(LogOutput *output, int level);  // returns the previous level

// The system log directory ("/var/log/norvane" unless the program relocates it).
void LogSetSystemLogDir(const char *dir);

// Writes the messages still waiting for an output (those logged before any
// output was installed) to standard error, oldest first, and forgets them:
// a process that ends before its log exists still says why.
void LogFlushEarlyToStderr();

// Removes every output and releases the facility's resources.
void LogShutdown();
