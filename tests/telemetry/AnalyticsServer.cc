#include "telemetry/AnalyticsServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "src/telemetry/TelemetryUpload.h"

namespace {

// How long a server waits for the port and for the parts of a request.
const int kPortWaitMs = 30000;
const int kReadWaitMs = 3000;
const int kSlowAnswerMs = 1500;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Waits for fd to become readable, at most ms; false on time-out.
bool WaitReadable(int fd, int ms) {
  struct pollfd entry = {fd, POLLIN, 0};
  return poll(&entry, 1, ms) > 0;
}

int TakePortLock() {
  std::string path = std::filesystem::temp_directory_path().string() + "/sentro-test-analytics-" +
                     std::to_string(ANALYTICS_PORT) + ".lock";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    return -1;
  }
  for (int64_t deadline = NowMs() + kPortWaitMs; NowMs() < deadline; usleep(10000)) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      return fd;
    }
  }
  close(fd);
  return -1;
}

// A socket bound to the analytics port, retried while another process
// still has it.
int BindPort() {
  for (int64_t deadline = NowMs() + kPortWaitMs; NowMs() < deadline; usleep(10000)) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(ANALYTICS_PORT);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
      return fd;
    }
    close(fd);
  }
  return -1;
}

void SendAll(int fd, const std::string &data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      return;
    }
    sent += static_cast<size_t>(n);
  }
}

std::string Trim(const std::string &text) {
  size_t begin = text.find_first_not_of(" \t");
  size_t end = text.find_last_not_of(" \t\r");
  return begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
}

}  // namespace

const std::string *ReceivedRequest::Header(const std::string &name) const {
  for (const auto &header : headers) {
    if (strcasecmp(header.first.c_str(), name.c_str()) == 0) {
      return &header.second;
    }
  }
  return nullptr;
}

AnalyticsServer::AnalyticsServer(Behaviour behaviour) : behaviour_(behaviour) {
  lockFd_ = TakePortLock();
  if (lockFd_ < 0) {
    return;
  }
  socket_ = BindPort();
  if (socket_ < 0 || behaviour_ == Behaviour::Down) {
    return;
  }
  if (listen(socket_, 8) != 0 || pipe2(stopPipe_, O_CLOEXEC) != 0) {
    close(socket_);
    socket_ = -1;
    return;
  }
  thread_ = std::thread(&AnalyticsServer::Serve, this);
}

AnalyticsServer::~AnalyticsServer() {
  if (thread_.joinable()) {
    char stop = 1;
    ssize_t ignored = write(stopPipe_[1], &stop, 1);
    (void)ignored;
    thread_.join();
  }
  for (int fd : {stopPipe_[0], stopPipe_[1], socket_, lockFd_}) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

std::vector<ReceivedRequest> AnalyticsServer::Requests() {
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
    if (connection >= 0) {
      HandleConnection(connection);
      close(connection);
    }
  }
}

void AnalyticsServer::HandleConnection(int connection) {
  std::string data;
  size_t headerEnd;
  char buffer[4096];
  while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
    ssize_t n = WaitReadable(connection, kReadWaitMs) ? read(connection, buffer, sizeof buffer) : 0;
    if (n <= 0) {
      return;
    }
    data.append(buffer, static_cast<size_t>(n));
  }

  ReceivedRequest request;
  std::string head = data.substr(0, headerEnd);
  size_t lineEnd = head.find("\r\n");
  request.requestLine = head.substr(0, lineEnd);
  while (lineEnd != std::string::npos) {
    size_t start = lineEnd + 2;
    lineEnd = head.find("\r\n", start);
    std::string line = head.substr(start, lineEnd == std::string::npos ? lineEnd : lineEnd - start);
    size_t colon = line.find(':');
    request.headers.emplace_back(line.substr(0, colon),
                                 colon == std::string::npos ? "" : Trim(line.substr(colon + 1)));
  }
  const std::string *length = request.Header("Content-Length");
  size_t bodyLength = length != nullptr ? std::strtoul(length->c_str(), nullptr, 10) : 0;
  request.body = data.substr(headerEnd + 4);
  while (request.body.size() < bodyLength) {
    ssize_t n = WaitReadable(connection, kReadWaitMs) ? read(connection, buffer, sizeof buffer) : 0;
    if (n <= 0) {
      break;
    }
    request.body.append(buffer, static_cast<size_t>(n));
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    requests_.push_back(request);
  }

  if (behaviour_ == Behaviour::Slow && WaitReadable(stopPipe_[0], kSlowAnswerMs)) {
    return;  // the test is over
  }
  SendAll(connection, behaviour_ == Behaviour::ServerError
                          ? "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n"
                            "Connection: close\r\n\r\n"
                          : "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
  // Let the client close first, so the port is not left in TIME_WAIT.
  WaitReadable(connection, kReadWaitMs);
}
