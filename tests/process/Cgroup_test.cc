// cgroup v1 accounting and memory limits, under a sysroot and, where the
// machine allows it, on the real memory controller.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <sstream>

#include "process/ProcessTestSupport.h"
#include "src/core/SysPaths.h"
#include "support/TempDir.h"

namespace {

const uint64_t kLimit = 64ull << 20;

// The contents of a regular file, or "<none>".
std::string RegularFile(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? ReadFile(path) : "<none>";
}

// The words of text.
std::vector<std::string> Words(const std::string &text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

TEST(SysrootCgroups, ChildJoinsEachMountedControllerOrFailsWithTheStepsMessage) {
  // dirs are made under the cgroup root; file is written there, in the way
  // of a directory; joined lists the controllers whose group gets the child.
  // The message has {pid} and {root}; "" means no cgroup message at all.
  struct Case {
    const char *dirs, *file;
    uint64_t memoryLimit;
    int exitCode;
    const char *joined, *message;
  } cases[] = {
      {"memory/system.slice cpuacct/system.slice blkio/system.slice", "", kLimit, 0,
       "memory cpuacct blkio", ""},
      // An existing group is reused; a zero limit is not written.
      {"memory/system.slice/svc.service cpuacct/system.slice blkio/system.slice", "", 0, 0,
       "memory cpuacct blkio", ""},
      // No hierarchy: no accounting and no memory limit.
      {"", "", kLimit, 0, "", ""},
      // A later controller missing stops the step before the memory limit.
      {"memory/system.slice", "", kLimit, 0, "memory", ""},
      {"memory", "memory/system.slice", 0, 254, "",
       "[Child {pid}] Unable to enable memory accounting. Mkdir Error: Not a directory, "
       "{root}/memory/system.slice/svc.service/\n"},
      {"memory/system.slice cpuacct/system.slice/svc.service/cgroup.procs blkio/system.slice", "",
       0, 254, "memory",
       "Fopen Error: Is a directory, {root}/cpuacct/system.slice/svc.service/cgroup.procs\n"
       "[Child {pid}] Unable to enable cpuacct accounting.\n"},
      {"memory/system.slice/svc.service/memory.limit_in_bytes cpuacct/system.slice "
       "blkio/system.slice",
       "", kLimit, 254, "memory cpuacct blkio",
       "Fopen Error: Is a directory, {root}/memory/system.slice/svc.service/memory.limit_in_bytes\n"
       "[Child {pid}] Unable to set memory limits.\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.dirs) + " / " + c.file);
    TempDir sysroot;
    setenv("SENTRO_SYSROOT", sysroot.path().c_str(), 1);
    SysrootReset();
    const std::string root = sysroot.Sub("sys/fs/cgroup");
    for (const std::string &dir : Words(c.dirs)) {
      MakeDirs(root + "/" + dir);
    }
    if (*c.file != '\0') {
      WriteFile(root + "/" + c.file, "not a directory");
    }
    size_t logStart = LoggedMessages().size();
    ProcessLimits limits;
    limits.serviceName = "svc";
    limits.memoryLimitBytes = c.memoryLimit;
    ProcessEvents events;
    ProcessStartOptions options = events.Options();
    options.limits = &limits;
    std::unique_ptr<SysProcess> process(CreateSysProcess("svc"));
    EXPECT_TRUE(process->Start("/bin/sh", {"-c", "exit 0"}, {}, options));
    EXPECT_TRUE(WaitForExit(process.get()));
    unsetenv("SENTRO_SYSROOT");
    SysrootReset();

    pid_t pid = process->GetPid();
    EXPECT_EQ(process->GetExitCode(), c.exitCode);
    std::vector<std::string> joined = Words(c.joined);
    for (const char *controller : {"memory", "cpuacct", "blkio"}) {
      bool member = std::find(joined.begin(), joined.end(), controller) != joined.end();
      std::string group = root + "/" + controller + "/system.slice/svc.service";
      EXPECT_EQ(RegularFile(group + "/cgroup.procs"), member ? std::to_string(pid) : "<none>")
          << controller;
    }
    bool limitWritten = c.exitCode == 0 && c.memoryLimit != 0 && joined.size() == 3;
    EXPECT_EQ(RegularFile(root + "/memory/system.slice/svc.service/memory.limit_in_bytes"),
              limitWritten ? std::to_string(kLimit) : "<none>");
    std::vector<std::string> log = LoggedMessages();
    std::string logged;
    for (auto line = log.begin() + logStart; line != log.end(); ++line) {
      if (line->find("accounting") != std::string::npos ||
          line->find("Fopen") != std::string::npos ||
          line->find("memory limits") != std::string::npos) {
        logged += *line;
      }
    }
    std::string expected = c.message;
    for (auto [key, value] :
         {std::pair<std::string, std::string>{"{pid}", std::to_string(pid)}, {"{root}", root}}) {
      for (size_t at; (at = expected.find(key)) != std::string::npos;) {
        expected.replace(at, key.size(), value);
      }
    }
    EXPECT_EQ(logged, expected);
    if (c.exitCode == 0 && !joined.empty()) {
      struct stat info;
      ASSERT_EQ(stat((root + "/memory/system.slice/svc.service").c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 0777, 0755u);
    }
  }
}

// The real memory controller: only where cgroup v1 memory is mounted and
// writable. Creates system.slice where missing and removes all it made.
TEST(RealMemoryCgroup, ChildRunsUnderTheMemoryLimit) {
  const std::string root = "/sys/fs/cgroup";
  if (SysrootActive() || access((root + "/memory/memory.limit_in_bytes").c_str(), W_OK) != 0) {
    GTEST_SKIP() << "no writable cgroup v1 memory controller";
  }
  const std::string service = "sentro-test-" + std::to_string(getpid());
  std::vector<std::string> made;
  for (const char *controller : {"memory", "cpuacct", "blkio"}) {
    std::string hierarchy = root + "/" + controller;
    if (access(hierarchy.c_str(), W_OK) != 0) {
      continue;  // the child stops its cgroup step there, as it should
    }
    std::string slice = hierarchy + "/system.slice";
    if (mkdir(slice.c_str(), 0755) == 0) {
      made.push_back(slice);
    }
    made.insert(made.begin(), slice + "/" + service + ".service");
  }
  ProcessLimits limits;
  limits.serviceName = service;
  limits.memoryLimitBytes = kLimit;
  ProcessEvents events;
  ProcessStartOptions options = events.Options();
  options.limits = &limits;
  std::unique_ptr<SysProcess> process(CreateSysProcess(service));
  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, options));
  pid_t pid = process->GetPid();
  std::string group = "/system.slice/" + service + ".service";
  EXPECT_TRUE(RunLoopUntil([&] { return ProcField(pid, "status", "Name:") == "\tsleep"; }));
  std::string cgroups = ReadFile("/proc/" + std::to_string(pid) + "/cgroup");
  EXPECT_NE(cgroups.find(":memory:" + group + "\n"), std::string::npos) << cgroups;
  EXPECT_EQ(ReadFile(root + "/memory" + group + "/memory.limit_in_bytes"),
            std::to_string(kLimit) + "\n");
  EXPECT_TRUE(process->Stop(true, 0));
  EXPECT_TRUE(WaitForExit(process.get()));
  // Groups are removed innermost first, each once its tasks have gone.
  for (const std::string &dir : made) {
    for (int attempt = 0; attempt < 100 && rmdir(dir.c_str()) != 0 && errno == EBUSY; ++attempt) {
      usleep(10000);
    }
  }
}

}  // namespace
