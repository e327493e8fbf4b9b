#include "src/core/JsonFileReader.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "lib/log/log.h"

namespace {

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

// Loading and the text handed to the parser.

TEST_F(JsonFileReaderTest, IndentedFileWithCommentLinesParsesAsIfTheyWereAbsent) {
  LoadText(
      "// A service definition.\n"
      "{\n"
      "\t\"Name\": \"web\",\n"
      "    // \"Name\": \"other\",\n"
      "\t\t// \"Timeout\": 99,\n"
      "  \t\"Timeout\": 12\n"
      "}\n");
  std::string name;
  EXPECT_TRUE(reader.GetString("Name", false, &name));
  EXPECT_EQ(name, "web");
  int32_t timeout = 0;
  EXPECT_TRUE(reader.GetInt("Timeout", &timeout));
  EXPECT_EQ(timeout, 12);
  std::vector<std::string> names;
  reader.GetMemberNames(&names);
  EXPECT_EQ(names, (std::vector<std::string>{"Name", "Timeout"}));
}

TEST_F(JsonFileReaderTest, LinesAreJoinedWithoutSeparators) {
  LoadText("{\"Count\": 12\n34,\n\"Path\": \"a\n    b\"}\r\n");
  int32_t count = 0;
  EXPECT_TRUE(reader.GetInt("Count", &count));
  EXPECT_EQ(count, 1234);
  std::string path;
  EXPECT_TRUE(reader.GetString("Path", false, &path));
  EXPECT_EQ(path, "ab");
}

TEST_F(JsonFileReaderTest, SingleSlashAtLineStartIsKeptOnce) {
  LoadText("{\"A\": \"x\n  /y\",\n\"B\": \"p\n/\nq\"}");
  std::string a, b;
  EXPECT_TRUE(reader.GetString("A", false, &a));
  EXPECT_EQ(a, "x/y");
  EXPECT_TRUE(reader.GetString("B", false, &b));
  EXPECT_EQ(b, "p/q");
}

TEST_F(JsonFileReaderTest, CommentAfterTextIsNotAComment) {
  LogCapture capture;
  std::string path = dir.Write("c.json", "{\"A\": 1} // trailing\n");
  EXPECT_FALSE(reader.Load(path));
  ASSERT_EQ(capture.Messages().size(), 2u);
  EXPECT_TRUE(capture.Has(LOG_ERROR, "Invalid Json formatted file " + path + "\n"));
  // kParseErrorDocumentRootNotSingular at the first "/".
  EXPECT_TRUE(capture.Has(LOG_ERROR, "Parse Error: 2. Offset: 9\n"));
}

TEST_F(JsonFileReaderTest, ParseErrorOffsetCountsTheJoinedText) {
  LogCapture capture;
  std::string path = dir.Write("bad.json", "{\n  // note\n\t\"A\": x\n}\n");
  EXPECT_FALSE(reader.Load(path));
  // The joined text is {"A": x}; kParseErrorValueInvalid at the "x".
  EXPECT_TRUE(capture.Has(LOG_ERROR, "Parse Error: 3. Offset: 6\n"));
}

TEST_F(JsonFileReaderTest, EmptyFileReportsEmptyDocumentAtOffsetZero) {
  LogCapture capture;
  std::string path = dir.Write("empty.json", "// only a comment\n\n");
  EXPECT_FALSE(reader.Load(path));
  ASSERT_EQ(capture.Messages().size(), 2u);
  EXPECT_EQ(capture.Messages()[0].text, "Invalid Json formatted file " + path + "\n");
  EXPECT_TRUE(capture.Has(LOG_ERROR, "Parse Error: 1. Offset: 0\n"));
}

TEST_F(JsonFileReaderTest, WellFormedNonObjectRootGetsOnlyTheFormatMessage) {
  for (const char *contents : {"[1, 2]", "\"text\"", "42", "null"}) {
    LogCapture capture;
    std::string path = dir.Write("array.json", contents);
    EXPECT_FALSE(reader.Load(path)) << contents;
    ASSERT_EQ(capture.Messages().size(), 1u) << contents;
    EXPECT_TRUE(capture.Has(LOG_ERROR, "Invalid Json formatted file " + path + "\n"));
  }
}

TEST_F(JsonFileReaderTest, MissingFileIsAWarningWithTheSystemError) {
  LogCapture capture;
  std::string path = dir.File("absent.json");
  EXPECT_FALSE(reader.Load(path));
  ASSERT_EQ(capture.Messages().size(), 1u);
  EXPECT_TRUE(capture.Has(LOG_WARNING,
                          "Failed to open file " + path + ". Error: No such file or directory\n"));
}

TEST_F(JsonFileReaderTest, UnreadableFileIsAReadError) {
  LogCapture capture;
  EXPECT_FALSE(reader.Load(dir.path()));
  ASSERT_EQ(capture.Messages().size(), 2u);
  EXPECT_TRUE(capture.Has(LOG_ERROR, "Error reading file. Details Is a directory\n"));
  EXPECT_TRUE(capture.Has(LOG_ERROR, "Failed to read json config " + dir.path() + "\n"));
}

TEST_F(JsonFileReaderTest, FailedLoadLeavesNoMembers) {
  LoadText("{\"A\": 1}");
  LogCapture capture;
  EXPECT_FALSE(reader.Load(dir.Write("next.json", "{\"A\": ")));
  int32_t a = 7;
  EXPECT_FALSE(reader.GetInt("A", &a));
  EXPECT_EQ(a, 7);
  EXPECT_FALSE(reader.Load(dir.File("absent.json")));
  std::vector<std::string> names;
  reader.GetMemberNames(&names);
  EXPECT_TRUE(names.empty());
}

TEST_F(JsonFileReaderTest, DeepNestingIsParsedWithoutExhaustingTheStack) {
  const size_t depth = 200000;
  LogCapture capture;
  std::string contents = "{\"Deep\": " + std::string(depth, '[') + std::string(depth, ']') + "}";
  ASSERT_TRUE(reader.Load(dir.Write("deep.json", contents)));
  EXPECT_FALSE(reader.Load(dir.Write("deeper.json", std::string(depth, '['))));
  EXPECT_TRUE(capture.Has(LOG_ERROR, "Parse Error: 3. Offset: 200000\n"));
}

// Loads path with the address space limited to what is in use plus headroom;
// true when the load failed with the allocation failure logged.
bool LoadFailsOnExhaustedMemory(JsonFileReader *reader, const std::string &path, size_t headroom) {
  LogCapture capture;
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0;
  statm >> pages;
  rlimit limit;
  limit.rlim_cur = limit.rlim_max = pages * sysconf(_SC_PAGESIZE) + headroom;
  setrlimit(RLIMIT_AS, &limit);
  if (reader->Load(path)) {
    return false;
  }
  std::string expected = "Failed to parse json config " + path + ".\nException: ";
  for (const CapturedMessage &message : capture.Messages()) {
    if (message.level == LOG_ERROR && message.text.rfind(expected, 0) == 0) {
      return true;
    }
  }
  return false;
}

TEST_F(JsonFileReaderTest, MemoryExhaustionIsLoggedAsAParseFailure) {
#ifdef SENTRO_SANITIZE
  GTEST_SKIP() << "the sanitizer runtime needs an unlimited address space";
#endif
  // 24 MiB of short lines: the joined text outgrows 8 MiB of headroom while
  // each line stays small.
  std::string path = dir.File("huge.json");
  {
    std::ofstream out(path, std::ios::binary);
    std::string block(1 << 20, '\n');
    for (size_t i = 0; i < block.size(); i += 2) {
      block[i] = 'x';
    }
    block[0] = '{';
    for (int i = 0; i < 24; i++) {
      out << block;
      block[0] = 'x';
    }
    out << "}";
  }
  EXPECT_EXIT(_exit(LoadFailsOnExhaustedMemory(&reader, path, 8 << 20) ? 0 : 1),
              ::testing::ExitedWithCode(0), "");
}

// The common rule of the getters.

TEST_F(JsonFileReaderTest, FirstMemberWithTheNameWins) {
  LoadText("{\"A\": 1, \"S\": \"first\", \"A\": 2, \"S\": \"second\", \"L\": [1], \"L\": [2]}");
  int32_t a = 0;
  EXPECT_TRUE(reader.GetInt("A", &a));
  EXPECT_EQ(a, 1);
  std::string s;
  EXPECT_TRUE(reader.GetString("S", false, &s));
  EXPECT_EQ(s, "first");
  std::vector<int32_t> list;
  EXPECT_TRUE(reader.GetIntList("L", &list));
  EXPECT_EQ(list, std::vector<int32_t>{1});
  std::vector<std::string> names;
  reader.GetMemberNames(&names);
  EXPECT_EQ(names, (std::vector<std::string>{"A", "S", "A", "S", "L", "L"}));
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

TEST_F(JsonFileReaderTest, ScalarGettersAcceptTheirWholeRange) {
  LoadText(
      "{\"Min\": -2147483648, \"Max\": 2147483647, \"U0\": 0,"
      " \"UMax\": 18446744073709551615, \"T\": true, \"F\": false, \"S\": \"a\\u00e9\\\"\"}");
  int32_t number = 0;
  EXPECT_TRUE(reader.GetInt("Min", &number));
  EXPECT_EQ(number, INT32_MIN);
  EXPECT_TRUE(reader.GetInt("Max", &number));
  EXPECT_EQ(number, INT32_MAX);
  uint64_t wide = 1;
  EXPECT_TRUE(reader.GetUint64("U0", &wide));
  EXPECT_EQ(wide, 0u);
  EXPECT_TRUE(reader.GetUint64("UMax", &wide));
  EXPECT_EQ(wide, UINT64_MAX);
  EXPECT_TRUE(reader.GetUint64("Max", &wide));
  EXPECT_EQ(wide, 2147483647u);
  bool flag = false;
  EXPECT_TRUE(reader.GetBool("T", &flag));
  EXPECT_TRUE(flag);
  EXPECT_TRUE(reader.GetBool("F", &flag));
  EXPECT_FALSE(flag);
  std::string text;
  EXPECT_TRUE(reader.GetString("S", false, &text));
  EXPECT_EQ(text, "a\xc3\xa9\"");
}

TEST_F(JsonFileReaderTest, StringExpansionFailureLeavesOutUntouched) {
  setenv("SENTRO_T_DIR", "/opt/x", 1);
  unsetenv("SENTRO_T_UNSET");
  LoadText("{\"Good\": \"%SENTRO_T_DIR%/bin\", \"Bad\": \"%SENTRO_T_UNSET%/bin\"}");
  std::string text;
  EXPECT_TRUE(reader.GetString("Good", true, &text));
  EXPECT_EQ(text, "/opt/x/bin");
  EXPECT_TRUE(reader.GetString("Good", false, &text));
  EXPECT_EQ(text, "%SENTRO_T_DIR%/bin");

  LogCapture capture;
  text = "kept";
  EXPECT_FALSE(reader.GetString("Bad", true, &text));
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(capture.Text(), "Env variable SENTRO_T_UNSET is not set\n");
}

TEST_F(JsonFileReaderTest, StartupTypeIsMatchedByPrefix) {
  LoadText("{\"Empty\": \"\", \"Auto\": \"AUTO\", \"Long\": \"AUTOMATICALLY\", \"Dis\": \"DIS\"}");
  StartupType type = StartupType::Disabled;
  EXPECT_TRUE(reader.GetStartupType("Empty", &type));
  EXPECT_EQ(type, StartupType::Manual);
  EXPECT_TRUE(reader.GetStartupType("Auto", &type));
  EXPECT_EQ(type, StartupType::Automatic);
  EXPECT_TRUE(reader.GetStartupType("Dis", &type));
  EXPECT_EQ(type, StartupType::Disabled);

  LogCapture capture;
  EXPECT_FALSE(reader.GetStartupType("Long", &type));
  EXPECT_EQ(type, StartupType::Disabled);
  ASSERT_EQ(capture.Messages().size(), 1u);
  EXPECT_TRUE(capture.Has(LOG_WARNING, "Invalid startup type AUTOMATICALLY\n"));
}

// List readers.

TEST_F(JsonFileReaderTest, StringListSkipsNonStringsAndFailedExpansions) {
  setenv("SENTRO_T_DIR", "/opt/x", 1);
  unsetenv("SENTRO_T_UNSET");
  LoadText("{\"Args\": [\"-v\", 1, \"%SENTRO_T_DIR%\", \"%SENTRO_T_UNSET%\", null, \"\"]}");
  LogCapture capture;
  std::vector<std::string> args{"stale"};
  EXPECT_TRUE(reader.GetStringList("Args", true, &args));
  EXPECT_EQ(args, (std::vector<std::string>{"-v", "/opt/x", ""}));
  std::vector<CapturedMessage> messages = capture.Messages();
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[0].level, LOG_WARNING);
  EXPECT_EQ(messages[0].text, "Non String entry in Args field. Skipping...\n");
  EXPECT_EQ(messages[1].level, LOG_ERROR);
  EXPECT_EQ(messages[1].text, "Env variable SENTRO_T_UNSET is not set\n");
  EXPECT_EQ(messages[2].level, LOG_WARNING);
  EXPECT_EQ(messages[2].text, "Invalid string entry in Args field. Skipping...\n");
  EXPECT_EQ(messages[3].text, "Non String entry in Args field. Skipping...\n");

  capture.Clear();
  EXPECT_TRUE(reader.GetStringList("Args", false, &args));
  EXPECT_EQ(args, (std::vector<std::string>{"-v", "%SENTRO_T_DIR%", "%SENTRO_T_UNSET%", ""}));
  EXPECT_EQ(capture.Messages().size(), 2u);
}

TEST_F(JsonFileReaderTest, IntListKeepsOnlyThirtyTwoBitIntegers) {
  LoadText("{\"Ports\": [1, \"two\", 3.0, 4294967296, -7]}");
  LogCapture capture;
  std::vector<int32_t> ports{99};
  EXPECT_TRUE(reader.GetIntList("Ports", &ports));
  EXPECT_EQ(ports, (std::vector<int32_t>{1, -7}));
  ASSERT_EQ(capture.Messages().size(), 3u);
  for (const CapturedMessage &message : capture.Messages()) {
    EXPECT_EQ(message.level, LOG_WARNING);
    EXPECT_EQ(message.text, "Non Int entry in Ports field. Skipping...\n");
  }
}

TEST_F(JsonFileReaderTest, RecoveryActionListKeepsValidNamesInOrder) {
  LoadText("{\"Crash\": [\"RESTART_SERVICE\", 5, \"BOGUS\", \"HA\", \"NO_ACTION\"], \"None\": []}");
  LogCapture capture;
  RecoveryActionList actions;
  EXPECT_TRUE(reader.GetRecoveryActionList("Crash", &actions));
  EXPECT_EQ(actions, (RecoveryActionList{RecoveryAction::RestartService, RecoveryAction::HaFailover,
                                         RecoveryAction::NoAction}));
  std::vector<CapturedMessage> messages = capture.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].level, LOG_WARNING);
  EXPECT_EQ(messages[0].text, "Non String entry in Crash field. Skipping...\n");
  EXPECT_EQ(messages[1].level, LOG_WARNING);
  EXPECT_EQ(messages[1].text, "Invalid recovery action entry BOGUS\n");

  EXPECT_TRUE(reader.GetRecoveryActionList("None", &actions));
  EXPECT_TRUE(actions.empty());
}

