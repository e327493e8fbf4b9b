#include "src/telemetry/TelemetryJson.h"

#include "src/core/JsonFileReader.h"

bool ParseJsonStream(FILE *file, rapidjson::Document *doc) {
  std::string text;
  return ReadJsonText(file, &text) == 0 && ParseJsonText(text, doc);
}

bool LoadJsonFile(const std::string &path, rapidjson::Document *doc) {
  FILE *file = fopen(path.c_str(), "re");
  if (file == nullptr) {
    return false;
  }
  bool parsed = ParseJsonStream(file, doc);
  fclose(file);
  return parsed;
}

const rapidjson::Value *FindStringMember(const rapidjson::Value &object, const char *key) {
  if (!object.IsObject()) {
    return nullptr;
  }
  auto member = object.FindMember(key);
  if (member == object.MemberEnd() || !member->value.IsString()) {
    return nullptr;
  }
  return &member->value;
}
