// A stand-in for the local analytics service: a small HTTP/1.1 server on
// 127.0.0.1:15080, in a thread of the test, that records each request as
// received and answers as the test asks.
//
// The port is fixed, so tests that use it must not overlap: each server
// holds a file lock for its lifetime and a second one waits for it.
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ReceivedRequest {
  std::string head;  // the request line and the header lines, each ending in "\r\n"
  std::string body;
};

class AnalyticsServer {
 public:
  enum class Behaviour {
    Ok,           // 200 with a short body
    ServerError,  // 500
    Slow,         // answers only after 1.5 s
    Down,         // the port is held but nothing listens: connections are refused
  };

  explicit AnalyticsServer(Behaviour behaviour);
  ~AnalyticsServer();
  AnalyticsServer(const AnalyticsServer &) = delete;
  AnalyticsServer &operator=(const AnalyticsServer &) = delete;

  // False when the port could not be taken; the test should stop.
  bool Ready() const { return socket_ >= 0; }
  std::vector<ReceivedRequest> Requests();

 private:
  void Serve();
  void HandleConnection(int connection);

  Behaviour behaviour_;
  int lockFd_ = -1;
  int socket_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::thread thread_;
  std::mutex lock_;
  std::vector<ReceivedRequest> requests_;
};
