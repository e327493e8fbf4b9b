// Each class of failure ends with its own exit status and a message that
// says what happened: usage 1, unreachable 2, time-out 3, request failed 4,
// protocol error 5.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "sentroctl/CtlRun.h"
#include "sentroctl/FakeServer.h"
#include "src/protocol/ReplyMessage.h"
#include "support/TempDir.h"
#include "tools/sentroctl/ControlClient.h"

namespace {

bool Contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

struct sockaddr_un UnixAddress(const std::string &path) {
  struct sockaddr_un address;
  memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  return address;
}

// A socket file that nothing listens on: bound, never listening.
int BindWithoutListening(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address = UnixAddress(path);
  EXPECT_EQ(bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)), 0);
  return fd;
}

// Runs sentroctl list in a child process as user nobody and returns its exit
// status, with what it wrote to stderr in *err.
int RunAsNobody(const std::string &socketPath, std::string *err) {
  struct passwd *nobody = getpwnam("nobody");
  int pipeFds[2];
  if (nobody == nullptr || pipe2(pipeFds, O_CLOEXEC) != 0) {
    return -1;
  }
  uid_t uid = nobody->pw_uid;
  gid_t gid = nobody->pw_gid;
  pid_t pid = fork();
  if (pid == 0) {
    close(pipeFds[0]);
    int status = 99;
    if (setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0) {
      CtlRun run = RunCtl(socketPath, {"list", "--timeout", "2"});
      ssize_t ignored = write(pipeFds[1], run.err.data(), run.err.size());
      (void)ignored;
      status = run.status;
    }
    _exit(status);
  }
  close(pipeFds[1]);
  char buffer[512];
  ssize_t n;
  while ((n = read(pipeFds[0], buffer, sizeof(buffer))) > 0) {
    err->append(buffer, n);
  }
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<uint8_t> Header(uint32_t magic, uint32_t version, uint32_t type, uint32_t length,
                            size_t payload = 0) {
  MessageHeader header;
  header.magic = magic;
  header.version = version;
  header.type = type;
  header.payloadLength = length;
  std::vector<uint8_t> bytes(16 + payload, 0);
  EncodeMessageHeader(header, bytes.data());
  return bytes;
}

class CtlFailures : public ::testing::Test {
 protected:
  TempDir dir_;
};

}  // namespace

TEST_F(CtlFailures, MissingOrRefusingSocketMeansTheDaemonIsNotRunning) {
  std::string path = dir_.Sub("sentroserver");
  CtlRun run = RunCtl(path, {"start", "web"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "sentroctl: the sentro daemon is not running: no control socket at " + path + "\n");

  int fd = BindWithoutListening(path);
  run = RunCtl(path, {"--json", "list"});
  close(fd);
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.err, "not running: connection refused on")) << run.err;
  EXPECT_TRUE(Contains(run.out, "\"errorClass\":\"not-running\"")) << run.out;
}

TEST_F(CtlFailures, SocketClosedToOthersMeansPermissionDenied) {
  std::string path = dir_.Sub("sentroserver");
  FakeServer server(path);
  ASSERT_TRUE(server.listening());
  std::string err;
  int status;
  if (geteuid() == 0) {
    // Root passes every mode check, so the client runs as nobody against a
    // root-owned socket of mode 0700 in a directory it may enter.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(path.c_str(), 0700), 0);
    status = RunAsNobody(path, &err);
    ASSERT_NE(status, 99) << "could not become nobody";
  } else {
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    CtlRun run = RunCtl(path, {"list"});
    status = run.status;
    err = run.err;
  }
  EXPECT_EQ(status, 2);
  EXPECT_TRUE(Contains(err, "permission denied on " + path)) << err;
  EXPECT_TRUE(server.Requests().empty());
}

