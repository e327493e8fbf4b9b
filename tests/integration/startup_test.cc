// The daemon's command line, environment and start-up choices, checked on
// the real binary in a sandbox.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/SandboxDaemon.h"

namespace {

std::string Usage() {
  return "Usage: " + SandboxDaemon::BuildPath("sentro") +
         " [options]\n"
         "\n"
         "Options:\n"
         "  -c, --configdir <dir>  Sentro configuration directory.\n"
         "  -d, --datadir   <dir>  Sentro data directory path.\n"
         "  -s, --startupprofile <name>  Sentro startup profile.\n"
         "  -i, --ignorefail       Ignore service startup failure.\n"
         "  -h                     Print help information.\n";
}

// Sends sig twice to a running daemon and expects one orderly shutdown that
// restores the core pattern.
void StopWith(SandboxDaemon &daemon, int sig) {
  daemon.Signal(sig);
  daemon.Signal(sig);
  EXPECT_EQ(daemon.WaitExit(), 0);
  std::string log = daemon.LogText();
  size_t first = log.find("Initiating Sentro shutdown.");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("Initiating Sentro shutdown.", first + 1), std::string::npos) << log;
  EXPECT_EQ(ReadFile(daemon.sysroot() + "/proc/sys/kernel/core_pattern"), "/var/core/core.%e.%p");
}

TEST(CommandLine, HelpAndInvalidOptionsPrintTheUsageAndExitOne) {
  struct Case {
    std::vector<std::string> args;
    std::string output;
  } cases[] = {
      {{"-h"}, Usage()},
      {{"--help"}, Usage()},
      {{"-x"}, "Invalid Option.\n" + Usage()},
      {{"--bogus"}, "Invalid Option.\n" + Usage()},
      {{"-c"}, "Invalid Option.\n" + Usage()},
      {{"-s", "ALL", "-i"}, "Invalid Option.\n" + Usage()},  // short -i takes an argument
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args.back());
    SandboxDaemon daemon;
    daemon.StartRaw(c.args);
    EXPECT_EQ(daemon.WaitExit(), 1);
    EXPECT_EQ(daemon.Stdout(), c.output);
  }
}

TEST(Configuration, MissingOrMalformedConfigFileEndsStartupWithStatusOne) {
  struct Case {
    const char *config;  // nullptr: no file
    const char *stderrText;
  } cases[] = {
      {nullptr, "Failed to load Sentro Configuration. Exiting...\n"},
      {"{\"LogLevel\": ", "Invalid Json formatted file"},
  };
  for (const Case &c : cases) {
    SandboxDaemon daemon;
    if (c.config == nullptr) {
      std::remove((daemon.configDir() + "/config.json").c_str());
    } else {
      daemon.WriteConfig(c.config);
    }
    daemon.Start();
    EXPECT_EQ(daemon.WaitExit(), 1);
    EXPECT_NE(daemon.Stderr().find(c.stderrText), std::string::npos) << daemon.Stderr();
  }
}

