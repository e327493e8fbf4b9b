#include "tools/sentroctl/ControlClient.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace {

// How long to wait before trying again when the listen backlog is full.
#define CONNECT_RETRY_MS 10

int RemainingMs(ClientDeadline deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) {
    return 0;
  }
  return left.count() > INT32_MAX ? INT32_MAX : static_cast<int>(left.count());
}

// Waits until fd is ready for events; false when the deadline passes first.
bool WaitReady(int fd, short events, ClientDeadline deadline) {
  for (;;) {
    struct pollfd entry = {fd, events, 0};
    int ready = poll(&entry, 1, RemainingMs(deadline));
    if (ready > 0) {
      return true;
    }
    if (ready == 0 || errno != EINTR) {
      return false;
    }
  }
}

class Socket {
 public:
  Socket() : fd_(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {}
  ~Socket() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  Socket(const Socket &) = delete;
  Socket &operator=(const Socket &) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

ClientError Connect(int fd, const std::string &path, ClientDeadline deadline, std::string *detail) {
  struct sockaddr_un address;
  memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    *detail = "socket path " + path + " is too long for a Unix-domain socket";
    return ClientError::Unreachable;
  }
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  for (;;) {
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) == 0) {
      return ClientError::None;
    }
    int error = errno;
    switch (error) {
      case EINTR:
        continue;
      case EAGAIN:  // the daemon's listen backlog is full: it is busy, try again
        if (RemainingMs(deadline) == 0) {
          *detail = "the daemon did not accept the connection on " + path + " in time";
          return ClientError::TimedOut;
        }
        poll(nullptr, 0, CONNECT_RETRY_MS);
        continue;
      case ENOENT:
        *detail = "the sentro daemon is not running: no control socket at " + path;
        return ClientError::NotRunning;
      case ECONNREFUSED:
        *detail = "the sentro daemon is not running: connection refused on " + path;
        return ClientError::NotRunning;
      case EACCES:
      case EPERM:
        *detail = "permission denied on " + path +
                  ": run as root or as a member of the control socket's group";
        return ClientError::PermissionDenied;
      default:
        *detail = "cannot connect to " + path + ": " + strerror(error);
        return ClientError::Unreachable;
    }
  }
}

ClientError SendAll(int fd, const std::vector<uint8_t> &bytes, ClientDeadline deadline,
                    std::string *detail) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += n;
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno == EAGAIN) {
      if (!WaitReady(fd, POLLOUT, deadline)) {
        *detail = "timed out sending the request to the daemon";
        return ClientError::TimedOut;
      }
      continue;
    }
    *detail = std::string("the daemon closed the connection before taking the request (") +
              (n == 0 ? "nothing sent" : strerror(errno)) + ")";
    return ClientError::Protocol;
  }
  return ClientError::None;
}

// Reads exactly size bytes into `into`, counting them in *received. Ends
// with TimedOut at the deadline and with Protocol when the connection ends
// or fails first.
ClientError ReceiveExactly(int fd, uint8_t *into, size_t size, ClientDeadline deadline,
                           size_t *received) {
  *received = 0;
  while (*received < size) {
    ssize_t n = recv(fd, into + *received, size - *received, 0);
    if (n > 0) {
      *received += n;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      if (!WaitReady(fd, POLLIN, deadline)) {
        return ClientError::TimedOut;
      }
    } else {
      return ClientError::Protocol;
    }
  }
  return ClientError::None;
}

std::string Truncated(const char *what, size_t received, size_t size) {
  return std::string("truncated ") + what + ": " + std::to_string(received) + " of " +
         std::to_string(size) + " bytes before the connection ended";
}

bool IsReplyHeader(const MessageHeader &header, std::string *detail) {
  if (header.magic != MESSAGE_MAGIC || header.version != MESSAGE_VERSION) {
    *detail = "the reply is not a control protocol message (bad magic or version)";
    return false;
  }
  if (header.type != static_cast<uint32_t>(MessageType::SuccessReply) &&
      header.type != static_cast<uint32_t>(MessageType::ErrorReply)) {
    *detail = "the reply has type " + std::to_string(header.type) + ", not a reply type";
    return false;
  }
  if (header.payloadLength > CLIENT_MAX_REPLY_PAYLOAD) {
    *detail = "the reply announces " + std::to_string(header.payloadLength) +
              " payload bytes, more than a reply can hold";
    return false;
  }
  return true;
}

}  // namespace

ClientError ControlExchange(const std::string &socketPath, const std::vector<uint8_t> &request,
                            ClientDeadline deadline, ClientReply *reply, std::string *detail) {
  Socket sock;
  if (sock.fd() < 0) {
    *detail = std::string("cannot create a socket: ") + strerror(errno);
    return ClientError::Unreachable;
  }
  ClientError error = Connect(sock.fd(), socketPath, deadline, detail);
  if (error == ClientError::None) {
    error = SendAll(sock.fd(), request, deadline, detail);
  }
  if (error != ClientError::None) {
    return error;
  }
  uint8_t headerBytes[MESSAGE_HEADER_SIZE];
  size_t received = 0;
  error = ReceiveExactly(sock.fd(), headerBytes, sizeof(headerBytes), deadline, &received);
  if (error == ClientError::TimedOut) {
    *detail = "timed out waiting for the daemon's reply";
    return error;
  }
  if (error == ClientError::Protocol) {
    *detail = received == 0 ? "the daemon closed the connection without replying"
                            : Truncated("reply header", received, sizeof(headerBytes));
    return error;
  }
  reply->header = DecodeMessageHeader(headerBytes);
  if (!IsReplyHeader(reply->header, detail)) {
    return ClientError::Protocol;
  }
  reply->payload.assign(reply->header.payloadLength, 0);
  error =
      ReceiveExactly(sock.fd(), reply->payload.data(), reply->payload.size(), deadline, &received);
  if (error == ClientError::TimedOut) {
    *detail = "timed out in the middle of the daemon's reply";
  } else if (error == ClientError::Protocol) {
    *detail = Truncated("reply", MESSAGE_HEADER_SIZE + received,
                        MESSAGE_HEADER_SIZE + reply->payload.size());
  }
  return error;
}
