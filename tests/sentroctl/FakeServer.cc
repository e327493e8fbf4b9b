#include "sentroctl/FakeServer.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace {

// Each wait of the server thread; also how soon it notices the stop.
#define SERVER_POLL_MS 20
// How long a request may take to arrive in full.
#define REQUEST_WAIT_MS 2000
// Requests are never larger than this; a larger announced payload is not read.
#define REQUEST_MAX_PAYLOAD 4096

// Reads exactly size bytes within REQUEST_WAIT_MS; false if they do not come.
bool ReadExactly(int fd, uint8_t *into, size_t size) {
  size_t got = 0;
  int waited = 0;
  while (got < size && waited < REQUEST_WAIT_MS) {
    struct pollfd entry = {fd, POLLIN, 0};
    if (poll(&entry, 1, SERVER_POLL_MS) <= 0) {
      waited += SERVER_POLL_MS;
      continue;
    }
    ssize_t n = read(fd, into + got, size - got);
    if (n <= 0) {
      return false;
    }
    got += n;
  }
  return got == size;
}

uint32_t LittleEndian32(const uint8_t *at) {
  return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

}  // namespace

FakeServer::FakeServer(const std::string &path) : path_(path) {
  listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address;
  memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (listenFd_ < 0 ||
      bind(listenFd_, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) != 0 ||
      listen(listenFd_, 8) != 0) {
    ADD_FAILURE() << "cannot listen on " << path << ": " << strerror(errno);
    if (listenFd_ >= 0) {
      close(listenFd_);
    }
    listenFd_ = -1;
    return;
  }
  thread_ = std::thread([this] { Serve(); });
}

FakeServer::~FakeServer() {
  stopping_ = true;
  if (thread_.joinable()) {
    thread_.join();
  }
  for (int fd : heldOpen_) {
    close(fd);
  }
  if (listenFd_ >= 0) {
    close(listenFd_);
    unlink(path_.c_str());
  }
}

void FakeServer::Reply(const std::vector<uint8_t> &bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back({Action::Reply, bytes});
}

void FakeServer::Silent(const std::vector<uint8_t> &partial) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back({Action::Silent, partial});
}

void FakeServer::CloseUnanswered() {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back({Action::Close, {}});
}

std::vector<std::vector<uint8_t>> FakeServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void FakeServer::Serve() {
  while (!stopping_) {
    struct pollfd entry = {listenFd_, POLLIN, 0};
    if (poll(&entry, 1, SERVER_POLL_MS) <= 0) {
      continue;
    }
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      Answer(fd);
    }
  }
}

void FakeServer::Answer(int fd) {
  std::vector<uint8_t> request(16);
  if (ReadExactly(fd, request.data(), 16)) {
    uint32_t payloadLength = LittleEndian32(&request[12]);
    if (payloadLength <= REQUEST_MAX_PAYLOAD) {
      request.resize(16 + payloadLength);
      ReadExactly(fd, request.data() + 16, payloadLength);
    }
  } else {
    request.clear();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(request);
  Step step{Action::Close, {}};
  if (nextStep_ < script_.size()) {
    step = script_[nextStep_++];
  }
  if (step.action != Action::Close) {
    size_t sent = 0;
    while (sent < step.bytes.size()) {
      ssize_t n = send(fd, step.bytes.data() + sent, step.bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) {
        break;
      }
      sent += n;
    }
  }
  if (step.action == Action::Silent) {
    heldOpen_.push_back(fd);
  } else {
    close(fd);
  }
}
