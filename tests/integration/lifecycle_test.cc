// The daemon's whole life on real processes: the startup profile comes up in
// dependency order followed by the post-startup command, SIGHUP reloads, the
// health cycle runs, and a termination signal stops every service in stop
// order and ends the daemon with status 0.
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DaemonFixture.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class Lifecycle : public DaemonTest {
 protected:
  void Automatic(const std::string &name, const std::string &extra = "") {
    Service(name, extra, "AUTOMATIC");
  }

  // The journal's lines of one kind: the service names, or with pids the
  // started processes' pids.
  std::vector<std::string> Journal(const std::string &kind, bool pids = false) const {
    std::vector<std::string> found;
    std::istringstream lines(ReadFile(JournalPath()));
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string word, name, pid;
      fields >> word >> name >> pid;
      if (word == kind) {
        found.push_back(pids ? pid : name);
      }
    }
    return found;
  }

  bool AllServicesGone() const {
    return WaitUntil(
        [&] {
          for (const std::string &pid : Journal("start", true)) {
            if (kill(std::stoi(pid), 0) == 0 || errno != ESRCH) {
              return false;
            }
          }
          return true;
        },
        seconds(3));
  }

  std::string CorePattern() const {
    return ReadFile(daemon_.sysroot() + "/proc/sys/kernel/core_pattern");
  }
};

TEST_F(Lifecycle, StartupProfileComesUpInDependencyOrderAndSigtermStopsItInStopOrder) {
  Automatic("db", ", \"StopBefore\": []");
  Automatic("app", ", \"DependsOn\": [\"db\"], \"StopBefore\": [\"db\"]");
  Automatic("web", ", \"DependsOn\": [\"app\"], \"StopBefore\": [\"app\"]");
  // Neither a broken definition nor a cycle holds the others back.
  daemon_.WriteService("bad.json", "{\"Name\": \"bad\"");
  Automatic("a", ", \"DependsOn\": [\"b\"]");
  Automatic("b", ", \"DependsOn\": [\"a\"]");
  std::string banner = daemon_.Root("banner");
  Executable("sysroot/usr/bin/banner_ctrl", "#!/bin/sh\necho \"$@\" > \"" + banner + "\"\n");
  daemon_.SetEnv("NORVANE_HUB_HOME=/opt/hub");
  daemon_.Start();
  ASSERT_TRUE(
      daemon_.WaitForLog("Successfully executed service batch operation START.", seconds(15)))
      << daemon_.LogText();
  EXPECT_EQ(Journal("start"), (std::vector<std::string>{"db", "app", "web"}));
  std::string log = daemon_.LogText();
  EXPECT_NE(log.find("Failed to add service bad.json.\n"), std::string::npos);
  EXPECT_NE(log.find("Following dependency b <-> a introduces a cycle.\n"), std::string::npos);
  ASSERT_TRUE(daemon_.WaitForLog("Post sentro startup command succeeded\n")) << daemon_.LogText();
  EXPECT_EQ(ReadFile(banner), "reset\n");
  EXPECT_EQ(CorePattern(), "|/opt/hub/norvane-sentro/sentro-coredumper %e %s %p");
  // The daemon locks all its memory: libcurl and OpenSSL would pin megabytes
  // and cannot be unloaded, so the push and the FIPS query run in children.
  std::string maps = ReadFile("/proc/" + std::to_string(daemon_.pid()) + "/maps");
  ASSERT_FALSE(maps.empty());
  for (const char *library : {"libcurl", "libssl", "libcrypto"}) {
    EXPECT_EQ(maps.find(library), std::string::npos) << library;
  }

  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(seconds(15)), 0) << daemon_.LogText();
  EXPECT_EQ(Journal("stop"), (std::vector<std::string>{"web", "app", "db"}));
  EXPECT_TRUE(AllServicesGone());
  EXPECT_NE(daemon_.LogText().find("Executing service batch op STOP. IgnoreFail=1"),
            std::string::npos);
  EXPECT_EQ(CorePattern(), "/var/core/core.%e.%p");
}

TEST_F(Lifecycle, TerminationDuringTheStartupBatchLeavesNoServiceBehind) {
  Automatic("slow", ", \"PreStartCommand\": \"/bin/sleep\", \"PreStartCommandArgs\": [\"0.3\"]");
  Automatic("after", ", \"DependsOn\": [\"slow\"]");
  Automatic("free");
  daemon_.Start();
  ASSERT_TRUE(daemon_.WaitForLog("Executing op START on service slow")) << daemon_.LogText();
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(seconds(15)), 0) << daemon_.LogText();
  EXPECT_TRUE(AllServicesGone());
}

