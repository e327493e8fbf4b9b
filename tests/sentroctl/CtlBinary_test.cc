// The real sentroctl binary: the socket found through NORVANE_DATA_DIR, the
// streams and the exit status, and a socket closed to its user.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "sentroctl/CtlRun.h"
#include "sentroctl/FakeServer.h"
#include "src/protocol/ReplyMessage.h"
#include "support/SandboxDaemon.h"
#include "support/TempDir.h"

namespace {

// Runs the binary through the shell, bounded to ten seconds, with
// NORVANE_DATA_DIR set to dataDir; out holds what redirect leaves on stdout.
CtlRun RunBinary(const std::string &prefix, const std::string &dataDir, const std::string &args,
                 const std::string &redirect) {
  std::string command = "NORVANE_DATA_DIR=" + dataDir + " timeout 10 " + prefix + " " +
                        SandboxDaemon::BuildPath("sentroctl") + " " + args + " " + redirect;
  CtlRun run;
  FILE *pipe = popen(command.c_str(), "r");
  char buffer[512];
  for (size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    run.printed.append(buffer, n);
  }
  int status = pipe != nullptr ? pclose(pipe) : -1;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace

TEST(SentroctlBinary, FindsTheSocketThroughTheEnvironmentAndReportsOnItsStreams) {
  TempDir dir;
  MakeDirs(dir.Sub("norvane-sentro"));
  FakeServer server(dir.Sub("norvane-sentro/sentroserver"));
  server.Reply(EncodeNameListReply({"db"}));
  CtlRun run = RunBinary("", dir.path(), "deps web --json", "2>/dev/null");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.printed,
            "{\"command\":\"deps\",\"service\":\"web\",\"ok\":true,\"dependsOn\":[\"db\"]}\n");
  // A root-owned socket of mode 0700 in directories anyone may enter.
  ASSERT_EQ(chmod(dir.path().c_str(), 0755) | chmod(dir.Sub("norvane-sentro").c_str(), 0755) |
                chmod(server.path().c_str(), 0700),
            0);
  run = RunBinary(geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "",
                  dir.path(), "list", "2>&1 >/dev/null");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.printed.find("permission denied on " + server.path()), std::string::npos)
      << run.printed;
  EXPECT_EQ(server.Requests().size(), 1u);
}
