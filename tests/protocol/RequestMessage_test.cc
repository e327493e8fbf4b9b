// Every request layout byte for byte, and the server-side reading of the
// fixed text fields.
#include "src/control/protocol/RequestMessage.h"

#include <gtest/gtest.h>

#include "protocol/WireHex.h"
#include "src/control/protocol/TextField.h"

namespace {

// Header bytes of a request: magic, version, type, payloadLength.
std::string HexHeader(uint8_t type, uint8_t payloadLength) {
  char text[64];
  snprintf(text, sizeof(text), "22 14 00 00 01 00 00 00 %02x 00 00 00 %02x 00 00 00 ", type,
           payloadLength);
  return text;
}

// A 32-byte name field holding text.
std::string HexName(const std::string &text, size_t fieldSize = NAME_FIELD_SIZE) {
  return HexText(text) + " " + HexZeros(fieldSize - text.size());
}

RequestMessage Named(MessageType type, const std::string &name) {
  RequestMessage request;
  request.type = type;
  request.name = name;
  return request;
}

RequestMessage DecodeMessage(const std::vector<uint8_t> &message) {
  MessageHeader header = DecodeMessageHeader(message.data());
  RequestMessage decoded;
  EXPECT_TRUE(DecodeRequestPayload(header.type, message.data() + MESSAGE_HEADER_SIZE,
                                   message.size() - MESSAGE_HEADER_SIZE, &decoded));
  return decoded;
}

}  // namespace

TEST(RequestLayout, ServiceNameRequestsCarryTheNameNulPadded) {
  for (MessageType type :
       {MessageType::StartSvcReq, MessageType::StopSvcReq, MessageType::RestartSvcReq,
        MessageType::GetSvcStateReq, MessageType::GetSvcDepsReq, MessageType::DumpLiveCoreReq}) {
    uint8_t number = static_cast<uint8_t>(type);
    std::vector<uint8_t> message = EncodeRequest(Named(type, "web"));
    EXPECT_EQ(ToHex(message), ToHex(FromHex(HexHeader(number, 32) + HexName("web")))) << +number;
    EXPECT_EQ(DecodeMessage(message).name, "web");
  }
}

TEST(RequestLayout, ListIsTheHeaderAlone) {
  RequestMessage request;
  request.type = MessageType::ListSvcsReq;
  EXPECT_EQ(ToHex(EncodeRequest(request)), ToHex(FromHex(HexHeader(3, 0))));
}

TEST(RequestLayout, FailoverIsTheHeaderAlone) {
  RequestMessage request;
  request.type = MessageType::HaNodeFailoverReq;
  EXPECT_EQ(ToHex(EncodeRequest(request)), ToHex(FromHex(HexHeader(9, 0))));
}

TEST(RequestLayout, SetStartupTypePutsTheTypeBeforeTheName) {
  RequestMessage request = Named(MessageType::SetSvcStateReq, "db");
  request.startupType = 2;
  std::vector<uint8_t> message = EncodeRequest(request);
  EXPECT_EQ(ToHex(message), ToHex(FromHex(HexHeader(5, 36) + "02 00 00 00 " + HexName("db"))));
  RequestMessage decoded = DecodeMessage(message);
  EXPECT_EQ(decoded.startupType, 2u);
  EXPECT_EQ(decoded.name, "db");
}

TEST(RequestLayout, ProfileRequestsEndWithTheIgnoreFailByte) {
  RequestMessage request = Named(MessageType::StartProfileReq, "ALL");
  request.ignoreFail = true;
  EXPECT_EQ(ToHex(EncodeRequest(request)),
            ToHex(FromHex(HexHeader(7, 33) + HexName("ALL") + "01")));
  request.type = MessageType::StopProfileReq;
  request.ignoreFail = false;
  EXPECT_EQ(ToHex(EncodeRequest(request)),
            ToHex(FromHex(HexHeader(8, 33) + HexName("ALL") + "00")));
}

TEST(RequestLayout, OnlyTheValueOneSetsIgnoreFail) {
  std::vector<uint8_t> payload = FromHex(HexName("CRITICAL") + "01");
  RequestMessage decoded;
  ASSERT_TRUE(DecodeRequestPayload(7, payload.data(), payload.size(), &decoded));
  EXPECT_TRUE(decoded.ignoreFail);
  EXPECT_EQ(decoded.name, "CRITICAL");
  for (uint8_t flag : {0x00, 0x02, 0xff}) {
    payload.back() = flag;
    ASSERT_TRUE(DecodeRequestPayload(8, payload.data(), payload.size(), &decoded));
    EXPECT_FALSE(decoded.ignoreFail) << +flag;
  }
}

TEST(RequestLayout, CoreDumpNoticeIsASignedPidAndFourZeroBytes) {
  RequestMessage request;
  request.type = MessageType::CoreDumpNotifyReq;
  request.pid = 4242;
  EXPECT_EQ(ToHex(EncodeRequest(request)),
            ToHex(FromHex(HexHeader(10, 8) + "92 10 00 00 00 00 00 00")));

  std::vector<uint8_t> payload = FromHex("ff ff ff ff 12 34 56 78");  // trailing bytes ignored
  RequestMessage decoded;
  ASSERT_TRUE(DecodeRequestPayload(10, payload.data(), payload.size(), &decoded));
  EXPECT_EQ(decoded.pid, -1);
}

