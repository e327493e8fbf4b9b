// The socket object and the helpers shared by the socket layer's files.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <mutex>

#include "lib/asyncsocket/asyncsocket.h"
#include "lib/pollDefault/poll.h"

// One buffer waiting to be written, in submission order.
struct AsyncSocketSendEntry {
  AsyncSocketSendEntry *next;
  void *buf;
  int len;
  AsyncSocketSendFn sentFn;
  void *sentData;
};

// How a connecting socket waits for its connection to complete.
enum AsyncSocketConnectWait {
  kConnectWaitNone,
  kConnectWaitTimer,     // connect succeeded at once; a zero-delay timer completes it
  kConnectWaitWritable,  // connect is in progress; writability completes it
};

struct AsyncSocket {
  uint32_t id;
  uint32_t refCount;  // the owner's, plus one per running operation or callback
  int fd;
  AsyncSocketState state;

  AsyncSocketErrorFn errorFn;
  void *errorData;
  bool errorPending;

  // The single pending receive; recvBuf is null when none is installed.
  void *recvBuf;
  int recvPos;
  int recvLen;
  bool recvPartial;
  AsyncSocketRecvFn recvFn;
  void *recvData;

  AsyncSocketSendEntry *sendHead;
  AsyncSocketSendEntry *sendTail;
  int sendPos;  // bytes of the head already written
  bool sendBufFull;

  // A listener's accept handler or a connecting socket's connect handler.
  AsyncSocketConnectFn connectFn;
  void *connectData;
  AsyncSocketConnectWait connectWait;

  struct sockaddr_storage remoteAddr;
  socklen_t remoteAddrLen;
  int lastErrno;

  bool recvRegistered;
  bool sendRegistered;

  // Event-loop settings: the class set of every registration and the lock
  // passed with it (none in this daemon).
  PollClassSet pollClassSet;
  std::mutex *pollLock;
};

AsyncSocket *AsyncSocketCreate(int fd, AsyncSocketState state);
void AsyncSocketAddRef(AsyncSocket *asock);
void AsyncSocketRelease(AsyncSocket *asock);
// Closes the descriptor of a socket that never reached its owner and frees it.
void AsyncSocketDiscard(AsyncSocket *asock);
// Hands an error met inside the loop to the error handler, or closes the
// socket when it has none.
void AsyncSocketReportError(AsyncSocket *asock, int error);
// Forgets the pending receive and removes the read and write callbacks, then
// tells every queued sender the bytes written so far.
void AsyncSocketCancelIO(AsyncSocket *asock);
void AsyncSocketRemoveReadCallback(AsyncSocket *asock);
void AsyncSocketRemoveWriteCallback(AsyncSocket *asock);
void AsyncSocketRemoveConnectCallback(AsyncSocket *asock);
void AsyncSocketRemoveAcceptCallback(AsyncSocket *asock);

bool AsyncSocketMakeNonBlocking(int fd);
// The system's text for an error number, cached for the life of the process.
const char *AsyncSocketErrnoText(int err);

// The socket's registrations with the event loop: reads and accepts stay
// registered after they fire, a write or connect completion fires once.
#define ASOCK_READ_FLAGS (POLL_FLAG_PERIODIC | POLL_FLAG_READ)
#define ASOCK_WRITE_FLAGS (POLL_FLAG_WRITE)
#define ASOCK_TIMER_FLAGS 0
