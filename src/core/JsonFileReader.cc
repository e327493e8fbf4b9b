#include "src/core/JsonFileReader.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

#include "lib/log/log.h"
#include "src/core/EnvExpand.h"

namespace {

// Fills out from the string elements of array that name recovery actions.
// A non-string element logs the warning of the caller's kind.
enum class NonStringMessage { NonStringEntry, InvalidFieldType };

void ReadActionArray(const rapidjson::Value &array, const char *key, NonStringMessage message,
                     RecoveryActionList *out) {
  out->clear();
  for (const rapidjson::Value &element : array.GetArray()) {
    if (!element.IsString()) {
      if (message == NonStringMessage::NonStringEntry) {
        LogAtLevel(LOG_WARNING, "Non String entry in %s field. Skipping...\n", key);
      } else {
        LogAtLevel(LOG_WARNING, "Invalid recovery action field type. Key %s\n", key);
      }
      continue;
    }
    RecoveryAction action;
    if (!RecoveryActionFromName(element.GetString(), &action)) {
      LogAtLevel(LOG_WARNING, "Invalid recovery action entry %s\n", element.GetString());
      continue;
    }
    out->push_back(action);
  }
}

// Reads one profile's object of failure type name -> action array.
FailureRecoveryMap ReadFailureMap(const rapidjson::Value &object, const char *key) {
  FailureRecoveryMap map;
  for (const auto &member : object.GetObject()) {
    if (!member.value.IsArray()) {
      continue;
    }
    RecoveryActionList actions;
    ReadActionArray(member.value, key, NonStringMessage::InvalidFieldType, &actions);
    FailureType type;
    if (!FailureTypeFromName(member.name.GetString(), &type)) {
      LogAtLevel(LOG_WARNING, "Invalid service failure type %s\n", member.name.GetString());
      continue;
    }
    map[type] = std::move(actions);
  }
  return map;
}

}  // namespace

bool JsonFileReader::Load(const std::string &path) {
  // A failed load must not leave the previous file's members readable.
  rapidjson::Document().Swap(doc_);
  try {
    return ReadAndParse(path);
  } catch (const std::exception &e) {
    rapidjson::Document().Swap(doc_);
    LogAtLevel(LOG_ERROR, "Failed to parse json config %s.\nException: %s\n", path.c_str(),
               e.what());
    return false;
  } catch (...) {
    rapidjson::Document().Swap(doc_);
    LogAtLevel(LOG_ERROR, "Failed to parse json config %s.\nException: %s\n", path.c_str(),
               "unknown exception");
    return false;
  }
}

bool JsonFileReader::ReadAndParse(const std::string &path) {
  FILE *file = fopen(path.c_str(), "re");
  if (file == nullptr) {
    LogAtLevel(LOG_WARNING, "Failed to open file %s. Error: %s\n", path.c_str(), strerror(errno));
    return false;
  }

  std::string text;
  int readError;
  try {
    readError = ReadJsonText(file, &text);
  } catch (...) {
    fclose(file);
    throw;
  }
  fclose(file);
  if (readError != 0) {
    LogAtLevel(LOG_ERROR, "Error reading file. Details %s\n", strerror(readError));
    LogAtLevel(LOG_ERROR, "Failed to read json config %s\n", path.c_str());
    return false;
  }

  rapidjson::Document doc;
  ParseJsonText(text, &doc);
  if (doc.IsObject()) {
    doc_.Swap(doc);
    return true;
  }
  LogAtLevel(LOG_ERROR, "Invalid Json formatted file %s\n", path.c_str());
  if (doc.HasParseError()) {
    LogAtLevel(LOG_ERROR, "Parse Error: %d. Offset: %lu\n", static_cast<int>(doc.GetParseError()),
               static_cast<unsigned long>(doc.GetErrorOffset()));
  }
  return false;
}

const rapidjson::Value *JsonFileReader::Find(const char *key) const {
  if (!doc_.IsObject()) {
    return nullptr;
  }
  for (const auto &member : doc_.GetObject()) {
    if (strcmp(member.name.GetString(), key) == 0) {
      return &member.value;
    }
  }
  return nullptr;
}

bool JsonFileReader::GetBool(const char *key, bool *out) const {
  const rapidjson::Value *value = Find(key);
  if (value == nullptr || !value->IsBool()) {
    return false;
  }
  *out = value->GetBool();
  return true;
}

bool JsonFileReader::GetInt(const char *key, int32_t *out) const {
  const rapidjson::Value *value = Find(key);
  if (value == nullptr || !value->IsInt()) {
    return false;
  }
  *out = value->GetInt();
  return true;
}

bool JsonFileReader::GetInt64(const char *key, int64_t *out) const {
  const rapidjson::Value *value = Find(key);
  if (value == nullptr || !value->IsInt64()) {
    return false;
  }
  *out = value->GetInt64();
  return true;
}

bool JsonFileReader::GetUint64(const char *key, uint64_t *out) const {
  const rapidjson::Value *value = Find(key);
  if (value == nullptr || !value->IsUint64()) {
    return false;
  }
  *out = value->GetUint64();
  return true;
}

