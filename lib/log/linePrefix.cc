#include "lib/log/linePrefix.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "lib/log/logLevels.h"

// Converting seconds to a calendar date costs more than the rest of the
// prefix, and consecutive lines nearly always share their second.
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
