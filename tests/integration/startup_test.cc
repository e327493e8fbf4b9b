// The daemon's command line, environment and start-up choices, checked on
// the real binary in a sandbox.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "support/SandboxDaemon.h"

namespace {

const char kUsageBody[] =
    "\n"
    "Options:\n"
    "  -c, --configdir <dir>  Sentro configuration directory.\n"
    "  -d, --datadir   <dir>  Sentro data directory path.\n"
    "  -s, --startupprofile <name>  Sentro startup profile.\n"
    "  -i, --ignorefail       Ignore service startup failure.\n"
    "  -h                     Print help information.\n";

std::string Usage(const std::string &program) {
  return "Usage: " + program + " [options]\n" + kUsageBody;
}

// Starts the daemon, waits until its loop runs, stops it with SIGTERM and
// expects an orderly exit.
void RunAndStop(SandboxDaemon &daemon) {
  ASSERT_TRUE(daemon.WaitForLog("Sentro service is running in")) << daemon.LogText();
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitExit(), 0);
}

}  // namespace

TEST(CommandLine, HelpPrintsUsageAndExitsOne) {
  SandboxDaemon daemon;
  daemon.StartRaw({"-h"});
  EXPECT_EQ(daemon.WaitExit(), 1);
  EXPECT_EQ(daemon.Stdout(), Usage(SandboxDaemon::BuildPath("sentro")));

  SandboxDaemon longForm;
  longForm.StartRaw({"--help"});
  EXPECT_EQ(longForm.WaitExit(), 1);
  EXPECT_EQ(longForm.Stdout(), Usage(SandboxDaemon::BuildPath("sentro")));
}

TEST(CommandLine, UnknownOptionAndMissingArgumentPrintInvalidOption) {
  for (auto args : {std::vector<std::string>{"-x"}, std::vector<std::string>{"--bogus"},
                    std::vector<std::string>{"-c"}, std::vector<std::string>{"-s", "ALL", "-i"}}) {
    SandboxDaemon daemon;
    daemon.StartRaw(args);
    EXPECT_EQ(daemon.WaitExit(), 1) << args[0];
    EXPECT_EQ(daemon.Stdout(), "Invalid Option.\n" + Usage(SandboxDaemon::BuildPath("sentro")));
  }
}

TEST(CommandLine, ShortIgnoreFailTakesAnArgument) {
  SandboxDaemon daemon;
  daemon.Start({"-i", "x"});
  RunAndStop(daemon);
}

TEST(CommandLine, LongIgnoreFailTakesNone) {
  SandboxDaemon daemon;
  daemon.Start({"--ignorefail"});
  RunAndStop(daemon);
}

TEST(Environment, DirectoriesGetTheProductSubdirectory) {
  SandboxDaemon daemon;
  MakeDirs(daemon.Root("env/cfg/norvane-sentro/svcCfgfiles"));
  MakeDirs(daemon.Root("env/cfg/norvane-sentro/muxServerInstanceCfgfiles"));
  WriteFile(daemon.Root("env/cfg/norvane-sentro/profiles.json"), "{}");
  MakeDirs(daemon.Root("env/data/norvane-sentro"));
  WriteFile(daemon.Root("env/cfg/norvane-sentro/config.json"), "{\"LogLevel\": 8}");
  WriteFile(daemon.Root("env/data/norvane-sentro/defaultStartProfile"), "FROMENV\n");
  daemon.SetEnv("NORVANE_CFG_DIR=" + daemon.Root("env/cfg"));
  daemon.SetEnv("NORVANE_DATA_DIR=" + daemon.Root("env/data"));
  daemon.StartRaw({});
  ASSERT_TRUE(daemon.WaitForLog("Starting Sentro with profile 'FROMENV'")) << daemon.LogText();
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitExit(), 0);
}

TEST(Environment, OptionsOverrideTheEnvironment) {
  SandboxDaemon daemon;
  daemon.SetEnv("NORVANE_CFG_DIR=" + daemon.Root("nowhere"));
  daemon.SetEnv("NORVANE_DATA_DIR=" + daemon.Root("nowhere"));
  daemon.Start();
  RunAndStop(daemon);
}

TEST(Configuration, MissingConfigFileEndsStartupWithStatusOne) {
  SandboxDaemon daemon;
  std::remove((daemon.configDir() + "/config.json").c_str());
  daemon.Start();
  EXPECT_EQ(daemon.WaitExit(), 1);
  EXPECT_NE(daemon.Stderr().find("Failed to load Sentro Configuration. Exiting...\n"),
            std::string::npos)
      << daemon.Stderr();
}

