// Every reply layout byte for byte, the round trip through the decoders, and
// the decoders' refusal of payloads that do not fit.
#include "src/protocol/ReplyMessage.h"

#include <gtest/gtest.h>

#include "protocol/WireHex.h"
#include "src/protocol/ResultCode.h"
#include "src/protocol/WireEnums.h"

namespace {

std::string HexHeader(uint8_t type, uint16_t payloadLength) {
  char text[64];
  snprintf(text, sizeof(text), "22 14 00 00 01 00 00 00 %02x 00 00 00 %02x %02x 00 00 ", type,
           payloadLength & 0xff, payloadLength >> 8);
  return text;
}

std::string HexField(const std::string &text, size_t fieldSize) {
  return HexText(text) + " " + HexZeros(fieldSize - text.size());
}

SvcStatePayload SampleState() {
  SvcStatePayload status;
  status.name = "web";
  status.state = 2;
  status.startupType = 1;
  status.health = 1;
  status.msInState = 0x0102030405060708ull;
  status.pid = 4242;
  status.runAsUser = "root";
  status.healthData = "ok";
  return status;
}

// Decodes the payload that follows the message's own header.
template <typename Out>
bool Decode(bool (*decoder)(const MessageHeader &, const uint8_t *, size_t, Out *),
            const std::vector<uint8_t> &message, Out *out) {
  return decoder(DecodeMessageHeader(message.data()), message.data() + MESSAGE_HEADER_SIZE,
                 message.size() - MESSAGE_HEADER_SIZE, out);
}

}  // namespace

// Each decodes a reply and encodes what it read again: a field the decoder
// lost or misplaced comes out different.
std::vector<uint8_t> ResultAgain(const std::vector<uint8_t> &message) {
  ResultPayload result{99, "stale"};
  EXPECT_TRUE(Decode(DecodeResultPayload, message, &result));
  return EncodeResultReply(result.code, result.text);
}
std::vector<uint8_t> NameListAgain(const std::vector<uint8_t> &message) {
  std::vector<std::string> names{"stale"};
  EXPECT_TRUE(Decode(DecodeNameListPayload, message, &names));
  return EncodeNameListReply(names);
}
std::vector<uint8_t> SvcStateAgain(const std::vector<uint8_t> &message) {
  SvcStatePayload status;
  EXPECT_TRUE(Decode(DecodeSvcStatePayload, message, &status));
  return EncodeSvcStateReply(status);
}
std::vector<uint8_t> LiveCoreAgain(const std::vector<uint8_t> &message) {
  LiveCorePayload core{true, "stale"};
  EXPECT_TRUE(Decode(DecodeLiveCorePayload, message, &core));
  return EncodeLiveCoreReply(core.succeeded, core.corePath);
}

TEST(ReplyLayout, EveryReplyIsByteExactAndDecodesToWhatWasSent) {
  SvcStatePayload running = SampleState();
  running.lastStopFailed = true;  // written as 0 unless the service is stopped
  SvcStatePayload stopped = SampleState();
  stopped.state = 3;
  stopped.pid = 0;
  stopped.lastStopFailed = true;
  stopped.runAsUser = std::string(64, 'u');
  stopped.healthData = std::string("multi\nline\0data", 15);
  struct Case {
    const char *what;
    std::vector<uint8_t> message;
    std::string hex;  // empty: the round trip alone
    std::vector<uint8_t> (*again)(const std::vector<uint8_t> &);
  } cases[] = {
      {"success", EncodeResultReply(0), HexHeader(15, 0), ResultAgain},
      {"failure", EncodeResultReply(1, "db, web"),
       HexHeader(16, 19) + "01 00 00 00 07 00 00 00 " + HexText("db, web") + " 00 00 00 00",
       ResultAgain},
      {"validation failure", EncodeResultReply(8),
       HexHeader(16, 12) + "08 00 00 00 00 00 00 00 00 00 00 00", ResultAgain},
      {"empty list", EncodeNameListReply({}), HexHeader(15, 8) + HexZeros(8), NameListAgain},
      {"list", EncodeNameListReply({"db", "web"}),
       HexHeader(15, 72) + "02 00 00 00 " + HexField("db", 32) + HexField("web", 32) +
           "00 00 00 00",
       NameListAgain},
      {"list with a name of 40", EncodeNameListReply({std::string(40, 'x'), "a"}),
       HexHeader(15, 72) + "02 00 00 00 " + HexText(std::string(32, 'x')) + " " +
           HexField("a", 32) + "00 00 00 00",
       NameListAgain},
      {"running service", EncodeSvcStateReply(running),
       HexHeader(15, 138) + HexField("web", 32) +
           "02 00 00 00 "              // state STARTED
           "01 00 00 00 "              // startup type AUTOMATIC
           "01 00 00 00 "              // health HEALTHY
           "00 00 00 00 "              // lastStopFailed and padding
           "08 07 06 05 04 03 02 01 "  // msInState
           "92 10 00 00 " +            // pid
           HexField("root", 64) +
           "02 00 00 00 " + HexText("ok") + " 00 00 00 00 00 00 00 00",
       SvcStateAgain},
      {"stopped service", EncodeSvcStateReply(stopped), "", SvcStateAgain},
      {"live core", EncodeLiveCoreReply(true, "/var/core/web.1"),
       HexHeader(15, 23) + "0f 00 00 00 " + HexText("/var/core/web.1") + " 00 00 00 00",
       LiveCoreAgain},
      {"no live core", EncodeLiveCoreReply(false, ""), HexHeader(16, 8) + HexZeros(8),
       LiveCoreAgain},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.hex.empty()) {
      EXPECT_EQ(ToHex(c.message), ToHex(FromHex(c.hex)));
    }
    EXPECT_EQ(ToHex(c.again(c.message)), ToHex(c.message));
  }
  EXPECT_EQ(EncodeSvcStateReply(stopped)[60], 1) << "lastStopFailed of a stopped service";
}

