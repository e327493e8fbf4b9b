// The daemon's whole life on real processes: the startup profile comes up in
// dependency order, SIGHUP reloads, and a termination signal stops every
// service in stop order and ends the daemon with status 0.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/SandboxDaemon.h"
#include "tools/sentroctl/ControlCalls.h"

namespace {

// A service that records its start (with its pid) and its stop in a journal.
const char kServiceScript[] =
    "#!/bin/sh\n"
    "name=$1; journal=$2\n"
    "trap 'echo \"stop $name\" >> \"$journal\"; exit 0' TERM\n"
    "echo \"start $name $$\" >> \"$journal\"\n"
    "while :; do sleep 0.05; done\n";

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    script_ = daemon_.Root("svc.sh");
    journal_ = daemon_.Root("journal");
    WriteFile(script_, kServiceScript);
    chmod(script_.c_str(), 0755);
    WriteFile(journal_, "");
    daemon_.WriteProfiles("{}");
    // Short cycles, no watchdog: its heartbeat needs a period of 6 s or more.
    daemon_.WriteConfig("{\"EnableLivenessCheck\": false, \"LogLevel\": 8}");
  }

  void Service(const std::string &name, const std::string &extra = "") {
    daemon_.WriteService(name + ".json", "{\"Name\": \"" + name + "\", \"StartCommand\": \"" +
                                             script_ + "\", \"StartCommandArgs\": [\"" + name +
                                             "\", \"" + journal_ + "\"]" + extra + "}");
  }

  std::vector<std::string> Journal(const std::string &kind) const {
    std::vector<std::string> names;
    std::istringstream lines(ReadFile(journal_));
    std::string word, name, rest;
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      fields >> word >> name;
      if (word == kind) {
        names.push_back(name);
      }
    }
    return names;
  }

  std::vector<pid_t> ServicePids() const {
    std::vector<pid_t> pids;
    std::istringstream lines(ReadFile(journal_));
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string word, name;
      long pid = 0;
      if (fields >> word >> name >> pid && word == "start") {
        pids.push_back(static_cast<pid_t>(pid));
      }
    }
    return pids;
  }

  bool AllGone(const std::vector<pid_t> &pids) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline) {
      bool anyAlive = false;
      for (pid_t pid : pids) {
        if (kill(pid, 0) == 0 || errno != ESRCH) {
          anyAlive = true;
        }
      }
      if (!anyAlive) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  SandboxDaemon daemon_;
  std::string script_;
  std::string journal_;
};

TEST_F(Lifecycle, StartupProfileComesUpInDependencyOrderAndStopsInStopOrder) {
  Service("db", ", \"StopBefore\": []");
  Service("app", ", \"DependsOn\": [\"db\"], \"StopBefore\": [\"db\"]");
  Service("web", ", \"DependsOn\": [\"app\"], \"StopBefore\": [\"app\"]");
  daemon_.Start();
  ASSERT_TRUE(daemon_.WaitForLog("<web> Service STARTED successfully.", std::chrono::seconds(15)))
      << daemon_.LogText();
  EXPECT_EQ(Journal("start"), (std::vector<std::string>{"db", "app", "web"}));
  std::vector<pid_t> pids = ServicePids();
  ASSERT_EQ(pids.size(), 3u);

  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(std::chrono::seconds(15)), 0) << daemon_.LogText();
  EXPECT_EQ(Journal("stop"), (std::vector<std::string>{"web", "app", "db"}));
  EXPECT_TRUE(AllGone(pids));
  EXPECT_NE(daemon_.LogText().find("Executing service batch op STOP. IgnoreFail=1"),
            std::string::npos);
}

TEST_F(Lifecycle, ABrokenDefinitionLeavesTheOthersRunning) {
  Service("good");
  daemon_.WriteService("bad.json", "{\"Name\": \"bad\"");
  daemon_.Start();
  ASSERT_TRUE(daemon_.WaitForLog("<good> Service STARTED successfully.")) << daemon_.LogText();
  EXPECT_NE(daemon_.LogText().find("Failed to add service bad.json.\n"), std::string::npos);
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(), 0);
}

TEST_F(Lifecycle, ACycleLeavesItsMembersUnstartedWhileTheBatchCompletes) {
  Service("a", ", \"DependsOn\": [\"b\"]");
  Service("b", ", \"DependsOn\": [\"a\"]");
  Service("c");
  daemon_.Start();
  ASSERT_TRUE(daemon_.WaitForLog("Successfully executed service batch operation START."))
      << daemon_.LogText();
  EXPECT_EQ(Journal("start"), (std::vector<std::string>{"c"}));
  EXPECT_NE(daemon_.LogText().find("Following dependency b <-> a introduces a cycle.\n"),
            std::string::npos);
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(), 0);
}

