// The --json output: one JSON object per run, written with RapidJSON's
// writer. Texts from the daemon (health command output in particular) may
// hold any bytes, so every string is made valid UTF-8 first; an invalid
// byte becomes U+FFFD.
#pragma once

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class JsonOut {
 public:
  JsonOut() { writer_.StartObject(); }

  void Key(const char *key) { writer_.Key(key); }
  void String(std::string_view text);
  void Int(int64_t value) { writer_.Int64(value); }
  void Uint(uint64_t value) { writer_.Uint64(value); }
  void Bool(bool value) { writer_.Bool(value); }
  void BeginObject() { writer_.StartObject(); }
  void EndObject() { writer_.EndObject(); }
  void BeginArray() { writer_.StartArray(); }
  void EndArray() { writer_.EndArray(); }

  void Field(const char *key, std::string_view text) {
    Key(key);
    String(text);
  }
  void Field(const char *key, const char *text) {
    Key(key);
    String(text);
  }
  void Field(const char *key, int64_t value) {
    Key(key);
    Int(value);
  }
  void Field(const char *key, bool value) {
    Key(key);
    Bool(value);
  }
  void Field(const char *key, const std::vector<std::string> &texts);

  // Closes the top-level object; the document followed by a newline.
  std::string Finish();

 private:
  rapidjson::StringBuffer buffer_;
  rapidjson::Writer<rapidjson::StringBuffer> writer_{buffer_};
};

// text with every byte sequence that is not valid UTF-8 replaced by U+FFFD.
std::string ValidUtf8(std::string_view text);
