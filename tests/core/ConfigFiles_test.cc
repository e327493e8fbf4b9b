// The configuration and state files: the JSON file reader, the environment
// references in its values, the order of the directories read, and the writer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <tuple>

#include "lib/log/log.h"
#include "src/core/EnvExpand.h"
#include "src/core/JsonFileReader.h"
#include "src/core/JsonFileWriter.h"
#include "src/core/SysPaths.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

using Strings = std::vector<std::string>;

// What a capture recorded, one "W text" or "E text" entry per message.
Strings Logged(const LogCapture &capture) {
  Strings logged;
  for (const CapturedMessage &message : capture.Messages()) {
    logged.push_back((message.level == LOG_WARNING ? "W " : "E ") + message.text);
  }
  return logged;
}

class JsonFileReaderTest : public ::testing::Test {
 protected:
  // Loads contents as a file, expecting success and no message.
  void LoadText(const std::string &contents) {
    LogCapture capture;
    ASSERT_TRUE(reader.Load(dir.Write("test.json", contents))) << contents;
    EXPECT_EQ(capture.Text(), "");
  }

  TempDir dir;
  JsonFileReader reader;
};

TEST_F(JsonFileReaderTest, CommentLinesAreDroppedAndLinesJoinedWithoutSeparators) {
  const std::pair<const char *, const char *> cases[] = {
      // contents and the value of "A"
      {"// A definition.\n{\n\t\"A\": \"web\",\n    // \"A\": \"other\",\n  \t\"B\": 12\n}\n",
       "web"},
      {"{\"A\": \"a\n    b\"}\r\n", "ab"},
      {"{\"A\": \"x\n  /y\"}", "x/y"},  // a single slash at line start is kept
      {"{\"A\": \"p\n/\nq\"}", "p/q"},
  };
  for (auto [contents, expected] : cases) {
    LoadText(contents);
    std::string value;
    EXPECT_TRUE(reader.GetString("A", false, &value));
    EXPECT_EQ(value, expected) << contents;
  }
}

TEST_F(JsonFileReaderTest, LoadFailuresLogWhatWentWrongAndForgetThePreviousFile) {
  std::string absent = dir.File("absent.json");
  const std::pair<std::string, Strings> cases[] = {
      {absent, {"W Failed to open file " + absent + ". Error: No such file or directory\n"}},
      {dir.path(),
       {"E Error reading file. Details Is a directory\n",
        "E Failed to read json config " + dir.path() + "\n"}},
      // A comment after text is not a comment: kParseErrorDocumentRootNotSingular.
      {dir.Write("c.json", "{\"A\": 1} // trailing\n"), {"", "E Parse Error: 2. Offset: 9\n"}},
      // The offset counts the joined text {"A": x}.
      {dir.Write("b.json", "{\n  // note\n\t\"A\": x\n}\n"), {"", "E Parse Error: 3. Offset: 6\n"}},
      {dir.Write("e.json", "// only a comment\n\n"), {"", "E Parse Error: 1. Offset: 0\n"}},
      {dir.Write("array.json", "[1, 2]"), {""}},  // well-formed roots that are not objects
      {dir.Write("null.json", "null"), {""}},
  };
  LoadText("{\"A\": 1}");
  for (auto [path, logged] : cases) {
    if (logged[0].empty()) logged[0] = "E Invalid Json formatted file " + path + "\n";
    LogCapture capture;
    EXPECT_FALSE(reader.Load(path));
    EXPECT_EQ(Logged(capture), logged) << path;
    int32_t a = 0;
    EXPECT_FALSE(reader.GetInt("A", &a)) << "the previous file is forgotten";
  }
}

