#include "src/telemetry/TelemetryJson.h"

#include <cstdlib>

// Appends line without its newline, unless its first non-blank characters
// are "//".
static void AppendUncommentedLine(const char *line, size_t length, std::string *text) {
  size_t pos = 0;
  while (pos < length && (line[pos] == ' ' || line[pos] == '\t')) {
    pos++;
  }
  if (pos + 1 < length && line[pos] == '/' && line[pos + 1] == '/') {
    return;
  }
  if (length > pos && line[length - 1] == '\n') {
    length--;
  }
  text->append(line + pos, length - pos);
}

bool ParseJsonStream(FILE *file, rapidjson::Document *doc) {
  std::string text;
  char *line = nullptr;
  size_t capacity = 0;
  ssize_t length;
  while ((length = getline(&line, &capacity, file)) >= 0) {
    AppendUncommentedLine(line, static_cast<size_t>(length), &text);
  }
  free(line);
  if (ferror(file)) {
    return false;
  }
  // The iterative parser keeps a deeply nested file off the stack.
  doc->Parse<rapidjson::kParseDefaultFlags | rapidjson::kParseIterativeFlag>(text.c_str());
  return !doc->HasParseError();
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
