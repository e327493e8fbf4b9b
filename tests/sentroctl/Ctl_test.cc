// sentroctl against a fake daemon: the command line, the requests each
// command sends (byte for byte, one per connection), what it prints and the
// status it exits with (usage 1, unreachable 2, time-out 3, request failed
// 4, protocol error 5).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <thread>

#include "ops/OpsRun.h"
#include "src/protocol/ReplyMessage.h"
#include "support/TempDir.h"
#include "tools/sentroctl/CtlCommandLine.h"
#include "tools/sentroctl/Sentroctl.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A thread plays the daemon on path while client runs: it answers each
// connection with the next of replies (hold keeps the last one open), closes
// it, and returns the requests it read (header and payload), one each.
std::vector<Bytes> Serve(const std::string &path, const std::vector<Bytes> &replies, bool hold,
                         const std::function<void()> &client) {
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {AF_UNIX, {}};
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0) << path;
  listen(listener, 8);
  std::vector<Bytes> requests;
  std::vector<int> held;
  std::thread daemon([&] {
    for (int fd; (fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
      timeval timeout = {2, 0};  // a request arrives in full well within this
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
      Bytes &request = requests.emplace_back(16 + 4096);  // no request is larger
      ssize_t got = recv(fd, request.data(), 16, MSG_WAITALL);
      uint32_t length = 0;
      if (got == 16 && memcpy(&length, &request[12], 4) && length > 0 && length <= 4096)
        got += std::max<ssize_t>(recv(fd, &request[16], length, MSG_WAITALL), 0);
      request.resize(std::max<ssize_t>(got, 0));
      size_t n = requests.size();
      if (n <= replies.size()) send(fd, replies[n - 1].data(), replies[n - 1].size(), MSG_NOSIGNAL);
      hold &&n == replies.size() ? held.push_back(fd) : void(close(fd));
    }
  });
  client();
  shutdown(listener, SHUT_RDWR);  // wakes the accept
  daemon.join();
  for (int fd : held) close(fd);
  close(listener);
  unlink(path.c_str());
  return requests;
}

using namespace std::chrono_literals;

struct Case {
  std::string args;
  int status;
  std::string printed;
  std::vector<Bytes> replies = {};  // one per connection; a time-out holds the last open
};

// sentroctl --socket path c.args (words) in-process against Serve(path,
// c.replies): c's outcome, no request on a usage error, a time-out
// (--timeout 0.2) in its time. printed is exact when it ends in "\n".
std::vector<Bytes> ExpectRun(const std::string &path, const Case &c) {
  SCOPED_TRACE(c.args);
  std::vector<std::string> words = {"--socket", path};
  std::istringstream in(c.args);
  for (std::string word; in >> word;) words.push_back(word);
  CtlOutput out, err;
  int status = -1;
  auto started = std::chrono::steady_clock::now();
  std::vector<Bytes> requests = Serve(path, c.replies, c.status == 3,
                                      [&] { status = RunSentroctl(words, nullptr, out, err); });
  auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(err.Text().rfind("sentroctl: ", 0), err.Text().empty() ? std::string::npos : 0);
  // stdout, then "! " and stderr after its "sentroctl: "
  std::string printed = out.Text() + (err.Text().empty() ? "" : "! " + err.Text().substr(11));
  EXPECT_EQ(status, c.status);
  bool exact = c.printed.empty() || c.printed.back() == '\n';
  EXPECT_TRUE(exact ? printed == c.printed : printed.find(c.printed) != std::string::npos)
      << printed;
  EXPECT_LT(elapsed, 2s);
  EXPECT_TRUE(c.status != 3 || elapsed >= 190ms);
  EXPECT_TRUE(c.status != 1 || requests.empty()) << "a usage error sends nothing";
  return requests;
}

std::string Hex(const std::vector<uint8_t> &bytes) {
  std::string text;
  char cell[4];
  for (uint8_t byte : bytes) text += (snprintf(cell, sizeof cell, "%02x ", byte), cell);
  return text;
}

// The header of a request of this type and payload length.
std::string HeaderHex(uint8_t type, uint8_t length) {
  char text[64];
  snprintf(text, sizeof text, "22 14 00 00 01 00 00 00 %02x 00 00 00 %02x 00 00 00 ", type, length);
  return text;
}

// text in a zero-padded field of size bytes.
std::string FieldHex(const std::string &text, size_t size) {
  std::vector<uint8_t> field(text.begin(), text.end());
  field.resize(size, 0);
  return Hex(field);
}

Bytes Header(uint32_t magic, uint32_t version, uint32_t type, uint32_t length, size_t payload = 0) {
  Bytes bytes(16 + payload, 0);
  EncodeMessageHeader({magic, version, type, length}, bytes.data());
  return bytes;
}
auto R = [](uint32_t code, const std::string &text = "") { return EncodeResultReply(code, text); };

}  // namespace