TEST_F(JsonFileReaderTest, DeepNestingIsParsedWithoutExhaustingTheStack) {
  const size_t depth = 200000;
  LogCapture capture;
  std::string contents = "{\"Deep\": " + std::string(depth, '[') + std::string(depth, ']') + "}";
  ASSERT_TRUE(reader.Load(dir.Write("deep.json", contents)));
  EXPECT_FALSE(reader.Load(dir.Write("deeper.json", std::string(depth, '['))));
  EXPECT_TRUE(capture.Has(LOG_ERROR, "Parse Error: 3. Offset: 200000\n"));
}

// Each getter takes only its own type and otherwise leaves its output as it
// was, silently; the first member of a name wins.
TEST_F(JsonFileReaderTest, GettersTakeOnlyTheirOwnTypeAndTheFirstMemberOfAName) {
  LoadText(
      "{\"Num\": 5, \"Frac\": 60.5, \"Big\": 2147483648, \"Neg\": -1, \"Exp\": 1e2, \"Null\": null,"
      " \"Str\": \"MANUAL\", \"Bool\": true, \"Arr\": [], \"Obj\": {}, \"Num\": 6}");
  LogCapture capture;
  int32_t i = 42;
  uint64_t u = 42;
  bool b = false;
  std::string s = "k";
  StartupType t = StartupType::Disabled;
  Strings l{"k"};
  for (const char *key : {"Frac", "Big", "Exp", "Null", "Str", "Bool", "Arr", "Missing"}) {
    EXPECT_FALSE(reader.GetInt(key, &i)) << key;
  }
  for (const char *key : {"Neg", "Frac", "Exp", "Null", "Str", "Arr"}) {
    EXPECT_FALSE(reader.GetUint64(key, &u) || reader.GetBool(key, &b)) << key;
  }
  for (const char *key : {"Num", "Null", "Bool", "Arr", "Obj"}) {
    EXPECT_FALSE(reader.GetString(key, true, &s) || reader.GetStartupType(key, &t)) << key;
  }
  for (const char *key : {"Num", "Null", "Str", "Obj"}) {
    EXPECT_FALSE(reader.GetStringList(key, true, &l)) << key;
  }
  EXPECT_EQ(std::tie(i, u, b, s, t, l),
            std::make_tuple(42, uint64_t{42}, false, "k", StartupType::Disabled, Strings{"k"}));
  EXPECT_TRUE(reader.GetInt("Num", &i) && reader.GetUint64("Big", &u) &&
              reader.GetBool("Bool", &b) && reader.GetStartupType("Str", &t) &&
              reader.GetStringList("Arr", true, &l));
  EXPECT_EQ(std::tie(i, u, b, t),
            std::make_tuple(5, uint64_t{2147483648}, true, StartupType::Manual));
  EXPECT_TRUE(l.empty());
  EXPECT_EQ(capture.Text(), "");
  Strings names{"existing"};
  reader.GetMemberNames(&names);
  EXPECT_EQ(names, (Strings{"existing", "Num", "Frac", "Big", "Neg", "Exp", "Null", "Str", "Bool",
                            "Arr", "Obj", "Num"}));
}

