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
  const std::string path = dir.Sub("norvane-sentro/sentroserver"),
                    ctl = "NORVANE_DATA_DIR=" + dir.path() + " timeout 10 ",
                    nobody =
                        geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  OpsRun deps, denied;
  auto requests = Serve(path, {EncodeNameListReply({"db"})}, false, [&] {
    deps = Shell(ctl + SandboxDaemon::BuildPath("sentroctl") + " deps web --json 2>/dev/null");
    // A root-owned socket of mode 0700 in directories anyone may enter.
    chmod(dir.path().c_str(), 0755), chmod(dir.Sub("norvane-sentro").c_str(), 0755);
    chmod(path.c_str(), 0700);
    denied = Shell(ctl + nobody + SandboxDaemon::BuildPath("sentroctl") + " list 2>&1 >/dev/null");
  });
  EXPECT_EQ(requests.size(), 1u);
  EXPECT_EQ(deps.status, 0);
  EXPECT_EQ(deps.out, R"({"command":"deps","service":"web","ok":true,"dependsOn":["db"]})"
                      "\n");
  EXPECT_EQ(denied.status, 2);
  EXPECT_NE(denied.out.find("permission denied on " + path), std::string::npos) << denied.out;
}
