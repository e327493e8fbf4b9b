// The command line, and the requests each command sends: byte for byte, one
// request per connection, and what it prints when they succeed.
#include <gtest/gtest.h>

#include "sentroctl/FakeDaemon.h"
#include "src/protocol/ReplyMessage.h"
#include "support/TempDir.h"
#include "tools/sentroctl/CtlCommandLine.h"

namespace {

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

CtlOptions Parse(const std::vector<std::string> &args) {
  CtlOptions options;
  std::string error;
  EXPECT_TRUE(ParseCtlCommandLine(args, &options, &error)) << error;
  return options;
}

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
  for (const Case &c : cases)
    EXPECT_EQ(ResolveSocketPath(Parse(c.args), c.dataDirVariable, c.socketName), c.expected);
  CtlOptions options = Parse({"start-profile", "ALL", "--json", "--timeout", "1.5", "--", "--x"});
  EXPECT_EQ(options.args, (std::vector<std::string>{"ALL", "--x"}));
  EXPECT_TRUE(options.json);
  EXPECT_DOUBLE_EQ(options.timeoutSeconds, 1.5);
}

TEST(CtlRequests, EachCommandSendsItsRequestsByteForByteOnePerConnection) {
  TempDir dir;
  const std::string web = FieldHex("web", 32), db = FieldHex("db", 32), state = HeaderHex(4, 32),
                    n31(31, 'n');
  const std::vector<uint8_t> webState = EncodeSvcStateReply(
      {"web", 2, 1, 1, false, (7 * 60 + 5) * 60000, 4242, "www", "all good\nsecond"});
  const std::vector<uint8_t> dbState =
      EncodeSvcStateReply({"db", 3, 0, 0, true, 12345, 0, "r", ""});
  struct Case {
    std::string args, requests;  // requests: one per connection, "| " between them
    std::string printed;
    std::vector<std::vector<uint8_t>> replies = {EncodeResultReply(0)};
  } cases[] = {
      {"start web", HeaderHex(0, 32) + web, "Started web.\n"},
      {"start " + n31, HeaderHex(0, 32) + FieldHex(n31, 32), "Started " + n31 + ".\n"},
      {"stop web", HeaderHex(1, 32) + web, "Stopped web.\n"},
      {"list",
       HeaderHex(3, 0) + "| " + state + db + "| " + state + web,
       "SERVICE  STATE    HEALTH     STARTUP    PID   IN STATE  USER  HEALTH DATA\n"
       "db       STOPPED  UNHEALTHY  MANUAL     -     12.3s     r\n"
       "web      STARTED  HEALTHY    AUTOMATIC  4242  7h 05m    www   all good\n",
       {EncodeNameListReply({"db", "web"}), dbState, webState}},
      {"list", HeaderHex(3, 0), "No services.\n", {EncodeNameListReply({})}},
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
      {"live-core web --json",
       HeaderHex(14, 32) + web,
       "{\"command\":\"live-core\",\"service\":\"web\",\"ok\":true,\"coreFile\":\"/c.1\"}\n",
       {EncodeLiveCoreReply(true, "/c.1")}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    CtlRun run = RunCtl(dir.Sub("sentroserver"), c.args, c.replies);
    EXPECT_EQ(run.status, 0);
    ExpectPrinted(run.printed, c.printed);
    std::string sent;
    for (const Bytes &request : run.requests) sent += (sent.empty() ? "" : "| ") + Hex(request);
    EXPECT_EQ(sent, c.requests);
  }
}
