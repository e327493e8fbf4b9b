// A stand-in for the daemon's control socket: a thread accepts connections
// on a Unix socket, reads each request (the header, then the payload it
// announces), records it and answers as the test scripted.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class FakeServer {
 public:
  explicit FakeServer(const std::string &path);
  ~FakeServer();
  FakeServer(const FakeServer &) = delete;
  FakeServer &operator=(const FakeServer &) = delete;

  // The answer to the next connection, in order of the calls: these bytes,
  // then the connection is closed, or with hold kept open until the server
  // ends. A connection beyond the script is closed unanswered.
  void Reply(const std::vector<uint8_t> &bytes, bool hold = false);
  // The requests received so far, one per connection.
  std::vector<std::vector<uint8_t>> Requests() const;
  const std::string &path() const { return path_; }

 private:
  void Serve();

  std::string path_;
  int listenFd_ = -1;
  mutable std::mutex mutex_;
  std::vector<std::pair<std::vector<uint8_t>, bool>> script_;
  std::vector<std::vector<uint8_t>> requests_;
  std::vector<int> held_;
  std::thread thread_;
};
