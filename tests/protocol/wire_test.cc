// Every message of the control protocol byte for byte, decoded and encoded
// again, and the rules a receiver applies to what it is sent.
#include <gtest/gtest.h>

#include <sstream>

#include "src/protocol/ReplyMessage.h"
#include "src/protocol/RequestMessage.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The header, then the words of the payload: "=N" is N zero bytes, "'text"
// the bytes of text, "*N'c" N times c, anything else one byte in hex.
Bytes Message(uint8_t type, uint8_t payloadLength, const std::string &payload) {
  Bytes bytes = {0x22, 0x14, 0, 0, 1, 0, 0, 0, type, 0, 0, 0, payloadLength, 0, 0, 0};
  std::istringstream words(payload);
  for (std::string word; words >> word;) {
    if (word[0] == '=' || word[0] == '*')
      bytes.resize(bytes.size() + std::stoul(word.substr(1)), word[0] == '*' ? word.back() : 0);
    else if (word[0] == '\'')
      bytes.insert(bytes.end(), word.begin() + 1, word.end());
    else
      bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
  }
  return bytes;
}

RequestMessage DecodedRequest(const Bytes &message) {
  RequestMessage out;
  EXPECT_TRUE(DecodeRequestPayload(message[8], message.data() + 16, message.size() - 16, &out));
  return out;
}

// Decode and encode again: a lost field shows; a refused reply gives none.
template <typename Out, typename Decoder>
bool Decode(Decoder decode, const Bytes &m, Out *out) {
  return decode(DecodeMessageHeader(m.data()), m.data() + 16, m.size() - 16, out);
}
Bytes ResultAgain(const Bytes &m) {
  ResultPayload r;
  return Decode(DecodeResultPayload, m, &r) ? EncodeResultReply(r.code, r.text) : Bytes{};
}
Bytes ListAgain(const Bytes &m) {
  std::vector<std::string> names;
  return Decode(DecodeNameListPayload, m, &names) ? EncodeNameListReply(names) : Bytes{};
}
Bytes StateAgain(const Bytes &m) {
  SvcStatePayload state;
  return Decode(DecodeSvcStatePayload, m, &state) ? EncodeSvcStateReply(state) : Bytes{};
}
Bytes CoreAgain(const Bytes &m) {
  LiveCorePayload c;
  return Decode(DecodeLiveCorePayload, m, &c) ? EncodeLiveCoreReply(c.succeeded, c.corePath)
                                              : Bytes{};
}

TEST(Wire, RequestsAreByteExactDecodeToWhatWasSentAndAreAdmittedOnlyAtTheirLength) {
  using enum MessageType;
  std::vector<std::pair<RequestMessage, Bytes>> cases = {
      {{.type = ListSvcsReq}, Message(3, 0, "")},
      {{.type = SetSvcStateReq, .name = "db", .startupType = 2}, Message(5, 36, "2 =3 'db =30")},
      {{.type = StartProfileReq, .name = "ALL", .ignoreFail = true}, Message(7, 33, "'ALL =29 1")},
      {{.type = StopProfileReq, .name = "ALL"}, Message(8, 33, "'ALL =30")},
      {{.type = HaNodeFailoverReq}, Message(9, 0, "")},  // for the failover listener only
      {{.type = CoreDumpNotifyReq, .pid = -2}, Message(10, 8, "fe ff ff ff =4")},
      {{.type = SetRecoveryProfileReq, .recoveryProfile = 1}, Message(11, 4, "1 =3")},
      {{.type = RunAsUserReq, .name = "web", .user = "svc"}, Message(12, 96, "'web =29 'svc =61")},
      {{.type = AllSvcsControlReq, .flags = {.resetFailCounters = true, .saveCrashStats = true}},
       Message(13, 4, "0 1 0 1")},
  };
  for (MessageType type :
       {StartSvcReq, StopSvcReq, RestartSvcReq, GetSvcStateReq, GetSvcDepsReq, DumpLiveCoreReq}) {
    cases.push_back({{.type = type, .name = "web"}, Message(uint8_t(type), 32, "'web =29")});
  }
  for (const auto &[request, bytes] : cases) {
    SCOPED_TRACE(static_cast<int>(request.type));
    EXPECT_EQ(EncodeRequest(request), bytes);
    EXPECT_EQ(EncodeRequest(DecodedRequest(bytes)), bytes);
    MessageHeader header = DecodeMessageHeader(bytes.data());
    header.magic = header.version = 0;  // neither is looked at
    EXPECT_EQ(IsValidControlRequest(header), request.type != HaNodeFailoverReq);
    for (uint32_t wrong : {header.payloadLength + 1, header.payloadLength - 1}) {
      header.payloadLength = wrong;
      EXPECT_FALSE(IsValidControlRequest(header));
    }
  }
  EXPECT_FALSE(IsValidControlRequest(MakeMessageHeader(SuccessReply, 0)));
  EXPECT_FALSE(IsValidControlRequest(MakeMessageHeader(ErrorReply, 0)));
}

