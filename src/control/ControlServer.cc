#include "src/control/ControlServer.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "lib/asyncsocket/asyncsocket.h"
#include "lib/log/log.h"
#include "lib/pollDefault/poll.h"
#include "src/control/ControlConnection.h"
#include "src/control/ControlRequest.h"
#include "src/core/SentroConfig.h"
#include "src/protocol/MessageHeader.h"
#include "src/protocol/ReplyMessage.h"
#include "src/protocol/WireTexts.h"

namespace {

AsyncSocket *listener = nullptr;
const ControlContext *serverContext = nullptr;
// Every request from accept to clean-up, keyed by its connection.
std::map<AsyncSocket *, std::unique_ptr<ControlRequest>> liveRequests;

void TimerHandler(void *clientData);
void RecvHandler(void *buffer, int length, AsyncSocket *socket, void *clientData);

void DestroyRequest(ControlRequest *request) {
  PollRemoveTimer(TimerHandler, request, false);
  if (request->socket != nullptr && AsyncSocket_GetState(request->socket) != AsyncSocketClosed) {
    AsyncSocket_Close(request->socket);
  }
  delete request;
}

// Runs from the loop after the callback that scheduled it has returned.
void CleanupStep(void *clientData) {
  auto *request = static_cast<ControlRequest *>(clientData);
  auto it = liveRequests.find(request->socket);
  if (it != liveRequests.end() && it->second.get() == request) {
    it->second.release();
    liveRequests.erase(it);
  }
  if (request->completionPending) {
    // The operation still holds the request: close now, free on completion.
    // The close may free the socket, so the request forgets it.
    if (AsyncSocket_GetState(request->socket) != AsyncSocketClosed) {
      AsyncSocket_Close(request->socket);
    }
    request->socket = nullptr;
    request->orphaned = true;
    return;
  }
  DestroyRequest(request);
}

bool StartRequestRecv(ControlRequest *request, std::vector<uint8_t> *buffer) {
  int64_t timeoutUs = static_cast<int64_t>(SentroConfig::Get()->SocketIOTimeout()) * 1000000;
  return StartTimedRecv(request->socket, buffer, timeoutUs, TimerHandler, RecvHandler, request);
}

void TimerHandler(void *clientData) {
  auto *request = static_cast<ControlRequest *>(clientData);
  LogAtLevel(LOG_ERROR, "Timer Callback fired in state %d\n", static_cast<int>(request->state));
  AsyncSocket_CancelCallbacks(request->socket);
  EnterRequestState(request, RequestState::Cleanup);
}

void ErrorHandler(int error, AsyncSocket *, void *clientData) {
  auto *request = static_cast<ControlRequest *>(clientData);
  LogAtLevel(LOG_ERROR, "Error Callback fired with error %s\n", AsyncSocket_ErrorText(error));
  if (request->state == RequestState::RecvHeader || request->state == RequestState::RecvPayload) {
    PollRemoveTimer(TimerHandler, request, false);
  }
  AsyncSocket_CancelCallbacks(request->socket);
  EnterRequestState(request, RequestState::Cleanup);
}

void SendHandler(void *, int length, AsyncSocket *, void *clientData) {
  auto *request = static_cast<ControlRequest *>(clientData);
  if (static_cast<uint32_t>(length) == request->replyLength) {
    EnterRequestState(request, RequestState::Cleanup);
  } else {
    LogAtLevel(LOG_ERROR, "Amount of data sent is less than expected\n");
  }
}

void RecvHandler(void *, int, AsyncSocket *, void *clientData) {
  auto *request = static_cast<ControlRequest *>(clientData);
  PollRemoveTimer(TimerHandler, request, false);
  if (request->state == RequestState::RecvHeader) {
    MessageHeader header = DecodeMessageHeader(request->headerBuffer.data());
    if (!IsValidControlRequest(header)) {
      LogAtLevel(LOG_ERROR, "Validation of request failed. Sending Error reply.\n");
      AsyncSocket_CancelRecv(request->socket);
      SendResultReply(request, static_cast<uint32_t>(ControlResult::InvalidRequest));
    } else if (header.payloadLength == 0) {
      AsyncSocket_CancelRecv(request->socket);
      EnterRequestState(request, RequestState::Processing);
    } else {
      EnterRequestState(request, RequestState::RecvPayload);
    }
  } else if (request->state == RequestState::RecvPayload) {
    AsyncSocket_CancelRecv(request->socket);
    EnterRequestState(request, RequestState::Processing);
  }
}

void AcceptHandler(AsyncSocket *socket, void *) {
  std::unique_ptr<PeerCred> peer = GetPeerCred(socket);
  if (peer == nullptr) {
    AsyncSocket_Close(socket);
    return;
  }
  auto owned = std::make_unique<ControlRequest>();
  ControlRequest *request = owned.get();
  request->socket = socket;
  request->peerCred = std::move(peer);
  liveRequests[socket] = std::move(owned);
  if (AsyncSocket_SetErrorHandler(socket, ErrorHandler, request) != ASOCKERR_SUCCESS) {
    LogAtLevel(LOG_ERROR, "Failed to set Error function when accepting new request\n");
    liveRequests[socket].release();
    liveRequests.erase(socket);
    DestroyRequest(request);
    return;
  }
  EnterRequestState(request, RequestState::RecvHeader);
}

// What the socket layer does for a listener without an error handler (close
// it on the first accept failure), done here so that the pointer above never
// outlives the socket.
void ListenerErrorHandler(int, AsyncSocket *socket, void *) {
  AsyncSocket_Close(socket);
  listener = nullptr;
}

bool ApplyOwnerAndMode(const std::string &path) {
  struct passwd *apiUser = getpwnam("sentroapi");
  if (apiUser == nullptr) {
    LogAtLevel(LOG_ERROR, "Error in getting the sentroapi GID.\n");
    return false;
  }
  if (chown(path.c_str(), 0, apiUser->pw_gid) != 0) {
    LogAtLevel(LOG_ERROR, "Error in setting the ownership of the sentroserver PIPE.\n");
    return false;
  }
  if (chmod(path.c_str(), 0775) != 0) {
    LogAtLevel(LOG_ERROR, "Error in setting the permissions of the sentroserver PIPE.\n");
    return false;
  }
  return true;
}

}  // namespace

