// The run-state and crash statistics files: where they lie, their exact
// content, how they are read back, and what happens when they cannot be
// written or read.
#include <unistd.h>

#include "ServiceFixture.h"
#include "lib/log/log.h"

using servicetest::Logged;

namespace {

class ServicePersistenceTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    WriteDefinition("a.json", R"({"Name":"alpha","StartCommand":"/bin/a","RunAsUser":"svc"})");
  }
  std::string StatePath() { return configDir_ + "/svcCfgfiles/.state_a.json"; }
  std::string StatsPath() { return dataDir_ + "/.svcStats/stats_a.json"; }
};

TEST_F(ServicePersistenceTest, StartupTypeChangeIsWrittenCompactlyAndSurvivesARestart) {
  auto service = CreateService("a.json");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->SetStartupType(StartupType::Automatic), Ok);
  EXPECT_FALSE(FileExists(StatePath()));  // no change, nothing written

  EXPECT_EQ(service->SetStartupType(StartupType::Manual), Ok);
  EXPECT_EQ(ReadFile(StatePath()), R"({"StartupType":"MANUAL"})");
  EXPECT_FALSE(FileExists(StatePath() + ".tmp"));
  EXPECT_TRUE(Logged(LOG_DEBUG, "<alpha> Save service run-state to file " + StatePath() + "\n"));
  EXPECT_TRUE(Logged(LOG_INFO, "<alpha> Changed startup type of service to MANUAL.\n"));
  EXPECT_EQ(service->request(), ReqNone);

  service.reset();  // the daemon restarts
  auto again = CreateService("a.json");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->startupType(), StartupType::Manual);
}

TEST_F(ServicePersistenceTest, FailedRunStateWriteKeepsTheOldValue) {
  auto service = CreateService("a.json");
  ASSERT_NE(service, nullptr);
  // A non-empty directory where the file should go: the rename fails.
  MakeDirs(StatePath() + "/blocker");
  EXPECT_EQ(service->SetStartupType(StartupType::Manual), Failed);
  EXPECT_EQ(service->startupType(), StartupType::Automatic);
  EXPECT_TRUE(Logged(
      LOG_ERROR, "<alpha> Failed to rename tmp file. Service cfg a.json, Error Is a directory\n"));
  EXPECT_TRUE(Logged(LOG_ERROR, "<alpha> Failed to change startup type of service to MANUAL\n"));
  EXPECT_EQ(service->request(), ReqNone);

  // A directory where the temporary file should go: the writer cannot open.
  ASSERT_EQ(unlink((StatePath() + ".tmp").c_str()), 0);
  MakeDirs(StatePath() + ".tmp");
  EXPECT_EQ(service->SetRunAsUser("nobody"), Failed);
  EXPECT_TRUE(Logged(LOG_ERROR,
                     "<alpha> Failed to initialize config writer. File " + StatePath() + ".tmp\n"));
  EXPECT_TRUE(Logged(LOG_ERROR, "<alpha> Failed to set Run as User for service to nobody.\n"));
  EXPECT_EQ(service->definition().runAsUser, "svc");
}

TEST_F(ServicePersistenceTest, RunAsUserChangeWritesOnlyTheStartupType) {
  auto service = CreateService("a.json");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->SetRunAsUser("nobody"), Ok);
  EXPECT_EQ(service->EffectiveRunAsUser(), "nobody");
  EXPECT_TRUE(Logged(LOG_INFO, "<alpha> Run as User for service changed to nobody.\n"));
  EXPECT_EQ(ReadFile(StatePath()), R"({"StartupType":"AUTOMATIC"})");
  // The next start reads the definition again and with it the file's user.
  service->SetStart(nullptr, nullptr);
  EXPECT_EQ(Main("alpha")->options.runAsUser, "svc");
}

TEST_F(ServicePersistenceTest, CrashStatisticsRoundTrip) {
  auto service = CreateService("a.json");
  ASSERT_NE(service, nullptr);
  service->failCounters() = {2, 3, -4};
  EXPECT_TRUE(service->SaveCrashStats());
  EXPECT_EQ(ReadFile(StatsPath()),
            R"({"ApiHealthFailCount":2,"ProcessCrashCount":3,"ProcessCoredumpCount":-4})");
  EXPECT_FALSE(FileExists(StatsPath() + ".tmp"));
  EXPECT_TRUE(
      Logged(LOG_DEBUG, "<alpha> Save service crash stats to file " + StatsPath() + ".tmp\n"));
  service.reset();
  auto again = CreateService("a.json");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->failCounters().apiHealthFail, 2);
  EXPECT_EQ(again->failCounters().processCrash, 3);
  EXPECT_EQ(again->failCounters().processCoredump, -4);

  // Read on the first load only.
  WriteFile(StatsPath(), R"({"ProcessCrashCount":7})");
  EXPECT_TRUE(again->ReloadConfig());
  EXPECT_EQ(again->failCounters().processCrash, 3);
}

TEST_F(ServicePersistenceTest, UnreadableStatisticsLeaveCountersAtZero) {
  // Missing or mistyped keys leave their counter alone.
  WriteFile(StatsPath(), R"({"ProcessCrashCount":7,"ApiHealthFailCount":"9"})");
  auto service = CreateService("a.json");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->failCounters().processCrash, 7);
  EXPECT_EQ(service->failCounters().apiHealthFail, 0);
  EXPECT_EQ(service->failCounters().processCoredump, 0);

  // A corrupt file is removed and the service still loads.
  WriteFile(StatsPath(), "{garbage");
  service = CreateService("a.json");
  ASSERT_NE(service, nullptr);
  EXPECT_FALSE(FileExists(StatsPath()));
  EXPECT_TRUE(Logged(LOG_WARNING, "Stats file " + StatsPath() + " corrupted , hence removed !\n"));
  EXPECT_EQ(service->failCounters().processCrash, 0);
}

TEST_F(ServicePersistenceTest, StatisticsWriteFailuresAreReported) {
  ASSERT_EQ(rmdir((dataDir_ + "/.svcStats").c_str()), 0);
  auto service = CreateService("a.json");
  ASSERT_NE(service, nullptr);  // a load finds no file
  std::string tmp = StatsPath() + ".tmp";
  EXPECT_FALSE(service->SaveCrashStats());
  EXPECT_TRUE(
      Logged(LOG_ERROR, "Failed to open file " + tmp + ". Error: No such file or directory\n"));
  EXPECT_TRUE(Logged(LOG_ERROR, "<alpha> Failed to initialize config writer. File: " + tmp + "\n"));

  MakeDirs(StatsPath() + "/blocker");
  EXPECT_FALSE(service->SaveCrashStats());
  EXPECT_TRUE(FileExists(tmp));
  EXPECT_TRUE(
      Logged(LOG_ERROR, "<alpha> Failed to rename tmp file " + tmp + ". Error: Is a directory\n"));
}

TEST_F(ServicePersistenceTest, StatisticsThatCannotBeLookedAtRejectTheService) {
  ASSERT_EQ(rmdir((dataDir_ + "/.svcStats").c_str()), 0);
  WriteFile(dataDir_ + "/.svcStats", "a file, not a directory");
  EXPECT_EQ(CreateService("a.json"), nullptr);
  EXPECT_TRUE(Logged(LOG_WARNING,
                     "Failed to load svcStatsFile " + StatsPath() + ". Error: Not a directory\n"));
}

}  // namespace