// Rows without an encoding are malformed and must be refused, and so is a
// message one byte longer than its header says.
TEST(Wire, RepliesAreByteExactAndOnlyThoseThatFitTheirLayoutDecode) {
  SvcStatePayload running{"web", 2, 1, 1, true, 0x0102030405060708, 4242, "root", "ok"};
  SvcStatePayload stopped{std::string(40, 'n'), 3, 0, 0, true, 0, 0, std::string(64, 'u'), ""};
  std::tuple<Bytes, Bytes, Bytes (*)(const Bytes &)> cases[] = {
      {EncodeResultReply(0), Message(15, 0, ""), ResultAgain},
      {EncodeResultReply(1, "a,b"), Message(16, 15, "1 =3 3 =3 'a,b =4"), ResultAgain},
      {{}, Message(16, 15, "6 =3 4 =3 'abc =4"), ResultAgain},  // text length
      {{}, Message(16, 12, "=12"), ResultAgain},                // code 0
      {{}, Message(15, 4, "1 =3"), ResultAgain},                // a success with a payload
      {EncodeNameListReply({}), Message(15, 8, "=8"), ListAgain},
      {EncodeNameListReply({"db", std::string(40, 'x')}), Message(15, 72, "2 =3 'db =30 *32'x =4"),
       ListAgain},
      {{}, Message(15, 40, "2 =39"), ListAgain},  // count
      {{}, Message(16, 8, "=8"), ListAgain},      // an error reply
      {EncodeSvcStateReply(running),              // lastStopFailed is sent only when stopped
       Message(15, 138,
               "'web =29 2 =3 1 =3 1 =3 =4 8 7 6 5 4 3 2 1 92 10 =2 'root =60 2 =3 'ok =8"),
       StateAgain},
      {EncodeSvcStateReply(stopped), Message(15, 136, "*32'n 3 =11 1 =3 =12 *64'u =12"),
       StateAgain},
      {{}, Message(15, 137, "=124 3 =12"), StateAgain},  // detail length
      {{}, Message(15, 135, "=135"), StateAgain},        // shorter than the fixed part
      {EncodeLiveCoreReply(true, "/c/1"), Message(15, 12, "4 =3 '/c/1 =4"), CoreAgain},
      {EncodeLiveCoreReply(false, ""), Message(16, 8, "=8"), CoreAgain},
      {{}, EncodeResultReply(8), CoreAgain},  // not a failed dump with an 8-byte path
  };
  for (auto [encoded, bytes, again] : cases) {
    SCOPED_TRACE(testing::PrintToString(bytes));
    EXPECT_EQ(encoded.empty() ? bytes : encoded, bytes);
    EXPECT_EQ(again(bytes), encoded);
    bytes.push_back(0);
    EXPECT_EQ(again(bytes), Bytes{});
  }
}

// (What a client may send, 1 to 31 name bytes and 1 to 63 user bytes, is
// proven by sentroctl's usage errors.)
TEST(Wire, ReceivedFieldsAreReadAsTheServerReadsThem) {
  Bytes runAs = Message(12, 96, "*32'n *64'u");
  EXPECT_EQ(DecodedRequest(runAs).name, std::string(31, 'n'));
  EXPECT_EQ(DecodedRequest(runAs).user, std::string(63, 'u'));
  EXPECT_FALSE(DecodedRequest(Message(7, 33, "'ALL =29 2")).ignoreFail);  // only 1 sets it
  AllSvcsFlags flags = DecodedRequest(Message(13, 4, "7 0 ff 0")).flags;
  EXPECT_TRUE(flags.healthCheck && flags.reloadConfigs);
  EXPECT_FALSE(flags.resetFailCounters || flags.saveCrashStats);
}

}  // namespace
