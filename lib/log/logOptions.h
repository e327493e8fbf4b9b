// Reading an output's options. Each key is taken, in rising precedence, from
// the built-in default, the option dictionary given at creation, and the
// configuration source under the key and then under "<appName>.<key>". A
// later source wins only when its value differs from the default. For an
// output type other than "file" and "syslog", the configuration keys end in
// ".<typeName>".
#pragma once

#include <optional>
#include <string>

#include "lib/log/log.h"

class LogOptionReader {
 public:
  LogOptionReader(const char *appName, const char *typeName, const LogDict *options,
                  const LogDict *config);

  // A text option; no value when no source sets one.
  std::optional<std::string> Text(const std::string &key) const;
  bool Bool(const std::string &key, bool fallback) const;
  // An integer option; a value below `minimum` is replaced by `fallback`
  // with a warning. `base` 0 also accepts octal ("0640") and hexadecimal.
  int Int(const std::string &key, int fallback, int minimum, int base = 10) const;
  // A level option: a level name, "none", or a number.
  int Level(const std::string &key, int fallback) const;

  // A key of the configuration source alone (for "log.config").
  std::optional<std::string> ConfigValue(const std::string &key) const;

 private:
  template <typename T, typename Parse>
  T Lookup(const std::string &key, T fallback, Parse parse) const;

  std::string appName_;
  std::string configSuffix_;
  const LogDict *options_;
  const LogDict *config_;
};
