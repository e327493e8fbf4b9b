// The header that travels with every message line from the facility to the
// outputs: level, continuation mark, who logged it and when. It is a plain
// record so that the message ring can store it by copy.
#pragma once

#include <cstddef>
#include <cstdint>

#define LOG_THREAD_NAME_MAX 31
#define LOG_OPID_MAX 32

struct LogTimestamp {
  int64_t seconds;  // UTC seconds since the epoch
  int32_t millis;
};

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
