// Typed requests to the daemon: each sends one request on its own
// connection and decodes the reply that request type is answered with.
#pragma once

#include <string>
#include <vector>

#include "src/protocol/ReplyMessage.h"
#include "src/protocol/RequestMessage.h"
#include "tools/sentroctl/ControlClient.h"

// Where and until when to talk to the daemon.
struct CallTarget {
  std::string socketPath;
  ClientDeadline deadline;
};

// The outcome of one call. When error is None the daemon answered and code
// holds its result code (0 success); text is the failed services of a
// profile operation. Otherwise detail says what went wrong.
struct CallOutcome {
  ClientError error = ClientError::None;
  std::string detail;
  uint32_t code = 0;
  std::string text;

  bool succeeded() const { return error == ClientError::None && code == 0; }
};

// Requests answered with a result reply: start, stop, restart, startup type,
// profiles, core-dump notice, recovery profile, run-as user, all-services
// control.
CallOutcome CallForResult(const CallTarget &target, const RequestMessage &request);

// ListSvcsReq (type 3) and GetSvcDepsReq (type 6). A result reply instead of
// a list (for example no such service) leaves names empty and sets code.
CallOutcome CallForNames(const CallTarget &target, const RequestMessage &request,
                         std::vector<std::string> *names);

// GetSvcStateReq for one service; code 6 when the service does not exist.
CallOutcome CallForState(const CallTarget &target, const std::string &service,
                         SvcStatePayload *status);

// DumpLiveCoreReq. A failed dump has no result code of its own: it sets code
// to Failed (4) and leaves core->succeeded false.
CallOutcome CallForLiveCore(const CallTarget &target, const std::string &service,
                            LiveCorePayload *core);

// HaNodeFailoverReq to a failover listener, answered by a bare header: type
// 15 accepts (code 0), type 16 refuses (code Failed).
CallOutcome CallForFailover(const CallTarget &target);
