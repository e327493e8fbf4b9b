// The socket object: creation, reference counting, error reporting, state
// queries and close.
#include <fcntl.h>
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
