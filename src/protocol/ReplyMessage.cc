#include "src/protocol/ReplyMessage.h"

#include <cstring>

namespace {

// Offsets of the service state reply, from the message start.
#define STATE_NAME_AT 16
#define STATE_STATE_AT 48
#define STATE_STARTUP_AT 52
#define STATE_HEALTH_AT 56
#define STATE_STOP_FAILED_AT 60
#define STATE_MS_AT 64
#define STATE_PID_AT 72
#define STATE_USER_AT 76
#define STATE_DETAIL_LENGTH_AT 140
#define STATE_DETAIL_AT 144
#define STATE_STOPPED 3u

// A zeroed message of the given payload size with its header written.
std::vector<uint8_t> NewReply(MessageType type, size_t payloadLength) {
  std::vector<uint8_t> message(MESSAGE_HEADER_SIZE + payloadLength, 0);
  EncodeMessageHeader(MakeMessageHeader(type, static_cast<uint32_t>(payloadLength)),
                      message.data());
  return message;
}

void PutBytes(uint8_t *at, std::string_view text) {
  if (!text.empty()) {
    memcpy(at, text.data(), text.size());
  }
}

std::string GetBytes(const uint8_t *at, size_t length) {
  return std::string(reinterpret_cast<const char *>(at), length);
}

bool IsReplyOf(const MessageHeader &header, size_t size, MessageType type) {
  return header.type == static_cast<uint32_t>(type) && header.payloadLength == size;
}

}  // namespace

std::vector<uint8_t> EncodeResultReply(uint32_t code, std::string_view text) {
  if (code == 0) {
    return NewReply(MessageType::SuccessReply, 0);
  }
  std::vector<uint8_t> message =
      NewReply(MessageType::ErrorReply, text.size() + RESULT_PAYLOAD_FIXED);
  PutU32(&message[16], code);
  PutU32(&message[20], static_cast<uint32_t>(text.size()));
  PutBytes(&message[24], text);
  return message;
}

std::vector<uint8_t> EncodeNameListReply(const std::vector<std::string> &names) {
  std::vector<uint8_t> message =
      NewReply(MessageType::SuccessReply, NAME_FIELD_SIZE * names.size() + NAME_LIST_PAYLOAD_FIXED);
  PutU32(&message[16], static_cast<uint32_t>(names.size()));
  for (size_t i = 0; i < names.size(); i++) {
    PutTextField(&message[20 + NAME_FIELD_SIZE * i], NAME_FIELD_SIZE, names[i]);
  }
  return message;
}

std::vector<uint8_t> EncodeSvcStateReply(const SvcStatePayload &status) {
  const std::string &detail = status.healthData;
  std::vector<uint8_t> message =
      NewReply(MessageType::SuccessReply, detail.size() + SVC_STATE_PAYLOAD_FIXED);
  PutTextField(&message[STATE_NAME_AT], NAME_FIELD_SIZE, status.name);
  PutU32(&message[STATE_STATE_AT], status.state);
  PutU32(&message[STATE_STARTUP_AT], status.startupType);
  PutU32(&message[STATE_HEALTH_AT], status.health);
  bool stopFailed = status.state == STATE_STOPPED && status.lastStopFailed;
  PutU8(&message[STATE_STOP_FAILED_AT], stopFailed ? 1 : 0);
  PutU64(&message[STATE_MS_AT], status.msInState);
  PutU32(&message[STATE_PID_AT], status.pid);
  PutTextField(&message[STATE_USER_AT], USER_FIELD_SIZE, status.runAsUser);
  PutU32(&message[STATE_DETAIL_LENGTH_AT], static_cast<uint32_t>(detail.size()));
  PutBytes(&message[STATE_DETAIL_AT], detail);
  return message;
}

