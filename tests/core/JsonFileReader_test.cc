#include "src/core/JsonFileReader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

#include "lib/log/log.h"
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
  const struct {
    const char *contents, *expected;  // the value of "A"
  } cases[] = {
      {"// A definition.\n{\n\t\"A\": \"web\",\n    // \"A\": \"other\",\n  \t\"B\": 12\n}\n",
       "web"},
      {"{\"A\": \"a\n    b\"}\r\n", "ab"},
      {"{\"A\": \"x\n  /y\"}", "x/y"},  // a single slash at line start is kept
      {"{\"A\": \"p\n/\nq\"}", "p/q"},
  };
  for (const auto &c : cases) {
    LoadText(c.contents);
    std::string value;
    EXPECT_TRUE(reader.GetString("A", false, &value));
    EXPECT_EQ(value, c.expected) << c.contents;
  }
}

TEST_F(JsonFileReaderTest, LoadFailuresLogWhatWentWrong) {
  std::string absent = dir.File("absent.json");
  struct Case {
    const char *contents;  // nullptr: load the path as it is
    std::string path;
    Strings logged;
  } cases[] = {
      {nullptr,
       absent,
       {"W Failed to open file " + absent + ". Error: No such file or directory\n"}},
      {nullptr,
       dir.path(),
       {"E Error reading file. Details Is a directory\n",
        "E Failed to read json config " + dir.path() + "\n"}},
      // A comment after text is not a comment: kParseErrorDocumentRootNotSingular.
      {"{\"A\": 1} // trailing\n", dir.File("c.json"), {"", "E Parse Error: 2. Offset: 9\n"}},
      // The offset counts the joined text {"A": x}.
      {"{\n  // note\n\t\"A\": x\n}\n", dir.File("b.json"), {"", "E Parse Error: 3. Offset: 6\n"}},
      {"// only a comment\n\n", dir.File("e.json"), {"", "E Parse Error: 1. Offset: 0\n"}},
      {"[1, 2]", dir.File("array.json"), {""}},  // well-formed roots that are not objects
      {"null", dir.File("null.json"), {""}},
  };
  LoadText("{\"A\": 1}");
  for (Case &c : cases) {
    if (c.contents != nullptr) {
      WriteFile(c.path, c.contents);
      c.logged[0] = "E Invalid Json formatted file " + c.path + "\n";
    }
    LogCapture capture;
    EXPECT_FALSE(reader.Load(c.path));
    EXPECT_EQ(Logged(capture), c.logged) << c.path;
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

}  // namespace
