// Every fixed absolute path of the appliance that the daemon reads, writes,
// runs or passes on is resolved here. When SENTRO_SYSROOT is set the path is
// placed under that directory, so a test, a benchmark or the demo never
// touches the real machine; unset, the path is used as it stands.
#pragma once

#include <string>
#include <vector>

// True when SENTRO_SYSROOT names a directory the paths are resolved under.
bool SysrootActive();

// The system path resolved under the sysroot ("/usr/bin/gcore" becomes
// "$SENTRO_SYSROOT/usr/bin/gcore").
std::string SysPath(const char *absolutePath);

// Re-reads SENTRO_SYSROOT; for tests that change it.
void SysrootReset();

// The fixed paths, so that each is spelled once.
#define SYS_CORE_PATTERN_FILE "/proc/sys/kernel/core_pattern"
#define SYS_CGROUP_ROOT "/sys/fs/cgroup"
#define SYS_CORE_DIR "/var/core/"
#define SYS_LOG_DIR "/var/log/norvane"
#define SYS_BANNER_CTRL "/usr/bin/banner_ctrl"
#define SYS_GCORE "/usr/bin/gcore"
#define SYS_PYTHON "/usr/bin/python"
#define SYS_REBOOT_REQUESTS "/reboot-requests"

// ---- Directory listings ----------------------------------------------------

// The entries of a configuration directory, in one order for every reader,
// so that of two files declaring one name the same one wins everywhere and
// on every start.
bool ListDirectoryNames(const std::string &dir, std::vector<std::string> *names);
