// The operations commands against the example appliance started by the real
// daemon in its sandbox: what blame, critical-chain, plot, metrics and logs
// print is compared with the rows the daemon wrote to its metrics database
// and the lines of its log.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

#include "ops/OpsRun.h"
#include "support/SandboxDaemon.h"
#include "support/WaitUntil.h"

namespace {

std::string SourceDir() {
  return SENTRO_SOURCE_DIR;
}

// Rows of a query, each as its columns joined by "|".
std::vector<std::string> Rows(const std::string &db, const std::string &sql) {
  std::vector<std::string> rows;
  sqlite3 *handle = nullptr;
  if (sqlite3_open(db.c_str(), &handle) == SQLITE_OK) {
    sqlite3_exec(
        handle, sql.c_str(),
        [](void *out, int count, char **values, char **) {
          std::string row;
          for (int i = 0; i < count; i++) {
            row += (i > 0 ? "|" : "") + std::string(values[i] != nullptr ? values[i] : "");
          }
          static_cast<std::vector<std::string> *>(out)->push_back(row);
          return 0;
        },
        &rows, nullptr);
  }
  sqlite3_close(handle);
  return rows;
}

bool Exec(const std::string &db, const std::string &sql) {
  sqlite3 *handle = nullptr;
  bool done = sqlite3_open(db.c_str(), &handle) == SQLITE_OK &&
              sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(handle);
  return done;
}

rapidjson::Document Json(const std::string &text) {
  rapidjson::Document document;
  document.Parse(text.c_str());
  return document;
}

// One daemon for the suite: the example appliance's boot batch, flushed to
// the database by the reply to a reload.
class StartupRecords : public ::testing::Test {
 protected:
  // A failure here must fail every case, not skip it (CTest reports a suite
  // whose set-up failed as skipped): SetUp checks the outcome.
  static void SetUpTestSuite() { ready_ = StartExampleAppliance(); }
  void SetUp() override { ASSERT_TRUE(ready_) << "the example appliance did not start"; }

  static bool StartExampleAppliance() {
    daemon_ = new SandboxDaemon();
    MakeDirs(Db().substr(0, Db().rfind('/')));
    if (!Exec(Db(), ReadFile(SourceDir() + "/share/telemetry-schema.sql"))) {
      return false;
    }
    std::string state = daemon_->workDir() + "/state";
    MakeDirs(state);
    for (const std::string &entry : std::vector<std::string>{
             "SENTRO_DEMO_HOME=" + SourceDir() + "/examples", "SENTRO_DEMO_STATE=" + state,
             "DEMO_STATE_DIR=" + state, "SENTRO_PUBLISHER_DIR=" + state, "WARMUP_SECONDS=0.3"}) {
      daemon_->SetEnv(entry);
    }
    daemon_->StartRaw({"-c", SourceDir() + "/examples", "-d", daemon_->dataDir()});
    return daemon_->WaitForLog("Successfully executed service batch operation START.",
                               std::chrono::seconds(60)) &&
           Ctl({"reload"}).status == 0 &&
           WaitUntil([] { return !Rows(Db(), "SELECT 1 FROM svcOpMetrics").empty(); });
  }
  static void TearDownTestSuite() {
    daemon_->Signal(SIGTERM);  // stops the services in order
    daemon_->WaitExit(std::chrono::seconds(20));
    delete daemon_;
    daemon_ = nullptr;
  }

