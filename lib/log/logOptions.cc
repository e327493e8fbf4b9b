// Reading an output's options from its sources.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "lib/log/logOutput.h"

LogOptionReader::LogOptionReader(const char *appName, const char *typeName, const LogDict *options,
                                 const LogDict *config)
    : appName_(appName ? appName : ""), options_(options), config_(config) {
  std::string type = typeName ? typeName : "";
  if (type != "file" && type != "syslog") {
    configSuffix_ = "." + type;
  }
}

template <typename T, typename Parse>
T LogOptionReader::Lookup(const std::string &key, T fallback, Parse parse) const {
  const std::string *sources[3] = {};
  if (options_ != nullptr) {
    sources[0] = options_->Find(key);
  }
  if (config_ != nullptr) {
    sources[1] = config_->Find(key + configSuffix_);
    sources[2] = config_->Find(appName_ + "." + key + configSuffix_);
  }
  T result = fallback;
  for (const std::string *source : sources) {
    if (source == nullptr) {
      continue;
    }
    T value = fallback;
    if (parse(*source, &value) && value != fallback) {
      result = value;
    }
  }
  return result;
}

std::optional<std::string> LogOptionReader::Text(const std::string &key) const {
  return Lookup<std::optional<std::string>>(
      key, std::nullopt, [](const std::string &text, std::optional<std::string> *value) {
        *value = text;
        return true;
      });
}

static bool ParseBool(const std::string &text, bool *value) {
  const char *s = text.c_str();
  if (strcasecmp(s, "true") == 0 || strcasecmp(s, "yes") == 0 || strcmp(s, "1") == 0) {
    *value = true;
    return true;
  }
  if (strcasecmp(s, "false") == 0 || strcasecmp(s, "no") == 0 || strcmp(s, "0") == 0) {
    *value = false;
    return true;
  }
  return false;
}

bool LogOptionReader::Bool(const std::string &key, bool fallback) const {
  return Lookup<bool>(key, fallback, ParseBool);
}

int LogOptionReader::Int(const std::string &key, int fallback, int minimum, int base) const {
  int value = Lookup<int>(key, fallback, [base](const std::string &text, int *parsed) {
    char *end = nullptr;
    errno = 0;
    long number = strtol(text.c_str(), &end, base);
    if (end == text.c_str() || *end != '\0' || errno != 0 || number < INT_MIN || number > INT_MAX) {
      return false;
    }
    *parsed = static_cast<int>(number);
    return true;
  });
  if (value < minimum) {
    Warning("%s: %s (%d) is invalid. Set to %d.\n", "LogFileInt32", key.c_str(), value, fallback);
    value = fallback;
  }
  return value;
}

int LogOptionReader::Level(const std::string &key, int fallback) const {
  return Lookup<int>(key, fallback, [fallback](const std::string &text, int *parsed) {
    *parsed = LogLevelParse(text.c_str(), fallback);
    return true;
  });
}

std::optional<std::string> LogOptionReader::ConfigValue(const std::string &key) const {
  if (config_ == nullptr) {
    return std::nullopt;
  }
  const std::string *value = config_->Find(key);
  if (value == nullptr) {
    value = config_->Find(appName_ + "." + key);
  }
  return value ? std::optional<std::string>(*value) : std::nullopt;
}
