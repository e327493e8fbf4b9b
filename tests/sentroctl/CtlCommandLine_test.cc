// Finding the socket, options in any position, and the help texts.
#include "tools/sentroctl/CtlCommandLine.h"

#include <gtest/gtest.h>

#include "sentroctl/CtlRun.h"

namespace {

CtlOptions Parse(const std::vector<std::string> &args) {
  CtlOptions options;
  std::string error;
  EXPECT_TRUE(ParseCtlCommandLine(args, &options, &error)) << error;
  return options;
}

// What sentroctl prints for args without talking to any daemon.
CtlRun RunOffline(const std::vector<std::string> &args) {
  std::ostringstream out, err;
  CtlRun run;
  run.status = RunSentroctl(args, nullptr, out, err);
  run.out = out.str();
  run.err = err.str();
  return run;
}

}  // namespace

TEST(CommandLine, SocketOptionThenDataDirOptionThenEnvironmentThenCurrentDirectory) {
  struct Case {
    std::vector<std::string> args;
    const char *dataDirVariable;
    const char *socketName;
    const char *expected;
  } cases[] = {
      {{"--socket", "/run/s", "--datadir", "/data", "list"}, "/env", "sentroserver", "/run/s"},
      {{"--datadir=/data", "list"}, "/env", "sentroserver", "/data/sentroserver"},
      {{"--datadir=/data", "list"}, "/env", "duolistener", "/data/duolistener"},
      {{"list"}, "/var/lib", "sentroserver", "/var/lib/norvane-sentro/sentroserver"},
      {{"list"}, nullptr, "sentroserver", "./sentroserver"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(ResolveSocketPath(Parse(c.args), c.dataDirVariable, c.socketName), c.expected);
  }
}

TEST(CommandLine, OptionsMayFollowTheCommandUntilADoubleDash) {
  CtlOptions options =
      Parse({"start-profile", "ALL", "--json", "--timeout", "1.5", "--ignore-failures"});
  EXPECT_EQ(options.command, "start-profile");
  EXPECT_EQ(options.args, std::vector<std::string>{"ALL"});
  EXPECT_TRUE(options.json);
  EXPECT_TRUE(options.ignoreFailures);
  EXPECT_DOUBLE_EQ(options.timeoutSeconds, 1.5);

  options = Parse({"status", "--", "--json"});
  EXPECT_FALSE(options.json);
  EXPECT_EQ(options.args, std::vector<std::string>{"--json"});
}

TEST(Help, MainHelpListsEveryCommandAndTheExitStatuses) {
  CtlRun help = RunOffline({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: sentroctl [OPTIONS] COMMAND [ARGS...]\n", 0), 0u);
  for (const char *command :
       {"list", "status", "start", "stop", "restart", "deps", "set-startup", "run-as", "live-core",
        "start-profile", "stop-profile", "health-check-all", "reset-counters", "reload",
        "save-stats", "recovery-profile", "notify-coredump", "ha-failover"}) {
    EXPECT_NE(help.out.find(std::string("\n  ") + command + " "), std::string::npos) << command;
  }
  for (const char *line :
       {"  1  usage error", "  2  daemon not reachable", "  3  timed out",
        "  4  the daemon carried out the request and reported a failure", "  5  protocol error"}) {
    EXPECT_NE(help.out.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(RunOffline({"help"}).out, help.out);
}

TEST(Help, CommandHelpComesBothWaysWithItsTimeOut) {
  CtlRun viaHelp = RunOffline({"help", "set-startup"});
  CtlRun viaOption = RunOffline({"set-startup", "--help"});
  EXPECT_EQ(viaHelp.status, 0);
  EXPECT_EQ(viaOption.status, 0);
  EXPECT_EQ(viaHelp.out, viaOption.out);
  EXPECT_EQ(viaHelp.out.rfind(
                "Usage: sentroctl [OPTIONS] set-startup SERVICE manual|automatic|disabled\n", 0),
            0u);
  EXPECT_NE(viaHelp.out.find("Default time-out: 10 seconds."), std::string::npos);
  EXPECT_NE(RunOffline({"help", "start"}).out.find("Default time-out: 120 seconds."),
            std::string::npos);
}
