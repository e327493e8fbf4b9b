// One accepted control connection and the request it carries, from accept
// to clean-up.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "src/control/ControlConnection.h"

struct AsyncSocket;
struct ControlContext;

enum class RequestState : uint32_t {
  Accepted = 0,
  RecvHeader = 1,
  RecvPayload = 2,
  Processing = 3,
  SendReply = 4,
  Cleanup = 5,
};

struct ControlRequest {
  AsyncSocket *socket = nullptr;
  RequestState state = RequestState::Accepted;
  uint32_t replyLength = 0;
  std::vector<uint8_t> headerBuffer;
  std::vector<uint8_t> payloadBuffer;
  std::vector<uint8_t> replyBuffer;
  std::unique_ptr<PeerCred> peerCred;
  // An asynchronous operation (a service or batch request, a live core dump)
  // holds this request as its context until its completion arrives; a
  // clean-up meanwhile leaves the request to that completion.
  bool completionPending = false;
  bool orphaned = false;
};

// Enters a state: stores it, then starts what the state does. A failure
// logs and enters Cleanup.
void EnterRequestState(ControlRequest *request, RequestState state);

// The registry and seams the server was created with.
const ControlContext &ServerContext();

// Carries out a received request; ends by sending a reply (now or from an
// asynchronous completion).
void DispatchRequest(ControlRequest *request);

// Builds the reply in the request and enters SendReply.
void SendReplyMessage(ControlRequest *request, std::vector<uint8_t> reply);
// The result reply, followed by the flush of the operation metrics.
void SendResultReply(ControlRequest *request, uint32_t code, const std::string &text = "");

// Called by an asynchronous completion before it replies: false (and the
// request freed) when the connection was cleaned up meanwhile.
bool ClaimCompletion(ControlRequest *request);
