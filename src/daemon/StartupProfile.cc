#include "src/daemon/StartupProfile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/log/log.h"

bool ChooseStartupProfile(const std::string &profileFilePath, std::string *profile) {
  const char *path = profileFilePath.c_str();
  struct stat st;
  if (stat(path, &st) != 0) {
    if (errno == ENOENT) {
      *profile = "ALL";
      return true;
    }
    LogAtLevel(LOG_ERROR, "Stat failed on file %s, Error %s\n", path, strerror(errno));
    return false;
  }
  FILE *file = fopen(path, "re");
  if (file == nullptr) {
    LogAtLevel(LOG_ERROR, "File %s open failed. Error %s\n", path, strerror(errno));
    return false;
  }
  // The name is the first line, at most 127 characters of it.
  char line[128];
  bool readOk = fgets(line, sizeof line, file) != nullptr;
  fclose(file);
  if (!readOk || line[0] == '\0' || strcmp(line, "\n") == 0) {
    LogAtLevel(LOG_ERROR, "Empty startup profile file %s\n", path);
    return false;
  }
  size_t length = strlen(line);
  if (line[length - 1] == '\n') {
    line[length - 1] = '\0';
  }
  *profile = line;
  return true;
}
