#include "tools/sentroctl/Sentroctl.h"

#include <chrono>

#include "tools/sentroctl/CtlCommands.h"
#include "tools/sentroctl/CtlReport.h"
#include "tools/sentroctl/OpsCommands.h"

namespace {

int Usage(CtlOutput &err, const std::string &message) {
  err << "sentroctl: " << message << "\n"
      << "Try 'sentroctl --help' for more information.\n";
  return CTL_EXIT_USAGE;
}

// "help" and "help COMMAND".
int RunHelp(const CtlOptions &options, CtlOutput &out, CtlOutput &err) {
  if (options.args.empty()) {
    PrintCtlUsage(out);
    return CTL_EXIT_OK;
  }
  const CtlCommand *command = FindCtlCommand(options.args[0]);
  if (command == nullptr || options.args.size() > 1) {
    return Usage(err, "no help for '" + options.args.back() + "'");
  }
  PrintCtlCommandHelp(*command, out);
  return CTL_EXIT_OK;
}

std::string ArgumentCountError(const CtlCommand &command) {
  std::string usage = std::string("usage: sentroctl ") + command.name;
  if (command.operands[0] != '\0') {
    usage += std::string(" ") + command.operands;
  }
  return usage;
}

ClientDeadline DeadlineFor(const CtlOptions &options, const CtlCommand &command) {
  double seconds = options.timeoutSeconds > 0 ? options.timeoutSeconds : command.timeoutSeconds;
  auto timeout = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
  return std::chrono::steady_clock::now() + timeout;
}

}  // namespace

int RunSentroctl(const std::vector<std::string> &args, const char *dataDirVariable, CtlOutput &out,
                 CtlOutput &err) {
  CtlOptions options;
  std::string error;
  if (!ParseCtlCommandLine(args, &options, &error)) {
    return Usage(err, error);
  }
  if (options.command.empty()) {
    if (options.help) {
      PrintCtlUsage(out);
      return CTL_EXIT_OK;
    }
    return Usage(err, "no command given");
  }
  if (options.command == "help") {
    return RunHelp(options, out, err);
  }
  const CtlCommand *command = FindCtlCommand(options.command);
  if (command == nullptr) {
    return Usage(err, "unknown command '" + options.command + "'");
  }
  if (options.help) {
    PrintCtlCommandHelp(*command, out);
    return CTL_EXIT_OK;
  }
  int count = static_cast<int>(options.args.size());
  if (count < command->minArgs || (command->maxArgs >= 0 && count > command->maxArgs)) {
    return Usage(err, ArgumentCountError(*command));
  }
  if (options.ignoreFailures && !command->takesIgnoreFailures) {
    return Usage(err,
                 std::string("--ignore-failures applies only to start-profile and stop-profile"));
  }
  if (const std::string *option = RejectedOpsOption(*command, options)) {
    return Usage(err, "option " + *option + " does not apply to " + command->name);
  }
  CtlContext context{options,
                     {ResolveSocketPath(options, dataDirVariable, command->socketName),
                      DeadlineFor(options, *command)},
                     out,
                     err};
  return command->run(context);
}