// Lists keep their usable entries; profiles replace the profiles they name,
// and within one the last list of a failure type counts.
TEST_F(JsonFileReaderTest, ListsAndProfilesKeepUsableEntriesAndWarnAboutEachSkippedOne) {
  setenv("SENTRO_T_DIR", "/opt/x", 1);
  unsetenv("SENTRO_T_UNSET");
  LoadText(
      "{\"Args\": [\"-v\", 1, \"%SENTRO_T_DIR%\", \"%SENTRO_T_UNSET%\", \"\"],"
      " \"Ports\": [1, \"two\", 3.0, 4294967296, -7],"
      " \"Crash\": [\"RESTART_S\", 5, \"BOGUS\", \"HA\", \"restart_system\", \"NO_ACTION\"],"
      " \"P\": {\"DEFAULT\": {\"CRASH\": [\"NO_ACTION\"]},"
      "   \"DEFAULT\": {\"CRASH\": [\"NO_ACTION\"], \"CRASH\": [\"RESTART_SERVICE\"],"
      "     \"HEALTHFAIL\": \"NO_ACTION\", \"BOGUSTYPE\": [], \"COREDUMP\": [1, "
      "\"RESTART_SYSTEM\"]},"
      "   \"NOPROFILE\": {\"CRASH\": []}, \"FAIL\": 5,"
      "   \"FAIL\": {\"HEALTH\": [\"HAFAILOVER\", \"WHAT\"]}}}");
  LogCapture capture;
  Strings args{"stale"}, raw;
  std::vector<int32_t> ports{99};
  RecoveryActionList actions;
  const RecoveryActionList kSystem{RecoveryAction::RestartSystem};
  RecoveryActionProfiles profiles{
      {RecoveryProfile::Default, {{FailureType::HealthFail, kSystem}}},
      {RecoveryProfile::Failover, {{FailureType::Crash, kSystem}}},
  };
  EXPECT_TRUE(reader.GetStringList("Args", true, &args));
  EXPECT_TRUE(reader.GetStringList("Args", false, &raw));
  EXPECT_TRUE(reader.GetIntList("Ports", &ports));
  EXPECT_TRUE(reader.GetRecoveryActionList("Crash", &actions));
  EXPECT_TRUE(reader.GetRecoveryActionProfiles("P", &profiles));
  EXPECT_EQ(args, (Strings{"-v", "/opt/x", ""}));
  EXPECT_EQ(raw, (Strings{"-v", "%SENTRO_T_DIR%", "%SENTRO_T_UNSET%", ""}));
  EXPECT_EQ(ports, (std::vector<int32_t>{1, -7}));
  EXPECT_EQ(actions, (RecoveryActionList{RecoveryAction::RestartService, RecoveryAction::HaFailover,
                                         RecoveryAction::NoAction}));
  RecoveryActionProfiles expected{
      {RecoveryProfile::Default,
       {{FailureType::Crash, {RecoveryAction::RestartService}}, {FailureType::CoreDump, kSystem}}},
      {RecoveryProfile::Failover, {{FailureType::HealthFail, {RecoveryAction::HaFailover}}}},
  };
  EXPECT_EQ(profiles, expected);
  const std::string nonString = "W Non String entry in Args field. Skipping...\n";
  const std::string nonInt = "W Non Int entry in Ports field. Skipping...\n";
  EXPECT_EQ(Logged(capture),
            (Strings{nonString, "E Env variable SENTRO_T_UNSET is not set\n",
                     "W Invalid string entry in Args field. Skipping...\n", nonString, nonInt,
                     nonInt, nonInt, "W Non String entry in Crash field. Skipping...\n",
                     "W Invalid recovery action entry BOGUS\n",
                     "W Invalid recovery action entry restart_system\n",
                     "W Invalid service failure type BOGUSTYPE\n",
                     "W Invalid recovery action field type. Key P\n",
                     "W Invalid recovery action profile NOPROFILE\n",
                     "W Invalid recovery action profiles field type. Key P\n",
                     "W Invalid recovery action entry WHAT\n"}));
}

// An unset variable is covered with the reader's lists.
TEST(EnvExpand, ReferencesAreReplacedDoublePercentIsLiteralAndAMissingEndFailsWithOneError) {
  setenv("SENTRO_T_HOME", "/home/op", 1);
  setenv("SENTRO_T_EMPTY", "", 1);
  setenv("SENTRO_T_PCT", "%SENTRO_T_HOME%", 1);
  setenv("SENTRO_T_A%B", "ab", 1);
  const struct {
    const char *source, *expanded;  // or the one error logged
  } cases[] = {
      {"a%SENTRO_T_HOME%b%SENTRO_T_HOME%", "a/home/opb/home/op"},
      {"100%%", "100%"},
      {"%%%SENTRO_T_HOME%", "%/home/op"},
      {"%SENTRO_T_A%%B%", "ab"},              // "%%" inside a name belongs to the name
      {"x%SENTRO_T_EMPTY%y", "xy"},           // an empty value expands to nothing
      {"%SENTRO_T_PCT%", "%SENTRO_T_HOME%"},  // values are not expanded again
      {"%SENTRO_T_HOME", "Missing ending % in %SENTRO_T_HOME\n"},
      {"%SENTRO_T_HOME%%", "Missing ending % in %SENTRO_T_HOME%%\n"},
  };
  for (const auto &c : cases) {
    LogCapture capture;
    std::string out = "stale";
    bool ok = !std::string(c.expanded).starts_with("Missing");
    EXPECT_EQ(ExpandEnvVars(c.source, &out), ok) << c.source;
    EXPECT_EQ(ok ? out : capture.Text(), c.expanded) << c.source;
    EXPECT_TRUE(ok ? capture.Messages().empty() : capture.Has(LOG_ERROR, c.expanded));
  }
}

