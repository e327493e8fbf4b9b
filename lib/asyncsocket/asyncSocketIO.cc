// Exact-length receives, the send queue and the read and write steps that
// the event loop runs when the descriptor is ready.
#include <errno.h>
#include <sys/socket.h>

#include "lib/asyncsocket/asyncSocketInt.h"
#include "lib/log/log.h"

static void ReadCallback(void *clientData);
static void WriteCallback(void *clientData);

static int AddReadCallback(AsyncSocket *asock) {
  return PollAddCallback(asock->pollClassSet, ASOCK_READ_FLAGS, ReadCallback, asock, POLL_DEVICE,
                         asock->fd, asock->pollLock);
}

static int AddWriteCallback(AsyncSocket *asock) {
  return PollAddCallback(asock->pollClassSet, ASOCK_WRITE_FLAGS, WriteCallback, asock, POLL_DEVICE,
                         asock->fd, asock->pollLock);
}

void AsyncSocketRemoveReadCallback(AsyncSocket *asock) {
  if (asock->recvRegistered) {
    PollRemoveCallback(asock->pollClassSet, ASOCK_READ_FLAGS, ReadCallback, asock, POLL_DEVICE);
    asock->recvRegistered = false;
  }
}

void AsyncSocketRemoveWriteCallback(AsyncSocket *asock) {
  if (asock->sendRegistered) {
    PollRemoveCallback(asock->pollClassSet, ASOCK_WRITE_FLAGS, WriteCallback, asock, POLL_DEVICE);
    asock->sendRegistered = false;
  }
}

static void ClearReceive(AsyncSocket *asock) {
  asock->recvBuf = nullptr;
  asock->recvPos = 0;
  asock->recvLen = 0;
  asock->recvFn = nullptr;
  asock->recvData = nullptr;
}

int AsyncSocket_Recv(AsyncSocket *asock, void *buf, int len, AsyncSocketRecvFn recvFn,
                     void *recvData) {
  if (asock == nullptr) {
    return ASOCKERR_INVAL;
  }
  if (asock->errorFn == nullptr) {
    Warning("SOCKET %d (%d) %s: no registered error handler!\n", asock->id, asock->fd,
            "AsyncTCPSocketRecv");
    return ASOCKERR_INVAL;
  }
  if (buf == nullptr || recvFn == nullptr || len <= 0) {
    Warning("SOCKET Recv called with invalid arguments!\n");
    return ASOCKERR_INVAL;
  }
  if (asock->state != AsyncSocketConnected) {
    Warning("SOCKET %d (%d) recv called but state is not connected!\n", asock->id, asock->fd);
    return ASOCKERR_NOTCONNECTED;
  }
  if (!asock->recvRegistered) {
    if (AddReadCallback(asock) != POLL_OK) {
      Warning("SOCKET %d (%d) failed to install %s callback!\n", asock->id, asock->fd, "recv");
      return ASOCKERR_POLL;
    }
    asock->recvRegistered = true;
  }
  if (asock->recvBuf != nullptr && asock->recvPos > 0) {
    Warning("SOCKET %d (%d) Recv called -- partially read buffer discarded.\n", asock->id,
            asock->fd);
  }
  asock->recvBuf = buf;
  asock->recvPos = 0;
  asock->recvLen = len;
  asock->recvPartial = false;
  asock->recvFn = recvFn;
  asock->recvData = recvData;
  return ASOCKERR_SUCCESS;
}

int AsyncSocket_CancelRecv(AsyncSocket *asock) {
  if (asock == nullptr) {
    return ASOCKERR_INVAL;
  }
  if (asock->state != AsyncSocketConnected) {
    Warning("SOCKET Failed to cancel request on disconnected socket!\n");
    return ASOCKERR_INVAL;
  }
  if (asock->sendHead != nullptr) {
    Warning("SOCKET Can't cancel request as socket has send operation pending.\n");
    return ASOCKERR_INVAL;
  }
  AsyncSocketRemoveReadCallback(asock);
  ClearReceive(asock);
  return ASOCKERR_SUCCESS;
}

// A read that cannot go on (the peer closed, or a read error) stops the read
// callback, so a socket at end of file does not wake the loop again while its
// owner decides what to do; a new receive registers it again.
static void FailRead(AsyncSocket *asock, int error) {
  AsyncSocketRemoveReadCallback(asock);
  AsyncSocketReportError(asock, error);
}

// Delivers a full buffer. Returns whether the read step should go on.
static bool CompleteReceive(AsyncSocket *asock) {
  void *buf = asock->recvBuf;
  int filled = asock->recvPos;
  AsyncSocketRecvFn recvFn = asock->recvFn;
  void *recvData = asock->recvData;
  asock->recvBuf = nullptr;
  asock->recvPos = 0;

  recvFn(buf, filled, asock, recvData);

  if (asock->state == AsyncSocketClosed) {
    Log("SOCKET %d (%d) owner closed connection in recv callback\n", asock->id, asock->fd);
    return false;
  }
  if (asock->recvFn == nullptr || asock->state != AsyncSocketConnected) {
    return false;  // the handler cancelled the receive
  }
  if (asock->recvBuf == nullptr) {
    // Neither cancelled nor replaced: receive the next message into the same buffer.
    asock->recvBuf = buf;
    asock->recvPos = 0;
  }
  return true;
}

