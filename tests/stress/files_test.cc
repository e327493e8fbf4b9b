// The daemon's files under stress: SIGKILL while it rewrites run-state and
// crash statistics, a full disk under the log and the metrics database, and
// definition files cut at every byte.
#include <fcntl.h>
#include <signal.h>
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
      for (int i = 0; !stop; i++) {
        RequestMessage request;
        request.type = MessageType::SetSvcStateReq;
        request.name = names[i % names.size()];
        request.startupType = i / names.size() % 2;
        served += Call(request).succeeded() + AllServices(i % 3 == 0, true).succeeded();
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
    EXPECT_TRUE(AllServices(true, true).succeeded());
    return std::to_string(rounds) + " rounds, " + std::to_string(rewrites) +
           " rewriting requests answered, " + std::to_string(leftovers) +
           " temporary files seen left behind; seed " + std::to_string(seed);
  });
}

// A tmpfs of 1 MiB mounted on an existing directory for the life of the
// object; mounted is false where mounting is not allowed.
struct ScopedTmpfs {
  explicit ScopedTmpfs(const std::string &directory)
      : directory(directory),
        mounted(mount("tmpfs", directory.c_str(), "tmpfs", 0, "size=1m") == 0) {}
  ~ScopedTmpfs() {
    if (mounted) umount2(directory.c_str(), MNT_DETACH);
  }
  // Writes one file until writes fail with ENOSPC.
  void Fill() const {
    int fd = open((directory + "/filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    std::string block(4096, 'x');
    for (int i = 0; i < 1 << 20 && write(fd, block.data(), block.size()) > 0; i++) {
    }
    while (write(fd, "x", 1) > 0) {
    }
    close(fd);
  }
  void Free() const { unlink((directory + "/filler").c_str()); }
  std::string directory;
  bool mounted;
};

TEST_F(StressTest, AFullDiskUnderTheLogAndTheMetricsDatabaseLeavesTheDaemonServing) {
  std::string databaseDir = daemon_.sysroot() + "/etc/norvane/norvane-sentro/telemetry/db";
  MakeDirs(databaseDir);
  ScopedTmpfs logDisk(daemon_.workDir()), databaseDisk(databaseDir);
  if (!logDisk.mounted || !databaseDisk.mounted) {
    GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  }
  ASSERT_EQ(system((std::string(SENTRO_SOURCE_DIR) + "/scripts/install-telemetry-db.sh " +
                    daemon_.sysroot() + " >/dev/null")
                       .c_str()),
            0);
  Service("web");
  StartDaemon();
  Measured("full disk", [&] {
    logDisk.Fill();
    databaseDisk.Fill();
    for (int i = 0; i < Scaled(3); i++) {
      EXPECT_TRUE(Call(MessageType::StartSvcReq, "web").succeeded()) << i;
      EXPECT_TRUE(Call(MessageType::StopSvcReq, "web").succeeded()) << i;
    }
    const Footprint full = Now();
    logDisk.Free();
    databaseDisk.Free();
    size_t logged = daemon_.LogText().size();
    EXPECT_TRUE(Call(MessageType::StartSvcReq, "web").succeeded());
    EXPECT_TRUE(WaitUntil([&] { return daemon_.LogText().size() > logged; }));
    std::string log = daemon_.LogText();
    EXPECT_NE(log.find("bytes discarded. Disk full?", logged), std::string::npos);
    EXPECT_NE(log.find("[InsertSvcsOpDataToDb] Insert operation failed."), std::string::npos);
    return "while full: " + Describe(full);
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
    for (size_t cut = 0; cut < text.size(); cut++) {
      EXPECT_NE(log.find(cutFile(cut)), std::string::npos)
          << "no message names the file cut at byte " << cut;
    }
    return std::to_string(text.size()) + " cut files rejected";
  });
}

}  // namespace
