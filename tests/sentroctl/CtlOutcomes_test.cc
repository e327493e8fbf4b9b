// What sentroctl prints and the status it exits with, for each outcome: the
// tables and lines of a success, --json, and each class of failure with its
// own status (usage 1, unreachable 2, time-out 3, request failed 4,
// protocol error 5).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "sentroctl/FakeDaemon.h"
#include "src/protocol/ReplyMessage.h"
#include "support/TempDir.h"
#include "tools/sentroctl/ControlClient.h"
#include "tools/sentroctl/CtlJson.h"

namespace {

using namespace std::chrono_literals;

struct Case {
  std::string args;
  int status;
  std::string printed;
  std::vector<Bytes> replies = {};  // one per connection; a time-out holds the last open
};

void ExpectRun(const std::string &path, const Case &c) {
  SCOPED_TRACE(c.args);
  auto started = std::chrono::steady_clock::now();
  CtlRun run = RunCtl(path, c.args, c.replies, c.status == 3);
  auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(run.status, c.status);
  ExpectPrinted(run.printed, c.printed);
  EXPECT_LT(elapsed, 2s);  // every time-out below is --timeout 0.2
  EXPECT_TRUE(c.status != 3 || elapsed >= 190ms);
  EXPECT_TRUE(c.status != 1 || run.requests.empty()) << "a usage error sends nothing";
}

Bytes Header(uint32_t magic, uint32_t version, uint32_t type, uint32_t length, size_t payload = 0) {
  Bytes bytes(16 + payload, 0);
  EncodeMessageHeader({magic, version, type, length}, bytes.data());
  return bytes;
}
Bytes R(uint32_t code, const std::string &text = "") {
  return EncodeResultReply(code, text);
}

}  // namespace

