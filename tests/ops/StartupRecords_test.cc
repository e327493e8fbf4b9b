// blame, critical-chain, plot, metrics and logs against the example appliance run by the real
// daemon in its sandbox, compared with the rows it wrote to its metrics database and its log.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <signal.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>

#include "ops/OpsRun.h"
#include "support/WaitUntil.h"

namespace {

const std::string kSource = SENTRO_SOURCE_DIR, kExamples = kSource + "/examples";

// sql run on db by the sqlite3 shell: its rows, one a line, columns joined by "|" (no '"').
OpsRun Sql(const std::string &db, const std::string &sql) {
  return Shell("sqlite3 -bail '" + db + "' \"" + sql + "\"");
}

rapidjson::Document Json(const std::string &text) {
  rapidjson::Document document;
  document.Parse(text.c_str());
  return document;
}

// "DependsOn" of an example service.
std::vector<std::string> DependsOn(const std::string &service) {
  rapidjson::Document definition = Json(ReadFile(kExamples + "/svcCfgfiles/" + service + ".json"));
  std::vector<std::string> names;
  if (definition.HasMember("DependsOn"))
    for (const auto &name : definition["DependsOn"].GetArray()) names.push_back(name.GetString());
  return names;
}

// One daemon for the suite: the appliance's boot batch, flushed to the database by a reload.
class StartupRecords : public ::testing::Test {
 protected:
  // A failure here fails every case in SetUp (CTest would report it as a skip).
  static void SetUpTestSuite() {
    daemon_ = new SandboxDaemon();
    MakeDirs(State());
    for (const std::string &entry : Env()) daemon_->SetEnv(entry);
    ready_ = Shell(kSource + "/scripts/install-telemetry-db.sh " + daemon_->sysroot()).status == 0;
    daemon_->StartRaw({"-c", kExamples, "-d", daemon_->dataDir()});
    ready_ = ready_ &&
             daemon_->WaitForLog("Successfully executed service batch operation START.",
                                 std::chrono::seconds(60)) &&
             Ctl({"reload"}).status == 0 &&
             WaitUntil([] { return !Sql(Db(), "SELECT 1 FROM svcOpMetrics").out.empty(); });
  }
  void SetUp() override { ASSERT_TRUE(ready_) << "the example appliance did not start"; }
  static void TearDownTestSuite() {
    daemon_->Signal(SIGTERM);  // stops the services in order
    daemon_->WaitExit(std::chrono::seconds(20));
    delete daemon_;
  }