TEST(CtlCommandLine, SocketOptionThenDataDirThenEnvironmentThenCurrentDirectory) {
  struct Case {
    std::vector<std::string> args;
    const char *dataDirVariable, *socketName, *expected;
  } cases[] = {
      {{"--socket", "/run/s", "--datadir", "/data", "list"}, "/env", "sentroserver", "/run/s"},
      {{"--datadir=/data", "list"}, "/env", "duolistener", "/data/duolistener"},
      {{"list"}, "/var/lib", "sentroserver", "/var/lib/norvane-sentro/sentroserver"},
      {{"list"}, nullptr, "sentroserver", "./sentroserver"},
  };
  for (const Case &c : cases) {
    CtlOptions options;
    std::string error;
    EXPECT_TRUE(ParseCtlCommandLine(c.args, &options, &error)) << error;
    EXPECT_EQ(ResolveSocketPath(options, c.dataDirVariable, c.socketName), c.expected);
  }
}

TEST(CtlRequests, EachCommandSendsItsRequestsByteForByteOnePerConnection) {
  TempDir dir;
  const std::string path = dir.Sub("sentroserver");
  const std::string web = FieldHex("web", 32), db = FieldHex("db", 32), state = HeaderHex(4, 32),
                    n31(31, 'n');
  const Bytes webState = EncodeSvcStateReply(
      {"web", 2, 1, 1, false, (7 * 60 + 5) * 60000, 4242, "www", "all good\nsecond"});
  const Bytes dbState = EncodeSvcStateReply({"db", 3, 0, 0, true, 12345, 0, "r", ""});
  struct Case {
    std::string args, requests;  // requests: one per connection, "| " between them
    std::string printed;
    std::vector<Bytes> replies = {EncodeResultReply(0)};
  } cases[] = {
      {"start web", HeaderHex(0, 32) + web, "Started web.\n"},
      {"start " + n31, HeaderHex(0, 32) + FieldHex(n31, 32), "Started " + n31},
      {"start -- --x", HeaderHex(0, 32) + FieldHex("--x", 32), "Started --x"},
      {"stop web", HeaderHex(1, 32) + web, "Stopped web.\n"},
      {"restart web", HeaderHex(2, 32) + web, "Restarted web.\n"},
      {"list",
       HeaderHex(3, 0) + "| " + state + db + "| " + state + web,
       "SERVICE  STATE    HEALTH     STARTUP    PID   IN STATE  USER  HEALTH DATA\n"
       "db       STOPPED  UNHEALTHY  MANUAL     -     12.3s     r\n"
       "web      STARTED  HEALTHY    AUTOMATIC  4242  7h 05m    www   all good\n",
       {EncodeNameListReply({"db", "web"}), dbState, webState}},
      {"status web db",
       state + web + "| " + state + db,
       "web\n  State:        STARTED for 7h 05m\n  Health:       HEALTHY\n"
       "  Startup type: AUTOMATIC\n  PID:          4242\n  Run as:       www\n"
       "  Health data:  all good\n                second\n"
       "\ndb\n  State:        STOPPED for 12.3s\n  Health:       UNHEALTHY\n"
       "  Startup type: MANUAL\n  PID:          -\n  Run as:       r\n"
       "  Last stop:    failed\n  Health data:  -\n",
       {webState, dbState}},
      {"set-startup db manual", HeaderHex(5, 36) + "00 00 00 00 " + db, "db set to MANUAL."},
      {"set-startup db Disabled", HeaderHex(5, 36) + "02 00 00 00 " + db, "db set to DISABLED."},
      {"deps web", HeaderHex(6, 32) + web, "db\ncache\n", {EncodeNameListReply({"db", "cache"})}},
      {"start-profile ALL", HeaderHex(7, 33) + FieldHex("ALL", 32) + "00 ", "Started profile ALL"},
      {"start-profile --ignore-failures X", HeaderHex(7, 33) + FieldHex("X", 32) + "01 ", "X"},
      {"stop-profile A --ignore-failures", HeaderHex(8, 33) + FieldHex("A", 32) + "01 ",
       "Stopped profile A; failures were ignored.\n"},
      {"ha-failover", HeaderHex(9, 0), "The failover listener accepted the failover.\n"},
      {"notify-coredump 70000", HeaderHex(10, 8) + "70 11 01 00 00 00 00 00 ", "70000 as dumping"},
      {"recovery-profile FAILOVER", HeaderHex(11, 4) + "01 00 00 00 ", "set to FAILOVER."},
      {"run-as web svc", HeaderHex(12, 96) + web + FieldHex("svc", 64), "of web set to svc."},
      {"health-check-all", HeaderHex(13, 4) + "01 00 00 00 ", "Ran the health check"},
      {"reset-counters", HeaderHex(13, 4) + "00 01 00 00 ", "counters"},
      {"reload", HeaderHex(13, 4) + "00 00 01 00 ", "Reload"},
      {"save-stats", HeaderHex(13, 4) + "00 00 00 01 ", "Saved the crash statistics"},
      {"live-core web", HeaderHex(14, 32) + web, "to /c.1", {EncodeLiveCoreReply(true, "/c.1")}},
  };
  for (const Case &c : cases) {
    std::string sent;
    for (const Bytes &request : ExpectRun(path, {c.args, 0, c.printed, c.replies}))
      sent += (sent.empty() ? "" : "| ") + Hex(request);
    EXPECT_EQ(sent, c.requests) << c.args;
  }
}