// Recovery action profiles.

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

  std::vector<std::string> texts;
  for (const CapturedMessage &message : capture.Messages()) {
    EXPECT_EQ(message.level, LOG_WARNING) << message.text;
    texts.push_back(message.text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "Invalid service failure type BOGUSTYPE\n",
                       "Invalid recovery action field type. Key RecoveryActionProfiles\n",
                       "Invalid recovery action profile NOPROFILE\n",
                       "Invalid recovery action profiles field type. Key RecoveryActionProfiles\n",
                       "Invalid recovery action entry WHAT\n",
                   }));
}

TEST_F(JsonFileReaderTest, RecoveryProfilesReplaceNamedProfilesAndKeepOthers) {
  LoadText(
      "{\"P\": {\"DEFAULT\": {\"CRASH\": [\"NO_ACTION\"], \"CRASH\": [\"HAFAILOVER\"]},"
      "         \"DEFAULT\": {\"HEALTHFAIL\": [\"RESTART_SERVICE\"]}}}");
  RecoveryActionProfiles profiles{
      {RecoveryProfile::Default, {{FailureType::Crash, {RecoveryAction::RestartSystem}}}},
      {RecoveryProfile::Failover, {{FailureType::Crash, {RecoveryAction::RestartSystem}}}},
  };
  EXPECT_TRUE(reader.GetRecoveryActionProfiles("P", &profiles));
  RecoveryActionProfiles expected{
      {RecoveryProfile::Default, {{FailureType::HealthFail, {RecoveryAction::RestartService}}}},
      {RecoveryProfile::Failover, {{FailureType::Crash, {RecoveryAction::RestartSystem}}}},
  };
  EXPECT_EQ(profiles, expected);
}

TEST_F(JsonFileReaderTest, LaterFailureTypeInOneProfileReplacesTheEarlierList) {
  LoadText("{\"P\": {\"DEFAULT\": {\"CRASH\": [\"NO_ACTION\"], \"CRASH\": [\"HAFAILOVER\"]}}}");
  RecoveryActionProfiles profiles;
  EXPECT_TRUE(reader.GetRecoveryActionProfiles("P", &profiles));
  EXPECT_EQ(profiles[RecoveryProfile::Default][FailureType::Crash],
            RecoveryActionList{RecoveryAction::HaFailover});
}

TEST_F(JsonFileReaderTest, MemberNamesAreAppendedInDocumentOrder) {
  LoadText("{\"b\": 1, \"a\": {\"inner\": 2}, \"c\": []}");
  std::vector<std::string> names{"existing"};
  reader.GetMemberNames(&names);
  EXPECT_EQ(names, (std::vector<std::string>{"existing", "b", "a", "c"}));
}

}  // namespace
