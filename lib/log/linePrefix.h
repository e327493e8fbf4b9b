// The prefix a file output puts in front of each line: timestamp, level
// designator, thread name and operation id, each followed by one space.
#pragma once

#include <cstddef>

#include "lib/log/logLine.h"

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

// Writes the prefix for `header` into `buffer` and returns its length.
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
