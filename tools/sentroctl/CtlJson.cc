#include "tools/sentroctl/CtlJson.h"

#include <rapidjson/encodings.h>
#include <rapidjson/memorystream.h>

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

std::string ValidUtf8(std::string_view text) {
  std::string valid;
  valid.reserve(text.size());
  while (!text.empty()) {
    // RapidJSON's decoder refuses overlong forms, surrogates and code
    // points above U+10FFFF; a refused byte is replaced on its own.
    rapidjson::MemoryStream stream(text.data(), text.size());
    unsigned codePoint;
    size_t length = 1;
    if (rapidjson::UTF8<>::Decode(stream, &codePoint)) {
      length = stream.Tell();
      valid.append(text.data(), length);
    } else {
      valid += kReplacement;
    }
    text.remove_prefix(length);
  }
  return valid;
}

void JsonOut::String(std::string_view text) {
  std::string valid = ValidUtf8(text);
  writer_.String(valid.data(), static_cast<rapidjson::SizeType>(valid.size()));
}

void JsonOut::Field(const char *key, const std::vector<std::string> &texts) {
  Key(key);
  BeginArray();
  for (const std::string &text : texts) {
    String(text);
  }
  EndArray();
}

std::string JsonOut::Finish() {
  writer_.EndObject();
  return std::string(buffer_.GetString(), buffer_.GetSize()) + "\n";
}