TEST_F(Lifecycle, TerminationDuringTheStartupBatchLeavesNoServiceBehind) {
  Service("slow", ", \"PreStartCommand\": \"/bin/sleep\", \"PreStartCommandArgs\": [\"0.3\"]");
  Service("after", ", \"DependsOn\": [\"slow\"]");
  Service("free");
  daemon_.Start();
  ASSERT_TRUE(daemon_.WaitForLog("Executing op START on service slow")) << daemon_.LogText();
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(std::chrono::seconds(15)), 0) << daemon_.LogText();
  EXPECT_TRUE(AllGone(ServicePids()));
}

TEST_F(Lifecycle, PostStartupCommandRunsAfterTheStartupBatch) {
  std::string banner = daemon_.sysroot() + "/usr/bin/banner_ctrl";
  WriteFile(banner, "#!/bin/sh\necho \"$@\" > \"" + daemon_.Root("banner") + "\"\n");
  chmod(banner.c_str(), 0755);
  Service("one");
  daemon_.Start();
  ASSERT_TRUE(daemon_.WaitForLog("Post sentro startup command succeeded\n")) << daemon_.LogText();
  EXPECT_EQ(ReadFile(daemon_.Root("banner")), "reset\n");
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(), 0);
}

TEST_F(Lifecycle, ProfileNoneSkipsThePostStartupCommand) {
  std::string banner = daemon_.sysroot() + "/usr/bin/banner_ctrl";
  WriteFile(banner, "#!/bin/sh\ntouch \"" + daemon_.Root("banner") + "\"\n");
  chmod(banner.c_str(), 0755);
  daemon_.Start({"-s", "NONE"});
  ASSERT_TRUE(daemon_.WaitForLog("Services  failed to start on Sentro startup. ErrCode 10\n"))
      << daemon_.LogText();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(FileExists(daemon_.Root("banner")));
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(), 0);
}

TEST_F(Lifecycle, UnknownProfileReportsCodeTenAndStillRunsThePostStartupCommand) {
  daemon_.Start({"-s", "NOSUCH"});
  ASSERT_TRUE(daemon_.WaitForLog("Services  failed to start on Sentro startup. ErrCode 10\n"))
      << daemon_.LogText();
  EXPECT_TRUE(daemon_.WaitForLog("Post sentro startup command exited with rc=254\n"))
      << daemon_.LogText();
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(), 0);
}

TEST_F(Lifecycle, HealthCyclesAlternateAllAndCritical) {
  daemon_.WriteConfig(
      "{\"EnableLivenessCheck\": false, \"CriticalHealthCheckFreqSecs\": 1,"
      " \"CriticalToAllHealthCheckFreqRatio\": 2}");
  daemon_.WriteProfiles("{\"CRITICAL\": []}");
  daemon_.Start();
  ASSERT_TRUE(daemon_.WaitForLog("Executing service batch op API_HEALTH", std::chrono::seconds(5)))
      << daemon_.LogText();
  ASSERT_TRUE(daemon_.WaitForLog("Successfully executed service batch operation API_HEALTH.\n"));
  // Two cycles later both groups have been probed.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(6);
  size_t count = 0;
  while (std::chrono::steady_clock::now() < deadline && count < 3) {
    std::string log = daemon_.LogText();
    count = 0;
    for (size_t at = log.find("Executing service batch op API_HEALTH"); at != std::string::npos;
         at = log.find("Executing service batch op API_HEALTH", at + 1)) {
      count++;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_GE(count, 3u);
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(), 0);
}

TEST_F(Lifecycle, DisabledPeriodicHealthCheckStillCycles) {
  daemon_.WriteConfig(
      "{\"EnableLivenessCheck\": false, \"CriticalHealthCheckFreqSecs\": 1,"
      " \"PerformPeriodicHealthCheck\": false}");
  daemon_.Start();
  ASSERT_TRUE(daemon_.WaitForLog("Periodic health check is disabled.\n", std::chrono::seconds(5)))
      << daemon_.LogText();
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(), 0);
}

