// The daemon's command line and start-up choices, on the real binary in a
// sandbox.
#include "DaemonFixture.h"

namespace {

// The profile file's first line names the profile: the newline goes,
// trailing blanks stay, the name is cut at 127 characters; the option wins
// over the file and reaches the daemon as UTF-8. Only ALL exists here, so
// the others end in code 10; all but NONE run the post-startup command
// (missing here). A daemon that runs ends on a termination signal sent
// twice; help, a bad option, configuration or profile file end start-up
// with status 1.
TEST(Startup, TheCommandLineAndTheProfileFileDecideHowTheDaemonStarts) {
  const std::string longName(200, 'p'), longLine = longName + "\n";
  struct Case {
    std::vector<std::string> args;
    const char *config, *profileFile;  // null: none
    std::string profile;               // empty: the output and status 1
    int stopSignal = 0;
    std::string output;  // the beginning of stdout, and a part of stderr
  } cases[] = {
      {{}, "{}", nullptr, "ALL", SIGTERM},
      {{"--ignorefail"}, "{}", "web  ", "web  ", SIGQUIT},
      {{"-i", "x"}, "{}", longLine.c_str(), longName.substr(0, 127), SIGINT},
      {{"-s", "NONE"}, "{}", "CRITICAL\n", "NONE", SIGTERM},
      {{"-s", "caf\xe9"}, "{}", nullptr, "caf\xc3\xa9", SIGTERM},  // Latin-1 from the C locale
      {{"-h"},
       "{}",
       nullptr,
       "",
       0,
       "Usage: " + SandboxDaemon::BuildPath("sentro") + " [options]\n"},
      {{"--bogus"}, "{}", nullptr, "", 0, "Invalid Option.\nUsage: "},
      {{"-s", "ALL", "-i"}, "{}", nullptr, "", 0, "Invalid Option.\n"},  // short -i takes an
                                                                         // argument
      {{}, nullptr, nullptr, "", 0, "Failed to load Sentro Configuration. Exiting...\n"},
      {{}, "{\"LogLevel\": ", nullptr, "", 0, "Invalid Json formatted file"},
      {{}, "{}", "\n", "", 0, "Empty startup profile file "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.profile + c.output);
    SandboxDaemon daemon;
    daemon.SetEnv("LC_ALL=C");
    c.config != nullptr ? daemon.WriteConfig(c.config)
                        : (void)std::remove((daemon.configDir() + "/config.json").c_str());
    if (c.profileFile != nullptr)
      WriteFile(daemon.dataDir() + "/defaultStartProfile", c.profileFile);
    daemon.Start(c.args);
    if (c.profile.empty()) {
      EXPECT_EQ(daemon.WaitExit(), 1);
      std::string out = daemon.Stdout(), err = daemon.Stderr() + daemon.LogText();
      EXPECT_TRUE(out.find(c.output) == 0 || err.find(c.output) != std::string::npos) << out << err;
      continue;
    }
    ASSERT_TRUE(daemon.WaitForLog("Starting Sentro with profile '" + c.profile + "'\n"))
        << daemon.LogText();
    ASSERT_TRUE(daemon.WaitForLog("Sentro service is running in non-FIPS mode.\n"));
    // Without NORVANE_HUB_HOME the core pattern is left alone until shutdown.
    const std::string corePattern = daemon.sysroot() + "/proc/sys/kernel/core_pattern";
    EXPECT_EQ(ReadFile(corePattern), "core");
    ASSERT_TRUE(daemon.WaitForLog(c.profile == "NONE"
                                      ? "Services  failed to start on Sentro startup. ErrCode 10\n"
                                      : "Post sentro startup command exited with rc=254\n"));
    daemon.Signal(c.stopSignal);
    daemon.Signal(c.stopSignal);
    EXPECT_EQ(daemon.WaitExit(), 0);
    EXPECT_EQ(ReadFile(corePattern), "/var/core/core.%e.%p");
    EXPECT_EQ(CountOf(daemon.LogText(), "Initiating Sentro shutdown."), 1u);
    EXPECT_EQ(CountOf(daemon.LogText(), "Post sentro startup"), c.profile == "NONE" ? 0u : 1u);
    EXPECT_EQ(CountOf(daemon.LogText(), "ErrCode 10"), c.profile == "ALL" ? 0u : 1u);
  }
}

}  // namespace
