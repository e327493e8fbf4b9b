// The texts of the socket layer's error codes and the cache of system error
// texts used in its messages.
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "lib/asyncsocket/asyncSocketInt.h"
#include "lib/asyncsocket/asyncsocket.h"
#include "lib/log/log.h"

// Each catalogue string is the message id in parentheses followed by the
// English text; AsyncSocket_ErrorText returns the part after the id.
static const char *const kCatalogue[] = {
    "(msg.asyncsocket.success)Success",
    "(msg.asyncsocket.generic)Asyncsocket error",
    "(msg.asyncsocket.timeout)Time-out error",
    "(msg.asyncsocket.notconnected)Local socket not connected",
    "(msg.asyncsocket.remotedisconnect)Remote disconnected",
    "(msg.asyncsocket.invalid)Invalid parameters",
    "(msg.asyncsocket.connect)Connection error",
    nullptr,  // accept failure: no text of its own
    "(msg.asyncsocket.poll)Poll registration error",
    "(msg.asyncsocket.closed)Closed socket",
    "(msg.asyncsocket.bind)Socket bind error",
    "(msg.asyncsocket.bindaddrinuse)Socket bind address already in use",
    "(msg.asyncsocket.listen)Socket listen error",
    "(msg.asyncsocket.connectssl)Connection error: could not negotiate SSL",
    "(msg.asyncsocket.netunreach)Network unreachable",
    "(msg.asyncsocket.addrunresv)Address unresolvable",
    "(msg.asyncsocket.busy)Concurrent operations on socket",
    "(msg.asyncsocket.proxyneedsauthentication)Proxy needs authentication",
    "(msg.asyncsocket.proxyconnectfailed)Connection failed through proxy",
    "(msg.asyncsocket.websocketupgradefailed)Upgrade to websocket error: NOT FOUND, status code "
    "404",
    "(msg.asyncsocket.websockettoomanyconnection)The server-side WebSocket connection limit has "
    "been exceeded, HTTP status code 429",
    "(msg.asyncsocket.proxyinvalidornotsupported)Invalid or not supported type proxy",
};
static const char kUnknown[] = "(msg.asyncsocket.unknown)Unknown error";
static const int kNumCodes = sizeof(kCatalogue) / sizeof(kCatalogue[0]);

const char *AsyncSocket_MsgError(int error) {
  if (error < 0 || error >= kNumCodes || kCatalogue[error] == nullptr) {
    Warning("%s was passed bad code %d\n", "AsyncSocket_MsgError", error);
    return kUnknown;
  }
  return kCatalogue[error];
}

const char *AsyncSocket_ErrorText(int error) {
  const char *catalogued = AsyncSocket_MsgError(error);
  return strchr(catalogued, ')') + 1;
}

// System error texts by error number, filled on first use and kept for the
// life of the process.
static constexpr int kErrnoCacheSize = 2048;
static std::atomic<const char *> errnoTexts[kErrnoCacheSize];

const char *AsyncSocketErrnoText(int err) {
  if (err < 0 || err >= kErrnoCacheSize) {
    static thread_local char unknown[64];
    return strerror_r(err, unknown, sizeof unknown);
  }
  const char *text = errnoTexts[err].load(std::memory_order_acquire);
  if (text != nullptr) {
    return text;
  }
  char buffer[256];
  char *fresh = strdup(strerror_r(err, buffer, sizeof buffer));
  const char *expected = nullptr;
  if (!errnoTexts[err].compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
    free(fresh);  // another thread filled the entry first
    return expected;
  }
  return fresh;
}