TEST(ReplyLayout, DecodersRefusePayloadsThatDoNotFit) {
  auto with = [](std::vector<uint8_t> message, size_t at, uint8_t value) {
    message[at] = value;
    return message;
  };
  auto cut = [](std::vector<uint8_t> message) {  // shorter than the header announces
    message.pop_back();
    return message;
  };
  std::vector<uint8_t> error = EncodeResultReply(6, "abc");
  std::vector<uint8_t> list = EncodeNameListReply({"db", "web"});
  std::vector<uint8_t> state = EncodeSvcStateReply(SampleState());
  ResultPayload result;
  std::vector<std::string> names;
  SvcStatePayload status;
  LiveCorePayload core;

  EXPECT_FALSE(Decode(DecodeResultPayload, cut(error), &result));
  EXPECT_FALSE(Decode(DecodeResultPayload, with(error, 20, 4), &result)) << "text length";
  EXPECT_FALSE(Decode(DecodeResultPayload, with(error, 16, 0), &result)) << "code 0";
  EXPECT_FALSE(Decode(DecodeResultPayload, FromHex(HexHeader(15, 4) + "01 00 00 00"), &result))
      << "a success with a payload";
  EXPECT_FALSE(Decode(DecodeResultPayload, FromHex(HexHeader(16, 8) + HexZeros(8)), &result))
      << "too short for the code";

  EXPECT_FALSE(Decode(DecodeNameListPayload, cut(list), &names));
  EXPECT_FALSE(Decode(DecodeNameListPayload, with(list, 16, 3), &names)) << "count";
  EXPECT_FALSE(Decode(DecodeNameListPayload, with(list, 8, 16), &names)) << "an error reply";
  EXPECT_FALSE(
      Decode(DecodeNameListPayload, FromHex(HexHeader(15, 41) + "01 " + HexZeros(40)), &names))
      << "a length that is not 8 plus a multiple of 32";

  EXPECT_FALSE(Decode(DecodeSvcStatePayload, cut(state), &status));
  EXPECT_FALSE(Decode(DecodeSvcStatePayload, with(state, 140, 3), &status)) << "detail length";
  EXPECT_FALSE(Decode(DecodeSvcStatePayload, FromHex(HexHeader(15, 135) + HexZeros(135)), &status))
      << "shorter than the fixed part";

  // The validation failure reply must not pass as a failed dump with an
  // 8-byte path.
  EXPECT_FALSE(Decode(DecodeLiveCorePayload, EncodeResultReply(8), &core));
}

// The texts themselves are checked where sentroctl prints them; here, that
// every table ends where its enumeration does.
TEST(WireTexts, LookupsStopAtTheLastValueOfTheirEnumeration) {
  for (uint32_t code : {0u, 6u, 8u, 10u}) {
    EXPECT_NE(ControlResultName(code), nullptr) << code;
    EXPECT_NE(ControlResultMeaning(code), nullptr) << code;
  }
  for (uint32_t unused : {7u, 11u}) {
    EXPECT_EQ(ControlResultName(unused), nullptr) << unused;
    EXPECT_EQ(ControlResultMeaning(unused), nullptr) << unused;
  }
  EXPECT_STREQ(WireServiceStateText(3), "STOPPED");
  EXPECT_EQ(WireServiceStateText(4), nullptr);
  EXPECT_STREQ(WireHealthStatusText(4), "UNKNOWN");
  EXPECT_EQ(WireHealthStatusText(5), nullptr);
  EXPECT_STREQ(WireStartupTypeText(2), "DISABLED");
  EXPECT_EQ(WireStartupTypeText(3), nullptr);
  EXPECT_STREQ(WireRecoveryProfileText(1), "FAILOVER");
  EXPECT_EQ(WireRecoveryProfileText(2), nullptr);
  EXPECT_EQ(WireStartupTypeFromText("automatic"), 1);
  EXPECT_EQ(WireStartupTypeFromText("AUTO"), -1) << "no prefix match";
  EXPECT_EQ(WireRecoveryProfileFromText("Failover"), 1);
  EXPECT_EQ(WireRecoveryProfileFromText(""), -1);
}
