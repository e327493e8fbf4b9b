// Unix-domain stream sockets: listening, accepting and connecting.
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "lib/asyncsocket/asyncSocketInt.h"
#include "lib/log/log.h"

static void AcceptCallback(void *clientData);
static void ConnectCallback(void *clientData);

static void SetError(int *outError, int error) {
  if (outError != nullptr) {
    *outError = error;
  }
}

// Fills a Unix-domain address; a path that would not fit with its
// terminating zero is refused.
static bool BuildUnixAddress(const char *path, struct sockaddr_un *addr) {
  if (path == nullptr) {
    return false;
  }
  if (strlen(path) >= sizeof addr->sun_path) {
    Warning("SOCKET Path '%s' is too long for a unix domain socket!\n", path);
    return false;
  }
  memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  strncpy(addr->sun_path, path, sizeof addr->sun_path - 1);
  return true;
}

static int ConnectErrorCode(int err) {
  return err == ENETUNREACH || err == EHOSTUNREACH ? ASOCKERR_NETUNREACH : ASOCKERR_CONNECT;
}

void AsyncSocketRemoveAcceptCallback(AsyncSocket *asock) {
  PollRemoveCallback(asock->pollClassSet, ASOCK_READ_FLAGS, AcceptCallback, asock, POLL_DEVICE);
}

void AsyncSocketRemoveConnectCallback(AsyncSocket *asock) {
  if (asock->connectWait == kConnectWaitTimer) {
    PollRemoveCallback(asock->pollClassSet, ASOCK_TIMER_FLAGS, ConnectCallback, asock,
                       POLL_REALTIME);
  } else if (asock->connectWait == kConnectWaitWritable) {
    PollRemoveCallback(asock->pollClassSet, ASOCK_WRITE_FLAGS, ConnectCallback, asock, POLL_DEVICE);
  }
  asock->connectWait = kConnectWaitNone;
}

/*
 * Listening and accepting.
 */

// Binds, listens and registers the accept callback. Returns an error code.
static int StartListening(AsyncSocket *asock, const struct sockaddr_un *addr,
                          AsyncSocketConnectFn acceptFn) {
  if (bind(asock->fd, reinterpret_cast<const sockaddr *>(addr), sizeof *addr) != 0) {
    int err = errno;
    Warning("SOCKET Could not bind socket, error %d: %s\n", err, AsyncSocketErrnoText(err));
    return err == EADDRINUSE ? ASOCKERR_BINDADDRINUSE : ASOCKERR_BIND;
  }
  if (acceptFn == nullptr) {
    Warning("SOCKET invalid arguments to listen!\n");
    return ASOCKERR_INVAL;
  }
  if (listen(asock->fd, 5) != 0) {
    int err = errno;
    Warning("SOCKET could not listen on socket, error %d: %s\n", err, AsyncSocketErrnoText(err));
    return ASOCKERR_LISTEN;
  }
  if (PollAddCallback(asock->pollClassSet, ASOCK_READ_FLAGS, AcceptCallback, asock, POLL_DEVICE,
                      asock->fd, asock->pollLock) != POLL_OK) {
    Warning("SOCKET %d (%d) could not register accept callback!\n", asock->id, asock->fd);
    return ASOCKERR_POLL;
  }
  return ASOCKERR_SUCCESS;
}

