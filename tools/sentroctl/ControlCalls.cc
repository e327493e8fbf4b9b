#include "tools/sentroctl/ControlCalls.h"

#include "src/protocol/WireTexts.h"

namespace {

CallOutcome Exchange(const CallTarget &target, const RequestMessage &request, ClientReply *reply) {
  CallOutcome outcome;
  outcome.error = ControlExchange(target.socketPath, EncodeRequest(request), target.deadline, reply,
                                  &outcome.detail);
  return outcome;
}

CallOutcome Malformed(const ClientReply &reply, const char *expected) {
  CallOutcome outcome;
  outcome.error = ClientError::Protocol;
  outcome.detail = std::string("malformed reply: expected ") + expected + ", got " +
                   MessageTypeName(reply.header.type) + " with " +
                   std::to_string(reply.header.payloadLength) + " payload bytes";
  return outcome;
}

bool IsErrorReply(const ClientReply &reply) {
  return reply.header.type == static_cast<uint32_t>(MessageType::ErrorReply);
}

// Reads a result reply into outcome; false when the reply is not one.
bool TakeResult(const ClientReply &reply, CallOutcome *outcome) {
  ResultPayload result;
  if (!DecodeResultPayload(reply.header, reply.payload.data(), reply.payload.size(), &result)) {
    return false;
  }
  outcome->code = result.code;
  outcome->text = result.text;
  return true;
}

RequestMessage NamedRequest(MessageType type, const std::string &name) {
  RequestMessage request;
  request.type = type;
  request.name = name;
  return request;
}

}  // namespace

CallOutcome CallForResult(const CallTarget &target, const RequestMessage &request) {
  ClientReply reply;
  CallOutcome outcome = Exchange(target, request, &reply);
  if (outcome.error == ClientError::None && !TakeResult(reply, &outcome)) {
    return Malformed(reply, "a result reply");
  }
  return outcome;
}

CallOutcome CallForNames(const CallTarget &target, const RequestMessage &request,
                         std::vector<std::string> *names) {
  ClientReply reply;
  CallOutcome outcome = Exchange(target, request, &reply);
  names->clear();
  if (outcome.error != ClientError::None) {
    return outcome;
  }
  bool decoded = IsErrorReply(reply) ? TakeResult(reply, &outcome)
                                     : DecodeNameListPayload(reply.header, reply.payload.data(),
                                                             reply.payload.size(), names);
  return decoded ? outcome : Malformed(reply, "a name list");
}

CallOutcome CallForState(const CallTarget &target, const std::string &service,
                         SvcStatePayload *status) {
  ClientReply reply;
  CallOutcome outcome =
      Exchange(target, NamedRequest(MessageType::GetSvcStateReq, service), &reply);
  if (outcome.error != ClientError::None) {
    return outcome;
  }
  bool decoded = IsErrorReply(reply) ? TakeResult(reply, &outcome)
                                     : DecodeSvcStatePayload(reply.header, reply.payload.data(),
                                                             reply.payload.size(), status);
  return decoded ? outcome : Malformed(reply, "a service state");
}

CallOutcome CallForLiveCore(const CallTarget &target, const std::string &service,
                            LiveCorePayload *core) {
  ClientReply reply;
  CallOutcome outcome =
      Exchange(target, NamedRequest(MessageType::DumpLiveCoreReq, service), &reply);
  if (outcome.error != ClientError::None) {
    return outcome;
  }
  if (DecodeLiveCorePayload(reply.header, reply.payload.data(), reply.payload.size(), core)) {
    outcome.code = core->succeeded ? 0 : static_cast<uint32_t>(ControlResult::Failed);
    return outcome;
  }
  // A request the server refused outright is answered with a result reply.
  if (IsErrorReply(reply) && TakeResult(reply, &outcome)) {
    core->succeeded = false;
    return outcome;
  }
  return Malformed(reply, "a live core reply");
}

CallOutcome CallForFailover(const CallTarget &target) {
  RequestMessage request;
  request.type = MessageType::HaNodeFailoverReq;
  ClientReply reply;
  CallOutcome outcome = Exchange(target, request, &reply);
  if (outcome.error != ClientError::None) {
    return outcome;
  }
  if (reply.header.payloadLength != 0) {
    // A control server, asked by mistake, refuses the type with a result.
    return IsErrorReply(reply) && TakeResult(reply, &outcome)
               ? outcome
               : Malformed(reply, "a bare reply header");
  }
  outcome.code = IsErrorReply(reply) ? static_cast<uint32_t>(ControlResult::Failed) : 0;
  return outcome;
}
