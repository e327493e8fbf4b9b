#include "src/core/JsonText.h"

#include <cerrno>
#include <cstdlib>
#include <memory>

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
