#include "src/protocol/MessageHeader.h"

#include <algorithm>
#include <cstring>

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

std::string TextUpToNul(const uint8_t *field, size_t limit) {
  const uint8_t *end = std::find(field, field + limit, uint8_t{0});
  return std::string(reinterpret_cast<const char *>(field), end - field);
}

bool IsValidText(std::string_view text, size_t maxLength) {
  return !text.empty() && text.size() <= maxLength && text.find('\0') == std::string_view::npos;
}

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

void PutTextField(uint8_t *field, size_t fieldSize, std::string_view text) {
  size_t copied = std::min(text.size(), fieldSize);
  memcpy(field, text.data(), copied);
  memset(field + copied, 0, fieldSize - copied);
}

std::string GetRequestTextField(const uint8_t *field, size_t fieldSize) {
  return fieldSize == 0 ? std::string() : TextUpToNul(field, fieldSize - 1);
}

std::string GetReplyTextField(const uint8_t *field, size_t fieldSize) {
  return TextUpToNul(field, fieldSize);
}

bool IsValidNameText(std::string_view name) {
  return IsValidText(name, NAME_TEXT_MAX);
}

bool IsValidUserText(std::string_view user) {
  return IsValidText(user, USER_TEXT_MAX);
}
