#include "src/protocol/RequestMessage.h"

namespace {

// Offsets inside the payloads that have more than one field.
#define STARTUP_TYPE_AT 0
#define STARTUP_NAME_AT 4
#define PROFILE_FLAG_AT NAME_FIELD_SIZE
#define RUN_AS_USER_AT NAME_FIELD_SIZE

void EncodePayload(const RequestMessage &request, uint8_t *payload) {
  switch (request.type) {
    case MessageType::StartSvcReq:
    case MessageType::StopSvcReq:
    case MessageType::RestartSvcReq:
    case MessageType::GetSvcStateReq:
    case MessageType::GetSvcDepsReq:
    case MessageType::DumpLiveCoreReq:
      PutTextField(payload, NAME_FIELD_SIZE, request.name);
      break;
    case MessageType::SetSvcStateReq:
      PutU32(payload + STARTUP_TYPE_AT, request.startupType);
      PutTextField(payload + STARTUP_NAME_AT, NAME_FIELD_SIZE, request.name);
      break;
    case MessageType::StartProfileReq:
    case MessageType::StopProfileReq:
      PutTextField(payload, NAME_FIELD_SIZE, request.name);
      PutU8(payload + PROFILE_FLAG_AT, request.ignoreFail ? 1 : 0);
      break;
    case MessageType::CoreDumpNotifyReq:
      PutU32(payload, static_cast<uint32_t>(request.pid));
      PutU32(payload + 4, 0);
      break;
    case MessageType::SetRecoveryProfileReq:
      PutU32(payload, request.recoveryProfile);
      break;
    case MessageType::RunAsUserReq:
      PutTextField(payload, NAME_FIELD_SIZE, request.name);
      PutTextField(payload + RUN_AS_USER_AT, USER_FIELD_SIZE, request.user);
      break;
    case MessageType::AllSvcsControlReq:
      PutU8(payload + 0, request.flags.healthCheck ? 1 : 0);
      PutU8(payload + 1, request.flags.resetFailCounters ? 1 : 0);
      PutU8(payload + 2, request.flags.reloadConfigs ? 1 : 0);
      PutU8(payload + 3, request.flags.saveCrashStats ? 1 : 0);
      break;
    default:  // ListSvcsReq and HaNodeFailoverReq carry no payload
      break;
  }
}

}  // namespace

std::vector<uint8_t> EncodeRequest(const RequestMessage &request) {
  int64_t payloadSize = RequestPayloadSize(static_cast<uint32_t>(request.type));
  if (payloadSize < 0) {
    return {};
  }
  std::vector<uint8_t> message(MESSAGE_HEADER_SIZE + payloadSize, 0);
  EncodeMessageHeader(MakeMessageHeader(request.type, static_cast<uint32_t>(payloadSize)),
                      message.data());
  EncodePayload(request, message.data() + MESSAGE_HEADER_SIZE);
  return message;
}

bool DecodeRequestPayload(uint32_t type, const uint8_t *payload, size_t size, RequestMessage *out) {
  int64_t expected = RequestPayloadSize(type);
  if (expected < 0 || size != static_cast<size_t>(expected)) {
    return false;
  }
  out->type = static_cast<MessageType>(type);
  switch (out->type) {
    case MessageType::StartSvcReq:
    case MessageType::StopSvcReq:
    case MessageType::RestartSvcReq:
    case MessageType::GetSvcStateReq:
    case MessageType::GetSvcDepsReq:
    case MessageType::DumpLiveCoreReq:
      out->name = GetRequestTextField(payload, NAME_FIELD_SIZE);
      break;
    case MessageType::SetSvcStateReq:
      out->startupType = GetU32(payload + STARTUP_TYPE_AT);
      out->name = GetRequestTextField(payload + STARTUP_NAME_AT, NAME_FIELD_SIZE);
      break;
    case MessageType::StartProfileReq:
    case MessageType::StopProfileReq:
      out->name = GetRequestTextField(payload, NAME_FIELD_SIZE);
      out->ignoreFail = payload[PROFILE_FLAG_AT] == 1;
      break;
    case MessageType::CoreDumpNotifyReq:
      out->pid = static_cast<int32_t>(GetU32(payload));
      break;
    case MessageType::SetRecoveryProfileReq:
      out->recoveryProfile = GetU32(payload);
      break;
    case MessageType::RunAsUserReq:
      out->name = GetRequestTextField(payload, NAME_FIELD_SIZE);
      out->user = GetRequestTextField(payload + RUN_AS_USER_AT, USER_FIELD_SIZE);
      break;
    case MessageType::AllSvcsControlReq:
      out->flags.healthCheck = payload[0] != 0;
      out->flags.resetFailCounters = payload[1] != 0;
      out->flags.reloadConfigs = payload[2] != 0;
      out->flags.saveCrashStats = payload[3] != 0;
      break;
    default:
      break;
  }
  return true;
}

bool RequestNamesService(uint32_t type) {
  switch (static_cast<MessageType>(type)) {
    case MessageType::StartSvcReq:
    case MessageType::StopSvcReq:
    case MessageType::RestartSvcReq:
    case MessageType::GetSvcStateReq:
    case MessageType::SetSvcStateReq:
    case MessageType::GetSvcDepsReq:
    case MessageType::RunAsUserReq:
    case MessageType::DumpLiveCoreReq:
      return true;
    default:
      return false;
  }
}
