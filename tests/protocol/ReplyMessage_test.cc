// Every reply layout byte for byte, their exact sizes, and the decoders'
// refusal of payloads that do not fit.
#include "src/control/protocol/ReplyMessage.h"

#include <gtest/gtest.h>

#include "protocol/WireHex.h"
#include "src/control/protocol/ResultCode.h"
#include "src/control/protocol/TextField.h"
#include "src/control/protocol/WireEnums.h"

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

MessageHeader HeaderOf(const std::vector<uint8_t> &message) {
  return DecodeMessageHeader(message.data());
}

const uint8_t *PayloadOf(const std::vector<uint8_t> &message) {
  return message.data() + MESSAGE_HEADER_SIZE;
}

size_t PayloadSize(const std::vector<uint8_t> &message) {
  return message.size() - MESSAGE_HEADER_SIZE;
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

}  // namespace

TEST(ResultReply, SuccessIsABareSuccessHeader) {
  std::vector<uint8_t> message = EncodeResultReply(0);
  EXPECT_EQ(ToHex(message), ToHex(FromHex(HexHeader(15, 0))));
  ResultPayload result{99, "x"};
  ASSERT_TRUE(DecodeResultPayload(HeaderOf(message), nullptr, 0, &result));
  EXPECT_EQ(result.code, 0u);
  EXPECT_EQ(result.text, "");
}

TEST(ResultReply, FailureCarriesCodeTextAndAZeroWord) {
  std::vector<uint8_t> message = EncodeResultReply(1, "db, web");
  EXPECT_EQ(message.size(), 16u + 12u + 7u);
  EXPECT_EQ(ToHex(message), ToHex(FromHex(HexHeader(16, 19) + "01 00 00 00 07 00 00 00 " +
                                          HexText("db, web") + " 00 00 00 00")));
  ResultPayload result;
  ASSERT_TRUE(
      DecodeResultPayload(HeaderOf(message), PayloadOf(message), PayloadSize(message), &result));
  EXPECT_EQ(result.code, 1u);
  EXPECT_EQ(result.text, "db, web");
}

TEST(ResultReply, ValidationFailureIsCodeEightWithEmptyText) {
  EXPECT_EQ(ToHex(EncodeResultReply(8)),
            ToHex(FromHex(HexHeader(16, 12) + "08 00 00 00 00 00 00 00 00 00 00 00")));
}

TEST(ResultReply, DecoderRejectsMalformedReplies) {
  std::vector<uint8_t> message = EncodeResultReply(6, "abc");
  MessageHeader header = HeaderOf(message);
  ResultPayload result;
  // Fewer bytes than the header announces.
  EXPECT_FALSE(DecodeResultPayload(header, PayloadOf(message), PayloadSize(message) - 1, &result));
  // A text length that disagrees with payloadLength.
  std::vector<uint8_t> wrongLength = message;
  wrongLength[20] = 4;
  EXPECT_FALSE(DecodeResultPayload(header, PayloadOf(wrongLength), PayloadSize(message), &result));
  // Code 0 is never sent in a payload.
  std::vector<uint8_t> zeroCode = message;
  zeroCode[16] = 0;
  EXPECT_FALSE(DecodeResultPayload(header, PayloadOf(zeroCode), PayloadSize(message), &result));
  // A success header with a payload, and a payload too short for the code.
  MessageHeader success = MakeMessageHeader(MessageType::SuccessReply, 4);
  EXPECT_FALSE(DecodeResultPayload(success, PayloadOf(message), 4, &result));
  MessageHeader shortError = MakeMessageHeader(MessageType::ErrorReply, 8);
  EXPECT_FALSE(DecodeResultPayload(shortError, PayloadOf(message), 8, &result));
}

TEST(NameListReply, EmptyListIs24Bytes) {
  std::vector<uint8_t> message = EncodeNameListReply({});
  EXPECT_EQ(ToHex(message), ToHex(FromHex(HexHeader(15, 8) + "00 00 00 00 00 00 00 00")));
  std::vector<std::string> names{"stale"};
  ASSERT_TRUE(DecodeNameListPayload(HeaderOf(message), PayloadOf(message), 8, &names));
  EXPECT_TRUE(names.empty());
}

TEST(NameListReply, NamesAreZeroFilledFieldsInOrder) {
  std::vector<uint8_t> message = EncodeNameListReply({"db", "web"});
  EXPECT_EQ(ToHex(message), ToHex(FromHex(HexHeader(15, 72) + "02 00 00 00 " + HexField("db", 32) +
                                          HexField("web", 32) + "00 00 00 00")));
  std::vector<std::string> names;
  ASSERT_TRUE(
      DecodeNameListPayload(HeaderOf(message), PayloadOf(message), PayloadSize(message), &names));
  EXPECT_EQ(names, (std::vector<std::string>{"db", "web"}));
}

