#include "support/OneShotListener.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>

OneShotListener::OneShotListener(const std::string &path, size_t requestSize)
    : path_(path), requestSize_(requestSize) {
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  unlink(path.c_str());
  if (fd_ >= 0 && bind(fd_, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0) {
    listen(fd_, 4);
  }
}

OneShotListener::~OneShotListener() {
  shutdown(fd_, SHUT_RDWR);  // wakes an accept still waiting
  if (thread_.joinable()) {
    thread_.join();
  }
  close(fd_);
  unlink(path_.c_str());
}

void OneShotListener::Serve(std::function<void(int connection)> answer) {
  thread_ = std::thread([this, answer] {
    int connection = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) {
      return;
    }
    struct timeval timeout = {5, 0};
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::vector<uint8_t> request(requestSize_);
    size_t got = 0;
    while (got < request.size()) {
      ssize_t n = read(connection, request.data() + got, request.size() - got);
      if (n <= 0) {
        break;
      }
      got += static_cast<size_t>(n);
    }
    request.resize(got);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      request_ = request;
    }
    answer(connection);
    close(connection);
  });
}

std::vector<uint8_t> OneShotListener::Request() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return request_;
}
