#include "telemetry/AnalyticsServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include "src/telemetry/TelemetryUpload.h"
#include "support/WaitUntil.h"

namespace {

bool WaitReadable(int fd, int ms) {
  struct pollfd entry = {fd, POLLIN, 0};
  return poll(&entry, 1, ms) > 0;
}

}  // namespace

AnalyticsServer::AnalyticsServer(int status, int delayMs) : status_(status), delayMs_(delayMs) {
  lockFd_ = open("/tmp/sentro-test-analytics-port.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  int fd = -1;
  bool taken = WaitUntil(
      [&] {  // another test process may still hold the port
        if (flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
          return false;
        }
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        struct sockaddr_in address = {AF_INET, htons(ANALYTICS_PORT), {htonl(INADDR_LOOPBACK)}, {}};
        if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
          return true;
        }
        close(fd);
        return false;
      },
      std::chrono::seconds(30), std::chrono::milliseconds(10));
  socket_ = taken ? fd : -1;
  if (taken && status_ != 0 && listen(socket_, 8) == 0 && pipe2(stopPipe_, O_CLOEXEC) == 0) {
    thread_ = std::thread(&AnalyticsServer::Serve, this);
  }
}

AnalyticsServer::~AnalyticsServer() {
  if (thread_.joinable()) {
    (void)!write(stopPipe_[1], "x", 1);
    thread_.join();
  }
  for (int fd : {stopPipe_[0], stopPipe_[1], socket_, lockFd_}) {
    close(fd);
  }
}

std::vector<std::string> AnalyticsServer::Requests() {
  std::lock_guard<std::mutex> guard(lock_);
  return requests_;
}

void AnalyticsServer::Serve() {
  for (;;) {
    struct pollfd entries[2] = {{socket_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(entries, 2, -1) < 0 || (entries[1].revents & POLLIN)) {
      return;
    }
    int connection = accept4(socket_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) {
      continue;
    }
    std::string data;
    char buffer[4096];
    size_t head = std::string::npos, length = 0;
    while (head == std::string::npos || data.size() < head + 4 + length) {
      ssize_t n = WaitReadable(connection, 3000) ? read(connection, buffer, sizeof buffer) : 0;
      if (n <= 0) {
        break;
      }
      data.append(buffer, static_cast<size_t>(n));
      head = data.find("\r\n\r\n");
      size_t field = data.find("\r\nContent-Length: ");
      length = field < head ? std::stoul(data.substr(field + 18)) : 0;
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      requests_.push_back(data);
    }
    if (!WaitReadable(stopPipe_[0], delayMs_)) {
      std::string answer = "HTTP/1.1 " + std::to_string(status_) +
                           " X\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
      (void)!send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
      WaitReadable(connection, 3000);  // the client closes first: no TIME_WAIT on the port
    }
    close(connection);
  }
}
