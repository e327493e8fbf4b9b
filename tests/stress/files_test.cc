// The daemon's files under stress: SIGKILL while it rewrites run-state and
// crash statistics, a full disk under the log and the metrics database, and
// definition files cut at every byte.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <regex>
#include <thread>

#include "StressFixture.h"

namespace {

TEST_F(StressTest, KillNineWhileRewritingStateLeavesEveryFileWholeAndTheDaemonStarts) {
  const std::vector<std::string> names = {"alpha", "bravo", "delta", "gamma"};
  for (const std::string &name : names) Service(name, "/bin/sleep", {"100000"});
  const std::regex wholeRunState("\\{\"StartupType\":\"(MANUAL|AUTOMATIC)\"\\}");
  const std::regex wholeStats(
      "\\{\"ApiHealthFailCount\":0,\"ProcessCrashCount\":0,\"ProcessCoredumpCount\":0\\}");
  const unsigned seed = std::random_device()();
  std::mt19937 random(seed);
  const int rounds = Scaled(20);
  int rewrites = 0, withTemporaryFile = 0;
  for (int round = 0; round < rounds; round++) {
    StartDaemon();
    ASSERT_EQ(Names(), names) << "round " << round << ", seed " << seed;
    std::atomic<bool> stop{false};
    std::atomic<int> served{0};
    std::thread client([&] {
      for (int i = 0; !stop; i++) {
        const std::string &name = names[i % names.size()];
        served += SetStartupType(name, i / names.size() % 2).succeeded();
        served += AllServices(i % 3 == 0, true).succeeded();
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 80));
    daemon_.Signal(SIGKILL);
    EXPECT_EQ(daemon_.WaitExit(), -2);
    stop = true;
    client.join();
    rewrites += served;
    for (const std::string &name : names) {
      std::string runState = daemon_.configDir() + "/svcCfgfiles/.state_" + name + ".json";
      std::string stats = daemon_.dataDir() + "/.svcStats/stats_" + name + ".json";
      for (auto [path, whole] : {std::pair{runState, &wholeRunState}, {stats, &wholeStats}}) {
        if (FileExists(path)) {
          EXPECT_TRUE(std::regex_match(ReadFile(path), *whole)) << path << ", seed " << seed;
        }
        withTemporaryFile += FileExists(path + ".tmp");
      }
    }
  }
  StartDaemon();
  EXPECT_EQ(Names(), names);
  Figure("kill -9", std::to_string(rounds) + " rounds, " + std::to_string(rewrites) +
                        " rewriting requests answered, " + std::to_string(withTemporaryFile) +
                        " temporary files seen left behind; seed " + std::to_string(seed));
}

TEST_F(StressTest, AFullDiskUnderTheLogAndTheMetricsDatabaseLeavesTheDaemonServing) {
  std::string databaseDir = daemon_.sysroot() + "/etc/norvane/norvane-sentro/telemetry/db";
  MakeDirs(databaseDir);
  ScopedTmpfs logDisk(daemon_.workDir(), "1m"), databaseDisk(databaseDir, "1m");
  if (!logDisk.mounted() || !databaseDisk.mounted()) {
    GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  }
  ASSERT_EQ(system((std::string(SENTRO_SOURCE_DIR) + "/scripts/install-telemetry-db.sh " +
                    daemon_.sysroot() + " >/dev/null")
                       .c_str()),
            0);
  Service("web", "/bin/sleep", {"100000"});
  StartDaemon();
  logDisk.Fill();
  databaseDisk.Fill();
  for (int i = 0; i < Scaled(3); i++) {
    ASSERT_TRUE(Call(MessageType::StartSvcReq, "web").succeeded()) << i;
    ASSERT_TRUE(Call(MessageType::StopSvcReq, "web").succeeded()) << i;
  }
  const Footprint full = Now();
  logDisk.Free();
  databaseDisk.Free();
  size_t logged = daemon_.LogText().size();
  ASSERT_TRUE(Call(MessageType::StartSvcReq, "web").succeeded());
  EXPECT_TRUE(WaitUntil([&] { return daemon_.LogText().size() > logged; }));
  std::string log = daemon_.LogText();
  EXPECT_NE(log.find("bytes discarded. Disk full?", logged), std::string::npos);
  EXPECT_NE(log.find("[InsertSvcsOpDataToDb] Insert operation failed."), std::string::npos);
  Figure("full disk", "while full: " + Describe(full) + "; then: " + Describe(Now()));
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(std::chrono::seconds(30)), 0);
}

TEST_F(StressTest, DefinitionsCutAtEveryByteAreRejectedByNameAndTheDaemonRuns) {
  Service("whole", "/bin/sleep", {"100000"}, ", \"DependsOn\": [], \"StopTimeout\": 5");
  const std::string text = ReadFile(daemon_.configDir() + "/svcCfgfiles/whole.json");
  for (size_t cut = 0; cut < text.size(); cut++) {
    daemon_.WriteService("cut" + std::to_string(1000 + cut) + ".json", text.substr(0, cut));
  }
  StartDaemon();
  EXPECT_EQ(Names(), std::vector<std::string>{"whole"});
  const std::string log = daemon_.LogText();
  std::vector<size_t> unnamed;
  for (size_t cut = 0; cut < text.size(); cut++) {
    if (log.find("cut" + std::to_string(1000 + cut) + ".json") == std::string::npos) {
      unnamed.push_back(cut);
    }
  }
  EXPECT_TRUE(unnamed.empty()) << "no message names the file cut at byte " << unnamed[0];
  Figure("cut definitions",
         std::to_string(text.size()) + " cut files rejected; " + Describe(Now()));
}

}  // namespace
