// check-config over real configuration directories: each broken directory
// reports its one problem with the file, the key, the severity and the
// daemon's own message.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <filesystem>
#include <set>

#include "ops/OpsRun.h"
#include "support/TempDir.h"

namespace {

// The service c, valid, with extra members.
auto C = [](std::string x) { return R"({"Name": "c", "StartCommand": "/bin/true", )" + x + "}"; };

const struct {
  std::string content;  // empty: remove the path
  // The problem: the end of its file, key, severity, and the start of its
  // message.
  const char *problem;
  const char *path = "svcCfgfiles/c.json";  // relative to the configuration directory
} kBroken[] = {
    {"{", "/c.json||error|Invalid service config file: c.json"},
    {R"({"Name": "a", "StartCommand": "/bin/true"})",
     "svcCfgfiles|Name|error|Service a is already defined in a.json. Ignoring c.json."},
    {C(R"("StartupType": "ENABLED")"), "/c.json|StartupType|warning|Invalid startup type ENABLED"},
    {R"({"Name": "a", "DependsOn": ["b"], "StartCommand": "/bin/true"})",
     "/b.json|DependsOn|error|Following dependency b <-> a introduces a cycle.",
     "svcCfgfiles/a.json"},
    {R"({"Name": "a", "StartupType": "MANUAL", "StartCommand": "/bin/true"})",
     "/b.json|StartupType|error|Startup type of service b is AUTOMATIC while startup type of "
     "dependent service a is MANUAL.",
     "svcCfgfiles/a.json"},
    {R"({"CORE": ["a", "ghost"]})",
     "profiles.json|CORE|warning|Invalid service ghost in profile CORE. Ignoring.",
     "profiles.json"},
    {"[", "profiles.json||error|the daemon could not build its registry", "profiles.json"},
    {R"({"Name": "web"})",
     "muxServerInstanceCfgfiles|StartCommand|error|Mandatory field StartCommand missing",
     "muxServerInstanceCfgfiles/web.json"},
    {R"({"Name": "c", "StartCommand": "/no/such"})",
     "/c.json|StartCommand|error|'/no/such' does not"},
    {C(R"("ApiHealthCommand": "/etc/passwd")"),
     "/c.json|ApiHealthCommand|error|'/etc/passwd' is not"},
    {C(R"("RunAsUser": "no-such-user")"), "/c.json|RunAsUser|error|unknown user 'no-such-user'"},
    {C(R"("WorkingDir": "/no/such")"), "/c.json|WorkingDir|error|'/no/such' is not a directory"},
    {C(R"("DependsOn": ["ghost"])"),
     "/c.json|DependsOn|error|Dependent service ghost of service c not found!"},
    {R"({"Name": "c", "Type": "MUX_SERVLET", "MuxServerName": "nope"})",
     "/c.json|MuxServerName|error|Unknown MUX server nope"},
    {R"({"Name": "c"})", "/c.json|StartCommand|error|Mandatory field 'StartCommand' missing"},
    {C(R"("StartTimeout": 0)"), "/c.json|StartTimeout|warning|StarTimeout value must be greater"},
    {R"({"SocketIOTimeout": 0})",
     "config.json|SocketIOTimeout|warning|SocketIOTimeout config value 0 is out of the range",
     "config.json"},
    {C(R"("PreStartCommand": "/no/such")"), "/c.json|PreStartCommand|error|'/no/such' does not"},
    {R"({"Name": "c", "StartCommand": "bin/run"})",
     "/c.json|StartCommand|warning|'bin/run' is relative and there is no WorkingDir"},
    {R"({"Name": "web", "StartCommand": "/no/such", "RunAsUser": "no-such-user"})",
     "/web.json|StartCommand|error|'/no/such' does not exist\n"
     "muxServerInstanceCfgfiles/web.json|RunAsUser|error|unknown user 'no-such-user'",
     "muxServerInstanceCfgfiles/web.json"},
    {"{", "/stats_a.json||warning|crash statistics corrupted", "../data/.svcStats/stats_a.json"},
    {"{", "config.json||error|cannot be read", "config.json"},
    {"", "/muxServerInstanceCfgfiles||error|directory missing", "muxServerInstanceCfgfiles"},
    {"", "/data/.svcStats||warning|directory missing: crash statistics", "../data/.svcStats"},
};

TEST(CheckConfig, ACleanDirectoryPassesAndEachBrokenOneReportsItsProblem) {
  TempDir dir;
  const std::string cfg = dir.Sub("cfg");
  auto check = [&] {
    return RunSentroctlBinary({"check-config", "--json", "-c", cfg, "--datadir", dir.Sub("data")});
  };
  // A directory the daemon loads without a word; each case breaks one thing.
  auto clean = [&] {
    std::filesystem::remove_all(dir.path());
    for (const char *sub : {"/svcCfgfiles", "/muxServerInstanceCfgfiles", "/../data/.svcStats"})
      MakeDirs(cfg + sub);
    WriteFile(cfg + "/config.json", "{}");
    WriteFile(cfg + "/profiles.json", R"({"CORE": ["a", "b"]})");
    WriteFile(cfg + "/svcCfgfiles/a.json", R"({"Name": "a", "StartCommand": "/bin/true"})");
    WriteFile(cfg + "/svcCfgfiles/b.json",
              R"({"Name": "b", "DependsOn": ["a"], "StartCommand": "/bin/sleep"})");
    WriteFile(cfg + "/muxServerInstanceCfgfiles/web.json",
              R"({"Name": "web", "StartCommand": "/bin/true"})");
  };
  clean();
  OpsRun run = check();
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find(R"("errors":0,"warnings":0,"problems":[])"), std::string::npos) << run.out;
  for (const auto &broken : kBroken) {
    SCOPED_TRACE(broken.problem);
    clean();
    const std::string path = cfg + "/" + broken.path;
    broken.content.empty() ? void(std::filesystem::remove_all(path))
                           : WriteFile(path, broken.content);
    run = check();
    rapidjson::Document report;
    ASSERT_FALSE(report.Parse(run.out.c_str()).HasParseError()) << run.out;
    EXPECT_EQ(run.status, strstr(broken.problem, "|error|") != nullptr ? 1 : 0) << run.out;
    std::string shown;               // a line a problem, its fields joined by "|"
    std::set<std::string> distinct;  // the registry's load repeats no file's message
    for (const auto &problem : report["problems"].GetArray()) {
      EXPECT_TRUE(distinct.insert(problem["message"].GetString()).second) << run.out;
      for (const char *field : {"file", "key", "severity", "message"})
        shown += std::string(problem[field].GetString()) + "|";
      shown.back() = '\n';
    }
    EXPECT_NE(shown.find(broken.problem), std::string::npos) << run.out;
  }
}

}  // namespace