TEST(CtlOutcomes, EachClassOfFailureHasItsExitStatusAndSaysWhatHappened) {
  TempDir dir;
  const std::string path = dir.Sub("sentroserver");
  std::string refusing = dir.Sub("refusing"), missing = dir.Sub("missing");
  int unlistened = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address = {AF_UNIX, {}};
  snprintf(address.sun_path, sizeof address.sun_path, "%s", refusing.c_str());
  ASSERT_EQ(bind(unlistened, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  const Bytes web = EncodeSvcStateReply(
      {"web", 2, 0, 1, false, 1000, 1, "www", std::string("a \"b\\\t\0\xff\nc", 10)});
  Bytes partial = R(1, "some text"), badCount = EncodeNameListReply({"a"});
  partial.resize(20);
  badCount[16] = 2;  // a name count that disagrees with the length
  const Case cases[] = {
      {"--help", 0, "Usage: sentroctl [OPTIONS] COMMAND [ARGS...]"},
      {"help start", 0, "Default time-out: 120 seconds."},
      {"start", 1,
       "! usage: sentroctl start SERVICE\nTry 'sentroctl --help' for more information.\n"},
      {"start web --socket " + missing, 2,
       "! the sentro daemon is not running: no control socket at " + missing + "\n"},
      {"--json list --socket " + refusing, 2,
       "\"error\":\"the sentro daemon is not running: connection refused on " + refusing},
      {"list --socket /tmp/" + std::string(120, 'x'), 2, "too long"},
      {"stop web --timeout 0.2", 3, "! timed out waiting for the daemon's reply\n", {{}}},
      {"stop web --timeout 0.2", 3, "! timed out in the middle of the daemon's reply\n", {partial}},
      {"--json status web ghost",
       4,
       "{\"command\":\"status\",\"ok\":false,\"error\":\"no such service 'ghost'\",\"result\":6,"
       "\"resultName\":\"InvalidStartupType\",\"services\":[{\"name\":\"web\",\"state\":"
       "\"STARTED\",\"health\":\"HEALTHY\",\"startupType\":\"MANUAL\",\"pid\":1,"
       "\"msInState\":1000,\"runAsUser\":\"www\",\"lastStopFailed\":false,\"healthData\":"
       "\"a \\\"b\\\\\\t\\u0000\xEF\xBF\xBD\\nc\"}],\"errors\":[{\"service\":\"ghost\",\"ok\":"
       "false,\"error\":\"no such service 'ghost'\",\"result\":6,\"resultName\":"
       "\"InvalidStartupType\"}]}\n! status ghost: no such service",
       {web, R(6)}},
      {"start-profile ALL --json",
       4,
       "{\"command\":\"start-profile\",\"profile\":\"ALL\",\"ok\":false,\"error\":\"timed out\","
       "\"result\":1,\"resultName\":\"TimedOut\",\"failedServices\":[\"db\",\"web\"]}\n! ",
       {R(1, "db, web")}},
      {"stop web", 4, "! stop web: unknown result code 7\n", {R(7)}},
      {"set-startup web disabled", 4, "can be disabled only while it is stopped", {R(9)}},
      {"start-profile X", 4, "no such profile 'X' (UnknownProfile, code 10)", {R(10)}},
      {"start-profile ALL", 4, "(TimedOut, code 1)\nFailed services: db, web", {R(1, "db, web")}},
      {"live-core web",
       4,
       "dump failed (no such service, service not",
       {EncodeLiveCoreReply(false, "")}},
      {"ha-failover", 4, "the failover listener refused the failover", {Header(0x1422, 1, 16, 0)}},
      // The daemon's control socket refuses the failover type.
      {"ha-failover", 4, "refused the request as invalid (InvalidRequest, code 8)", {R(8)}},
      {"--json stop web", 5, "\"errorClass\":\"protocol\"", {partial}},
      {"stop web", 5, "! truncated reply: 20 of 37 bytes before the connection ended\n", {partial}},
      {"reload", 5, "! the daemon closed the connection without replying\n", {{}}},
      {"reload", 5, "truncated reply header: 6 of 16 bytes", {{0x22, 0x14, 0, 0, 1, 0}}},
      {"reload", 5, "bad magic or version", {Header(0x1234, 1, 15, 0)}},
      {"reload", 5, "bad magic or version", {Header(0x1422, 2, 15, 0)}},
      {"reload", 5, "the reply has type 3, not a reply type", {Header(0x1422, 1, 3, 0)}},
      {"reload", 5, "more than a reply can hold", {Header(0x1422, 1, 16, 0x7fffffff)}},
      {"start web", 5, "malformed reply: expected a result reply", {EncodeNameListReply({})}},
      {"reload", 5, "malformed reply", {Header(0x1422, 1, 16, 12, 12)}},  // failure code 0
      {"list", 5, "malformed reply: expected a name list", {badCount}},
      {"status web", 5, "malformed reply: expected a service state", {R(0)}},
  };
  for (const Case &c : cases) ExpectRun(path, c);
  close(unlistened);
  // Each usage error, ";" between them: a word too long is one too.
  std::istringstream usageErrors(
      ";frobnicate;start a b;start " + std::string(32, 'n') + ";status " + std::string(32, 'n') +
      ";set-startup web sometimes;run-as web " + std::string(64, 'u') +
      ";recovery-profile both;notify-coredump 12x;notify-coredump 0;notify-coredump 4294967296"
      ";start web --ignore-failures;start web --timeout 0;start web --timeout -1"
      ";start web --timeout 86401;start web --timeout soon;start web --timeout"
      ";start web --verbose;list --json=yes;help frobnicate");
  for (std::string args; std::getline(usageErrors, args, ';');)
    ExpectRun(path, {args, 1, "\nTry 'sentroctl "});
}

// A listener that never accepts, with its backlog of one taken: the client
// retries until its deadline, and gets through when a slot frees in time.
TEST(ControlExchange, RetriesAFullBacklogUntilItsDeadline) {
  TempDir dir;
  struct sockaddr_un address = {AF_UNIX, {}};
  snprintf(address.sun_path, sizeof address.sun_path, "%s", dir.Sub("s").c_str());
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int first = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  struct timeval acceptLimit = {2, 0};  // a client that gave up leaves no accept hanging
  setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &acceptLimit, sizeof acceptLimit);
  ASSERT_EQ(connect(first, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  const Bytes request = Header(0x1422, 1, 3, 0);
  ClientReply reply;
  std::string detail;
  auto now = std::chrono::steady_clock::now;
  EXPECT_EQ(ControlExchange(dir.Sub("s"), request, now() + 50ms, &reply, &detail),
            ClientError::TimedOut);
  EXPECT_NE(detail.find("did not accept the connection"), std::string::npos) << detail;
  std::thread acceptor([listener] {
    std::this_thread::sleep_for(50ms);
    close(accept(listener, nullptr, nullptr));  // frees the slot
    int second = accept(listener, nullptr, nullptr);
    uint8_t header[16];
    Bytes ok = EncodeResultReply(0);
    if (recv(second, header, sizeof header, MSG_WAITALL) == 16) {
      send(second, ok.data(), ok.size(), MSG_NOSIGNAL);
    }
    close(second);
  });
  EXPECT_EQ(ControlExchange(dir.Sub("s"), request, now() + 5s, &reply, &detail), ClientError::None)
      << detail;
  acceptor.join();
  close(first);
  close(listener);
}

TEST(CtlJson, InvalidUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(ValidUtf8("\xC3\xA9t\xF0\x9F\x98\x80"), "\xC3\xA9t\xF0\x9F\x98\x80");
  EXPECT_EQ(ValidUtf8("\xC0\xAF\xED\xA0\x80"
                      "a\xE2\x82"),  // overlong, surrogate, cut short
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
            "a\xEF\xBF\xBD\xEF\xBF\xBD");
}
