#include "src/process/CommandHelpers.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "process/ProcessTestSupport.h"
#include "src/core/SysPaths.h"

namespace {

TEST(StopSignalNames, TheFiveNamesMapExactlyAndAnyOtherTextFallsBackToSigterm) {
  struct Case {
    const char *name;
    int number;
  } cases[] = {{"SIGTERM", SIGTERM}, {"SIGINT", SIGINT},   {"SIGHUP", SIGHUP},
               {"SIGUSR1", SIGUSR1}, {"SIGUSR2", SIGUSR2}, {"sigterm", SIGTERM},
               {"SIGKILL", SIGTERM}};
  for (const Case &c : cases) {
    EXPECT_EQ(SignalFromName(c.name), c.number) << c.name;
  }
  std::vector<std::string> log = LoggedMessages();
  EXPECT_EQ(
      log, (std::vector<std::string>{"Signal sigterm is not supported. Defaulting to SIGTERM.\n",
                                     "Signal SIGKILL is not supported. Defaulting to SIGTERM.\n"}));
}

TEST(LiveCoreCommand, NamesTheDumpAfterServiceUtcTimeAndPidUnderTheSysroot) {
  const char *savedTz = getenv("TZ");
  std::string tz = savedTz ? savedTz : "";
  setenv("TZ", "Asia/Kolkata", 1);  // the name uses UTC whatever the local zone
  tzset();
  setenv("SENTRO_SYSROOT", "/tmp/sentro-root", 1);
  SysrootReset();
  const time_t example = 1614675907;  // 09:05:07 UTC on 2 March 2021
  std::string command, core, secondCommand, secondCore;
  std::vector<std::string> args = {"kept"}, secondArgs;
  BuildLiveCoreCommandAt(example, 1234, "alpha", &command, &args, &core);
  // A second dump in the same second differs only by its pid.
  BuildLiveCoreCommandAt(example, 1235, "alpha", &secondCommand, &secondArgs, &secondCore);
  unsetenv("SENTRO_SYSROOT");
  SysrootReset();
  savedTz ? setenv("TZ", tz.c_str(), 1) : unsetenv("TZ");
  tzset();

  const std::string prefix = "/tmp/sentro-root/var/core/livecore.alpha-03-02-21-09-05-07";
  EXPECT_EQ(command, "/tmp/sentro-root/usr/bin/gcore");
  EXPECT_EQ(args, (std::vector<std::string>{"kept", "-o", prefix, "1234"}));
  EXPECT_EQ(core, prefix + ".1234");
  EXPECT_EQ(secondArgs, (std::vector<std::string>{"-o", prefix, "1235"}));
  EXPECT_EQ(secondCore, prefix + ".1235");
}

}  // namespace
