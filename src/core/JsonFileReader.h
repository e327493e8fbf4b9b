// Reads one JSON file of the daemon (configuration, definitions, state) into
// a document and offers typed readers over the members of its root object.
//
// The file may carry whole-line comments ("//" as the first non-blank
// characters) and any indentation; lines are joined without separators before
// parsing, so parse error offsets refer to the joined text.
//
// Every getter looks the key up among the root's members in document order,
// and the first member with that name wins. A key that is absent, or whose
// value has another JSON type than the getter accepts, makes the getter return
// false with out untouched and nothing logged: callers preload out with the
// default and mostly ignore the result.
#pragma once

#include <rapidjson/document.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "src/core/SentroTypes.h"

class JsonFileReader {
 public:
  // Reads and parses path. True when its root is an object. On failure the
  // reader holds no members.
  bool Load(const std::string &path);

  // JSON true or false.
  bool GetBool(const char *key, bool *out) const;
  // A JSON integer that fits a signed 32-bit integer.
  bool GetInt(const char *key, int32_t *out) const;
  // A JSON integer that fits a signed 64-bit integer, for range checks.
  bool GetInt64(const char *key, int64_t *out) const;
  // A non-negative JSON integer that fits 64 bits.
  bool GetUint64(const char *key, uint64_t *out) const;
  // A JSON string; with expand, environment references are expanded and a
  // failed expansion leaves out untouched and returns false.
  bool GetString(const char *key, bool expand, std::string *out) const;
  // A JSON string naming a startup type (prefix match); any other text logs
  // "Invalid startup type".
  bool GetStartupType(const char *key, StartupType *out) const;

  // The list readers accept a JSON array, replace out with its usable
  // elements and warn about each element they skip.
  bool GetStringList(const char *key, bool expand, std::vector<std::string> *out) const;
  bool GetIntList(const char *key, std::vector<int32_t> *out) const;
  bool GetRecoveryActionList(const char *key, RecoveryActionList *out) const;

  // A JSON object of profile name -> (failure type name -> [action names]).
  // Each valid profile replaces its entry in out; other entries stay.
  bool GetRecoveryActionProfiles(const char *key, RecoveryActionProfiles *out) const;

  // Appends the names of the root's members in document order.
  void GetMemberNames(std::vector<std::string> *out) const;

 private:
  bool ReadAndParse(const std::string &path);
  const rapidjson::Value *Find(const char *key) const;

  rapidjson::Document doc_;
};

// ---- The file text ---------------------------------------------------------

// The text of a JSON file as every reader in the daemon takes it: lines whose
// first non-blank characters are "//" are dropped, leading blanks and
// newlines removed. Both steps are quiet; callers log as they see fit.
int ReadJsonText(FILE *file, std::string *text);

// Parses text into doc; true when it parsed. Deep nesting is parsed without
// recursion, so that no file can exhaust the stack.
bool ParseJsonText(const std::string &text, rapidjson::Document *doc);
