// The 16-byte header and the validation the server runs on it before it
// reads a payload.
#include "src/protocol/MessageHeader.h"

#include <gtest/gtest.h>

#include "protocol/WireHex.h"

TEST(MessageHeader, IsMagicVersionTypeLengthInLittleEndianBothWays) {
  std::vector<uint8_t> bytes(MESSAGE_HEADER_SIZE);
  EncodeMessageHeader(MakeMessageHeader(MessageType::RunAsUserReq, 96), bytes.data());
  EXPECT_EQ(ToHex(bytes), ToHex(FromHex("22 14 00 00 01 00 00 00 0c 00 00 00 60 00 00 00")));

  // Any bytes decode, and encode back to themselves.
  std::vector<uint8_t> odd = FromHex("78 56 34 12 02 00 00 00 d0 c0 b0 a0 04 03 02 01");
  MessageHeader header = DecodeMessageHeader(odd.data());
  EXPECT_EQ(header.magic, 0x12345678u);
  EXPECT_EQ(header.version, 2u);
  EXPECT_EQ(header.type, 0xa0b0c0d0u);
  EXPECT_EQ(header.payloadLength, 0x01020304u);
  EncodeMessageHeader(header, bytes.data());
  EXPECT_EQ(ToHex(bytes), ToHex(odd));
}

TEST(RequestValidation, AcceptsEachTypeOnlyWithItsOwnPayloadLength) {
  // Every request type with the only payload length it may carry.
  const uint32_t kLengths[] = {32, 32, 32, 0, 32, 36, 32, 33, 33, 0, 8, 4, 96, 4, 32};
  for (uint32_t type = 0; type < 15; type++) {
    SCOPED_TRACE(type);
    EXPECT_EQ(RequestPayloadSize(type), kLengths[type]);
    MessageHeader header;
    header.type = type;
    header.magic = 0;  // magic and version are not looked at
    header.version = 99;
    header.payloadLength = kLengths[type];
    // The failover request belongs to the failover listener only.
    EXPECT_EQ(IsValidControlRequest(header), type != 9);
    header.payloadLength = kLengths[type] + 1;
    EXPECT_FALSE(IsValidControlRequest(header));
    header.payloadLength = kLengths[type] - 1;  // wraps for empty payloads
    EXPECT_FALSE(IsValidControlRequest(header));
  }
}

TEST(RequestValidation, ReplyTypesAndLargerTypesAreInvalid) {
  for (uint32_t type : {15u, 16u, 0xffffffffu}) {
    SCOPED_TRACE(type);
    EXPECT_FALSE(IsValidControlRequest(MakeMessageHeader(static_cast<MessageType>(type), 0)));
    EXPECT_EQ(RequestPayloadSize(type), -1);
  }
}

TEST(MessageTypeNames, NameEveryTypeAndNothingBeyond) {
  const std::pair<uint32_t, const char *> kNames[] = {
      {0, "StartSvcReq"},   {9, "HaNodeFailoverReq"}, {14, "DumpLiveCoreReq"},
      {15, "SuccessReply"}, {16, "ErrorReply"},       {17, "Unknown"},
  };
  for (const auto &[type, name] : kNames) {
    EXPECT_STREQ(MessageTypeName(type), name) << type;
  }
}
