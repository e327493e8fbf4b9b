// The pieces every message of the control protocol is made of: fixed-width
// little-endian integers, fixed-size text fields, the 16-byte header with
// the message types, and the check the control server runs on a request
// header before it reads any payload.
//
// Header layout (all fields unsigned 32-bit little-endian):
//   0 magic  4 version  8 type  12 payloadLength
//
// The wire format is little-endian on every host, so messages are built and
// parsed one byte at a time instead of by copying structures.
//
// Text fields are 32-byte names (of a service or a profile) and 64-byte
// user names, NUL-padded. A receiver treats the last byte of a request
// field as NUL, so a name has at most 31 significant characters and a user
// name at most 63. Replies copy at most the field's size: a text that long
// fills the field with no terminating NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline void PutU8(uint8_t *at, uint8_t value) {
  at[0] = value;
}

inline void PutU32(uint8_t *at, uint32_t value) {
  for (int i = 0; i < 4; i++) {
    at[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

inline void PutU64(uint8_t *at, uint64_t value) {
  for (int i = 0; i < 8; i++) {
    at[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

inline uint32_t GetU32(const uint8_t *at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; i--) {
    value = (value << 8) | at[i];
  }
  return value;
}

inline uint64_t GetU64(const uint8_t *at) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; i--) {
    value = (value << 8) | at[i];
  }
  return value;
}

#define NAME_FIELD_SIZE 32                   // service and profile names
#define USER_FIELD_SIZE 64                   // run-as user names
#define NAME_TEXT_MAX (NAME_FIELD_SIZE - 1)  // significant characters of a name
#define USER_TEXT_MAX (USER_FIELD_SIZE - 1)  // significant characters of a user name

// Copies at most fieldSize bytes of text into the field and zeroes the rest.
void PutTextField(uint8_t *field, size_t fieldSize, std::string_view text);

// Reads a request field as the control server does: the last byte counts as
// NUL, so the text ends at the first NUL among the first fieldSize - 1 bytes.
std::string GetRequestTextField(const uint8_t *field, size_t fieldSize);

// Reads a reply field: up to the first NUL, or the whole field without one.
std::string GetReplyTextField(const uint8_t *field, size_t fieldSize);

// A name a client may send: 1 to 31 bytes, none of them NUL.
bool IsValidNameText(std::string_view name);
// A user name a client may send: 1 to 63 bytes, none of them NUL.
bool IsValidUserText(std::string_view user);

#define MESSAGE_MAGIC 0x1422u    // written by every sender; not checked on requests
#define MESSAGE_VERSION 1u       // likewise
#define MESSAGE_HEADER_SIZE 16u  // bytes of the header on the wire
#define REQUEST_TYPE_COUNT 15u   // request types are 0 to 14

enum class MessageType : uint32_t {
  StartSvcReq = 0,
  StopSvcReq = 1,
  RestartSvcReq = 2,
  ListSvcsReq = 3,
  GetSvcStateReq = 4,
  SetSvcStateReq = 5,
  GetSvcDepsReq = 6,
  StartProfileReq = 7,
  StopProfileReq = 8,
  HaNodeFailoverReq = 9,  // failover listener only; the control server rejects it
  CoreDumpNotifyReq = 10,
  SetRecoveryProfileReq = 11,
  RunAsUserReq = 12,
  AllSvcsControlReq = 13,
  DumpLiveCoreReq = 14,
  SuccessReply = 15,
  ErrorReply = 16,
};

struct MessageHeader {
  uint32_t magic = MESSAGE_MAGIC;
  uint32_t version = MESSAGE_VERSION;
  uint32_t type = 0;
  uint32_t payloadLength = 0;
};

// A header with the protocol's magic and version.
MessageHeader MakeMessageHeader(MessageType type, uint32_t payloadLength);

// Writes the header's 16 wire bytes to out.
void EncodeMessageHeader(const MessageHeader &header, uint8_t *out);
// Reads a header from 16 wire bytes. Any bytes decode; judging them is the
// reader's business.
MessageHeader DecodeMessageHeader(const uint8_t *in);

// The payload length that a request of this type carries (type 9 included),
// or -1 for a type that is not a request.
int64_t RequestPayloadSize(uint32_t type);

// The control server's validation of a received request header: the type is
// a request type other than HaNodeFailoverReq and payloadLength is exactly
// that type's length. Magic and version are not looked at. A request that
// fails is answered with result code 8 and its payload is never read.
bool IsValidControlRequest(const MessageHeader &header);

// The name of a message type ("StartSvcReq", "ErrorReply"), or "Unknown".
const char *MessageTypeName(uint32_t type);