AsyncSocket *AsyncSocket_ListenUnix(const char *path, AsyncSocketConnectFn acceptFn,
                                    void *acceptData, int *outError) {
  struct sockaddr_un addr;
  if (!BuildUnixAddress(path, &addr)) {
    SetError(outError, ASOCKERR_INVAL);
    return nullptr;
  }
  Log("SOCKET creating new socket listening on %s\n", path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Warning("SOCKET could not create new socket, error %d: %s\n", errno,
            AsyncSocketErrnoText(errno));
    SetError(outError, ASOCKERR_GENERIC);
    return nullptr;
  }
  if (!AsyncSocketMakeNonBlocking(fd)) {
    Warning("SOCKET failed to make fd %d non-blocking!: %d, %s\n", fd, errno,
            AsyncSocketErrnoText(errno));
    close(fd);
    SetError(outError, ASOCKERR_GENERIC);
    return nullptr;
  }
  AsyncSocket *asock = AsyncSocketCreate(fd, AsyncSocketListening);
  Log("SOCKET %d (%d) creating new listening socket on port %d\n", asock->id, asock->fd, 0);
  int error = StartListening(asock, &addr, acceptFn);
  if (error != ASOCKERR_SUCCESS) {
    AsyncSocketDiscard(asock);
    SetError(outError, error);
    return nullptr;
  }
  asock->connectFn = acceptFn;
  asock->connectData = acceptData;
  SetError(outError, ASOCKERR_SUCCESS);
  return asock;
}

static bool IsMappedIPv4(const struct sockaddr_storage &addr) {
  if (addr.ss_family != AF_INET6) {
    return false;
  }
  const auto *in6 = reinterpret_cast<const struct sockaddr_in6 *>(&addr);
  return IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr);
}

static void AcceptStep(AsyncSocket *listener) {
  struct sockaddr_storage addr;
  socklen_t addrLen = sizeof addr;
  int fd = accept4(listener->fd, reinterpret_cast<sockaddr *>(&addr), &addrLen,
                   SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    listener->lastErrno = err;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      Warning("SOCKET %d (%d) spurious accept notification\n", listener->id, listener->fd);
    } else if (err == ECONNABORTED) {
      Log("SOCKET %d (%d) accept: new connection was canceled.\n", listener->id, listener->fd);
    } else {
      Warning("SOCKET %d (%d) accept failed on fd %d, error %d: %s\n", listener->id, listener->fd,
              listener->fd, err, AsyncSocketErrnoText(err));
      AsyncSocketReportError(listener, ASOCKERR_ACCEPT);
    }
    return;
  }
  if (IsMappedIPv4(addr)) {
    Warning(
        "SOCKET %d (%d) accept rejected on fd %d due to a IPv4-mapped IPv6 remote connection "
        "address.\n",
        listener->id, listener->fd, fd);
    close(fd);
    AsyncSocketReportError(listener, ASOCKERR_ACCEPT);
    return;
  }
  AsyncSocket *conn = AsyncSocketCreate(fd, AsyncSocketConnected);
  conn->pollClassSet = listener->pollClassSet;
  conn->pollLock = listener->pollLock;
  conn->remoteAddr = addr;
  conn->remoteAddrLen = addrLen;
  listener->connectFn(conn, listener->connectData);
}

static void AcceptCallback(void *clientData) {
  AsyncSocket *listener = static_cast<AsyncSocket *>(clientData);
  AsyncSocketAddRef(listener);
  AcceptStep(listener);
  AsyncSocketRelease(listener);
}

/*
 * Connecting.
 */

// Starts the connect and registers its completion. Returns an error code;
// the failure messages are logged here.
static int StartConnect(AsyncSocket *asock, const struct sockaddr_un *addr) {
  if (connect(asock->fd, reinterpret_cast<const sockaddr *>(addr), sizeof *addr) == 0) {
    asock->connectWait = kConnectWaitTimer;
  } else if (errno == EINPROGRESS) {
    asock->connectWait = kConnectWaitWritable;
  } else {
    int err = errno;
    asock->lastErrno = err;
    Log("SOCKET connect failed, error %d: %s\n", err, AsyncSocketErrnoText(err));
    return ConnectErrorCode(err);
  }
  int status = asock->connectWait == kConnectWaitTimer
                   ? PollAddCallback(asock->pollClassSet, ASOCK_TIMER_FLAGS, ConnectCallback, asock,
                                     POLL_REALTIME, 0, asock->pollLock)
                   : PollAddCallback(asock->pollClassSet, ASOCK_WRITE_FLAGS, ConnectCallback, asock,
                                     POLL_DEVICE, asock->fd, asock->pollLock);
  if (status != POLL_OK) {
    asock->connectWait = kConnectWaitNone;
    Warning("SOCKET %d (%d) failed to register callback in connect!\n", asock->id, asock->fd);
    return ASOCKERR_POLL;
  }
  return ASOCKERR_SUCCESS;
}

