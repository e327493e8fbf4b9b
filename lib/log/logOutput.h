// What the facility hands an output, and what an output may ask of it: the
// header of every message line (level, continuation mark, thread, operation
// id, time), the level table, the line prefix of the file output, the options
// of an output, and the program's identity for header lines. The file and
// syslog outputs derive from LogOutput; tests derive their own to observe
// what the facility delivers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "lib/log/log.h"

// ---- The line header -------------------------------------------------------

#define LOG_THREAD_NAME_MAX 31
#define LOG_OPID_MAX 32

struct LogTimestamp {
  int64_t seconds;  // UTC seconds since the epoch
  int32_t millis;
};

// A plain record so that the message ring can store it by copy.
struct LogLineHeader {
  int32_t level;      // 0..23
  bool continuation;  // second and later lines of one message
  char threadName[LOG_THREAD_NAME_MAX + 1];
  char opId[LOG_OPID_MAX + 1];  // empty without an operation-id provider
  LogTimestamp timestamp;
};

// Fills a header for a message logged now by the calling thread.
void LogLineHeaderInit(LogLineHeader *header, int level);

// The current wall-clock time.
LogTimestamp LogTimestampNow();

// Copies at most `limit` bytes of `source` into `dest` (NUL-terminated).
void LogCopyBounded(char *dest, const char *source, size_t limit);

// The largest length not above `limit` at which `text` (of `length` bytes)
// can be cut without leaving part of a multi-byte UTF-8 sequence behind.
size_t Utf8CutLength(const char *text, size_t length, size_t limit);

// ---- Levels ----------------------------------------------------------------

struct LogLevelEntry {
  int number;
  const char *name;
  const char *designator;
  int syslogPriority;
};

// The level used for a number outside 0..23.
#define LOG_LEVEL_FALLBACK 5
// A level option of "none": no message passes.
#define LOG_LEVEL_NONE (-1)

// The entry of a level; numbers outside the table map to level 5.
const LogLevelEntry &LogLevelLookup(int level);

// The number of a level name (any case), LOG_LEVEL_NONE for "none", or
// `fallback` when the text names no level. A plain number from -1 to 23 is
// accepted too, so a dictionary may carry levels as integers.
int LogLevelParse(const char *text, int fallback);

// ---- The line prefix of the file output ------------------------------------

// Room for the longest prefix of a message line.
#define LOG_PREFIX_SIZE 160
// Room for the longest prefix of a header line, which may carry more.
#define LOG_HEADER_PREFIX_SIZE 289

struct LinePrefixFields {
  bool timeStamps = true;
  bool milliseconds = true;
  bool levelDesignator = true;
  bool threadName = true;
  bool opId = false;
};

// Writes the prefix for `header` into `buffer` and returns its length: the
// enabled fields in order, each followed by one space.
size_t FormatLinePrefix(char *buffer, size_t size, const LinePrefixFields &fields,
                        const LogLineHeader &header);

// The timestamp texts: "YYYY-MM-DDTHH:MM:SS", ".mmm" (or "" without
// milliseconds) and "Z".
struct TimestampTexts {
  char date[24];
  char millis[8];
  const char *suffix;
};
void FormatTimestamp(const LogTimestamp &timestamp, bool milliseconds, TimestampTexts *texts);

// ---- Output options --------------------------------------------------------

// Reads an output's options. Each key is taken, in rising precedence, from
// the built-in default, the option dictionary given at creation, and the
// configuration source under the key and then under "<appName>.<key>". A
// later source wins only when its value differs from the default. For an
// output type other than "file" and "syslog", the configuration keys end in
// ".<typeName>".
class LogOptionReader {
 public:
  LogOptionReader(const char *appName, const char *typeName, const LogDict *options,
                  const LogDict *config);

  // A text option; no value when no source sets one.
  std::optional<std::string> Text(const std::string &key) const;
  bool Bool(const std::string &key, bool fallback) const;
  // An integer option; a value below `minimum` is replaced by `fallback`
  // with a warning. `base` 0 also accepts octal ("0640") and hexadecimal.
  int Int(const std::string &key, int fallback, int minimum, int base = 10) const;
  // A level option: a level name, "none", or a number.
  int Level(const std::string &key, int fallback) const;

  // A key of the configuration source alone (for "log.config").
  std::optional<std::string> ConfigValue(const std::string &key) const;

 private:
  template <typename T, typename Parse>
  T Lookup(const std::string &key, T fallback, Parse parse) const;

  std::string appName_;
  std::string configSuffix_;
  const LogDict *options_;
  const LogDict *config_;
};

// ---- The program's identity ------------------------------------------------

struct LogAppInfo {
  const char *appName;
  const char *version;
  const char *build;
  const char *option;
};

// The texts registered with SetAppInfo; "unknown" for a text never registered.
LogAppInfo LogGetAppInfo();

// ---- The output ------------------------------------------------------------

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