  static std::string Db() {
    return daemon_->sysroot() + "/etc/norvane/norvane-sentro/telemetry/db/SentroTelemetry.db";
  }
  static std::string State() { return daemon_->workDir() + "/state"; }
  static std::vector<std::string> Env() {
    std::vector<std::string> env = {"SENTRO_DEMO_HOME=" + kExamples, "WARMUP_SECONDS=0.3",
                                    "SENTRO_SYSROOT=" + daemon_->sysroot()};
    for (const char *name : {"SENTRO_DEMO_STATE=", "DEMO_STATE_DIR=", "SENTRO_PUBLISHER_DIR="})
      env.push_back(name + State());
    return env;
  }
  // sentroctl with the sandbox's directories and sysroot and the example's definitions.
  static OpsRun Ctl(std::vector<std::string> args) {
    if (args[0] != "blame" && args[0] != "reload") args.insert(args.end(), {"-c", kExamples});
    args.insert(args.end(), {"--datadir", daemon_->dataDir()});
    return RunSentroctlBinary(args, Env());
  }
  // A copy of the database with sql applied.
  static std::string EditedDb(const std::string &name, const std::string &sql) {
    std::string copy = daemon_->workDir() + "/" + name;
    std::filesystem::copy_file(Db(), copy, std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(Sql(copy, sql).status, 0) << sql;
    return copy;
  }

  static inline SandboxDaemon *daemon_ = nullptr;
  static inline bool ready_ = false;
};

TEST_F(StartupRecords, BlameChainAndPlotShowTheRecordedStartsInDependencyOrder) {
  OpsRun run = Ctl({"blame", "--last", "--json"});
  ASSERT_EQ(run.status, 0) << run.out;
  rapidjson::Document blame = Json(run.out);
  std::string id = blame["operationId"].GetString();
  std::map<std::string, std::string> shown, phases;  // as the rows the daemon wrote
  std::map<std::string, int64_t> readyAfter, took;
  int64_t previous = INT64_MAX;
  for (const auto &service : blame["services"].GetArray()) {
    std::string name = service["service"].GetString();
    int64_t ms = service["milliseconds"].GetInt64();
    shown[name] = name + "|" + service["operation"].GetString() + "|" +
                  service["status"].GetString() + "|" + std::to_string(ms / 1000) + "\n";
    readyAfter[name] = service["readyAfterMilliseconds"].GetInt64();
    took[name] = ms;
    EXPECT_LE(ms, previous) << "longest first";
    previous = ms;
    for (const auto &phase : service["phases"].GetArray()) {
      phases[name] += name + "|" + phase["name"].GetString() + "|" +
                      std::to_string(phase["milliseconds"].GetInt64()) + "|" +
                      phase["status"].GetString() + "\n";
    }
  }
  auto joined = [](const std::map<std::string, std::string> &lines) {
    std::string text;
    for (const auto &[name, line] : lines) text += line;
    return text;
  };
  auto rows = [&](const std::string &select) {
    return Sql(Db(), "SELECT serviceName, " + select + " WHERE operationID = '" + id +
                         "' ORDER BY serviceName, rowid")
        .out;
  };
  EXPECT_EQ(joined(shown),
            rows("operation, serviceStatus, timeForOperationInSec FROM svcOpMetrics"));
  EXPECT_EQ(joined(phases),
            rows("subPhase, CAST(ROUND(timeForCompletetionInSec * 1000) AS INTEGER), "
                 "phaseStatus FROM svcSubEvents"));
  // The example's services report their phases; the servlets do not.
  EXPECT_NE(run.out.find(R"("name":"warm-caches")"), std::string::npos);

  // The critical chain follows, from dashboard, the dependency ready last.
  run = Ctl({"critical-chain", "dashboard", "--json"});
  ASSERT_EQ(run.status, 0) << run.out;
  rapidjson::Document chain = Json(run.out);
  const auto &links = chain["chain"];
  ASSERT_GE(links.Size(), 3u) << run.out;  // dashboard, api, one of api's dependencies
  EXPECT_STREQ(links[0]["service"].GetString(), "dashboard");
  for (rapidjson::SizeType i = 0; i + 1 < links.Size(); i++) {
    const auto &next = links[i + 1];  // a dependency of link i, the one ready last
    std::vector<std::string> deps = DependsOn(links[i]["service"].GetString());
    EXPECT_NE(std::find(deps.begin(), deps.end(), next["service"].GetString()), deps.end());
    for (const std::string &dep : deps)
      EXPECT_LE(readyAfter[dep], readyAfter.at(next["service"].GetString())) << dep;
  }
  EXPECT_TRUE(DependsOn(links[links.Size() - 1]["service"].GetString()).empty());
  for (const auto &link : links.GetArray()) {  // each link as blame has it
    EXPECT_EQ(link["readyAfterMilliseconds"].GetInt64(),
              readyAfter.at(link["service"].GetString()));
    EXPECT_EQ(link["milliseconds"].GetInt64(), took.at(link["service"].GetString()));
  }
  run = Ctl({"critical-chain", "dashboard"});
  EXPECT_NE(run.out.find("\n\ndashboard @"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\n`-" + std::string(links[1]["service"].GetString()) + " @"),
            std::string::npos)
      << run.out;
  // Without a service: the chain of the service ready last.
  chain = Json(Ctl({"critical-chain", "--json"}).out);
  int64_t last = 0;
  for (const auto &[name, after] : readyAfter) last = std::max(last, after);
  EXPECT_EQ(chain["chain"][0]["readyAfterMilliseconds"].GetInt64(), last);

  // The plot draws dependencies first even when a record says a service was
  // asked to start before them.
  run = Ctl({"plot", "--db",
             EditedDb("early-api.db",
                      "UPDATE svcOpMetrics SET operationStartTime = "
                      "'2000-01-01 00:00:00 UTC' WHERE serviceName = 'api'")});
  ASSERT_EQ(run.status, 0);
  ASSERT_EQ(run.out.rfind("<svg", 0), 0u);
  EXPECT_NE(run.out.find("</svg>\n"), std::string::npos);
  auto at = [&](const std::string &service) { return run.out.find(">" + service + "</text>"); };
  for (const char *service : {"database", "cache", "messagebus", "api", "dashboard", "gateway"}) {
    ASSERT_NE(at(service), std::string::npos) << service;
    for (const std::string &dep : DependsOn(service))
      EXPECT_LT(at(dep), at(service)) << dep << " before " << service;
  }
  EXPECT_NE(run.out.find("<title>api warm-caches: "), std::string::npos);
}

TEST_F(StartupRecords, BlameSelectsLastBatchOperationOrLastStartsAndSaysWhatIsMissing) {
  std::string boot = Json(Ctl({"blame", "--last", "--json"}).out)["operationId"].GetString();
  // 7.9 s measured from 00:00:00.6: the times are a second further apart
  // than the whole seconds the daemon measured, which blame shows. api's
  // start is closed by a stop, as a stop writes over a start still open.
  std::string later = EditedDb(
      "later.db",
      "INSERT INTO svcOpMetrics (operationID, operation, serviceName, operationStartTime, "
      "operationEndTime, timeForOperationInSec, serviceStatus) VALUES ('later', 'START', 'cache', "
      "'2099-01-01 00:00:00 UTC', '2099-01-01 00:00:08 UTC', '7', 'HEALTHY'); "
      "UPDATE svcOpMetrics SET serviceStatus = 'STOPPED' WHERE serviceName = 'api'");
  const struct {
    std::vector<std::string> args;
    size_t services;
    bool laterCache;     // cache's start is the later one, of 7000 ms
    size_t cachePhases;  // the later start reported none
  } kCases[] = {
      {{"--last"}, 1, true, 0},
      {{"--operation", boot}, 9, false, 3},
      {{}, 9, true, 0},  // each service's last start
  };
  for (const auto &entry : kCases) {
    std::vector<std::string> args = {"blame", "--json", "--db", later};
    args.insert(args.end(), entry.args.begin(), entry.args.end());
    rapidjson::Document blame = Json(Ctl(args).out);
    EXPECT_EQ(blame["services"].Size(), entry.services);
    for (const auto &start : blame["services"].GetArray()) {
      EXPECT_TRUE(start["service"] != "api" || !start["endKnown"].GetBool());
      if (start["service"] == "api") {  // closed by a later stop: the sum of its phases
        int64_t sum = 0;
        for (const auto &phase : start["phases"].GetArray())
          sum += phase["milliseconds"].GetInt64();
        EXPECT_GT(sum, 0);
        EXPECT_NEAR(start["milliseconds"].GetInt64(), sum, 3);
      }
      if (start["service"] != "cache") continue;
      EXPECT_EQ(start["milliseconds"].GetInt64() == 7000, entry.laterCache);
      EXPECT_EQ(start["phases"].Size(), entry.cachePhases);
    }
  }
  EXPECT_NE(Ctl({"blame", "--operation", boot, "--db", later}).out.find("~"), std::string::npos);
  // A missing or empty database is said plainly.
  std::string empty = daemon_->workDir() + "/empty.db";
  ASSERT_EQ(Sql(empty, ".read " + kSource + "/share/telemetry-schema.sql").status, 0);
  OpsRun missing = Ctl({"blame", "--json", "--db", "/nonexistent/metrics.db"}),
         none = Ctl({"blame", "--json", "--db", empty});
  EXPECT_EQ(missing.status, 4);
  EXPECT_NE(missing.out.find("no metrics database at /nonexistent/metrics.db"), std::string::npos);
  EXPECT_EQ(none.status, 4);
  EXPECT_NE(none.out.find("holds no start records yet"), std::string::npos) << none.out;
}

TEST_F(StartupRecords, MetricsLogsAndCheckConfigDescribeTheRunningAppliance) {
  // The stopped MANUAL service's crash statistics, as the daemon keeps them.
  WriteFile(daemon_->dataDir() + "/.svcStats/stats_reports.json",
            R"({"ProcessCrashCount": 3, "ProcessCoredumpCount": 1, "ApiHealthFailCount": 2})");
  std::string path = daemon_->workDir() + "/metrics/sentro.prom";
  MakeDirs(daemon_->workDir() + "/metrics");
  ASSERT_EQ(Ctl({"metrics", "--textfile", path}).status, 0);
  std::string text = ReadFile(path);
  rapidjson::Document api =
      Json(RunSentroctlBinary({"status", "api", "--json", "--datadir", daemon_->dataDir()}).out);
  ASSERT_TRUE(api.IsObject() && api["services"].Size() == 1u);
  std::string apiPid = std::to_string(api["services"][0]["pid"].GetInt64());
  for (std::string sample : std::vector<std::string>{
           "sentro_up 1\n", "sentro_service_state{service=\"api\",state=\"STARTED\"} 1\n",
           "sentro_service_state{service=\"reports\",state=\"STOPPED\"} 1\n",
           "sentro_service_health{service=\"api\",health=\"HEALTHY\"} 1\n",
           "sentro_service_startup_type{service=\"reports\",type=\"MANUAL\"} 1\n",
           "sentro_service_pid{service=\"reports\"} 0\n",
           "sentro_service_pid{service=\"api\"} " + apiPid + "\n",
           "sentro_service_state_seconds{service=\"api\"} ",
           "sentro_service_failures{service=\"api\",kind=\"crash\"} 0\n",
           "sentro_service_failures{service=\"reports\",kind=\"crash\"} 3\n",
           "sentro_service_failures{service=\"reports\",kind=\"coredump\"} 1\n",
           "sentro_service_failures{service=\"reports\",kind=\"health_fail\"} 2\n",
           "sentro_service_last_start_seconds{service=\"api\"} "}) {
    EXPECT_NE(text.find(sample), std::string::npos) << sample;
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(daemon_->workDir() + "/metrics"),
                          std::filesystem::directory_iterator()),
            1)
      << "the temporary file is renamed into place";
  EXPECT_NE(Ctl({"metrics"}).out.find("sentro_service_health{service=\"api\""), std::string::npos);
  OpsRun down =
      RunSentroctlBinary({"metrics", "-c", kExamples, "--datadir", "/nonexistent"}, Env());
  EXPECT_EQ(down.status, 2);
  EXPECT_EQ(down.out.rfind("# HELP sentro_up ", 0), 0u) << down.out;
  EXPECT_NE(down.out.find("\nsentro_up 0\n"), std::string::npos) << down.out;
  if (system("command -v promtool >/dev/null") == 0)  // Debian's prometheus package
    EXPECT_EQ(system(("promtool check metrics < '" + path + "'").c_str()), 0) << text;
  else
    std::cout << "promtool not installed: the exposition format is not checked\n";
  // logs shows one service's lines of the daemon's log.
  OpsRun all = Ctl({"logs", "api", "--log-file", daemon_->logPath()});
  ASSERT_EQ(all.status, 0);
  std::istringstream lines(all.out);
  int count = 0;
  for (std::string line; std::getline(lines, line); count++)
    EXPECT_NE(line.find(" <api"), std::string::npos) << line;  // its own, its commands'
  EXPECT_GT(count, 1);
  OpsRun last = Ctl({"logs", "api", "-n", "1", "--log-file", daemon_->logPath()});
  EXPECT_EQ(last.out, all.out.substr(all.out.rfind('\n', all.out.size() - 2) + 1));
  // The example appliance's configuration is clean.
  OpsRun check = Ctl({"check-config"});
  EXPECT_EQ(check.status, 0) << check.out;
  EXPECT_EQ(check.out, kExamples + ": 0 errors, 0 warnings\n");
}

}  // namespace