// Directory listings come in one order for every reader of the configuration.
TEST(DirectoryNames, AreSortedByteWiseWithoutDotEntries) {
  TempDir dir;
  for (const char *name : {"b.json", "B.json", "a.json", ".state_a.json"}) {
    WriteFile(dir.Sub(name), "{}");
  }
  std::vector<std::string> names = {"stale"};
  ASSERT_TRUE(ListDirectoryNames(dir.path(), &names));
  EXPECT_EQ(names, (std::vector<std::string>{".state_a.json", "B.json", "a.json", "b.json"}));

  EXPECT_FALSE(ListDirectoryNames(dir.Sub("missing"), &names));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(names.empty());
}

// The descriptor of this process open on path, or -1.
int OpenDescriptor(const std::string &path) {
  for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) == path) {
      return std::stoi(entry.path().filename());
    }
  }
  return -1;
}

TEST(JsonFileWriter, MembersAreWrittenCompactAndEscapedInOrderOverAnOlderFile) {
  TempDir dir;
  JsonFileWriter writer;
  ASSERT_TRUE(writer.Open(dir.File("empty")));
  EXPECT_TRUE(writer.Close());
  EXPECT_EQ(ReadWholeFile(dir.File("empty")), "{}");

  std::string path = dir.Write("state", "an older and much longer file content, truncated now");
  ASSERT_TRUE(writer.Open(path));
  int fd = OpenDescriptor(path);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  writer.WriteString("State", "STARTED");
  writer.WriteInt("Count", -5);
  writer.WriteInt("Max", 2147483647);
  writer.WriteString("k\"ey", std::string("q\"b\\s\nn\tt\x01/\0z", 13));
  EXPECT_TRUE(writer.Close());
  EXPECT_EQ(OpenDescriptor(path), -1);
  EXPECT_EQ(
      ReadWholeFile(path),
      R"({"State":"STARTED","Count":-5,"Max":2147483647,"k\"ey":"q\"b\\s\nn\tt\u0001/\u0000z"})");

  // More than the writer's buffer holds is written whole.
  ASSERT_TRUE(writer.Open(path));
  std::string expected = "{";
  for (int i = 0; i < 300; i++) {
    writer.WriteInt(("Key" + std::to_string(i)).c_str(), i * 1000);
    expected += "\"Key" + std::to_string(i) + "\":" + std::to_string(i * 1000) + ",";
  }
  writer.WriteString("Tail", std::string(5000, 'x'));
  EXPECT_TRUE(writer.Close());
  EXPECT_EQ(ReadWholeFile(path), expected + "\"Tail\":\"" + std::string(5000, 'x') + "\"}");
}

TEST(JsonFileWriter, WriteErrorMakesCloseFailWithTheSystemError) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  JsonFileWriter writer;
  ASSERT_TRUE(writer.Open("/dev/full"));
  writer.WriteString("Key", "value");
  errno = 0;
  EXPECT_FALSE(writer.Close());
  EXPECT_EQ(errno, ENOSPC);
}

}  // namespace
