#include "src/daemon/KernelSwitches.h"

#include <fcntl.h>
#include <linux/reboot.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/log/log.h"
#include "src/core/SysPaths.h"

namespace {

void RecordRestartRequest(bool restart) {
  std::string path = SysPath(SYS_REBOOT_REQUESTS);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    return;
  }
  const char *line = restart ? "RESTART\n" : "POWER_OFF\n";
  ssize_t ignored = write(fd, line, strlen(line));
  (void)ignored;
  close(fd);
}

bool BuildHandlerPattern(std::string *pattern) {
  const char *hubHome = getenv("NORVANE_HUB_HOME");
  if (hubHome == nullptr) {
    LogAtLevel(LOG_ERROR, "Failed to set coredumper pattern. NORVANE_HUB_HOME env not set\n");
    return false;
  }
  char handler[4096];
  snprintf(handler, sizeof handler, "%s/%s/sentro-coredumper", hubHome, "norvane-sentro");
  *pattern = std::string("|") + handler + " %e %s %p";
  return true;
}

}  // namespace

bool RestartSystem(bool restart) {
  if (SysrootActive()) {
    RecordRestartRequest(restart);
    return true;
  }
  sync();
  syscall(SYS_reboot, LINUX_REBOOT_MAGIC1, LINUX_REBOOT_MAGIC2,
          restart ? LINUX_REBOOT_CMD_RESTART : LINUX_REBOOT_CMD_POWER_OFF, nullptr);
  return true;
}

void SetCorePattern(bool reset) {
  std::string pattern = "/var/core/core.%e.%p";
  if (!reset && !BuildHandlerPattern(&pattern)) {
    return;
  }
  std::string path = SysPath(SYS_CORE_PATTERN_FILE);
  int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) {
    LogAtLevel(LOG_ERROR, "Failed to set/reset coredumper pattern. Err %s\n", strerror(errno));
    return;
  }
  ssize_t written = write(fd, pattern.data(), pattern.size());
  int writeErrno = errno;
  close(fd);
  if (written != static_cast<ssize_t>(pattern.size())) {
    LogAtLevel(LOG_ERROR, "Failed to set/reset coredumper pattern. Err %s\n",
               strerror(written < 0 ? writeErrno : EIO));
  }
}