static void ReadStep(AsyncSocket *asock) {
  while (asock->recvBuf != nullptr && asock->state == AsyncSocketConnected) {
    char *into = static_cast<char *>(asock->recvBuf) + asock->recvPos;
    ssize_t got = recv(asock->fd, into, asock->recvLen - asock->recvPos, 0);
    if (got == 0) {
      Log("SOCKET %d (%d) recv detected client closed connection\n", asock->id, asock->fd);
      FailRead(asock, ASOCKERR_REMOTE_DISCONNECT);
      return;
    }
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return;
      }
      asock->lastErrno = errno;
      Log("SOCKET %d (%d) recv error %d: %s\n", asock->id, asock->fd, errno,
          AsyncSocketErrnoText(errno));
      FailRead(asock, ASOCKERR_GENERIC);
      return;
    }
    asock->recvPos += static_cast<int>(got);
    if (asock->recvPos == asock->recvLen && !CompleteReceive(asock)) {
      return;
    }
  }
}

static void ReadCallback(void *clientData) {
  AsyncSocket *asock = static_cast<AsyncSocket *>(clientData);
  AsyncSocketAddRef(asock);
  ReadStep(asock);
  AsyncSocketRelease(asock);
}

int AsyncSocket_Send(AsyncSocket *asock, void *buf, int len, AsyncSocketSendFn sentFn,
                     void *sentData) {
  if (asock == nullptr) {
    return ASOCKERR_INVAL;
  }
  if (buf == nullptr || len <= 0) {
    Warning("SOCKET Send called with invalid arguments!buffer: %p length: %d\n", buf, len);
    return ASOCKERR_INVAL;
  }
  if (asock->state != AsyncSocketConnected) {
    Warning("SOCKET %d (%d) send called but state is not connected!\n", asock->id, asock->fd);
    return ASOCKERR_NOTCONNECTED;
  }
  AsyncSocketSendEntry *entry = new AsyncSocketSendEntry{nullptr, buf, len, sentFn, sentData};
  bool wasEmpty = asock->sendHead == nullptr;
  if (wasEmpty) {
    asock->sendHead = entry;
  } else {
    asock->sendTail->next = entry;
  }
  asock->sendTail = entry;
  if (wasEmpty && !asock->sendRegistered) {
    if (AddWriteCallback(asock) != POLL_OK) {
      asock->sendHead = asock->sendTail = nullptr;
      delete entry;
      return ASOCKERR_POLL;
    }
    asock->sendRegistered = true;
  }
  return ASOCKERR_SUCCESS;
}

// Takes the fully written head off the queue and tells its sender. Returns
// whether the write step should go on.
static bool CompleteSend(AsyncSocket *asock) {
  AsyncSocketSendEntry entry = *asock->sendHead;
  delete asock->sendHead;
  asock->sendHead = entry.next;
  if (asock->sendHead == nullptr) {
    asock->sendTail = nullptr;
  }
  asock->sendPos = 0;
  if (entry.sentFn != nullptr) {
    entry.sentFn(entry.buf, entry.len, asock, entry.sentData);
  }
  if (asock->state == AsyncSocketClosed) {
    Log("SOCKET %d (%d) owner closed connection in send callback\n", asock->id, asock->fd);
    return false;
  }
  return true;
}

// Returns false when the step met an error and reported it.
static bool WriteQueued(AsyncSocket *asock) {
  asock->sendBufFull = false;
  while (asock->sendHead != nullptr && asock->state == AsyncSocketConnected) {
    AsyncSocketSendEntry *head = asock->sendHead;
    const char *from = static_cast<const char *>(head->buf) + asock->sendPos;
    ssize_t sent = send(asock->fd, from, head->len - asock->sendPos, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        asock->sendBufFull = true;
        return true;
      }
      int err = errno;
      asock->lastErrno = err;
      Log("SOCKET %d (%d) send error %d: %s\n", asock->id, asock->fd, err,
          AsyncSocketErrnoText(err));
      bool gone = err == EPIPE || err == ECONNRESET;
      AsyncSocketReportError(asock, gone ? ASOCKERR_REMOTE_DISCONNECT : ASOCKERR_GENERIC);
      return false;
    }
    if (sent == 0) {
      AsyncSocketReportError(asock, ASOCKERR_GENERIC);
      return false;
    }
    asock->sendPos += static_cast<int>(sent);
    if (asock->sendPos == head->len && !CompleteSend(asock)) {
      return false;
    }
  }
  return true;
}

static void WriteStep(AsyncSocket *asock) {
  if (!WriteQueued(asock)) {
    return;
  }
  if (asock->sendHead == nullptr || asock->state != AsyncSocketConnected || asock->sendRegistered) {
    return;
  }
  // The write callback fires once; data left over needs it again. If the
  // loop refuses, the queue can never drain, so the owner hears of it.
  if (AddWriteCallback(asock) != POLL_OK) {
    Warning("SOCKET %d (%d) failed to install %s callback!\n", asock->id, asock->fd, "send");
    AsyncSocketReportError(asock, ASOCKERR_POLL);
    return;
  }
  asock->sendRegistered = true;
}

static void WriteCallback(void *clientData) {
  AsyncSocket *asock = static_cast<AsyncSocket *>(clientData);
  AsyncSocketAddRef(asock);
  asock->sendRegistered = false;  // it fired once and is gone from the loop
  WriteStep(asock);
  AsyncSocketRelease(asock);
}
