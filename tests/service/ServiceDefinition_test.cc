// The definition file and the files that persist a service's state: what is
// read, what rejects a file, what a reload keeps, and torn or missing files.
#include <stdlib.h>

#include "ServiceFixture.h"
#include "lib/log/log.h"

namespace {

TEST_F(ServiceTest, KeysAreReadWithExpansionAndBadTimeoutsFallBackToTheDefaults) {
  setenv("SVCTEST_ROOT", "/opt", 1);
  auto service = Make("a", R"("RunAsUser": "%SVCTEST_ROOT%", "RunApiHealthCmdAsUser": "%X%",
      "StartTimeout": 0, "StopTimeout": "5", "PostStopTimeout": 4, "StopSignal": "SIGKILL",
      "DependsOn": ["b"], "StopBefore": ["c"], "CleanExitCodes": [0, 143])");
  ASSERT_NE(service, nullptr);
  const ServiceDefinition &d = service->definition();
  EXPECT_EQ(d.runAsUser + d.runApiHealthCmdAsUser, "/opt%X%");
  EXPECT_EQ(std::vector<int32_t>({d.startTimeout, d.stopTimeout, d.postStopTimeout, d.stopSignal}),
            (std::vector<int32_t>{30, 10, 4, 15}));
  EXPECT_EQ(service->dependsOn()[0] + service->stopBefore()[0], "bc");
  EXPECT_EQ(d.cleanExitCodes, (std::vector<int32_t>{0, 143}));
  WriteDefinition("a", R"("StartCommandArgs": ["new"])");  // each requested start reads it
  service->SetStart(nullptr, nullptr);
  EXPECT_EQ(Main("a")->args, std::vector<std::string>{"new"});
  EXPECT_TRUE(
      log_.Has(LOG_WARNING,
               "StarTimeout value must be greater than 0 and less than or equal to 2147483647\n"));
}

TEST_F(ServiceTest, RejectedFilesSayWhy) {
  const struct {
    const char *file, *json, *runState;
    std::string message;
  } cases[] = {
      // clang-format off
      {"n.json", R"({"StartCommand": "/bin/x"})",          "",     "Mandatory field 'Name' missing: n.json\n"},
      {"c.json", R"({"Name": "c"})",                       "",     "Mandatory field 'StartCommand' missing c.json\n"},
      {"b.json", "{\"Name\": ",                            "",     "Invalid service config file: b.json\n"},
      {"s.json", R"({"Name":"s","Type":"MUX_SERVLET"})",   "",     "Mandatory field MuxServerName missing. s.json\n"},
      {"r.json", R"({"Name":"r","StartCommand":"/r"})",    "torn", "Invalid Json formatted file " + configDir_ + "/svcCfgfiles/.state_r.json\n"},
      // clang-format on
  };
  for (const auto &c : cases) {
    WriteFile(configDir_ + "/svcCfgfiles/" + c.file, c.json);
    if (*c.runState) {
      WriteFile(configDir_ + "/svcCfgfiles/.state_" + c.file, c.runState);
    }
    EXPECT_EQ(CreateService(c.file, &env_), nullptr) << c.message;
    EXPECT_TRUE(log_.Has(LOG_ERROR, c.message)) << c.message;
  }
}

TEST_F(ServiceTest, ReloadKeepsOnceOnlyKeysAndSurvivesABrokenFileAndTheRunStateOverrides) {
  WriteFile(configDir_ + "/svcCfgfiles/.state_e.json", R"({"StartupType":"DISABLED"})");
  auto service = Make("e", R"("DependsOn": ["x"], "StartTimeout": 5)");
  WriteDefinition("e", R"("Name": "renamed", "DependsOn": ["z"], "StartTimeout": 7)");
  EXPECT_TRUE(service->ReloadConfig());
  EXPECT_EQ(service->name() + service->dependsOn()[0], "ex");
  EXPECT_EQ(service->definition().startTimeout, 7);
  EXPECT_EQ(service->startupType(), StartupType::Disabled);
  WriteFile(configDir_ + "/svcCfgfiles/e.json", "{{");
  EXPECT_FALSE(service->ReloadConfig());
  EXPECT_TRUE(log_.Has(LOG_WARNING, "<e> Failed to reload configuration of service.\n"));
  EXPECT_EQ(service->definition().startTimeout, 7);
}

TEST_F(ServiceTest, StartupTypeIsSavedCompactlySurvivesARestartAndAFailedSaveKeepsTheOld) {
  auto service = Make("a");
  EXPECT_EQ(service->SetStartupType(StartupType::Manual), Ok);
  std::string path = configDir_ + "/svcCfgfiles/.state_a.json";
  EXPECT_EQ(ReadFile(path), R"({"StartupType":"MANUAL"})");
  EXPECT_EQ(Make("a")->startupType(), StartupType::Manual);
  MakeDirs(path + ".tmp");  // the writer cannot open its temporary file
  EXPECT_EQ(service->SetStartupType(StartupType::Automatic), Failed);
  EXPECT_EQ(service->startupType(), StartupType::Manual);
  EXPECT_TRUE(log_.Has(LOG_ERROR, "<a> Failed to change startup type of service to AUTOMATIC\n"));
}

TEST_F(ServiceTest, CrashStatisticsRoundTripAndTornOrMissingFilesLeaveZero) {
  auto service = Make("a");
  service->failCounters() = {2, 3, 4};
  ASSERT_TRUE(service->SaveCrashStats());
  std::string path = dataDir_ + "/.svcStats/stats_a.json";
  EXPECT_EQ(ReadFile(path),
            R"({"ApiHealthFailCount":2,"ProcessCrashCount":3,"ProcessCoredumpCount":4})");
  EXPECT_EQ(Make("a")->failCounters().processCoredump, 4);
  WriteFile(path, R"({"ProcessCrashCount":7})");
  EXPECT_EQ(Make("a")->failCounters().apiHealthFail, 0);
  WriteFile(path, "{torn");
  EXPECT_EQ(Make("a")->failCounters().processCrash, 0);
  EXPECT_FALSE(FileExists(path));
  EXPECT_TRUE(log_.Has(LOG_WARNING, "Stats file " + path + " corrupted , hence removed !\n"));
  ASSERT_EQ(rmdir((dataDir_ + "/.svcStats").c_str()), 0);
  EXPECT_FALSE(service->SaveCrashStats());
  EXPECT_NE(Make("a"), nullptr);  // a missing directory finds no file
}

}  // namespace
