#include "lib/log/logDirectory.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "lib/log/log.h"

#define LOG_DEFAULT_SYSTEM_DIR "/var/log/norvane"

static std::mutex systemDirLock;
static std::string systemLogDir = LOG_DEFAULT_SYSTEM_DIR;

void LogSetSystemLogDir(const char *dir) {
  std::lock_guard<std::mutex> guard(systemDirLock);
  systemLogDir = dir != nullptr && dir[0] != '\0' ? dir : LOG_DEFAULT_SYSTEM_DIR;
}

static std::string SafeUserDirectory() {
  const char *tmp = getenv("TMPDIR");
  std::string base = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
  while (base.size() > 1 && base.back() == '/') {
    base.pop_back();
  }
  return base + "/norvane-" + std::to_string(geteuid());
}

static bool SafeDirectoryIsValid(const std::string &directory) {
  struct stat info;
  return lstat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         info.st_uid == geteuid() && (info.st_mode & 077) == 0;
}

static bool SystemDirectoryIsValid(const std::string &directory) {
  struct stat info;
  return stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool LogEstablishDirectory(bool systemArea, std::string *directory) {
  if (systemArea) {
    std::lock_guard<std::mutex> guard(systemDirLock);
    *directory = systemLogDir;
  } else {
    *directory = SafeUserDirectory();
  }
  if (mkdir(directory->c_str(), systemArea ? 0755 : 0700) != 0 && errno != EEXIST) {
    Warning("Failed to establish the safe logging directory area: %s\n", strerror(errno));
    return false;
  }
  bool valid = systemArea ? SystemDirectoryIsValid(*directory) : SafeDirectoryIsValid(*directory);
  if (!valid) {
    Warning("Safe logging area '%s' validation failed!\n", directory->c_str());
    return false;
  }
  return true;
}
