// One exchange with the daemon's control socket: connect, send one request,
// read one reply, close. The protocol allows one request per connection.
//
// The client blocks; every wait (connect, send, receive) is bounded by one
// deadline for the whole exchange.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "src/protocol/MessageHeader.h"

// The largest reply payload a client accepts; anything larger is taken for
// a corrupt header rather than allocated.
#define CLIENT_MAX_REPLY_PAYLOAD (16u << 20)

using ClientDeadline = std::chrono::steady_clock::time_point;

// Why an exchange did not produce a reply.
enum class ClientError {
  None = 0,
  NotRunning,        // no socket file, or nothing listens on it (ECONNREFUSED)
  PermissionDenied,  // the socket's owner and mode refuse this user (EACCES)
  Unreachable,       // any other connect failure
  TimedOut,          // the deadline passed before the reply was complete
  Protocol,          // closed early, truncated, or not a reply of this protocol
};

struct ClientReply {
  MessageHeader header;
  std::vector<uint8_t> payload;  // header.payloadLength bytes
};

// Sends request (a complete message) to the socket at socketPath and reads
// the reply. The reply header must carry the protocol's magic and version
// and type 15 or 16. On failure returns the error class and sets *detail to
// a sentence for the operator.
ClientError ControlExchange(const std::string &socketPath, const std::vector<uint8_t> &request,
                            ClientDeadline deadline, ClientReply *reply, std::string *detail);