// The profile file holds the name on its first line: the newline goes,
// trailing blanks stay, and the name is cut at 127 characters; the option
// wins over the file. Only ALL exists here, so the others end in code 10;
// all but NONE are followed by the post-startup command (missing here).
// Each running daemon also ends on a different termination signal, sent
// twice, and the -c/-d options win over the NORVANE_* directories.
TEST(StartupProfile, TheFileNamesTheProfile) {
  const std::string longName(200, 'p');
  const std::string longLine = longName + "\n";
  struct Case {
    const char *content;  // nullptr: no file
    std::vector<std::string> args;
    std::string profile;  // empty: startup ends with status 1
    int stopSignal;
  } cases[] = {
      {nullptr, {}, "ALL", SIGTERM},
      {"CRITICAL\n", {"-i", "x"}, "CRITICAL", SIGINT},
      {"web  ", {"--ignorefail"}, "web  ", SIGQUIT},
      {longLine.c_str(), {}, longName.substr(0, 127), SIGTERM},
      {"CRITICAL\n", {"-s", "NONE"}, "NONE", SIGINT},
      {"", {}, "", 0},
      {"\n", {}, "", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.content == nullptr ? "<no file>" : c.content);
    SandboxDaemon daemon;
    daemon.SetEnv("NORVANE_CFG_DIR=" + daemon.Root("nowhere"));
    daemon.SetEnv("NORVANE_DATA_DIR=" + daemon.Root("nowhere"));
    std::string file = daemon.dataDir() + "/defaultStartProfile";
    if (c.content != nullptr) {
      WriteFile(file, c.content);
    }
    daemon.Start(c.args);
    if (c.profile.empty()) {
      EXPECT_EQ(daemon.WaitExit(), 1);
      EXPECT_TRUE(daemon.WaitForLog("Empty startup profile file " + file + "\n"))
          << daemon.LogText();
      continue;
    }
    ASSERT_TRUE(daemon.WaitForLog("Starting Sentro with profile '" + c.profile + "'\n"))
        << daemon.LogText();
    ASSERT_TRUE(daemon.WaitForLog("Sentro service is running in non-FIPS mode.\n"))
        << daemon.LogText();
    const std::string notStarted = "Services  failed to start on Sentro startup. ErrCode 10\n";
    if (c.profile == "NONE") {
      ASSERT_TRUE(daemon.WaitForLog(notStarted)) << daemon.LogText();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      EXPECT_EQ(daemon.LogText().find("Post sentro startup"), std::string::npos);
    } else {
      ASSERT_TRUE(daemon.WaitForLog("Post sentro startup command exited with rc=254\n"))
          << daemon.LogText();
      EXPECT_EQ(daemon.LogText().find(notStarted) != std::string::npos, c.profile != "ALL");
    }
    StopWith(daemon, c.stopSignal);
  }
}

TEST(Environment, DirectoriesGetTheProductSubdirectoryAndTheOldLogIsRotated) {
  SandboxDaemon daemon;
  MakeDirs(daemon.Root("env/cfg/norvane-sentro/svcCfgfiles"));
  MakeDirs(daemon.Root("env/cfg/norvane-sentro/muxServerInstanceCfgfiles"));
  WriteFile(daemon.Root("env/cfg/norvane-sentro/profiles.json"), "{}");
  MakeDirs(daemon.Root("env/data/norvane-sentro"));
  WriteFile(daemon.Root("env/cfg/norvane-sentro/config.json"), "{\"LogLevel\": 8}");
  WriteFile(daemon.Root("env/data/norvane-sentro/defaultStartProfile"), "FROMENV\n");
  daemon.SetEnv("NORVANE_CFG_DIR=" + daemon.Root("env/cfg"));
  daemon.SetEnv("NORVANE_DATA_DIR=" + daemon.Root("env/data"));
  WriteFile(daemon.logPath(), "previous run\n");
  daemon.StartRaw({});
  ASSERT_TRUE(daemon.WaitForLog("Starting Sentro with profile 'FROMENV'")) << daemon.LogText();
  // Without NORVANE_HUB_HOME the core pattern is left alone.
  EXPECT_TRUE(
      daemon.WaitForLog("Failed to set coredumper pattern. NORVANE_HUB_HOME env not set\n"));
  EXPECT_EQ(ReadFile(daemon.sysroot() + "/proc/sys/kernel/core_pattern"), "core");
  StopWith(daemon, SIGTERM);
  EXPECT_EQ(ReadFile(daemon.workDir() + "/sentro-0.log"), "previous run\n");
  std::string log = daemon.LogText();
  EXPECT_NE(log.find("Log for sentro pid="), std::string::npos) << log;
  EXPECT_NE(log.find(" version=e.x.p build=build-24322028 option=Release\n"), std::string::npos)
      << log;
}

}  // namespace
