// check-config over real configuration directories: the example appliance
// is clean, and each broken directory reports its one problem with the file,
// the key, the severity and the daemon's own message.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "ops/OpsRun.h"
#include "support/TempDir.h"

namespace {

// A directory the daemon loads without a word; each case breaks one thing.
class CheckConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDirs(Config("svcCfgfiles"));
    MakeDirs(Config("muxServerInstanceCfgfiles"));
    MakeDirs(dir_.Sub("data/.svcStats"));
    WriteFile(Config("config.json"), "{}");
    WriteFile(Config("profiles.json"), R"({"CORE": ["a", "b"]})");
    WriteFile(Config("svcCfgfiles/a.json"), R"({"Name": "a", "StartCommand": "/bin/true"})");
    WriteFile(Config("svcCfgfiles/b.json"),
              R"({"Name": "b", "DependsOn": ["a"], "StartCommand": "/bin/sleep"})");
    WriteFile(Config("muxServerInstanceCfgfiles/web.json"),
              R"({"Name": "web", "StartCommand": "/bin/true"})");
  }
  std::string Config(const std::string &relative) const { return dir_.Sub("cfg/" + relative); }
  OpsRun Check() const {
    return RunSentroctlBinary(
        {"check-config", "--json", "-c", dir_.Sub("cfg"), "--datadir", dir_.Sub("data")});
  }

  TempDir dir_;
};

struct BrokenCase {
  const char *what;
  const char *path;     // relative to the configuration directory
  const char *content;  // null: remove the path
  const char *file;     // as reported
  const char *key;
  const char *severity;
  const char *message;  // the start of the reported message; @CFG@ is the directory
};

std::string WithConfigDir(std::string text, const std::string &configDir) {
  size_t at = text.find("@CFG@");
  return at == std::string::npos ? text : text.replace(at, 5, configDir);
}

const BrokenCase kBroken[] = {
    {"file not JSON", "svcCfgfiles/c.json", "{", "svcCfgfiles/c.json", "", "error",
     "Invalid service config file: c.json"},
    {"no Name", "svcCfgfiles/c.json", R"({"StartCommand": "/bin/true"})", "svcCfgfiles/c.json",
     "Name", "error", "Mandatory field 'Name' missing: c.json"},
    {"no StartCommand", "svcCfgfiles/c.json", R"({"Name": "c"})", "svcCfgfiles/c.json",
     "StartCommand", "error", "Mandatory field 'StartCommand' missing c.json"},
    {"name defined twice", "svcCfgfiles/c.json", R"({"Name": "a", "StartCommand": "/bin/true"})",
     "svcCfgfiles", "Name", "error", "Service a is already defined in a.json. Ignoring c.json."},
    {"start time-out below 1", "svcCfgfiles/c.json",
     R"({"Name": "c", "StartCommand": "/bin/true", "StartTimeout": 0})", "svcCfgfiles/c.json",
     "StartTimeout", "warning", "StarTimeout value must be greater than 0"},
    {"startup type no entry begins", "svcCfgfiles/c.json",
     R"({"Name": "c", "StartCommand": "/bin/true", "StartupType": "ENABLED"})",
     "svcCfgfiles/c.json", "StartupType", "warning", "Invalid startup type ENABLED"},
    {"stop signal outside the table", "svcCfgfiles/c.json",
     R"({"Name": "c", "StartCommand": "/bin/true", "StopSignal": "SIGKILL"})", "svcCfgfiles/c.json",
     "StopSignal", "warning", "Signal SIGKILL is not supported."},
    {"non-string argument", "svcCfgfiles/c.json",
     R"({"Name": "c", "StartCommand": "/bin/true", "StartCommandArgs": [1]})", "svcCfgfiles/c.json",
     "StartCommandArgs", "warning", "Non String entry in StartCommandArgs"},
    {"unknown dependency", "svcCfgfiles/c.json",
     R"({"Name": "c", "DependsOn": ["ghost"], "StartCommand": "/bin/true"})", "svcCfgfiles/c.json",
     "DependsOn", "error", "Dependent service ghost of service c not found!"},
    {"dependency cycle", "svcCfgfiles/a.json",
     R"({"Name": "a", "DependsOn": ["b"], "StartCommand": "/bin/true"})", "svcCfgfiles/b.json",
     "DependsOn", "error", "Following dependency b <-> a introduces a cycle."},
    {"automatic on manual", "svcCfgfiles/a.json",
     R"({"Name": "a", "StartupType": "MANUAL", "StartCommand": "/bin/true"})", "svcCfgfiles/b.json",
     "StartupType", "error",
     "Startup type of service b is AUTOMATIC while startup type of dependent service a is MANUAL."},
    {"profile names unknown service", "profiles.json", R"({"CORE": ["a", "ghost"]})",
     "profiles.json", "CORE", "warning", "Invalid service ghost in profile CORE. Ignoring."},
    {"profiles not JSON", "profiles.json", "[", "profiles.json", "", "error",
     "the daemon could not build its registry"},
    {"servlet of unknown container", "svcCfgfiles/c.json",
     R"({"Name": "c", "Type": "MUX_SERVLET", "MuxServerName": "nope"})", "svcCfgfiles/c.json",
     "MuxServerName", "error", "Unknown MUX server nope"},
    {"container without StartCommand", "muxServerInstanceCfgfiles/web.json", R"({"Name": "web"})",
     "muxServerInstanceCfgfiles", "StartCommand", "error", "Mandatory field StartCommand missing"},
    {"start command missing", "svcCfgfiles/c.json", R"({"Name": "c", "StartCommand": "/no/such"})",
     "svcCfgfiles/c.json", "StartCommand", "error", "'/no/such' does not exist"},
    {"health command not executable", "svcCfgfiles/c.json",
     R"({"Name": "c", "StartCommand": "/bin/true", "ApiHealthCommand": "@CFG@/config.json"})",
     "svcCfgfiles/c.json", "ApiHealthCommand", "error", "'@CFG@/config.json' is not an executable"},
    {"unknown run-as user", "svcCfgfiles/c.json",
     R"({"Name": "c", "StartCommand": "/bin/true", "RunAsUser": "no-such-user"})",
     "svcCfgfiles/c.json", "RunAsUser", "error", "unknown user 'no-such-user'"},
    {"working directory missing", "svcCfgfiles/c.json",
     R"({"Name": "c", "StartCommand": "/bin/true", "WorkingDir": "/no/such"})",
     "svcCfgfiles/c.json", "WorkingDir", "error", "'/no/such' is not a directory"},
    {"log level out of range", "config.json", R"({"LogLevel": 40})", "config.json", "LogLevel",
     "warning", "LogLevel config value must be in the range 1 and 18"},
    {"period below its minimum", "config.json", R"({"SocketIOTimeout": 0})", "config.json",
     "SocketIOTimeout", "warning", "SocketIOTimeout "},
    {"config not JSON", "config.json", "{", "config.json", "", "error", "cannot be read"},
    {"container directory missing", "muxServerInstanceCfgfiles", nullptr,
     "/muxServerInstanceCfgfiles", "", "error", "directory missing"},
    {"stats directory missing", "../data/.svcStats", nullptr, "/data/.svcStats", "", "warning",
     "directory missing: crash statistics cannot be saved"},
};

