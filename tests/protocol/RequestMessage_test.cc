// Every request layout byte for byte, and the server-side reading of the
// fixed text fields.
#include "src/protocol/RequestMessage.h"

#include <gtest/gtest.h>

#include "protocol/WireHex.h"
#include "src/protocol/TextField.h"

namespace {

// Header bytes of a request: magic, version, type, payloadLength.
std::string HexHeader(uint8_t type, uint8_t payloadLength) {
  char text[64];
  snprintf(text, sizeof(text), "22 14 00 00 01 00 00 00 %02x 00 00 00 %02x 00 00 00 ", type,
           payloadLength);
  return text;
}

// A name field (32 bytes unless told otherwise) holding text.
std::string HexName(const std::string &text, size_t fieldSize = NAME_FIELD_SIZE) {
  return HexText(text) + " " + HexZeros(fieldSize - text.size());
}

RequestMessage Request(MessageType type, const std::string &name = "") {
  RequestMessage request;
  request.type = type;
  request.name = name;
  return request;
}

RequestMessage Decoded(const std::vector<uint8_t> &payload, uint32_t type) {
  RequestMessage decoded;
  EXPECT_TRUE(DecodeRequestPayload(type, payload.data(), payload.size(), &decoded));
  return decoded;
}

RequestMessage DecodedMessage(const std::vector<uint8_t> &message) {
  return Decoded(std::vector<uint8_t>(message.begin() + MESSAGE_HEADER_SIZE, message.end()),
                 DecodeMessageHeader(message.data()).type);
}

}  // namespace

TEST(RequestLayout, EveryRequestIsByteExactAndDecodesToWhatWasSent) {
  RequestMessage setStartup = Request(MessageType::SetSvcStateReq, "db");
  setStartup.startupType = 2;
  RequestMessage startProfile = Request(MessageType::StartProfileReq, "ALL");
  startProfile.ignoreFail = true;
  RequestMessage coreNotice = Request(MessageType::CoreDumpNotifyReq);
  coreNotice.pid = 4242;
  RequestMessage recovery = Request(MessageType::SetRecoveryProfileReq);
  recovery.recoveryProfile = 1;
  RequestMessage runAs = Request(MessageType::RunAsUserReq, "web");
  runAs.user = "svcuser";
  RequestMessage allSvcs = Request(MessageType::AllSvcsControlReq);
  allSvcs.flags.resetFailCounters = true;
  allSvcs.flags.saveCrashStats = true;
  struct Case {
    RequestMessage request;
    std::string hex;
  } cases[] = {
      {Request(MessageType::StartSvcReq, "web"), HexHeader(0, 32) + HexName("web")},
      {Request(MessageType::StopSvcReq, "web"), HexHeader(1, 32) + HexName("web")},
      {Request(MessageType::RestartSvcReq, "web"), HexHeader(2, 32) + HexName("web")},
      {Request(MessageType::ListSvcsReq), HexHeader(3, 0)},
      {Request(MessageType::GetSvcStateReq, "web"), HexHeader(4, 32) + HexName("web")},
      {setStartup, HexHeader(5, 36) + "02 00 00 00 " + HexName("db")},
      {Request(MessageType::GetSvcDepsReq, "web"), HexHeader(6, 32) + HexName("web")},
      {startProfile, HexHeader(7, 33) + HexName("ALL") + "01"},
      {Request(MessageType::StopProfileReq, "ALL"), HexHeader(8, 33) + HexName("ALL") + "00"},
      {Request(MessageType::HaNodeFailoverReq), HexHeader(9, 0)},
      {coreNotice, HexHeader(10, 8) + "92 10 00 00 00 00 00 00"},
      {recovery, HexHeader(11, 4) + "01 00 00 00"},
      {runAs, HexHeader(12, 96) + HexName("web") + HexName("svcuser", USER_FIELD_SIZE)},
      {allSvcs, HexHeader(13, 4) + "00 01 00 01"},
      {Request(MessageType::DumpLiveCoreReq, "web"), HexHeader(14, 32) + HexName("web")},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(static_cast<int>(c.request.type));
    std::vector<uint8_t> message = EncodeRequest(c.request);
    EXPECT_EQ(ToHex(message), ToHex(FromHex(c.hex)));
    // A decoded field that was lost or misplaced encodes differently.
    RequestMessage decoded = DecodedMessage(message);
    EXPECT_EQ(decoded.type, c.request.type);
    EXPECT_EQ(ToHex(EncodeRequest(decoded)), ToHex(message));
  }
}

TEST(RequestDecoding, FlagAndNumberBytesAreReadAsTheServerReadsThem) {
  // Only the value 1 sets ignoreFail.
  std::vector<uint8_t> profile = FromHex(HexName("CRITICAL") + "01");
  EXPECT_TRUE(Decoded(profile, 7).ignoreFail);
  for (uint8_t flag : {0x00, 0x02, 0xff}) {
    profile.back() = flag;
    EXPECT_FALSE(Decoded(profile, 8).ignoreFail) << +flag;
  }
  // The pid is signed and the four bytes after it are ignored.
  EXPECT_EQ(Decoded(FromHex("ff ff ff ff 12 34 56 78"), 10).pid, -1);
  // Any non-zero flag byte selects its action.
  AllSvcsFlags flags = Decoded(FromHex("07 00 ff 00"), 13).flags;
  EXPECT_TRUE(flags.healthCheck);
  EXPECT_FALSE(flags.resetFailCounters);
  EXPECT_TRUE(flags.reloadConfigs);
  EXPECT_FALSE(flags.saveCrashStats);
}

TEST(RequestDecoding, RejectsAPayloadOfTheWrongSizeAndLeavesTheOutputAlone) {
  std::vector<uint8_t> payload(97, 0);
  RequestMessage decoded = Request(MessageType::StopSvcReq, "kept");
  for (auto [type, size] : {std::pair{0u, 31u}, {0u, 33u}, {12u, 97u}, {3u, 1u}, {15u, 0u}}) {
    EXPECT_FALSE(DecodeRequestPayload(type, payload.data(), size, &decoded)) << type << "/" << size;
  }
  EXPECT_EQ(decoded.type, MessageType::StopSvcReq);
  EXPECT_EQ(decoded.name, "kept");
  EXPECT_TRUE(DecodeRequestPayload(3, nullptr, 0, &decoded));
  EXPECT_EQ(decoded.type, MessageType::ListSvcsReq);
}

TEST(RequestDecoding, TextFieldsKeepAtMostAllButTheirLastByteUpToTheFirstNul) {
  std::string name32(32, 'n');
  std::vector<uint8_t> message = EncodeRequest(Request(MessageType::StartSvcReq, name32));
  EXPECT_EQ(ToHex(message), ToHex(FromHex(HexHeader(0, 32) + HexText(name32))));
  EXPECT_EQ(DecodedMessage(message).name, std::string(31, 'n'));
  EXPECT_EQ(EncodeRequest(Request(MessageType::StartSvcReq, std::string(40, 'n'))), message)
      << "a longer name is cut to the field on the way out";

  RequestMessage runAs = Request(MessageType::RunAsUserReq, "web");
  runAs.user = std::string(64, 'u');
  EXPECT_EQ(DecodedMessage(EncodeRequest(runAs)).user, std::string(63, 'u'));

  std::vector<uint8_t> garbageAfterNul = FromHex(HexName("ab"));
  garbageAfterNul[3] = 'z';
  EXPECT_EQ(Decoded(garbageAfterNul, 4).name, "ab");
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
