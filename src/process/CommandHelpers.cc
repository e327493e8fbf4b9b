#include "src/process/CommandHelpers.h"

#include <csignal>
#include <cstring>

#include "lib/log/log.h"
#include "src/core/SysPaths.h"

void StreamRedirectPaths(const std::string &base, std::string *stdoutPath,
                         std::string *stderrPath) {
  *stdoutPath = base + ".stdout";
  *stderrPath = base + ".stderr";
}

int SignalFromName(const std::string &name) {
  static const struct {
    const char *name;
    int number;
  } kStopSignals[] = {
      {"SIGTERM", SIGTERM}, {"SIGINT", SIGINT},   {"SIGHUP", SIGHUP},
      {"SIGUSR1", SIGUSR1}, {"SIGUSR2", SIGUSR2},
  };
  for (const auto &signal : kStopSignals) {
    if (name == signal.name) {
      return signal.number;
    }
  }
  LogAtLevel(LOG_WARNING, "Signal %s is not supported. Defaulting to SIGTERM.\n", name.c_str());
  return SIGTERM;
}

void BuildLiveCoreCommandAt(time_t now, pid_t pid, const std::string &serviceName,
                            std::string *commandPath, std::vector<std::string> *args,
                            std::string *corePath) {
  std::string pidText = std::to_string(pid);
  struct tm utc;
  gmtime_r(&now, &utc);
  char timeText[64];
  strftime(timeText, sizeof timeText, "%m-%d-%y-%H-%M-%S", &utc);
  std::string prefix = SysPath(SYS_CORE_DIR) + "livecore." + serviceName + "-" + timeText;

  *commandPath = SysPath(SYS_GCORE);
  args->push_back("-o");
  args->push_back(prefix);
  args->push_back(pidText);
  *corePath = prefix + "." + pidText;
}

void BuildLiveCoreCommand(pid_t pid, const std::string &serviceName, std::string *commandPath,
                          std::vector<std::string> *args, std::string *corePath) {
  BuildLiveCoreCommandAt(time(nullptr), pid, serviceName, commandPath, args, corePath);
}