TEST(Configuration, MalformedConfigFileEndsStartupWithStatusOne) {
  SandboxDaemon daemon;
  daemon.WriteConfig("{\"LogLevel\": ");
  daemon.Start();
  EXPECT_EQ(daemon.WaitExit(), 1);
  EXPECT_NE(daemon.Stderr().find("Invalid Json formatted file"), std::string::npos)
      << daemon.Stderr();
}

TEST(StartupProfile, NoFileMeansAll) {
  SandboxDaemon daemon;
  daemon.Start();
  ASSERT_TRUE(daemon.WaitForLog("Starting Sentro with profile 'ALL'\n")) << daemon.LogText();
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitExit(), 0);
}

TEST(StartupProfile, FileNamesTheProfileWithOrWithoutNewline) {
  for (const char *content : {"CRITICAL\n", "CRITICAL"}) {
    SandboxDaemon daemon;
    WriteFile(daemon.dataDir() + "/defaultStartProfile", content);
    daemon.Start();
    EXPECT_TRUE(daemon.WaitForLog("Starting Sentro with profile 'CRITICAL'\n")) << daemon.LogText();
    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.WaitExit(), 0);
  }
}

TEST(StartupProfile, TrailingBlanksAreKeptAndLongLinesCut) {
  SandboxDaemon daemon;
  std::string longName(200, 'p');
  WriteFile(daemon.dataDir() + "/defaultStartProfile", "web  \n");
  daemon.Start();
  EXPECT_TRUE(daemon.WaitForLog("Starting Sentro with profile 'web  '\n")) << daemon.LogText();
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitExit(), 0);

  SandboxDaemon cut;
  WriteFile(cut.dataDir() + "/defaultStartProfile", longName + "\n");
  cut.Start();
  EXPECT_TRUE(cut.WaitForLog("Starting Sentro with profile '" + longName.substr(0, 127) + "'\n"))
      << cut.LogText();
  cut.Signal(SIGTERM);
  EXPECT_EQ(cut.WaitExit(), 0);
}

TEST(StartupProfile, EmptyFileOrLoneNewlineEndsStartup) {
  for (const char *content : {"", "\n"}) {
    SandboxDaemon daemon;
    WriteFile(daemon.dataDir() + "/defaultStartProfile", content);
    daemon.Start();
    EXPECT_EQ(daemon.WaitExit(), 1);
    EXPECT_TRUE(daemon.WaitForLog("Empty startup profile file " + daemon.dataDir() +
                                  "/defaultStartProfile\n"))
        << daemon.LogText();
  }
}

TEST(StartupProfile, CommandLineProfileWinsOverTheFile) {
  SandboxDaemon daemon;
  WriteFile(daemon.dataDir() + "/defaultStartProfile", "CRITICAL\n");
  daemon.Start({"-s", "NONE"});
  EXPECT_TRUE(daemon.WaitForLog("Starting Sentro with profile 'NONE'\n")) << daemon.LogText();
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitExit(), 0);
}

TEST(Shutdown, TerminationSignalsEndTheDaemonOnce) {
  for (int sig : {SIGTERM, SIGINT, SIGQUIT}) {
    SandboxDaemon daemon;
    daemon.Start();
    ASSERT_TRUE(daemon.WaitForLog("Sentro service is running in")) << daemon.LogText();
    daemon.Signal(sig);
    daemon.Signal(sig);
    EXPECT_EQ(daemon.WaitExit(), 0);
    std::string log = daemon.LogText();
    size_t first = log.find("Initiating Sentro shutdown.");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("Initiating Sentro shutdown.", first + 1), std::string::npos) << log;
    EXPECT_EQ(ReadFile(daemon.sysroot() + "/proc/sys/kernel/core_pattern"), "/var/core/core.%e.%p");
  }
}

TEST(LogFile, ExistingLogIsRotatedAndTheNewOneLabelled) {
  SandboxDaemon daemon;
  WriteFile(daemon.logPath(), "previous run\n");
  daemon.Start();
  RunAndStop(daemon);
  EXPECT_EQ(ReadFile(daemon.workDir() + "/sentro-0.log"), "previous run\n");
  std::string log = daemon.LogText();
  EXPECT_NE(log.find("In(05) host-"), std::string::npos) << log;
  EXPECT_NE(log.find("Log for sentro pid="), std::string::npos) << log;
  EXPECT_NE(log.find(" version=e.x.p build=build-24322028 option=Release\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("Sentro service is running in non-FIPS mode.\n"), std::string::npos) << log;
}
