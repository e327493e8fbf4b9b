// The 16-byte header that starts every message on the control socket, the
// message types, and the check the control server runs on a request header
// before it reads any payload.
//
// Wire layout (all fields unsigned 32-bit little-endian):
//   0 magic  4 version  8 type  12 payloadLength
#pragma once

#include <cstddef>
#include <cstdint>

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
