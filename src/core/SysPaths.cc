#include "src/core/SysPaths.h"

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

const std::string &SysrootDir() {
  return Sysroot();
}

std::string SysPath(const char *absolutePath) {
  return Sysroot() + absolutePath;
}

void SysrootReset() {
  Sysroot() = ReadSysroot();
}
