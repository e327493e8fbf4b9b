// The socket object: creation, reference counting, error reporting, state
// queries and close; the texts of the error codes and the cache of system
// error texts used in the layer's messages.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "lib/asyncsocket/asyncSocketInt.h"
#include "lib/log/log.h"
#include "lib/log/verify.h"

static std::atomic<uint32_t> nextSocketId{1};

AsyncSocket *AsyncSocketCreate(int fd, AsyncSocketState state) {
  AsyncSocket *asock = new AsyncSocket{};
  asock->id = nextSocketId.fetch_add(1);
  asock->refCount = 1;
  asock->fd = fd;
  asock->state = state;
  asock->pollClassSet = POLL_CS_MAIN;
  asock->pollLock = nullptr;
  return asock;
}

void AsyncSocketAddRef(AsyncSocket *asock) {
  asock->refCount++;
}

void AsyncSocketRelease(AsyncSocket *asock) {
  VERIFY(asock->refCount > 0);
  if (--asock->refCount > 0) {
    return;
  }
  VERIFY(asock->sendHead == nullptr);
  delete asock;
}

void AsyncSocketDiscard(AsyncSocket *asock) {
  close(asock->fd);
  asock->fd = -1;
  asock->state = AsyncSocketClosed;
  AsyncSocketRelease(asock);
}

bool AsyncSocketMakeNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) {
    return false;
  }
  return (flags & O_NONBLOCK) || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void AsyncSocketReportError(AsyncSocket *asock, int error) {
  AsyncSocketAddRef(asock);
  asock->errorPending = true;
  if (asock->errorFn != nullptr) {
    asock->errorFn(error, asock, asock->errorData);
  } else if (asock->state != AsyncSocketClosed) {
    AsyncSocket_Close(asock);
  }
  asock->errorPending = false;
  AsyncSocketRelease(asock);
}

void AsyncSocketCancelIO(AsyncSocket *asock) {
  AsyncSocketRemoveReadCallback(asock);
  AsyncSocketRemoveWriteCallback(asock);
  asock->recvBuf = nullptr;
  asock->recvPos = 0;
  asock->recvLen = 0;
  asock->recvFn = nullptr;
  asock->recvData = nullptr;

  int written = asock->sendPos;
  asock->sendPos = 0;
  while (asock->sendHead != nullptr) {
    AsyncSocketSendEntry entry = *asock->sendHead;
    delete asock->sendHead;
    asock->sendHead = entry.next;
    if (asock->sendHead == nullptr) {
      asock->sendTail = nullptr;
    }
    if (entry.sentFn != nullptr) {
      entry.sentFn(entry.buf, written, asock, entry.sentData);
    }
    written = 0;
  }
}

int AsyncSocket_SetErrorHandler(AsyncSocket *asock, AsyncSocketErrorFn errorFn, void *errorData) {
  if (asock == nullptr) {
    return ASOCKERR_INVAL;
  }
  asock->errorFn = errorFn;
  asock->errorData = errorData;
  return ASOCKERR_SUCCESS;
}

int AsyncSocket_CancelCallbacks(AsyncSocket *asock) {
  if (asock == nullptr) {
    return ASOCKERR_INVAL;
  }
  if (asock->state == AsyncSocketConnected) {
    AsyncSocketAddRef(asock);
    asock->state = AsyncSocketCBCancelled;
    AsyncSocketCancelIO(asock);
    AsyncSocketRelease(asock);
  }
  return ASOCKERR_SUCCESS;
}

int AsyncSocket_Close(AsyncSocket *asock) {
  if (asock == nullptr) {
    return ASOCKERR_INVAL;
  }
  if (asock->state == AsyncSocketClosed) {
    Warning("%s() called on already closed asock!\n", "AsyncTCPSocketClose");
    return ASOCKERR_CLOSED;
  }
  AsyncSocketAddRef(asock);
  AsyncSocketState previous = asock->state;
  asock->state = AsyncSocketClosed;
  if (previous == AsyncSocketConnected) {
    AsyncSocketCancelIO(asock);
  } else if (previous == AsyncSocketListening) {
    AsyncSocketRemoveAcceptCallback(asock);
  } else if (previous == AsyncSocketConnecting) {
    AsyncSocketRemoveConnectCallback(asock);
  }
  close(asock->fd);
  asock->fd = -1;
  AsyncSocketRelease(asock);  // the owner's reference
  AsyncSocketRelease(asock);
  return ASOCKERR_SUCCESS;
}

int AsyncSocket_GetState(AsyncSocket *asock) {
  if (asock == nullptr) {
    return ASOCKERR_INVAL;
  }
  return asock->state;
}

int AsyncSocket_GetFd(AsyncSocket *asock) {
  return asock == nullptr ? -1 : asock->fd;
}

uint32_t AsyncSocket_GetID(AsyncSocket *asock) {
  return asock == nullptr ? 0 : asock->id;
}

// ---- Error texts ----------------------------------------------------------

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
