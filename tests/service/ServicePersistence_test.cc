// The run-state and crash statistics files: where they lie, their exact
// content, how they are read back, and what happens when they cannot be
// written or read.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "ServiceFixture.h"
#include "lib/log/log.h"

using servicetest::Logged;

namespace {

class ServicePersistenceTest : public ServiceFixture {
 protected:
  std::string StatePath(const std::string &file) {
    return configDir_ + "/svcCfgfiles/.state_" + file;
  }
  std::string StatsPath(const std::string &file) { return dataDir_ + "/.svcStats/stats_" + file; }
};

TEST_F(ServicePersistenceTest, StartupTypeChangeIsWrittenCompactlyAndSurvivesARestart) {
  auto service = Create("a.json", R"({"Name":"alpha","StartCommand":"/bin/a"})");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->SetStartupType(StartupType::Manual), Ok);
  EXPECT_EQ(ReadFile(StatePath("a.json")), R"({"StartupType":"MANUAL"})");
  EXPECT_FALSE(FileExists(StatePath("a.json") + ".tmp"));
  EXPECT_TRUE(
      Logged(LOG_DEBUG, "<alpha> Save service run-state to file " + StatePath("a.json") + "\n"));
  EXPECT_TRUE(Logged(LOG_INFO, "<alpha> Changed startup type of service to MANUAL.\n"));
  EXPECT_EQ(service->request(), ReqNone);

  service.reset();  // the daemon restarts
  auto again = CreateService("a.json");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->startupType(), StartupType::Manual);
}

TEST_F(ServicePersistenceTest, SettingTheSameStartupTypeWritesNothing) {
  auto service = Create("a.json", R"({"Name":"alpha","StartCommand":"/bin/a"})");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->SetStartupType(StartupType::Automatic), Ok);
  EXPECT_FALSE(FileExists(StatePath("a.json")));
}

TEST_F(ServicePersistenceTest, FailedRunStateWriteRestoresTheOldStartupType) {
  auto service = Create("a.json", R"({"Name":"alpha","StartCommand":"/bin/a"})");
  ASSERT_NE(service, nullptr);
  // A non-empty directory where the file should go: the rename fails.
  MakeDirs(StatePath("a.json") + "/blocker");
  EXPECT_EQ(service->SetStartupType(StartupType::Manual), Failed);
  EXPECT_EQ(service->startupType(), StartupType::Automatic);
  EXPECT_TRUE(Logged(LOG_ERROR,
                     "<alpha> Failed to rename tmp file. Service cfg a.json, Error Is a "
                     "directory\n"));
  EXPECT_TRUE(Logged(LOG_ERROR, "<alpha> Failed to change startup type of service to MANUAL\n"));
  EXPECT_EQ(service->request(), ReqNone);
}

TEST_F(ServicePersistenceTest, RunStateWriterThatCannotOpenReportsTheTemporaryFile) {
  auto service = Create("a.json", R"({"Name":"alpha","StartCommand":"/bin/a"})");
  ASSERT_NE(service, nullptr);
  MakeDirs(StatePath("a.json") + ".tmp");
  EXPECT_EQ(service->SetRunAsUser("nobody"), Failed);
  EXPECT_TRUE(Logged(LOG_ERROR, "<alpha> Failed to initialize config writer. File " +
                                    StatePath("a.json") + ".tmp\n"));
  EXPECT_TRUE(Logged(LOG_ERROR, "<alpha> Failed to set Run as User for service to nobody.\n"));
  EXPECT_EQ(service->definition().runAsUser, "");
}

TEST_F(ServicePersistenceTest, RunAsUserChangeWritesOnlyTheStartupType) {
  auto service = Create("a.json", R"({"Name":"alpha","StartCommand":"/bin/a",
                                      "RunAsUser":"svc"})");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->SetRunAsUser("nobody"), Ok);
  EXPECT_EQ(service->definition().runAsUser, "nobody");
  EXPECT_EQ(service->EffectiveRunAsUser(), "nobody");
  EXPECT_TRUE(Logged(LOG_INFO, "<alpha> Run as User for service changed to nobody.\n"));
  EXPECT_EQ(ReadFile(StatePath("a.json")), R"({"StartupType":"AUTOMATIC"})");
  // The next start reads the definition again and with it the file's user.
  service->SetStart(nullptr, nullptr);
  EXPECT_EQ(service->definition().runAsUser, "svc");
  EXPECT_EQ(Main("alpha")->options.runAsUser, "svc");
}

