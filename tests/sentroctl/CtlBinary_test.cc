// The real sentroctl binary: the socket found through NORVANE_DATA_DIR, the
// streams and the exit status, and a socket closed to its user.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "ops/OpsRun.h"
#include "sentroctl/FakeServer.h"
#include "src/protocol/ReplyMessage.h"
#include "support/TempDir.h"

TEST(SentroctlBinary, FindsTheSocketThroughTheEnvironmentAndReportsOnItsStreams) {
  TempDir dir;
  MakeDirs(dir.Sub("norvane-sentro"));
  FakeServer server(dir.Sub("norvane-sentro/sentroserver"));
  server.Reply(EncodeNameListReply({"db"}));
  // The binary through the shell, bounded to ten seconds, with prefix before
  // it; out holds what redirect leaves on stdout.
  auto run = [&](const std::string &prefix, const std::string &args, const std::string &redirect) {
    return Shell("NORVANE_DATA_DIR=" + dir.path() + " timeout 10 " + prefix + " " +
                 SandboxDaemon::BuildPath("sentroctl") + " " + args + " " + redirect);
  };
  OpsRun deps = run("", "deps web --json", "2>/dev/null");
  EXPECT_EQ(deps.status, 0);
  EXPECT_EQ(deps.out,
            "{\"command\":\"deps\",\"service\":\"web\",\"ok\":true,\"dependsOn\":[\"db\"]}\n");
  // A root-owned socket of mode 0700 in directories anyone may enter.
  ASSERT_EQ(chmod(dir.path().c_str(), 0755) | chmod(dir.Sub("norvane-sentro").c_str(), 0755) |
                chmod(server.path().c_str(), 0700),
            0);
  OpsRun denied = run(geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "",
                      "list", "2>&1 >/dev/null");
  EXPECT_EQ(denied.status, 2);
  EXPECT_NE(denied.out.find("permission denied on " + server.path()), std::string::npos)
      << denied.out;
  EXPECT_EQ(server.Requests().size(), 1u);
}
