#include "src/core/JsonFileReader.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "lib/log/log.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

// What a capture recorded, one "W text" or "E text" entry per message.
std::vector<std::string> Logged(const LogCapture &capture) {
  std::vector<std::string> logged;
  for (const CapturedMessage &message : capture.Messages()) {
    const char *level = message.level == LOG_WARNING ? "W "
                        : message.level == LOG_ERROR ? "E "
                                                     : "? ";
    logged.push_back(level + message.text);
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

  std::string String(const char *key) {
    std::string value = "<absent>";
    reader.GetString(key, false, &value);
    return value;
  }

  TempDir dir;
  JsonFileReader reader;
};

TEST_F(JsonFileReaderTest, CommentLinesAreDroppedAndLinesJoinedWithoutSeparators) {
  struct Case {
    const char *contents;
    const char *expected;  // the value of "A"
  } cases[] = {
      {"// A service definition.\n{\n\t\"A\": \"web\",\n    // \"A\": \"other\",\n"
       "\t\t// \"B\": 99,\n  \t\"B\": 12\n}\n",
       "web"},
      {"{\"A\": \"a\n    b\"}\r\n", "ab"},
      {"{\"A\": \"x\n  /y\"}", "x/y"},  // a single slash at line start is kept
      {"{\"A\": \"p\n/\nq\"}", "p/q"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.contents);
    LoadText(c.contents);
    EXPECT_EQ(String("A"), c.expected);
  }
  LoadText("{\"Count\": 12\n34}");
  int32_t count = 0;
  EXPECT_TRUE(reader.GetInt("Count", &count));
  EXPECT_EQ(count, 1234);
}

TEST_F(JsonFileReaderTest, LoadFailuresLogWhatWentWrong) {
  std::string dirPath = dir.path();
  std::string absent = dir.File("absent.json");
  struct Case {
    const char *contents;  // nullptr: load the path as it is
    std::string path;
    std::vector<std::string> logged;
  } cases[] = {
      {nullptr,
       absent,
       {"W Failed to open file " + absent + ". Error: No such file or directory\n"}},
      {nullptr,
       dirPath,
       {"E Error reading file. Details Is a directory\n",
        "E Failed to read json config " + dirPath + "\n"}},
      // A comment after text is not a comment: kParseErrorDocumentRootNotSingular.
      {"{\"A\": 1} // trailing\n", dir.File("c.json"), {"", "E Parse Error: 2. Offset: 9\n"}},
      // The offset counts the joined text {"A": x}.
      {"{\n  // note\n\t\"A\": x\n}\n",
       dir.File("bad.json"),
       {"", "E Parse Error: 3. Offset: 6\n"}},
      {"// only a comment\n\n", dir.File("empty.json"), {"", "E Parse Error: 1. Offset: 0\n"}},
      // Well-formed roots that are not objects.
      {"[1, 2]", dir.File("array.json"), {""}},
      {"\"text\"", dir.File("string.json"), {""}},
      {"null", dir.File("null.json"), {""}},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(c.path);
    if (c.contents != nullptr) {
      WriteFile(c.path, c.contents);
      c.logged[0] = "E Invalid Json formatted file " + c.path + "\n";
    }
    LogCapture capture;
    EXPECT_FALSE(reader.Load(c.path));
    EXPECT_EQ(Logged(capture), c.logged);
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

TEST_F(JsonFileReaderTest, FirstMemberWithTheNameWinsAndNamesAreAppendedInOrder) {
  LoadText("{\"A\": 1, \"S\": \"first\", \"A\": 2, \"S\": \"second\", \"L\": [1], \"L\": [2]}");
  int32_t a = 0;
  EXPECT_TRUE(reader.GetInt("A", &a));
  EXPECT_EQ(a, 1);
  EXPECT_EQ(String("S"), "first");
  std::vector<int32_t> list;
  EXPECT_TRUE(reader.GetIntList("L", &list));
  EXPECT_EQ(list, std::vector<int32_t>{1});
  std::vector<std::string> names{"existing"};
  reader.GetMemberNames(&names);
  EXPECT_EQ(names, (std::vector<std::string>{"existing", "A", "S", "A", "S", "L", "L"}));
}

TEST_F(JsonFileReaderTest, AbsentOrMistypedKeysLeaveOutUntouchedSilently) {
  LoadText(
      "{\"Str\": \"x\", \"Num\": 5, \"Frac\": 60.5, \"Big\": 2147483648, \"Neg\": -1,"
      " \"Exp\": 1e2, \"Bool\": true, \"Null\": null, \"Arr\": [], \"Obj\": {}}");
  LogCapture capture;
  bool flag = false;
  int32_t number = 42;
  uint64_t wide = 42;
  std::string text = "kept";
  StartupType startup = StartupType::Disabled;
  std::vector<std::string> strings{"kept"};
  std::vector<int32_t> ints{42};
  RecoveryActionList actions{RecoveryAction::HaFailover};
  RecoveryActionProfiles profiles{{RecoveryProfile::Default, {}}};

  for (const char *key : {"Missing", "Str", "Num", "Null", "Arr", "Obj"}) {
    EXPECT_FALSE(reader.GetBool(key, &flag)) << key;
  }
  for (const char *key : {"Missing", "Str", "Frac", "Big", "Exp", "Bool", "Null", "Arr"}) {
    EXPECT_FALSE(reader.GetInt(key, &number)) << key;
  }
  for (const char *key : {"Missing", "Str", "Frac", "Neg", "Exp", "Bool"}) {
    EXPECT_FALSE(reader.GetUint64(key, &wide)) << key;
  }
  for (const char *key : {"Missing", "Num", "Bool", "Null", "Arr", "Obj"}) {
    EXPECT_FALSE(reader.GetString(key, true, &text)) << key;
    EXPECT_FALSE(reader.GetStartupType(key, &startup)) << key;
  }
  for (const char *key : {"Missing", "Str", "Num", "Obj", "Null"}) {
    EXPECT_FALSE(reader.GetStringList(key, true, &strings)) << key;
    EXPECT_FALSE(reader.GetIntList(key, &ints)) << key;
    EXPECT_FALSE(reader.GetRecoveryActionList(key, &actions)) << key;
  }
  for (const char *key : {"Missing", "Str", "Arr", "Null"}) {
    EXPECT_FALSE(reader.GetRecoveryActionProfiles(key, &profiles)) << key;
  }

  EXPECT_FALSE(flag);
  EXPECT_EQ(number, 42);
  EXPECT_EQ(wide, 42u);
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(startup, StartupType::Disabled);
  EXPECT_EQ(strings, std::vector<std::string>{"kept"});
  EXPECT_EQ(ints, std::vector<int32_t>{42});
  EXPECT_EQ(actions, RecoveryActionList{RecoveryAction::HaFailover});
  EXPECT_EQ(profiles.size(), 1u);
  EXPECT_EQ(capture.Text(), "");
}

TEST_F(JsonFileReaderTest, ListsKeepUsableEntriesAndWarnAboutEachSkippedOne) {
  setenv("SENTRO_T_DIR", "/opt/x", 1);
  unsetenv("SENTRO_T_UNSET");
  LoadText(
      "{\"Args\": [\"-v\", 1, \"%SENTRO_T_DIR%\", \"%SENTRO_T_UNSET%\", null, \"\"],"
      " \"Ports\": [1, \"two\", 3.0, 4294967296, -7],"
      " \"Crash\": [\"RESTART_SERVICE\", 5, \"BOGUS\", \"HA\", \"NO_ACTION\"], \"None\": []}");
  const std::string nonString = "W Non String entry in Args field. Skipping...\n";
  const std::string nonInt = "W Non Int entry in Ports field. Skipping...\n";

  LogCapture capture;
  std::vector<std::string> args{"stale"};
  EXPECT_TRUE(reader.GetStringList("Args", true, &args));
  EXPECT_EQ(args, (std::vector<std::string>{"-v", "/opt/x", ""}));
  EXPECT_EQ(
      Logged(capture),
      (std::vector<std::string>{nonString, "E Env variable SENTRO_T_UNSET is not set\n",
                                "W Invalid string entry in Args field. Skipping...\n", nonString}));
  capture.Clear();
  EXPECT_TRUE(reader.GetStringList("Args", false, &args));
  EXPECT_EQ(args, (std::vector<std::string>{"-v", "%SENTRO_T_DIR%", "%SENTRO_T_UNSET%", ""}));
  EXPECT_EQ(Logged(capture), (std::vector<std::string>{nonString, nonString}));

  capture.Clear();
  std::vector<int32_t> ports{99};
  EXPECT_TRUE(reader.GetIntList("Ports", &ports));
  EXPECT_EQ(ports, (std::vector<int32_t>{1, -7}));
  EXPECT_EQ(Logged(capture), (std::vector<std::string>{nonInt, nonInt, nonInt}));

  capture.Clear();
  RecoveryActionList actions;
  EXPECT_TRUE(reader.GetRecoveryActionList("Crash", &actions));
  EXPECT_EQ(actions, (RecoveryActionList{RecoveryAction::RestartService, RecoveryAction::HaFailover,
                                         RecoveryAction::NoAction}));
  EXPECT_EQ(Logged(capture),
            (std::vector<std::string>{"W Non String entry in Crash field. Skipping...\n",
                                      "W Invalid recovery action entry BOGUS\n"}));
  EXPECT_TRUE(reader.GetRecoveryActionList("None", &actions));
  EXPECT_TRUE(actions.empty());
}

TEST_F(JsonFileReaderTest, RecoveryProfilesMapNamesAndWarnAboutEachBadPart) {
  LoadText(
      "{\"RecoveryActionProfiles\": {"
      "  \"DEFAULT\": {\"CRASH\": [\"RESTART_SERVICE\"], \"HEALTHFAIL\": \"NO_ACTION\","
      "                \"BOGUSTYPE\": [\"NO_ACTION\"], \"COREDUMP\": [1, \"RESTART_SYSTEM\"]},"
      "  \"NOPROFILE\": {\"CRASH\": [\"NO_ACTION\"]},"
      "  \"FAIL\": 5,"
      "  \"FAIL\": {\"CRASH\": [], \"HEALTH\": [\"HAFAILOVER\", \"WHAT\"]}"
      "}}");
  LogCapture capture;
  RecoveryActionProfiles profiles;
  EXPECT_TRUE(reader.GetRecoveryActionProfiles("RecoveryActionProfiles", &profiles));
  RecoveryActionProfiles expected{
      {RecoveryProfile::Default,
       {{FailureType::Crash, {RecoveryAction::RestartService}},
        {FailureType::CoreDump, {RecoveryAction::RestartSystem}}}},
      {RecoveryProfile::Failover,
       {{FailureType::Crash, {}}, {FailureType::HealthFail, {RecoveryAction::HaFailover}}}},
  };
  EXPECT_EQ(profiles, expected);
  EXPECT_EQ(Logged(capture),
            (std::vector<std::string>{
                "W Invalid service failure type BOGUSTYPE\n",
                "W Invalid recovery action field type. Key RecoveryActionProfiles\n",
                "W Invalid recovery action profile NOPROFILE\n",
                "W Invalid recovery action profiles field type. Key RecoveryActionProfiles\n",
                "W Invalid recovery action entry WHAT\n",
            }));
}

TEST_F(JsonFileReaderTest, RecoveryProfilesReplaceNamedProfilesAndTheLastListOfAType) {
  RecoveryActionProfiles profiles{
      {RecoveryProfile::Default, {{FailureType::Crash, {RecoveryAction::RestartSystem}}}},
      {RecoveryProfile::Failover, {{FailureType::Crash, {RecoveryAction::RestartSystem}}}},
  };
  LoadText("{\"P\": {\"DEFAULT\": {\"CRASH\": [\"NO_ACTION\"], \"CRASH\": [\"HAFAILOVER\"]}}}");
  EXPECT_TRUE(reader.GetRecoveryActionProfiles("P", &profiles));
  EXPECT_EQ(profiles[RecoveryProfile::Default],
            (FailureRecoveryMap{{FailureType::Crash, {RecoveryAction::HaFailover}}}));

  LoadText(
      "{\"P\": {\"DEFAULT\": {\"CRASH\": [\"NO_ACTION\"]},"
      "         \"DEFAULT\": {\"HEALTHFAIL\": [\"RESTART_SERVICE\"]}}}");
  EXPECT_TRUE(reader.GetRecoveryActionProfiles("P", &profiles));
  RecoveryActionProfiles expected{
      {RecoveryProfile::Default, {{FailureType::HealthFail, {RecoveryAction::RestartService}}}},
      {RecoveryProfile::Failover, {{FailureType::Crash, {RecoveryAction::RestartSystem}}}},
  };
  EXPECT_EQ(profiles, expected);
}

}  // namespace
