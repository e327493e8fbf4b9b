#include "src/protocol/MessageHeader.h"

#include "src/protocol/WireBytes.h"

namespace {

// Payload lengths of the request types, indexed by type.
const uint32_t kRequestPayloadSizes[REQUEST_TYPE_COUNT] = {
    32,  // StartSvcReq: service name
    32,  // StopSvcReq
    32,  // RestartSvcReq
    0,   // ListSvcsReq
    32,  // GetSvcStateReq
    36,  // SetSvcStateReq: startup type, service name
    32,  // GetSvcDepsReq
    33,  // StartProfileReq: profile name, ignore-fail flag
    33,  // StopProfileReq
    0,   // HaNodeFailoverReq
    8,   // CoreDumpNotifyReq: pid, four ignored bytes
    4,   // SetRecoveryProfileReq: profile
    96,  // RunAsUserReq: service name, user name
    4,   // AllSvcsControlReq: four flags
    32,  // DumpLiveCoreReq: service name
};

const char *const kMessageTypeNames[] = {
    "StartSvcReq",    "StopSvcReq",        "RestartSvcReq",     "ListSvcsReq",
    "GetSvcStateReq", "SetSvcStateReq",    "GetSvcDepsReq",     "StartProfileReq",
    "StopProfileReq", "HaNodeFailoverReq", "CoreDumpNotifyReq", "SetRecoveryProfileReq",
    "RunAsUserReq",   "AllSvcsControlReq", "DumpLiveCoreReq",   "SuccessReply",
    "ErrorReply",
};

}  // namespace

MessageHeader MakeMessageHeader(MessageType type, uint32_t payloadLength) {
  MessageHeader header;
  header.type = static_cast<uint32_t>(type);
  header.payloadLength = payloadLength;
  return header;
}

void EncodeMessageHeader(const MessageHeader &header, uint8_t *out) {
  PutU32(out + 0, header.magic);
  PutU32(out + 4, header.version);
  PutU32(out + 8, header.type);
  PutU32(out + 12, header.payloadLength);
}

MessageHeader DecodeMessageHeader(const uint8_t *in) {
  MessageHeader header;
  header.magic = GetU32(in + 0);
  header.version = GetU32(in + 4);
  header.type = GetU32(in + 8);
  header.payloadLength = GetU32(in + 12);
  return header;
}

int64_t RequestPayloadSize(uint32_t type) {
  if (type >= REQUEST_TYPE_COUNT) {
    return -1;
  }
  return kRequestPayloadSizes[type];
}

bool IsValidControlRequest(const MessageHeader &header) {
  if (header.type >= REQUEST_TYPE_COUNT ||
      header.type == static_cast<uint32_t>(MessageType::HaNodeFailoverReq)) {
    return false;
  }
  return header.payloadLength == kRequestPayloadSizes[header.type];
}

const char *MessageTypeName(uint32_t type) {
  if (type >= sizeof(kMessageTypeNames) / sizeof(kMessageTypeNames[0])) {
    return "Unknown";
  }
  return kMessageTypeNames[type];
}
