// The daemon's files under stress: SIGKILL while it rewrites run-state and
// crash statistics, a full disk under the log and the metrics database, and
// definition files cut at every byte.
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <regex>
#include <thread>

#include "StressFixture.h"

namespace {

TEST_F(StressTest, KillNineWhileRewritingStateLeavesEveryFileWholeAndTheDaemonStarts) {
  const std::vector<std::string> names = {"alpha", "bravo", "delta", "gamma"};
  for (const std::string &name : names) Service(name);
  const std::regex wholeRunState("\\{\"StartupType\":\"(MANUAL|AUTOMATIC)\"\\}");
  const std::regex wholeStats(
      "\\{\"ApiHealthFailCount\":0,\"ProcessCrashCount\":0,\"ProcessCoredumpCount\":0\\}");
  const unsigned seed = std::random_device()();
  std::mt19937 random(seed);
  const int rounds = Scaled(20);
  int rewrites = 0, leftovers = 0;
  for (int round = 0; round < rounds; round++) {
    StartDaemon();
    ASSERT_EQ(Names(), names) << "round " << round << ", seed " << seed;
    std::atomic<bool> stop{false};
    std::atomic<int> served{0};
    std::thread client([&] {
      for (uint32_t i = 0; !stop; i++) {
        served += Call({.type = MessageType::SetSvcStateReq,
                        .name = names[i % names.size()],
                        .startupType = static_cast<uint32_t>(i / names.size() % 2)})
                      .succeeded() +
                  Call({.type = MessageType::AllSvcsControlReq,
                        .flags = {.resetFailCounters = i % 3 == 0, .saveCrashStats = true}})
                      .succeeded();
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 80));
    daemon_.Signal(SIGKILL);
    EXPECT_EQ(daemon_.WaitExit(), -2);
    stop = true;
    client.join();
    rewrites += served;
    for (const std::string &name : names) {
      for (auto [path, whole] :
           {std::pair{daemon_.configDir() + "/svcCfgfiles/.state_" + name + ".json",
                      &wholeRunState},
            {daemon_.dataDir() + "/.svcStats/stats_" + name + ".json", &wholeStats}}) {
        EXPECT_TRUE(!FileExists(path) || std::regex_match(ReadFile(path), *whole))
            << path << ", seed " << seed;
        leftovers += FileExists(path + ".tmp");
      }
    }
  }
  StartDaemon();
  Measured("kill -9", [&] {
    EXPECT_EQ(Names(), names);
    EXPECT_TRUE(Call({.type = MessageType::AllSvcsControlReq,
                      .flags = {.resetFailCounters = true, .saveCrashStats = true}})
                    .succeeded());
    return std::to_string(rounds) + " rounds, " + std::to_string(rewrites) +
           " rewriting requests answered, " + std::to_string(leftovers) +
           " temporary files seen left behind; seed " + std::to_string(seed);
  });
}

// A tmpfs of 1 MiB mounted on an existing directory for the life of the
// object; mounted is false where mounting is not allowed. Fill writes a
// file until the disk is full.
struct ScopedTmpfs {
  explicit ScopedTmpfs(const std::string &directory)
      : filler(directory + "/filler"),
        mounted(mount("tmpfs", directory.c_str(), "tmpfs", 0, "size=1m") == 0) {}
  ~ScopedTmpfs() {
    if (mounted) umount2(filler.substr(0, filler.rfind('/')).c_str(), MNT_DETACH);
  }
  void Fill() const { system(("head -c 2M /dev/zero > " + filler + " 2>/dev/null").c_str()); }
  std::string filler;
  bool mounted;
};

TEST_F(StressTest, AFullDiskUnderTheLogAndTheMetricsDatabaseLeavesTheDaemonServing) {
  std::string databaseDir = daemon_.sysroot() + "/etc/norvane/norvane-sentro/telemetry/db";
  MakeDirs(databaseDir);
  ScopedTmpfs logDisk(daemon_.workDir()), databaseDisk(databaseDir);
  if (!logDisk.mounted || !databaseDisk.mounted)
    GTEST_SKIP() << "mounting a tmpfs is not permitted";
  ASSERT_EQ(system((std::string(SENTRO_SOURCE_DIR) + "/scripts/install-telemetry-db.sh " +
                    daemon_.sysroot() + " >/dev/null")
                       .c_str()),
            0);
  Service("web");
  StartDaemon();
  RequestMessage start{.type = MessageType::StartSvcReq, .name = "web"}, stop = start;
  stop.type = MessageType::StopSvcReq;
  Measured("full disk", [&] {
    logDisk.Fill();
    databaseDisk.Fill();
    for (int i = 0; i < Scaled(3); i++) {
      EXPECT_TRUE(Call(start).succeeded()) << i;
      EXPECT_TRUE(Call(stop).succeeded()) << i;
    }
    const Footprint full(daemon_.pid());
    unlink(logDisk.filler.c_str());
    unlink(databaseDisk.filler.c_str());
    size_t logged = daemon_.LogText().size();
    EXPECT_TRUE(Call(start).succeeded());
    EXPECT_TRUE(WaitUntil([&] { return daemon_.LogText().size() > logged; }));
    std::string log = daemon_.LogText();
    EXPECT_NE(log.find("bytes discarded. Disk full?", logged), std::string::npos);
    EXPECT_NE(log.find("[InsertSvcsOpDataToDb] Insert operation failed."), std::string::npos);
    return "while full: " + full.Text();
  });
}

TEST_F(StressTest, DefinitionsCutAtEveryByteAreRejectedByNameAndTheDaemonRuns) {
  Service("whole", ", \"DependsOn\": [], \"StopTimeout\": 5");
  const std::string text = ReadFile(daemon_.configDir() + "/svcCfgfiles/whole.json");
  auto cutFile = [](size_t cut) { return "cut" + std::to_string(1000 + cut) + ".json"; };
  for (size_t cut = 0; cut < text.size(); cut++)
    daemon_.WriteService(cutFile(cut), text.substr(0, cut));
  StartDaemon();
  Measured("cut definitions", [&] {
    EXPECT_EQ(Names(), std::vector<std::string>{"whole"});
    const std::string log = daemon_.LogText();
    for (size_t cut = 0; cut < text.size(); cut++)
      EXPECT_NE(log.find(cutFile(cut)), std::string::npos) << "the file cut at byte " << cut;
    return std::to_string(text.size()) + " cut files rejected";
  });
}

}  // namespace
