// A stand-in for the local analytics service: an HTTP server on
// 127.0.0.1:15080 in a thread of the test, which records each request and
// answers with the status the test gives. The port is fixed, so a server
// holds a file lock for its lifetime and a second one waits for it.
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

class AnalyticsServer {
 public:
  // status 0: the port is held but nothing listens (connections are
  // refused). The answer is sent after delayMs.
  explicit AnalyticsServer(int status, int delayMs = 0);
  ~AnalyticsServer();

  bool Ready() const { return socket_ >= 0; }  // false: the port could not be taken
  // Each request as received: the request line and headers, a blank line, the body.
  std::vector<std::string> Requests();

 private:
  void Serve();

  int status_, delayMs_;
  int lockFd_ = -1, socket_ = -1, stopPipe_[2] = {-1, -1};
  std::thread thread_;
  std::mutex lock_;
  std::vector<std::string> requests_;
};
