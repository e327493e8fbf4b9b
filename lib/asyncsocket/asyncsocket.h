// Non-blocking Unix-domain stream sockets driven by the event loop.
//
// An AsyncSocket wraps one socket descriptor. Its owner asks to receive
// exactly N bytes or to send a buffer and is called back, on the event-loop
// thread, when that has happened or when the connection fails. Errors met
// inside the loop never return to the caller of the operation that started
// them: they go to the socket's error handler, and a socket without one is
// closed.
//
// Lifetime: a socket is created by AsyncSocket_ListenUnix, by a listener's
// accept handler receiving a new connection, or by AsyncSocket_ConnectUnix,
// and belongs to its owner until AsyncSocket_Close. The object is reference
// counted, so the owner may close it from inside any of its callbacks; the
// memory goes when the last callback holding it returns.
//
// Typical server:
//   AsyncSocket *listener = AsyncSocket_ListenUnix(path, OnAccept, server, &error);
//   AsyncSocket_SetErrorHandler(listener, OnListenError, server);
//   void OnAccept(AsyncSocket *conn, void *server) {
//     AsyncSocket_SetErrorHandler(conn, OnConnError, request);
//     AsyncSocket_Recv(conn, request->header, 16, OnHeader, request);
//   }
#pragma once

#include <cstdint>

struct AsyncSocket;  // opaque

enum AsyncSocketState {
  AsyncSocketListening = 0,
  AsyncSocketConnecting = 1,
  AsyncSocketConnected = 2,
  AsyncSocketCBCancelled = 3,  // callbacks cancelled before close
  AsyncSocketClosed = 4,
};

// Error codes returned by operations and passed to error handlers.
enum AsyncSocketError {
  ASOCKERR_SUCCESS = 0,
  ASOCKERR_GENERIC = 1,
  ASOCKERR_TIMEOUT = 2,
  ASOCKERR_NOTCONNECTED = 3,
  ASOCKERR_REMOTE_DISCONNECT = 4,
  ASOCKERR_INVAL = 5,
  ASOCKERR_CONNECT = 6,
  ASOCKERR_ACCEPT = 7,  // has no text of its own
  ASOCKERR_POLL = 8,
  ASOCKERR_CLOSED = 9,
  ASOCKERR_BIND = 10,
  ASOCKERR_BINDADDRINUSE = 11,
  ASOCKERR_LISTEN = 12,
  ASOCKERR_CONNECTSSL = 13,
  ASOCKERR_NETUNREACH = 14,
  ASOCKERR_ADDRUNRESV = 15,
  ASOCKERR_BUSY = 16,
  ASOCKERR_PROXY_NEEDS_AUTHENTICATION = 17,
  ASOCKERR_PROXY_CONNECT_FAILED = 18,
  ASOCKERR_WEBSOCKET_UPGRADE_FAILED = 19,
  ASOCKERR_WEBSOCKET_TOO_MANY_CONNECTION = 20,
  ASOCKERR_PROXY_INVALID_OR_NOT_SUPPORTED = 21,
};

// A listener's accept handler receives each new connection, which then
// belongs to the handler; a connecting socket's handler is called once the
// connection is established.
typedef void (*AsyncSocketConnectFn)(AsyncSocket *asock, void *clientData);
// Called with the buffer given to AsyncSocket_Recv once `len` bytes are in it.
typedef void (*AsyncSocketRecvFn)(void *buf, int len, AsyncSocket *asock, void *clientData);
// Called when a buffer given to AsyncSocket_Send has been written completely,
// or with the bytes written so far when pending sends are cancelled.
typedef void (*AsyncSocketSendFn)(void *buf, int len, AsyncSocket *asock, void *clientData);
// Called with an AsyncSocketError when the socket fails inside the loop.
typedef void (*AsyncSocketErrorFn)(int error, AsyncSocket *asock, void *clientData);

// Listens on a Unix-domain path (shorter than 108 characters; an existing
// file there makes the bind fail). Returns null and sets *outError on failure.
AsyncSocket *AsyncSocket_ListenUnix(const char *path, AsyncSocketConnectFn acceptFn,
                                    void *acceptData, int *outError);

// Starts connecting to a Unix-domain path. Returns a socket in the
// Connecting state, or null with *outError (6 when nothing listens there).
AsyncSocket *AsyncSocket_ConnectUnix(const char *path, AsyncSocketConnectFn connectFn,
                                     void *connectData, int *outError);

// Installs the error handler. Returns 0.
int AsyncSocket_SetErrorHandler(AsyncSocket *asock, AsyncSocketErrorFn errorFn, void *errorData);

// Receives exactly `len` bytes into `buf`. Needs an error handler and a
// connected socket. Replaces any pending receive. After recvFn returns, the
// socket goes on receiving the next `len` bytes into the same buffer unless
// the handler cancelled the receive, installed another one or closed the
// socket.
int AsyncSocket_Recv(AsyncSocket *asock, void *buf, int len, AsyncSocketRecvFn recvFn,
                     void *recvData);

// Queues `buf` for sending. The caller keeps the buffer alive until sentFn
// (which may be null) has run.
int AsyncSocket_Send(AsyncSocket *asock, void *buf, int len, AsyncSocketSendFn sentFn,
                     void *sentData);

// Drops the pending receive. Fails with 5 on a socket that is not connected
// or has a send pending.
int AsyncSocket_CancelRecv(AsyncSocket *asock);

// Stops all receive and send activity of a connected socket before a close;
// queued senders are told the bytes written so far. Returns 0.
int AsyncSocket_CancelCallbacks(AsyncSocket *asock);

// Closes the socket and drops the owner's reference. Returns 0, or 9 when it
// was already closed.
int AsyncSocket_Close(AsyncSocket *asock);

// The AsyncSocketState, or 5 without a socket.
int AsyncSocket_GetState(AsyncSocket *asock);

// The descriptor, or -1.
int AsyncSocket_GetFd(AsyncSocket *asock);

// The process-wide serial number printed first in "SOCKET %d (%d) " messages,
// or 0 without a socket.
uint32_t AsyncSocket_GetID(AsyncSocket *asock);

// The English text of an error code, for "%s" in the owner's messages.
const char *AsyncSocket_ErrorText(int error);

// The catalogue string of an error code: its message id followed by its
// English text. Code 7 and codes above 21 log a warning and give the
// catalogue string of "Unknown error".
const char *AsyncSocket_MsgError(int error);
