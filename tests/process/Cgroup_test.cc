// cgroup v1 accounting and memory limits, under a sysroot and, where the
// machine allows it, on the real memory controller.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "process/ProcessTestSupport.h"
#include "src/core/SysPaths.h"
#include "support/TempDir.h"

namespace {

const uint64_t kLimit = 64ull << 20;

class SysrootCgroups : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("SENTRO_SYSROOT", root_.path().c_str(), 1);
    SysrootReset();
  }
  void TearDown() override {
    unsetenv("SENTRO_SYSROOT");
    SysrootReset();
  }

  std::string Cgroup(const std::string &relative) const {
    return root_.Sub("sys/fs/cgroup/" + relative);
  }
  void MakeSlices(std::initializer_list<const char *> controllers) {
    for (const char *controller : controllers) {
      MakeDirs(Cgroup(std::string(controller) + "/system.slice"));
    }
  }

  // Runs `sh -c exit 0` with limits for service "svc"; returns its pid.
  pid_t RunWithLimits(ProcessLimits limits, int *exitCode) {
    limits.serviceName = "svc";
    ProcessEvents events;
    ProcessStartOptions options = events.Options();
    options.limits = &limits;
    std::unique_ptr<SysProcess> process(CreateSysProcess("svc"));
    EXPECT_TRUE(process->Start("/bin/sh", {"-c", "exit 0"}, {}, options));
    EXPECT_TRUE(WaitForExit(process.get()));
    *exitCode = process->GetExitCode();
    return process->GetPid();
  }

  TempDir root_;
};