TEST(RequestLayout, RecoveryProfileIsOneWord) {
  RequestMessage request;
  request.type = MessageType::SetRecoveryProfileReq;
  request.recoveryProfile = 1;
  std::vector<uint8_t> message = EncodeRequest(request);
  EXPECT_EQ(ToHex(message), ToHex(FromHex(HexHeader(11, 4) + "01 00 00 00")));
  EXPECT_EQ(DecodeMessage(message).recoveryProfile, 1u);
}

TEST(RequestLayout, RunAsUserIsANameAndA64ByteUser) {
  RequestMessage request = Named(MessageType::RunAsUserReq, "web");
  request.user = "svcuser";
  std::vector<uint8_t> message = EncodeRequest(request);
  EXPECT_EQ(ToHex(message), ToHex(FromHex(HexHeader(12, 96) + HexName("web") +
                                          HexName("svcuser", USER_FIELD_SIZE))));
  RequestMessage decoded = DecodeMessage(message);
  EXPECT_EQ(decoded.name, "web");
  EXPECT_EQ(decoded.user, "svcuser");
}

TEST(RequestLayout, AllServicesControlIsFourFlagBytesInOrder) {
  RequestMessage request;
  request.type = MessageType::AllSvcsControlReq;
  request.flags.resetFailCounters = true;
  request.flags.saveCrashStats = true;
  EXPECT_EQ(ToHex(EncodeRequest(request)), ToHex(FromHex(HexHeader(13, 4) + "00 01 00 01")));

  std::vector<uint8_t> payload = FromHex("07 00 ff 00");  // any non-zero byte selects its action
  RequestMessage decoded;
  ASSERT_TRUE(DecodeRequestPayload(13, payload.data(), payload.size(), &decoded));
  EXPECT_TRUE(decoded.flags.healthCheck);
  EXPECT_FALSE(decoded.flags.resetFailCounters);
  EXPECT_TRUE(decoded.flags.reloadConfigs);
  EXPECT_FALSE(decoded.flags.saveCrashStats);
}

TEST(RequestDecoding, RejectsAPayloadOfTheWrongSize) {
  std::vector<uint8_t> payload(97, 0);
  RequestMessage decoded;
  EXPECT_FALSE(DecodeRequestPayload(0, payload.data(), 31, &decoded));
  EXPECT_FALSE(DecodeRequestPayload(0, payload.data(), 33, &decoded));
  EXPECT_FALSE(DecodeRequestPayload(12, payload.data(), 97, &decoded));
  EXPECT_FALSE(DecodeRequestPayload(3, payload.data(), 1, &decoded));
  EXPECT_FALSE(DecodeRequestPayload(15, payload.data(), 0, &decoded));
  EXPECT_TRUE(DecodeRequestPayload(3, nullptr, 0, &decoded));
  EXPECT_EQ(decoded.type, MessageType::ListSvcsReq);
}

TEST(RequestDecoding, AFullNameFieldIsCutTo31Characters) {
  std::string name32(32, 'n');
  std::vector<uint8_t> message = EncodeRequest(Named(MessageType::StartSvcReq, name32));
  EXPECT_EQ(ToHex(message), ToHex(FromHex(HexHeader(0, 32) + HexText(name32))));
  EXPECT_EQ(DecodeMessage(message).name, std::string(31, 'n'));

  // A longer name is cut to the field on the way out too.
  EXPECT_EQ(EncodeRequest(Named(MessageType::StartSvcReq, std::string(40, 'n'))), message);
}

TEST(RequestDecoding, AFullUserFieldIsCutTo63Characters) {
  RequestMessage request = Named(MessageType::RunAsUserReq, "web");
  request.user = std::string(64, 'u');
  RequestMessage decoded = DecodeMessage(EncodeRequest(request));
  EXPECT_EQ(decoded.user, std::string(63, 'u'));
}

TEST(RequestDecoding, TextEndsAtTheFirstNul) {
  std::vector<uint8_t> payload = FromHex(HexName("ab"));
  payload[3] = 'z';  // garbage after the terminating NUL
  RequestMessage decoded;
  ASSERT_TRUE(DecodeRequestPayload(4, payload.data(), payload.size(), &decoded));
  EXPECT_EQ(decoded.name, "ab");
}

TEST(TextRules, NamesHaveOneTo31CharactersAndUsersOneTo63) {
  EXPECT_FALSE(IsValidNameText(""));
  EXPECT_TRUE(IsValidNameText("a"));
  EXPECT_TRUE(IsValidNameText(std::string(31, 'a')));
  EXPECT_FALSE(IsValidNameText(std::string(32, 'a')));
  EXPECT_FALSE(IsValidNameText(std::string("a\0b", 3)));
  EXPECT_FALSE(IsValidUserText(""));
  EXPECT_TRUE(IsValidUserText(std::string(63, 'u')));
  EXPECT_FALSE(IsValidUserText(std::string(64, 'u')));
}

TEST(RequestTypes, TheServiceNamingTypesAreKnown) {
  for (uint32_t type = 0; type <= 16; type++) {
    bool names = type == 0 || type == 1 || type == 2 || type == 4 || type == 5 || type == 6 ||
                 type == 12 || type == 14;
    EXPECT_EQ(RequestNamesService(type), names) << type;
  }
}
