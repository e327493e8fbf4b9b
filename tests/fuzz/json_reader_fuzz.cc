// Feeds arbitrary bytes to the JSON file reader as a file and reads every
// member with every getter, then loads and reloads them as config.json.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "src/core/JsonFileReader.h"
#include "src/core/SentroConfig.h"
#include "tests/fuzz/FuzzFiles.h"

namespace {

std::string scratchDir;

void ReadEveryWay(const JsonFileReader &reader, const char *key) {
  bool flag = false;
  int32_t number = 0;
  uint64_t wide = 0;
  std::string text;
  StartupType startup = StartupType::Automatic;
  std::vector<std::string> strings;
  std::vector<int32_t> ints;
  RecoveryActionList actions;
  RecoveryActionProfiles profiles;
  reader.GetBool(key, &flag);
  reader.GetInt(key, &number);
  reader.GetUint64(key, &wide);
  reader.GetString(key, false, &text);
  reader.GetString(key, true, &text);
  reader.GetStartupType(key, &startup);
  reader.GetStringList(key, false, &strings);
  reader.GetStringList(key, true, &strings);
  reader.GetIntList(key, &ints);
  reader.GetRecoveryActionList(key, &actions);
  reader.GetRecoveryActionProfiles(key, &profiles);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  scratchDir = MakeFuzzScratchDir("json-fuzz");
  setenv("SENTRO_FUZZ_HOME", "/home/fuzz", 1);
  setenv("SENTRO_FUZZ_EMPTY", "", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string path = scratchDir + "/config.json";
  WriteFuzzFile(path, data, size);

  JsonFileReader reader;
  if (reader.Load(path)) {
    std::vector<std::string> names;
    reader.GetMemberNames(&names);
    for (const std::string &name : names) ReadEveryWay(reader, name.c_str());
    ReadEveryWay(reader, "");
    ReadEveryWay(reader, "RecoveryActionProfiles");
  }

  SentroConfig *config = SentroConfig::Load(scratchDir, scratchDir);
  if (config != nullptr) {
    config->Reload();
    config->RecoveryActionsFor(FailureType::Crash);
    config->RecoveryActionsFor(FailureType::HealthFail);
    config->RecoveryActionsFor(FailureType::CoreDump);
    SentroConfig::ResetForTest();
  }
  return 0;
}
