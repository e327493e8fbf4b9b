// The line of a message as the outputs see it: the level table, the header
// fields of the calling thread (its name, its operation id, the time), the
// file output's line prefix, and cutting text on a character boundary.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "lib/log/logOutput.h"

// ---- Levels ----------------------------------------------------------------

static const LogLevelEntry levelTable[LOG_MAX_LEVEL + 1] = {
    {0, "audit", "No", 5},    {1, "panic", "Cr", 3},    {2, "error", "Er", 3},
    {3, "warning", "Wa", 4},  {4, "notice", "No", 5},   {5, "info", "In", 6},
    {6, "verbose", "In", 6},  {7, "trivia", "In", 6},   {8, "debug", "Db", 7},
    {9, "debug1", "Db", 7},   {10, "debug2", "Db", 7},  {11, "debug3", "Db", 7},
    {12, "debug4", "Db", 7},  {13, "debug5", "Db", 7},  {14, "debug6", "Db", 7},
    {15, "debug7", "Db", 7},  {16, "debug8", "Db", 7},  {17, "debug9", "Db", 7},
    {18, "debug10", "Db", 7}, {19, "debug11", "Db", 7}, {20, "debug12", "Db", 7},
    {21, "debug13", "Db", 7}, {22, "debug14", "Db", 7}, {23, "debug15", "Db", 7},
};

const LogLevelEntry &LogLevelLookup(int level) {
  if (level < 0 || level > LOG_MAX_LEVEL) {
    level = LOG_LEVEL_FALLBACK;
  }
  return levelTable[level];
}

int LogLevelParse(const char *text, int fallback) {
  if (text == nullptr) {
    return fallback;
  }
  if (strcasecmp(text, "none") == 0) {
    return LOG_LEVEL_NONE;
  }
  for (const LogLevelEntry &entry : levelTable) {
    if (strcasecmp(text, entry.name) == 0) {
      return entry.number;
    }
  }
  char *end = nullptr;
  long number = strtol(text, &end, 10);
  if (end != text && *end == '\0' && number >= LOG_LEVEL_NONE && number <= LOG_MAX_LEVEL) {
    return static_cast<int>(number);
  }
  return fallback;
}

// ---- The header fields of the calling thread -------------------------------

static thread_local bool threadNamed = false;   // by LogSetThreadName
static thread_local bool defaultNamed = false;  // "host-<tid>" computed
static thread_local char threadName[LOG_THREAD_NAME_MAX + 1];

// A forked child runs the forking thread under a new kernel thread id, so its
// default name must be computed again.
static void ForgetDefaultName() {
  defaultNamed = false;
}
static const int forkHandlerInstalled = pthread_atfork(nullptr, nullptr, ForgetDefaultName);

static std::atomic<LogOpIdProvider> opIdProvider{nullptr};

void LogCopyBounded(char *dest, const char *source, size_t limit) {
  size_t length = strnlen(source, limit);
  memcpy(dest, source, length);
  dest[length] = '\0';
}

void LogSetThreadName(const char *name) {
  LogCopyBounded(threadName, name ? name : "", LOG_THREAD_NAME_MAX);
  threadNamed = true;
}

void LogSetOpIdProvider(LogOpIdProvider provider) {
  opIdProvider.store(provider);
}

static const char *CurrentThreadName() {
  if (!threadNamed && !defaultNamed) {
    snprintf(threadName, sizeof threadName, "host-%lu",
             static_cast<unsigned long>(syscall(SYS_gettid)));
    defaultNamed = true;
  }
  return threadName[0] != '\0' ? threadName : "*UNKNOWN*";
}

LogTimestamp LogTimestampNow() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return LogTimestamp{static_cast<int64_t>(now.tv_sec),
                      static_cast<int32_t>(now.tv_nsec / 1000000)};
}

void LogLineHeaderInit(LogLineHeader *header, int level) {
  header->level = level;
  header->continuation = false;
  LogCopyBounded(header->threadName, CurrentThreadName(), LOG_THREAD_NAME_MAX);
  header->opId[0] = '\0';
  LogOpIdProvider provider = opIdProvider.load(std::memory_order_relaxed);
  if (provider != nullptr) {
    const char *id = provider();
    if (id != nullptr) {
      LogCopyBounded(header->opId, id, LOG_OPID_MAX);
    }
  }
  header->timestamp = LogTimestampNow();
}

// ---- The line prefix -------------------------------------------------------

static thread_local int64_t cachedSecond = -1;
static thread_local char cachedDate[64];

void FormatTimestamp(const LogTimestamp &timestamp, bool milliseconds, TimestampTexts *texts) {
  if (timestamp.seconds != cachedSecond) {
    time_t seconds = static_cast<time_t>(timestamp.seconds);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    snprintf(cachedDate, sizeof cachedDate, "%04d-%02d-%02dT%02d:%02d:%02d", utc.tm_year + 1900,
             utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    cachedSecond = timestamp.seconds;
  }
  memcpy(texts->date, cachedDate, sizeof texts->date);
  texts->millis[0] = '\0';
  if (milliseconds) {
    snprintf(texts->millis, sizeof texts->millis, ".%03d", static_cast<int>(timestamp.millis));
  }
  texts->suffix = "Z";
}

// Appends `text` and one space, bounded by `size`.
static size_t AppendField(char *buffer, size_t used, size_t size, const char *text) {
  size_t length = strlen(text);
  if (used + length + 1 >= size) {
    return used;
  }
  memcpy(buffer + used, text, length);
  buffer[used + length] = ' ';
  return used + length + 1;
}

size_t FormatLinePrefix(char *buffer, size_t size, const LinePrefixFields &fields,
                        const LogLineHeader &header) {
  size_t used = 0;
  if (fields.timeStamps) {
    TimestampTexts texts;
    FormatTimestamp(header.timestamp, fields.milliseconds, &texts);
    char stamp[sizeof texts.date + sizeof texts.millis + 2];
    snprintf(stamp, sizeof stamp, "%s%s%s", texts.date, texts.millis, texts.suffix);
    used = AppendField(buffer, used, size, stamp);
  }
  if (fields.levelDesignator) {
    const LogLevelEntry &entry = LogLevelLookup(header.level);
    // The designator's format carries its own trailing space.
    int length = snprintf(buffer + used, size - used, "%s(%02d)%s ", entry.designator, entry.number,
                          header.continuation ? "+" : "");
    if (length > 0 && used + length < size) {
      used += length;
    }
  }
  if (fields.threadName) {
    used = AppendField(buffer, used, size, header.threadName);
  }
  if (fields.opId) {
    used = AppendField(buffer, used, size, header.opId[0] != '\0' ? header.opId : "-");
  }
  buffer[used] = '\0';
  return used;
}

// ---- Cutting text ----------------------------------------------------------

static bool IsContinuationByte(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

size_t Utf8CutLength(const char *text, size_t length, size_t limit) {
  if (length <= limit) {
    return length;
  }
  // The byte at `limit` is the first one dropped; while it continues a
  // sequence, the sequence's lead byte and the rest of it must go too. Stop
  // after the longest legal sequence so that malformed text still gets cut.
  size_t cut = limit;
  for (int steps = 0; cut > 0 && steps < 4; ++steps) {
    if (!IsContinuationByte(static_cast<unsigned char>(text[cut]))) {
      return cut;
    }
    --cut;
  }
  return IsContinuationByte(static_cast<unsigned char>(text[cut])) ? limit : cut;
}