TEST(CtlOutcomes, EachClassOfFailureHasItsExitStatusAndSaysWhatHappened) {
  TempDir dir;
  const std::string path = dir.Sub("sentroserver");
  // Nothing listens on a file that is no socket: its connect is refused.
  std::string refusing = dir.Write("refusing", ""), missing = dir.Sub("missing");
  const Bytes web = EncodeSvcStateReply(
      {"web", 2, 0, 1, false, 1000, 1, "www", std::string("a \"b\\\t\0\xff\nc", 10)});
  Bytes partial = R(1, "some text"), badCount = EncodeNameListReply({"a"});
  partial.resize(20);
  badCount[16] = 2;  // a name count that disagrees with the length
  const Case cases[] = {
      {"start", 1,
       "! usage: sentroctl start SERVICE\nTry 'sentroctl --help' for more information.\n"},
      {"start web --socket " + missing, 2,
       "! the sentro daemon is not running: no control socket at " + missing + "\n"},
      {"list --socket " + refusing, 2, "not running: connection refused on " + refusing},
      {"list --socket /tmp/" + std::string(120, 'x'), 2, "too long"},
      {"stop web --timeout 0.2", 3, "! timed out waiting for the daemon's reply\n", {{}}},
      {"stop web --timeout 0.2", 3, "! timed out in the middle of the daemon's reply\n", {partial}},
      {"--json status web ghost",
       4,
       "\"runAsUser\":\"www\",\"lastStopFailed\":false,\"healthData\":\"a \\\"b\\\\\\t\\u0000"
       "\xEF\xBF\xBD\\nc\"}],\"errors\":[{\"service\":\"ghost\",\"ok\":false,\"error\":\"no such "
       "service "
       "'ghost'\",\"result\":6,\"resultName\":\"InvalidStartupType\"}]}\n! status ghost: no such",
       {web, R(6)}},
      {"start-profile A --json", 4, R"("failedServices":["db","web"]})", {R(1, "db, web")}},
      {"stop web", 4, "! stop web: unknown result code 7\n", {R(7)}},
      {"set-startup web disabled", 4, "can be disabled only while it is stopped", {R(9)}},
      {"start-profile X", 4, "no such profile 'X' (UnknownProfile, code 10)", {R(10)}},
      {"start-profile ALL", 4, "(TimedOut, code 1)\nFailed services: db, web", {R(1, "db, web")}},
      {"live-core web", 4, "dump failed (no such service,", {EncodeLiveCoreReply(false, "")}},
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

// The real binary: the socket found through NORVANE_DATA_DIR, the streams
// and the exit status, and a socket closed to its user.
TEST(SentroctlBinary, FindsTheSocketThroughTheEnvironmentAndReportsOnItsStreams) {
  TempDir dir;
  MakeDirs(dir.Sub("norvane-sentro"));
  const std::string path = dir.Sub("norvane-sentro/sentroserver"),
                    ctl = "NORVANE_DATA_DIR=" + dir.path() + " timeout 10 ";
  const char *nobody = geteuid() != 0 ? "" : "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  OpsRun deps, denied, mixed;
  const Bytes dbState = EncodeSvcStateReply({"db", 3, 0, 0, true, 12345, 0, "r", ""});
  auto requests = Serve(path, {EncodeNameListReply({"db"}), dbState, R(6)}, false, [&] {
    deps = Shell(ctl + SandboxDaemon::BuildPath("sentroctl") + " deps web --json 2>/dev/null");
    // One stream: the diagnostic comes after the results printed before it.
    mixed = Shell(ctl + SandboxDaemon::BuildPath("sentroctl") + " status db web 2>&1");
    // A root-owned socket of mode 0700 in directories anyone may enter.
    chmod(dir.path().c_str(), 0755), chmod(dir.Sub("norvane-sentro").c_str(), 0755);
    chmod(path.c_str(), 0700);
    denied = Shell(ctl + nobody + SandboxDaemon::BuildPath("sentroctl") + " list 2>&1 >/dev/null");
  });
  EXPECT_EQ(requests.size(), 3u);
  EXPECT_EQ(deps.status, 0);
  EXPECT_EQ(mixed.out.rfind("db\n", 0), 0u) << mixed.out;
  EXPECT_NE(mixed.out.find("  -\nsentroctl: status web: no such service 'web'"), std::string::npos)
      << mixed.out;
  EXPECT_EQ(deps.out, R"({"command":"deps","service":"web","ok":true,"dependsOn":["db"]})"
                      "\n");
  EXPECT_EQ(denied.status, 2);
  EXPECT_NE(denied.out.find("permission denied on " + path), std::string::npos) << denied.out;
}