AsyncSocket *AsyncSocket_ConnectUnix(const char *path, AsyncSocketConnectFn connectFn,
                                     void *connectData, int *outError) {
  struct sockaddr_un addr;
  if (!BuildUnixAddress(path, &addr)) {
    SetError(outError, ASOCKERR_INVAL);
    return nullptr;
  }
  Log("SOCKET creating new socket, connecting to %s\n", path);
  if (connectFn == nullptr) {
    Warning("SOCKET invalid arguments to connect!\n");
    SetError(outError, ASOCKERR_INVAL);
    return nullptr;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Warning("SOCKET failed to create socket, error %d: %s\n", errno, AsyncSocketErrnoText(errno));
    SetError(outError, ASOCKERR_CONNECT);
    return nullptr;
  }
  if (!AsyncSocketMakeNonBlocking(fd)) {
    Warning("SOCKET failed to make fd %d non-blocking!: %d, %s\n", fd, errno,
            AsyncSocketErrnoText(errno));
    close(fd);
    SetError(outError, ASOCKERR_CONNECT);
    return nullptr;
  }
  AsyncSocket *asock = AsyncSocketCreate(fd, AsyncSocketConnecting);
  int error = StartConnect(asock, &addr);
  if (error != ASOCKERR_SUCCESS) {
    AsyncSocketDiscard(asock);
    SetError(outError, error);
    return nullptr;
  }
  asock->connectFn = connectFn;
  asock->connectData = connectData;
  memcpy(&asock->remoteAddr, &addr, sizeof addr);
  asock->remoteAddrLen = sizeof addr;
  SetError(outError, ASOCKERR_SUCCESS);
  return asock;
}

// Returns an error code; on success the socket is connected.
static int FinishConnect(AsyncSocket *asock) {
  int pending = 0;
  socklen_t len = sizeof pending;
  if (getsockopt(asock->fd, SOL_SOCKET, SO_ERROR, &pending, &len) != 0) {
    int err = errno;
    asock->lastErrno = err;
    Warning("SOCKET getsockopt for connect on fd %d failed with error %d : %s\n", asock->fd, err,
            AsyncSocketErrnoText(err));
    return ASOCKERR_GENERIC;
  }
  if (pending != 0) {
    asock->lastErrno = pending;
    return ConnectErrorCode(pending);
  }
  struct sockaddr_storage local;
  socklen_t localLen = sizeof local;
  if (getsockname(asock->fd, reinterpret_cast<sockaddr *>(&local), &localLen) != 0) {
    int err = errno;
    asock->lastErrno = err;
    Warning("SOCKET getsockname for connect on fd %d failed with error %d: %s\n", asock->fd, err,
            AsyncSocketErrnoText(err));
    return ASOCKERR_GENERIC;
  }
  asock->state = AsyncSocketConnected;
  return ASOCKERR_SUCCESS;
}

static void ConnectCallback(void *clientData) {
  AsyncSocket *asock = static_cast<AsyncSocket *>(clientData);
  AsyncSocketAddRef(asock);
  asock->connectWait = kConnectWaitNone;  // a one-shot registration, gone once fired
  int error = FinishConnect(asock);
  if (error == ASOCKERR_SUCCESS) {
    asock->connectFn(asock, asock->connectData);
  } else {
    AsyncSocketReportError(asock, error);
  }
  AsyncSocketRelease(asock);
}