TEST_F(SysrootCgroups, ChildJoinsTheThreeControllersAndGetsItsMemoryLimit) {
  MakeSlices({"memory", "cpuacct", "blkio"});
  ProcessLimits limits;
  limits.memoryLimitBytes = kLimit;
  int exitCode = -1;
  pid_t pid = RunWithLimits(limits, &exitCode);
  EXPECT_EQ(exitCode, 0);
  for (const char *controller : {"memory", "cpuacct", "blkio"}) {
    EXPECT_EQ(ReadFile(Cgroup(std::string(controller) + "/system.slice/svc.service/cgroup.procs")),
              std::to_string(pid))
        << controller;
  }
  EXPECT_EQ(ReadFile(Cgroup("memory/system.slice/svc.service/memory.limit_in_bytes")),
            std::to_string(kLimit));
  struct stat info;
  ASSERT_EQ(stat(Cgroup("memory/system.slice/svc.service").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0755u);
}

TEST_F(SysrootCgroups, ExistingGroupIsReusedAndNoLimitWrittenWhenZero) {
  MakeSlices({"memory", "cpuacct", "blkio"});
  MakeDirs(Cgroup("memory/system.slice/svc.service"));
  int exitCode = -1;
  RunWithLimits(ProcessLimits(), &exitCode);
  EXPECT_EQ(exitCode, 0);
  EXPECT_FALSE(FileExists(Cgroup("memory/system.slice/svc.service/memory.limit_in_bytes")));
}

TEST_F(SysrootCgroups, NoHierarchyMeansNoAccountingNoLimitAndNoMessage) {
  ProcessLimits limits;
  limits.memoryLimitBytes = kLimit;
  int exitCode = -1;
  RunWithLimits(limits, &exitCode);
  EXPECT_EQ(exitCode, 0);
  EXPECT_FALSE(FileExists(Cgroup("memory")));
  EXPECT_FALSE(Logged("accounting"));
  EXPECT_FALSE(Logged("Fopen Error"));
}

TEST_F(SysrootCgroups, MissingLaterControllerStopsBeforeTheMemoryLimit) {
  MakeSlices({"memory"});
  ProcessLimits limits;
  limits.memoryLimitBytes = kLimit;
  int exitCode = -1;
  pid_t pid = RunWithLimits(limits, &exitCode);
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(ReadFile(Cgroup("memory/system.slice/svc.service/cgroup.procs")), std::to_string(pid));
  EXPECT_FALSE(FileExists(Cgroup("memory/system.slice/svc.service/memory.limit_in_bytes")));
}

TEST_F(SysrootCgroups, GroupThatCannotBeMadeFailsTheChild) {
  MakeDirs(Cgroup("memory"));
  WriteFile(Cgroup("memory/system.slice"), "not a directory");
  int exitCode = -1;
  pid_t pid = RunWithLimits(ProcessLimits(), &exitCode);
  EXPECT_EQ(exitCode, 254);
  EXPECT_TRUE(Logged("[Child " + std::to_string(pid) +
                     "] Unable to enable memory accounting. Mkdir Error: Not a directory, " +
                     Cgroup("memory/system.slice/svc.service/") + "\n"));
}

TEST_F(SysrootCgroups, ProcsFileThatCannotBeOpenedFailsTheChild) {
  MakeSlices({"memory", "cpuacct", "blkio"});
  MakeDirs(Cgroup("cpuacct/system.slice/svc.service/cgroup.procs"));  // a directory
  int exitCode = -1;
  pid_t pid = RunWithLimits(ProcessLimits(), &exitCode);
  EXPECT_EQ(exitCode, 254);
  EXPECT_TRUE(Logged("Fopen Error: Is a directory, " +
                     Cgroup("cpuacct/system.slice/svc.service/cgroup.procs") + "\n"));
  EXPECT_TRUE(Logged("[Child " + std::to_string(pid) + "] Unable to enable cpuacct accounting.\n"));
}

TEST_F(SysrootCgroups, LimitFileThatCannotBeOpenedFailsTheChild) {
  MakeSlices({"memory", "cpuacct", "blkio"});
  MakeDirs(Cgroup("memory/system.slice/svc.service/memory.limit_in_bytes"));
  ProcessLimits limits;
  limits.memoryLimitBytes = kLimit;
  int exitCode = -1;
  pid_t pid = RunWithLimits(limits, &exitCode);
  EXPECT_EQ(exitCode, 254);
  EXPECT_TRUE(Logged("[Child " + std::to_string(pid) + "] Unable to set memory limits.\n"));
}

// The real memory controller: only where cgroup v1 memory is mounted and
// writable. Creates system.slice where missing and removes all it made.
class RealMemoryCgroup : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string root = "/sys/fs/cgroup";
    if (SysrootActive() || access((root + "/memory/memory.limit_in_bytes").c_str(), W_OK) != 0) {
      GTEST_SKIP() << "no writable cgroup v1 memory controller";
    }
    for (const char *controller : {"memory", "cpuacct", "blkio"}) {
      std::string hierarchy = root + "/" + controller;
      if (access(hierarchy.c_str(), W_OK) != 0) {
        continue;  // the child stops its cgroup step there, as it should
      }
      std::string slice = hierarchy + "/system.slice";
      if (mkdir(slice.c_str(), 0755) == 0) {
        made_.push_back(slice);
      }
      made_.insert(made_.begin(), slice + "/" + service_ + ".service");
    }
  }
  void TearDown() override {
    // Groups are removed innermost first, each once its tasks have gone.
    for (const std::string &dir : made_) {
      for (int attempt = 0; attempt < 100 && rmdir(dir.c_str()) != 0 && errno == EBUSY; ++attempt) {
        usleep(10000);
      }
    }
  }

  std::string service_ = "sentro-test-" + std::to_string(getpid());
  std::vector<std::string> made_;
};

TEST_F(RealMemoryCgroup, ChildRunsUnderTheMemoryLimit) {
  ProcessLimits limits;
  limits.serviceName = service_;
  limits.memoryLimitBytes = kLimit;
  ProcessEvents events;
  ProcessStartOptions options = events.Options();
  options.limits = &limits;
  std::unique_ptr<SysProcess> process(CreateSysProcess(service_));
  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, options));
  pid_t pid = process->GetPid();
  std::string group = "/system.slice/" + service_ + ".service";
  ASSERT_TRUE(RunLoopUntil([&] { return ProcField(pid, "status", "Name:") == "\tsleep"; }));
  std::string cgroups = ReadFile("/proc/" + std::to_string(pid) + "/cgroup");
  EXPECT_NE(cgroups.find(":memory:" + group + "\n"), std::string::npos) << cgroups;
  EXPECT_EQ(ReadFile("/sys/fs/cgroup/memory" + group + "/memory.limit_in_bytes"),
            std::to_string(kLimit) + "\n");
  ASSERT_TRUE(process->Stop(true, 0));
  ASSERT_TRUE(WaitForExit(process.get()));
}

}  // namespace