TEST_F(Lifecycle, SighupReloadsLevelAndDefinitionsAndWorksWhileStopping) {
  daemon_.WriteConfig("{\"EnableLivenessCheck\": false, \"LogLevel\": 5}");
  Service("one");
  daemon_.Start();
  ASSERT_TRUE(daemon_.WaitForLog("<one> Service STARTED successfully.")) << daemon_.LogText();
  daemon_.WriteConfig("{\"EnableLivenessCheck\": false, \"LogLevel\": 8}");
  daemon_.Signal(SIGHUP);
  ASSERT_TRUE(daemon_.WaitForLog("Received a SIGHUP signal to reload Sentro configuration\n"));
  // Debug lines now pass (a list request logs one); no logger switch for a
  // level-only change.
  RequestMessage list;
  list.type = MessageType::ListSvcsReq;
  std::vector<std::string> names;
  CallForNames(CallTarget{daemon_.dataDir() + "/sentroserver",
                          std::chrono::steady_clock::now() + std::chrono::seconds(10)},
               list, &names);
  EXPECT_TRUE(daemon_.WaitForLog("Db(08) host-")) << daemon_.LogText();
  EXPECT_TRUE(daemon_.WaitForLog("Received request to get services list\n"));
  EXPECT_EQ(daemon_.LogText().find("Switching logger"), std::string::npos);
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(), 0);
}

TEST_F(Lifecycle, CorePatternIsSetAtStartupAndResetAtShutdown) {
  daemon_.SetEnv("NORVANE_HUB_HOME=/opt/hub");
  daemon_.Start();
  ASSERT_TRUE(daemon_.WaitForLog("Sentro service is running in")) << daemon_.LogText();
  std::string patternFile = daemon_.sysroot() + "/proc/sys/kernel/core_pattern";
  EXPECT_EQ(ReadFile(patternFile), "|/opt/hub/norvane-sentro/sentro-coredumper %e %s %p");
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(), 0);
  EXPECT_EQ(ReadFile(patternFile), "/var/core/core.%e.%p");
}

TEST_F(Lifecycle, UnsetHubHomeLeavesThePatternAlone) {
  daemon_.Start();
  ASSERT_TRUE(daemon_.WaitForLog("Sentro service is running in")) << daemon_.LogText();
  EXPECT_NE(
      daemon_.LogText().find("Failed to set coredumper pattern. NORVANE_HUB_HOME env not set\n"),
      std::string::npos);
  EXPECT_EQ(ReadFile(daemon_.sysroot() + "/proc/sys/kernel/core_pattern"), "core");
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(), 0);
}

}  // namespace

namespace {

TEST(LoggerSwitch, ReloadToSyslogSwitchesTheOutputOnce) {
  SandboxDaemon daemon;
  daemon.WriteConfig("{\"EnableLivenessCheck\": false}");
  daemon.Start();
  ASSERT_TRUE(daemon.WaitForLog("Sentro service is running in")) << daemon.LogText();
  daemon.WriteConfig("{\"EnableLivenessCheck\": false, \"LogToSyslog\": true}");
  daemon.Signal(SIGHUP);
  // Written to the old output, just before it is removed.
  EXPECT_TRUE(daemon.WaitForLog("Switching logger. logToSyslog=1\n")) << daemon.LogText();
  daemon.Signal(SIGHUP);  // no change: no second switch
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitExit(), 0);
  std::string log = daemon.LogText();
  EXPECT_EQ(log.find("Switching logger", log.find("Switching logger") + 1), std::string::npos);
  EXPECT_EQ(log.find("Initiating Sentro shutdown."), std::string::npos)
      << "after the switch the file no longer receives messages";
}

TEST(LoggerSwitch, ABrokenConfigOnReloadKeepsEverything) {
  SandboxDaemon daemon;
  daemon.WriteConfig("{\"EnableLivenessCheck\": false}");
  daemon.Start();
  ASSERT_TRUE(daemon.WaitForLog("Sentro service is running in")) << daemon.LogText();
  daemon.WriteConfig("{\"LogToSyslog\": tru");
  daemon.Signal(SIGHUP);
  EXPECT_TRUE(daemon.WaitForLog("Failed to reload Sentro configuration.\n")) << daemon.LogText();
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitExit(), 0);
  EXPECT_NE(daemon.LogText().find("Initiating Sentro shutdown."), std::string::npos);
}

}  // namespace

namespace {

// The daemon locks all its memory: libcurl and OpenSSL would pin megabytes
// and cannot be unloaded, so the push and the FIPS query run in children.
TEST(Memory, NeitherCurlNorOpenSslIsMappedInTheDaemon) {
  SandboxDaemon daemon;
  daemon.WriteConfig("{\"EnableLivenessCheck\": false}");
  daemon.Start();
  ASSERT_TRUE(daemon.WaitForLog("Sentro service is running in")) << daemon.LogText();
  std::string maps = ReadFile("/proc/" + std::to_string(daemon.pid()) + "/maps");
  ASSERT_FALSE(maps.empty());
  EXPECT_EQ(maps.find("libcurl"), std::string::npos);
  EXPECT_EQ(maps.find("libssl"), std::string::npos);
  EXPECT_EQ(maps.find("libcrypto"), std::string::npos);
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitExit(), 0);
}

}  // namespace
