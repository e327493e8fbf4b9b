// The daemon's whole life on real processes: the startup profile comes up in
// dependency order followed by the post-startup command, the health cycle
// runs, SIGHUP reloads (a level change, a broken file, a switch to syslog),
// and a termination signal stops every service in stop order and ends the
// daemon with status 0.
#include <algorithm>

#include "DaemonFixture.h"

namespace {

class Lifecycle : public DaemonTest {
 protected:
  bool AllServicesGone() const {
    std::vector<std::string> pids = Journal("start", true);
    return WaitUntil([&] {
      return std::all_of(pids.begin(), pids.end(),
                         [](const std::string &pid) { return kill(std::stoi(pid), 0) != 0; });
    });
  }
};

TEST_F(Lifecycle, StartupInDependencyOrderHealthCycleReloadsAndSigtermStopsInStopOrder) {
  const std::string cycle =
      "\"CriticalHealthCheckFreqSecs\": 1, \"CriticalToAllHealthCheckFreqRatio\": 0";
  daemon_.WriteConfig("{\"EnableLivenessCheck\": false, " + cycle + ", \"LogLevel\": 5}");
  Service("db", ", \"StopBefore\": []", "AUTOMATIC");
  Service("app", ", \"DependsOn\": [\"db\"], \"StopBefore\": [\"db\"]", "AUTOMATIC");
  Service("web", ", \"DependsOn\": [\"app\"], \"StopBefore\": [\"app\"]", "AUTOMATIC");
  daemon_.WriteProfiles("{\"CRITICAL\": [\"db\"]}");       // a ratio of 0 falls back to 6
  daemon_.WriteService("bad.json", "{\"Name\": \"bad\"");  // holds nobody back
  std::string banner = daemon_.Root("banner");
  Executable("sysroot/usr/bin/banner_ctrl", "#!/bin/sh\necho \"$@\" > \"" + banner + "\"\n");
  daemon_.SetEnv("NORVANE_HUB_HOME=/opt/hub");
  daemon_.Start();
  ASSERT_TRUE(daemon_.WaitForLog("Post sentro startup command succeeded\n", seconds(15)))
      << daemon_.LogText();
  EXPECT_EQ(Journal("start"), (std::vector<std::string>{"db", "app", "web"}));
  EXPECT_TRUE(daemon_.WaitForLog("Failed to add service bad.json.\n"));
  EXPECT_EQ(ReadFile(banner), "reset\n");
  const std::string corePattern = daemon_.sysroot() + "/proc/sys/kernel/core_pattern";
  EXPECT_EQ(ReadFile(corePattern), "|/opt/hub/norvane-sentro/sentro-coredumper %e %s %p");
  const char *kCycleDone = "Successfully executed service batch operation API_HEALTH.\n";
  ASSERT_TRUE(WaitUntil([&] { return CountOf(daemon_.LogText(), kCycleDone) >= 2; }, seconds(6)))
      << daemon_.LogText();
  EXPECT_EQ(daemon_.LogText().find("Db(08) host-"), std::string::npos);

  // A level change lets debug lines pass without a logger switch.
  daemon_.WriteConfig("{" + cycle + ", \"LogLevel\": 8, \"PerformPeriodicHealthCheck\": false}");
  daemon_.Signal(SIGHUP);
  ASSERT_TRUE(daemon_.WaitForLog("Received a SIGHUP signal to reload Sentro configuration\n"));
  EXPECT_EQ(State("db").state, kStarted);
  EXPECT_TRUE(daemon_.WaitForLog("Db(08) host-")) << daemon_.LogText();
  EXPECT_TRUE(daemon_.WaitForLog("Periodic health check is disabled.\n", seconds(5)));
  daemon_.WriteConfig("{\"LogToSyslog\": tru");  // a broken file changes nothing
  daemon_.Signal(SIGHUP);
  EXPECT_TRUE(daemon_.WaitForLog("Failed to reload Sentro configuration.\n")) << daemon_.LogText();
  // To syslog: written to the old output just before it is removed, once.
  daemon_.WriteConfig("{" + cycle + ", \"LogToSyslog\": true}");
  daemon_.Signal(SIGHUP);
  EXPECT_TRUE(daemon_.WaitForLog("Switching logger. logToSyslog=1\n")) << daemon_.LogText();
  daemon_.Signal(SIGHUP);  // no change: no second switch
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(seconds(15)), 0);
  EXPECT_EQ(CountOf(daemon_.LogText(), "Switching logger"), 1u);
  EXPECT_EQ(daemon_.LogText().find("Initiating Sentro shutdown."), std::string::npos);
  EXPECT_EQ(Journal("stop"), (std::vector<std::string>{"web", "app", "db"}));
  EXPECT_TRUE(AllServicesGone());
  EXPECT_EQ(ReadFile(corePattern), "/var/core/core.%e.%p");
}

TEST_F(Lifecycle, TerminationDuringTheStartupBatchLeavesNoServiceBehind) {
  Service("slow", ", \"PreStartCommand\": \"/bin/sleep\", \"PreStartCommandArgs\": [\"0.3\"]",
          "AUTOMATIC");
  Service("after", ", \"DependsOn\": [\"slow\"]", "AUTOMATIC");
  Service("free", "", "AUTOMATIC");
  // A watchdog period under 6 s would give a heartbeat of 0 s that spins the loop.
  daemon_.WriteConfig("{\"CriticalHealthCheckFreqSecs\": 1, \"LogLevel\": 8}");
  daemon_.Start();
  ASSERT_TRUE(daemon_.WaitForLog("Executing op START on service slow")) << daemon_.LogText();
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(seconds(15)), 0) << daemon_.LogText();
  EXPECT_TRUE(AllServicesGone());
  EXPECT_EQ(CountOf(daemon_.LogText(), "Signal main thread alive"), 0u);
}

}  // namespace
