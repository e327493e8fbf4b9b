#include "src/core/EnvExpand.h"

#include <cstdlib>

#include "lib/log/log.h"

namespace {

// Copies source from pos up to the next single "%" into out, turning each
// "%%" into "%". Returns the position of that "%", or npos when none is left.
size_t CopyUntilSinglePercent(const std::string &source, size_t pos, std::string *out) {
  while (pos < source.size()) {
    char c = source[pos];
    if (c != '%') {
      out->push_back(c);
      pos++;
    } else if (pos + 1 < source.size() && source[pos + 1] == '%') {
      out->push_back('%');
      pos += 2;
    } else {
      return pos;
    }
  }
  return std::string::npos;
}

}  // namespace

bool ExpandEnvVars(const std::string &source, std::string *out) {
  out->clear();
  size_t pos = 0;
  while (pos < source.size()) {
    size_t open = CopyUntilSinglePercent(source, pos, out);
    if (open == std::string::npos) {
      return true;
    }
    std::string name;
    size_t close = CopyUntilSinglePercent(source, open + 1, &name);
    if (close == std::string::npos) {
      LogAtLevel(LOG_ERROR, "Missing ending %c in %s\n", '%', source.c_str());
      return false;
    }
    const char *value = getenv(name.c_str());
    if (value == nullptr) {
      LogAtLevel(LOG_ERROR, "Env variable %s is not set\n", name.c_str());
      return false;
    }
    out->append(value);
    pos = close + 1;
  }
  return true;
}