TEST_F(ServicePersistenceTest, CrashStatisticsRoundTrip) {
  auto service = Create("a.json", R"({"Name":"alpha","StartCommand":"/bin/a"})");
  ASSERT_NE(service, nullptr);
  service->failCounters() = {2, 3, -4};
  EXPECT_TRUE(service->SaveCrashStats());
  EXPECT_EQ(ReadFile(StatsPath("a.json")),
            R"({"ApiHealthFailCount":2,"ProcessCrashCount":3,"ProcessCoredumpCount":-4})");
  EXPECT_FALSE(FileExists(StatsPath("a.json") + ".tmp"));
  EXPECT_TRUE(Logged(LOG_DEBUG,
                     "<alpha> Save service crash stats to file " + StatsPath("a.json") + ".tmp\n"));
  service.reset();
  auto again = CreateService("a.json");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->failCounters().apiHealthFail, 2);
  EXPECT_EQ(again->failCounters().processCrash, 3);
  EXPECT_EQ(again->failCounters().processCoredump, -4);
}

TEST_F(ServicePersistenceTest, CrashStatisticsKeysMissingOrMistypedLeaveCountersAtZero) {
  WriteFile(StatsPath("a.json"), R"({"ProcessCrashCount":7,"ApiHealthFailCount":"9"})");
  auto service = Create("a.json", R"({"Name":"alpha","StartCommand":"/bin/a"})");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->failCounters().processCrash, 7);
  EXPECT_EQ(service->failCounters().apiHealthFail, 0);
  EXPECT_EQ(service->failCounters().processCoredump, 0);
}

TEST_F(ServicePersistenceTest, CorruptStatisticsFileIsRemovedAndTheServiceStillLoads) {
  WriteFile(StatsPath("a.json"), "{garbage");
  auto service = Create("a.json", R"({"Name":"alpha","StartCommand":"/bin/a"})");
  ASSERT_NE(service, nullptr);
  EXPECT_FALSE(FileExists(StatsPath("a.json")));
  EXPECT_TRUE(
      Logged(LOG_WARNING, "Stats file " + StatsPath("a.json") + " corrupted , hence removed !\n"));
  EXPECT_EQ(service->failCounters().processCrash, 0);
}

TEST_F(ServicePersistenceTest, StatisticsAreReadOnlyOnTheFirstLoad) {
  auto service = Create("a.json", R"({"Name":"alpha","StartCommand":"/bin/a"})");
  ASSERT_NE(service, nullptr);
  WriteFile(StatsPath("a.json"), R"({"ProcessCrashCount":7})");
  EXPECT_TRUE(service->ReloadConfig());
  EXPECT_EQ(service->failCounters().processCrash, 0);
}

TEST_F(ServicePersistenceTest, MissingStatisticsDirectoryMakesSavesFail) {
  ASSERT_EQ(rmdir((dataDir_ + "/.svcStats").c_str()), 0);
  auto service = Create("a.json", R"({"Name":"alpha","StartCommand":"/bin/a"})");
  ASSERT_NE(service, nullptr);  // a load finds no file
  EXPECT_FALSE(service->SaveCrashStats());
  std::string tmp = StatsPath("a.json") + ".tmp";
  EXPECT_TRUE(
      Logged(LOG_ERROR, "Failed to open file " + tmp + ". Error: No such file or directory\n"));
  EXPECT_TRUE(Logged(LOG_ERROR, "<alpha> Failed to initialize config writer. File: " + tmp + "\n"));
}

TEST_F(ServicePersistenceTest, StatisticsThatCannotBeLookedAtRejectTheService) {
  ASSERT_EQ(rmdir((dataDir_ + "/.svcStats").c_str()), 0);
  WriteFile(dataDir_ + "/.svcStats", "a file, not a directory");
  EXPECT_EQ(Create("a.json", R"({"Name":"alpha","StartCommand":"/bin/a"})"), nullptr);
  EXPECT_TRUE(Logged(LOG_WARNING, "Failed to load svcStatsFile " + StatsPath("a.json") +
                                      ". Error: Not a directory\n"));
}

TEST_F(ServicePersistenceTest, StatisticsRenameFailureKeepsTheTemporaryFile) {
  auto service = Create("a.json", R"({"Name":"alpha","StartCommand":"/bin/a"})");
  ASSERT_NE(service, nullptr);
  MakeDirs(StatsPath("a.json") + "/blocker");
  EXPECT_FALSE(service->SaveCrashStats());
  std::string tmp = StatsPath("a.json") + ".tmp";
  EXPECT_TRUE(FileExists(tmp));
  EXPECT_TRUE(
      Logged(LOG_ERROR, "<alpha> Failed to rename tmp file " + tmp + ". Error: Is a directory\n"));
}

}  // namespace