bool JsonFileReader::GetString(const char *key, bool expand, std::string *out) const {
  const rapidjson::Value *value = Find(key);
  if (value == nullptr || !value->IsString()) {
    return false;
  }
  std::string text(value->GetString(), value->GetStringLength());
  if (!expand) {
    *out = std::move(text);
    return true;
  }
  std::string expanded;
  if (!ExpandEnvVars(text, &expanded)) {
    return false;
  }
  *out = std::move(expanded);
  return true;
}

bool JsonFileReader::GetStartupType(const char *key, StartupType *out) const {
  const rapidjson::Value *value = Find(key);
  if (value == nullptr || !value->IsString()) {
    return false;
  }
  if (!StartupTypeFromName(value->GetString(), out)) {
    LogAtLevel(LOG_WARNING, "Invalid startup type %s\n", value->GetString());
    return false;
  }
  return true;
}

bool JsonFileReader::GetStringList(const char *key, bool expand,
                                   std::vector<std::string> *out) const {
  const rapidjson::Value *value = Find(key);
  if (value == nullptr || !value->IsArray()) {
    return false;
  }
  out->clear();
  for (const rapidjson::Value &element : value->GetArray()) {
    if (!element.IsString()) {
      LogAtLevel(LOG_WARNING, "Non String entry in %s field. Skipping...\n", key);
      continue;
    }
    std::string text(element.GetString(), element.GetStringLength());
    if (!expand) {
      out->push_back(std::move(text));
      continue;
    }
    std::string expanded;
    if (!ExpandEnvVars(text, &expanded)) {
      LogAtLevel(LOG_WARNING, "Invalid string entry in %s field. Skipping...\n", key);
      continue;
    }
    out->push_back(std::move(expanded));
  }
  return true;
}

bool JsonFileReader::GetIntList(const char *key, std::vector<int32_t> *out) const {
  const rapidjson::Value *value = Find(key);
  if (value == nullptr || !value->IsArray()) {
    return false;
  }
  out->clear();
  for (const rapidjson::Value &element : value->GetArray()) {
    if (!element.IsInt()) {
      LogAtLevel(LOG_WARNING, "Non Int entry in %s field. Skipping...\n", key);
      continue;
    }
    out->push_back(element.GetInt());
  }
  return true;
}

bool JsonFileReader::GetRecoveryActionList(const char *key, RecoveryActionList *out) const {
  const rapidjson::Value *value = Find(key);
  if (value == nullptr || !value->IsArray()) {
    return false;
  }
  ReadActionArray(*value, key, NonStringMessage::NonStringEntry, out);
  return true;
}

bool JsonFileReader::GetRecoveryActionProfiles(const char *key, RecoveryActionProfiles *out) const {
  const rapidjson::Value *value = Find(key);
  if (value == nullptr || !value->IsObject()) {
    return false;
  }
  for (const auto &member : value->GetObject()) {
    if (!member.value.IsObject()) {
      LogAtLevel(LOG_WARNING, "Invalid recovery action profiles field type. Key %s\n", key);
      continue;
    }
    FailureRecoveryMap failures = ReadFailureMap(member.value, key);
    RecoveryProfile profile;
    if (!RecoveryProfileFromName(member.name.GetString(), &profile)) {
      LogAtLevel(LOG_WARNING, "Invalid recovery action profile %s\n", member.name.GetString());
      continue;
    }
    (*out)[profile] = std::move(failures);
  }
  return true;
}

void JsonFileReader::GetMemberNames(std::vector<std::string> *out) const {
  if (!doc_.IsObject()) {
    return;
  }
  for (const auto &member : doc_.GetObject()) {
    out->push_back(member.name.GetString());
  }
}

// ---- The file text ---------------------------------------------------------

namespace {

// Nesting deeper than this takes the iterative parser. Real files stay far
// below it.
const size_t kMaxRecursiveDepth = 512;

// Appends one line without its newline and leading blanks, unless it is a
// "//" comment.
void AppendLine(const char *line, size_t length, std::string *text) {
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

// The deepest bracket nesting of text, counting brackets inside strings too;
// an upper bound is all the parser choice needs.
size_t NestingBound(const std::string &text) {
  size_t depth = 0;
  size_t deepest = 0;
  for (char c : text) {
    if (c == '[' || c == '{') {
      depth++;
      deepest = depth > deepest ? depth : deepest;
    } else if ((c == ']' || c == '}') && depth > 0) {
      depth--;
    }
  }
  return deepest;
}

}  // namespace

int ReadJsonText(FILE *file, std::string *text) {
  char *line = nullptr;
  std::unique_ptr<char *, void (*)(char **)> lineGuard(&line, [](char **p) { free(*p); });
  size_t capacity = 0;
  ssize_t length;
  errno = 0;
  while ((length = getline(&line, &capacity, file)) >= 0) {
    AppendLine(line, static_cast<size_t>(length), text);
  }
  // getline also stops when it cannot grow its buffer, without marking the
  // stream; only a stream at its end was read completely.
  if (ferror(file) || !feof(file)) {
    return errno != 0 ? errno : EIO;
  }
  return 0;
}

bool ParseJsonText(const std::string &text, rapidjson::Document *doc) {
  if (NestingBound(text) > kMaxRecursiveDepth) {
    doc->Parse<rapidjson::kParseDefaultFlags | rapidjson::kParseIterativeFlag>(text.c_str());
  } else {
    doc->Parse<rapidjson::kParseDefaultFlags>(text.c_str());
  }
  return !doc->HasParseError();
}
