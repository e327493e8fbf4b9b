#include "telemetry/AnalyticsServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
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

// Waits for fd to become readable, at most ms; false on time-out.
bool WaitReadable(int fd, int ms) {
  struct pollfd entry = {fd, POLLIN, 0};
  return poll(&entry, 1, ms) > 0;
}

// Repeats attempt every 10 ms until it gives a descriptor or the port wait
// is over; -1 then.
template <typename Attempt>
int Retry(Attempt attempt) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPortWaitMs);
  for (; std::chrono::steady_clock::now() < deadline; usleep(10000)) {
    if (int fd = attempt(); fd >= 0) {
      return fd;
    }
  }
  return -1;
}

// The lock that keeps servers of concurrent test processes apart.
int TakePortLock() {
  std::string path = std::filesystem::temp_directory_path().string() + "/sentro-test-analytics-" +
                     std::to_string(ANALYTICS_PORT) + ".lock";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  int locked = fd < 0 ? -1 : Retry([fd] { return flock(fd, LOCK_EX | LOCK_NB) == 0 ? fd : -1; });
  if (locked < 0 && fd >= 0) {
    close(fd);
  }
  return locked;
}

// A socket bound to the analytics port, retried while another process
// still has it.
int BindPort() {
  return Retry([] {
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
    return -1;
  });
}

// Appends what arrives to data until done(); false when the peer stops
// sending first.
template <typename Done>
bool ReadUntil(int fd, std::string *data, Done done) {
  char buffer[4096];
  while (!done()) {
    ssize_t n = WaitReadable(fd, kReadWaitMs) ? read(fd, buffer, sizeof buffer) : 0;
    if (n <= 0) {
      return false;
    }
    data->append(buffer, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

AnalyticsServer::AnalyticsServer(Behaviour behaviour) : behaviour_(behaviour) {
  lockFd_ = TakePortLock();
  socket_ = lockFd_ < 0 ? -1 : BindPort();
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
    (void)!write(stopPipe_[1], &stop, 1);
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
  if (!ReadUntil(connection, &data, [&] { return data.find("\r\n\r\n") != std::string::npos; })) {
    return;
  }
  size_t headEnd = data.find("\r\n\r\n") + 2;
  ReceivedRequest request = {data.substr(0, headEnd), data.substr(headEnd + 2)};
  size_t length = request.head.find("\r\nContent-Length: ");
  size_t bodySize = length == std::string::npos ? 0 : std::stoul(request.head.substr(length + 18));
  ReadUntil(connection, &request.body, [&] { return request.body.size() >= bodySize; });
  {
    std::lock_guard<std::mutex> guard(lock_);
    requests_.push_back(request);
  }

  if (behaviour_ == Behaviour::Slow && WaitReadable(stopPipe_[0], kSlowAnswerMs)) {
    return;  // the test is over
  }
  std::string answer = behaviour_ == Behaviour::ServerError
                           ? "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n"
                             "Connection: close\r\n\r\n"
                           : "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
  (void)!send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);  // fits the socket buffer
  // Let the client close first, so the port is not left in TIME_WAIT.
  WaitReadable(connection, kReadWaitMs);
}