  static std::string Db() {
    return daemon_->sysroot() + "/etc/norvane/norvane-sentro/telemetry/db/SentroTelemetry.db";
  }
  // sentroctl with the sandbox's directories and sysroot; the commands that
  // read the service definitions read the example's.
  static OpsRun Ctl(std::vector<std::string> args) {
    const std::string &command = args[0];
    bool readsDefinitions = command == "critical-chain" || command == "plot" ||
                            command == "metrics" || command == "logs";
    if (readsDefinitions) {
      args.insert(args.end(), {"-c", SourceDir() + "/examples"});
    }
    args.insert(args.end(), {"--datadir", daemon_->dataDir()});
    return RunSentroctlBinary(args, {"SENTRO_SYSROOT=" + daemon_->sysroot()});
  }
  // "DependsOn" of the example services.
  static std::vector<std::string> DependsOn(const std::string &service) {
    rapidjson::Document definition =
        Json(ReadFile(SourceDir() + "/examples/svcCfgfiles/" + service + ".json"));
    std::vector<std::string> names;
    if (definition.IsObject() && definition.HasMember("DependsOn")) {
      for (const auto &name : definition["DependsOn"].GetArray()) {
        names.push_back(name.GetString());
      }
    }
    return names;
  }

  static SandboxDaemon *daemon_;
  static bool ready_;
};
SandboxDaemon *StartupRecords::daemon_ = nullptr;
bool StartupRecords::ready_ = false;

TEST_F(StartupRecords, BlameShowsEachStartAndItsPhasesAsRecorded) {
  OpsRun run = Ctl({"blame", "--last", "--json"});
  ASSERT_EQ(run.status, 0) << run.out;
  rapidjson::Document blame = Json(run.out);
  std::string id = blame["operationId"].GetString();
  auto rows = Rows(Db(),
                   "SELECT serviceName, operation, serviceStatus, timeForOperationInSec FROM "
                   "svcOpMetrics WHERE operationID = '" +
                       id + "' ORDER BY serviceName");
  ASSERT_EQ(blame["services"].Size(), rows.size());
  std::map<std::string, std::string> shown;
  int64_t previous = INT64_MAX;
  for (const auto &service : blame["services"].GetArray()) {
    std::string name = service["service"].GetString();
    shown[name] = name + "|" + service["operation"].GetString() + "|" +
                  service["status"].GetString() + "|" +
                  std::to_string(service["milliseconds"].GetInt64() / 1000);
    EXPECT_LE(service["milliseconds"].GetInt64(), previous) << "longest first";
    previous = service["milliseconds"].GetInt64();
    std::string phases;
    for (const auto &phase : service["phases"].GetArray()) {
      phases += std::string(phase["name"].GetString()) + "|" +
                std::to_string(phase["milliseconds"].GetInt64()) + "|" +
                phase["status"].GetString() + ";";
    }
    std::string recorded;
    for (const std::string &row :
         Rows(Db(),
              "SELECT subPhase, CAST(ROUND(timeForCompletetionInSec * 1000) AS INTEGER), "
              "phaseStatus FROM svcSubEvents WHERE operationID = '" +
                  id + "' AND serviceName = '" + name + "' ORDER BY rowid")) {
      recorded += row + ";";
    }
    EXPECT_EQ(phases, recorded) << name;
  }
  for (const std::string &row : rows) {
    EXPECT_EQ(shown[row.substr(0, row.find('|'))], row);
  }
  // The example's services report their phases; the servlets do not.
  EXPECT_NE(run.out.find(R"("name":"warm-caches")"), std::string::npos);
}

TEST_F(StartupRecords, CriticalChainFollowsTheDependencyReadyLast) {
  std::map<std::string, int64_t> readyAfter;  // of every start, as blame reads it
  rapidjson::Document blame = Json(Ctl({"blame", "--last", "--json"}).out);
  for (const auto &start : blame["services"].GetArray()) {
    readyAfter[start["service"].GetString()] = start["readyAfterMilliseconds"].GetInt64();
  }
  OpsRun run = Ctl({"critical-chain", "dashboard", "--json"});
  ASSERT_EQ(run.status, 0) << run.out;
  rapidjson::Document chain = Json(run.out);
  const auto &links = chain["chain"];
  ASSERT_GE(links.Size(), 3u) << run.out;  // dashboard, api, one of api's dependencies
  EXPECT_STREQ(links[0]["service"].GetString(), "dashboard");
  for (rapidjson::SizeType i = 0; i + 1 < links.Size(); i++) {
    auto deps = DependsOn(links[i]["service"].GetString());
    EXPECT_NE(std::find(deps.begin(), deps.end(), links[i + 1]["service"].GetString()), deps.end());
    for (const std::string &dep : deps) {
      EXPECT_LE(readyAfter[dep], links[i + 1]["readyAfterMilliseconds"].GetInt64())
          << links[i + 1]["service"].GetString() << " was not the last ready";
    }
  }
  EXPECT_TRUE(DependsOn(links[links.Size() - 1]["service"].GetString()).empty());
}

TEST_F(StartupRecords, PlotDrawsEveryServiceAfterItsDependencies) {
  // Dependencies first even when a record says a service was asked to start
  // before them.
  std::string copy = daemon_->workDir() + "/early-api.db";
  std::filesystem::copy_file(Db(), copy, std::filesystem::copy_options::overwrite_existing);
  ASSERT_TRUE(Exec(copy,
                   "UPDATE svcOpMetrics SET operationStartTime = '2000-01-01 00:00:00 UTC' "
                   "WHERE serviceName = 'api'"));
  OpsRun run = Ctl({"plot", "--db", copy});
  ASSERT_EQ(run.status, 0);
  ASSERT_EQ(run.out.rfind("<svg", 0), 0u);
  EXPECT_NE(run.out.find("</svg>\n"), std::string::npos);
  auto at = [&](const std::string &service) { return run.out.find(">" + service + "</text>"); };
  for (const char *service : {"database", "cache", "messagebus", "api", "dashboard", "gateway"}) {
    ASSERT_NE(at(service), std::string::npos) << service;
    for (const std::string &dep : DependsOn(service)) {
      EXPECT_LT(at(dep), at(service)) << dep << " before " << service;
    }
  }
  EXPECT_NE(run.out.find("<title>api warm-caches: "), std::string::npos);
}

TEST_F(StartupRecords, MetricsAreValidExpositionOfEveryService) {
  std::string path = daemon_->workDir() + "/sentro.prom";
  OpsRun run = Ctl({"metrics", "--textfile", path});
  ASSERT_EQ(run.status, 0);
  std::string text = ReadFile(path);
  EXPECT_NE(text.find("sentro_up 1\n"), std::string::npos);
  EXPECT_NE(text.find("sentro_service_state{service=\"api\",state=\"STARTED\"} 1\n"),
            std::string::npos);
  EXPECT_NE(text.find("sentro_service_state{service=\"reports\",state=\"STOPPED\"} 1\n"),
            std::string::npos);
  EXPECT_NE(text.find("sentro_service_failures{service=\"api\",kind=\"crash\"} 0\n"),
            std::string::npos);
  EXPECT_NE(text.find("sentro_service_last_start_seconds{service=\"api\"} "), std::string::npos);
  if (system("command -v promtool >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "promtool is not installed";
  }
  EXPECT_EQ(system(("promtool check metrics < '" + path + "' >/dev/null 2>&1").c_str()), 0);
}

TEST_F(StartupRecords, StartClosedByALaterStopShowsItsReportedPhases) {
  std::string copy = daemon_->workDir() + "/copy.db";
  std::filesystem::copy_file(Db(), copy, std::filesystem::copy_options::overwrite_existing);
  // What a stop writes over a start batch's record still open at the flush.
  ASSERT_TRUE(Exec(copy,
                   "UPDATE svcOpMetrics SET serviceStatus = 'STOPPED', operationEndTime = "
                   "'2099-01-01 00:00:00 UTC' WHERE serviceName = 'api'"));
  OpsRun run = Ctl({"blame", "--last", "--json", "--db", copy});
  rapidjson::Document blame = Json(run.out);
  const auto &last = blame["services"][blame["services"].Size() - 1];
  EXPECT_STREQ(last["service"].GetString(), "api");
  EXPECT_FALSE(last["endKnown"].GetBool());
  int64_t sum = 0;
  for (const auto &phase : last["phases"].GetArray()) {
    sum += phase["milliseconds"].GetInt64();
  }
  EXPECT_NEAR(static_cast<double>(last["milliseconds"].GetInt64()), static_cast<double>(sum), 3);
  EXPECT_NE(Ctl({"blame", "--last", "--db", copy}).out.find("~"), std::string::npos);
}

TEST_F(StartupRecords, SelectionTakesTheLastBatchOneOperationOrEachServicesLastStart) {
  std::string copy = daemon_->workDir() + "/later.db";
  std::filesystem::copy_file(Db(), copy, std::filesystem::copy_options::overwrite_existing);
  std::string boot = Json(Ctl({"blame", "--last", "--json"}).out)["operationId"].GetString();
  // 7.9 s measured from 00:00:00.6: the times are a second further apart
  // than the whole seconds the daemon measured, which blame shows.
  ASSERT_TRUE(Exec(copy,
                   "INSERT INTO svcOpMetrics (operationID, operation, serviceName, "
                   "operationStartTime, operationEndTime, timeForOperationInSec, "
                   "serviceStatus) VALUES ('later', 'START', 'cache', "
                   "'2099-01-01 00:00:00 UTC', '2099-01-01 00:00:08 UTC', '7', 'HEALTHY')"));
  const struct {
    std::vector<std::string> args;
    size_t services;
    const char *cacheMilliseconds;
    size_t cachePhases;  // the later start reported none
  } kCases[] = {
      {{"--last"}, 1, "7000", 0},
      {{"--operation", boot}, 9, nullptr, 3},
      {{}, 9, "7000", 0},  // each service's last start
  };
  for (const auto &entry : kCases) {
    std::vector<std::string> args = {"blame", "--json", "--db", copy};
    args.insert(args.end(), entry.args.begin(), entry.args.end());
    rapidjson::Document blame = Json(Ctl(args).out);
    EXPECT_EQ(blame["services"].Size(), entry.services);
    std::string cache;
    size_t cachePhases = 99;
    for (const auto &start : blame["services"].GetArray()) {
      if (std::string(start["service"].GetString()) == "cache") {
        cache = std::to_string(start["milliseconds"].GetInt64());
        cachePhases = start["phases"].Size();
      }
    }
    EXPECT_EQ(cache == "7000", entry.cacheMilliseconds != nullptr);
    EXPECT_EQ(cachePhases, entry.cachePhases);
  }
}

TEST_F(StartupRecords, MissingOrEmptyDatabaseIsSaidPlainly) {
  std::string empty = daemon_->workDir() + "/empty.db";
  ASSERT_TRUE(Exec(empty, ReadFile(SourceDir() + "/share/telemetry-schema.sql")));
  const struct {
    std::string db;
    const char *error;
  } kCases[] = {
      {"/nonexistent/metrics.db", "no metrics database at /nonexistent/metrics.db"},
      {empty, "holds no start records yet"},
  };
  for (const auto &entry : kCases) {
    OpsRun run = Ctl({"blame", "--json", "--db", entry.db});
    EXPECT_EQ(run.status, 4);
    EXPECT_NE(run.out.find(entry.error), std::string::npos) << run.out;
  }
}

TEST_F(StartupRecords, LogsShowOneServicesLinesOfTheDaemonsLog) {
  OpsRun all = Ctl({"logs", "api", "--log-file", daemon_->logPath()});
  ASSERT_EQ(all.status, 0);
  std::istringstream lines(all.out);
  int count = 0;
  for (std::string line; std::getline(lines, line); count++) {
    EXPECT_TRUE(line.find(" <api> ") != std::string::npos ||
                line.find(" <api-healthcmd> ") != std::string::npos ||
                line.find(" <api-prestart> ") != std::string::npos)
        << line;
  }
  EXPECT_GT(count, 1);
  OpsRun last = Ctl({"logs", "api", "-n", "1", "--log-file", daemon_->logPath()});
  EXPECT_EQ(last.out, all.out.substr(all.out.rfind('\n', all.out.size() - 2) + 1));
}

}  // namespace