TEST_F(CheckConfigTest, CleanDirectoryPassesWithNothingToSay) {
  OpsRun run = Check();
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find(R"("errors":0,"warnings":0,"problems":[])"), std::string::npos) << run.out;
}

TEST_F(CheckConfigTest, EachBrokenDirectoryReportsItsProblem) {
  for (const BrokenCase &broken : kBroken) {
    SCOPED_TRACE(broken.what);
    SetUp();
    if (broken.content == nullptr) {
      std::filesystem::remove_all(Config(broken.path));
    } else {
      WriteFile(Config(broken.path), WithConfigDir(broken.content, dir_.Sub("cfg")));
    }
    OpsRun run = Check();
    rapidjson::Document report;
    ASSERT_FALSE(report.Parse(run.out.c_str()).HasParseError()) << run.out;
    bool isError = std::string(broken.severity) == "error";
    EXPECT_EQ(run.status, isError ? 1 : 0) << run.out;
    bool found = false;
    std::set<std::string> distinct;  // the registry's load repeats no file's message
    for (const auto &problem : report["problems"].GetArray()) {
      std::string file = problem["file"].GetString();
      EXPECT_TRUE(distinct.insert(problem["message"].GetString()).second) << run.out;
      found = found || (file.size() >= strlen(broken.file) &&
                        file.compare(file.size() - strlen(broken.file), std::string::npos,
                                     broken.file) == 0 &&
                        problem["key"].GetString() == std::string(broken.key) &&
                        problem["severity"].GetString() == std::string(broken.severity) &&
                        std::string(problem["message"].GetString())
                                .rfind(WithConfigDir(broken.message, dir_.Sub("cfg")), 0) == 0);
    }
    EXPECT_TRUE(found) << run.out;
    std::filesystem::remove_all(dir_.Sub("cfg"));
    std::filesystem::remove_all(dir_.Sub("data"));
  }
}

TEST(CheckConfigExamples, ExampleApplianceIsClean) {
  TempDir data;
  MakeDirs(data.Sub(".svcStats"));
  std::string source = SENTRO_SOURCE_DIR;
  OpsRun run = RunSentroctlBinary(
      {"check-config", "-c", source + "/examples", "--datadir", data.path()},
      {"SENTRO_DEMO_HOME=" + source + "/examples", "SENTRO_DEMO_STATE=" + data.path(),
       "SENTRO_PUBLISHER_DIR=" + data.path()});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.out, source + "/examples: 0 errors, 0 warnings\n");
}

}  // namespace
