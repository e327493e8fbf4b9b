#include "src/daemon/SystemRestart.h"

#include <fcntl.h>
#include <linux/reboot.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "src/core/SysPaths.h"

namespace {

void RecordRequest(bool restart) {
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

}  // namespace

bool RestartSystem(bool restart) {
  if (SysrootActive()) {
    RecordRequest(restart);
    return true;
  }
  sync();
  syscall(SYS_reboot, LINUX_REBOOT_MAGIC1, LINUX_REBOOT_MAGIC2,
          restart ? LINUX_REBOOT_CMD_RESTART : LINUX_REBOOT_CMD_POWER_OFF, nullptr);
  return true;
}
