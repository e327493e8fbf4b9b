// Each command sends the request of its type, byte for byte, one request
// per connection.
#include <gtest/gtest.h>

#include "sentroctl/CtlRun.h"
#include "sentroctl/FakeServer.h"
#include "src/control/protocol/ReplyMessage.h"
#include "src/control/protocol/RequestMessage.h"
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

// The header hex of a request of this type and payload length.
std::string HeaderHex(uint8_t type, uint8_t length) {
  char text[64];
  snprintf(text, sizeof(text), "22 14 00 00 01 00 00 00 %02x 00 00 00 %02x 00 00 00 ", type,
           length);
  return text;
}

std::string FieldHex(const std::string &text, size_t size) {
  std::vector<uint8_t> field(text.begin(), text.end());
  field.resize(size, 0);
  return Hex(field);
}

class CtlRequests : public ::testing::Test {
 protected:
  // Runs the command against a server that answers success, and returns the
  // one request it sent.
  std::vector<uint8_t> SentBy(std::vector<std::string> args,
                              const std::vector<uint8_t> &reply = EncodeResultReply(0)) {
    server_.Reply(reply);
    CtlRun run = RunCtl(server_.path(), args);
    EXPECT_EQ(run.status, 0) << run.err;
    auto requests = server_.Requests();
    EXPECT_EQ(requests.size(), seen_ + 1);
    seen_ = requests.size();
    return requests.empty() ? std::vector<uint8_t>{} : requests.back();
  }

  TempDir dir_;
  FakeServer server_{dir_.Sub("sentroserver")};
  size_t seen_ = 0;
};

}  // namespace

TEST_F(CtlRequests, ServiceCommandsSendTheServiceNameInA32ByteField) {
  struct {
    const char *command;
    uint8_t type;
  } cases[] = {{"start", 0}, {"stop", 1}, {"restart", 2}};
  for (const auto &c : cases) {
    EXPECT_EQ(Hex(SentBy({c.command, "web"})), HeaderHex(c.type, 32) + FieldHex("web", 32))
        << c.command;
  }
  EXPECT_EQ(Hex(SentBy({"deps", "web"}, EncodeNameListReply({}))),
            HeaderHex(6, 32) + FieldHex("web", 32));
  EXPECT_EQ(Hex(SentBy({"live-core", "web"}, EncodeLiveCoreReply(true, "/core"))),
            HeaderHex(14, 32) + FieldHex("web", 32));
  SvcStatePayload status;
  status.name = "web";
  EXPECT_EQ(Hex(SentBy({"status", "web"}, EncodeSvcStateReply(status))),
            HeaderHex(4, 32) + FieldHex("web", 32));
}

TEST_F(CtlRequests, ANameOf31CharactersIsSentWhole) {
  std::string name(31, 'n');
  EXPECT_EQ(Hex(SentBy({"start", name})), HeaderHex(0, 32) + FieldHex(name, 32));
}

TEST_F(CtlRequests, ListIsTheBareHeader) {
  EXPECT_EQ(Hex(SentBy({"list"}, EncodeNameListReply({}))), HeaderHex(3, 0));
}

TEST_F(CtlRequests, SetStartupSendsTheTypeNumberThenTheName) {
  const char *types[] = {"manual", "AUTOMATIC", "Disabled"};
  for (uint8_t value = 0; value < 3; value++) {
    char number[16];
    snprintf(number, sizeof(number), "%02x 00 00 00 ", value);
    EXPECT_EQ(Hex(SentBy({"set-startup", "db", types[value]})),
              HeaderHex(5, 36) + number + FieldHex("db", 32));
  }
}

TEST_F(CtlRequests, RunAsSendsNameAndA64ByteUser) {
  EXPECT_EQ(Hex(SentBy({"run-as", "web", "svcuser"})),
            HeaderHex(12, 96) + FieldHex("web", 32) + FieldHex("svcuser", 64));
}

TEST_F(CtlRequests, ProfileCommandsSendTheIgnoreFailByte) {
  EXPECT_EQ(Hex(SentBy({"start-profile", "ALL"})), HeaderHex(7, 33) + FieldHex("ALL", 32) + "00 ");
  EXPECT_EQ(Hex(SentBy({"start-profile", "--ignore-failures", "CRITICAL"})),
            HeaderHex(7, 33) + FieldHex("CRITICAL", 32) + "01 ");
  EXPECT_EQ(Hex(SentBy({"stop-profile", "ALL", "--ignore-failures"})),
            HeaderHex(8, 33) + FieldHex("ALL", 32) + "01 ");
}

TEST_F(CtlRequests, AllServicesCommandsSetOneFlagEach) {
  EXPECT_EQ(Hex(SentBy({"health-check-all"})), HeaderHex(13, 4) + "01 00 00 00 ");
  EXPECT_EQ(Hex(SentBy({"reset-counters"})), HeaderHex(13, 4) + "00 01 00 00 ");
  EXPECT_EQ(Hex(SentBy({"reload"})), HeaderHex(13, 4) + "00 00 01 00 ");
  EXPECT_EQ(Hex(SentBy({"save-stats"})), HeaderHex(13, 4) + "00 00 00 01 ");
}

TEST_F(CtlRequests, RecoveryProfileSendsItsNumber) {
  EXPECT_EQ(Hex(SentBy({"recovery-profile", "default"})), HeaderHex(11, 4) + "00 00 00 00 ");
  EXPECT_EQ(Hex(SentBy({"recovery-profile", "FAILOVER"})), HeaderHex(11, 4) + "01 00 00 00 ");
}

TEST_F(CtlRequests, NotifyCoredumpSendsThePidAndFourZeroBytes) {
  EXPECT_EQ(Hex(SentBy({"notify-coredump", "70000"})),
            HeaderHex(10, 8) + "70 11 01 00 00 00 00 00 ");
}

TEST_F(CtlRequests, HaFailoverSendsTheBareFailoverHeader) {
  EXPECT_EQ(Hex(SentBy({"ha-failover"})), HeaderHex(9, 0));
}

TEST_F(CtlRequests, StatusOfTwoServicesUsesOneConnectionEach) {
  SvcStatePayload status;
  status.name = "a";
  server_.Reply(EncodeSvcStateReply(status));
  status.name = "b";
  server_.Reply(EncodeSvcStateReply(status));
  CtlRun run = RunCtl(server_.path(), {"status", "a", "b"});
  EXPECT_EQ(run.status, 0) << run.err;
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(Hex(requests[0]), HeaderHex(4, 32) + FieldHex("a", 32));
  EXPECT_EQ(Hex(requests[1]), HeaderHex(4, 32) + FieldHex("b", 32));
}

TEST_F(CtlRequests, ListAsksForTheStateOfEveryListedService) {
  server_.Reply(EncodeNameListReply({"db", "web"}));
  SvcStatePayload status;
  server_.Reply(EncodeSvcStateReply(status));
  server_.Reply(EncodeSvcStateReply(status));
  CtlRun run = RunCtl(server_.path(), {"list"});
  EXPECT_EQ(run.status, 0) << run.err;
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(Hex(requests[0]), HeaderHex(3, 0));
  EXPECT_EQ(Hex(requests[1]), HeaderHex(4, 32) + FieldHex("db", 32));
  EXPECT_EQ(Hex(requests[2]), HeaderHex(4, 32) + FieldHex("web", 32));
}
