// The real sentroctl binary: the socket found through NORVANE_DATA_DIR, the
// streams and the exit status, and a socket closed to its user.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "ops/OpsRun.h"
#include "sentroctl/FakeDaemon.h"
#include "src/protocol/ReplyMessage.h"
#include "support/TempDir.h"

TEST(SentroctlBinary, FindsTheSocketThroughTheEnvironmentAndReportsOnItsStreams) {
  TempDir dir;
  MakeDirs(dir.Sub("norvane-sentro"));
  const std::string path = dir.Sub("norvane-sentro/sentroserver");
  // The binary through the shell, bounded to ten seconds, with prefix before
  // it; out holds what redirect leaves on stdout.
  auto run = [&](const std::string &prefix, const std::string &args, const std::string &redirect) {
    return Shell("NORVANE_DATA_DIR=" + dir.path() + " timeout 10 " + prefix + " " +
                 SandboxDaemon::BuildPath("sentroctl") + " " + args + " " + redirect);
  };
  OpsRun deps, denied;
  EXPECT_EQ(Serve(path, {EncodeNameListReply({"db"})}, false,
                  [&] { deps = run("", "deps web --json", "2>/dev/null"); })
                .size(),
            1u);
  EXPECT_EQ(deps.status, 0);
  EXPECT_EQ(deps.out,
            "{\"command\":\"deps\",\"service\":\"web\",\"ok\":true,\"dependsOn\":[\"db\"]}\n");
  // A root-owned socket of mode 0700 in directories anyone may enter.
  EXPECT_TRUE(
      Serve(path, {}, false, [&] {
        ASSERT_EQ(chmod(dir.path().c_str(), 0755) | chmod(dir.Sub("norvane-sentro").c_str(), 0755) |
                      chmod(path.c_str(), 0700),
                  0);
        denied = run(geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "",
                     "list", "2>&1 >/dev/null");
      }).empty());
  EXPECT_EQ(denied.status, 2);
  EXPECT_NE(denied.out.find("permission denied on " + path), std::string::npos) << denied.out;
}
