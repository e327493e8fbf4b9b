// Each command sends the request of its type, byte for byte, one request
// per connection.
#include <gtest/gtest.h>

#include "sentroctl/CtlRun.h"
#include "sentroctl/FakeServer.h"
#include "src/protocol/ReplyMessage.h"
#include "support/TempDir.h"

namespace {

std::string Hex(const std::vector<uint8_t> &bytes) {
  std::string text;
  char cell[4];
  for (uint8_t byte : bytes) {
    snprintf(cell, sizeof(cell), "%02x ", byte);
    text += cell;
  }
  return text;
}

// The header of a request of this type and payload length.
std::string HeaderHex(uint8_t type, uint8_t length) {
  char text[64];
  snprintf(text, sizeof(text), "22 14 00 00 01 00 00 00 %02x 00 00 00 %02x 00 00 00 ", type,
           length);
  return text;
}

// text in a zero-padded field of size bytes.
std::string FieldHex(const std::string &text, size_t size) {
  std::vector<uint8_t> field(text.begin(), text.end());
  field.resize(size, 0);
  return Hex(field);
}

std::vector<uint8_t> StateReply(const std::string &name) {
  SvcStatePayload status;
  status.name = name;
  return EncodeSvcStateReply(status);
}

class CtlRequests : public ::testing::Test {
 protected:
  TempDir dir_;
  FakeServer server_{dir_.Sub("sentroserver")};
};

}  // namespace

TEST_F(CtlRequests, EachCommandSendsItsRequestByteForByte) {
  const std::vector<uint8_t> ok = EncodeResultReply(0);
  const std::string web = FieldHex("web", 32);
  const std::string n31(31, 'n');
  struct Case {
    std::string args;
    std::vector<uint8_t> reply;
    std::string request;
  } cases[] = {
      {"start web", ok, HeaderHex(0, 32) + web},
      {"start " + n31, ok, HeaderHex(0, 32) + FieldHex(n31, 32)},  // the longest name, whole
      {"stop web", ok, HeaderHex(1, 32) + web},
      {"restart web", ok, HeaderHex(2, 32) + web},
      {"list", EncodeNameListReply({}), HeaderHex(3, 0)},
      {"status web", StateReply("web"), HeaderHex(4, 32) + web},
      {"set-startup db manual", ok, HeaderHex(5, 36) + "00 00 00 00 " + FieldHex("db", 32)},
      {"set-startup db AUTOMATIC", ok, HeaderHex(5, 36) + "01 00 00 00 " + FieldHex("db", 32)},
      {"set-startup db Disabled", ok, HeaderHex(5, 36) + "02 00 00 00 " + FieldHex("db", 32)},
      {"deps web", EncodeNameListReply({}), HeaderHex(6, 32) + web},
      {"start-profile ALL", ok, HeaderHex(7, 33) + FieldHex("ALL", 32) + "00 "},
      {"start-profile --ignore-failures CRITICAL", ok,
       HeaderHex(7, 33) + FieldHex("CRITICAL", 32) + "01 "},
      {"stop-profile ALL --ignore-failures", ok, HeaderHex(8, 33) + FieldHex("ALL", 32) + "01 "},
      {"ha-failover", ok, HeaderHex(9, 0)},
      {"notify-coredump 70000", ok, HeaderHex(10, 8) + "70 11 01 00 00 00 00 00 "},
      {"recovery-profile default", ok, HeaderHex(11, 4) + "00 00 00 00 "},
      {"recovery-profile FAILOVER", ok, HeaderHex(11, 4) + "01 00 00 00 "},
      {"run-as web svcuser", ok, HeaderHex(12, 96) + web + FieldHex("svcuser", 64)},
      {"health-check-all", ok, HeaderHex(13, 4) + "01 00 00 00 "},
      {"reset-counters", ok, HeaderHex(13, 4) + "00 01 00 00 "},
      {"reload", ok, HeaderHex(13, 4) + "00 00 01 00 "},
      {"save-stats", ok, HeaderHex(13, 4) + "00 00 00 01 "},
      {"live-core web", EncodeLiveCoreReply(true, "/core"), HeaderHex(14, 32) + web},
  };
  size_t seen = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    server_.Reply(c.reply);
    CtlRun run = RunCtl(server_.path(), Words(c.args));
    EXPECT_EQ(run.status, 0) << run.err;
    auto requests = server_.Requests();
    ASSERT_EQ(requests.size(), ++seen);
    EXPECT_EQ(Hex(requests.back()), c.request);
  }
}

TEST_F(CtlRequests, ListAndStatusOfManyUseOneConnectionPerService) {
  server_.Reply(EncodeNameListReply({"db", "web"}));
  server_.Reply(StateReply("db"));
  server_.Reply(StateReply("web"));
  CtlRun run = RunCtl(server_.path(), {"list"});
  EXPECT_EQ(run.status, 0) << run.err;
  server_.Reply(StateReply("a"));
  server_.Reply(StateReply("b"));
  run = RunCtl(server_.path(), {"status", "a", "b"});
  EXPECT_EQ(run.status, 0) << run.err;

  std::vector<std::string> sent;
  for (const auto &request : server_.Requests()) {
    sent.push_back(Hex(request));
  }
  const std::string state = HeaderHex(4, 32);
  EXPECT_EQ(sent, (std::vector<std::string>{HeaderHex(3, 0), state + FieldHex("db", 32),
                                            state + FieldHex("web", 32), state + FieldHex("a", 32),
                                            state + FieldHex("b", 32)}));
}
