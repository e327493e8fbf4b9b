#include "sentroctl/FakeServer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

FakeServer::FakeServer(const std::string &path) : path_(path) {
  listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  if (bind(listenFd_, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0 ||
      listen(listenFd_, 8) != 0) {
    ADD_FAILURE() << "cannot listen on " << path << ": " << strerror(errno);
    return;
  }
  thread_ = std::thread([this] { Serve(); });
}

FakeServer::~FakeServer() {
  shutdown(listenFd_, SHUT_RDWR);  // wakes the accept
  if (thread_.joinable()) {
    thread_.join();
  }
  for (int fd : held_) {
    close(fd);
  }
  close(listenFd_);
  unlink(path_.c_str());
}

void FakeServer::Reply(const std::vector<uint8_t> &bytes, bool hold) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.emplace_back(bytes, hold);
}

std::vector<std::vector<uint8_t>> FakeServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void FakeServer::Serve() {
  for (int fd; (fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
    struct timeval timeout = {2, 0};  // a request arrives in full well within this
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::vector<uint8_t> request(16);
    ssize_t got = recv(fd, request.data(), 16, MSG_WAITALL);
    uint32_t length = 0;  // requests are never larger than 4096 bytes
    if (got == 16 && memcpy(&length, &request[12], 4) && length > 0 && length <= 4096) {
      request.resize(16 + length);
      got = 16 + std::max<ssize_t>(recv(fd, request.data() + 16, length, MSG_WAITALL), 0);
    }
    request.resize(std::max<ssize_t>(got, 0));
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    auto [bytes, hold] = requests_.size() <= script_.size()
                             ? script_[requests_.size() - 1]
                             : std::pair<std::vector<uint8_t>, bool>{};
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (hold) {
      held_.push_back(fd);
    } else {
      close(fd);
    }
  }
}