std::vector<uint8_t> EncodeLiveCoreReply(bool succeeded, std::string_view corePath) {
  MessageType type = succeeded ? MessageType::SuccessReply : MessageType::ErrorReply;
  std::vector<uint8_t> message = NewReply(type, corePath.size() + LIVE_CORE_PAYLOAD_FIXED);
  PutU32(&message[16], static_cast<uint32_t>(corePath.size()));
  PutBytes(&message[20], corePath);
  return message;
}

bool DecodeResultPayload(const MessageHeader &header, const uint8_t *payload, size_t size,
                         ResultPayload *out) {
  if (IsReplyOf(header, size, MessageType::SuccessReply) && size == 0) {
    out->code = 0;
    out->text.clear();
    return true;
  }
  if (!IsReplyOf(header, size, MessageType::ErrorReply) || size < RESULT_PAYLOAD_FIXED) {
    return false;
  }
  uint32_t code = GetU32(payload);
  uint32_t textLength = GetU32(payload + 4);
  if (code == 0 || textLength != size - RESULT_PAYLOAD_FIXED) {
    return false;
  }
  out->code = code;
  out->text = GetBytes(payload + 8, textLength);
  return true;
}

bool DecodeNameListPayload(const MessageHeader &header, const uint8_t *payload, size_t size,
                           std::vector<std::string> *names) {
  if (!IsReplyOf(header, size, MessageType::SuccessReply) || size < NAME_LIST_PAYLOAD_FIXED) {
    return false;
  }
  uint32_t count = GetU32(payload);
  if ((size - NAME_LIST_PAYLOAD_FIXED) / NAME_FIELD_SIZE != count ||
      (size - NAME_LIST_PAYLOAD_FIXED) % NAME_FIELD_SIZE != 0) {
    return false;
  }
  names->clear();
  for (uint32_t i = 0; i < count; i++) {
    names->push_back(GetReplyTextField(payload + 4 + NAME_FIELD_SIZE * i, NAME_FIELD_SIZE));
  }
  return true;
}

bool DecodeSvcStatePayload(const MessageHeader &header, const uint8_t *payload, size_t size,
                           SvcStatePayload *out) {
  if (!IsReplyOf(header, size, MessageType::SuccessReply) || size < SVC_STATE_PAYLOAD_FIXED) {
    return false;
  }
  // The offsets above count from the message start; the payload is at 16.
  auto field = [payload](size_t messageOffset) {
    return payload + messageOffset - MESSAGE_HEADER_SIZE;
  };
  uint32_t detailLength = GetU32(field(STATE_DETAIL_LENGTH_AT));
  if (detailLength != size - SVC_STATE_PAYLOAD_FIXED) {
    return false;
  }
  out->name = GetReplyTextField(field(STATE_NAME_AT), NAME_FIELD_SIZE);
  out->state = GetU32(field(STATE_STATE_AT));
  out->startupType = GetU32(field(STATE_STARTUP_AT));
  out->health = GetU32(field(STATE_HEALTH_AT));
  out->lastStopFailed = *field(STATE_STOP_FAILED_AT) != 0;
  out->msInState = GetU64(field(STATE_MS_AT));
  out->pid = GetU32(field(STATE_PID_AT));
  out->runAsUser = GetReplyTextField(field(STATE_USER_AT), USER_FIELD_SIZE);
  out->healthData = GetBytes(field(STATE_DETAIL_AT), detailLength);
  return true;
}

bool DecodeLiveCorePayload(const MessageHeader &header, const uint8_t *payload, size_t size,
                           LiveCorePayload *out) {
  bool succeeded = header.type == static_cast<uint32_t>(MessageType::SuccessReply);
  bool failed = header.type == static_cast<uint32_t>(MessageType::ErrorReply);
  if (!(succeeded || failed) || header.payloadLength != size || size < LIVE_CORE_PAYLOAD_FIXED) {
    return false;
  }
  uint32_t textLength = GetU32(payload);
  if (textLength != size - LIVE_CORE_PAYLOAD_FIXED) {
    return false;
  }
  out->succeeded = succeeded;
  out->corePath = GetBytes(payload + 4, textLength);
  return true;
}
