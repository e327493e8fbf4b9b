// The 16-byte header and the validation the server runs on it before it
// reads a payload.
#include "src/control/protocol/MessageHeader.h"

#include <gtest/gtest.h>

#include "protocol/WireHex.h"

namespace {

struct TypeLength {
  uint32_t type;
  uint32_t payloadLength;
};

// Every request type with the only payload length it may carry.
const TypeLength kRequestLengths[] = {
    {0, 32}, {1, 32}, {2, 32}, {3, 0},  {4, 32},  {5, 36}, {6, 32},  {7, 33},
    {8, 33}, {9, 0},  {10, 8}, {11, 4}, {12, 96}, {13, 4}, {14, 32},
};

std::vector<uint8_t> Encoded(const MessageHeader &header) {
  std::vector<uint8_t> bytes(MESSAGE_HEADER_SIZE);
  EncodeMessageHeader(header, bytes.data());
  return bytes;
}

}  // namespace

TEST(MessageHeader, IsMagicVersionTypeLengthInLittleEndian) {
  MessageHeader header = MakeMessageHeader(MessageType::RunAsUserReq, 96);
  EXPECT_EQ(ToHex(Encoded(header)),
            ToHex(FromHex("22 14 00 00 01 00 00 00 0c 00 00 00 60 00 00 00")));

  header.payloadLength = 0x01020304;
  header.type = 0xa0b0c0d0;
  EXPECT_EQ(ToHex(Encoded(header)),
            ToHex(FromHex("22 14 00 00 01 00 00 00 d0 c0 b0 a0 04 03 02 01")));
}

TEST(MessageHeader, DecodesEveryFieldFromItsOffset) {
  std::vector<uint8_t> bytes = FromHex("78 56 34 12 02 00 00 00 10 00 00 00 ff ff ff ff");
  MessageHeader header = DecodeMessageHeader(bytes.data());
  EXPECT_EQ(header.magic, 0x12345678u);
  EXPECT_EQ(header.version, 2u);
  EXPECT_EQ(header.type, 16u);
  EXPECT_EQ(header.payloadLength, 0xffffffffu);
}

TEST(RequestValidation, AcceptsEachTypeOnlyWithItsOwnPayloadLength) {
  for (const TypeLength &entry : kRequestLengths) {
    EXPECT_EQ(RequestPayloadSize(entry.type), entry.payloadLength) << entry.type;
    if (entry.type == 9) {
      continue;  // never valid on the control socket, see below
    }
    MessageHeader header;
    header.type = entry.type;
    header.payloadLength = entry.payloadLength;
    EXPECT_TRUE(IsValidControlRequest(header)) << entry.type;
    header.payloadLength = entry.payloadLength + 1;
    EXPECT_FALSE(IsValidControlRequest(header)) << entry.type;
    if (entry.payloadLength > 0) {
      header.payloadLength = entry.payloadLength - 1;
      EXPECT_FALSE(IsValidControlRequest(header)) << entry.type;
    }
  }
}

TEST(RequestValidation, ListWithAPayloadIsInvalid) {
  MessageHeader header = MakeMessageHeader(MessageType::ListSvcsReq, 4);
  EXPECT_FALSE(IsValidControlRequest(header));
}

TEST(RequestValidation, FailoverRequestIsAlwaysInvalid) {
  EXPECT_FALSE(IsValidControlRequest(MakeMessageHeader(MessageType::HaNodeFailoverReq, 0)));
  EXPECT_FALSE(IsValidControlRequest(MakeMessageHeader(MessageType::HaNodeFailoverReq, 32)));
}

TEST(RequestValidation, ReplyTypesAndLargerTypesAreInvalid) {
  for (uint32_t type : {15u, 16u, 17u, 0x100u, 0xffffffffu}) {
    for (uint32_t length : {0u, 4u, 32u}) {
      MessageHeader header;
      header.type = type;
      header.payloadLength = length;
      EXPECT_FALSE(IsValidControlRequest(header)) << type << "/" << length;
    }
    EXPECT_EQ(RequestPayloadSize(type), -1);
  }
}

TEST(RequestValidation, IgnoresMagicAndVersion) {
  MessageHeader header = MakeMessageHeader(MessageType::StartSvcReq, 32);
  header.magic = 0;
  header.version = 99;
  EXPECT_TRUE(IsValidControlRequest(header));
}

TEST(MessageTypeNames, NameEveryTypeAndNothingBeyond) {
  EXPECT_STREQ(MessageTypeName(0), "StartSvcReq");
  EXPECT_STREQ(MessageTypeName(9), "HaNodeFailoverReq");
  EXPECT_STREQ(MessageTypeName(14), "DumpLiveCoreReq");
  EXPECT_STREQ(MessageTypeName(15), "SuccessReply");
  EXPECT_STREQ(MessageTypeName(16), "ErrorReply");
  EXPECT_STREQ(MessageTypeName(17), "Unknown");
}