const ControlContext &ServerContext() {
  return *serverContext;
}

void EnterRequestState(ControlRequest *request, RequestState state) {
  if (request->state == RequestState::Cleanup) {
    return;  // clean-up is scheduled once
  }
  request->state = state;
  switch (state) {
    case RequestState::RecvHeader:
      request->headerBuffer.assign(MESSAGE_HEADER_SIZE, 0);
      if (!StartRequestRecv(request, &request->headerBuffer)) {
        LogAtLevel(LOG_ERROR, "Failed to retrieve header. Cleaning up...\n");
        EnterRequestState(request, RequestState::Cleanup);
      }
      break;
    case RequestState::RecvPayload: {
      MessageHeader header = DecodeMessageHeader(request->headerBuffer.data());
      request->payloadBuffer.assign(header.payloadLength, 0);
      if (!StartRequestRecv(request, &request->payloadBuffer)) {
        LogAtLevel(LOG_ERROR, "Failed to retrieve payload. Cleaning up...\n");
        EnterRequestState(request, RequestState::Cleanup);
      }
      break;
    }
    case RequestState::Processing:
      DispatchRequest(request);
      break;
    case RequestState::SendReply:
      if (AsyncSocket_Send(request->socket, request->replyBuffer.data(),
                           static_cast<int>(request->replyLength), SendHandler,
                           request) != ASOCKERR_SUCCESS) {
        LogAtLevel(LOG_ERROR, "Failed to send reply for the request. Cleaning up...\n");
        EnterRequestState(request, RequestState::Cleanup);
      }
      break;
    case RequestState::Cleanup:
      if (PollAddTimer(CleanupStep, request, 0, false, nullptr) != POLL_OK) {
        LogAtLevel(LOG_ERROR, "Scheduling of Request cleanup failed.\n");
      }
      break;
    case RequestState::Accepted:
      break;
  }
}

void SendReplyMessage(ControlRequest *request, std::vector<uint8_t> reply) {
  request->replyBuffer = std::move(reply);
  request->replyLength = static_cast<uint32_t>(request->replyBuffer.size());
  EnterRequestState(request, RequestState::SendReply);
}

bool ClaimCompletion(ControlRequest *request) {
  request->completionPending = false;
  if (request->orphaned) {
    DestroyRequest(request);
    return false;
  }
  return true;
}

bool CreateServer(const std::string &path, const ControlContext *context) {
  serverContext = context;
  if (listener != nullptr) {
    LogAtLevel(LOG_WARNING, "Server instance already exists, returning existing instance\n");
    return ApplyOwnerAndMode(path);
  }
  unlink(path.c_str());
  int error = ASOCKERR_SUCCESS;
  listener = AsyncSocket_ListenUnix(path.c_str(), AcceptHandler, nullptr, &error);
  if (listener == nullptr) {
    LogAtLevel(LOG_ERROR, "Creation of Sentro Server failed with error %s\n",
               AsyncSocket_ErrorText(error));
    return false;
  }
  AsyncSocket_SetErrorHandler(listener, ListenerErrorHandler, nullptr);
  return ApplyOwnerAndMode(path);
}

bool ShutdownServer() {
  if (listener == nullptr) {
    return true;
  }
  AsyncSocket *closing = listener;
  listener = nullptr;
  return AsyncSocket_Close(closing) == ASOCKERR_SUCCESS;
}
