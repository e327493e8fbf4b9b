#include "src/process/CommandHelpers.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "process/ProcessTestSupport.h"
#include "src/core/SysPaths.h"

namespace {

TEST(StreamRedirect, PathsAreTheBaseWithStdoutAndStderr) {
  std::string out, err;
  StreamRedirectPaths("/var/log/svc/alpha", &out, &err);
  EXPECT_EQ(out, "/var/log/svc/alpha.stdout");
  EXPECT_EQ(err, "/var/log/svc/alpha.stderr");
}

TEST(StopSignalNames, TheFiveNamesMapToTheirNumbers) {
  EXPECT_EQ(SignalFromName("SIGTERM"), SIGTERM);
  EXPECT_EQ(SignalFromName("SIGINT"), SIGINT);
  EXPECT_EQ(SignalFromName("SIGHUP"), SIGHUP);
  EXPECT_EQ(SignalFromName("SIGUSR1"), SIGUSR1);
  EXPECT_EQ(SignalFromName("SIGUSR2"), SIGUSR2);
  EXPECT_FALSE(Logged("is not supported"));
}

TEST(StopSignalNames, AnyOtherTextFallsBackToSigtermWithAWarning) {
  EXPECT_EQ(SignalFromName("sigterm"), SIGTERM);
  EXPECT_TRUE(Logged("Signal sigterm is not supported. Defaulting to SIGTERM.\n"));
  EXPECT_EQ(SignalFromName("SIGKILL"), SIGTERM);
  EXPECT_TRUE(Logged("Signal SIGKILL is not supported. Defaulting to SIGTERM.\n"));
}

// 09:05:07 UTC on 2 March 2021.
const time_t kExampleTime = 1614675907;

TEST(LiveCoreCommand, NamesTheDumpAfterServiceAndUtcTime) {
  std::string command, core;
  std::vector<std::string> args = {"kept"};
  BuildLiveCoreCommandAt(kExampleTime, 1234, "alpha", &command, &args, &core);
  EXPECT_EQ(command, SysPath("/usr/bin/gcore"));
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(args[0], "kept");
  EXPECT_EQ(args[1], "-o");
  EXPECT_EQ(args[2], SysPath("/var/core/") + "livecore.alpha-03-02-21-09-05-07");
  EXPECT_EQ(args[3], "1234");
  EXPECT_EQ(core, SysPath("/var/core/") + "livecore.alpha-03-02-21-09-05-07.1234");
}

TEST(LiveCoreCommand, UsesUtcWhateverTheLocalTimeZone) {
  const char *saved = getenv("TZ");
  std::string savedTz = saved ? saved : "";
  setenv("TZ", "Asia/Kolkata", 1);
  tzset();
  std::string command, core;
  std::vector<std::string> args;
  BuildLiveCoreCommandAt(kExampleTime, 1, "alpha", &command, &args, &core);
  saved ? setenv("TZ", savedTz.c_str(), 1) : unsetenv("TZ");
  tzset();
  EXPECT_NE(core.find("livecore.alpha-03-02-21-09-05-07.1"), std::string::npos);
}

TEST(LiveCoreCommand, PathsFollowTheSysroot) {
  setenv("SENTRO_SYSROOT", "/tmp/sentro-root", 1);
  SysrootReset();
  std::string command, core;
  std::vector<std::string> args;
  BuildLiveCoreCommandAt(kExampleTime, 99, "beta", &command, &args, &core);
  unsetenv("SENTRO_SYSROOT");
  SysrootReset();
  EXPECT_EQ(command, "/tmp/sentro-root/usr/bin/gcore");
  EXPECT_EQ(core, "/tmp/sentro-root/var/core/livecore.beta-03-02-21-09-05-07.99");
}

TEST(LiveCoreCommand, TwoDumpsInOneSecondDifferOnlyByPid) {
  std::string command, first, second;
  std::vector<std::string> firstArgs, secondArgs;
  BuildLiveCoreCommandAt(kExampleTime, 10, "alpha", &command, &firstArgs, &first);
  BuildLiveCoreCommandAt(kExampleTime, 11, "alpha", &command, &secondArgs, &second);
  EXPECT_EQ(firstArgs[1], secondArgs[1]);
  EXPECT_NE(first, second);
}

}  // namespace
