// The fixed table of log levels: name, line designator and syslog priority.
#pragma once

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