TEST(NameListReply, ANameOf32OrMoreFillsTheFieldWithoutNul) {
  std::string name40(40, 'x');
  std::vector<uint8_t> message = EncodeNameListReply({name40, "a"});
  EXPECT_EQ(message.size(), 16u + 8u + 64u);
  EXPECT_EQ(message[20 + 31], 'x');
  EXPECT_EQ(message[52], 'a');
  std::vector<std::string> names;
  ASSERT_TRUE(
      DecodeNameListPayload(HeaderOf(message), PayloadOf(message), PayloadSize(message), &names));
  EXPECT_EQ(names, (std::vector<std::string>{std::string(32, 'x'), "a"}));
}

TEST(NameListReply, DecoderRejectsACountThatDisagreesWithTheLength) {
  std::vector<uint8_t> message = EncodeNameListReply({"db", "web"});
  std::vector<std::string> names;
  message[16] = 3;
  EXPECT_FALSE(
      DecodeNameListPayload(HeaderOf(message), PayloadOf(message), PayloadSize(message), &names));
  message[16] = 2;
  EXPECT_FALSE(DecodeNameListPayload(HeaderOf(message), PayloadOf(message),
                                     PayloadSize(message) - 1, &names));
  MessageHeader error = HeaderOf(message);
  error.type = 16;
  EXPECT_FALSE(DecodeNameListPayload(error, PayloadOf(message), PayloadSize(message), &names));
  // A length that is not 8 plus a multiple of 32.
  MessageHeader odd = MakeMessageHeader(MessageType::SuccessReply, 41);
  std::vector<uint8_t> payload(41, 0);
  payload[0] = 1;
  EXPECT_FALSE(DecodeNameListPayload(odd, payload.data(), payload.size(), &names));
}

TEST(SvcStateReply, LayoutIsByteExactAndDetailPlus152Long) {
  std::vector<uint8_t> message = EncodeSvcStateReply(SampleState());
  EXPECT_EQ(message.size(), 2u + 152u);
  std::string expected = HexHeader(15, 138) + HexField("web", 32) +
                         "02 00 00 00 "              // state STARTED
                         "01 00 00 00 "              // startup type AUTOMATIC
                         "01 00 00 00 "              // health HEALTHY
                         "00 00 00 00 "              // lastStopFailed and padding
                         "08 07 06 05 04 03 02 01 "  // msInState
                         "92 10 00 00 " +            // pid
                         HexField("root", 64) +      // run-as user
                         "02 00 00 00 " +
                         HexText("ok") +  // healthData
                         " 00 00 00 00 00 00 00 00";
  EXPECT_EQ(ToHex(message), ToHex(FromHex(expected)));
}

TEST(SvcStateReply, RoundTripsEveryField) {
  SvcStatePayload status = SampleState();
  status.state = 3;
  status.pid = 0;
  status.lastStopFailed = true;
  status.runAsUser = std::string(64, 'u');
  status.healthData = std::string("multi\nline\0data", 15);
  std::vector<uint8_t> message = EncodeSvcStateReply(status);
  EXPECT_EQ(message[60], 1);
  SvcStatePayload decoded;
  ASSERT_TRUE(
      DecodeSvcStatePayload(HeaderOf(message), PayloadOf(message), PayloadSize(message), &decoded));
  EXPECT_EQ(decoded.name, "web");
  EXPECT_EQ(decoded.state, 3u);
  EXPECT_EQ(decoded.startupType, 1u);
  EXPECT_EQ(decoded.health, 1u);
  EXPECT_TRUE(decoded.lastStopFailed);
  EXPECT_EQ(decoded.msInState, 0x0102030405060708ull);
  EXPECT_EQ(decoded.pid, 0u);
  EXPECT_EQ(decoded.runAsUser, std::string(64, 'u'));
  EXPECT_EQ(decoded.healthData, status.healthData);
}

TEST(SvcStateReply, LastStopFailedIsZeroUnlessStopped) {
  SvcStatePayload status = SampleState();
  status.lastStopFailed = true;
  for (uint32_t state : {0u, 1u, 2u}) {
    status.state = state;
    EXPECT_EQ(EncodeSvcStateReply(status)[60], 0) << state;
  }
}

