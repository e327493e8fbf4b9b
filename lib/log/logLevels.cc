#include "lib/log/logLevels.h"

#include <stdlib.h>
#include <strings.h>

#include "lib/log/log.h"

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
