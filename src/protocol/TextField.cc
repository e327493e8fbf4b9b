#include "src/protocol/TextField.h"

#include <algorithm>
#include <cstring>

namespace {

std::string TextUpToNul(const uint8_t *field, size_t limit) {
  const uint8_t *end = std::find(field, field + limit, uint8_t{0});
  return std::string(reinterpret_cast<const char *>(field), end - field);
}

bool IsValidText(std::string_view text, size_t maxLength) {
  return !text.empty() && text.size() <= maxLength && text.find('\0') == std::string_view::npos;
}

}  // namespace

void PutTextField(uint8_t *field, size_t fieldSize, std::string_view text) {
  size_t copied = std::min(text.size(), fieldSize);
  memcpy(field, text.data(), copied);
  memset(field + copied, 0, fieldSize - copied);
}

std::string GetRequestTextField(const uint8_t *field, size_t fieldSize) {
  return fieldSize == 0 ? std::string() : TextUpToNul(field, fieldSize - 1);
}

std::string GetReplyTextField(const uint8_t *field, size_t fieldSize) {
  return TextUpToNul(field, fieldSize);
}

bool IsValidNameText(std::string_view name) {
  return IsValidText(name, NAME_TEXT_MAX);
}

bool IsValidUserText(std::string_view user) {
  return IsValidText(user, USER_TEXT_MAX);
}
