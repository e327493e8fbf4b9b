// Cgroup accounting under a sysroot, and the command helpers.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <sstream>

#include "process/ProcessTestSupport.h"
#include "src/core/SysPaths.h"
#include "src/process/CommandHelpers.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

void UseSysroot(const char *dir) {
  dir != nullptr ? setenv("SENTRO_SYSROOT", dir, 1) : unsetenv("SENTRO_SYSROOT");
  SysrootReset();
}

// The directories made under the cgroup root, a file put in the way, the
// controllers whose group gets the child, and the child's messages.
TEST(Cgroups, ChildJoinsEachMountedControllerOrFailsWithTheStepsMessage) {
  const std::string all = "memory/system.slice cpuacct/system.slice blkio/system.slice ";
  const std::string group = "/system.slice/svc.service/";
  struct Case {
    std::string dirs, file, joined, message;  // message: "{pid}" stands for the pid
  } cases[] = {
      {all, "", "memory cpuacct blkio ", ""},
      {"", "", "", ""},                            // no hierarchy: no accounting, no memory limit
      {"memory/system.slice", "", "memory ", ""},  // a later one missing ends the step
      {"memory", "memory/system.slice", "",
       "[Child {pid}] Unable to enable memory accounting. Mkdir Error: Not a directory, "
       "{root}memory" +
           group + "\n"},
      {all + "cpuacct" + group + "cgroup.procs", "", "memory ",
       "Fopen Error: Is a directory, {root}cpuacct" + group +
           "cgroup.procs\n[Child {pid}] Unable to enable cpuacct accounting.\n"},
      {all + "memory" + group + "memory.limit_in_bytes", "", "memory cpuacct blkio ",
       "Fopen Error: Is a directory, {root}memory" + group +
           "memory.limit_in_bytes\n[Child {pid}] Unable to set memory limits.\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.dirs + c.file);
    ClearCapturedMessages();
    TempDir sysroot;
    const std::string root = sysroot.Sub("sys/fs/cgroup/");
    std::istringstream dirs(c.dirs);
    for (std::string dir; dirs >> dir;) MakeDirs(root + dir);
    if (!c.file.empty()) WriteFile(root + c.file, "in the way");
    UseSysroot(sysroot.path().c_str());
    ProcessLimits limits{"svc", 0, 64};
    ProcessEvents events;
    ProcessStartOptions options = events.Wire();
    options.limits = &limits;
    std::unique_ptr<SysProcess> process(CreateSysProcess("svc"));
    EXPECT_TRUE(process->Start("/bin/sh", {"-c", "exit 0"}, {}, options));
    UseSysroot(nullptr);
    EXPECT_TRUE(WaitForExit(process.get()));
    std::string pid = std::to_string(process->GetPid()), joined, logged, expected = c.message;
    for (const char *controller : {"memory", "cpuacct", "blkio"}) {
      joined += ReadWholeFile(root + controller + group + "cgroup.procs") == pid
                    ? controller + std::string(" ")
                    : "";
    }
    EXPECT_EQ(joined, c.joined);
    EXPECT_EQ(ReadWholeFile(root + "memory" + group + "memory.limit_in_bytes") == "64",
              c.message.empty() && joined == "memory cpuacct blkio ");
    for (auto [key, value] :
         {std::pair<std::string, std::string>{"{pid}", pid}, {"{root}", root}}) {
      for (size_t at; (at = expected.find(key)) != std::string::npos;)
        expected.replace(at, key.size(), value);
    }
    for (const std::string &line : LoggedMessages()) {
      logged += line.find("ccounting") != std::string::npos ||
                        line.find("Fopen") != std::string::npos ||
                        line.find("memory limits") != std::string::npos
                    ? line
                    : "";
    }
    EXPECT_EQ(logged, expected);
    EXPECT_EQ(process->GetExitCode(), c.message.empty() ? 0 : 254);
  }
}

TEST(CommandHelpers, StopSignalNamesMatchExactlyAndLiveCoresAreNamedInUtc) {
  for (auto [name, number] : {std::pair{"SIGTERM", SIGTERM},
                              {"SIGINT", SIGINT},
                              {"SIGHUP", SIGHUP},
                              {"SIGUSR1", SIGUSR1},
                              {"SIGUSR2", SIGUSR2},
                              {"sigterm", SIGTERM}}) {
    EXPECT_EQ(SignalFromName(name), number) << name;
  }
  EXPECT_EQ(LoggedMessages(),
            std::vector<std::string>{"Signal sigterm is not supported. Defaulting to SIGTERM.\n"});
  setenv("TZ", "Asia/Kolkata", 1);  // the name uses UTC whatever the local zone
  tzset();
  UseSysroot("/tmp/sentro-root");
  std::string command, core;
  std::vector<std::string> args = {"kept"};
  BuildLiveCoreCommandAt(1614675907, 1234, "alpha", &command, &args, &core);  // 2021-03-02 09:05:07
  UseSysroot(nullptr);
  unsetenv("TZ");
  tzset();
  const std::string prefix = "/tmp/sentro-root/var/core/livecore.alpha-03-02-21-09-05-07";
  EXPECT_EQ(command, "/tmp/sentro-root/usr/bin/gcore");
  EXPECT_EQ(args, (std::vector<std::string>{"kept", "-o", prefix, "1234"}));
  EXPECT_EQ(core, prefix + ".1234");
}

}  // namespace
