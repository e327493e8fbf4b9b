// A stand-in for the daemon's control socket: a thread listens on a Unix
// socket, reads each request (header, then the payload the header
// announces), records its bytes and answers as the test scripted.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeServer {
 public:
  // Listens on path until destroyed.
  explicit FakeServer(const std::string &path);
  ~FakeServer();
  FakeServer(const FakeServer &) = delete;
  FakeServer &operator=(const FakeServer &) = delete;

  // The answer to the next connection, in order of the calls: send these
  // bytes and close; send only `partial` and keep the connection open; or
  // close it at once. A connection beyond the script is closed unanswered.
  void Reply(const std::vector<uint8_t> &bytes);
  void Silent(const std::vector<uint8_t> &partial = {});
  void CloseUnanswered();

  // The requests received so far, one per connection.
  std::vector<std::vector<uint8_t>> Requests() const;

  const std::string &path() const { return path_; }
  bool listening() const { return listenFd_ >= 0; }

 private:
  enum class Action { Reply, Silent, Close };
  struct Step {
    Action action;
    std::vector<uint8_t> bytes;
  };

  void Serve();
  void Answer(int fd);

  std::string path_;
  int listenFd_ = -1;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<Step> script_;
  size_t nextStep_ = 0;
  std::vector<std::vector<uint8_t>> requests_;
  std::vector<int> heldOpen_;  // connections of Silent steps
  std::thread thread_;
};
