#include "tools/sentroctl/CtlJson.h"

#include "src/core/Utf8Sequence.h"

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

std::string ValidUtf8(std::string_view text) {
  std::string valid;
  valid.reserve(text.size());
  while (!text.empty()) {
    size_t length = Utf8SequenceLength(text);
    if (length == 0) {
      valid += kReplacement;
      length = 1;
    } else {
      valid.append(text.data(), length);
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
