// The daemon's command line, environment and start-up choices, on the real
// binary in a sandbox.
#include "DaemonFixture.h"

namespace {

TEST(CommandLine, HelpInvalidOptionsAndAMissingConfigurationEndStartupWithStatusOne) {
  struct Case {
    std::vector<std::string> args;
    const char *config;  // null: no config.json
    std::string out, err;
  } cases[] = {
      {{"-h"}, "{}", "Usage: " + SandboxDaemon::BuildPath("sentro") + " [options]\n", ""},
      {{"--bogus"}, "{}", "Invalid Option.\nUsage: ", ""},
      {{"-s", "ALL", "-i"}, "{}", "Invalid Option.\n", ""},  // short -i takes an argument
      {{}, nullptr, "", "Failed to load Sentro Configuration. Exiting...\n"},
      {{}, "{\"LogLevel\": ", "", "Invalid Json formatted file"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.out + c.err);
    SandboxDaemon daemon;
    c.config != nullptr ? daemon.WriteConfig(c.config)
                        : (void)std::remove((daemon.configDir() + "/config.json").c_str());
    c.args.empty() ? daemon.Start() : daemon.StartRaw(c.args);
    EXPECT_EQ(daemon.WaitExit(), 1);
    EXPECT_EQ(daemon.Stdout().find(c.out), 0u) << daemon.Stdout();
    EXPECT_NE(daemon.Stderr().find(c.err), std::string::npos) << daemon.Stderr();
  }
}

// The profile file's first line names the profile: the newline goes,
// trailing blanks stay, the name is cut at 127 characters; the option wins
// over the file and reaches the daemon as UTF-8. Only ALL exists here, so
// the others end in code 10; all but NONE run the post-startup command
// (missing here). Each daemon ends on a termination signal sent twice.
TEST(StartupProfile, TheFileOrTheOptionNamesTheProfile) {
  const std::string longName(200, 'p'), longLine = longName + "\n";
  struct Case {
    const char *file;  // null: no file
    std::vector<std::string> args;
    std::string profile;  // empty: startup ends with status 1
    int stopSignal;
  } cases[] = {
      {nullptr, {}, "ALL", SIGTERM},
      {"web  ", {"--ignorefail"}, "web  ", SIGQUIT},
      {longLine.c_str(), {"-i", "x"}, longName.substr(0, 127), SIGINT},
      {"CRITICAL\n", {"-s", "NONE"}, "NONE", SIGTERM},
      {nullptr, {"-s", "caf\xe9"}, "caf\xc3\xa9", SIGTERM},  // Latin-1 from the C locale
      {"\n", {}, "", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.profile);
    SandboxDaemon daemon;
    daemon.SetEnv("LC_ALL=C");
    std::string file = daemon.dataDir() + "/defaultStartProfile";
    if (c.file != nullptr) WriteFile(file, c.file);
    daemon.Start(c.args);
    if (c.profile.empty()) {
      EXPECT_EQ(daemon.WaitExit(), 1);
      EXPECT_TRUE(daemon.WaitForLog("Empty startup profile file " + file + "\n"))
          << daemon.LogText();
      continue;
    }
    ASSERT_TRUE(daemon.WaitForLog("Starting Sentro with profile '" + c.profile + "'\n"))
        << daemon.LogText();
    ASSERT_TRUE(daemon.WaitForLog("Sentro service is running in non-FIPS mode.\n"));
    ASSERT_TRUE(daemon.WaitForLog(c.profile == "NONE"
                                      ? "Services  failed to start on Sentro startup. ErrCode 10\n"
                                      : "Post sentro startup command exited with rc=254\n"));
    daemon.Signal(c.stopSignal);
    daemon.Signal(c.stopSignal);
    EXPECT_EQ(daemon.WaitExit(), 0);
    EXPECT_EQ(CountOf(daemon.LogText(), "Initiating Sentro shutdown."), 1u);
    EXPECT_EQ(CountOf(daemon.LogText(), "Post sentro startup"), c.profile == "NONE" ? 0u : 1u);
    EXPECT_EQ(CountOf(daemon.LogText(), "ErrCode 10"), c.profile == "ALL" ? 0u : 1u);
  }
}

TEST(Environment, DirectoriesGetTheProductSubdirectoryAndTheOldLogIsRotated) {
  SandboxDaemon daemon;
  const std::string cfg = daemon.Root("env/cfg/norvane-sentro/"),
                    data = daemon.Root("env/data/norvane-sentro/");
  MakeDirs(cfg + "svcCfgfiles");
  MakeDirs(cfg + "muxServerInstanceCfgfiles");
  MakeDirs(data);
  WriteFile(cfg + "profiles.json", "{}");
  WriteFile(cfg + "config.json", "{}");
  WriteFile(data + "defaultStartProfile", "FROMENV\n");
  daemon.SetEnv("NORVANE_CFG_DIR=" + daemon.Root("env/cfg"));
  daemon.SetEnv("NORVANE_DATA_DIR=" + daemon.Root("env/data"));
  WriteFile(daemon.logPath(), "previous run\n");
  daemon.StartRaw({});
  ASSERT_TRUE(daemon.WaitForLog("Starting Sentro with profile 'FROMENV'")) << daemon.LogText();
  // Without NORVANE_HUB_HOME the core pattern is left alone until shutdown.
  EXPECT_TRUE(
      daemon.WaitForLog("Failed to set coredumper pattern. NORVANE_HUB_HOME env not set\n"));
  EXPECT_EQ(ReadFile(daemon.sysroot() + "/proc/sys/kernel/core_pattern"), "core");
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitExit(), 0);
  EXPECT_EQ(ReadFile(daemon.sysroot() + "/proc/sys/kernel/core_pattern"), "/var/core/core.%e.%p");
  EXPECT_EQ(ReadFile(daemon.workDir() + "/sentro-0.log"), "previous run\n");
  EXPECT_NE(daemon.LogText().find(" version=e.x.p build=build-24322028 option=Release\n"),
            std::string::npos);
}

}  // namespace