TEST_F(CtlFailures, SilentDaemonTimesOutWithinTheGivenTime) {
  FakeServer server(dir_.Sub("sentroserver"));
  server.Silent();
  auto started = std::chrono::steady_clock::now();
  CtlRun run = RunCtl(server.path(), {"start", "web", "--timeout", "0.2"});
  auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.err, "sentroctl: timed out waiting for the daemon's reply\n");
  EXPECT_GE(elapsed, std::chrono::milliseconds(190));
  EXPECT_LT(elapsed, std::chrono::seconds(2));
  EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(CtlFailures, BrokenRepliesAreTimeOutsOrProtocolErrors) {
  FakeServer server(dir_.Sub("sentroserver"));
  std::vector<uint8_t> partial = EncodeResultReply(1, "some text");
  partial.resize(20);
  std::vector<uint8_t> badCount = EncodeNameListReply({"a"});
  badCount[16] = 2;  // a name count that disagrees with the length
  enum Step { Reply, Silent, Close };
  struct Case {
    Step step;
    std::vector<uint8_t> reply;
    std::string args;
    std::string err;  // stderr after "sentroctl: " when it ends in a newline, else a part of it
  } cases[] = {
      {Silent, partial, "stop web --timeout 0.2",
       "timed out in the middle of the daemon's reply\n"},
      {Reply, partial, "--json stop web",
       "truncated reply: 20 of 37 bytes before the connection ended\n"},
      {Close, {}, "reload", "the daemon closed the connection without replying\n"},
      {Reply,
       {0x22, 0x14, 0, 0, 1, 0},
       "reload",
       "truncated reply header: 6 of 16 bytes before the connection ended\n"},
      {Reply, Header(0x1234, 1, 15, 0), "reload", "bad magic or version"},
      {Reply, Header(0x1422, 2, 15, 0), "reload", "bad magic or version"},
      {Reply, Header(0x1422, 1, 3, 0), "reload", "the reply has type 3, not a reply type"},
      {Reply, Header(0x1422, 1, 16, 0x7fffffff), "reload", "more than a reply can hold"},
      // A success header with a payload where a bare result is due.
      {Reply, EncodeNameListReply({}), "start web", "malformed reply: expected a result reply"},
      // A result of code 0 inside an ErrorReply.
      {Reply, Header(0x1422, 1, 16, 12, 12), "reload", "malformed reply"},
      {Reply, badCount, "list", "malformed reply: expected a name list"},
      {Reply, EncodeResultReply(0), "status web", "malformed reply: expected a service state"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.err);
    if (c.step == Reply) {
      server.Reply(c.reply);
    } else if (c.step == Silent) {
      server.Silent(c.reply);
    } else {
      server.CloseUnanswered();
    }
    CtlRun run = RunCtl(server.path(), Words(c.args));
    EXPECT_EQ(run.status, c.step == Silent ? 3 : 5);
    if (c.err.back() == '\n') {
      EXPECT_EQ(run.err, "sentroctl: " + c.err);
    } else {
      EXPECT_TRUE(Contains(run.err, c.err)) << run.err;
    }
    if (c.args.rfind("--json", 0) == 0) {
      EXPECT_TRUE(Contains(run.out, "\"errorClass\":\"protocol\"")) << run.out;
    }
  }
}

TEST_F(CtlFailures, UsageErrorsSendNothing) {
  FakeServer server(dir_.Sub("sentroserver"));
  std::string n32(32, 'n');
  std::string cases[] = {"",
                         "frobnicate",
                         "start",
                         "start a b",
                         "start " + n32,
                         "status " + n32,
                         "set-startup web sometimes",
                         "run-as web " + std::string(64, 'u'),
                         "recovery-profile both",
                         "notify-coredump 12x",
                         "notify-coredump 0",
                         "notify-coredump 4294967296",
                         "start web --ignore-failures",
                         "start web --timeout 0",
                         "start web --timeout -1",
                         "start web --timeout 86401",
                         "start web --timeout soon",
                         "start web --timeout",
                         "start web --verbose",
                         "list --json=yes",
                         "help frobnicate"};
  for (const std::string &args : cases) {
    SCOPED_TRACE(args);
    CtlRun run = RunCtl(server.path(), Words(args));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(Contains(run.err, "sentroctl: ")) << run.err;
  }
  EXPECT_EQ(RunCtl(server.path(), {"start"}).err,
            "sentroctl: usage: sentroctl start SERVICE\n"
            "Try 'sentroctl --help' for more information.\n");
  EXPECT_TRUE(server.Requests().empty());
}

TEST(ControlExchange, GivesUpOnAFullBacklogAndRefusesAPathTooLong) {
  TempDir dir;
  std::string path = dir.Sub("sentroserver");
  // A listener that never accepts, with a backlog of one connection that is
  // already taken: further connects fail with EAGAIN until the deadline.
  int listener = BindWithoutListening(path);
  ASSERT_EQ(listen(listener, 0), 0);
  int first = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address = UnixAddress(path);
  ASSERT_EQ(connect(first, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)), 0);

  ClientReply reply;
  std::string detail;
  auto started = std::chrono::steady_clock::now();
  ClientError error = ControlExchange(path, Header(0x1422, 1, 3, 0),
                                      started + std::chrono::milliseconds(100), &reply, &detail);
  auto elapsed = std::chrono::steady_clock::now() - started;
  close(first);
  close(listener);
  EXPECT_EQ(error, ClientError::TimedOut) << detail;
  EXPECT_TRUE(Contains(detail, "did not accept the connection")) << detail;
  EXPECT_GE(elapsed, std::chrono::milliseconds(100));
  EXPECT_LT(elapsed, std::chrono::seconds(2));

  error =
      ControlExchange("/tmp/" + std::string(120, 'x'), Header(0x1422, 1, 3, 0),
                      std::chrono::steady_clock::now() + std::chrono::seconds(1), &reply, &detail);
  EXPECT_EQ(error, ClientError::Unreachable);
  EXPECT_TRUE(Contains(detail, "too long")) << detail;
}
