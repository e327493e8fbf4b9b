#include "src/control/FailoverClient.h"

#include <vector>

#include "lib/asyncsocket/asyncsocket.h"
#include "lib/log/log.h"
#include "lib/pollDefault/poll.h"
#include "src/control/ControlConnection.h"
#include "src/protocol/MessageHeader.h"

namespace {

enum class FailoverState : uint32_t {
  AwaitConnect = 0,
  SendRequest = 1,
  RecvReplyHeader = 2,
  RecvReplyPayload = 3,
  ReplyReceived = 4,
  Cleanup = 5,
};

struct FailoverRequest {
  AsyncSocket *socket = nullptr;
  std::vector<uint8_t> replyHeader;
  std::vector<uint8_t> replyPayload;
  std::vector<uint8_t> requestBuffer;
  FailoverState state = FailoverState::AwaitConnect;
  uint32_t requestType = static_cast<uint32_t>(MessageType::HaNodeFailoverReq);
  void *callerData = nullptr;
  uint64_t timeoutSec = 0;
  uint32_t bytesToSend = 0;
  FailoverDone done = nullptr;
  bool notified = false;  // done is called at most once
};

void EnterState(FailoverRequest *request, FailoverState state);
void RecvHandler(void *buffer, int length, AsyncSocket *socket, void *clientData);

void DestroyRequest(FailoverRequest *request) {
  if (request->socket != nullptr && AsyncSocket_GetState(request->socket) != AsyncSocketClosed) {
    AsyncSocket_Close(request->socket);
  }
  delete request;
}

void DestroyStep(void *clientData) {
  DestroyRequest(static_cast<FailoverRequest *>(clientData));
}

void Notify(FailoverRequest *request, bool success) {
  if (request->notified) {
    return;
  }
  request->notified = true;
  request->done(success, request->callerData);
}

void NotifyFailure(FailoverRequest *request) {
  if (request->requestType == static_cast<uint32_t>(MessageType::HaNodeFailoverReq)) {
    LogAtLevel(LOG_ERROR, "Sending failure reply for HA Node Failover request\n");
    Notify(request, false);
  }
}

void TimerHandler(void *clientData) {
  auto *request = static_cast<FailoverRequest *>(clientData);
  LogAtLevel(LOG_ERROR, "Timer Callback fired in state %d for request type %d\n",
             static_cast<int>(request->state), static_cast<int>(request->requestType));
  NotifyFailure(request);
  AsyncSocket_CancelCallbacks(request->socket);
  EnterState(request, FailoverState::Cleanup);
}

void ErrorHandler(int error, AsyncSocket *, void *clientData) {
  auto *request = static_cast<FailoverRequest *>(clientData);
  LogAtLevel(LOG_ERROR, "Error Callback fired with error %s\n", AsyncSocket_ErrorText(error));
  if (request->state == FailoverState::RecvReplyHeader ||
      request->state == FailoverState::RecvReplyPayload) {
    PollRemoveTimer(TimerHandler, request, false);
  }
  NotifyFailure(request);
  AsyncSocket_CancelCallbacks(request->socket);
  EnterState(request, FailoverState::Cleanup);
}

void SentHandler(void *, int length, AsyncSocket *, void *clientData) {
  auto *request = static_cast<FailoverRequest *>(clientData);
  if (static_cast<uint32_t>(length) == request->bytesToSend) {
    EnterState(request, FailoverState::RecvReplyHeader);
  } else {
    LogAtLevel(LOG_ERROR, "Sending of required amount of data failed\n");
  }
}

bool StartReplyRecv(FailoverRequest *request, std::vector<uint8_t> *buffer) {
  int64_t timeoutUs = static_cast<int64_t>(request->timeoutSec) * 1000000;
  return StartTimedRecv(request->socket, buffer, timeoutUs, TimerHandler, RecvHandler, request);
}

bool IsValidReply(const FailoverRequest *request, const MessageHeader &reply) {
  return request->requestType == static_cast<uint32_t>(MessageType::HaNodeFailoverReq) &&
         reply.payloadLength == 0 &&
         (reply.type == static_cast<uint32_t>(MessageType::SuccessReply) ||
          reply.type == static_cast<uint32_t>(MessageType::ErrorReply));
}

void RecvHandler(void *, int, AsyncSocket *, void *clientData) {
  auto *request = static_cast<FailoverRequest *>(clientData);
  PollRemoveTimer(TimerHandler, request, false);
  if (request->state == FailoverState::RecvReplyHeader) {
    MessageHeader reply = DecodeMessageHeader(request->replyHeader.data());
    AsyncSocket_CancelRecv(request->socket);
    if (!IsValidReply(request, reply)) {
      LogAtLevel(LOG_ERROR, "Validation of Response failed. Returning error...\n");
      NotifyFailure(request);
      EnterState(request, FailoverState::Cleanup);
      return;
    }
    EnterState(request, FailoverState::ReplyReceived);
  } else if (request->state == FailoverState::RecvReplyPayload) {
    AsyncSocket_CancelRecv(request->socket);
    EnterState(request, FailoverState::ReplyReceived);
  }
}

void EnterState(FailoverRequest *request, FailoverState state) {
  if (request->state == FailoverState::Cleanup) {
    return;  // destruction is scheduled once
  }
  request->state = state;
  switch (state) {
    case FailoverState::SendRequest: {
      request->requestBuffer.assign(MESSAGE_HEADER_SIZE, 0);
      EncodeMessageHeader(MakeMessageHeader(MessageType::HaNodeFailoverReq, 0),
                          request->requestBuffer.data());
      LogAtLevel(LOG_INFO, "Sending HA Node Failover Request\n");
      request->bytesToSend = MESSAGE_HEADER_SIZE;
      if (AsyncSocket_Send(request->socket, request->requestBuffer.data(),
                           static_cast<int>(request->bytesToSend), SentHandler,
                           request) != ASOCKERR_SUCCESS) {
        LogAtLevel(LOG_ERROR, "Failed to send HA Node Failover request. Cleaning up...\n");
        EnterState(request, FailoverState::Cleanup);
      }
      break;
    }
    case FailoverState::RecvReplyHeader:
      request->replyHeader.assign(MESSAGE_HEADER_SIZE, 0);
      if (!StartReplyRecv(request, &request->replyHeader)) {
        LogAtLevel(LOG_ERROR, "Could not schedule receive on the header. Cleaning up...\n");
        EnterState(request, FailoverState::Cleanup);
      }
      break;
    case FailoverState::RecvReplyPayload: {
      MessageHeader reply = DecodeMessageHeader(request->replyHeader.data());
      request->replyPayload.assign(reply.payloadLength, 0);
      if (!StartReplyRecv(request, &request->replyPayload)) {
        LogAtLevel(LOG_ERROR, "Could not schedule receive on the payload. Cleaning up...\n");
        EnterState(request, FailoverState::Cleanup);
      }
      break;
    }
    case FailoverState::ReplyReceived: {
      MessageHeader reply = DecodeMessageHeader(request->replyHeader.data());
      Notify(request, reply.type == static_cast<uint32_t>(MessageType::SuccessReply));
      EnterState(request, FailoverState::Cleanup);
      break;
    }
    case FailoverState::Cleanup:
      if (PollAddTimer(DestroyStep, request, 0, false, nullptr) != POLL_OK) {
        LogAtLevel(LOG_ERROR, "Scheduling of Request cleanup failed.\n");
      }
      break;
    case FailoverState::AwaitConnect:
      break;
  }
}

void ConnectHandler(AsyncSocket *socket, void *clientData) {
  auto *request = static_cast<FailoverRequest *>(clientData);
  request->socket = socket;
  if (AsyncSocket_SetErrorHandler(socket, ErrorHandler, request) != ASOCKERR_SUCCESS) {
    LogAtLevel(LOG_ERROR, "Failed to set Error function during client connection\n\n");
    NotifyFailure(request);
    DestroyRequest(request);
    return;
  }
  EnterState(request, FailoverState::SendRequest);
}

}  // namespace

bool SendFailoverRequest(const std::string &path, FailoverDone done, void *callerData,
                         uint64_t timeoutSec) {
  auto *request = new FailoverRequest();
  request->done = done;
  request->callerData = callerData;
  request->timeoutSec = timeoutSec;
  int error = ASOCKERR_SUCCESS;
  AsyncSocket *socket = AsyncSocket_ConnectUnix(path.c_str(), ConnectHandler, request, &error);
  if (socket == nullptr) {
    LogAtLevel(LOG_ERROR, "Error in creating unix domain socket: %s\n",
               AsyncSocket_ErrorText(error));
    delete request;
    return false;
  }
  // Until the connect handler runs, a failing connection reaches this
  // handler too, so done is called in every case.
  request->socket = socket;
  AsyncSocket_SetErrorHandler(socket, ErrorHandler, request);
  return true;
}