// One daemon through a series of reloads: a level change, a broken file, and
// a switch to syslog; the health cycle follows the reloaded settings.
TEST_F(Lifecycle, SighupReloadsTheConfigurationAndTheHealthCycleFollows) {
  const std::string cycle =
      "\"EnableLivenessCheck\": false, \"CriticalHealthCheckFreqSecs\": 1,"
      " \"CriticalToAllHealthCheckFreqRatio\": 2";
  daemon_.WriteConfig("{" + cycle + ", \"LogLevel\": 5}");
  daemon_.WriteProfiles("{\"CRITICAL\": []}");
  Automatic("one");
  daemon_.Start();
  ASSERT_TRUE(daemon_.WaitForLog("<one> Service STARTED successfully.")) << daemon_.LogText();

  // Cycles alternate the ALL and CRITICAL groups, each armed after the last.
  EXPECT_TRUE(WaitUntil(
      [&] {
        return CountOf(daemon_.LogText(),
                       "Successfully executed service batch operation API_HEALTH.\n") >= 3;
      },
      seconds(6)));
  EXPECT_EQ(daemon_.LogText().find("Db(08) host-"), std::string::npos);

  // A level change: debug lines now pass (a list request logs one), and the
  // logger is not switched for it. The cycle now skips the checks.
  daemon_.WriteConfig("{" + cycle + ", \"LogLevel\": 8, \"PerformPeriodicHealthCheck\": false}");
  daemon_.Signal(SIGHUP);
  ASSERT_TRUE(daemon_.WaitForLog("Received a SIGHUP signal to reload Sentro configuration\n"));
  EXPECT_TRUE(Serves());
  EXPECT_TRUE(daemon_.WaitForLog("Db(08) host-")) << daemon_.LogText();
  EXPECT_TRUE(daemon_.WaitForLog("Received request to get services list\n"));
  EXPECT_TRUE(daemon_.WaitForLog("Periodic health check is disabled.\n", seconds(5)));
  EXPECT_EQ(daemon_.LogText().find("Switching logger"), std::string::npos);

  // A broken file keeps everything: the file output still receives the
  // switch message below.
  daemon_.WriteConfig("{\"LogToSyslog\": tru");
  daemon_.Signal(SIGHUP);
  EXPECT_TRUE(daemon_.WaitForLog("Failed to reload Sentro configuration.\n")) << daemon_.LogText();

  // To syslog: written to the old output just before it is removed, once.
  daemon_.WriteConfig("{" + cycle + ", \"LogToSyslog\": true}");
  daemon_.Signal(SIGHUP);
  EXPECT_TRUE(daemon_.WaitForLog("Switching logger. logToSyslog=1\n")) << daemon_.LogText();
  daemon_.Signal(SIGHUP);  // no change: no second switch
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(), 0);
  std::string log = daemon_.LogText();
  EXPECT_EQ(CountOf(log, "Switching logger"), 1u);
  EXPECT_EQ(log.find("Initiating Sentro shutdown."), std::string::npos)
      << "after the switch the file no longer receives messages";
}

// Values outside the documented ranges must not take the daemon down: a
// ratio of 0 once divided by zero, and a liveness period under 6 s gave a
// heartbeat timer of 0 s that spun the loop.
TEST_F(Lifecycle, OutOfRangeCycleSettingsNeitherCrashNorSpin) {
  daemon_.WriteConfig(
      "{\"EnableLivenessCheck\": true, \"CriticalHealthCheckFreqSecs\": 1,"
      " \"CriticalToAllHealthCheckFreqRatio\": 0}");
  Automatic("one");
  daemon_.Start();
  ASSERT_TRUE(WaitUntil(
      [&] {
        return CountOf(daemon_.LogText(),
                       "Successfully executed service batch operation API_HEALTH.\n") >= 2;
      },
      seconds(6)))
      << daemon_.LogText();
  std::string stat = ReadFile("/proc/" + std::to_string(daemon_.pid()) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) {
      ticks += std::stol(field);  // utime, stime
    }
  }
  EXPECT_LT(ticks, sysconf(_SC_CLK_TCK)) << "more than a second of CPU in about three";
  EXPECT_TRUE(Serves());
}

}  // namespace
