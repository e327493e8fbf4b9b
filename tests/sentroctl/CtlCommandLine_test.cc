// Finding the socket, options in any position, and the help texts.
#include "tools/sentroctl/CtlCommandLine.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tools/sentroctl/Sentroctl.h"

namespace {

CtlOptions Parse(const std::vector<std::string> &args) {
  CtlOptions options;
  std::string error;
  EXPECT_TRUE(ParseCtlCommandLine(args, &options, &error)) << error;
  return options;
}

struct Printed {
  int status;
  std::string out;
  std::string err;
};

Printed RunWithoutSocket(const std::vector<std::string> &args) {
  std::ostringstream out;
  std::ostringstream err;
  int status = RunSentroctl(args, nullptr, out, err);
  return {status, out.str(), err.str()};
}

}  // namespace

TEST(SocketPath, SocketOptionWinsOverEverything) {
  CtlOptions options = Parse({"--socket", "/run/s", "--datadir", "/data", "list"});
  EXPECT_EQ(ResolveSocketPath(options, "/env", "sentroserver"), "/run/s");
}

TEST(SocketPath, DataDirOptionHoldsTheSocket) {
  CtlOptions options = Parse({"--datadir=/data", "list"});
  EXPECT_EQ(ResolveSocketPath(options, "/env", "sentroserver"), "/data/sentroserver");
  EXPECT_EQ(ResolveSocketPath(options, "/env", "duolistener"), "/data/duolistener");
}

TEST(SocketPath, EnvironmentGetsTheProductDirectory) {
  CtlOptions options = Parse({"list"});
  EXPECT_EQ(ResolveSocketPath(options, "/var/lib", "sentroserver"),
            "/var/lib/norvane-sentro/sentroserver");
}

TEST(SocketPath, DefaultIsTheCurrentDirectory) {
  CtlOptions options = Parse({"list"});
  EXPECT_EQ(ResolveSocketPath(options, nullptr, "sentroserver"), "./sentroserver");
}

TEST(CommandLine, OptionsMayFollowTheCommand) {
  CtlOptions options =
      Parse({"start-profile", "ALL", "--json", "--timeout", "1.5", "--ignore-failures"});
  EXPECT_EQ(options.command, "start-profile");
  EXPECT_EQ(options.args, std::vector<std::string>{"ALL"});
  EXPECT_TRUE(options.json);
  EXPECT_TRUE(options.ignoreFailures);
  EXPECT_DOUBLE_EQ(options.timeoutSeconds, 1.5);
}

TEST(CommandLine, DoubleDashEndsTheOptions) {
  CtlOptions options = Parse({"status", "--", "--json"});
  EXPECT_FALSE(options.json);
  EXPECT_EQ(options.args, std::vector<std::string>{"--json"});
}

TEST(Help, MainHelpListsEveryCommandAndTheExitStatuses) {
  Printed printed = RunWithoutSocket({"--help"});
  EXPECT_EQ(printed.status, 0);
  for (const char *command :
       {"list", "status", "start", "stop", "restart", "deps", "set-startup", "run-as", "live-core",
        "start-profile", "stop-profile", "health-check-all", "reset-counters", "reload",
        "save-stats", "recovery-profile", "notify-coredump", "ha-failover"}) {
    EXPECT_NE(printed.out.find(std::string("\n  ") + command + " "), std::string::npos) << command;
  }
  for (const char *line :
       {"  1  usage error", "  2  daemon not reachable", "  3  timed out",
        "  4  the daemon carried out the request and reported a failure", "  5  protocol error"}) {
    EXPECT_NE(printed.out.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(RunWithoutSocket({"help"}).out, printed.out);
}

TEST(Help, CommandHelpComesBothWays) {
  Printed viaHelp = RunWithoutSocket({"help", "set-startup"});
  Printed viaOption = RunWithoutSocket({"set-startup", "--help"});
  EXPECT_EQ(viaHelp.status, 0);
  EXPECT_EQ(viaOption.status, 0);
  EXPECT_EQ(viaHelp.out, viaOption.out);
  EXPECT_EQ(viaHelp.out.rfind("Usage: sentroctl [OPTIONS] set-startup SERVICE "
                              "manual|automatic|disabled\n",
                              0),
            0u);
  EXPECT_NE(viaHelp.out.find("Default time-out: 10 seconds."), std::string::npos);
  EXPECT_NE(RunWithoutSocket({"help", "start"}).out.find("Default time-out: 120 seconds."),
            std::string::npos);
}
