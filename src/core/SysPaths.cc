#include "src/core/SysPaths.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>

namespace {

std::string ReadSysroot() {
  const char *value = getenv("SENTRO_SYSROOT");
  if (value == nullptr) {
    return "";
  }
  std::string dir = value;
  while (dir.size() > 1 && dir.back() == '/') {
    dir.pop_back();
  }
  return dir;
}

std::string &Sysroot() {
  static std::string dir = ReadSysroot();
  return dir;
}

}  // namespace

bool SysrootActive() {
  return !Sysroot().empty();
}

std::string SysPath(const char *absolutePath) {
  return Sysroot() + absolutePath;
}

void SysrootReset() {
  Sysroot() = ReadSysroot();
}

// ---- Directory listings ----------------------------------------------------

bool ListDirectoryNames(const std::string &dir, std::vector<std::string> *names) {
  names->clear();
  DIR *listing = opendir(dir.c_str());  // close-on-exec in glibc
  if (listing == nullptr) {
    return false;
  }
  while (struct dirent *entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names->push_back(std::move(name));
    }
  }
  closedir(listing);
  std::sort(names->begin(), names->end());
  return true;
}