TEST(SvcStateReply, DecoderRejectsADetailLengthThatDisagrees) {
  std::vector<uint8_t> message = EncodeSvcStateReply(SampleState());
  SvcStatePayload decoded;
  EXPECT_FALSE(DecodeSvcStatePayload(HeaderOf(message), PayloadOf(message),
                                     PayloadSize(message) - 1, &decoded));
  message[140] = 3;
  EXPECT_FALSE(
      DecodeSvcStatePayload(HeaderOf(message), PayloadOf(message), PayloadSize(message), &decoded));
  MessageHeader shortHeader = MakeMessageHeader(MessageType::SuccessReply, 135);
  EXPECT_FALSE(DecodeSvcStatePayload(shortHeader, PayloadOf(message), 135, &decoded));
}

TEST(LiveCoreReply, SuccessCarriesThePath) {
  std::vector<uint8_t> message = EncodeLiveCoreReply(true, "/var/core/web.1");
  EXPECT_EQ(ToHex(message), ToHex(FromHex(HexHeader(15, 23) + "0f 00 00 00 " +
                                          HexText("/var/core/web.1") + " 00 00 00 00")));
  LiveCorePayload core;
  ASSERT_TRUE(
      DecodeLiveCorePayload(HeaderOf(message), PayloadOf(message), PayloadSize(message), &core));
  EXPECT_TRUE(core.succeeded);
  EXPECT_EQ(core.corePath, "/var/core/web.1");
}

TEST(LiveCoreReply, UnknownServiceIsAnErrorWithEmptyPath) {
  std::vector<uint8_t> message = EncodeLiveCoreReply(false, "");
  EXPECT_EQ(ToHex(message), ToHex(FromHex(HexHeader(16, 8) + "00 00 00 00 00 00 00 00")));
  LiveCorePayload core{true, "x"};
  ASSERT_TRUE(
      DecodeLiveCorePayload(HeaderOf(message), PayloadOf(message), PayloadSize(message), &core));
  EXPECT_FALSE(core.succeeded);
  EXPECT_EQ(core.corePath, "");
}

TEST(LiveCoreReply, AResultPayloadIsNotALiveCoreReply) {
  // The validation failure reply (code 8, empty text) must not pass as a
  // failed dump with an 8-byte path.
  std::vector<uint8_t> message = EncodeResultReply(8);
  LiveCorePayload core;
  EXPECT_FALSE(
      DecodeLiveCorePayload(HeaderOf(message), PayloadOf(message), PayloadSize(message), &core));
}

TEST(ResultCodes, EveryCodeInUseHasANameAndAMeaning) {
  const char *names[] = {"Ok",
                         "TimedOut",
                         "StartFailed",
                         "Cancelled",
                         "Failed",
                         "InvalidState",
                         "InvalidStartupType",
                         nullptr,
                         "InvalidRequest",
                         "Disabled",
                         "UnknownProfile"};
  for (uint32_t code = 0; code <= 10; code++) {
    if (names[code] == nullptr) {
      EXPECT_EQ(ControlResultName(code), nullptr);
      EXPECT_EQ(ControlResultMeaning(code), nullptr);
      continue;
    }
    EXPECT_STREQ(ControlResultName(code), names[code]);
    EXPECT_NE(ControlResultMeaning(code), nullptr);
  }
  EXPECT_STREQ(ControlResultMeaning(1), "timed out");
  EXPECT_STREQ(ControlResultMeaning(9), "disabled");
  EXPECT_EQ(ControlResultName(11), nullptr);
}

TEST(WireEnums, TextsFollowTheWireValues) {
  EXPECT_STREQ(WireServiceStateText(0), "STARTING");
  EXPECT_STREQ(WireServiceStateText(3), "STOPPED");
  EXPECT_EQ(WireServiceStateText(4), nullptr);
  EXPECT_STREQ(WireHealthStatusText(3), "START_PENDING");
  EXPECT_STREQ(WireHealthStatusText(4), "UNKNOWN");
  EXPECT_EQ(WireHealthStatusText(5), nullptr);
  EXPECT_STREQ(WireStartupTypeText(2), "DISABLED");
  EXPECT_EQ(WireStartupTypeText(3), nullptr);
  EXPECT_STREQ(WireRecoveryProfileText(1), "FAILOVER");
  EXPECT_EQ(WireStartupTypeFromText("automatic"), 1);
  EXPECT_EQ(WireStartupTypeFromText("AUTO"), -1);
  EXPECT_EQ(WireRecoveryProfileFromText("Failover"), 1);
  EXPECT_EQ(WireRecoveryProfileFromText(""), -1);
}
