#include "tools/sentroctl/CtlCommandLine.h"

#include <cmath>
#include <cstdlib>

#include "tools/sentroctl/OpsCommands.h"

namespace {

// Splits "--name=value"; value is left alone when there is no "=".
bool SplitInlineValue(const std::string &arg, std::string *name, std::string *value) {
  size_t equals = arg.find('=');
  if (arg.compare(0, 2, "--") != 0 || equals == std::string::npos) {
    *name = arg;
    return false;
  }
  *name = arg.substr(0, equals);
  *value = arg.substr(equals + 1);
  return true;
}

bool ParseTimeout(const std::string &text, double *seconds, std::string *error) {
  char *end = nullptr;
  double value = text.empty() ? 0 : strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value) || value <= 0 ||
      value > CTL_MAX_TIMEOUT_SECONDS) {
    *error = "invalid time-out '" + text + "': give seconds above 0 and at most 86400";
    return false;
  }
  *seconds = value;
  return true;
}

}  // namespace

bool ParseCtlCommandLine(const std::vector<std::string> &args, CtlOptions *options,
                         std::string *error) {
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); i++) {
    const std::string &arg = args[i];
    bool isOption = !optionsEnded && arg.size() > 1 && arg[0] == '-';
    if (!isOption) {
      if (options->command.empty()) {
        options->command = arg;
      } else {
        options->args.push_back(arg);
      }
      continue;
    }
    std::string name;
    std::string value;
    bool hasInlineValue = SplitInlineValue(arg, &name, &value);
    std::string opsName;
    bool opsTakesValue = false;
    bool isOpsOption = FindOpsOption(name, &opsName, &opsTakesValue);
    bool takesValue = name == "--socket" || name == "--datadir" || name == "--timeout" ||
                      (isOpsOption && opsTakesValue);
    if (takesValue && !hasInlineValue) {
      if (i + 1 >= args.size()) {
        *error = "option " + name + " needs a value";
        return false;
      }
      value = args[++i];
    } else if (!takesValue && hasInlineValue) {
      *error = "option " + name + " takes no value";
      return false;
    }
    if (name == "--") {
      optionsEnded = true;
    } else if (name == "--socket") {
      options->socketPath = value;
    } else if (name == "--datadir") {
      options->dataDir = value;
    } else if (name == "--timeout") {
      if (!ParseTimeout(value, &options->timeoutSeconds, error)) {
        return false;
      }
    } else if (name == "--json") {
      options->json = true;
    } else if (name == "-h" || name == "--help") {
      options->help = true;
    } else if (name == "--ignore-failures") {
      options->ignoreFailures = true;
    } else if (isOpsOption) {
      options->commandOptions.emplace_back(opsName, value);
    } else {
      *error = "unknown option " + name;
      return false;
    }
    if (takesValue && value.empty()) {
      *error = "option " + name + " needs a non-empty value";
      return false;
    }
  }
  return true;
}

std::string DaemonDirectory(const std::string &option, const char *variableValue) {
  if (!option.empty()) {
    return option;
  }
  return variableValue != nullptr ? std::string(variableValue) + "/norvane-sentro" : ".";
}

std::string ResolveSocketPath(const CtlOptions &options, const char *dataDirVariable,
                              const char *socketName) {
  if (!options.socketPath.empty()) {
    return options.socketPath;
  }
  return DaemonDirectory(options.dataDir, dataDirVariable) + "/" + socketName;
}
